#include "core/file_bytes.hpp"

#include "core/error.hpp"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drevik {
namespace {

[[noreturn]] void fail(const std::filesystem::path& location, int errorNumber) {
    throw Error("Could not read " + location.string() + ": " + std::generic_category().message(errorNumber));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { ::close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

std::string readFileBytes(const std::filesystem::path& location) {
    int fd = -1;
    do {
        fd = ::open(location.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail(location, errno);
    }
    const FileDescriptor file(fd);

    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        fail(location, errno);
    }
    if (S_ISDIR(info.st_mode)) {
        fail(location, EISDIR);
    }

    // Regular files are read in one go at their reported size; anything else (a pipe, a
    // file that grows while being read) is read in growing chunks until the end.
    std::string bytes;
    std::size_t capacity = S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 65536;
    bytes.resize(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            bytes.resize(bytes.size() * 2);
        }
        const ssize_t got = ::read(file.get(), bytes.data() + used, bytes.size() - used);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(location, errno);
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    bytes.resize(used);
    return bytes;
}

} // namespace drevik

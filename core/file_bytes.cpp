#include "core/file_bytes.hpp"

#include "core/error.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drevik {
namespace {

[[noreturn]] void fail(const std::filesystem::path& location, const std::string& reason) {
    throw Error("Could not read " + location.string() + ": " + reason);
}

[[noreturn]] void fail(const std::filesystem::path& location, int errorNumber) {
    fail(location, std::generic_category().message(errorNumber));
}

[[noreturn]] void failTooLarge(const std::filesystem::path& location, std::size_t maximumBytes) {
    std::string limit = std::to_string(maximumBytes) + " bytes";
    if (maximumBytes >= (std::size_t{1} << 20) && maximumBytes % (std::size_t{1} << 20) == 0) {
        const std::size_t mebibytes = maximumBytes >> 20;
        limit += mebibytes % 1024 == 0 ? " (" + std::to_string(mebibytes / 1024) + " GiB)"
                                       : " (" + std::to_string(mebibytes) + " MiB)";
    }
    fail(location, "the file is larger than " + limit);
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

std::string readFileBytes(const std::filesystem::path& location, std::size_t maximumBytes) {
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
    // file that grows while being read) is read in growing chunks until the end. One byte more
    // than the limit is room enough to find out that a file is too large.
    const bool regular = S_ISREG(info.st_mode) && info.st_size > 0;
    if (regular && static_cast<std::uintmax_t>(info.st_size) > maximumBytes) {
        failTooLarge(location, maximumBytes);
    }
    std::string bytes;
    std::size_t used = 0;
    try {
        bytes.resize(regular ? static_cast<std::size_t>(info.st_size) + 1 : std::min<std::size_t>(65536, maximumBytes + 1));
    } catch (const std::bad_alloc&) {
        fail(location, "not enough memory for a file of " + std::to_string(info.st_size) + " bytes");
    }
    for (;;) {
        if (used == bytes.size()) {
            if (used > maximumBytes) {
                failTooLarge(location, maximumBytes);
            }
            try {
                bytes.resize(std::min(bytes.size() * 2, maximumBytes + 1));
            } catch (const std::bad_alloc&) {
                fail(location, "not enough memory for more than " + std::to_string(used) + " bytes");
            }
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
    if (used > maximumBytes) {
        failTooLarge(location, maximumBytes);
    }
    bytes.resize(used);
    return bytes;
}

} // namespace drevik

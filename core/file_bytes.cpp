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

} // namespace

FileReader::FileReader(const std::filesystem::path& location) : location_(location) {
    do {
        fd_ = ::open(location.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        fail(location_, errno);
    }
    struct stat info {};
    int error = 0;
    if (::fstat(fd_, &info) != 0) {
        error = errno;
    } else if (S_ISDIR(info.st_mode)) {
        error = EISDIR;
    }
    if (error != 0) {
        ::close(fd_);
        fail(location_, error);
    }
    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        sizeHint_ = static_cast<std::size_t>(info.st_size);
    }
}

FileReader::~FileReader() { ::close(fd_); }

std::size_t FileReader::read(char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, capacity);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            fail(location_, errno);
        }
    }
}

std::string readFileBytes(const std::filesystem::path& location) {
    FileReader file(location);
    // One read at the reported size normally takes it all; a file that grows while being
    // read, or one that is not a regular file, is read in growing pieces until its end.
    std::string bytes(file.sizeHint() + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            bytes.resize(bytes.size() < 65536 ? 65536 : bytes.size() * 2);
        }
        const std::size_t got = file.read(bytes.data() + used, bytes.size() - used);
        if (got == 0) {
            break;
        }
        used += got;
    }
    bytes.resize(used);
    return bytes;
}

} // namespace drevik

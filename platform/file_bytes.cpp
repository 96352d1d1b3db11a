#include "platform/file_bytes.hpp"

#include "platform/error.hpp"

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

} // namespace

FileReader::FileReader(const std::filesystem::path& location, std::size_t maximumBytes)
    : location_(location), maximumBytes_(maximumBytes) {
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
        if (static_cast<std::uintmax_t>(info.st_size) > maximumBytes_) {
            ::close(fd_);
            failTooLarge(location_, maximumBytes_);
        }
        sizeHint_ = static_cast<std::size_t>(info.st_size);
    }
}

FileReader::~FileReader() { ::close(fd_); }

std::size_t FileReader::read(char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, capacity);
        if (got >= 0) {
            total_ += static_cast<std::size_t>(got);
            if (total_ > maximumBytes_) {
                failTooLarge(location_, maximumBytes_);
            }
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            fail(location_, errno);
        }
    }
}

std::string readFileBytes(const std::filesystem::path& location, std::size_t maximumBytes) {
    FileReader file(location, maximumBytes);
    // One read at the reported size normally takes it all; a file that grows while being
    // read, or one that is not a regular file, is read in growing pieces until its end. Room
    // for one byte more than the maximum is enough to find out that a file is too large.
    const auto capped = [&](std::size_t size) { return std::min(size, maximumBytes + 1); };
    std::string bytes;
    try {
        bytes.resize(capped(file.sizeHint() + 1));
    } catch (const std::bad_alloc&) {
        fail(location, "not enough memory for a file of " + std::to_string(file.sizeHint()) + " bytes");
    }
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            try {
                bytes.resize(capped(bytes.size() < 65536 ? 65536 : bytes.size() * 2));
            } catch (const std::bad_alloc&) {
                fail(location, "not enough memory for more than " + std::to_string(used) + " bytes");
            }
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

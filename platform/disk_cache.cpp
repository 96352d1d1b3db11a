#include "platform/disk_cache.hpp"

#include "platform/atomic_output.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace drevik {
namespace {

// File layout, integers little-endian:
//   0  magic "DRVKCACH"        8 bytes
//   8  format version          u32
//  12  reserved (0)            u32
//  16  key length             u64
//  24  payload length         u64
//  32  checksum               u64: cacheHash of bytes 0..31, then the key, then the payload
//  40  key, then payload
constexpr std::array<char, 8> magic{'D', 'R', 'V', 'K', 'C', 'A', 'C', 'H'};
constexpr std::uint32_t formatVersion = 1;
constexpr std::size_t headerBytes = 40;

void putU32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void putU64(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::uint32_t getU32(const std::uint8_t* at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return value;
}
std::uint64_t getU64(const std::uint8_t* at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
    return value;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Entry families name files, so they are kept to a safe alphabet.
bool validKind(std::string_view kind) {
    if (kind.empty() || kind.size() > 32) return false;
    for (char c : kind) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

// The whole file, or nothing when it cannot be read or is implausibly large.
std::optional<std::vector<std::uint8_t>> readWhole(const std::filesystem::path& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> result;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
        static_cast<std::uint64_t>(info.st_size) <= limit) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        bool failed = false;
        while (done < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                failed = true;
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        if (!failed) result = std::move(bytes);
    }
    ::close(fd);
    return result;
}

} // namespace

std::uint64_t cacheHash(std::span<const std::uint8_t> bytes, std::uint64_t seed) {
    std::uint64_t hash = seed;
    for (std::uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::uint64_t cacheHash(std::string_view text, std::uint64_t seed) { return cacheHash(bytesOf(text), seed); }

bool replaceFileAtomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes) {
    // Through the program's one output facility in its replace mode: a reader sees the old entry or
    // the new one, never a part, and a writer killed half-way leaves nothing the next one keeps.
    // No flush to the disk: an entry a power cut damages is recognised as damaged and rewritten.
    try {
        AtomicFile file(target, CommitMode::replace);
        std::FILE* stream = file.stream();
        if (stream == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) return false;
        file.commit();
        return true;
    } catch (const Error&) {
        return false;
    }
}

DiskCache::DiskCache(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path DiskCache::entryPath(std::string_view kind, std::string_view key) const {
    char name[24];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(cacheHash(key)));
    return folder_ / (std::string(kind) + "-" + name + ".bin");
}

std::optional<std::vector<std::uint8_t>> DiskCache::load(std::string_view kind, std::string_view key) const {
    if (!enabled() || !validKind(kind)) return std::nullopt;
    auto file = readWhole(entryPath(kind, key), maxEntryBytes);
    if (!file || file->size() < headerBytes) return std::nullopt;
    const std::uint8_t* header = file->data();
    if (std::memcmp(header, magic.data(), magic.size()) != 0 || getU32(header + 8) != formatVersion ||
        getU32(header + 12) != 0) {
        return std::nullopt;
    }
    const std::uint64_t keyLength = getU64(header + 16);
    const std::uint64_t payloadLength = getU64(header + 24);
    const std::uint64_t rest = file->size() - headerBytes;
    if (keyLength != key.size() || payloadLength > rest || keyLength != rest - payloadLength) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> all(*file);
    std::uint64_t checksum = cacheHash(all.first(32));
    checksum = cacheHash(all.subspan(headerBytes), checksum);
    if (checksum != getU64(header + 32) || std::memcmp(file->data() + headerBytes, key.data(), key.size()) != 0) {
        return std::nullopt;
    }
    file->erase(file->begin(), file->begin() + static_cast<std::ptrdiff_t>(headerBytes + keyLength));
    return file;
}

bool DiskCache::store(std::string_view kind, std::string_view key, std::span<const std::uint8_t> payload) const {
    if (!enabled() || !validKind(kind) || headerBytes + key.size() + payload.size() > maxEntryBytes) return false;
    std::vector<std::uint8_t> file(headerBytes);
    std::memcpy(file.data(), magic.data(), magic.size());
    putU32(file.data() + 8, formatVersion);
    putU32(file.data() + 12, 0);
    putU64(file.data() + 16, key.size());
    putU64(file.data() + 24, payload.size());
    file.insert(file.end(), key.begin(), key.end());
    file.insert(file.end(), payload.begin(), payload.end());
    const std::span<const std::uint8_t> all(file);
    std::uint64_t checksum = cacheHash(all.first(32));
    checksum = cacheHash(all.subspan(headerBytes), checksum);
    putU64(file.data() + 32, checksum);

    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
    return replaceFileAtomically(entryPath(kind, key), file);
}

} // namespace drevik

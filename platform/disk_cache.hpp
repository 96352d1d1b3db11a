#pragma once
// A small key → bytes store in one folder, kept between runs so that a second start can skip work
// the first one did (compiled shader modules, the driver's pipeline cache).
//
// Each entry is one file named after a hash of its key. The file holds a header (magic, format
// version, lengths, a checksum), the whole key and the payload; an entry is only returned when every
// part checks out and its key is the key asked for, so a damaged, truncated or foreign file reads as
// absent and the next store rewrites it. Files are replaced atomically (written beside the target,
// then renamed over it): several processes may share the folder, the last writer wins and a reader
// never sees a partial file. Nothing here throws or prints: a folder that cannot be read or written
// only means nothing is found or kept.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drevik {

class DiskCache {
public:
    // A store in `folder` (made when first written). An empty path gives a store that keeps nothing.
    explicit DiskCache(std::filesystem::path folder);

    bool enabled() const { return !folder_.empty(); }
    const std::filesystem::path& folder() const { return folder_; }

    // The payload stored under `key` in the entry family `kind` (a short name, part of the file name),
    // or nothing when there is none or the file does not check out.
    std::optional<std::vector<std::uint8_t>> load(std::string_view kind, std::string_view key) const;

    // Stores the payload under `key`, replacing what the entry held; false when it could not.
    bool store(std::string_view kind, std::string_view key, std::span<const std::uint8_t> payload) const;

    // Where the entry lives (whether or not it exists).
    std::filesystem::path entryPath(std::string_view kind, std::string_view key) const;

    // Entries larger than this are neither read nor written.
    static constexpr std::size_t maxEntryBytes = 64u << 20;

private:
    std::filesystem::path folder_;
};

// 64-bit FNV-1a of the bytes, continuing from `seed`. Any change of a single byte changes the result.
std::uint64_t cacheHash(std::span<const std::uint8_t> bytes, std::uint64_t seed = 0xcbf29ce484222325ull);
std::uint64_t cacheHash(std::string_view text, std::uint64_t seed = 0xcbf29ce484222325ull);

// Replaces `target` with a file holding `bytes`: a temporary file beside it, renamed over it, so
// readers see the old file or the whole new one. It is not flushed to the disk first: an entry that
// a power cut leaves damaged fails its checksum, reads as absent and is written again. The temporary file is removed when
// anything fails. False on failure (errno is not preserved).
bool replaceFileAtomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes);

} // namespace drevik

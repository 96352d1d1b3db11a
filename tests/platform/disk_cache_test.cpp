// The key -> bytes store kept between runs: what it gives back, what it refuses to trust, and
// several processes writing one entry at once.
#include "platform/disk_cache.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/wait.h>
#include <unistd.h>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::filesIn;
using testing::readBytes;
using testing::writeBytes;

struct TemporaryFolder : testing::TemporaryFolder {
    TemporaryFolder() : testing::TemporaryFolder("drevik-cache-test") {}
};

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 31);
    return bytes;
}
// ---------------------------------------------------------------------------------------------------
// The store

TEST(DiskCacheTest, GivesBackWhatWasStoredUnderTheSameKeyOnly) {
    TemporaryFolder folder;
    const DiskCache cache(folder.path() / "nested" / "drevik");
    EXPECT_FALSE(cache.load("spirv", "key").has_value());
    const Bytes payload = pattern(1000, 3);
    ASSERT_TRUE(cache.store("spirv", "key", payload));
    EXPECT_EQ(cache.load("spirv", "key"), payload);
    EXPECT_FALSE(cache.load("spirv", "other key").has_value());
    EXPECT_FALSE(cache.load("pipelines", "key").has_value());
    ASSERT_TRUE(cache.store("spirv", "key", Bytes{}));   // an empty payload is a payload
    EXPECT_EQ(cache.load("spirv", "key"), Bytes{});
    // Only the entry itself is left in the folder: no temporary files.
    EXPECT_EQ(filesIn(cache.folder()), std::vector<fs::path>{cache.entryPath("spirv", "key")});
}

TEST(DiskCacheTest, AStoreWithoutAFolderKeepsNothing) {
    const DiskCache cache{fs::path()};
    EXPECT_FALSE(cache.enabled());
    EXPECT_FALSE(cache.store("spirv", "key", pattern(10, 1)));
    EXPECT_FALSE(cache.load("spirv", "key").has_value());
}

TEST(DiskCacheTest, AnEntryWhoseFileNameMatchesButWhoseKeyDiffersIsNotTrusted) {
    TemporaryFolder folder;
    const DiskCache cache(folder.path());
    ASSERT_TRUE(cache.store("spirv", "first", pattern(64, 1)));
    // Another key's valid file put where "second" is looked for, as a hash collision would.
    fs::copy_file(cache.entryPath("spirv", "first"), cache.entryPath("spirv", "second"));
    EXPECT_FALSE(cache.load("spirv", "second").has_value());
}

TEST(DiskCacheTest, DamagedFilesAreIgnoredAndRewritten) {
    TemporaryFolder folder;
    const DiskCache cache(folder.path());
    const Bytes payload = pattern(300, 9);
    ASSERT_TRUE(cache.store("spirv", "the key", payload));
    const fs::path file = cache.entryPath("spirv", "the key");
    const Bytes good = readBytes(file);

    std::vector<Bytes> damaged;
    for (std::size_t length : {std::size_t{0}, std::size_t{7}, std::size_t{39}, std::size_t{40}, good.size() - 1}) {
        damaged.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
    }
    Bytes longer = good;
    longer.push_back(0);
    damaged.push_back(longer);
    // One flipped bit anywhere: magic, version, lengths, checksum, key, payload.
    for (std::size_t at = 0; at < good.size(); at += 5) {
        Bytes flipped = good;
        flipped[at] ^= 0x10;
        damaged.push_back(flipped);
    }
    for (const Bytes& bytes : damaged) {
        writeBytes(file, bytes);
        EXPECT_FALSE(cache.load("spirv", "the key").has_value()) << bytes.size() << " bytes";
        ASSERT_TRUE(cache.store("spirv", "the key", payload));
        EXPECT_EQ(cache.load("spirv", "the key"), payload);
    }
    // Not a file at all.
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_FALSE(cache.load("spirv", "the key").has_value());
}

TEST(DiskCacheTest, AnUnwritableFolderOnlyLosesTheCache) {
    TemporaryFolder folder;
    writeBytes(folder.path() / "a file", pattern(4, 0));
    // A folder inside a regular file can never be made, whoever runs the test.
    const DiskCache cache(folder.path() / "a file" / "drevik");
    EXPECT_FALSE(cache.store("spirv", "key", pattern(10, 1)));
    EXPECT_FALSE(cache.load("spirv", "key").has_value());
    EXPECT_FALSE(replaceFileAtomically(folder.path() / "a file" / "target", pattern(4, 0)));
}

TEST(DiskCacheTest, ProcessesWritingTheSameEntryAtOnceLeaveOneWholeFile) {
    TemporaryFolder folder;
    const DiskCache cache(folder.path());
    // Large payloads, so that a reader would catch a half-written file if there could be one.
    const std::vector<Bytes> payloads = {pattern(600000, 1), pattern(900000, 2), pattern(700000, 3)};
    std::vector<pid_t> writers;
    for (std::size_t w = 0; w < payloads.size(); ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bool ok = true;
            for (int round = 0; round < 15; ++round) ok = cache.store("spirv", "shared", payloads[w]) && ok;
            ::_exit(ok ? 0 : 1);
        }
        writers.push_back(pid);
    }
    int reads = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (auto payload = cache.load("spirv", "shared")) {
            ++reads;
            EXPECT_NE(std::find(payloads.begin(), payloads.end(), *payload), payloads.end());
        }
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto last = cache.load("spirv", "shared");
    ASSERT_TRUE(last.has_value());
    EXPECT_NE(std::find(payloads.begin(), payloads.end(), *last), payloads.end());
    EXPECT_EQ(filesIn(folder.path()).size(), 1u);   // no temporary file left behind
    RecordProperty("reads while writing", reads);
}

} // namespace
} // namespace drevik

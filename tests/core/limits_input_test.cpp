// Limits on what an input file may ask of memory: file size, channel count, soundtrack length.
#include "platform/error.hpp"
#include "platform/file_bytes.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace drevik {
namespace {

using Path = std::filesystem::path;

template <class Reading>
std::string errorText(Reading&& reading) {
    try {
        reading();
    } catch (const Error& error) {
        return error.what();
    }
    ADD_FAILURE() << "expected a refusal";
    return {};
}

class InputLimits : public ::testing::Test {
protected:
    Path write(const std::string& name, const std::string& text) const {
        const Path path = directory_ / name;
        testing::writeText(path, text);
        return path;
    }

    testing::TemporaryFolder folder_{"drevik-limits"};
    const Path& directory_ = folder_.path();
};

TEST_F(InputLimits, AFileUpToTheLimitIsReadAndOneByteMoreIsRefused) {
    const Path exact = write("exact.csv", std::string(100, 'x'));
    EXPECT_EQ(readFileBytes(exact, 100), std::string(100, 'x'));
    const Path over = write("over.csv", std::string(101, 'x'));
    EXPECT_EQ(errorText([&] { readFileBytes(over, 100); }),
              "Could not read " + over.string() + ": the file is larger than 100 bytes");
}

TEST_F(InputLimits, AnEndlessStreamIsCutOffAtTheLimit) {
    // A character device never reports a size and never ends: the limit is what stops it.
    EXPECT_EQ(errorText([&] { readFileBytes("/dev/zero", std::size_t{1} << 20); }),
              "Could not read /dev/zero: the file is larger than 1048576 bytes (1 MiB)");
}

TEST_F(InputLimits, APieceByPieceReaderStopsAtTheLimitToo) {
    FileReader reader("/dev/zero", 10000);
    char buffer[4096];
    std::size_t total = 0;
    EXPECT_EQ(errorText([&] {
                  while (const std::size_t got = reader.read(buffer, sizeof buffer)) {
                      total += got;
                  }
              }),
              "Could not read /dev/zero: the file is larger than 10000 bytes");
    EXPECT_LE(total, 10000u);
}

TEST_F(InputLimits, AGraphicsFileLargerThanTwoGibibytesIsRefusedBeforeItIsRead) {
    // A sparse file: its size is reported at once, and none of it is read.
    const Path huge = directory_ / "Graphics.csv";
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, maximumInputFileBytes + 1);
    const std::string expected = "Could not read " + huge.string() + ": the file is larger than 2147483648 bytes (2 GiB)";
    EXPECT_EQ(errorText([&] { GraphicsTimeline::fromCsvFile(huge); }), expected);

    const Path music = directory_ / "Music.csv";
    std::filesystem::rename(huge, music);
    EXPECT_EQ(errorText([&] { MusicTimeline::fromCsvFile(music, 48000, 120); }),
              "Could not read " + music.string() + ": the file is larger than 2147483648 bytes (2 GiB)");
}

std::string headerOf(std::size_t channels) {
    std::string text = "# duration_seconds=0.01\ntime";
    for (std::size_t i = 0; i < channels; ++i) {
        text += ",c";
    }
    return text + "\n";
}

TEST(MusicLimits, AtMost65536Channels) {
    const MusicTimeline most = MusicTimeline::fromCsvData(headerOf(65536) + "0" + std::string(65536, ',') + "\n", "Music.csv", 1000, 10);
    EXPECT_EQ(most.channelNames.size(), 65536u);
    EXPECT_EQ(errorText([] { MusicTimeline::fromCsvData("\n" + headerOf(65537), "Music.csv", 1000, 10); }),
              "Music.csv line 3 names more than the 65536 channels Drevik can mix.");
}

TEST(MusicLimits, ASoundtrackLargerThanMemoryIsRefusedWithoutAllocating) {
    // One day at ten million samples a second: 3.5 TB of samples, within the day the reader
    // accepts, but more than any machine this runs on.
    EXPECT_EQ(errorText([] {
                  MusicTimeline::fromCsvData("# duration_seconds=86400\ntime,a\n", "Music.csv", 10'000'000, 120);
              }),
              "Music.csv declares 86400.0 seconds, too long a soundtrack for the memory of this machine.");
    EXPECT_EQ(errorText([] { MusicTimeline::fromCsvData("# duration_seconds=86400.5\ntime,a\n", "Music.csv", 1, 1); }),
              "Music.csv declares 86400.5 seconds, more than the 86400 seconds Drevik can play.");
}

TEST(MusicLimits, ASixHourShowStillFitsTheLimits) {
    // Read at one sample a second so the test stays small; the limits are on the duration.
    const MusicTimeline music =
        MusicTimeline::fromCsvData("# duration_seconds=21600\ntime,a\n0,1\n", "Music.csv", 1, 1);
    EXPECT_EQ(music.samples.size(), 21600u);
    EXPECT_EQ(music.analysis.size(), 21601u);
}

} // namespace
} // namespace drevik

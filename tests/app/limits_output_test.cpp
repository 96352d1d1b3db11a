// The sizes, frame rates and lengths the command line passes on unbounded (it only raises them to
// their minimum): the program refuses those the writers cannot produce with one line on standard
// error and status 1, after the load summary, and writes nothing.
#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace drevik {
namespace {

class OutputLimits : public ::testing::Test {
protected:
    void SetUp() override {
        testing::writeText(folder_.path() / "Graphics.csv", "# duration_seconds=1\ntime,x1,y1,x2,y2\n0,0,0,1,1\n");
        testing::writeText(folder_.path() / "Music.csv", "# duration_seconds=1\ntime,a\n");
    }

    // Runs drevik in the folder; expects status 1, the load summary and one line starting with
    // "Drevik: " + start, and nothing written; returns that line.
    std::string refusal(const std::string& arguments, const std::string& start) const {
        const testing::ProcessOutcome outcome =
            testing::runDrevik(testing::words(arguments), testing::ProcessOptions().in(folder_.path()));
        EXPECT_EQ(outcome.status, 1) << arguments;
        EXPECT_EQ(outcome.out, "Loaded 1 frames / 1 lines; 48000 audio samples at 48000 Hz.\n") << arguments;
        EXPECT_TRUE(outcome.err.starts_with("Drevik: " + start)) << arguments << ": " << outcome.err;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << arguments << ": " << outcome.err;
        EXPECT_EQ(testing::namesIn(folder_.path()), (std::vector<std::string>{"Graphics.csv", "Music.csv"})) << arguments;
        return outcome.err;
    }

    testing::TemporaryFolder folder_{"drevik-output-limits"};
};

TEST_F(OutputLimits, ASnapshotLargerThanTheDeviceCanRenderIsRefused) {
    refusal("--snapshot out.png --width 100000 --height 16", "Metal could not allocate the snapshot texture.");
    refusal("--snapshot out.png --width 9223372036854775807 --height 9223372036854775807",
            "Metal could not allocate the snapshot texture.");
}

TEST_F(OutputLimits, AMovieBeyondItsSizeRateOrLengthIsRefused) {
    EXPECT_EQ(refusal("--movie out.mp4 --width 16386 --height 16", "Movie writer failed: a picture of 16386"),
              "Drevik: Movie writer failed: a picture of 16386\u00d716 is larger than this device can render and "
              "encode (16384\u00d716384 at most)\n");
    EXPECT_EQ(refusal("--movie out.mp4 --width 16 --height 16 --fps 1001", "Movie writer failed: the frame rate"),
              "Drevik: Movie writer failed: the frame rate must be 1 to 1000 frames per second, got 1001\n");
    EXPECT_EQ(refusal("--movie out.mp4 --width 16 --height 16 --duration 86401", "Movie writer failed: the duration"),
              "Drevik: Movie writer failed: the duration must be more than 0 and at most 86400 seconds, got 86401\n");
    refusal("--movie out.mp4 --width 16 --height 16 --duration 1e308 --fps 1000", "Movie writer failed: the duration");
}

} // namespace
} // namespace drevik

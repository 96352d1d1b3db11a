// The movie mode through the built program: a tiny show rendered on the system's GPU (or its
// software driver), progress and "Wrote" lines, and the refusals that leave nothing behind.
#include "tests/output/movie_probe.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sys/wait.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using testing::probeMovie;
using testing::quoted;

using Outcome = testing::ProcessOutcome;

std::string contents(const fs::path& file) { return testing::readText(file); }

class MovieMode : public ::testing::Test {
protected:
    void SetUp() override { testing::writeFourLineShow(folder()); }

    const fs::path& folder() const { return root_.path(); }

    Outcome run(const std::string& arguments) const {
        return testing::runShell(DREVIK_BINARY " " + arguments, testing::ProcessOptions().in(folder()));
    }

    std::vector<std::string> entries() const { return testing::namesIn(folder()); }

    testing::TemporaryFolder root_{"drevik-movie-cli"};
};

TEST_F(MovieMode, WritesTheMovieWithProgressAndWroteLines) {
    const Outcome outcome = run("--movie out.mp4 --width 64 --height 36 --fps 12");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    const std::string expected = "Loaded 2 frames / 4 lines; 48000 audio samples at 48000 Hz.\n"
                                 "Metal movie   8.3% (1 / 12 frames)\n"
                                 "Metal movie 100.0% (12 / 12 frames)\n"
                                 "Wrote ";
    EXPECT_EQ(outcome.out.substr(0, expected.size()), expected);
    EXPECT_TRUE(outcome.out.ends_with("out.mp4\n")) << outcome.out;

    const auto probe = probeMovie(folder() / "out.mp4");
    ASSERT_EQ(probe.streams.size(), 2u);
    for (const auto& stream : probe.streams) {
        if (stream.at("codec_type") == "video") {
            EXPECT_EQ(stream.at("codec_name"), "h264");
            EXPECT_EQ(stream.at("profile"), "High");
            EXPECT_EQ(stream.at("width"), "64");
            EXPECT_EQ(stream.at("height"), "36");
            EXPECT_EQ(stream.at("nb_read_frames"), "12");
            EXPECT_EQ(stream.at("avg_frame_rate"), "12/1");
        } else {
            EXPECT_EQ(stream.at("codec_name"), "aac");
            EXPECT_EQ(stream.at("channels"), "1");
            EXPECT_EQ(stream.at("sample_rate"), "48000");
            EXPECT_NEAR(std::stod(stream.at("duration")), 1.0, 0.025);
        }
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"Graphics.csv", "Music.csv", "out.mp4"}));
}

TEST_F(MovieMode, RefusalsPrintOneLineAndLeaveNoFile) {
    Outcome outcome = run("--movie odd.mp4 --width 65 --height 36");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Drevik: Movie writer failed: H.264 needs an even width and height, got 65\u00d736\n");

    outcome = run("--movie forever.mp4 --width 64 --height 36 --duration inf");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err,
              "Drevik: Movie writer failed: the duration must be more than 0 and at most 86400 seconds, got inf\n");

    outcome = run("--movie huge.mp4 --width 64 --height 36 --fps 100000000000");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("Drevik: Movie writer failed: the frame rate"), std::string::npos) << outcome.err;

    EXPECT_EQ(entries(), (std::vector<std::string>{"Graphics.csv", "Music.csv"}));

    std::ofstream(folder() / "taken.mp4") << "keep me";
    outcome = run("--movie taken.mp4 --width 64 --height 36");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(outcome.err.starts_with("Drevik: Movie already exists: ")) << outcome.err;
    EXPECT_TRUE(outcome.err.ends_with("taken.mp4\n")) << outcome.err;
    EXPECT_EQ(contents(folder() / "taken.mp4"), "keep me");
}

} // namespace
} // namespace drevik

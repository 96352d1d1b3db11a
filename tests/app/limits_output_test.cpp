// The sizes, frame rates and lengths the command line passes on unbounded (it only raises them to
// their minimum): the program refuses those the writers cannot produce with one line on standard
// error and status 1, after the load summary, and writes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace drevik {
namespace {

using Path = std::filesystem::path;

class OutputLimits : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "drevik-output-limits-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        std::ofstream(folder_ / "Graphics.csv") << "# duration_seconds=1\ntime,x1,y1,x2,y2\n0,0,0,1,1\n";
        std::ofstream(folder_ / "Music.csv") << "# duration_seconds=1\ntime,a\n";
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string slurp(const char* name) const {
        std::ifstream stream(folder_ / name);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }

    // Runs drevik in the folder; expects status 1, the load summary and one line starting with
    // "Drevik: " + start; returns that line.
    std::string refusal(const std::string& arguments, const std::string& start) const {
        const std::string command = "cd '" + folder_.string() + "' && '" + DREVIK_BINARY + "' " + arguments +
                                    " >stdout 2>stderr </dev/null";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << arguments << ": " << status;
        EXPECT_EQ(slurp("stdout"), "Loaded 1 frames / 1 lines; 48000 audio samples at 48000 Hz.\n") << arguments;
        const std::string error = slurp("stderr");
        EXPECT_TRUE(error.starts_with("Drevik: " + start)) << arguments << ": " << error;
        EXPECT_EQ(error.find('\n'), error.size() - 1) << arguments << ": " << error;
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            left.push_back(entry.path().filename().string());
        }
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"Graphics.csv", "Music.csv", "stderr", "stdout"})) << arguments;
        return error;
    }

    Path folder_;
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

// Upper bounds on the size, frame rate and length of what the offline writers are asked for.
#include "app/configuration.hpp"
#include "app/output_limits.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace drevik {
namespace {

Configuration configurationOf(const std::vector<std::string>& arguments) {
    LaunchEnvironment environment;
    environment.workingDirectory = "/w";
    return Configuration::fromArguments(arguments, environment);
}

std::string refusal(const std::vector<std::string>& arguments, double showSeconds = 60) {
    try {
        checkOutputLimits(configurationOf(arguments), showSeconds);
    } catch (const OutputLimitError& error) {
        return error.what();
    }
    return "";
}

TEST(OutputLimits, SizesUpToTheLimitPassAndLargerOnesAreRefused) {
    EXPECT_EQ(refusal({"--snapshot", "a.png", "--width", "16384", "--height", "16384"}), "");
    EXPECT_EQ(refusal({"--snapshot", "a.png", "--width", "16385"}),
              "--width 16385 is more than the 16384 pixels a snapshot can have.");
    EXPECT_EQ(refusal({"--movie", "a.mp4", "--height", "9223372036854775807"}),
              "--height 9223372036854775807 is more than the 16384 pixels a movie can have.");
}

TEST(OutputLimits, FrameRateAndLengthOnlyMatterForAMovie) {
    EXPECT_EQ(refusal({"--movie", "a.mp4", "--fps", "1000", "--duration", "86400"}), "");
    EXPECT_EQ(refusal({"--movie", "a.mp4", "--fps", "1001"}),
              "--fps 1001 is more than the 1000 frames per second a movie can have.");
    EXPECT_EQ(refusal({"--movie", "a.mp4", "--duration", "inf"}),
              "A movie of inf seconds is longer than the 86400 seconds (one day) Drevik exports.");
    EXPECT_EQ(refusal({"--movie", "a.mp4", "--duration", "86400.5"}),
              "A movie of 86400.5 seconds is longer than the 86400 seconds (one day) Drevik exports.");
    // Without an override the show's own length counts.
    EXPECT_EQ(refusal({"--movie", "a.mp4"}, 200000),
              "A movie of 200000 seconds is longer than the 86400 seconds (one day) Drevik exports.");
    EXPECT_EQ(refusal({"--snapshot", "a.png", "--fps", "999999", "--duration", "inf"}, 1e6), "");
}

TEST(OutputLimits, TheShowAndTheReportIgnoreOutputOptions) {
    EXPECT_EQ(refusal({"--width", "99999", "--fps", "99999", "--duration", "1e300"}), "");
    EXPECT_EQ(refusal({"--describe-scenes", "--width", "99999"}), "");
}

TEST(OutputLimits, TheProgramRefusesAfterLoadingWithOneLine) {
    std::string pattern = (std::filesystem::temp_directory_path() / "drevik-output-limits-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path folder = pattern;
    std::ofstream(folder / "Graphics.csv") << "# duration_seconds=1\ntime,x1,y1,x2,y2\n0,0,0,1,1\n";
    std::ofstream(folder / "Music.csv") << "# duration_seconds=1\ntime,a\n";
    const std::string command = "cd '" + folder.string() + "' && '" + DREVIK_BINARY +
                                "' --snapshot out.png --width 20000 >stdout 2>stderr </dev/null";
    const int status = std::system(command.c_str());
    const auto slurp = [&](const char* name) {
        std::ifstream stream(folder / name);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    };
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(slurp("stdout"), "Loaded 1 frames / 1 lines; 48000 audio samples at 48000 Hz.\n");
    EXPECT_EQ(slurp("stderr"), "Drevik: --width 20000 is more than the 16384 pixels a snapshot can have.\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "out.png"));
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace drevik

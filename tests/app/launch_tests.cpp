// The launch driver, mostly through the built program: arguments in, standard output, standard
// error and exit status out.
#include "app/configuration.hpp"
#include "app/launch.hpp"

#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace drevik {
namespace {

using Path = std::filesystem::path;

TEST(DurationText, IsTheShortestRoundTripWithAPointForWholeNumbers) {
    EXPECT_EQ(durationText(180), "180.0");
    EXPECT_EQ(durationText(179.5), "179.5");
    EXPECT_EQ(durationText(0.1), "0.1");
    EXPECT_EQ(durationText(300), "300.0");
    EXPECT_EQ(durationText(1e16), "1e+16");
    for (double value : {180.0000011, 0.30000000000000004, 1.0 / 3.0, 6.0 * 3600.0, 5e-324, 1.7976931348623157e308}) {
        std::string text = durationText(value);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
}

TEST(DurationCheck, AllowsLessThanAMicrosecond) {
    EXPECT_NO_THROW(checkDurations(180.0, 180.0));
    EXPECT_NO_THROW(checkDurations(180.0, 180.0000005));
    EXPECT_NO_THROW(checkDurations(180.0000009, 180.0));
    EXPECT_THROW(checkDurations(180.0, 180.0000011), LaunchError);
    EXPECT_THROW(checkDurations(180.0, 179.5), LaunchError);
    EXPECT_THROW(checkDurations(NAN, 180.0), LaunchError);
    EXPECT_THROW(checkDurations(INFINITY, INFINITY), LaunchError);
    try {
        checkDurations(180, 179.5);
    } catch (const LaunchError& error) {
        EXPECT_STREQ(error.what(), "Graphics.csv is 180.0s but Music.csv is 179.5s; they must match.");
        EXPECT_EQ(error.graphics(), 180.0);
        EXPECT_EQ(error.music(), 179.5);
    }
}

using testing::ProcessOutcome;

class Drevik : public ::testing::Test {
protected:
    // The folder the program runs in; tests put their inputs here.
    Path folder() const { return folder_.path(); }

    void write(const std::string& name, const std::string& text) const { testing::writeText(folder() / name, text); }

    // Runs the built program in folder(), without a display.
    ProcessOutcome run(const std::vector<std::string>& arguments) const {
        return testing::runDrevik(arguments, testing::ProcessOptions().in(folder()).unset("DISPLAY").unset("WAYLAND_DISPLAY"));
    }

    // Expects exit status 1 with exactly "Drevik: " + text on standard error and nothing on standard output.
    void expectFailure(const std::vector<std::string>& arguments, const std::string& text) const {
        ProcessOutcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 1) << ::testing::PrintToString(arguments);
        EXPECT_EQ(outcome.err, "Drevik: " + text + "\n") << ::testing::PrintToString(arguments);
        EXPECT_EQ(outcome.out, "") << ::testing::PrintToString(arguments);
    }

    testing::TemporaryFolder folder_{"drevik-launch"};
};

const std::string graphicsOfOneSecond = "# duration_seconds=1\n"
                                        "time,x1,y1,x2,y2\n"
                                        "0,0.1,0.1,0.9,0.9\n"
                                        "0,0.1,0.9,0.9,0.1\n"
                                        "0.5,0,0,1,1\n"
                                        "0.5,0,1,1,0\n"
                                        "0.5,0.5,0,0.5,1\n"
                                        "0.75,,,,\n";
const std::string musicOfOneSecond = "# duration_seconds=1\n"
                                     "time,lead,bass\n"
                                     "0,1,0.5\n"
                                     "0.5,,0.2\n";

std::string graphicsOf(const std::string& seconds) { return "# duration_seconds=" + seconds + "\ntime,x1,y1,x2,y2\n"; }
std::string musicOf(const std::string& seconds) { return "# duration_seconds=" + seconds + "\ntime,lead\n"; }

TEST_F(Drevik, HelpAnywherePrintsTheUsageAndReadsNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--help"},
        {"-h"},
        {"--graphics", "--help"},
        {"--snapshot", "a.png", "--movie", "b.mp4", "-h"},
        {"--describe-scenes", "--music", "none.csv", "--help", "--fps"},
    };
    for (const auto& arguments : cases) {
        ProcessOutcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 0) << ::testing::PrintToString(arguments);
        EXPECT_EQ(outcome.out, std::string(usageText()) + "\n") << ::testing::PrintToString(arguments);
        EXPECT_EQ(outcome.err, "") << ::testing::PrintToString(arguments);
    }
}

TEST_F(Drevik, OnlyTheExactHelpWordsAskForHelp) {
    for (const char* word : {"-help", "--Help", "-H", "--help=1", "help"}) {
        ProcessOutcome outcome = run({word});
        EXPECT_EQ(outcome.status, 1) << word;
        EXPECT_EQ(outcome.out, "") << word;
        EXPECT_NE(outcome.err.find("Graphics.csv"), std::string::npos) << word << ": " << outcome.err;
    }
}

TEST_F(Drevik, RefusedOptionsFailBeforeAnyFileIsRead) {
    const std::string text = "Choose either --snapshot or --movie, and use a positive --duration.";
    expectFailure({"--snapshot", "a.png", "--movie", "b.mp4"}, text);
    expectFailure({"--movie", "m.mp4", "--duration", "0"}, text);
}

TEST_F(Drevik, AMissingInputIsOneLineNamingTheFile) {
    ProcessOutcome outcome = run({});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    ASSERT_TRUE(outcome.err.starts_with("Drevik: ")) << outcome.err;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
    EXPECT_NE(outcome.err.find("Graphics.csv"), std::string::npos) << outcome.err;

    write("Graphics.csv", graphicsOfOneSecond);
    outcome = run({"--music", "elsewhere/Tune.csv"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("Tune.csv"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
}

TEST_F(Drevik, ContractErrorsReachStandardErrorUnchanged) {
    std::string broken = graphicsOf("180");
    for (int line = 3; line < 12; ++line) broken += "0.1,0,0,1,1\n";
    broken += "0.5,0.1,0.1,0.2\n"; // line 12: four fields
    write("Graphics.csv", broken);
    expectFailure({}, "Graphics.csv:12: expected five normalized fields");

    write("Shapes.csv", graphicsOfOneSecond);
    write("Music.csv", "# duration_seconds=1\n0,0.5\n");
    expectFailure({"--data", "Shapes.csv"}, "Music.csv is missing its CSV header.");
}

TEST_F(Drevik, TheGraphicsErrorComesBeforeAnyMusicError) {
    write("Graphics.csv", "0,0,0,1,1\n");
    write("Music.csv", "# duration_seconds=0\n");
    expectFailure({}, "Graphics.csv is missing its CSV header.");
    expectFailure({"--music", "missing.csv"}, "Graphics.csv is missing its CSV header.");
}

TEST_F(Drevik, DescribeScenesNeverReadsTheMusic) {
    write("Graphics.csv", graphicsOfOneSecond);
    for (const char* music : {"", "# duration_seconds=0\n", "# duration_seconds=2\ntime,a\n"}) {
        if (*music) write("Music.csv", music);
        ProcessOutcome outcome = run({"--describe-scenes", "--snapshot", "shot.png"});
        EXPECT_EQ(outcome.status, 0) << music;
        EXPECT_EQ(outcome.err, "") << music;
        EXPECT_EQ(outcome.out.find("Loaded"), std::string::npos) << outcome.out;
        EXPECT_FALSE(std::filesystem::exists(folder() / "shot.png"));
    }
    write("Graphics.csv", "time,x1,y1,x2,y2\n2,0,0,1,1\n");
    expectFailure({"--describe-scenes"}, "Graphics.csv:2: expected five normalized fields");
}

TEST_F(Drevik, ListeningReadsNoSoundtrack) {
    // Without a display the show cannot open; by then the drawing has been read and the music not.
    write("Graphics.csv", graphicsOfOneSecond);
    write("broken.csv", "# duration_seconds=2\n");
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--music", "missing.csv", "--listen"}, {"--music", "broken.csv", "--listen", "Mic"}}) {
        ProcessOutcome outcome = run(arguments);
        const std::string input = arguments.size() == 3 ? "the default sound input" : "\"Mic\"";
        EXPECT_EQ(outcome.out, "Loaded 3 frames / 5 lines; listening to " + input + ".\n");
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(outcome.err.starts_with("Drevik: There is no display")) << outcome.err;
    }
}

TEST_F(Drevik, DifferentDurationsAreRefusedUnderTheFixedFileNames) {
    write("g.csv", graphicsOf("180"));
    write("m.csv", musicOf("179.5"));
    expectFailure({"--data", "g.csv", "--music", "m.csv"},
                  "Graphics.csv is 180.0s but Music.csv is 179.5s; they must match.");
}

TEST_F(Drevik, DurationsMayDifferByLessThanAMicrosecond) {
    write("Graphics.csv", graphicsOf("180.0"));
    for (const char* seconds : {"180.0000011", "180.000002"}) {
        write("Music.csv", musicOf(seconds));
        ProcessOutcome outcome = run({"--snapshot", "shot.png", "--width", "16", "--height", "16"});
        EXPECT_EQ(outcome.status, 1) << seconds;
        EXPECT_TRUE(outcome.err.starts_with("Drevik: Graphics.csv is 180.0s but Music.csv is 180.00000"))
            << outcome.err;
        EXPECT_TRUE(outcome.err.ends_with("s; they must match.\n")) << outcome.err;
    }
    // 180.000001 reads as 180.00000099999999748 with the file's number syntax: just inside.
    for (const char* seconds : {"180.0000009", "180.0000005", "180.000001", "179.9999991"}) {
        write("Music.csv", musicOf(seconds));
        ProcessOutcome outcome = run({"--snapshot", "shot.png", "--width", "16", "--height", "16"});
        EXPECT_TRUE(outcome.out.starts_with("Loaded 0 frames / 0 lines; 8640000 audio samples at 48000 Hz.\n"))
            << seconds << ": " << outcome.out << outcome.err;
        EXPECT_EQ(outcome.err.find("must match"), std::string::npos) << seconds << ": " << outcome.err;
    }
}

TEST_F(Drevik, PrintsTheLoadSummaryBeforeTheMode) {
    write("Graphics.csv", graphicsOfOneSecond);
    write("Music.csv", musicOfOneSecond);
    const std::string summary = "Loaded 3 frames / 5 lines; 48000 audio samples at 48000 Hz.\n";
    ProcessOutcome outcome = run({"--snapshot", "out/../shot.png", "--width", "16", "--height", "16"});
    ASSERT_TRUE(outcome.out.starts_with(summary)) << outcome.out << outcome.err;
    if (outcome.status == 0) {
        const Path image = std::filesystem::canonical(folder()) / "shot.png";
        EXPECT_EQ(outcome.out, summary + "Wrote " + image.string() + "\n");
        EXPECT_TRUE(std::filesystem::exists(image));
    } else {
        // A mode that fails keeps the summary and adds one line on standard error.
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, summary);
        EXPECT_TRUE(outcome.err.starts_with("Drevik: ")) << outcome.err;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
    }
}

} // namespace
} // namespace drevik

#include "app/configuration.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace drevik {
namespace {

using Path = std::filesystem::path;

LaunchEnvironment shell() {
    LaunchEnvironment environment;
    environment.workingDirectory = "/w/run";
    return environment;
}

Configuration parse(const std::vector<std::string>& arguments, const LaunchEnvironment& environment = shell()) {
    return Configuration::fromArguments(arguments, environment);
}

TEST(Configuration, NoArgumentsFromAShellGivesTheDefaults) {
    Configuration c = parse({});
    EXPECT_EQ(c.graphicsURL, Path("/w/run/Graphics.csv"));
    EXPECT_EQ(c.musicURL, Path("/w/run/Music.csv"));
    EXPECT_EQ(c.normalizedTime, 0.0);
    EXPECT_TRUE(c.autoplay);
    EXPECT_FALSE(c.fullscreen);
    EXPECT_FALSE(c.snapshotURL);
    EXPECT_FALSE(c.movieURL);
    EXPECT_EQ(c.outputWidth, 1920);
    EXPECT_EQ(c.outputHeight, 1080);
    EXPECT_FALSE(c.movieDuration);
    EXPECT_EQ(c.framesPerSecond, 60);
    EXPECT_FALSE(c.describeScenes);
}

TEST(Configuration, ArgumentsThatNameNoOptionChangeNothing) {
    EXPECT_EQ(parse({"show.csv", "--verbose", "-x", "--Graphics", "a.csv", "--time=0.5"}), parse({}));
}

TEST(Configuration, TimeIsReadAsARealAndClamped) {
    auto time = [](std::vector<std::string> arguments) { return parse(arguments).normalizedTime; };
    EXPECT_EQ(time({"--time", "0.25"}), 0.25);
    EXPECT_EQ(time({"--time", "1.5"}), 1.0);
    EXPECT_EQ(time({"--time", "-2"}), 0.0);
    EXPECT_EQ(time({"--time", "abc"}), 0.0);
    EXPECT_EQ(time({"--time", "nan"}), 0.0);
    EXPECT_EQ(time({"--time", "inf"}), 1.0);
    EXPECT_EQ(time({"--time", "1e999"}), 1.0);
    EXPECT_EQ(time({"--time", "0x1p-2"}), 0.25);
    EXPECT_EQ(time({"--time", " 0.5"}), 0.0);
    EXPECT_EQ(time({"--time", "0.5 "}), 0.0);
    EXPECT_EQ(time({"--time", ""}), 0.0);
    EXPECT_EQ(time({"--time", "0.5", "--time"}), 0.0);
    EXPECT_EQ(time({"--time", "0.5", "--time", "0.75"}), 0.75);
}

TEST(Configuration, RealNumbersIgnoreTheProcessLocale) {
    // Under a locale with a decimal comma "0.5" must still read as one half. Such a locale is built
    // into a temporary folder when none is installed; skipped where the locale sources are missing.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    const testing::TemporaryFolder folder("drevik-locale");
    const Path& locales = folder.path();
    bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    if (!comma && testing::runProcess({"localedef", "-i", "de_DE", "-f", "UTF-8", (locales / "de_DE.UTF-8").string()})
                          .status == 0) {
        setenv("LOCPATH", locales.c_str(), 1);
        comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
        unsetenv("LOCPATH");
    }
    std::optional<double> half, decimalComma;
    if (comma) {
        half = realArgument("0.5");
        decimalComma = realArgument("0,5");
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!comma) GTEST_SKIP() << "no locale with a decimal comma available";
    EXPECT_EQ(half, 0.5);
    EXPECT_FALSE(decimalComma);
}

TEST(Configuration, RealArgumentRefusesLeadingWhiteSpaceAndLeftovers) {
    for (const char* text : {"", " 1", "\t1", "\n1", "\v1", "\f1", "\r1", "1x", "1 ", "--movie", "."}) {
        EXPECT_FALSE(realArgument(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(realArgument(std::string("1\0" "5", 3)));
    EXPECT_EQ(realArgument("+2.5e1"), 25.0);
    EXPECT_EQ(realArgument("-infinity"), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(*realArgument("nan")));
}

TEST(Configuration, IntegerArgumentsAreSignedDigitsOnly) {
    EXPECT_EQ(integerArgument("+800"), 800);
    EXPECT_EQ(integerArgument("-100"), -100);
    EXPECT_EQ(integerArgument("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(integerArgument("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    for (const char* text : {"", "+", "-", "+-1", "--1", "++1", " 1", "1 ", "1e3", "12.5", "0x10", "9223372036854775808",
                             "-9223372036854775809", "99999999999999999999999", "12a", "\xD9\xA1"}) {
        EXPECT_FALSE(integerArgument(text)) << '"' << text << '"';
    }
}

TEST(Configuration, SizesAndFrameRateFallBackAndAreRaisedToTheirMinimum) {
    auto width = [](std::string value) { return parse({"--width", value}).outputWidth; };
    EXPECT_EQ(width("8"), 16);
    EXPECT_EQ(width("-100"), 16);
    EXPECT_EQ(width("+800"), 800);
    EXPECT_EQ(width("1e3"), 1920);
    EXPECT_EQ(width("12.5"), 1920);
    EXPECT_EQ(width("99999999999999999999"), 1920);
    EXPECT_EQ(parse({"--width"}).outputWidth, 1920);
    EXPECT_EQ(parse({"--height", "8"}).outputHeight, 16);
    EXPECT_EQ(parse({"--height", "720"}).outputHeight, 720);
    EXPECT_EQ(parse({"--height", "x"}).outputHeight, 1080);
    EXPECT_EQ(parse({"--fps", "0"}).framesPerSecond, 1);
    EXPECT_EQ(parse({"--fps", "x"}).framesPerSecond, 60);
    EXPECT_EQ(parse({"--fps", "24"}).framesPerSecond, 24);
}

TEST(Configuration, GraphicsTakesPrecedenceOverItsDataAlias) {
    EXPECT_EQ(parse({"--graphics", "a.csv", "--data", "b.csv"}).graphicsURL, Path("/w/run/a.csv"));
    EXPECT_EQ(parse({"--data", "b.csv", "--graphics", "a.csv"}).graphicsURL, Path("/w/run/a.csv"));
    EXPECT_EQ(parse({"--data", "b.csv"}).graphicsURL, Path("/w/run/b.csv"));
    EXPECT_EQ(parse({"--data", "b.csv", "--graphics"}).graphicsURL, Path("/w/run/b.csv"));
    EXPECT_EQ(parse({"--graphics", "a.csv", "--graphics", "c.csv"}).graphicsURL, Path("/w/run/c.csv"));
    EXPECT_EQ(parse({"--music", "m1.csv", "--music", "/abs/m2.csv"}).musicURL, Path("/abs/m2.csv"));
}

TEST(Configuration, AValueIsTakenAsItIsEvenWhenItLooksLikeAnOption) {
    Configuration c = parse({"--graphics", "--music", "x.csv"});
    EXPECT_EQ(c.graphicsURL, Path("/w/run/--music"));
    EXPECT_EQ(c.musicURL, Path("/w/run/x.csv"));
}

TEST(Configuration, PathsAreResolvedAgainstTheWorkingDirectoryAndNormalised) {
    EXPECT_EQ(parse({"--graphics", "../shows/./a/Graphics.csv"}).graphicsURL, Path("/w/shows/a/Graphics.csv"));
    EXPECT_EQ(parse({"--snapshot", "/tmp//out/./x/../s.png"}).snapshotURL, Path("/tmp/out/s.png"));
    EXPECT_EQ(parse({"--movie", "../../../../m.mp4"}).movieURL, Path("/m.mp4"));
    EXPECT_EQ(parse({"--music", "dir/"}).musicURL, Path("/w/run/dir"));
    EXPECT_EQ(parse({"--music", "~/Music.csv"}).musicURL, Path("/w/run/~/Music.csv"));
    EXPECT_EQ(parse({"--music", ""}).musicURL, Path("/w/run"));
}

TEST(Configuration, FlagsCombine) {
    Configuration c = parse({"--paused", "--fullscreen", "--windowed", "--describe-scenes"});
    EXPECT_FALSE(c.autoplay);
    EXPECT_TRUE(c.fullscreen);
    EXPECT_TRUE(c.describeScenes);
    EXPECT_FALSE(parse({"--windowed"}).fullscreen);
    EXPECT_TRUE(parse({}).reload);
    EXPECT_FALSE(parse({"--no-reload"}).reload);
}

TEST(Configuration, DisplayIsAnOptionalIntegerCheckedWhenTheShowOpens) {
    EXPECT_FALSE(parse({}).display);
    EXPECT_EQ(parse({"--display", "1"}).display, 1);
    EXPECT_EQ(parse({"--display", "-2"}).display, -2); // refused later, naming the displays there are
    EXPECT_FALSE(parse({"--display", "second"}).display);
    EXPECT_FALSE(parse({"--display"}).display);
}

TEST(Configuration, ListenTakesAnInputNameOrTheDefaultAndRefusesOutputsAndTheMusicReport) {
    EXPECT_FALSE(parse({}).listen);
    EXPECT_FALSE(parse({}).listInputs);
    EXPECT_TRUE(parse({"--list-inputs"}).listInputs);
    EXPECT_EQ(parse({"--listen", "Monitor of Speakers"}).listen, "Monitor of Speakers");
    EXPECT_EQ(parse({"--listen", "default", "--music", "song.flac"}).listen, "default");
    EXPECT_EQ(parse({"--listen"}).listen, "default") << "no name after it: the default input";
    EXPECT_EQ(parse({"--listen", "--paused"}).listen, "--paused") << "a value is taken as it is";
    EXPECT_EQ(parse({"--listen", "x", "--describe-scenes"}).listen, "x");
    EXPECT_EQ(parse({"--listen", "x", "--snapshot"}).listen, "x") << "--snapshot without a path asks for nothing";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--listen", "default", "--snapshot", "a.png"}, "--snapshot"},
        {{"--movie", "a.mp4", "--listen", "x"}, "--movie"},
        {{"--listen", "x", "--movie", "frames/", "--part", "0/2"}, "--movie"},
        {{"--describe-music", "--listen"}, "--describe-music"},
    };
    for (const auto& [arguments, option] : refused) {
        try {
            parse(arguments);
            ADD_FAILURE() << "accepted " << ::testing::PrintToString(arguments);
        } catch (const ConfigurationError& error) {
            EXPECT_EQ(error.what(), "--listen shows the live sound in the window; it does not go with " + option + ".");
        }
    }
}

TEST(Configuration, ExportFormatOptionsAreKeptAsGivenAndAFolderEndsInASlash) {
    const Configuration plain = parse({"--movie", "show.mkv"});
    EXPECT_EQ(plain.outputFormat, OutputFormatRequest{});
    const Configuration chosen =
        parse({"--movie", "frames/", "--codec", "VP9", "--quality", "x", "--preset", "slow", "--transparent"});
    EXPECT_EQ(chosen.movieURL, std::filesystem::path("/w/run/frames"));
    EXPECT_TRUE(chosen.outputFormat.frameSequence);
    EXPECT_TRUE(chosen.outputFormat.transparent);
    EXPECT_EQ(chosen.outputFormat.codec, "VP9");
    EXPECT_EQ(chosen.outputFormat.quality, "x") << "checked against the movie's path later, with its own refusal";
    EXPECT_EQ(chosen.outputFormat.preset, "slow");
    EXPECT_FALSE(parse({"--movie", "frames/", "--movie", "frames.mp4"}).outputFormat.frameSequence)
        << "the last --movie counts";
}

TEST(Configuration, RefusesBothOutputsAndANonPositiveDuration) {
    const std::string expected = "Choose either --snapshot or --movie, and use a positive --duration.";
    const std::vector<std::vector<std::string>> refused = {
        {"--snapshot", "a.png", "--movie", "b.mp4"},
        {"--snapshot", "--movie", "b.mp4"}, // "--movie" becomes the snapshot path
        {"--movie", "m.mp4", "--duration", "0"},
        {"--duration", "-1"},
        {"--duration", "-0"},
        {"--duration", "nan"},
    };
    for (const auto& arguments : refused) {
        try {
            parse(arguments);
            ADD_FAILURE() << "accepted " << ::testing::PrintToString(arguments);
        } catch (const ConfigurationError& error) {
            EXPECT_EQ(error.what(), expected);
        }
    }
}

TEST(Configuration, MoviePartsAndTheirJoinAreCheckedStrictly) {
    Configuration c = parse({"--movie", "m.mp4", "--part", "3/16"});
    EXPECT_EQ(c.moviePart, (MoviePart{3, 16}));
    EXPECT_FALSE(c.joinParts);
    c = parse({"--movie", "m.mp4", "--join", "16", "--keep-parts"});
    EXPECT_EQ(c.joinParts, 16);
    EXPECT_TRUE(c.keepParts);
    EXPECT_FALSE(c.moviePart);
    EXPECT_EQ(parse({"--movie", "m.mp4", "--part", "0/1"}).moviePart, (MoviePart{0, 1}));

    // A wrong split would silently render the whole movie on every machine: refused instead.
    for (const char* bad : {"16/16", "-1/4", "1/0", "1", "1/", "/4", "a/b", "1/4/5", "0/100001", " 1/4"}) {
        EXPECT_THROW(parse({"--movie", "m.mp4", "--part", bad}), ConfigurationError) << bad;
    }
    EXPECT_THROW(parse({"--movie", "m.mp4", "--part"}), ConfigurationError);
    for (const char* bad : {"0", "-2", "x", "100001"}) {
        EXPECT_THROW(parse({"--movie", "m.mp4", "--join", bad}), ConfigurationError) << bad;
    }
    EXPECT_THROW(parse({"--part", "0/2"}), ConfigurationError);
    EXPECT_THROW(parse({"--snapshot", "s.png", "--join", "2"}), ConfigurationError);
    EXPECT_THROW(parse({"--movie", "m.mp4", "--part", "0/2", "--join", "2"}), ConfigurationError);
}

TEST(Configuration, AcceptsDurationsItNeedNotUse) {
    EXPECT_FALSE(parse({"--movie", "m.mp4", "--duration", "abc"}).movieDuration);
    EXPECT_FALSE(parse({"--movie", "m.mp4", "--duration"}).movieDuration);
    EXPECT_EQ(parse({"--duration", "10"}).movieDuration, 10.0);
    Configuration movie = parse({"--movie", "m.mp4", "--duration", "2.5"});
    EXPECT_EQ(movie.movieURL, Path("/w/run/m.mp4"));
    EXPECT_EQ(movie.movieDuration, 2.5);
    EXPECT_EQ(parse({"--duration", "inf"}).movieDuration, std::numeric_limits<double>::infinity());
}

class PackagedConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        testing::writeText(resources_ / "Graphics.csv", "time,x1,y1,x2,y2\n");
        std::filesystem::create_directory(resources_ / "Music.csv"); // a folder is not the bundled file
    }

    LaunchEnvironment packaged() const {
        LaunchEnvironment environment = shell();
        environment.packaged = true;
        environment.resourceDirectory = resources_;
        return environment;
    }

    testing::TemporaryFolder folder_{"drevik-packaged"};
    const Path& resources_ = folder_.path();
};

TEST_F(PackagedConfiguration, OpensFullScreenUnlessWindowed) {
    EXPECT_TRUE(parse({}, packaged()).fullscreen);
    EXPECT_FALSE(parse({"--windowed"}, packaged()).fullscreen);
    EXPECT_TRUE(parse({"--windowed", "--fullscreen"}, packaged()).fullscreen);
}

TEST_F(PackagedConfiguration, PrefersItsOwnInputFilesAndFallsBackToTheWorkingDirectory) {
    Configuration c = parse({}, packaged());
    EXPECT_EQ(c.graphicsURL, resources_ / "Graphics.csv");
    EXPECT_EQ(c.musicURL, Path("/w/run/Music.csv"));
    EXPECT_EQ(parse({"--data", "b.csv"}, packaged()).graphicsURL, Path("/w/run/b.csv"));
}

TEST(Configuration, TheCurrentProcessIsNotPackaged) {
    LaunchEnvironment environment = LaunchEnvironment::current();
    EXPECT_FALSE(environment.packaged);
    EXPECT_TRUE(environment.workingDirectory.is_absolute());
    EXPECT_EQ(Configuration::fromArguments({}).graphicsURL,
              resolveLocation(std::filesystem::current_path(), "Graphics.csv"));
}

TEST(UsageText, HasNineteenLinesWithAlignedDescriptions) {
    std::string text(usageText());
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 19u);
    EXPECT_EQ(lines[0], "VELMORA \u2014 native Metal vesperine renderer");
    EXPECT_EQ(lines[2], "  ./run.sh [options]");
    EXPECT_EQ(lines[18], "Runtime keys: ESC exit \u00b7 Space play/pause \u00b7 R rewind \u00b7 F fullscreen \u00b7 "
                         "\u2190/\u2192 seek 5s");
    for (std::size_t i = 4; i <= 16; ++i) {
        const std::string& line = lines[i];
        ASSERT_GT(line.size(), 21u) << line;
        EXPECT_EQ(line.substr(0, 4), "  --") << line;
        EXPECT_NE(line[20], ' ') << line;
        EXPECT_EQ(line[19], ' ') << line;
    }
    for (const char* option : {"--graphics PATH", "--data", "--music PATH", "--time 0...1", "--paused",
                               "--fullscreen", "--windowed", "--snapshot PATH", "--movie PATH", "--width N",
                               "--height N", "--fps N", "--duration N", "--describe-scenes"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(text.find("--no-reload"), std::string::npos); // documented in the README and the manual page
}

} // namespace
} // namespace drevik

// The bundled demo show: reproducible, readable, and rich enough to show every volume family and
// every camera choreography; and an installed program that finds it on its own.
#include "app/configuration.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "core/scene_profile.hpp"
#include "core/scene_span.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

namespace drevik {
namespace {

using Path = std::filesystem::path;

using testing::readText;

struct TemporaryFolder : testing::TemporaryFolder {
    TemporaryFolder() : testing::TemporaryFolder("drevik-demo") {}
};

int shell(const std::string& command) { return testing::runShell(command).status; }

TEST(DemoShow, GeneratorWritesTheSameBytesEveryTime) {
    TemporaryFolder folder;
    const std::string generator = DREVIK_DEMO_GENERATOR;
    ASSERT_EQ(shell(generator + " " + (folder.path() / "a").string()), 0);
    ASSERT_EQ(shell(generator + " " + (folder.path() / "b").string()), 0);
    for (const char* name : {"Graphics.csv", "Music.csv"}) {
        const std::string first = readText(folder.path() / "a" / name);
        EXPECT_GT(first.size(), 1000u) << name;
        EXPECT_EQ(first, readText(folder.path() / "b" / name)) << name;
        EXPECT_EQ(first, readText(Path(DREVIK_DEMO_DIR) / name)) << name << " differs from the built demo";
    }
}

TEST(DemoShow, ReadsCleanlyAndReachesEveryFamilyAndChoreography) {
    const Path demo = DREVIK_DEMO_DIR;
    const GraphicsTimeline graphics = GraphicsTimeline::fromCsvFile(demo / "Graphics.csv");
    const MusicTimeline music = MusicTimeline::fromCsvFile(demo / "Music.csv", 48000, 120);
    EXPECT_EQ(graphics.durationSeconds, music.durationSeconds);
    EXPECT_GE(graphics.durationSeconds, 60.0);
    EXPECT_LE(graphics.durationSeconds, 90.0);
    EXPECT_GE(graphics.sceneBoundaries.size(), 2u);
    // A fluid picture: at least 24 frames a second.
    EXPECT_GE(double(graphics.frames.size()) / graphics.durationSeconds, 24.0);

    std::set<VolumeFamily> families;
    std::set<CameraChoreography> choreographies;
    for (const SceneSpan& span : graphics.nonEmptySceneSpans()) {
        const SceneProfile profile = graphics.analyzeScene(span);
        families.insert(profile.family);
        choreographies.insert(profile.camera);
    }
    EXPECT_EQ(families.size(), 8u);
    EXPECT_EQ(choreographies.size(), 10u);

    // The soundtrack moves: its features are neither silent nor flat.
    float quietest = 1, loudest = 0, strongestPulse = 0;
    for (const AudioFeatures& step : music.analysis) {
        quietest = std::min(quietest, step.energy);
        loudest = std::max(loudest, step.energy);
        strongestPulse = std::max(strongestPulse, step.pulse);
    }
    EXPECT_LT(quietest, 0.3f);
    EXPECT_GT(loudest, 0.6f);
    EXPECT_GT(strongestPulse, 0.9f);
}

TEST(InstalledProgram, FindsTheDemoShowInItsPrefixWithoutOptions) {
    TemporaryFolder folder;
    const Path prefix = folder.path() / "prefix";
    ASSERT_EQ(shell("cmake --install " + std::string(DREVIK_BUILD_DIR) + " --prefix " + prefix.string() +
                    " > /dev/null"),
              0);
    EXPECT_TRUE(std::filesystem::exists(prefix / "share/man/man1/drevik.1"));
    EXPECT_TRUE(std::filesystem::exists(prefix / "share/applications/drevik.desktop"));

    // Run from an empty folder: the installed program must still find its demo show.
    const Path empty = folder.path() / "elsewhere";
    std::filesystem::create_directory(empty);
    const testing::ProcessOutcome report =
        testing::runProcess({(prefix / "bin/drevik").string(), "--describe-scenes"}, testing::ProcessOptions().in(empty));
    ASSERT_EQ(report.status, 0) << report.err;
    const std::string& lines = report.out;
    EXPECT_NE(lines.find("folded-crystal"), std::string::npos) << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 13);

    // Its defaults are those of a packaged program: the demo files and full screen.
    EXPECT_EQ(installedDemoDirectory(prefix / "bin/drevik"), prefix / "share/drevik/demo");
    EXPECT_EQ(installedDemoDirectory(Path(DREVIK_BINARY)), Path());
}

TEST(InstalledProgram, PackagedDefaultsAreTheDemoAndFullScreen) {
    TemporaryFolder folder;
    const Path demo = folder.path() / "share/drevik/demo";
    std::filesystem::create_directories(demo);
    std::filesystem::create_directories(folder.path() / "bin");
    std::ofstream(demo / "Graphics.csv") << "time,x1,y1,x2,y2\n";
    std::ofstream(demo / "Music.csv") << "time,a\n";
    ASSERT_EQ(installedDemoDirectory(folder.path() / "bin/drevik"), demo);
    // Without the music file the prefix holds no demo show.
    std::filesystem::remove(demo / "Music.csv");
    EXPECT_EQ(installedDemoDirectory(folder.path() / "bin/drevik"), Path());
    // A program outside a bin folder is never an installed one.
    EXPECT_EQ(installedDemoDirectory(folder.path() / "build/drevik"), Path());

    std::ofstream(demo / "Music.csv") << "time,a\n";
    LaunchEnvironment environment;
    environment.workingDirectory = folder.path();
    environment.packaged = true;
    environment.resourceDirectory = demo;
    const Configuration configuration = Configuration::fromArguments({}, environment);
    EXPECT_EQ(configuration.graphicsURL, demo / "Graphics.csv");
    EXPECT_EQ(configuration.musicURL, demo / "Music.csv");
    EXPECT_TRUE(configuration.fullscreen);
}

} // namespace
} // namespace drevik

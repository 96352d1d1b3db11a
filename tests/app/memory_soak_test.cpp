// Long runs keep a flat memory: the whole demo show through the movie export, and well over a thousand
// frames through the show's own frame path in a real window. After a warm-up, resident memory may not
// grow by more than 20 MB, however many frames follow.
//
// The figures are only meaningful in a normal build: under AddressSanitizer freed memory is held in
// quarantine on purpose, so these tests skip there. The validation layer is left off for the same
// reason (it tracks objects of its own); the frames drawn here are validated by the renderer tests.
#include "app/configuration.hpp"
#include "app/show_view.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"
#include "tests/support/virtual_display.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define DREVIK_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DREVIK_UNDER_SANITIZER 1
#endif
#endif

namespace drevik {
namespace {

constexpr double allowedGrowthBytes = 20.0 * 1024 * 1024;
constexpr int warmUpFrames = 100;

// Resident memory of a process in bytes, 0 once it has gone.
double residentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
    }
    return 0;
}

void skipUnderSanitizers() {
#ifdef DREVIK_UNDER_SANITIZER
    GTEST_SKIP() << "resident memory is not meaningful under AddressSanitizer";
#endif
}

// The frame count of a movie progress line ("Metal movie  6.5% (151 / 2340 frames)"), or -1.
int framesDone(const std::string& line) {
    const std::size_t open = line.find('(');
    if (line.rfind("Metal movie", 0) != 0 || open == std::string::npos) return -1;
    return std::atoi(line.c_str() + open + 1);
}

TEST(MemorySoak, TheWholeDemoMovieKeepsAFlatMemory) {
    skipUnderSanitizers();
    if (IsSkipped()) return;
    const testing::TemporaryFolder folder("drevik-soak");
    // 78 s of the demo at 30 frames a second: 2340 frames, small pictures so the run stays quick.
    testing::RunningProcess movie({DREVIK_BINARY, "--graphics", DREVIK_DEMO_DIR "/Graphics.csv", "--music",
                                   DREVIK_DEMO_DIR "/Music.csv", "--movie", (folder.path() / "soak.mp4").string(),
                                   "--width", "64", "--height", "36", "--fps", "30"},
                                  testing::ProcessOptions().limit(std::chrono::seconds(280)));
    double afterWarmUp = 0;
    double highest = 0;
    int firstMeasured = -1;
    int lastMeasured = -1;
    // The progress lines say how far the export is; its memory is sampled while it runs.
    for (double resident = 1; resident > 0; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        const std::string progress = movie.outputSoFar();
        const std::size_t end = progress.rfind('\n');
        if (end == std::string::npos) continue;
        const std::size_t start = progress.rfind('\n', end - 1);
        const int done = framesDone(progress.substr(start == std::string::npos ? 0 : start + 1));
        resident = residentBytes(movie.pid());
        if (done <= warmUpFrames || resident == 0) continue;
        if (firstMeasured < 0) {
            afterWarmUp = resident;
            firstMeasured = done;
        }
        highest = std::max(highest, resident);
        lastMeasured = done;
    }
    const testing::ProcessOutcome outcome = movie.wait();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    ASSERT_GE(lastMeasured - firstMeasured, 2000) << "too few frames were measured";
    std::printf("movie: %.1f MB resident at frame %d, at most %.1f MB up to frame %d\n", afterWarmUp / 1e6,
                firstMeasured, highest / 1e6, lastMeasured);
    EXPECT_LE(highest - afterWarmUp, allowedGrowthBytes)
        << "resident memory grew from " << afterWarmUp / 1e6 << " MB at frame " << firstMeasured << " to "
        << highest / 1e6 << " MB by frame " << lastMeasured;
}

TEST(MemorySoak, TheShowsFramesKeepAFlatMemoryInAWindow) {
    skipUnderSanitizers();
    if (IsSkipped()) return;
    testing::preferSoftwareDriver();
    const testing::WindowDisplay display;
    if (!display.running()) GTEST_SKIP() << "Xvfb could not be started";

    const GraphicsTimeline timeline = GraphicsTimeline::fromCsvFile(DREVIK_DEMO_DIR "/Graphics.csv");
    const MusicTimeline music = MusicTimeline::fromCsvFile(DREVIK_DEMO_DIR "/Music.csv", 48000, 120);
    const std::size_t measuredFrames = 1500;
    double afterWarmUp = 0;
    double highest = 0;
    std::size_t framesAtEnd = 0;
    bool escaped = false;
    const auto began = std::chrono::steady_clock::now();

    ShowHooks hooks;
    hooks.width = 64;
    hooks.height = 36;
    hooks.afterFrame = [&](MetalShowView& view, SDL_Window*) {
        if (escaped) return;
        const std::size_t shown = view.framesShown();
        // A slow machine may reach the end of the demo first: start it again, so frames keep coming.
        if (!view.transport().playing()) view.play();
        if (shown < warmUpFrames) return;
        const double resident = residentBytes(getpid());
        if (shown == warmUpFrames) afterWarmUp = resident;
        highest = std::max(highest, resident);
        const bool tooLong = std::chrono::steady_clock::now() - began > std::chrono::seconds(240);
        if (shown >= warmUpFrames + measuredFrames || tooLong) {
            framesAtEnd = shown;
            testing::pushKey(SDL_SCANCODE_ESCAPE);
            escaped = true;
        }
    };
    Configuration configuration;
    configuration.autoplay = true;
    DrevikAppDelegate delegate(timeline, music, configuration, hooks);
    delegate.run();

    ASSERT_GE(framesAtEnd, warmUpFrames + measuredFrames) << "the show did not reach its frames in time";
    std::printf("show: %.1f MB resident at frame %d, at most %.1f MB up to frame %zu\n", afterWarmUp / 1e6,
                warmUpFrames, highest / 1e6, framesAtEnd);
    EXPECT_LE(highest - afterWarmUp, allowedGrowthBytes)
        << "resident memory grew from " << afterWarmUp / 1e6 << " MB after the warm-up to " << highest / 1e6
        << " MB by frame " << framesAtEnd;
}

} // namespace
} // namespace drevik

// The show in a real window on a private X server, with a stand-in for the GPU renderer.
#include "app/show_view.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"
#include "tests/support/virtual_display.hpp"

#include <gtest/gtest.h>

#include <png.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace drevik {
namespace {

// Paints every frame a grey whose level follows the show time; can be told to fail.
class GreySource final : public ShowFrameSource {
public:
    std::function<bool()> failNow;
    int delayMs = 0;
    bool render(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                const AudioFeatures&) override {
        if (failNow && failNow()) throw Error("Metal could not allocate a buffer.");
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        into.width = width;
        into.height = height;
        into.bgra.assign(width * height * 4, 0);
        auto level = static_cast<std::uint8_t>(64 + normalizedTime * 128);
        for (std::size_t i = 0; i < width * height; ++i) {
            into.bgra[i * 4 + 0] = level;
            into.bgra[i * 4 + 1] = level;
            into.bgra[i * 4 + 2] = level;
            into.bgra[i * 4 + 3] = 255;
        }
        return true;
    }
};

using testing::screenPixel;
using testing::screenPixels;

using testing::pushKey;

class ShowWindow : public testing::WindowDisplaySuite {
protected:
    void SetUp() override {
        WindowDisplaySuite::SetUp();
        if (IsSkipped()) return;
        timeline.durationSeconds = 180;
        music.durationSeconds = 180;
        music.sampleRate = 8000;
        music.samples.assign(180 * 8000, 0.25f);
        hooks.width = 160;
        hooks.height = 90;
        hooks.makeSource = [this](SDL_Window*) {
            auto made = std::make_unique<GreySource>();
            made->failNow = [this] { return failFrames; };
            made->delayMs = frameDelayMs;
            return made;
        };
    }

    // Runs the show; `step` is called after every shown frame with its number and ends the show by
    // returning false (Escape is pressed then). Fails the test when the show takes too long.
    // Where the show opens: normalised time, autoplay, full screen.
    struct Start {
        double normalizedTime = 0;
        bool autoplay = true;
        bool fullscreen = false;
    };

    void runShow(Start start, std::function<bool(MetalShowView&, SDL_Window*, std::size_t)> step) {
        auto began = std::chrono::steady_clock::now();
        bool escaped = false;
        hooks.afterFrame = [&](MetalShowView& view, SDL_Window* window) {
            if (escaped) return;
            bool tooLong = std::chrono::steady_clock::now() - began > std::chrono::seconds(20);
            if (tooLong) ADD_FAILURE() << "the show did not finish in time";
            if (tooLong || !step(view, window, view.framesShown())) {
                pushKey(SDL_SCANCODE_ESCAPE);
                escaped = true;
            }
        };
        Configuration configuration;
        configuration.normalizedTime = start.normalizedTime;
        configuration.autoplay = start.autoplay;
        configuration.fullscreen = start.fullscreen;
        configuration.display = displayNumber;
        DrevikAppDelegate delegate(timeline, music, configuration, hooks);
        delegate.run();
    }

    GraphicsTimeline timeline;
    MusicTimeline music;
    ShowHooks hooks;
    bool failFrames = false;
    int frameDelayMs = 0;
    std::optional<std::int64_t> displayNumber; // --display
};

TEST_F(ShowWindow, OpensTitledShowsItsFirstFrameAndEndsOnEscape) {
    std::array<int, 3> pixel{};
    std::string title;
    int width = 0;
    int height = 0;
    runShow({0.5, false, false}, [&](MetalShowView& view, SDL_Window* window, std::size_t frames) {
        if (frames < 2) return true; // wait for a frame to reach the screen
        title = SDL_GetWindowTitle(window);
        SDL_GetWindowSize(window, &width, &height);
        pixel = screenPixel(window, 80, 45);
        EXPECT_FALSE(view.transport().playing());
        EXPECT_DOUBLE_EQ(view.lastFrameSeconds(), 90);
        EXPECT_FALSE(view.presentsThroughSwapchain()); // a stand-in's pictures go through the window's surface
        return false;
    });
    EXPECT_EQ(title, "VELMORA — METAL VESPERINE");
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 90);
    EXPECT_EQ(pixel, (std::array<int, 3>{128, 128, 128}));
}

TEST_F(ShowWindow, KeysDriveTheTransport) {
    int stage = 0;
    runShow({0.5, false, false}, [&](MetalShowView& view, SDL_Window*, std::size_t) {
        const ShowTransport& transport = view.transport();
        switch (stage++) {
        case 0: pushKey(SDL_SCANCODE_RIGHT); return true;
        case 1:
            EXPECT_EQ(transport.positionSeconds(), 95);
            EXPECT_FALSE(transport.playing());
            pushKey(SDL_SCANCODE_SPACE);
            return true;
        case 2:
            EXPECT_TRUE(transport.playing());
            EXPECT_GE(transport.currentSeconds(), 95);
            pushKey(SDL_SCANCODE_SPACE);
            return true;
        case 3:
            EXPECT_FALSE(transport.playing());
            pushKey(SDL_SCANCODE_LEFT);
            pushKey(SDL_SCANCODE_LEFT);
            return true;
        case 4:
            EXPECT_NEAR(transport.positionSeconds(), 85, 0.5);
            pushKey(SDL_SCANCODE_R);
            return true;
        case 5:
            EXPECT_TRUE(transport.playing());
            EXPECT_LT(transport.currentSeconds(), 2);
            pushKey(SDL_SCANCODE_A); // not a show key
            return true;
        default: return false;
        }
    });
    EXPECT_GE(stage, 6);
}

// A frame that takes half a second must not hold up the keys: the key pressed while it is being made
// takes effect at once, and the show clock runs on meanwhile.
TEST_F(ShowWindow, KeysActWhileASlowFrameIsBeingMade) {
    frameDelayMs = 500;
    std::chrono::steady_clock::time_point pressed;
    double playedByNextFrame = -1;
    runShow({0.5, false, false}, [&](MetalShowView& view, SDL_Window*, std::size_t frames) {
        if (frames == 0) return true;
        if (frames == 1) {
            pushKey(SDL_SCANCODE_SPACE); // handled while the next frame is made
            pressed = std::chrono::steady_clock::now();
            return true;
        }
        double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count();
        EXPECT_TRUE(view.transport().playing());
        playedByNextFrame = view.transport().currentSeconds() - 90 - waited; // 0 when play began at the press
        return false;
    });
    EXPECT_NEAR(playedByNextFrame, 0, 0.15);
}

// On a device that needs 300 ms a frame, each picture shows the moment at which it reaches the screen.
TEST_F(ShowWindow, SlowFramesShowTheMomentTheyAppear) {
    frameDelayMs = 300;
    double drift = 1;
    runShow({0.1, true, false}, [&](MetalShowView& view, SDL_Window*, std::size_t frames) {
        if (frames < 4) return true;
        drift = view.lastFrameSeconds() - view.transport().currentSeconds();
        return false;
    });
    EXPECT_NEAR(drift, 0, 0.15); // a frame late would be -0.3
}

TEST_F(ShowWindow, WithoutSoundTheShowRunsOnTheSteadyClock) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    bool hadPlayer = true;
    double reached = 0;
    runShow({0, true, false}, [&](MetalShowView& view, SDL_Window*, std::size_t) {
        hadPlayer = view.hasAudioPlayer();
        reached = view.transport().currentSeconds();
        return reached < 0.3;
    });
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    EXPECT_FALSE(hadPlayer);
    EXPECT_GE(reached, 0.3);
}

TEST_F(ShowWindow, AFailedFrameIsNamedInTheTitleAndLaterFramesGoOn) {
    std::string failedTitle;
    int stage = 0;
    runShow({0, true, false}, [&](MetalShowView&, SDL_Window* window, std::size_t) {
        switch (stage++) {
        case 0: failFrames = true; return true;
        case 1: return true; // the frame requested before the failure began
        case 2:
            failedTitle = SDL_GetWindowTitle(window);
            failFrames = false;
            return true;
        default:
            EXPECT_EQ(std::string(SDL_GetWindowTitle(window)), failedTitle); // the title stays
            return false;
        }
    });
    EXPECT_EQ(failedTitle, "VELMORA — Metal could not allocate a buffer.");
}

TEST_F(ShowWindow, FullScreenHidesTheCursorOnceAndLeavingShowsIt) {
    int stage = 0;
    runShow({0, false, true}, [&](MetalShowView& view, SDL_Window* window, std::size_t) {
        switch (stage++) {
        case 0:
            EXPECT_NE(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN, 0u);
            EXPECT_TRUE(view.cursorHidden());
            EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_DISABLE);
            view.mouseMoved(); // already hidden: nothing changes
            EXPECT_TRUE(view.cursorHidden());
            pushKey(SDL_SCANCODE_F);
            return true;
        case 1:
            EXPECT_EQ(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN, 0u);
            EXPECT_FALSE(view.cursorHidden());
            EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_ENABLE);
            view.mouseMoved(); // in a window the cursor stays
            EXPECT_FALSE(view.cursorHidden());
            return false;
        default: return false;
        }
    });
    EXPECT_GE(stage, 2);
}

TEST_F(ShowWindow, ClosingTheWindowEndsTheShow) {
    bool ranOn = false;
    runShow({0, true, false}, [&](MetalShowView&, SDL_Window* window, std::size_t frames) {
        if (frames == 1) {
            SDL_Event event{};
            event.type = SDL_WINDOWEVENT;
            event.window.event = SDL_WINDOWEVENT_CLOSE;
            event.window.windowID = SDL_GetWindowID(window);
            SDL_PushEvent(&event);
        }
        if (frames > 1) ranOn = true;
        return frames < 50; // Escape only if the close was ignored
    });
    EXPECT_FALSE(ranOn) << "the show went on after its window was closed";
}

TEST_F(ShowWindow, ResizingKeepsTheContentAtSixteenByNine) {
    int width = 0;
    int height = 0;
    std::size_t pictureHeight = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    runShow({0, false, false}, [&](MetalShowView& view, SDL_Window* window, std::size_t frames) {
        if (frames == 1) {
            SDL_SetWindowSize(window, 320, 320);
            return true;
        }
        SDL_GetWindowSize(window, &width, &height);
        pictureHeight = view.lastPicture().height;
        // Frames made while the window settles may have the passing size; the settled one has 16:9.
        return (height != 180 || pictureHeight != 180) && std::chrono::steady_clock::now() < deadline;
    });
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 180);
    EXPECT_EQ(pictureHeight, 180u);
}

TEST_F(ShowWindow, StartFailureIsReportedAndOpensNoWindow) {
    std::string reported;
    hooks.makeSource = [](SDL_Window*) -> std::unique_ptr<ShowFrameSource> { throw ShowViewError(); };
    hooks.reportStartFailure = [&](const std::string& description) { reported = description; };
    bool stepped = false;
    runShow({}, [&](MetalShowView&, SDL_Window*, std::size_t) { return stepped = true, false; });
    EXPECT_EQ(reported, "This Mac does not provide a Metal device.");
    EXPECT_FALSE(stepped);
}

TEST_F(ShowWindow, KeysAreChosenByPosition) {
    EXPECT_EQ(showKeyForScancode(SDL_SCANCODE_ESCAPE), ShowKey::escape);
    EXPECT_EQ(showKeyForScancode(SDL_SCANCODE_SPACE), ShowKey::space);
    EXPECT_EQ(showKeyForScancode(SDL_SCANCODE_R), ShowKey::r);
    EXPECT_EQ(showKeyForScancode(SDL_SCANCODE_F), ShowKey::f);
    EXPECT_EQ(showKeyForScancode(SDL_SCANCODE_LEFT), ShowKey::leftArrow);
    EXPECT_EQ(showKeyForScancode(SDL_SCANCODE_RIGHT), ShowKey::rightArrow);
    EXPECT_EQ(showKeyForScancode(SDL_SCANCODE_Q), ShowKey::other);
}

// Paused, with nothing new to draw, the show sleeps; a key wakes it and acts within about a frame.
TEST_F(ShowWindow, APausedShowSleepsAndAKeyStillActsAtOnce) {
    std::atomic<std::size_t> shown{0};
    std::atomic<bool> pressed{false};
    std::chrono::steady_clock::time_point pressedAt;
    double cpuShare = -1;
    std::size_t framesWhileIdle = 0;
    double reaction = -1;
    std::thread probe;
    runShow({0.5, false, false}, [&](MetalShowView& view, SDL_Window*, std::size_t frames) {
        shown = frames;
        if (frames == 1 && !probe.joinable()) {
            probe = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the first frames settle
                auto cpu = [] {
                    rusage usage{};
                    getrusage(RUSAGE_SELF, &usage);
                    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
                };
                std::size_t before = shown;
                double cpuBefore = cpu();
                auto began = std::chrono::steady_clock::now();
                std::this_thread::sleep_for(std::chrono::seconds(2));
                cpuShare = (cpu() - cpuBefore) /
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
                framesWhileIdle = shown - before;
                pressedAt = std::chrono::steady_clock::now();
                pressed = true;
                pushKey(SDL_SCANCODE_SPACE);
            });
            return true;
        }
        if (!pressed) return true;
        reaction = std::chrono::duration<double>(std::chrono::steady_clock::now() - pressedAt).count();
        EXPECT_TRUE(view.transport().playing());
        return false;
    });
    if (probe.joinable()) probe.join();
    EXPECT_EQ(framesWhileIdle, 0u);
    EXPECT_GE(cpuShare, 0);
    EXPECT_LT(cpuShare, 0.03) << "share of one core used by a paused show";
    EXPECT_GE(reaction, 0);
    EXPECT_LT(reaction, 0.1) << "seconds from the key to the next frame";
    std::printf("paused show: %.2f %% of a core; key to frame %.1f ms\n", cpuShare * 100, reaction * 1000);
}

TEST_F(ShowWindow, TheWindowOpensCentredOnTheChosenDisplay) {
    int index = -1;
    SDL_Rect bounds{};
    int x = 0;
    int y = 0;
    displayNumber = 0;
    runShow({0, false, false}, [&](MetalShowView&, SDL_Window* window, std::size_t frames) {
        if (frames < 1) return true;
        index = SDL_GetWindowDisplayIndex(window);
        SDL_GetDisplayBounds(0, &bounds);
        SDL_GetWindowPosition(window, &x, &y);
        return false;
    });
    EXPECT_EQ(index, 0);
    EXPECT_EQ(x, bounds.x + (bounds.w - 160) / 2);
    EXPECT_EQ(y, bounds.y + (bounds.h - 90) / 2);
}

// A folder holding a four-second show, for the tests that start the program.
struct ShowFolder : testing::TemporaryFolder {
    ShowFolder() : testing::TemporaryFolder("drevik-show-run") {
        testing::writeText(path() / "Graphics.csv", "# duration_seconds=4\ntime,x1,y1,x2,y2\n0,0.1,0.1,0.9,0.9\n");
        testing::writeText(path() / "Music.csv", "# duration_seconds=4\ntime,lead\n0,1\n0.5,0.2\n");
    }
};

// A display that does not exist: one line naming those there are, status 1, and no window.
TEST_F(ShowWindow, TheProgramRefusesADisplayThatDoesNotExist) {
    const ShowFolder folder;
    const testing::ProcessOutcome outcome = testing::runDrevik(
        {"--display", "3"},
        testing::ProcessOptions().in(folder.path()).set("SDL_AUDIODRIVER=dummy").limit(std::chrono::seconds(20)));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Drevik: There is no display 3; this machine has 1 display (0).\n");
}

// The whole program: launch, the show at its full size with the real renderer, and a request to quit
// (SDL turns SIGTERM into the same quit event that closing the window sends). Nothing reaches standard
// error, not even from the sound library on a machine without a sound card.
TEST_F(ShowWindow, TheProgramShowsQuietlyAndEndsWithStatusZeroWhenAskedToQuit) {
    const ShowFolder folder;
    testing::RunningProcess show({DREVIK_BINARY},
                                 testing::ProcessOptions().in(folder.path()).set("SDL_AUDIODRIVER=alsa").limit(
                                     std::chrono::seconds(13)));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    show.signal(SIGTERM);
    const testing::ProcessOutcome outcome = show.wait();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')),
              "Loaded 1 frames / 1 lines; 192000 audio samples at 48000 Hz.");
    EXPECT_EQ(outcome.err, "");
}

// Without any display server the program says so on standard error and fails, without hanging.
void expectNoDisplayFailure(const std::vector<std::string>& environment) {
    const ShowFolder folder;
    testing::ProcessOptions options = testing::ProcessOptions()
                                          .in(folder.path())
                                          .unset("DISPLAY")
                                          .unset("WAYLAND_DISPLAY")
                                          .unset("XDG_RUNTIME_DIR")
                                          .set("SDL_AUDIODRIVER=dummy")
                                          .limit(std::chrono::seconds(20));
    for (const std::string& change : environment) options.set(change);
    const testing::ProcessOutcome outcome = testing::runDrevik({}, options);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(outcome.err.starts_with("Drevik: There is no display")) << outcome.err;
    EXPECT_NE(outcome.err.find("--snapshot PATH or a movie with --movie PATH instead."), std::string::npos)
        << outcome.err;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
}

TEST(ShowWithoutDisplay, OneLineOnStandardErrorAndStatusOne) {
    expectNoDisplayFailure({"SDL_VIDEODRIVER"});
    expectNoDisplayFailure({"SDL_VIDEODRIVER=x11"});
}

} // namespace
} // namespace drevik

namespace drevik {
namespace {

// Pixels of the window's rectangle that are not black.
std::size_t litPixels(SDL_Window* window, int x, int y, int width, int height) {
    std::size_t lit = 0;
    for (const auto& pixel : screenPixels(window, x, y, width, height))
        if (pixel[0] + pixel[1] + pixel[2] > 30) ++lit;
    return lit;
}

// The real renderer on the system's Vulkan device (lavapipe on a build machine) with the validation
// layer on, drawing straight into a small window's swapchain, which is remade when the window grows.
// Twelve crossing lines over four seconds, for the real renderer in a 192 × 108 window.
void useCrossingLines(GraphicsTimeline& timeline, MusicTimeline& music, ShowHooks& hooks) {
    std::string csv = "# duration_seconds=4\ntime,x1,y1,x2,y2\n";
    for (int i = 0; i < 12; ++i) {
        double y = 0.1 + 0.8 * i / 11.0;
        csv += "0," + std::to_string(0.1) + "," + std::to_string(y) + ",0.9," + std::to_string(1.0 - y) + "\n";
    }
    timeline = GraphicsTimeline::fromCsvData(csv, "Graphics.csv");
    music.durationSeconds = 4;
    music.samples.assign(4 * 8000, 0.25f);
    hooks.makeSource = nullptr;
    hooks.width = 192;
    hooks.height = 108;
}

TEST_F(ShowWindow, TheRendererDrawsStraightIntoTheWindowAndFollowsItsSize) {
    useCrossingLines(timeline, music, hooks);
    gpu::setDefaultDeviceOptions(testing::validatedDeviceOptions());
    gpu::takeValidationMessages();
    std::size_t litFirst = 0;
    std::size_t litGrown = 0;
    std::size_t grownWidth = 0;
    std::string title;
    bool direct = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    runShow({0.25, false, false}, [&](MetalShowView& view, SDL_Window* window, std::size_t frames) {
        if (frames < 1) return true;
        if (frames == 1) {
            title = SDL_GetWindowTitle(window);
            direct = view.presentsThroughSwapchain();
            EXPECT_EQ(view.lastPicture().width, 192u);
            EXPECT_EQ(view.lastPicture().height, 108u);
            for (int i = 0; i < 50 && (litFirst = litPixels(window, 0, 0, 192, 108)) < 100; ++i) SDL_Delay(10);
            SDL_SetWindowSize(window, 320, 180);
            return true;
        }
        grownWidth = view.lastPicture().width;
        if (grownWidth != 320 || view.lastPicture().height != 180) return std::chrono::steady_clock::now() < deadline;
        for (int i = 0; i < 50 && (litGrown = litPixels(window, 192, 108, 128, 72)) < 20; ++i) SDL_Delay(10);
        return false;
    });
    gpu::setDefaultDeviceOptions({});
    EXPECT_EQ(title, "VELMORA — METAL VESPERINE");
    EXPECT_TRUE(direct);
    EXPECT_GT(litFirst, 100u) << "the first frame is black on the screen";
    EXPECT_EQ(grownWidth, 320u);
    EXPECT_GT(litGrown, 20u) << "the part of the window added by growing it stays black";
    for (const auto& message : gpu::takeValidationMessages()) ADD_FAILURE() << "validation: " << message;
}

// P writes the picture on screen (drawn straight into the window) as a PNG of the window's size, and
// says where on standard output.
TEST_F(ShowWindow, TheScreenshotKeyWritesThePictureOnScreen) {
    useCrossingLines(timeline, music, hooks);
    const testing::TemporaryFolder screenshots("drevik-show-screenshot");
    const std::filesystem::path& folder = screenshots.path();
    hooks.screenshotFolder = folder;
    std::mutex mutex;
    std::condition_variable changed;
    std::filesystem::path written;
    bool finished = false;
    hooks.screenshotWritten = [&](const std::filesystem::path& location) {
        {
            std::lock_guard lock(mutex);
            written = location;
        }
        pushKey(SDL_SCANCODE_ESCAPE);
    };
    // Ends a show that never writes the screenshot.
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(20), [&] { return finished; })) pushKey(SDL_SCANCODE_ESCAPE);
    });
    std::vector<std::array<int, 3>> onScreen;
    ::testing::internal::CaptureStdout();
    runShow({0.25, false, false}, [&](MetalShowView&, SDL_Window* window, std::size_t frames) {
        if (frames == 1) {
            for (int i = 0; i < 50 && litPixels(window, 0, 0, 192, 108) < 100; ++i) SDL_Delay(10);
            onScreen = screenPixels(window, 0, 0, 192, 108);
            pushKey(SDL_SCANCODE_P);
        }
        return true;
    });
    const std::string out = ::testing::internal::GetCapturedStdout();
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    changed.notify_all();
    watchdog.join();

    ASSERT_FALSE(written.empty()) << "no screenshot was written";
    EXPECT_EQ(written.parent_path(), folder);
    EXPECT_TRUE(std::regex_match(written.filename().string(), std::regex(R"(drevik-\d{8}-\d{6}-\d{3}\.png)")))
        << written;
    EXPECT_EQ(out, "Wrote " + written.string() + "\n");
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, written.c_str()));
    png.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr));
    ASSERT_EQ(png.width, 192u);
    ASSERT_EQ(png.height, 108u);
    ASSERT_EQ(onScreen.size(), 192u * 108u);
    std::size_t lit = 0;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < onScreen.size(); ++i) {
        int largest = 0;
        for (int c = 0; c < 3; ++c) largest = std::max(largest, std::abs(onScreen[i][c] - rgb[i * 3 + c]));
        if (largest > 24) ++differing;
        if (rgb[i * 3] + rgb[i * 3 + 1] + rgb[i * 3 + 2] > 30) ++lit;
    }
    EXPECT_GT(lit, 100u) << "the screenshot is black";
    EXPECT_LT(differing, onScreen.size() / 100) << "pixels that differ from the window's";
}

// Where the window cannot present through Vulkan, the renderer's pictures are read back and copied to it.
TEST_F(ShowWindow, WithoutPresentationTheRenderersPicturesAreCopiedToTheWindow) {
    useCrossingLines(timeline, music, hooks);
    hooks.makeSource = [this](SDL_Window*) { return makeGpuFrameSource(timeline, nullptr); };
    std::size_t lit = 0;
    bool direct = true;
    std::size_t bytes = 0;
    runShow({0.25, false, false}, [&](MetalShowView& view, SDL_Window* window, std::size_t frames) {
        if (frames < 1) return true;
        direct = view.presentsThroughSwapchain();
        bytes = view.lastPicture().bgra.size();
        lit = litPixels(window, 0, 0, 192, 108);
        return false;
    });
    EXPECT_FALSE(direct);
    EXPECT_EQ(bytes, 192u * 108u * 4u);
    EXPECT_GT(lit, 100u) << "the first frame is black on the screen";
}

} // namespace
} // namespace drevik

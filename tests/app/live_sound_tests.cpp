// The show that listens, against a private PulseAudio server: the inputs listed, the features of a
// sound played into a null sink and captured from its monitor, inputs that are missing or go away,
// and the show in a real window on a private X server whose picture follows the sound.
#include "app/live_sound.hpp"
#include "app/show_view.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/sound_server.hpp"
#include "tests/support/temporary_folder.hpp"
#include "tests/support/virtual_display.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace drevik {
namespace {

using namespace std::chrono_literals;

testing::SoundServer* server = nullptr;
testing::WindowDisplay* display = nullptr;

double steadyNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class LiveSoundTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testing::preferSoftwareDriver();
        display = new testing::WindowDisplay(); // also chooses SDL's dummy output, replaced below
        server = new testing::SoundServer();
        if (server->running()) server->becomeTheProcessServer();
        includeMonitorInputs();
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
        ::unsetenv("PULSE_SERVER");
        delete display;
        display = nullptr;
    }
    void SetUp() override {
        if (!server->running()) GTEST_SKIP() << "no private PulseAudio server could be started (is pulseaudio installed?)";
        testing::writeToneFile(tone, 2.0, 440, 0.5);
    }

    // Polls the features until `done` holds for them or `seconds` have passed; the last seen.
    static AudioFeatures featuresOnceThey(LiveSound& sound, const std::function<bool(const AudioFeatures&)>& done,
                                          double seconds = 10) {
        const double deadline = steadyNow() + seconds;
        AudioFeatures seen = sound.features(steadyNow());
        while (!done(seen) && steadyNow() < deadline) {
            std::this_thread::sleep_for(2ms);
            seen = sound.features(steadyNow());
        }
        return seen;
    }

    testing::TemporaryFolder folder{"drevik-listen"};
    std::filesystem::path tone = folder.path() / "tone.wav";
};

// A real recording Debian ships (sound-theme-freedesktop), played where the test needs no exact tone.
const std::filesystem::path realRecording = "/usr/share/sounds/freedesktop/stereo/alarm-clock-elapsed.oga";

bool loud(const AudioFeatures& f) { return f.energy > 0.2f; }
bool quiet(const AudioFeatures& f) { return f.energy < 0.02f; }

TEST_F(LiveSoundTest, ListInputsPrintsEachCaptureDeviceOnALineMonitorsIncluded) {
    const int extra = server->addSink("drevik_second", "DrevikSecondSink");
    ASSERT_GE(extra, 0);
    const std::filesystem::path errors = folder.path() / "stderr";
    FILE* pipe = ::popen((std::string(DREVIK_BINARY) + " --list-inputs --graphics missing.csv 2>" + errors.string()).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    const int status = ::pclose(pipe);
    server->removeSink(extra);

    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<std::string> lines;
    std::istringstream text(out);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    EXPECT_NE(std::find(lines.begin(), lines.end(), testing::SoundServer::monitorName()), lines.end()) << out;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Monitor of DrevikSecondSink"), lines.end()) << out;
    EXPECT_EQ(std::ifstream(errors).peek(), EOF) << "nothing on standard error";
}

TEST_F(LiveSoundTest, FeaturesRiseWithASoundPlayedIntoTheSinkAndFallSilentAfterIt) {
    LiveSound sound(testing::SoundServer::monitorName());
    EXPECT_EQ(sound.problem(), "");
    EXPECT_EQ(sound.blockFrames(), 200) << "half an analysis step at 48 kHz";
    EXPECT_TRUE(quiet(sound.features(steadyNow()))) << "nothing plays yet";

    const pid_t player = server->play(tone);
    const AudioFeatures during = featuresOnceThey(sound, loud);
    const AudioFeatures after = featuresOnceThey(sound, quiet);
    testing::SoundServer::waitPlayer(player);
    EXPECT_TRUE(loud(during)) << "energy " << during.energy << " while the tone plays";
    EXPECT_GT(during.channels.x + during.channels.y + during.channels.z + during.channels.w, 0.2f);
    EXPECT_TRUE(quiet(after)) << "energy " << after.energy << " after the tone";
    EXPECT_EQ(sound.problem(), "");
}

TEST_F(LiveSoundTest, ANameThatIsNoInputIsOneLineAndSilence) {
    // Opened by name, a sound server may fall back to its default input: the name is checked first.
    LiveSound sound("Monitor of Nothing");
    EXPECT_EQ(sound.problem(),
              "There is no sound input named \"Monitor of Nothing\" (--list-inputs prints them); the show goes on silent.");
    const pid_t player = server->play(tone);
    const AudioFeatures heard = featuresOnceThey(sound, loud, 1.0);
    testing::SoundServer::waitPlayer(player, true);
    EXPECT_EQ(heard, AudioFeatures::silence());
}

TEST_F(LiveSoundTest, AnInputThatGoesAwayIsOneLineAndSilence) {
    const int module = server->addSink("drevik_leaving", "DrevikLeavingSink");
    ASSERT_GE(module, 0);
    LiveSound sound("Monitor of DrevikLeavingSink");
    ASSERT_EQ(sound.problem(), "");
    const pid_t player = server->play(tone, "drevik_leaving");
    EXPECT_TRUE(loud(featuresOnceThey(sound, loud)));
    ASSERT_TRUE(server->removeSink(module));
    const double deadline = steadyNow() + 10;
    while (sound.problem().empty() && steadyNow() < deadline) std::this_thread::sleep_for(5ms);
    testing::SoundServer::waitPlayer(player, true);
    EXPECT_EQ(sound.problem(), "The sound input \"Monitor of DrevikLeavingSink\" has gone; the show goes on silent.");
    EXPECT_EQ(sound.features(steadyNow()), AudioFeatures::silence());
}

// ---------------------------------------------------------------------------------------------------
// The show in a window, listening.

void pushKey(SDL_Scancode scancode) {
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.keysym.scancode = scancode;
    event.key.state = SDL_PRESSED;
    SDL_PushEvent(&event);
}

// Twelve crossing lines over four seconds, drawn by the real renderer in a 192 × 108 window.
GraphicsTimeline crossingLines() {
    std::string csv = "# duration_seconds=4\ntime,x1,y1,x2,y2\n";
    for (int i = 0; i < 12; ++i) {
        double y = 0.1 + 0.8 * i / 11.0;
        csv += "0,0.1," + std::to_string(y) + ",0.9," + std::to_string(1.0 - y) + "\n";
    }
    return GraphicsTimeline::fromCsvData(csv, "Graphics.csv");
}

class ListeningShow : public LiveSoundTest {
protected:
    void SetUp() override {
        LiveSoundTest::SetUp();
        if (IsSkipped()) return;
        if (!display->running()) GTEST_SKIP() << "Xvfb could not be started";
        hooks.width = 192;
        hooks.height = 108;
        configuration.autoplay = false;
        music.durationSeconds = timeline.durationSeconds;
        gpu::setDefaultDeviceOptions(testing::validatedDeviceOptions());
        gpu::takeValidationMessages();
    }
    void TearDown() override {
        gpu::setDefaultDeviceOptions({});
        for (const auto& message : gpu::takeValidationMessages()) ADD_FAILURE() << "validation: " << message;
    }

    // Runs the show; `step` is called after every frame shown and ends it by returning false. The
    // show is ended after 20 seconds whatever happens.
    void runShow(const std::function<bool(MetalShowView&, SDL_Window*)>& step) {
        const double deadline = steadyNow() + 20;
        bool ended = false;
        hooks.afterFrame = [&](MetalShowView& view, SDL_Window* window) {
            if (ended || view.framesShown() == 0) return;
            const bool late = steadyNow() > deadline;
            if (late) ADD_FAILURE() << "the show did not finish in time";
            if (late || !step(view, window)) {
                ended = true;
                pushKey(SDL_SCANCODE_ESCAPE);
            }
        };
        DrevikAppDelegate delegate(timeline, music, configuration, hooks);
        delegate.run();
    }

    GraphicsTimeline timeline = crossingLines();
    MusicTimeline music; // neither read nor played while listening
    Configuration configuration;
    ShowHooks hooks;
};

// Pixels of two pictures of the same rectangle that differ clearly.
std::size_t differingPixels(const std::vector<std::array<int, 3>>& a, const std::vector<std::array<int, 3>>& b) {
    std::size_t differing = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        int largest = 0;
        for (int c = 0; c < 3; ++c) largest = std::max(largest, std::abs(a[i][c] - b[i][c]));
        if (largest > 24) ++differing;
    }
    return differing;
}

TEST_F(ListeningShow, ThePictureOfAPausedDrawingFollowsTheSound) {
    configuration.listen = testing::SoundServer::monitorName();
    configuration.normalizedTime = 0.25;
    std::vector<std::array<int, 3>> silent, sounding;
    pid_t player = -1;
    std::string title;
    double drawnAt = -1;
    runShow([&](MetalShowView& view, SDL_Window* window) {
        if (view.framesShown() < 3) return true;
        if (silent.empty()) {
            EXPECT_TRUE(quiet(view.lastFrameFeatures()));
            SDL_Delay(50); // the frame reaches the X server
            silent = testing::screenPixels(window, 0, 0, 192, 108);
            title = SDL_GetWindowTitle(window);
            drawnAt = view.lastFrameSeconds();
            player = server->play(std::filesystem::exists(realRecording) ? realRecording : tone);
            return true;
        }
        if (!loud(view.lastFrameFeatures())) return true;
        SDL_Delay(50);
        sounding = testing::screenPixels(window, 0, 0, 192, 108);
        EXPECT_EQ(view.lastFrameSeconds(), drawnAt) << "the drawing stays where it was paused";
        EXPECT_FALSE(view.transport().playing());
        return false;
    });
    testing::SoundServer::waitPlayer(player, true);
    EXPECT_EQ(title, "VELMORA — METAL VESPERINE");
    EXPECT_DOUBLE_EQ(drawnAt, 1.0);
    ASSERT_EQ(silent.size(), 192u * 108u);
    ASSERT_EQ(sounding.size(), silent.size()) << "the picture never heard the sound";
    EXPECT_GT(differingPixels(silent, sounding), 2000u) << "the picture does not react to the sound";
}

TEST_F(ListeningShow, AMissingInputIsNamedInTheTitleAndTheDrawingGoesOnLooping) {
    configuration.listen = "Monitor of Nothing";
    configuration.autoplay = true;
    configuration.normalizedTime = 0.9; // 0.4 s before the end
    std::string title;
    bool looped = false;
    double previous = 0;
    ::testing::internal::CaptureStderr();
    runShow([&](MetalShowView& view, SDL_Window* window) {
        title = SDL_GetWindowTitle(window);
        EXPECT_EQ(view.lastFrameFeatures(), AudioFeatures::silence());
        EXPECT_FALSE(view.hasAudioPlayer());
        looped = looped || view.lastFrameSeconds() < previous;
        previous = view.lastFrameSeconds();
        return !(looped && view.transport().playing() && title != "VELMORA — METAL VESPERINE");
    });
    const std::string errors = ::testing::internal::GetCapturedStderr();
    const std::string line =
        "There is no sound input named \"Monitor of Nothing\" (--list-inputs prints them); the show goes on silent.";
    EXPECT_EQ(title, "VELMORA — " + line);
    EXPECT_EQ(errors, "Drevik: " + line + "\n");
    EXPECT_TRUE(looped) << "the drawing stopped at its end instead of starting again";
}

} // namespace
} // namespace drevik

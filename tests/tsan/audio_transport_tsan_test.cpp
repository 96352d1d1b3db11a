// The sound output's own thread against the show's transport: the device callback fills buffers
// while the transport plays, pauses, seeks and reads the position on the caller's thread.
#include "app/audio_player.hpp"
#include "app/show_transport.hpp"
#include "tests/app/ramp_music.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace drevik {
namespace {

using testing::rampMusic;

// The dummy output pulls buffers on its own thread at the device's pace, without sound hardware.
class DummyAudioDriver {
public:
    DummyAudioDriver() { ::setenv("SDL_AUDIODRIVER", "dummy", 1); }
    ~DummyAudioDriver() { ::unsetenv("SDL_AUDIODRIVER"); }
    DummyAudioDriver(const DummyAudioDriver&) = delete;
    DummyAudioDriver& operator=(const DummyAudioDriver&) = delete;
};

TEST(AudioThreads, TransportCommandsMeetTheDeviceCallback) {
    DummyAudioDriver driver;
    const MusicTimeline music = rampMusic(48000, 48000 * 4);
    CSVAudioPlayer player(music);
    SteadyShowClock clock;
    ShowTransport transport(music.durationSeconds, 0, &player, clock);

    // First let the device thread render while playing, however slowly a loaded machine schedules it;
    // then the commands below meet its callback at every turn.
    transport.handleKey(ShowKey::space); // play
    bool heard = false;
    const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!heard && std::chrono::steady_clock::now() < patience) {
        heard = player.playbackPosition().has_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    transport.handleKey(ShowKey::space); // pause

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    int rounds = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        transport.handleKey(ShowKey::space); // play
        for (int k = 0; k < 20; ++k) {
            const double t = transport.frameSeconds();
            EXPECT_GE(t, 0.0);
            EXPECT_LE(t, music.durationSeconds);
            (void)player.playbackPosition();
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        transport.handleKey(rounds % 2 == 0 ? ShowKey::rightArrow : ShowKey::leftArrow);
        (void)transport.currentSeconds();
        transport.handleKey(ShowKey::space); // pause
        (void)player.scheduled();
        if (rounds % 5 == 0) {
            transport.handleKey(ShowKey::r);
        }
        ++rounds;
    }
    EXPECT_GT(rounds, 3);
    EXPECT_TRUE(heard) << "the device thread never rendered a buffer";
}

} // namespace
} // namespace drevik

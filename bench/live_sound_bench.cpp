// How long a sound takes from the sound server to the features the show draws with, through the
// real capture path: a private PulseAudio server (tests/sound_server.hpp), a burst written into its
// null sink by a playback stream of this process, the sink's monitor captured by LiveSound and
// analysed on its device thread. Each iteration is one burst after a silence of random length (so
// bursts fall at every phase of an analysis step); its time is from the moment the burst's first
// sample is handed to the playback stream until the published features show it. That includes the
// playback stream's own small buffer, so the figure is an upper bound of the input's latency.
// Counters: the worst burst and the median, in milliseconds.
#include "app/live_sound.hpp"
#include "tests/sound_server.hpp"

#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace drevik {
namespace {

double steadyNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A playback stream into the server's null sink that plays silence, or a loud tone once asked;
// notes when the first sample of the tone went out.
class BurstPlayer {
public:
    BurstPlayer() {
        SDL_AudioSpec wanted{};
        wanted.freq = 48000;
        wanted.format = AUDIO_F32SYS;
        wanted.channels = 1;
        wanted.samples = 128;
        wanted.callback = &BurstPlayer::render;
        wanted.userdata = this;
        SDL_AudioSpec obtained{};
        device_ = SDL_OpenAudioDevice(testing::SoundServer::sinkDescription, 0, &wanted, &obtained, 0);
        if (device_ != 0) SDL_PauseAudioDevice(device_, 0);
    }
    ~BurstPlayer() {
        if (device_ != 0) SDL_CloseAudioDevice(device_);
    }
    bool open() const { return device_ != 0; }
    void start() {
        startedAt_ = -1;
        loud_ = true;
    }
    void stop() { loud_ = false; }
    // When the tone's first sample was handed over; negative until then.
    double startedAt() const { return startedAt_; }

private:
    static void SDLCALL render(void* user, Uint8* stream, int length) {
        auto* player = static_cast<BurstPlayer*>(user);
        auto* out = reinterpret_cast<float*>(stream);
        const int frames = length / static_cast<int>(sizeof(float));
        const bool loud = player->loud_;
        for (int i = 0; i < frames; ++i) {
            out[i] = loud ? 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * player->phase_++ / 48000.0)) : 0.0f;
        }
        if (loud && player->startedAt_ < 0) player->startedAt_ = steadyNow();
    }

    SDL_AudioDeviceID device_ = 0;
    std::atomic<bool> loud_ = false;
    std::atomic<double> startedAt_ = -1;
    double phase_ = 0;
};

// Waits until the features say `loud` (energy over a tenth) or not, up to two seconds; the time seen.
double waitUntil(LiveSound& sound, bool loud) {
    const double deadline = steadyNow() + 2;
    for (;;) {
        const double now = steadyNow();
        if ((sound.features(now).energy > 0.1f) == loud || now > deadline) return now;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void BM_LiveSoundToFeatures(benchmark::State& state) {
    testing::SoundServer server;
    if (!server.running()) {
        state.SkipWithError("no private PulseAudio server could be started");
        return;
    }
    server.becomeTheProcessServer();
    includeMonitorInputs();
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    {
        LiveSound sound(testing::SoundServer::monitorName());
        BurstPlayer player;
        if (!sound.problem().empty() || !player.open()) {
            state.SkipWithError(player.open() ? sound.problem().c_str() : "the null sink cannot be played into");
        } else {
            std::mt19937 random(7);
            std::uniform_int_distribution<int> silence(60, 160);
            std::vector<double> latencies;
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // both streams running
            for (auto _ : state) {
                std::this_thread::sleep_for(std::chrono::milliseconds(silence(random)));
                waitUntil(sound, false);
                player.start();
                const double heard = waitUntil(sound, true);
                player.stop();
                const double latency = player.startedAt() > 0 ? heard - player.startedAt() : 2.0;
                latencies.push_back(latency);
                state.SetIterationTime(latency);
            }
            std::sort(latencies.begin(), latencies.end());
            if (!latencies.empty()) {
                state.counters["worst_ms"] = latencies.back() * 1e3;
                state.counters["median_ms"] = latencies[latencies.size() / 2] * 1e3;
                state.counters["block_frames"] = sound.blockFrames();
            }
        }
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    ::unsetenv("PULSE_SERVER");
    ::unsetenv("SDL_AUDIODRIVER");
}
BENCHMARK(BM_LiveSoundToFeatures)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace drevik

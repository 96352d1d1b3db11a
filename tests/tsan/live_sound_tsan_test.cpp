// The live input's device thread against the show's: the sound library's file-reading capture driver
// delivers a recorded tone block by block on its own thread, where it is analysed and published,
// while this thread reads the newest features as a frame would.
#include "app/live_sound.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace drevik {
namespace {

double steadyNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TEST(LiveSoundThreads, TheDeviceThreadPublishesWhileFramesRead) {
    // 0.2 s of silence, then 0.6 s of a loud tone, as raw 48 kHz mono floats; silence after the file.
    const std::filesystem::path recording =
        std::filesystem::temp_directory_path() / ("drevik-live-tsan-" + std::to_string(::getpid()) + ".raw");
    std::vector<float> samples(48000 * 8 / 10, 0.0f);
    for (std::size_t i = 48000 / 5; i < samples.size(); ++i)
        samples[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * static_cast<double>(i) / 48000));
    FILE* file = std::fopen(recording.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(samples.data(), sizeof(float), samples.size(), file);
    std::fclose(file);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILEIN", recording.c_str(), 1);

    bool heard = false;
    bool quietAgain = false;
    {
        LiveSound sound(defaultSoundInput);
        ASSERT_EQ(sound.problem(), "");
        const double deadline = steadyNow() + 20; // the driver delivers in real time, however slowly we run
        while (!quietAgain && steadyNow() < deadline) {
            const AudioFeatures features = sound.features(steadyNow());
            EXPECT_GE(features.energy, 0.0f);
            EXPECT_LE(features.energy, 1.0f);
            heard = heard || features.energy > 0.2f;
            quietAgain = heard && features.energy < 0.02f;
            EXPECT_EQ(sound.problem(), "");
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }
    ::unsetenv("SDL_AUDIODRIVER");
    ::unsetenv("SDL_DISKAUDIOFILEIN");
    std::filesystem::remove(recording);
    EXPECT_TRUE(heard);
    EXPECT_TRUE(quietAgain);
}

} // namespace
} // namespace drevik

#include "app/audio_player.hpp"
#include "tests/app/ramp_music.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <SDL2/SDL.h>

#include <chrono>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>
#include <vector>

namespace drevik {
namespace {

using testing::rampMusic;

// Sets the sound driver for one test.
class AudioDriver {
public:
    explicit AudioDriver(const char* driver, const std::string& file = {}) {
        setenv("SDL_AUDIODRIVER", driver, 1);
        if (!file.empty()) setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    }
    ~AudioDriver() {
        unsetenv("SDL_AUDIODRIVER");
        unsetenv("SDL_DISKAUDIOFILE");
    }
};

template <typename Predicate> bool waitFor(Predicate done, double seconds = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(CSVAudioPlayer, StartFrameIsTheFloorOfThePositionClampedToTheSignal) {
    EXPECT_EQ(CSVAudioPlayer::startFrame(2.00001, 48000, 480000), 96000);
    EXPECT_EQ(CSVAudioPlayer::startFrame(0, 48000, 480000), 0);
    EXPECT_EQ(CSVAudioPlayer::startFrame(-1, 48000, 480000), 0);
    EXPECT_EQ(CSVAudioPlayer::startFrame(std::nan(""), 48000, 480000), 0);
    EXPECT_EQ(CSVAudioPlayer::startFrame(10, 48000, 480000), 480000);
    EXPECT_EQ(CSVAudioPlayer::startFrame(1e300, 48000, 480000), 480000);
}

TEST(CSVAudioPlayer, UnplayableRateIsAFormatError) {
    AudioDriver driver("dummy");
    MusicTimeline music = rampMusic(48000, 10);
    music.sampleRate = 0;
    try {
        CSVAudioPlayer player(music);
        FAIL() << "a player without a rate";
    } catch (const AudioPlayerError& error) {
        EXPECT_STREQ(error.what(), "Could not create the Music.csv playback format.");
    }
}

TEST(CSVAudioPlayer, PlaysFromTheExactFirstFrameAndReportsItsPositionOnlyOnceRendered) {
    AudioDriver driver("dummy");
    MusicTimeline music = rampMusic(48000, 480000);
    CSVAudioPlayer player(music);
    EXPECT_FALSE(player.playbackPosition());

    player.play(2.00001);
    EXPECT_TRUE(player.scheduled());
    EXPECT_EQ(player.scheduledFromSeconds(), 2.0);
    ASSERT_TRUE(waitFor([&] { return player.playbackPosition().has_value(); }));
    double first = *player.playbackPosition();
    EXPECT_GE(first, 2.0);
    ASSERT_TRUE(waitFor([&] { return *player.playbackPosition() > first; }));

    player.stopPlayback();
    EXPECT_FALSE(player.scheduled());
    EXPECT_FALSE(player.playbackPosition());

    player.play(-1);
    EXPECT_EQ(player.scheduledFromSeconds(), 0.0);
    player.play(10); // at the end: nothing plays
    EXPECT_FALSE(player.scheduled());
    EXPECT_FALSE(player.playbackPosition());
    player.play(11);
    EXPECT_FALSE(player.scheduled());
}

TEST(CSVAudioPlayer, DeviceReceivesTheSignalFromTheSeekedFrame) {
    const testing::TemporaryFolder folder("drevik-disk-audio");
    const std::string file = (folder.path() / "sound.raw").string();
    {
        AudioDriver driver("disk", file);
        MusicTimeline music = rampMusic(48000, 480000);
        CSVAudioPlayer player(music);
        player.play(1.5);
        player.play(2.00001); // the first playback is dropped; only this one sounds
        ASSERT_TRUE(waitFor([&] { return player.playbackPosition().value_or(0) > 2.05; }));
        player.stopPlayback();
    }
    const testing::Bytes bytes = testing::readBytes(file);
    std::vector<float> written(bytes.size() / sizeof(float));
    std::memcpy(written.data(), bytes.data(), written.size() * sizeof(float));

    auto firstSound = std::find_if(written.begin(), written.end(), [](float v) { return v != 0.0f; });
    ASSERT_NE(firstSound, written.end());
    // The device gets the signal from frame 96000 on, sample after sample.
    ASSERT_GE(written.end() - firstSound, 2400);
    for (int i = 0; i < 2400; ++i) ASSERT_FLOAT_EQ(firstSound[i], static_cast<float>(96000 + i + 1) / 1e6f) << i;
}

// A recording plays with its own channels: the device gets whole frames, left and right, from the seeked frame.
TEST(CSVAudioPlayer, AStereoRecordingReachesTheDeviceFrameByFrame) {
    std::string file = ::testing::TempDir() + "drevik_disk_audio_stereo_" + std::to_string(getpid()) + ".raw";
    {
        AudioDriver driver("disk", file);
        MusicTimeline music = rampMusic(48000, 480000);
        music.playbackChannels = 2;
        for (const float sample : music.samples) {
            music.playbackSamples.push_back(sample);
            music.playbackSamples.push_back(-sample);
        }
        CSVAudioPlayer player(music);
        player.play(2.00001);
        ASSERT_TRUE(waitFor([&] { return player.playbackPosition().value_or(0) > 2.05; }));
        EXPECT_LT(*player.playbackPosition(), 3.0); // frames, not samples, are counted
        player.stopPlayback();
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    std::vector<float> written(bytes.size() / sizeof(float));
    std::memcpy(written.data(), bytes.data(), written.size() * sizeof(float));

    auto firstSound = std::find_if(written.begin(), written.end(), [](float v) { return v != 0.0f; });
    ASSERT_NE(firstSound, written.end());
    ASSERT_EQ((firstSound - written.begin()) % 2, 0) << "a frame begins with its left sample";
    ASSERT_GE(written.end() - firstSound, 4800);
    for (int i = 0; i < 2400; ++i) {
        ASSERT_FLOAT_EQ(firstSound[2 * i], static_cast<float>(96000 + i + 1) / 1e6f) << i;
        ASSERT_FLOAT_EQ(firstSound[2 * i + 1], -static_cast<float>(96000 + i + 1) / 1e6f) << i;
    }
}

// A soundtrack read again while it plays: the device goes on from the next frame of the new signal.
TEST(CSVAudioPlayer, ANewSignalGoesOnFromTheSameFrame) {
    const testing::TemporaryFolder folder("drevik-disk-audio");
    const std::string file = (folder.path() / "sound.raw").string();
    {
        AudioDriver driver("disk", file);
        MusicTimeline music = rampMusic(48000, 480000);
        MusicTimeline replaced = rampMusic(48000, 480000);
        for (float& sample : replaced.samples) sample = -sample;
        CSVAudioPlayer player(music);
        player.play(1);
        ASSERT_TRUE(waitFor([&] { return player.playbackPosition().value_or(0) > 1.05; }));
        player.replaceSignal(replaced);
        double position = player.playbackPosition().value_or(0);
        ASSERT_TRUE(waitFor([&] { return player.playbackPosition().value_or(0) > position + 0.05; }));
        player.stopPlayback();
        EXPECT_EQ(player.scheduledFromSeconds(), 1);
    }
    const testing::Bytes bytes = testing::readBytes(file);
    std::vector<float> written(bytes.size() / sizeof(float));
    std::memcpy(written.data(), bytes.data(), written.size() * sizeof(float));

    auto switched = std::find_if(written.begin(), written.end(), [](float v) { return v < 0.0f; });
    ASSERT_NE(switched, written.end()) << "the new signal was never played";
    ASSERT_NE(switched, written.begin());
    ASSERT_GT(switched[-1], 0.0f);
    // The frame after the last one of the old signal, now from the new one.
    EXPECT_FLOAT_EQ(-switched[0], switched[-1] + 1e-6f);
}

} // namespace
} // namespace drevik

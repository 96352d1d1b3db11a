// Recordings as soundtracks, read in process: channels and level kept, content decides the reader,
// loudness does not change the features, and the drawing's length follows the recording.
#include "app/inputs.hpp"
#include "core/csv_contract_error.hpp"
#include "sound/sound_file.hpp"
#include "tests/sound/sound_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using testing::ffmpeg;
using testing::quoted;

class Soundtrack : public ::testing::Test {
protected:
    testing::TemporaryFolder folder_{"drevik-soundtrack"};
    fs::path at(const std::string& name) const { return folder_.path() / name; }
};

TEST_F(Soundtrack, AStereoRecordingKeepsItsChannelsAndLevelAt48kHz) {
    const fs::path file = at("tones.flac");
    ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t)|0.25*sin(2*PI*1000*t):s=44100:d=2' " + quoted(file));
    const MusicTimeline music = readMusic(file);
    EXPECT_EQ(music.soundName, "tones.flac");
    EXPECT_EQ(music.sampleRate, 48000);
    ASSERT_EQ(music.playbackChannels, 2);
    EXPECT_NEAR(static_cast<double>(music.samples.size()), 96000.0, 64.0);
    EXPECT_EQ(music.playbackSamples.size(), 2 * music.samples.size());
    EXPECT_DOUBLE_EQ(music.durationSeconds, static_cast<double>(music.samples.size()) / 48000.0);
    EXPECT_EQ(music.analysis.size(), static_cast<std::size_t>(std::ceil(music.durationSeconds * 120.0)) + 1);
    // As recorded: no level change in either channel; the analysis takes their mean.
    EXPECT_NEAR(testing::rms(music.playbackSamples, 2, 0), 0.5 / std::sqrt(2.0), 0.003);
    EXPECT_NEAR(testing::rms(music.playbackSamples, 2, 1), 0.25 / std::sqrt(2.0), 0.003);
    for (std::size_t i = 1000; i < 1010; ++i) {
        EXPECT_FLOAT_EQ(music.samples[i], (music.playbackSamples[2 * i] + music.playbackSamples[2 * i + 1]) * 0.5f);
    }
    // The 440 Hz tone is in lane 1 (250 Hz to 2 kHz).
    EXPECT_GT(music.analysis[100].channels.y, 0.5f);
    EXPECT_LT(music.analysis[100].channels.w, 0.05f);
}

TEST_F(Soundtrack, TheContentDecidesTheReaderNotTheName) {
    testing::writeFourLineShow(folder_.path());
    const MusicTimeline csv = MusicTimeline::fromCsvFile(at("Music.csv"), 48000, 120);
    // A Music.csv under a sound file's name is read as ever, byte for byte.
    fs::copy_file(at("Music.csv"), at("song.flac"));
    const MusicTimeline renamed = readMusic(at("song.flac"));
    EXPECT_TRUE(renamed.soundName.empty());
    EXPECT_EQ(renamed.samples, csv.samples);
    EXPECT_EQ(renamed.analysis, csv.analysis);
    EXPECT_TRUE(renamed.playbackSamples.empty());
    // A Music.csv through a pipe is read once, by the Music.csv reader.
    const fs::path fifo = at("piped.csv");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << testing::fileText(at("Music.csv")); });
    const MusicTimeline piped = readMusic(fifo);
    writer.join();
    EXPECT_EQ(piped.samples, csv.samples);
    // A recording under the name Music.csv is a recording.
    fs::remove(at("Music.csv"));
    ffmpeg("-f lavfi -i 'sine=f=300:d=1' -f wav " + quoted(at("Music.csv")));
    EXPECT_EQ(readMusic(at("Music.csv")).soundName, "Music.csv");
    // A broken Music.csv, and a file that is neither, get the Music.csv reader's own error.
    std::ofstream(at("broken.mp3")) << "time,a\n0,7\n";
    std::ofstream(at("noise.wav"), std::ios::binary) << std::string("\x01\x00\x7f\xff garbage\x00\x00", 14);
    for (const char* name : {"broken.mp3", "noise.wav"}) {
        std::string expected;
        try {
            MusicTimeline::fromCsvFile(at(name), 48000, 120);
        } catch (const std::exception& error) {
            expected = error.what();
        }
        ASSERT_FALSE(expected.empty());
        try {
            readMusic(at(name));
            ADD_FAILURE() << name << " was read";
        } catch (const CSVContractError& error) {
            EXPECT_EQ(error.what(), expected);
        }
    }
}

TEST_F(Soundtrack, AQuietAndALoudMasterGiveTheSameFeatures) {
    // A real recording, as mastered and 12 dB quieter (24 bits, so the quiet one loses nothing).
    ffmpeg("-i " + quoted(testing::realRecording) + " -c:a flac -sample_fmt s32 " + quoted(at("loud.flac")));
    ffmpeg("-i " + quoted(testing::realRecording) + " -af volume=-12dB -c:a flac -sample_fmt s32 " +
           quoted(at("quiet.flac")));
    const MusicTimeline loud = readMusic(at("loud.flac"));
    const MusicTimeline quiet = readMusic(at("quiet.flac"));
    ASSERT_EQ(loud.analysis.size(), quiet.analysis.size());
    float loudest = 0.0f;
    for (std::size_t j = 0; j < loud.analysis.size(); ++j) {
        const AudioFeatures& a = loud.analysis[j];
        const AudioFeatures& b = quiet.analysis[j];
        ASSERT_NEAR(a.channels.x, b.channels.x, 0.02) << "step " << j;
        ASSERT_NEAR(a.channels.y, b.channels.y, 0.02) << "step " << j;
        ASSERT_NEAR(a.channels.z, b.channels.z, 0.02) << "step " << j;
        ASSERT_NEAR(a.channels.w, b.channels.w, 0.02) << "step " << j;
        ASSERT_NEAR(a.energy, b.energy, 0.02) << "step " << j;
        ASSERT_NEAR(a.pulse, b.pulse, 0.02) << "step " << j;
        loudest = std::max(loudest, a.energy);
    }
    EXPECT_GT(loudest, 0.5f); // and the features are not all near zero
}

TEST_F(Soundtrack, TheDrawingsLengthFollowsTheRecording) {
    ffmpeg("-f lavfi -i 'sine=f=300:d=2.5' " + quoted(at("song.flac")));
    const MusicTimeline sound = readMusic(at("song.flac"));
    const double seconds = sound.durationSeconds;
    ASSERT_NEAR(seconds, 2.5, 0.01);
    EXPECT_EQ(soundtrackDurationSeconds(at("song.flac")), seconds);
    testing::writeFourLineShow(folder_.path());
    EXPECT_EQ(soundtrackDurationSeconds(at("Music.csv")), 1.0);

    // No declared duration: the drawing takes the sound's, its boundaries (in seconds) placed again.
    GraphicsTimeline undeclared =
        GraphicsTimeline::fromCsvData("# scene_boundaries_seconds=0,1,2\ntime,x1,y1,x2,y2\n0,0,0,1,1\n", "Graphics.csv");
    fitToSoundtrack(undeclared, sound);
    EXPECT_EQ(undeclared.durationSeconds, seconds);
    ASSERT_EQ(undeclared.sceneBoundaries.size(), 3u);
    EXPECT_NEAR(undeclared.sceneBoundaries[1] * seconds, 1.0, 1e-9);
    EXPECT_NEAR(undeclared.sceneBoundaries[2] * seconds, 2.0, 1e-9);
    GraphicsTimeline late =
        GraphicsTimeline::fromCsvData("# scene_boundaries_seconds=0,3\ntime,x1,y1,x2,y2\n0,0,0,1,1\n", "Graphics.csv");
    EXPECT_THROW(fitToSoundtrack(late, sound), SoundDurationError);

    // Another declared duration is refused with the declaration to write, which is then accepted.
    GraphicsTimeline declared =
        GraphicsTimeline::fromCsvData("# duration_seconds=180\ntime,x1,y1,x2,y2\n0,0,0,1,1\n", "Graphics.csv");
    char declaration[32];
    std::snprintf(declaration, sizeof declaration, "%.6f", seconds);
    try {
        fitToSoundtrack(declared, sound);
        ADD_FAILURE() << "a mismatch was accepted";
    } catch (const SoundDurationError& error) {
        EXPECT_EQ(std::string(error.what()), "Graphics.csv is 180.0s but song.flac is 2.5s; declare # duration_seconds=" +
                                                 std::string(declaration) + " in Graphics.csv to play it with this sound.");
    }
    GraphicsTimeline fixed = GraphicsTimeline::fromCsvData(
        "# duration_seconds=" + std::string(declaration) + "\ntime,x1,y1,x2,y2\n0,0,0,1,1\n", "Graphics.csv");
    EXPECT_NO_THROW(fitToSoundtrack(fixed, sound));
    EXPECT_EQ(fixed.durationSeconds, seconds);

    // A Music.csv keeps today's rule and text.
    GraphicsTimeline other = declared;
    EXPECT_THROW(fitToSoundtrack(other, readMusic(at("Music.csv"))), LaunchError);
}

} // namespace
} // namespace drevik

// Recordings through the built program: --describe-music, every bad recording's one line before
// anything is written, and the recording's stereo carried into movies.
#include "tests/sound/sound_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using testing::ffmpeg;
using testing::quoted;
using testing::runDrevik;

class SoundCli : public ::testing::Test {
protected:
    testing::TemporaryFolder folder_{"drevik-sound-cli"};
    fs::path at(const std::string& name) const { return folder_.path() / name; }
};

// "S.ssss v.vvv v.vvv v.vvv v.vvv v.vvv v.vvv": digits, the decimals counted, single spaces.
bool isStepLine(const std::string& line) {
    std::istringstream fields(line);
    std::vector<std::string> numbers;
    for (std::string field; std::getline(fields, field, ' ');) numbers.push_back(field);
    if (numbers.size() != 7) return false;
    for (std::size_t k = 0; k < numbers.size(); ++k) {
        const std::string& n = numbers[k];
        const std::size_t point = n.find('.');
        const std::size_t decimals = k == 0 ? 4 : 3;
        if (point == std::string::npos || point == 0 || n.size() - point - 1 != decimals) return false;
        if (n.find_first_not_of("0123456789.") != std::string::npos || n.find('.', point + 1) != std::string::npos) return false;
        if (k > 0 && point != 1) return false; // the values lie in 0...1
    }
    return true;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) out.push_back(line);
    return out;
}

TEST_F(SoundCli, DescribeMusicPrintsEveryStepOfAMusicCsvOrARecordingAndReadsNothingElse) {
    testing::writeFourLineShow(folder_.path());
    ffmpeg("-f lavfi -i 'sine=f=100:d=0.5' " + quoted(at("song.ogg")));
    for (const char* music : {"Music.csv", "song.ogg"}) {
        // The drawing is not read: a missing one does not matter.
        const testing::Outcome outcome = runDrevik(folder_.path(), std::string("--graphics missing.csv --describe-music --music ") + music);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        const auto printed = lines(outcome.out);
        ASSERT_GT(printed.size(), 60u);
        EXPECT_EQ(printed[0], "# time lane0 lane1 lane2 lane3 energy pulse");
        for (std::size_t k = 1; k < printed.size(); ++k) {
            ASSERT_TRUE(isStepLine(printed[k])) << music << ": " << printed[k];
        }
        EXPECT_EQ(printed[2].substr(0, 7), "0.0083 ");
        char last[16];
        std::snprintf(last, sizeof last, "%.4f ", static_cast<double>(printed.size() - 2) / 120.0);
        EXPECT_EQ(printed.back().substr(0, 7), last);
    }
    // The Music.csv of 1 s has 121 steps; its first step holds the lead at full level.
    const auto csv = lines(runDrevik(folder_.path(), "--describe-music").out);
    EXPECT_EQ(csv.size(), 122u);
    EXPECT_EQ(csv[1], "0.0000 1.000 0.000 0.000 0.000 1.000 1.000");
}

TEST_F(SoundCli, EachBadRecordingIsOneLineNamingItBeforeAnythingIsWritten) {
    testing::writeUndeclaredDrawing(at("Graphics.csv"));
    // A video without sound.
    ffmpeg("-f lavfi -i testsrc=size=64x64:rate=10:d=1 " + quoted(at("clip.mp4")));
    // A FLAC cut off halfway, and one with a damaged frame in the middle.
    ffmpeg("-f lavfi -i 'sine=f=440:d=4' " + quoted(at("whole.flac")));
    const std::string flac = testing::fileText(at("whole.flac"));
    std::ofstream(at("cut.flac"), std::ios::binary) << flac.substr(0, flac.size() / 2);
    std::string damaged = flac;
    for (std::size_t i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i) damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
    std::ofstream(at("damaged.flac"), std::ios::binary) << damaged;
    // A WAV of a codec no decoder knows, and one cut off within its data.
    ffmpeg("-f lavfi -i 'sine=f=440:d=1' " + quoted(at("plain.wav")));
    const std::string wav = testing::fileText(at("plain.wav"));
    std::string unknown = wav;
    unknown[20] = '\x34';
    unknown[21] = '\x12';
    std::ofstream(at("unknown.wav"), std::ios::binary) << unknown;
    std::ofstream(at("cut.wav"), std::ios::binary) << wav.substr(0, wav.size() / 4);
    // A Matroska file whose segment says it lasts 25 hours.
    ffmpeg("-f lavfi -i 'sine=f=440:d=1' -c:a flac " + quoted(at("hours.mka")));
    std::string hours = testing::fileText(at("hours.mka"));
    const std::size_t duration = hours.find("\x44\x89\x88");
    ASSERT_NE(duration, std::string::npos);
    const double milliseconds = 90000.0 * 1000.0;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &milliseconds, sizeof bits);
    for (int k = 0; k < 8; ++k) hours[duration + 3 + static_cast<std::size_t>(k)] = static_cast<char>(bits >> (56 - 8 * k));
    std::ofstream(at("hours.mka"), std::ios::binary) << hours;

    // The file, and the beginning of its one line (the whole line where it is fixed).
    const std::pair<const char*, std::string> cases[] = {
        {"clip.mp4", "Drevik: clip.mp4 has no sound: it holds no audio stream.\n"},
        {"cut.flac", "Drevik: cut.flac is "},
        {"damaged.flac", "Drevik: damaged.flac is damaged: "},
        {"unknown.wav", "Drevik: unknown.wav holds sound in a codec this FFmpeg cannot decode ("},
        {"cut.wav", "Drevik: cut.wav is truncated: it declares 1.00s of sound but holds 0.25s.\n"},
        {"hours.mka", "Drevik: hours.mka lasts 90000.00s, more than the 86400 seconds Drevik can play.\n"},
    };
    for (const auto& [name, expected] : cases) {
        for (const std::string mode : {"--snapshot out.png", "--movie out.mp4"}) {
            const testing::Outcome outcome = runDrevik(folder_.path(), "--music " + std::string(name) + " " + mode);
            EXPECT_EQ(outcome.status, 1) << name;
            ASSERT_GE(outcome.err.size(), 2u) << name;
            EXPECT_EQ(outcome.err.substr(0, expected.size()), expected) << name;
            EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << name << ": one line";
            EXPECT_EQ(outcome.err.substr(outcome.err.size() - 2), ".\n") << name;
            EXPECT_EQ(outcome.out, "") << name;
            EXPECT_FALSE(fs::exists(at("out.png")) || fs::exists(at("out.mp4"))) << name;
        }
    }
}

// The best alignment of b against a (within ±maxLag frames) on channel `channel` of stereo frames,
// and the error left there relative to a's level.
struct Alignment {
    int lag = 0;
    double relativeError = 1.0;
};
Alignment align(const std::vector<float>& a, const std::vector<float>& b, int channel, int maxLag) {
    Alignment best;
    const auto frames = static_cast<long>(std::min(a.size(), b.size()) / 2) - maxLag;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double error = 0.0, level = 0.0;
        for (long f = maxLag; f < frames; ++f) {
            const double x = a[static_cast<std::size_t>(2 * f + channel)];
            const double y = b[static_cast<std::size_t>(2 * (f + lag) + channel)];
            error += (x - y) * (x - y);
            level += x * x;
        }
        const double relative = std::sqrt(error / level);
        if (relative < best.relativeError) best = {lag, relative};
    }
    return best;
}

TEST_F(SoundCli, AStereoRecordingSurvivesIntoMoviesAndFrameSequences) {
    testing::writeUndeclaredDrawing(at("Graphics.csv"));
    // Two seconds of the real recording, its channels made different so a swap or a mix shows.
    ffmpeg("-i " + quoted(testing::realRecording) +
           " -t 2 -af 'pan=stereo|c0=c0|c1=0.5*c1,aresample=44100' -c:a flac " + quoted(at("song.flac")));
    const std::vector<float> source = testing::decodedSamples(at("song.flac"), 2);
    ASSERT_GT(source.size(), 180000u);
    ASSERT_GT(testing::rms(source, 2, 0), 0.02);

    for (const char* movie : {"out.mp4", "out.webm"}) {
        const testing::Outcome outcome =
            runDrevik(folder_.path(), std::string("--music song.flac --width 64 --height 36 --fps 10 --movie ") + movie);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const testing::Probe probe = testing::probeMovie(at(movie));
        const testing::ProbeFields* audio = nullptr;
        for (const auto& stream : probe.streams) {
            if (stream.at("codec_type") == "\"audio\"" || stream.at("codec_type") == "audio") audio = &stream;
        }
        ASSERT_NE(audio, nullptr) << movie;
        EXPECT_EQ(audio->at("channels"), "2") << movie;
        EXPECT_EQ(audio->at("codec_name"), std::string(movie) == "out.mp4" ? "aac" : "opus");
        if (std::string(movie) == "out.mp4") {
            EXPECT_GE(std::stol(audio->at("bit_rate")), 192000);
        }
        const std::vector<float> written = testing::decodedSamples(at(movie), 2);
        for (int channel = 0; channel < 2; ++channel) {
            const Alignment found = align(source, written, channel, 240);
            EXPECT_LE(std::abs(found.lag), 48) << movie << " channel " << channel << " shifted";
            EXPECT_LT(found.relativeError, 0.2) << movie << " channel " << channel;
        }
        EXPECT_NEAR(testing::rms(written, 2, 1) / testing::rms(written, 2, 0),
                    testing::rms(source, 2, 1) / testing::rms(source, 2, 0), 0.03)
            << movie << ": the channels keep their own levels";
    }

    // A frame sequence's WAV holds the two channels as they are.
    const testing::Outcome frames =
        runDrevik(folder_.path(), "--music song.flac --width 16 --height 16 --fps 2 --movie frames/");
    ASSERT_EQ(frames.status, 0) << frames.err;
    const std::vector<float> wav = testing::decodedSamples(at("frames") / "soundtrack.wav", 2);
    const testing::Probe probe = testing::probeMovie(at("frames") / "soundtrack.wav");
    ASSERT_EQ(probe.streams.size(), 1u);
    EXPECT_EQ(probe.streams[0].at("channels"), "2");
    const Alignment found = align(source, wav, 1, 8);
    EXPECT_EQ(found.lag, 0);
    EXPECT_LT(found.relativeError, 0.001);
}

TEST_F(SoundCli, JoinedPartsCarryTheRecordingAndRefuseAPartMadeFromAnotherSound) {
    testing::writeUndeclaredDrawing(at("Graphics.csv"));
    ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t)|0.2*sin(2*PI*660*t):d=1' " + quoted(at("song.flac")));
    ffmpeg("-f lavfi -i 'aevalsrc=0.5*sin(2*PI*330*t)|0.2*sin(2*PI*660*t):d=1' " + quoted(at("other.flac")));
    const std::string movie = " --width 32 --height 32 --fps 10 --movie show.mp4";
    ASSERT_EQ(runDrevik(folder_.path(), "--music song.flac --part 0/1" + movie).status, 0);
    const testing::Outcome refused = runDrevik(folder_.path(), "--music other.flac --join 1" + movie);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("was rendered from another Music.csv"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(at("show.mp4")));

    const testing::Outcome joined = runDrevik(folder_.path(), "--music song.flac --join 1" + movie);
    ASSERT_EQ(joined.status, 0) << joined.err;
    const testing::Probe probe = testing::probeMovie(at("show.mp4"));
    bool stereo = false;
    for (const auto& stream : probe.streams) {
        stereo = stereo || (stream.at("codec_name") == "aac" && stream.at("channels") == "2");
    }
    EXPECT_TRUE(stereo);
    const std::vector<float> written = testing::decodedSamples(at("show.mp4"), 2);
    EXPECT_NEAR(testing::rms(written, 2, 0), 0.5 / std::sqrt(2.0), 0.02);
    EXPECT_NEAR(testing::rms(written, 2, 1), 0.2 / std::sqrt(2.0), 0.02);
}

} // namespace
} // namespace drevik

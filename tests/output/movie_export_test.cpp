#include "output/movie_error.hpp"
#include "app/export_progress.hpp"
#include "output/movie_export.hpp"
#include "tests/output/movie_probe.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace drevik::MetalMovieRenderer {
namespace {

namespace fs = std::filesystem;
using drevik::testing::probeMovie;
using drevik::testing::quoted;
using drevik::testing::runCommand;

MusicTimeline toneMusic(double seconds) {
    MusicTimeline music;
    music.durationSeconds = seconds;
    music.sampleRate = 48000;
    music.samples.resize(static_cast<std::size_t>(std::llround(seconds * 48000)));
    for (std::size_t i = 0; i < music.samples.size(); ++i) {
        music.samples[i] = 0.5f * static_cast<float>(std::sin(static_cast<double>(i) * 2 * M_PI * 440 / 48000));
    }
    music.analysisRate = 120;
    music.analysis.resize(static_cast<std::size_t>(std::llround(seconds * 120)));
    for (std::size_t i = 0; i < music.analysis.size(); ++i) {
        music.analysis[i].energy = static_cast<float>(i % 120) / 120.0f;
    }
    return music;
}

// Paints a moving bar over a flat colour and remembers what it was asked for.
class PatternRenderer : public MovieFrameRenderer {
public:
    std::uint8_t blue = 40, green = 80, red = 200;
    std::int64_t failAtFrame = -1;
    std::chrono::milliseconds delay{0};
    std::vector<std::int64_t> frames;
    std::vector<double> times;
    std::vector<float> energies;

    void renderFrame(std::int64_t frameIndex, double t, const AudioFeatures& features, std::span<std::uint8_t> bgra,
                     std::int64_t stride) override {
        if (frameIndex == failAtFrame) {
            throw Error("test renderer failed");
        }
        std::this_thread::sleep_for(delay);
        frames.push_back(frameIndex);
        times.push_back(t);
        energies.push_back(features.energy);
        const std::int64_t width = stride / 4;
        const std::int64_t height = static_cast<std::int64_t>(bgra.size()) / stride;
        for (std::int64_t y = 0; y < height; ++y) {
            for (std::int64_t x = 0; x < width; ++x) {
                std::uint8_t* pixel = &bgra[static_cast<std::size_t>(y * stride + x * 4)];
                const bool bar = x >= (frameIndex * 4) % width && x < (frameIndex * 4) % width + 8;
                pixel[0] = bar ? 255 : blue;
                pixel[1] = bar ? 255 : green;
                pixel[2] = bar ? 255 : red;
                pixel[3] = 255;
            }
        }
    }
};

class MovieExport : public ::testing::Test {
protected:
    std::vector<std::string> folderEntries(const fs::path& where) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(where)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    std::string exportToString(const fs::path& location, const MoviePlan& plan, const MusicTimeline& music,
                               PatternRenderer& renderer, int queuedFrames = 2) {
        std::FILE* progress = std::tmpfile();
        ExportProgressPrinter printer(progress, nullptr);
        MovieExportOptions options;
        options.progress = printer.callback();
        options.allowHardwareEncoder = hardwareEncoder;
        options.queuedFrames = queuedFrames;
        try {
            exportMovie(location, plan, music, renderer, options);
        } catch (...) {
            std::fclose(progress);
            throw;
        }
        std::rewind(progress);
        std::string text;
        for (int c = std::fgetc(progress); c != EOF; c = std::fgetc(progress)) {
            text.push_back(static_cast<char>(c));
        }
        std::fclose(progress);
        return text;
    }

    testing::TemporaryFolder scratch{"drevik-movie"};
    const fs::path& folder = scratch.path();
    bool hardwareEncoder = true; // falls back to libx264 where there is none
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(MovieExport, WritesOneH264HighAndOneAacMonoStreamWithTheIndexFirst) {
    const MusicTimeline music = toneMusic(2);
    const MoviePlan plan = planMovie(320, 180, 30, 2, music.sampleRate);
    PatternRenderer renderer;
    const fs::path location = folder / "nested" / "show.mp4";
    const std::string progress = exportToString(location, plan, music, renderer);

    EXPECT_EQ(progress, "Metal movie   1.7% (1 / 60 frames)\nMetal movie 100.0% (60 / 60 frames)\n");
    ASSERT_EQ(renderer.frames.size(), 60u);
    for (std::size_t i = 0; i < 60; ++i) {
        EXPECT_EQ(renderer.frames[i], static_cast<std::int64_t>(i));
        EXPECT_EQ(renderer.times[i], static_cast<double>(i) / 60.0);
        EXPECT_EQ(renderer.energies[i], music.features(static_cast<double>(i) / 60.0).energy);
    }
    EXPECT_EQ(folderEntries(location.parent_path()), std::vector<std::string>{"show.mp4"});

    const auto probe = probeMovie(location);
    ASSERT_EQ(probe.streams.size(), 2u);
    EXPECT_NE(probe.format.at("format_name").find("mp4"), std::string::npos);
    const auto& video = probe.streams[0].at("codec_type") == "video" ? probe.streams[0] : probe.streams[1];
    const auto& audio = probe.streams[0].at("codec_type") == "video" ? probe.streams[1] : probe.streams[0];
    EXPECT_EQ(video.at("codec_name"), "h264");
    EXPECT_EQ(video.at("profile"), "High");
    EXPECT_EQ(video.at("width"), "320");
    EXPECT_EQ(video.at("height"), "180");
    EXPECT_EQ(video.at("pix_fmt"), "yuv420p");
    EXPECT_EQ(video.at("color_range"), "tv");
    EXPECT_EQ(video.at("color_space"), "bt709");
    EXPECT_EQ(video.at("color_primaries"), "bt709");
    EXPECT_EQ(video.at("color_transfer"), "bt709");
    EXPECT_EQ(video.at("avg_frame_rate"), "30/1");
    EXPECT_EQ(video.at("nb_read_frames"), "60");
    EXPECT_NEAR(std::stod(video.at("duration")), 2.0, 1e-9);
    EXPECT_EQ(audio.at("codec_name"), "aac");
    EXPECT_EQ(audio.at("channels"), "1");
    EXPECT_EQ(audio.at("sample_rate"), "48000");
    EXPECT_NEAR(std::stod(audio.at("duration")), 2.0, 0.025);

    // Fast start: the index precedes the media data.
    const std::string bytes = readFile(location);
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
}

TEST_F(MovieExport, PicturesKeepTheirColoursThroughTheConversion) {
    const MusicTimeline music = toneMusic(1);
    const MoviePlan plan = planMovie(64, 36, 4, 0.5, music.sampleRate);
    PatternRenderer renderer; // flat (red 200, green 80, blue 40) left of the bar
    const fs::path location = folder / "colour.mp4";
    exportToString(location, plan, music, renderer);
    // Decode the first frame as RGB and read a pixel right of the bar, away from its edges.
    const std::string rgb = runCommand("ffmpeg -v error -i " + quoted(location) +
                                       " -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(rgb.size(), 64u * 36 * 3);
    const std::size_t pixel = (18 * 64 + 40) * 3;
    EXPECT_NEAR(static_cast<unsigned char>(rgb[pixel]), 200, 6);
    EXPECT_NEAR(static_cast<unsigned char>(rgb[pixel + 1]), 80, 6);
    EXPECT_NEAR(static_cast<unsigned char>(rgb[pixel + 2]), 40, 6);
}

TEST_F(MovieExport, ProgressEveryFiveSecondsAndAfterTheLastFrame) {
    const MusicTimeline music = toneMusic(12);
    const MoviePlan plan = planMovie(32, 18, 2, 12, music.sampleRate);
    PatternRenderer renderer;
    EXPECT_EQ(exportToString(folder / "p.mp4", plan, music, renderer),
              "Metal movie   4.2% (1 / 24 frames)\n"
              "Metal movie  45.8% (11 / 24 frames)\n"
              "Metal movie  87.5% (21 / 24 frames)\n"
              "Metal movie 100.0% (24 / 24 frames)\n");
}

TEST_F(MovieExport, ShorterDurationCompressesPicturesAndSound) {
    const MusicTimeline music = toneMusic(6);
    const MoviePlan plan = planMovie(64, 36, 10, 1, music.sampleRate);
    PatternRenderer renderer;
    const fs::path location = folder / "short.mp4";
    exportToString(location, plan, music, renderer);
    ASSERT_EQ(renderer.times.size(), 10u);
    EXPECT_EQ(renderer.times[9], 0.9); // the whole show, in one second
    const auto probe = probeMovie(location);
    ASSERT_EQ(probe.streams.size(), 2u);
    for (const auto& stream : probe.streams) {
        EXPECT_NEAR(std::stod(stream.at("duration")), 1.0, 0.025) << stream.at("codec_type");
    }
    // Six seconds of a 440 Hz tone in one second: 2640 Hz at the same loudness.
    const std::string pcm = runCommand("ffmpeg -v error -i " + quoted(location) + " -f f32le -ac 1 -ar 48000 -");
    ASSERT_GE(pcm.size(), 40'000u * sizeof(float));
    std::vector<float> samples(pcm.size() / sizeof(float));
    std::memcpy(samples.data(), pcm.data(), samples.size() * sizeof(float));
    int crossings = 0;
    double power = 0;
    for (std::size_t i = 12'000; i < 36'000; ++i) { // the middle half second
        crossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
        power += static_cast<double>(samples[i]) * samples[i];
    }
    EXPECT_NEAR(crossings, 2 * 2640 / 2, 30);
    EXPECT_NEAR(std::sqrt(power / 24'000), 0.5 / std::sqrt(2.0), 0.03);
}

TEST_F(MovieExport, EncoderThreadWritesTheSameBytesAsTheOneAtATimeLoop) {
    const MusicTimeline music = toneMusic(1);
    const MoviePlan plan = planMovie(96, 54, 24, 1, music.sampleRate);
    PatternRenderer inlineRenderer;
    PatternRenderer threadedRenderer;
    hardwareEncoder = false;
    exportToString(folder / "inline.mp4", plan, music, inlineRenderer, 0);
    exportToString(folder / "threaded.mp4", plan, music, threadedRenderer, 2);
    const std::string one = readFile(folder / "inline.mp4");
    EXPECT_GT(one.size(), 1000u);
    EXPECT_TRUE(one == readFile(folder / "threaded.mp4"));
}

TEST_F(MovieExport, AnExistingPathIsRefusedAndLeftUntouched) {
    const fs::path location = folder / "taken.mp4";
    std::ofstream(location) << "precious";
    const MusicTimeline music = toneMusic(1);
    PatternRenderer renderer;
    try {
        exportToString(location, planMovie(32, 18, 10, 1, 48000), music, renderer);
        FAIL() << "an existing movie was replaced";
    } catch (const MovieRendererError& error) {
        EXPECT_EQ(error.kind(), MovieRendererError::Kind::outputExists);
        EXPECT_EQ(std::string(error.what()), "Movie already exists: " + location.string());
    }
    EXPECT_TRUE(renderer.frames.empty());
    EXPECT_EQ(readFile(location), "precious");
    EXPECT_EQ(folderEntries(folder), std::vector<std::string>{"taken.mp4"});
}

// Something appears at the path while the movie is being written: it is kept, the movie is not.
class SquatterRenderer : public PatternRenderer {
public:
    fs::path squat;
    void renderFrame(std::int64_t i, double t, const AudioFeatures& f, std::span<std::uint8_t> bgra,
                     std::int64_t stride) override {
        if (i == 2) {
            std::ofstream(squat) << "arrived meanwhile";
        }
        PatternRenderer::renderFrame(i, t, f, bgra, stride);
    }
};

TEST_F(MovieExport, AFailureOrARaceLeavesNoMovieAndNoTemporaryFile) {
    const MusicTimeline music = toneMusic(1);
    const MoviePlan plan = planMovie(32, 18, 10, 1, music.sampleRate);
    PatternRenderer failing;
    failing.failAtFrame = 5;
    EXPECT_THROW(exportToString(folder / "failed.mp4", plan, music, failing), Error);
    EXPECT_TRUE(folderEntries(folder).empty());

    SquatterRenderer racing;
    racing.squat = folder / "raced.mp4";
    EXPECT_THROW(exportToString(racing.squat, plan, music, racing), MovieRendererError);
    EXPECT_EQ(readFile(racing.squat), "arrived meanwhile");
    EXPECT_EQ(folderEntries(folder), std::vector<std::string>{"raced.mp4"});
}

TEST_F(MovieExport, TerminationDuringTheExportRemovesTheTemporaryFile) {
    const MusicTimeline music = toneMusic(20);
    const MoviePlan plan = planMovie(32, 18, 10, 20, music.sampleRate);
    for (const int signalNumber : {SIGTERM, SIGINT}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            PatternRenderer slow;
            slow.delay = std::chrono::milliseconds(20);
            MovieExportOptions options;
            options.progress = nullptr;
            options.allowHardwareEncoder = false;
            try {
                exportMovie(folder / "interrupted.mp4", plan, music, slow, options);
            } catch (...) {
            }
            ::_exit(0);
        }
        // Wait for the temporary file, then interrupt.
        for (int tries = 0; tries < 500 && folderEntries(folder).empty(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(folderEntries(folder).size(), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(child, signalNumber);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
        EXPECT_TRUE(folderEntries(folder).empty());
    }
}

} // namespace
} // namespace drevik::MetalMovieRenderer

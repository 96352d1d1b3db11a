// Cost of the movie export against its parts: a 10-second show at 640×360, 30 frames per second,
// rendered alone, encoded alone (from frames rendered beforehand) and exported with the encoder
// thread overlapping the rendering. The export should take at most 1.1 × (render + encode).
#include "output/movie_export.hpp"
#include "output/movie_gpu_frames.hpp"
#include "render/gpu/gpu.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace {

using namespace drevik;
using namespace drevik::MetalMovieRenderer;
namespace fs = std::filesystem;

constexpr double showSeconds = 10;

// A drawing of rotating stars, a new frame every 1/30 s, 48 lines each.
GraphicsTimeline benchShow() {
    GraphicsTimeline timeline;
    timeline.durationSeconds = showSeconds;
    const int frameCount = 300;
    for (int f = 0; f < frameCount; ++f) {
        VisualFrame frame;
        frame.time = static_cast<double>(f) / frameCount;
        frame.segmentRange.lowerBound = static_cast<std::int64_t>(timeline.segments.size());
        for (int k = 0; k < 48; ++k) {
            const double angle = k * 0.3 + f * 0.02;
            const double radius = 0.1 + 0.35 * ((k * 37) % 100) / 100.0;
            const auto x = static_cast<float>(0.5 + radius * std::cos(angle));
            const auto y = static_cast<float>(0.5 + radius * std::sin(angle));
            timeline.segments.push_back(PackedLine::make(0.5f, 0.5f, x, y));
        }
        frame.segmentRange.upperBound = static_cast<std::int64_t>(timeline.segments.size());
        timeline.frames.push_back(frame);
    }
    return timeline;
}

MusicTimeline benchMusic() {
    MusicTimeline music;
    music.durationSeconds = showSeconds;
    music.channelNames = {"a", "b", "c", "d"};
    music.samples.resize(static_cast<std::size_t>(showSeconds * 48000));
    for (std::size_t i = 0; i < music.samples.size(); ++i) {
        music.samples[i] = 0.3f * static_cast<float>(std::sin(static_cast<double>(i) * 0.05));
    }
    music.analysis.resize(static_cast<std::size_t>(showSeconds * 120));
    for (std::size_t i = 0; i < music.analysis.size(); ++i) {
        const auto phase = static_cast<float>(i % 60) / 60.0f;
        music.analysis[i].channels = {phase, 1 - phase, 0.5f, 0.25f};
        music.analysis[i].energy = phase;
        music.analysis[i].pulse = i % 30 == 0 ? 1.0f : 0.0f;
    }
    return music;
}

// Plays back frames rendered beforehand.
class StoredFrames : public MovieFrameRenderer {
public:
    std::vector<std::vector<std::uint8_t>> frames;
    void renderFrame(std::int64_t i, double, const AudioFeatures&, std::span<std::uint8_t> bgra, std::int64_t) override {
        std::memcpy(bgra.data(), frames[static_cast<std::size_t>(i)].data(), bgra.size());
    }
};

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_MovieExportAgainstItsParts(benchmark::State& state) {
    const GraphicsTimeline show = benchShow();
    const MusicTimeline music = benchMusic();
    const MoviePlan plan = planMovie(640, 360, 30, showSeconds, music.sampleRate);
    auto device = gpu::Device::systemDefault();
    if (!device) {
        state.SkipWithError("no GPU device");
        return;
    }
    const fs::path folder = fs::temp_directory_path() / ("drevik-movie-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    MovieExportOptions quiet;
    quiet.progress = nullptr;
    {
        // Warm-up: the first draws compile the shaders.
        GpuMovieFrames warm(device, plan, show);
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(plan.width * plan.height * 4));
        warm.renderFrame(0, 0, music.features(0), frame, plan.width * 4);
    }
    double render = 0, encode = 0, exported = 0;
    for (auto _ : state) {
        // Rendering alone (and reading back), one frame at a time.
        auto start = std::chrono::steady_clock::now();
        std::vector<std::vector<std::uint8_t>> recorded;
        {
            GpuMovieFrames frames(device, plan, show);
            std::vector<std::uint8_t> frame(static_cast<std::size_t>(plan.width * plan.height * 4));
            for (std::int64_t i = 0; i < plan.frameCount; ++i) {
                const double t = static_cast<double>(i) / static_cast<double>(plan.frameCount);
                frames.renderFrame(i, t, music.features(t), frame, plan.width * 4);
                recorded.push_back(frame);
            }
        }
        render = seconds(std::chrono::steady_clock::now() - start);

        // Encoding alone: the same frames and the soundtrack, on this thread.
        StoredFrames stored;
        stored.frames = std::move(recorded);
        MovieExportOptions inlineEncode = quiet;
        inlineEncode.queuedFrames = 0;
        fs::remove(folder / "encode.mp4");
        start = std::chrono::steady_clock::now();
        exportMovie(folder / "encode.mp4", plan, music, stored, inlineEncode);
        encode = seconds(std::chrono::steady_clock::now() - start);
        stored.frames.clear();

        // The export: rendering overlapped with encoding.
        fs::remove(folder / "export.mp4");
        start = std::chrono::steady_clock::now();
        {
            GpuMovieFrames frames(device, plan, show);
            exportMovie(folder / "export.mp4", plan, music, frames, quiet);
        }
        exported = seconds(std::chrono::steady_clock::now() - start);
        state.SetIterationTime(exported);
    }
    state.counters["render_s"] = render;
    state.counters["encode_s"] = encode;
    state.counters["export_s"] = exported;
    state.counters["export_over_sum"] = exported / (render + encode);
    fs::remove_all(folder);
}
BENCHMARK(BM_MovieExportAgainstItsParts)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3);

} // namespace

// Speed of the export formats: the demo compressed into a 10-second movie at 1280×720, 30 frames per
// second, rendered on the GPU and encoded on the export's second thread, for each codec at its
// default settings and for h264 with the ultrafast preset. Counters: frames per second of the whole
// export, the seconds the encoder was busy, and that time's share of the export (rendering should
// be the limit: with ultrafast, encoding takes at most 15 % of the export).
#include "output/movie_encoder.hpp"
#include "output/movie_export.hpp"
#include "output/movie_gpu_frames.hpp"
#include "render/gpu/gpu.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace {

using namespace drevik;
using namespace drevik::MetalMovieRenderer;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The movie encoder, timing every call the export makes of it.
class TimedEncoder final : public MovieFrameSink {
public:
    explicit TimedEncoder(MovieEncoder& encoder) : encoder_(encoder) {}
    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) override {
        const auto start = Clock::now();
        encoder_.appendVideoFrame(bgra, stride, frameIndex);
        busy += Clock::now() - start;
    }
    void appendAudio(std::span<const float> samples) override {
        const auto start = Clock::now();
        encoder_.appendAudio(samples);
        busy += Clock::now() - start;
    }
    void finish() override {
        const auto start = Clock::now();
        encoder_.finish();
        busy += Clock::now() - start;
    }
    Clock::duration busy{};

private:
    MovieEncoder& encoder_;
};

struct Demo {
    GraphicsTimeline graphics = GraphicsTimeline::fromCsvFile(fs::path(DREVIK_DEMO_DIR) / "Graphics.csv");
    MusicTimeline music = MusicTimeline::fromCsvFile(fs::path(DREVIK_DEMO_DIR) / "Music.csv", 48000, 120);
};

const Demo& demo() {
    static const Demo loaded; // read once for every benchmark of this executable
    return loaded;
}

void exportFormat(benchmark::State& state, OutputFormat format) {
    const Demo& show = demo();
    const MoviePlan plan = planMovie(1280, 720, 30, 10, show.music.sampleRate);
    auto device = gpu::Device::systemDefault();
    if (!device) {
        state.SkipWithError("no GPU device");
        return;
    }
    if (softwareVideoEncoder(format.codec).empty()) {
        state.SkipWithError("encoder missing");
        return;
    }
    const fs::path file = fs::temp_directory_path() / ("drevik-formats-bench-" + std::to_string(::getpid()) + "." +
                                                       std::string(containerName(format.container)));
    MovieExportOptions options;
    options.progress = nullptr;
    options.format = format;
    {
        // Warm-up: the first draws compile the shaders.
        GpuMovieFrames warm(device, plan, show.graphics, format.transparent);
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(plan.width * plan.height * 4));
        warm.renderFrame(0, 0, show.music.features(0), frame, plan.width * 4);
    }
    double exported = 0, busy = 0;
    std::string encoderName;
    for (auto _ : state) {
        fs::remove(file);
        const auto start = Clock::now();
        {
            GpuMovieFrames frames(device, plan, show.graphics, format.transparent);
            MovieEncoderSettings settings{plan.width, plan.height, plan.framesPerSecond, plan.sampleRate, 1, true, format};
            MovieEncoder encoder(file, settings);
            encoderName = encoder.videoEncoderName();
            TimedEncoder sink(encoder);
            renderAndEncode(plan, show.music, frames, sink, options);
            busy = seconds(sink.busy);
        }
        exported = seconds(Clock::now() - start);
        state.SetIterationTime(exported);
    }
    state.SetLabel(format.description() + " (" + encoderName + ")");
    state.counters["fps"] = static_cast<double>(plan.frameCount) / exported;
    state.counters["encode_s"] = busy;
    state.counters["encode_share"] = busy / exported;
    fs::remove(file);
}

OutputFormat formatOf(VideoCodec codec, Container container, std::optional<EncoderPreset> preset = {}) {
    OutputFormat format;
    format.codec = codec;
    format.container = container;
    format.preset = preset;
    return format;
}

BENCHMARK_CAPTURE(exportFormat, h264, formatOf(VideoCodec::h264, Container::mp4))
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(exportFormat, h264_ultrafast,
                  formatOf(VideoCodec::h264, Container::mp4, EncoderPreset::ultrafast))
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(exportFormat, hevc, formatOf(VideoCodec::hevc, Container::mp4))
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(exportFormat, av1, formatOf(VideoCodec::av1, Container::mp4))
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(exportFormat, vp9, formatOf(VideoCodec::vp9, Container::webm))
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(exportFormat, prores, formatOf(VideoCodec::prores, Container::mov))
    ->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

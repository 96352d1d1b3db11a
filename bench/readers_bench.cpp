// Speed of the two CSV readers against plain baselines.
//
//   Graphics: a generated ~100 MB Graphics.csv of five-field rows, read by the reader (from
//   memory and from a file) and by a plain std::getline + strtod reader of the same file.
//   Music: 180 s at 48000 samples per second with 20,000 transitions, against allocating and
//   filling the same 8,640,000 floats, measured side by side in the same run.
#include "core/graphics_timeline.hpp"
#include "platform/huge_pages.hpp"
#include "core/music_timeline.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using drevik::GraphicsTimeline;
using drevik::MusicTimeline;

// Appends value in 0...1 with six decimals, as drawing tools write them.
void appendFraction(std::string& out, std::uint32_t micro) {
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%u.%06u", micro / 1000000, micro % 1000000);
    out.append(text, static_cast<std::size_t>(length));
}

const std::string& graphicsText() {
    static const std::string text = [] {
        constexpr std::size_t target = 100u * 1000u * 1000u;
        constexpr std::uint32_t frames = 60000; // about 37 lines per frame
        std::mt19937 random(20261208);
        std::uniform_int_distribution<std::uint32_t> coordinate(0, 1000000);
        std::string out = "# duration_seconds=180\n# scene_boundaries_seconds=0,60,120,180\ntime,x1,y1,x2,y2\n";
        out.reserve(target + 64);
        std::uint32_t frame = 0;
        while (out.size() < target) {
            const std::uint32_t time = static_cast<std::uint32_t>(std::uint64_t{frame} * 1000000 / frames);
            for (int row = 0; row < 37 && out.size() < target; ++row) {
                appendFraction(out, time);
                for (int k = 0; k < 4; ++k) {
                    out.push_back(',');
                    appendFraction(out, coordinate(random));
                }
                out.push_back('\n');
            }
            frame = std::min(frame + 1, frames);
        }
        return out;
    }();
    return text;
}

const std::filesystem::path& graphicsFile() {
    static const std::filesystem::path path = [] {
        auto file = std::filesystem::temp_directory_path() / ("drevik-bench-" + std::to_string(::getpid())) / "Graphics.csv";
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << graphicsText();
        return file;
    }();
    // Registered once path is complete, so the clean-up runs before path is destroyed.
    static const bool cleanup = std::atexit([] { std::filesystem::remove_all(graphicsFile().parent_path()); }) == 0;
    (void)cleanup;
    return path;
}

void BM_GraphicsReaderFromMemory(benchmark::State& state) {
    const std::string& text = graphicsText();
    for (auto _ : state) {
        auto timeline = GraphicsTimeline::fromCsvData(text, "Graphics.csv");
        benchmark::DoNotOptimize(timeline.segments.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_GraphicsReaderFromMemory)->Unit(benchmark::kMillisecond);

void BM_GraphicsReaderFromFile(benchmark::State& state) {
    const auto& path = graphicsFile();
    for (auto _ : state) {
        auto timeline = GraphicsTimeline::fromCsvFile(path);
        benchmark::DoNotOptimize(timeline.segments.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * graphicsText().size()));
}
BENCHMARK(BM_GraphicsReaderFromFile)->Unit(benchmark::kMillisecond);

// The plain reader: std::getline per line, strtod per field, same frames and segments.
void BM_GraphicsGetlineStrtodBaseline(benchmark::State& state) {
    const auto& path = graphicsFile();
    for (auto _ : state) {
        std::ifstream in(path);
        std::string line;
        std::vector<drevik::PackedLine> segments;
        std::vector<drevik::VisualFrame> frames;
        double frameTime = -1;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#' || line.rfind("time,", 0) == 0) {
                continue;
            }
            const char* cursor = line.c_str();
            char* end = nullptr;
            double fields[5];
            for (double& field : fields) {
                field = std::strtod(cursor, &end);
                cursor = *end == ',' ? end + 1 : end;
            }
            if (fields[0] != frameTime) {
                frames.push_back({fields[0], {static_cast<std::int64_t>(segments.size()), 0}});
                frameTime = fields[0];
            }
            segments.push_back(drevik::PackedLine::make(static_cast<float>(fields[1]), static_cast<float>(fields[2]),
                                                        static_cast<float>(fields[3]), static_cast<float>(fields[4])));
            frames.back().segmentRange.upperBound = static_cast<std::int64_t>(segments.size());
        }
        benchmark::DoNotOptimize(segments.data());
        benchmark::DoNotOptimize(frames.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * graphicsText().size()));
}
BENCHMARK(BM_GraphicsGetlineStrtodBaseline)->Unit(benchmark::kMillisecond);

constexpr std::size_t kMusicSamples = 180 * 48000;

const std::string& musicText() {
    static const std::string text = [] {
        constexpr int transitions = 20000;
        std::mt19937 random(1208);
        std::uniform_int_distribution<std::uint32_t> value(0, 1000000);
        std::uniform_int_distribution<int> blank(0, 3);
        std::string out = "# duration_seconds=180\ntime,lead,counter,bass,percussion\n";
        for (int row = 0; row < transitions; ++row) {
            appendFraction(out, static_cast<std::uint32_t>(std::uint64_t{static_cast<std::uint32_t>(row)} * 1000000 / transitions));
            for (int k = 0; k < 4; ++k) {
                out.push_back(',');
                if (blank(random) != 0) {
                    appendFraction(out, value(random));
                }
            }
            out.push_back('\n');
        }
        return out;
    }();
    return text;
}

void BM_MusicTimeline(benchmark::State& state) {
    const std::string& text = musicText();
    for (auto _ : state) {
        auto timeline = MusicTimeline::fromCsvData(text, "Music.csv", 48000, 120);
        benchmark::DoNotOptimize(timeline.samples.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMusicSamples * sizeof(float)));
}
BENCHMARK(BM_MusicTimeline)->Unit(benchmark::kMillisecond);

// Filling the same number of floats in a buffer that already exists (no target: a reader that
// returns a new buffer cannot avoid the fresh memory).
void BM_MusicFillBaseline(benchmark::State& state) {
    std::vector<float> samples(kMusicSamples);
    float value = 0.25f;
    for (auto _ : state) {
        std::fill(samples.begin(), samples.end(), value);
        benchmark::DoNotOptimize(samples.data());
        benchmark::ClobberMemory();
        value += 0.125f;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMusicSamples * sizeof(float)));
}
BENCHMARK(BM_MusicFillBaseline)->Unit(benchmark::kMillisecond);

// The yardstick of the music build: a fresh buffer of the same samples, allocated and filled
// with one value, as plainly as that is written.
void allocateAndFillSamples(float value) {
    std::vector<float> samples(kMusicSamples, value);
    benchmark::DoNotOptimize(samples.data());
    benchmark::ClobberMemory();
}

void BM_MusicAllocateAndFillBaseline(benchmark::State& state) {
    float value = 0.25f;
    for (auto _ : state) {
        allocateAndFillSamples(value);
        value += 0.125f;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMusicSamples * sizeof(float)));
}
BENCHMARK(BM_MusicAllocateAndFillBaseline)->Unit(benchmark::kMillisecond);

// The least any reader returning a new buffer can cost: fresh memory with the reader's
// huge-page hint (the system still zeroes every page) and one fill. No target; it shows how much
// of the build is the reader's own work.
void freshBufferFloor() {
    std::vector<float> samples;
    samples.reserve(kMusicSamples);
    drevik::preferHugePages(samples.data(), kMusicSamples * sizeof(float));
    samples.insert(samples.end(), kMusicSamples, 0.25f);
    benchmark::DoNotOptimize(samples.data());
    benchmark::ClobberMemory();
}

void BM_MusicFreshBufferFloor(benchmark::State& state) {
    for (auto _ : state) {
        freshBufferFloor();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMusicSamples * sizeof(float)));
}
BENCHMARK(BM_MusicFreshBufferFloor)->Unit(benchmark::kMillisecond);

double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The build, the yardstick and the floor in turn, each iteration, on this thread's CPU clock
// (which counts the page faults too), so that all three meet the same conditions of this shared
// machine: build_over_allocate_fill is the build's time over the yardstick's.
void BM_MusicBuildAgainstAllocateAndFill(benchmark::State& state) {
    const std::string& text = musicText();
    double build = 0;
    double yardstick = 0;
    double floorTime = 0;
    for (auto _ : state) {
        const double start = threadSeconds();
        {
            auto timeline = MusicTimeline::fromCsvData(text, "Music.csv", 48000, 120);
            benchmark::DoNotOptimize(timeline.samples.data());
        }
        const double built = threadSeconds();
        allocateAndFillSamples(0.25f);
        const double filled = threadSeconds();
        freshBufferFloor();
        floorTime += threadSeconds() - filled;
        yardstick += filled - built;
        build += built - start;
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["build_ms"] = build / iterations * 1e3;
    state.counters["allocate_fill_ms"] = yardstick / iterations * 1e3;
    state.counters["floor_ms"] = floorTime / iterations * 1e3;
    state.counters["build_over_allocate_fill"] = yardstick > 0 ? build / yardstick : 0;
    state.counters["build_over_floor"] = floorTime > 0 ? build / floorTime : 0;
}
BENCHMARK(BM_MusicBuildAgainstAllocateAndFill)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

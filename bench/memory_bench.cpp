// Memory over a long run: frames of the demo show rendered one after another through the show's
// frame source, as a long show or movie renders them. After a warm-up, the resident memory and the
// heap in use must stay where they are: every frame gives back what it takes.
#include "app/show_frames.hpp"
#include "app/show_view.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <benchmark/benchmark.h>

#include <fstream>
#include <malloc.h>
#include <string>

namespace {

using namespace drevik;

// Resident memory of this process in bytes.
double residentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
    }
    return 0;
}

double heapInUseBytes() { return static_cast<double>(mallinfo2().uordblks); }

// Renders `warmUp` frames, then `frames` more spread over the whole demo (each frame a new moment, so
// scenes, stroke sets and uniforms keep changing), then the same moments once more. The first pass
// gives the resident memory's growth after the warm-up, which includes buffers that grow once to the
// densest moment met; the second gives what a frame keeps for good: heap in use that is never given
// back, which must be none.
void BM_MemoryGrowthPerFrame(benchmark::State& state) {
    const GraphicsTimeline timeline = GraphicsTimeline::fromCsvFile(DREVIK_DEMO_DIR "/Graphics.csv");
    const MusicTimeline music = MusicTimeline::fromCsvFile(DREVIK_DEMO_DIR "/Music.csv", 48000, 120);
    std::unique_ptr<ShowFrameSource> source = makeGpuFrameSource(timeline);
    const int warmUp = 100;
    const int frames = static_cast<int>(state.range(0));
    ShowPicture picture;
    auto render = [&](int index, int count) {
        const double t = static_cast<double>(index % count) / count;
        source->render(picture, 64, 36, t, music.features(t));
    };
    for (auto _ : state) {
        for (int i = 0; i < warmUp; ++i) render(i, warmUp);
        malloc_trim(0);
        const double residentBefore = residentBytes();
        for (int i = 0; i < frames; ++i) render(i, frames);
        malloc_trim(0);
        const double residentAfterFirstPass = residentBytes();
        const double heapBefore = heapInUseBytes();
        for (int i = 0; i < frames; ++i) render(i, frames);
        malloc_trim(0);
        state.counters["rss_growth_per_frame"] = (residentAfterFirstPass - residentBefore) / frames;
        state.counters["heap_growth_per_frame"] = (heapInUseBytes() - heapBefore) / frames;
        state.counters["rss_mb"] = residentBytes() / 1e6;
    }
}
BENCHMARK(BM_MemoryGrowthPerFrame)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

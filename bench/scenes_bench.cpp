// Scene analysis, camera pose and the scene report over generated drawings.
#include "app/scene_report.hpp"
#include "core/graphics_timeline.hpp"
#include "core/scene_analysis.hpp"
#include "core/volumetric_camera.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

namespace drevik {
namespace {

struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    float unit() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<float>((state >> 40) & 0xFFFFFF) / 16777216.0f;
    }
};

// frames × segmentsPerFrame random segments; boundaries splits the show into that many
// declared scenes (0: no declaration, so every frame joins one run unless clearFrames is set).
GraphicsTimeline generate(std::int64_t frames, std::int64_t segmentsPerFrame, int scenes, bool clearFrames = false) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 360;
    Random random;
    timeline.segments.reserve(static_cast<std::size_t>(frames * segmentsPerFrame));
    for (std::int64_t f = 0; f < frames; ++f) {
        const auto start = static_cast<std::int64_t>(timeline.segments.size());
        const bool cleared = clearFrames && f % 2 == 1;
        if (!cleared) {
            for (std::int64_t s = 0; s < segmentsPerFrame; ++s) {
                // Half the segments continue from the previous one, so the endpoint graph has joints.
                if (s > 0 && s % 2 == 1) {
                    const Float4 prev = timeline.segments.back().endpoints;
                    timeline.segments.push_back(PackedLine::make(prev.z, prev.w, random.unit(), random.unit()));
                } else {
                    timeline.segments.push_back(
                        PackedLine::make(random.unit(), random.unit(), random.unit(), random.unit()));
                }
            }
        }
        timeline.frames.push_back({static_cast<double>(f) / static_cast<double>(frames),
                                   {start, static_cast<std::int64_t>(timeline.segments.size())}});
    }
    if (scenes > 0) {
        for (int i = 0; i <= scenes; ++i) {
            timeline.sceneBoundaries.push_back(static_cast<double>(i) / scenes);
        }
    }
    return timeline;
}

void BM_AnalyzeScene10kSegments(benchmark::State& state) {
    // 300 declared scenes of 36 frames; every frame of the measured scene has 10,000 segments.
    GraphicsTimeline timeline = generate(10800, 5, 300);
    const GraphicsTimeline busy = generate(36, 10000, 0);
    // Graft the busy scene over the frames of scene 150.
    const std::int64_t base = 150 * 36;
    for (std::int64_t f = 0; f < 36; ++f) {
        const auto start = static_cast<std::int64_t>(timeline.segments.size());
        const IndexRange range = busy.frames[static_cast<std::size_t>(f)].segmentRange;
        timeline.segments.insert(timeline.segments.end(), busy.segments.begin() + range.lowerBound,
                                 busy.segments.begin() + range.upperBound);
        timeline.frames[static_cast<std::size_t>(base + f)].segmentRange = {
            start, static_cast<std::int64_t>(timeline.segments.size())};
    }
    const std::vector<SceneSpan> spans = timeline.nonEmptySceneSpans();
    SceneSpan target{};
    for (const SceneSpan& span : spans) {
        if (span.firstFrameIndex == base) {
            target = span;
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(timeline.analyzeScene(target));
    }
}
BENCHMARK(BM_AnalyzeScene10kSegments)->Unit(benchmark::kMillisecond);

void BM_Pose(benchmark::State& state) {
    const GraphicsTimeline timeline = generate(10, 300, 10);
    std::vector<SceneProfile> profiles;
    for (const SceneSpan& span : timeline.nonEmptySceneSpans()) {
        profiles.push_back(timeline.analyzeScene(span));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const SceneProfile& profile = profiles[i % profiles.size()];
        benchmark::DoNotOptimize(VolumetricCamera::pose(profile, 0.1 + 0.8 * static_cast<double>(i % 97) / 97.0));
        ++i;
    }
}
BENCHMARK(BM_Pose);

// The scene index lookup over many run-based scenes: rebuilding the scene list per analysis
// versus handing the list in once.
void BM_AnalyzeEveryRunRebuildingTheList(benchmark::State& state) {
    const GraphicsTimeline timeline = generate(state.range(0), 20, 0, true);
    const std::vector<SceneSpan> spans = timeline.nonEmptySceneSpans();
    for (auto _ : state) {
        for (const SceneSpan& span : spans) {
            benchmark::DoNotOptimize(timeline.analyzeScene(span));
        }
    }
    state.counters["scenes"] = static_cast<double>(spans.size());
}
BENCHMARK(BM_AnalyzeEveryRunRebuildingTheList)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);

void BM_AnalyzeEveryRunWithTheList(benchmark::State& state) {
    const GraphicsTimeline timeline = generate(state.range(0), 20, 0, true);
    const std::vector<SceneSpan> spans = timeline.nonEmptySceneSpans();
    for (auto _ : state) {
        for (const SceneSpan& span : spans) {
            benchmark::DoNotOptimize(analyzeScene(timeline, span, spans));
        }
    }
    state.counters["scenes"] = static_cast<double>(spans.size());
}
BENCHMARK(BM_AnalyzeEveryRunWithTheList)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);

// The whole report of a 10,800-frame show with 300 declared scenes and 500 segments per frame,
// the drawing already in memory.
void BM_SceneReportOfAFullShow(benchmark::State& state) {
    const GraphicsTimeline timeline = generate(10800, 500, 300);
    std::FILE* sink = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        printSceneReport(timeline, sink);
    }
    std::fclose(sink);
}
BENCHMARK(BM_SceneReportOfAFullShow)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
} // namespace drevik

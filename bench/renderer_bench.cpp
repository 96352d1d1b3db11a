// Costs of the renderer: set-up, rebuilding the stroke buffer, a frame whose frames are unchanged
// (which must not allocate), and whole 1920x1080 frames on the system's GPU (lavapipe here).
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "render/gpu/gpu.hpp"
#include "render/line_buffer.hpp"
#include "render/scene_renderer.hpp"
#include "render/scene_state.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <sys/resource.h>
#include <vector>

// The replacement operators below pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Every heap allocation of the process is counted, so a benchmark can report allocations per frame.
namespace {
std::atomic<long long> allocationCount{0};
}

void* operator new(std::size_t size) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace drevik {
namespace {

// CPU seconds used so far by every thread of the process (the software driver renders on its own threads).
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& v) { return static_cast<double>(v.tv_sec) + static_cast<double>(v.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A 60-second show at 30 frames per second; every frame holds `segments` segments of a slowly turning
// star of strokes `length` long (radially, in drawing heights), so each frame on screen comes with five afterimage frames. The frames form one scene.
GraphicsTimeline movingDrawing(int segments, double length = 0.06, int frames = 90) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 60;
    for (int f = 0; f < frames; ++f) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        for (int k = 0; k < segments; ++k) {
            const double a = 6.2831853 * k / segments + 0.01 * f;
            const double r0 = 0.05 + 0.35 * ((k * 37) % 100) / 100.0;
            const double r1 = r0 + length;
            auto clamp01 = [](double v) { return static_cast<float>(std::fmin(1.0, std::fmax(0.0, v))); };
            timeline.segments.push_back(PackedLine::make(clamp01(0.5 + r0 * std::cos(a) * 0.5625),
                                                         clamp01(0.5 + r0 * std::sin(a)),
                                                         clamp01(0.5 + r1 * std::cos(a + 0.05) * 0.5625),
                                                         clamp01(0.5 + r1 * std::sin(a + 0.05))));
        }
        timeline.frames.push_back({f / (30.0 * 60.0), {first, first + segments}});
    }
    // A cleared drawing ends the scene, so the middle frame is halfway through it.
    const auto end = static_cast<std::int64_t>(timeline.segments.size());
    timeline.frames.push_back({frames / (30.0 * 60.0), {end, end}});
    return timeline;
}

class VectorStorage : public StrokeStorage {
public:
    bool replace(int slot, std::int64_t records, std::string_view) override {
        slots[static_cast<std::size_t>(slot)].assign(static_cast<std::size_t>(records), GPUStroke{});
        return true;
    }
    std::span<GPUStroke> records(int slot) override { return slots[static_cast<std::size_t>(slot)]; }
    std::array<std::vector<GPUStroke>, 3> slots;
};

// A frame whose frames to show have not changed: the buffer update and the scene state only.
void unchangedFrame(benchmark::State& state) {
    const auto timeline = movingDrawing(1000);
    VectorStorage storage;
    LineBufferRing ring;
    SceneProfileCache cache;
    const double t = 60.0 / (30.0 * 60.0);
    ring.updateLineBuffer(timeline, t, storage);
    sceneState(timeline, t, cache);
    const long long before = allocationCount.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.updateLineBuffer(timeline, t, storage));
        benchmark::DoNotOptimize(sceneState(timeline, t, cache));
    }
    state.counters["allocations_per_frame"] =
        static_cast<double>(allocationCount.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(unchangedFrame);

// Rebuilding the buffer for a new frame: six frames of 1000 segments each.
void rebuildFrame(benchmark::State& state) {
    const auto timeline = movingDrawing(1000);
    VectorStorage storage;
    LineBufferRing ring;
    int f = 20;
    ring.updateLineBuffer(timeline, f / 1800.0, storage);
    const long long before = allocationCount.load();
    for (auto _ : state) {
        f = f == 20 ? 21 : 20;
        benchmark::DoNotOptimize(ring.updateLineBuffer(timeline, f / 1800.0, storage));
    }
    state.counters["records"] = static_cast<double>(ring.strokeCount());
    state.counters["allocations_per_frame"] =
        static_cast<double>(allocationCount.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(rebuildFrame);

gpu::RenderPassDescriptor renderPass(gpu::Device& device, std::size_t width, std::size_t height,
                                     std::size_t samples) {
    gpu::RenderPassDescriptor pass;
    gpu::TextureDescriptor color = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height);
    gpu::TextureDescriptor depth = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::depth32Float, width, height);
    if (samples > 1) {
        color.textureType = gpu::TextureType::type2DMultisample;
        color.sampleCount = samples;
        depth.textureType = gpu::TextureType::type2DMultisample;
        depth.sampleCount = samples;
        pass.colorAttachments[0].resolveTexture =
            device.makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
        pass.colorAttachments[0].storeAction = gpu::StoreAction::multisampleResolve;
    }
    pass.colorAttachments[0].texture = device.makeTexture(color);
    pass.colorAttachments[0].loadAction = gpu::LoadAction::clear;
    pass.colorAttachments[0].clearColor = {0, 0, 0, 1};
    pass.depthAttachment.texture = device.makeTexture(depth);
    pass.depthAttachment.loadAction = gpu::LoadAction::clear;
    pass.depthAttachment.clearDepth = 1.0;
    return pass;
}

void setUp(benchmark::State& state) {
    for (auto _ : state) {
        auto device = gpu::Device::systemDefault();
        if (!device) {
            state.SkipWithError("no GPU device");
            return;
        }
        MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, device->supportsTextureSampleCount(4) ? 4 : 1);
        benchmark::DoNotOptimize(renderer.commandQueue());
    }
}
BENCHMARK(setUp)->Unit(benchmark::kMillisecond)->Iterations(3);

// One whole frame: encode, commit, wait. Arguments: sample count; 1 to change the frame every time
// (rebuilding the stroke buffer) or 0 to draw the same frames again; picture width (16:9); stroke
// length in hundredths of the drawing's height.
void renderFrame(benchmark::State& state) {
    const auto samples = static_cast<std::size_t>(state.range(0));
    const bool moving = state.range(1) != 0;
    auto device = gpu::Device::systemDefault();
    if (!device) {
        state.SkipWithError("no GPU device");
        return;
    }
    const auto width = static_cast<std::size_t>(state.range(2));
    const auto height = width * 9 / 16;
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, samples);
    const auto pass = renderPass(*device, width, height, samples);
    const auto timeline = movingDrawing(1000, static_cast<double>(state.range(3)) / 100.0);
    AudioFeatures features;
    features.channels = {0.5f, 0.5f, 0.5f, 0.5f};
    features.energy = 0.5f;
    features.pulse = 0.3f;
    // Halfway through the scene: full volume, the camera away from home.
    int f = 45;
    auto frame = [&] {
        auto commandBuffer = renderer.commandQueue()->commandBuffer();
        renderer.encode(*commandBuffer, pass, static_cast<double>(width), static_cast<double>(height), timeline,
                        f / 1800.0, features);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
    };
    frame(); // the first draw compiles the shaders on lavapipe
    const long long before = allocationCount.load();
    const double cpuBefore = processCpuSeconds();
    for (auto _ : state) {
        if (moving) {
            f = f == 45 ? 46 : 45;
        }
        frame();
    }
    state.counters["records"] = static_cast<double>(renderer.lineBuffers().strokeCount());
    state.counters["process_cpu_ms_per_frame"] =
        (processCpuSeconds() - cpuBefore) * 1000.0 / static_cast<double>(state.iterations());
    // Whole-process allocations, the GPU layer's command buffers and driver included.
    state.counters["allocations_per_frame"] =
        static_cast<double>(allocationCount.load() - before) / static_cast<double>(state.iterations());
    // The share of lit pixels shows that the timed frames drew a real picture.
    const auto& target = samples > 1 ? pass.colorAttachments[0].resolveTexture : pass.colorAttachments[0].texture;
    std::vector<std::uint8_t> pixels(width * height * 4);
    target->getBytes(pixels.data(), width * 4, {0, 0, width, height});
    std::size_t lit = 0;
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        lit += (pixels[i] | pixels[i + 1] | pixels[i + 2]) != 0 ? 1 : 0;
    }
    state.counters["lit_share"] = static_cast<double>(lit) / static_cast<double>(width * height);
}
BENCHMARK(renderFrame)
    ->Args({4, 1, 1920, 6})
    ->Args({4, 0, 1920, 6})
    ->Args({1, 1, 1920, 6})
    ->Args({4, 1, 1920, 30})
    ->Args({1, 1, 1920, 30})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime();
BENCHMARK(renderFrame)->Args({4, 1, 3840, 6})->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

} // namespace
} // namespace drevik

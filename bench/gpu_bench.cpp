// Costs of the GPU path on this machine's device (the software driver unless VK_DRIVER_FILES says
// otherwise):
//   - set-up: device, shader compilation and pipelines (what every output pays once), without a disk
//     cache and with a warm one;
//   - one 1920×1080 frame of a 1000-segment drawing with its afterimages, 4 and 1 samples, GPU included;
//   - read-back and PNG encoding of such a frame.
// Every frame benchmark draws one warm-up frame first: the driver compiles shaders at the first draw.
#include "output/png_writer.hpp"
#include "render/gpu/gpu.hpp"
#include "render/scene_renderer.hpp"
#include "render/shader_source.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace drevik;

void preferSoftwareDriver() {
    const char* lavapipe = "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";
    if (!std::getenv("VK_DRIVER_FILES") && !std::getenv("VK_ICD_FILENAMES") && std::filesystem::exists(lavapipe)) {
        ::setenv("VK_DRIVER_FILES", lavapipe, 0);
    }
    ::setenv("MESA_VK_IGNORE_CONFORMANCE_WARNING", "1", 0); // as the program's start-up does
}

// 20 seconds at 30 frames per second, each frame a random walk of `segments` strokes, so a frame in
// the middle of the show carries five afterimage frames.
GraphicsTimeline walkingDrawing(int segments) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 20;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> angle(0.0f, 6.2831853f);
    std::uniform_real_distribution<float> length(0.01f, 0.08f);
    const int frames = 600;
    for (int f = 0; f < frames; ++f) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        float x = 0.5f;
        float y = 0.5f;
        for (int i = 0; i < segments; ++i) {
            const float a = angle(random);
            const float l = length(random);
            const float nx = std::clamp(x + l * std::cos(a), 0.05f, 0.95f);
            const float ny = std::clamp(y + l * std::sin(a), 0.05f, 0.95f);
            timeline.segments.push_back(PackedLine::make(x, y, nx, ny));
            x = nx;
            y = ny;
        }
        timeline.frames.push_back({static_cast<double>(f) / frames, {first, first + segments}});
    }
    return timeline;
}

struct Targets {
    std::shared_ptr<gpu::Texture> output;
    gpu::RenderPassDescriptor pass;
};

Targets makeTargets(gpu::Device& device, std::size_t width, std::size_t height, std::size_t samples) {
    Targets targets;
    targets.output = device.makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
    auto& color = targets.pass.colorAttachments[0];
    color.loadAction = gpu::LoadAction::clear;
    color.clearColor = {0, 0, 0, 1};
    auto depth = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::depth32Float, width, height);
    depth.sampleCount = samples;
    if (samples > 1) {
        auto ms = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height);
        ms.sampleCount = samples;
        ms.textureType = gpu::TextureType::type2DMultisample;
        depth.textureType = gpu::TextureType::type2DMultisample;
        color.texture = device.makeTexture(ms);
        color.resolveTexture = targets.output;
        color.storeAction = gpu::StoreAction::multisampleResolve;
    } else {
        color.texture = targets.output;
        color.storeAction = gpu::StoreAction::store;
    }
    targets.pass.depthAttachment.texture = device.makeTexture(depth);
    targets.pass.depthAttachment.loadAction = gpu::LoadAction::clear;
    targets.pass.depthAttachment.clearDepth = 1.0;
    return targets;
}

void BM_SetUp(benchmark::State& state) {
    preferSoftwareDriver();
    for (auto _ : state) {
        auto device = gpu::Device::systemDefault();
        MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 4);
        benchmark::DoNotOptimize(renderer.commandQueue().get());
    }
}
BENCHMARK(BM_SetUp)->Unit(benchmark::kMillisecond)->Iterations(5);

// A start with the disk cache of an earlier one: compiled modules and the pipeline cache are read.
void BM_SetUpWarmCache(benchmark::State& state) {
    preferSoftwareDriver();
    std::string folder = (std::filesystem::temp_directory_path() / "drevik-bench-cache-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    gpu::DeviceOptions options;
    options.cacheFolder = folder;
    {
        MetalSceneRenderer warming(gpu::Device::systemDefault(options), gpu::PixelFormat::bgra8Unorm, 4);
    }
    for (auto _ : state) {
        auto device = gpu::Device::systemDefault(options);
        MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 4);
        benchmark::DoNotOptimize(renderer.commandQueue().get());
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(BM_SetUpWarmCache)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_DeviceOnly(benchmark::State& state) {
    preferSoftwareDriver();
    for (auto _ : state) {
        auto device = gpu::Device::systemDefault();
        benchmark::DoNotOptimize(device.get());
    }
}
BENCHMARK(BM_DeviceOnly)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ShaderCompile(benchmark::State& state) {
    preferSoftwareDriver();
    auto device = gpu::Device::systemDefault();
    for (auto _ : state) {
        auto library = device->makeLibrary(lineShaderSource(), lineShaderFunctions());
        benchmark::DoNotOptimize(library.get());
    }
}
BENCHMARK(BM_ShaderCompile)->Unit(benchmark::kMillisecond)->Iterations(5);

// One frame: encode, commit, wait. Arguments: samples, segments per frame, width, height.
void BM_Frame(benchmark::State& state) {
    preferSoftwareDriver();
    const auto samples = static_cast<std::size_t>(state.range(0));
    const auto segments = static_cast<int>(state.range(1));
    const auto width = static_cast<std::size_t>(state.range(2));
    const auto height = static_cast<std::size_t>(state.range(3));
    const GraphicsTimeline drawing = walkingDrawing(segments);
    auto device = gpu::Device::systemDefault();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, samples);
    Targets targets = makeTargets(*device, width, height, samples);
    AudioFeatures features;
    features.channels = {0.6f, 0.4f, 0.7f, 0.5f};
    features.energy = 0.6f;
    features.pulse = 0.5f;
    auto frame = [&](double t) {
        auto commandBuffer = renderer.commandQueue()->commandBuffer();
        renderer.encode(*commandBuffer, targets.pass, static_cast<double>(width), static_cast<double>(height), drawing, t,
                        features);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
    };
    frame(0.5);   // warm-up: shader compilation in the driver, scene analysis
    for (auto _ : state) {
        frame(0.5);
    }
    state.counters["records"] = static_cast<double>(renderer.lineBuffers().strokeCount());
}
BENCHMARK(BM_Frame)
    ->Args({4, 1000, 1920, 1080})
    ->Args({1, 1000, 1920, 1080})
    ->Args({4, 170, 1920, 1080})
    ->Args({4, 1000, 3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_ReadBackAndPng(benchmark::State& state) {
    preferSoftwareDriver();
    auto device = gpu::Device::systemDefault();
    const GraphicsTimeline timeline = walkingDrawing(1000);
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    Targets targets = makeTargets(*device, 1920, 1080, 1);
    auto commandBuffer = renderer.commandQueue()->commandBuffer();
    renderer.encode(*commandBuffer, targets.pass, 1920, 1080, timeline, 0.5, AudioFeatures{});
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    std::vector<std::uint8_t> pixels(1920 * 1080 * 4);
    const bool readBack = state.range(0) != 0;
    const bool encode = state.range(1) != 0;
    targets.output->getBytes(pixels.data(), 1920 * 4, {0, 0, 1920, 1080});
    for (auto _ : state) {
        if (readBack) targets.output->getBytes(pixels.data(), 1920 * 4, {0, 0, 1920, 1080});
        if (encode) {
            std::FILE* sink = std::fopen("/dev/null", "wb");
            writeBgraAsPng(sink, pixels.data(), 1920, 1080, 1920 * 4);
            std::fclose(sink);
        }
    }
}
BENCHMARK(BM_ReadBackAndPng)->Args({1, 0})->Args({0, 1})->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

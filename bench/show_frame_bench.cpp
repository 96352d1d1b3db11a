// One frame of the show as the window gets it: the renderer's pass at the drawable size (4 samples when
// supported) resolved straight into the window's drawable and presented (showFrameInWindow, needs a
// display: run under xvfb-run), or resolved off screen and read back (showFrame, the path for windows
// that cannot present through Vulkan). Set VK_ICD_FILENAMES to pick a driver.
#include "app/show_view.hpp"

#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

namespace {

// 40 lines per frame, 300 frames over 30 seconds, in two scenes.
drevik::GraphicsTimeline benchTimeline() {
    std::string csv = "# duration_seconds=30\n# scene_boundaries_seconds=0,15,30\ntime,x1,y1,x2,y2\n";
    for (int k = 0; k < 300; ++k) {
        double t = k / 300.0;
        for (int j = 0; j < 40; ++j) {
            double a = j / 40.0 * 6.283185307 + t * 6;
            double r = 0.3 + 0.1 * std::sin(t * 20 + j);
            auto clamp = [](double v) { return std::to_string(std::fmin(std::fmax(v, 0.0), 1.0)); };
            csv += std::to_string(t) + "," + clamp(0.5 + r * std::cos(a) * 0.6) + "," + clamp(0.5 + r * std::sin(a)) +
                   "," + clamp(0.5 + 0.15 * std::cos(a * 2) * 0.6) + "," + clamp(0.5 + 0.15 * std::sin(a * 3)) + "\n";
        }
    }
    return drevik::GraphicsTimeline::fromCsvData(csv, "Graphics.csv");
}

void showFrame(benchmark::State& state) {
    auto width = static_cast<std::size_t>(state.range(0));
    auto height = static_cast<std::size_t>(state.range(1));
    drevik::GraphicsTimeline timeline = benchTimeline();
    auto source = drevik::makeGpuFrameSource(timeline);
    drevik::ShowPicture picture;
    drevik::AudioFeatures features;
    features.channels = {0.5f, 0.5f, 0.5f, 0.5f};
    features.energy = 0.5f;
    features.pulse = 0.5f;
    source->render(picture, width, height, 0.3, features); // compiles the shaders on first use
    double t = 0.3;
    for (auto _ : state) {
        t += 1.0 / 1800; // one 60th of a second of a 30-second show
        source->render(picture, width, height, t, features);
        benchmark::DoNotOptimize(picture.bgra.data());
    }
}
BENCHMARK(showFrame)->Args({1280, 720})->Args({3840, 2160})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void showFrameInWindow(benchmark::State& state) {
    auto width = static_cast<int>(state.range(0));
    auto height = static_cast<int>(state.range(1));
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        state.SkipWithError("no display");
        return;
    }
    SDL_Window* window = SDL_CreateWindow("show frame", 0, 0, width, height, SDL_WINDOW_VULKAN);
    if (window == nullptr) {
        state.SkipWithError("no Vulkan window");
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        return;
    }
    {
        drevik::GraphicsTimeline timeline = benchTimeline();
        auto source = drevik::makeGpuFrameSource(timeline, window);
        if (!source->presentsItself()) state.SkipWithError("the window cannot present through Vulkan");
        drevik::ShowPicture picture;
        drevik::AudioFeatures features;
        features.channels = {0.5f, 0.5f, 0.5f, 0.5f};
        features.energy = 0.5f;
        features.pulse = 0.5f;
        auto size = [](int pixels) { return static_cast<std::size_t>(pixels); };
        source->render(picture, size(width), size(height), 0.3, features); // compiles the shaders on first use
        double t = 0.3;
        for (auto _ : state) {
            t += 1.0 / 1800;
            source->render(picture, size(width), size(height), t, features);
        }
    }
    SDL_DestroyWindow(window);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
}
BENCHMARK(showFrameInWindow)->Args({1280, 720})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

} // namespace

// Live reload of a large drawing: the show plays a 100 MB Graphics.csv (many frames of a few lines
// each, so every picture is light) in a 320 × 180 window with the real renderer, and the file is saved
// again in place with other lines, three times. Measured for each save, from the end of the write:
//   on_screen     until the first frame of the new drawing has been presented
//   read_in_show  how long the reloader's own reading took, beside the show's rendering
//   after_read    on_screen − read_in_show: the quiet time, the hand-over and one frame (target: 0.5 s)
//   read          reading the same file on its own, after the show (GraphicsTimeline::fromCsvFile,
//                 warm page cache); after_read_alone is on_screen − read
//   longest_frame_gap  the longest time between two presented frames from the save until one second
//                      after the new drawing is on screen; frame_gap_before is the same measure over
//                      the second before the save, for comparison
// Medians over the three saves. Needs a display: it starts its own Xvfb when DISPLAY is not set. Set
// VK_DRIVER_FILES to choose the Vulkan driver (the software one on a build machine).
#include "app/configuration.hpp"
#include "app/inputs.hpp"
#include "app/show_view.hpp"
#include "tests/support/virtual_display.hpp"

#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int framesPerSecondOfDrawing = 240;
constexpr int seconds = 180;
constexpr int linesPerFrame = 62;

// A coordinate in 0...1 with four decimals, written without the C library's formatting.
void appendUnit(std::string& out, double value) {
    const auto scaled = static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 10000));
    if (scaled >= 10000) {
        out += "1.0000";
        return;
    }
    char digits[7] = {'0', '.', static_cast<char>('0' + scaled / 1000), static_cast<char>('0' + scaled / 100 % 10),
                      static_cast<char>('0' + scaled / 10 % 10), static_cast<char>('0' + scaled % 10), '\0'};
    out += digits;
}

// About 100 MB: 43,200 frames of 62 lines over three minutes, in three scenes; `variant` turns the lines.
std::string largeDrawing(int variant) {
    std::string csv = "# duration_seconds=" + std::to_string(seconds) + "\n# scene_boundaries_seconds=0,60,120," +
                      std::to_string(seconds) + "\ntime,x1,y1,x2,y2\n";
    const int frames = seconds * framesPerSecondOfDrawing;
    csv.reserve(static_cast<std::size_t>(frames) * linesPerFrame * 40);
    for (int k = 0; k < frames; ++k) {
        const double t = static_cast<double>(k) / frames;
        char precise[32];
        std::snprintf(precise, sizeof precise, "%.7f", t);
        for (int j = 0; j < linesPerFrame; ++j) {
            const double a = j * 6.283185307 / linesPerFrame + t * 40 + variant * 0.7;
            const double r = 0.25 + 0.1 * std::sin(t * 300 + j + variant);
            csv += precise;
            csv += ',';
            appendUnit(csv, 0.5 + r * std::cos(a) * 0.6);
            csv += ',';
            appendUnit(csv, 0.5 + r * std::sin(a));
            csv += ',';
            appendUnit(csv, 0.5 + 0.4 * std::cos(a * (2 + variant)) * 0.6);
            csv += ',';
            appendUnit(csv, 0.5 + 0.4 * std::sin(a * 3));
            csv += '\n';
        }
    }
    return csv;
}

void writeFile(const std::filesystem::path& location, const std::string& text) {
    std::ofstream out(location, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double longestGap(const std::vector<Clock::time_point>& frames, Clock::time_point from, Clock::time_point to) {
    double longest = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        if (frames[i] < from || frames[i - 1] > to) continue;
        longest = std::max(longest, secondsBetween(frames[i - 1], frames[i]));
    }
    return longest;
}

void pushKey(SDL_Scancode scancode) {
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.keysym.scancode = scancode;
    SDL_PushEvent(&event);
}

void BM_ReloadOnScreen(benchmark::State& state) {
    // One private X server for every run of the process.
    static std::unique_ptr<drevik::testing::VirtualDisplay> display;
    if (std::getenv("DISPLAY") == nullptr) {
        display = std::make_unique<drevik::testing::VirtualDisplay>();
        if (!display->running()) {
            state.SkipWithError("no display and Xvfb could not be started");
            return;
        }
        ::setenv("DISPLAY", display->name().c_str(), 1);
    }
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);

    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("drevik-reload-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path graphicsLocation = folder / "Graphics.csv";
    const std::filesystem::path musicLocation = folder / "Music.csv";
    const std::vector<std::string> versions = {largeDrawing(0), largeDrawing(1)};
    writeFile(graphicsLocation, versions[0]);
    writeFile(musicLocation,
              "# duration_seconds=" + std::to_string(seconds) + "\ntime,lead,bass\n0,0.7,0.4\n0.5,0.3,0.6\n");
    const drevik::GraphicsTimeline graphics = drevik::GraphicsTimeline::fromCsvFile(graphicsLocation);
    const drevik::MusicTimeline music = drevik::readMusic(musicLocation);

    constexpr int saves = 3;
    std::vector<double> onScreen;
    std::vector<double> reads;
    std::vector<double> readInShow;
    std::vector<double> afterRead;
    std::vector<double> gaps;
    std::vector<double> gapsBefore;
    for (auto _ : state) {
        // The event loop records frames; the saver thread writes the file (off the event loop, as an
        // editor would) once the last save has been on screen for a second.
        std::mutex mutex;
        std::vector<Clock::time_point> frames;
        std::vector<Clock::time_point> saved;
        std::vector<Clock::time_point> shown;
        std::vector<double> readsInShow;
        const drevik::GraphicsTimeline* drawing = nullptr;
        std::atomic<bool> ended = false;
        drevik::ShowHooks hooks;
        hooks.width = 320;
        hooks.height = 180;
        hooks.afterFrame = [&](drevik::MetalShowView& view, SDL_Window*) {
            if (view.framesShown() == 0) return;
            const Clock::time_point now = Clock::now();
            std::lock_guard lock(mutex);
            frames.push_back(now);
            if (drawing == nullptr) drawing = view.shownTimeline();
            if (view.shownTimeline() != drawing && shown.size() < saved.size()) {
                drawing = view.shownTimeline();
                shown.push_back(now);
            }
        };
        hooks.reloaded = [&](const drevik::ShowReload& reload) {
            std::lock_guard lock(mutex);
            readsInShow.push_back(reload.readSeconds);
        };
        std::thread saver([&] {
            const Clock::time_point deadline = Clock::now() + std::chrono::seconds(120);
            while (!ended && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::size_t count = 0;
                {
                    std::lock_guard lock(mutex);
                    if (frames.empty() || shown.size() < saved.size()) continue;
                    const Clock::time_point settled = shown.empty() ? frames.front() : shown.back();
                    if (secondsBetween(settled, Clock::now()) < 1.0) continue;
                    count = saved.size();
                }
                if (count == saves) break;
                writeFile(graphicsLocation, versions[(count + 1) % 2]);
                std::lock_guard lock(mutex);
                saved.push_back(Clock::now());
            }
            pushKey(SDL_SCANCODE_ESCAPE);
        });
        drevik::Configuration configuration;
        configuration.graphicsURL = graphicsLocation;
        configuration.musicURL = musicLocation;
        configuration.normalizedTime = 0.1;
        try {
            drevik::DrevikAppDelegate delegate(graphics, music, configuration, hooks);
            delegate.run();
        } catch (const std::exception& error) {
            ended = true;
            saver.join();
            state.SkipWithError(error.what());
            return;
        }
        ended = true;
        saver.join();
        if (shown.size() != saves) {
            state.SkipWithError("a save did not reach the screen");
            return;
        }
        if (readsInShow.size() != saves) {
            state.SkipWithError("a save was read more than once");
            return;
        }
        for (std::size_t i = 0; i < saves; ++i) {
            onScreen.push_back(secondsBetween(saved[i], shown[i]));
            readInShow.push_back(readsInShow[i]);
            afterRead.push_back(onScreen.back() - readsInShow[i]);
            gaps.push_back(longestGap(frames, saved[i], shown[i] + std::chrono::seconds(1)));
            gapsBefore.push_back(longestGap(frames, saved[i] - std::chrono::seconds(1), saved[i]));
        }
        for (int i = 0; i < saves; ++i) {
            const Clock::time_point started = Clock::now();
            benchmark::DoNotOptimize(drevik::GraphicsTimeline::fromCsvFile(graphicsLocation));
            reads.push_back(secondsBetween(started, Clock::now()));
        }
        state.SetIterationTime(median(onScreen));
    }
    std::filesystem::remove_all(folder);
    state.counters["on_screen"] = median(onScreen);
    state.counters["read"] = median(reads);
    state.counters["read_in_show"] = median(readInShow);
    state.counters["after_read"] = median(afterRead);
    state.counters["after_read_alone"] = median(onScreen) - median(reads);
    state.counters["longest_frame_gap"] = median(gaps) * 1000;
    state.counters["frame_gap_before"] = median(gapsBefore) * 1000;
    state.counters["file_MB"] = static_cast<double>(versions[1].size()) / 1e6;
}
BENCHMARK(BM_ReloadOnScreen)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

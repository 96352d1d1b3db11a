// Tracing a 1920×1080 30 fps video: three real 1920×1080 pictures from Debian's desktop artwork and
// a screenshot, each slowly zooming for a second, made into an H.264 video with ffmpeg before
// timing. The figure is the frames traced per second of wall-clock time, decoding included, with
// the tracing threads the program uses (one per core).
#include "import/trace_media.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

const std::filesystem::path& video() {
    static const std::filesystem::path location = [] {
        const auto file = std::filesystem::temp_directory_path() / ("drevik-trace-bench-" + std::to_string(::getpid()) + ".mp4");
        std::string inputs, chains, labels;
        const char* pictures[] = {"/usr/share/desktop-base/joy-theme/grub/grub-16x9.png",
                                  "/usr/share/desktop-base/softwaves-theme/grub/grub-16x9.png",
                                  "/usr/share/plasma/look-and-feel/org.debian.desktop/contents/previews/fullscreenpreview.jpg",
                                  "/usr/share/desktop-base/emerald-theme/grub/grub-16x9.png"};
        for (int k = 0; k < 4; ++k) {
            inputs += std::string(" -loop 1 -framerate 30 -t 1 -i ") + pictures[k];
            chains += "[" + std::to_string(k) + "]scale=1920:1080,zoompan=z='1+0.002*on':d=1:s=1920x1080:fps=30[p" +
                      std::to_string(k) + "];";
            labels += "[p" + std::to_string(k) + "]";
        }
        const std::string command = "ffmpeg -nostdin -loglevel error -y" + inputs + " -filter_complex \"" + chains +
                                    labels + "concat=n=4:v=1[v]\" -map \"[v]\" -c:v libx264 -preset veryfast -pix_fmt yuv420p -r 30 " +
                                    file.string();
        if (std::system(command.c_str()) != 0) {
            return std::filesystem::path{};
        }
        return file;
    }();
    return location;
}

void BM_TraceVideo1080p30(benchmark::State& state) {
    if (video().empty()) {
        state.SkipWithError("ffmpeg could not make the video");
        return;
    }
    std::size_t frames = 0;
    for (auto _ : state) {
        const drevik::TracedMedia media = drevik::traceMedia(video().string(), {});
        frames += media.frames.size();
        benchmark::DoNotOptimize(media.frames.data());
    }
    state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["frames"] = double(frames) / double(state.iterations());
}
BENCHMARK(BM_TraceVideo1080p30)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// One frame of the screenshot traced on one thread, decoding left out.
void BM_TracePicture1080pOneThread(benchmark::State& state) {
    drevik::PictureSource source("/usr/share/plasma/look-and-feel/org.debian.desktop/contents/previews/fullscreenpreview.jpg");
    const drevik::LuminanceFrame frame = *source.next();
    for (auto _ : state) {
        benchmark::DoNotOptimize(drevik::tracePicture(frame, {}).paths.data());
    }
}
BENCHMARK(BM_TracePicture1080pOneThread)->Unit(benchmark::kMillisecond);

struct RemoveVideo {
    ~RemoveVideo() {
        std::error_code ignored;
        if (!video().empty()) std::filesystem::remove(video(), ignored);
    }
} removeVideo;

} // namespace

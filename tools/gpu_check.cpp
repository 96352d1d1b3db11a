// drevik-gpu-check: what this machine's GPU makes of Drevik, in one command, with nothing to build
// or install. It prints the Vulkan device chosen, the set-up time, frame times at 1920×1080 and
// 3840×2160 with 4 samples, the speed of a 10-second 1920×1080 60 fps export against real time
// with the encoder used, and compares snapshots of the demo show with the software driver's
// pictures shipped beside it. Frames, export and snapshots all run the program's own paths on one
// device, so the figures are the program's. Exit status 1 when a picture differs or anything fails.
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "output/movie_encoder.hpp"
#include "output/movie.hpp"
#include "output/snapshot.hpp"
#include "render/gpu/gpu.hpp"
#include "render/offscreen_frames.hpp"
#include "render/scene_renderer.hpp"
#include "tools/picture_difference.hpp"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace drevik {
namespace {

using Path = std::filesystem::path;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t sampleRate = 48000;
constexpr std::int64_t analysisRate = 120;

const char usage[] =
    "Usage: drevik-gpu-check [--quick] [--pictures-only] [--demo FOLDER] [--references FOLDER]\n"
    "  --quick              small pictures and a 1-second export: a first look in seconds\n"
    "  --pictures-only      only compare the pictures, without timing anything\n"
    "  --demo FOLDER        Graphics.csv and Music.csv to draw (default: the bundled demo show)\n"
    "  --references FOLDER  cases.txt and the reference PNGs (default: the bundled ones)\n";

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Options {
    bool quick = false;
    bool picturesOnly = false;
    Path demo;
    Path references;
};

using pictures::compare;
using pictures::Difference;
using pictures::Image;
using pictures::readPng;

struct Moment {
    std::string name;
    double seconds = 0;
    Image reference;
};

// The moments of cases.txt ("name seconds" a line) with their reference pictures name.png.
std::vector<Moment> readReferences(const Path& folder) {
    const Path file = folder / "cases.txt";
    std::ifstream stream(file);
    if (!stream) throw Error("Could not read " + file.string());
    std::vector<Moment> moments;
    std::string line;
    while (std::getline(stream, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        Moment moment;
        if (!(words >> moment.name >> moment.seconds)) continue;
        moment.reference = readPng(folder / (moment.name + ".png"));
        if (moment.reference.rgba.empty()) throw Error("Could not read " + (folder / (moment.name + ".png")).string());
        moments.push_back(std::move(moment));
    }
    if (moments.empty()) throw Error(file.string() + " names no moment to compare");
    return moments;
}

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "drevik-gpu-check-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw Error("Could not create a temporary folder");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        if (!keep_) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const Path& path() const { return path_; }
    void keep() { keep_ = true; }

private:
    Path path_;
    bool keep_ = false;
};

// Frame times of the demo show at one size, through the program's own frame path (the frame
// rendered and read back in one command buffer): one warm-up frame (drivers may compile shaders at
// the first draw), then `moments` frames spread over the show, each submitted and collected.
void timeFrames(const std::shared_ptr<gpu::Device>& device, std::size_t samples, std::size_t width,
                std::size_t height, int moments, const GraphicsTimeline& graphics, const MusicTimeline& music) {
    OffscreenFrames frames(device, graphics, "Drevik check");
    if (frames.sampleCount() != samples || !frames.resize(width, height)) {
        throw Error("The device could not allocate a " + std::to_string(width) + "x" + std::to_string(height) +
                    " target");
    }
    std::vector<std::uint8_t> pixels(width * height * 4);
    auto frame = [&](double t) {
        const auto start = Clock::now();
        frames.render(t, music.features(t), pixels, width * 4);
        return millisecondsSince(start);
    };
    const double first = frame(0.5);
    std::vector<double> times;
    for (int i = 0; i < moments; ++i) times.push_back(frame((i + 0.5) / moments));
    std::sort(times.begin(), times.end());
    std::printf("Frame %zux%zu, %zu sample%s: median %.1f ms, slowest %.1f ms over %d moments of the demo "
                "(first frame %.1f ms)\n",
                width, height, samples, samples == 1 ? "" : "s", times[times.size() / 2], times.back(), moments,
                first);
    std::fflush(stdout);
}

// The encoder the movie writer opens for these settings: the hardware one when it opens.
std::string videoEncoderFor(const Path& folder, std::int64_t width, std::int64_t height, std::int64_t fps) {
    const Path probe = folder / "encoder-probe.mp4";
    std::string name;
    {
        MovieEncoder encoder(probe, {.width = width, .height = height, .framesPerSecond = fps, .sampleRate = sampleRate, .audioChannels = 1, .allowHardwareEncoder = true, .format = {}});
        name = encoder.videoEncoderName();
    }
    std::error_code ignored;
    std::filesystem::remove(probe, ignored);
    return name;
}

// The program's own movie export (the one --movie runs) of the demo's first `seconds` seconds.
void timeExport(const std::shared_ptr<gpu::Device>& device, const Path& folder, std::int64_t width,
                std::int64_t height, std::int64_t fps, double seconds, const GraphicsTimeline& graphics,
                const MusicTimeline& music) {
    const std::string encoder = videoEncoderFor(folder, width, height, fps);
    const auto start = Clock::now();
    MetalMovieRenderer::write(folder / "export.mp4", width, height, fps, seconds, graphics, music,
                              {[device] { return device; }, {}});
    const double wall = millisecondsSince(start) / 1000;
    std::printf("Export %.0f s at %lldx%lld, %lld fps (the whole demo in %.0f s): %.2f s, %.2fx real time, "
                "encoder %s (%s)\n",
                seconds, static_cast<long long>(width), static_cast<long long>(height), static_cast<long long>(fps),
                seconds, wall, seconds / wall, encoder.c_str(), encoder == "libx264" ? "software" : "hardware");
    std::fflush(stdout);
    std::error_code ignored;
    std::filesystem::remove(folder / "export.mp4", ignored);
}

// Snapshots of the reference moments, through the program's own snapshot path; true when all match.
bool comparePictures(const std::shared_ptr<gpu::Device>& device, const std::vector<Moment>& moments,
                     TemporaryFolder& folder, const GraphicsTimeline& graphics, const MusicTimeline& music) {
    int mismatches = 0;
    for (const Moment& moment : moments) {
        const Image& reference = moment.reference;
        const Path rendered = folder.path() / (moment.name + ".png");
        MetalSnapshot::write(rendered, reference.width, reference.height,
                             std::clamp(moment.seconds / graphics.durationSeconds, 0.0, 1.0), graphics, music,
                             [device] { return device; });
        const Image image = readPng(rendered);
        if (image.width != reference.width || image.height != reference.height ||
            image.rgba.size() != reference.rgba.size())
            throw Error("The snapshot " + rendered.string() + " is not the size of its reference");
        const Difference difference = compare(image, reference);
        std::printf("Picture %-16s at %5.1f s: mean difference %.3f, %.3f %% of samples off by more than 32: %s\n",
                    moment.name.c_str(), moment.seconds, difference.meanPerChannel, difference.largeShare * 100,
                    difference.matches() ? "match" : "MISMATCH");
        std::fflush(stdout);
        if (!difference.matches()) ++mismatches;
    }
    if (mismatches > 0) {
        folder.keep();
        std::printf("Result: %d of %zu pictures differ from the software driver's; this machine's pictures are "
                    "in %s\n",
                    mismatches, moments.size(), folder.path().c_str());
        return false;
    }
    std::printf("Result: all %zu pictures match the software driver's\n", moments.size());
    return true;
}

Path besideProgram(const Path& relative) {
    std::error_code error;
    const Path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return relative;
    return (executable.parent_path() / ".." / relative).lexically_normal();
}

int check(const Options& options) {
    const std::vector<Moment> moments = readReferences(options.references);
    const GraphicsTimeline graphics = GraphicsTimeline::fromCsvFile(options.demo / "Graphics.csv");
    const MusicTimeline music = MusicTimeline::fromCsvFile(options.demo / "Music.csv", sampleRate, analysisRate);
    TemporaryFolder folder;

    auto start = Clock::now();
    std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault();
    if (!device) throw SnapshotError::noMetalDevice();
    const double deviceMs = millisecondsSince(start);
    const std::size_t samples = device->supportsTextureSampleCount(4) ? 4 : 1;
    std::printf("Vulkan device: %s\n", device->name().c_str());
    std::fflush(stdout);
    start = Clock::now();
    { MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, samples); }
    const double rendererMs = millisecondsSince(start);
    std::printf("Set-up: %.0f ms (device %.0f ms, shaders and pipelines %.0f ms)\n", deviceMs + rendererMs, deviceMs,
                rendererMs);
    if (samples != 4) std::printf("The device has no 4-sample targets: frames are drawn with 1 sample\n");
    std::fflush(stdout);

    if (options.quick && !options.picturesOnly) {
        timeFrames(device, samples, 320, 180, 3, graphics, music);
        timeFrames(device, samples, 640, 360, 3, graphics, music);
        timeExport(device, folder.path(), 320, 180, 30, 1, graphics, music);
    } else if (!options.picturesOnly) {
        timeFrames(device, samples, 1920, 1080, 12, graphics, music);
        timeFrames(device, samples, 3840, 2160, 12, graphics, music);
        timeExport(device, folder.path(), 1920, 1080, 60, 10, graphics, music);
    }
    return comparePictures(device, moments, folder, graphics, music) ? 0 : 1;
}

} // namespace
} // namespace drevik

int main(int argc, char** argv) {
    using namespace drevik;
    Options options;
    options.demo = besideProgram("share/drevik/demo");
    options.references = besideProgram("share/drevik/gpu-check");
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            options.quick = true;
        } else if (argument == "--pictures-only") {
            options.picturesOnly = true;
        } else if ((argument == "--demo" || argument == "--references") && i + 1 < argc) {
            (argument == "--demo" ? options.demo : options.references) = std::filesystem::absolute(argv[++i]);
        } else if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "Drevik: drevik-gpu-check does not know the option %s\n%s", argument.c_str(), usage);
            return 1;
        }
    }
    try {
        return check(options);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "Drevik: %s\n", error.what());
        return 1;
    }
}

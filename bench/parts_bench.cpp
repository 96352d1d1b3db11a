// A movie rendered in parts, then joined:
// - BM_MoviePartsAgainstOneProcess: the demo squeezed into 20 s at 1280×720 and 30 fps, exported by
//   one drevik process, and as 4 parts run 1, 2 and 4 at a time (xargs -P) plus the join. Target:
//   4 parts 2 at a time + join ≤ 1.1 × one process (counter parts2_over_one).
// - BM_MovieJoin10Minutes1080p60: the join alone of a 10-minute 1920×1080 movie at 60 fps in 16
//   parts. The parts are made cheaply: one group of pictures (120 frames from the middle of the demo)
//   is rendered and encoded for real, then its packets are repeated into each part. Target ≤ 3 s.
//   Rendering that group also gives the cost per frame of a 1080p60 export here (counter
//   frame_1080p60_s), from which the 3-minute show on 16 machines is estimated (counter
//   estimate_3min_on_16_s: the largest part's frames × that cost + the join of 3 minutes).
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "output/movie_encoder.hpp"
#include "output/movie_gpu_frames.hpp"
#include "output/movie_parts.hpp"
#include "render/gpu/gpu.hpp"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/log.h>
}

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace drevik;
using namespace drevik::MetalMovieRenderer;
namespace fs = std::filesystem;

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs a shell command and returns its wall-clock time; a failure stops the benchmark.
double timed(benchmark::State& state, const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError(("failed: " + command).c_str());
    return seconds(std::chrono::steady_clock::now() - start);
}

fs::path benchFolder(const char* name) {
    const fs::path folder = fs::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    return folder;
}

void BM_MoviePartsAgainstOneProcess(benchmark::State& state) {
    const fs::path folder = benchFolder("drevik-parts-bench");
    const fs::path demo = DREVIK_DEMO_DIR;
    const std::string drevik = std::string(DREVIK_BINARY) + " --graphics '" + (demo / "Graphics.csv").string() +
                               "' --music '" + (demo / "Music.csv").string() +
                               "' --width 1280 --height 720 --fps 30 --duration 20 --movie '" +
                               (folder / "show.mp4").string() + "'";
    const auto parts = [&](int atOnce) {
        fs::remove(folder / "show.mp4");
        return timed(state, "seq 0 3 | xargs -P " + std::to_string(atOnce) + " -I{} " + drevik +
                                " --part {}/4 >/dev/null && " + drevik + " --join 4 >/dev/null");
    };
    // Warm-up: the disk cache of compiled shaders.
    timed(state, drevik + " --duration 0.1 >/dev/null");
    double one = 0, atOnce1 = 0, atOnce2 = 0, atOnce4 = 0, join = 0;
    for (auto _ : state) {
        fs::remove(folder / "show.mp4");
        one = timed(state, drevik + " >/dev/null");
        atOnce1 = parts(1);
        atOnce4 = parts(4);
        atOnce2 = parts(2);
        fs::remove(folder / "show.mp4");
        timed(state, "seq 0 3 | xargs -P 2 -I{} " + drevik + " --part {}/4 >/dev/null");
        join = timed(state, drevik + " --join 4 >/dev/null");
        state.SetIterationTime(atOnce2);
    }
    state.counters["one_process_s"] = one;
    state.counters["parts1_s"] = atOnce1;
    state.counters["parts2_s"] = atOnce2;
    state.counters["parts4_s"] = atOnce4;
    state.counters["join_s"] = join;
    state.counters["parts2_over_one"] = atOnce2 / one;
    fs::remove_all(folder);
}
BENCHMARK(BM_MoviePartsAgainstOneProcess)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

MusicTimeline toneMusic(double seconds) {
    MusicTimeline music;
    music.durationSeconds = seconds;
    music.sampleRate = 48000;
    music.samples.resize(static_cast<std::size_t>(std::llround(seconds * 48000)));
    for (std::size_t i = 0; i < music.samples.size(); ++i) {
        music.samples[i] = 0.3f * static_cast<float>(std::sin(static_cast<double>(i) * 0.05));
    }
    return music;
}

void BM_MovieJoin10Minutes1080p60(benchmark::State& state) {
    av_log_set_level(AV_LOG_ERROR); // as the program does: no encoder statistics
    const fs::path folder = benchFolder("drevik-join-bench");
    const fs::path demo = DREVIK_DEMO_DIR;
    const GraphicsTimeline graphics = GraphicsTimeline::fromCsvFile(demo / "Graphics.csv");
    const MusicTimeline demoMusic = MusicTimeline::fromCsvFile(demo / "Music.csv", 48000, 120);
    auto device = gpu::Device::systemDefault();
    if (!device) {
        state.SkipWithError("no GPU device");
        return;
    }
    MovieExportOptions quiet;
    quiet.progress = nullptr;

    // One group of 120 pictures from the middle of the demo at 1920×1080, 60 fps.
    const MoviePlan demoPlan = planMovie(1920, 1080, 60, demoMusic.durationSeconds, demoMusic.sampleRate);
    const std::int64_t groups = (demoPlan.frameCount + 119) / 120;
    const FrameRange middle = partFrames(demoPlan, groups / 2, groups);
    const fs::path group = folder / "group.mp4";
    GpuMovieFrames frames(device, demoPlan, graphics);
    const auto start = std::chrono::steady_clock::now();
    exportPart(group, demoPlan, middle, demoMusic, frames, [&](const std::string& settings) {
        PartFacts facts;
        facts.frames = {0, middle.count()};
        facts.framesPerSecond = 60;
        facts.encoderSettings = settings;
        return facts.toTag();
    }, quiet);
    const double perFrame = seconds(std::chrono::steady_clock::now() - start) / static_cast<double>(middle.count());

    std::vector<EncodedVideoPacket> packets;
    PartReader reader = PartReader::open(group);
    for (EncodedVideoPacket packet; reader.next(packet);) packets.push_back(packet);

    // The 16 parts of 10 minutes, each that group over and over.
    const MusicTimeline music = toneMusic(600);
    const MoviePlan plan = planMovie(1920, 1080, 60, 600, music.sampleRate);
    const std::int64_t parts = 16;
    const fs::path movie = folder / "show.mp4";
    PartFacts expected = expectedPartFacts(plan, 0, parts, "graphics", "music");
    std::uintmax_t bytes = 0;
    for (std::int64_t k = 0; k < parts; ++k) {
        PartFacts facts = expectedPartFacts(plan, k, parts, "graphics", "music");
        facts.encoderSettings = reader.facts().encoderSettings;
        MovieEncoderSettings settings{1920, 1080, 60, 48000, 1, true, {}};
        MovieContainerOptions container;
        container.audio = false;
        container.copiedVideo = reader.parameters();
        container.comment = [&](const std::string&) { return facts.toTag(); };
        const fs::path file = partLocation(movie, k, parts);
        {
            MovieEncoder encoder(file, settings, container);
            for (std::int64_t first = 0; first < facts.frames.count(); first += middle.count()) {
                for (EncodedVideoPacket packet : packets) {
                    packet.pts += first;
                    packet.dts += first;
                    encoder.appendVideoPacket(packet);
                }
            }
            encoder.finish();
        }
        bytes += fs::file_size(file);
    }

    // Part 0's soundtrack, which the join copies.
    writeSoundtrack(soundtrackLocation(movie), plan, music, expectedSoundtrackFacts(plan, parts, {}, "graphics", "music"),
                    {});

    JoinOptions keep;
    keep.keepParts = true;
    double join = 0;
    for (auto _ : state) {
        fs::remove(movie);
        const auto joinStart = std::chrono::steady_clock::now();
        joinParts(movie, plan, parts, music, expected, keep);
        join = seconds(std::chrono::steady_clock::now() - joinStart);
        state.SetIterationTime(join);
    }
    // The same parts joined by FFmpeg's concat demuxer, copying (video only: it has no soundtrack to add).
    {
        std::ofstream list(folder / "parts.txt");
        for (std::int64_t k = 0; k < parts; ++k) list << "file '" << partLocation(movie, k, parts).string() << "'\n";
    }
    const std::string concat = "ffmpeg -v error -y -f concat -safe 0 -i '" + (folder / "parts.txt").string() +
                               "' -c copy '" + (folder / "concat.mp4").string() + "'";
    const auto concatStart = std::chrono::steady_clock::now();
    if (std::system(concat.c_str()) != 0) state.SkipWithError("ffmpeg -f concat failed");
    const double concatSeconds = seconds(std::chrono::steady_clock::now() - concatStart);
    state.counters["ffmpeg_concat_s"] = concatSeconds;
    state.counters["join_over_concat"] = join / concatSeconds;
    // The soundtrack alone, encoded as part 0 encodes it.
    {
        MovieContainerOptions container;
        container.copiedVideo = reader.parameters();
        MovieEncoder encoder(folder / "sound.mp4", MovieEncoderSettings{1920, 1080, 60, 48000, 1, true, {}}, container);
        const auto soundStart = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < music.samples.size(); at += 65'536) {
            encoder.appendAudio(std::span(music.samples).subspan(at, std::min<std::size_t>(65'536, music.samples.size() - at)));
        }
        encoder.finish();
        state.counters["audio_encode_s"] = seconds(std::chrono::steady_clock::now() - soundStart);
    }
    // 3 minutes on 16 machines: 90 groups, at most 6 per machine.
    const MoviePlan threeMinutes = planMovie(1920, 1080, 60, 180, 48000);
    std::int64_t largest = 0;
    for (std::int64_t k = 0; k < 16; ++k) largest = std::max(largest, partFrames(threeMinutes, k, 16).count());
    state.counters["frame_1080p60_s"] = perFrame;
    state.counters["parts_GB"] = static_cast<double>(bytes) / 1e9;
    state.counters["largest_part_of_3min_on_16"] = static_cast<double>(largest);
    state.counters["estimate_3min_on_16_s"] = static_cast<double>(largest) * perFrame + join * 180.0 / 600.0;
    fs::remove_all(folder);
}
BENCHMARK(BM_MovieJoin10Minutes1080p60)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);

} // namespace

// Speed of reading a recording as the soundtrack.
//
//   A 3-minute stereo FLAC at 44.1 kHz (a real recording Debian ships, looped), read and analysed by
//   the soundtrack reader, against FFmpeg's own tool decoding it to mono 48 kHz floats to nowhere,
//   side by side in the same run; the decoding alone and the analysis alone show where time goes.
//   Show start: the built program up to its load summary (a snapshot run of a tiny picture) with the
//   FLAC and with a Music.csv of the same length.
#include "app/inputs.hpp"
#include "core/sound_analysis.hpp"
#include "sound/sound_file.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path& folder() {
    static const fs::path path = [] {
        fs::path made = fs::temp_directory_path() / ("drevik-sound-bench-" + std::to_string(::getpid()));
        fs::create_directories(made);
        return made;
    }();
    return path;
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// 30 loops of a 6.13 s recording: 183.8 s.
const fs::path& song() {
    static const fs::path path = [] {
        const fs::path file = folder() / "song.flac";
        shell("ffmpeg -nostdin -loglevel error -y -stream_loop 29 -i "
              "/usr/share/sounds/freedesktop/stereo/alarm-clock-elapsed.oga -af aresample=44100 -c:a flac '" +
              file.string() + "'");
        return file;
    }();
    return path;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time (user and system) of this process's threads, or of its finished children.
double processorSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec); };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double processorSecondsOf(int who, const std::function<void()>& work) {
    const double before = processorSeconds(who);
    work();
    return processorSeconds(who) - before;
}

// FFmpeg's tool and the reader in turn, so both see the same load.
void BM_SoundReadAgainstFfmpeg(benchmark::State& state) {
    const std::string command =
        "ffmpeg -nostdin -loglevel error -i '" + song().string() + "' -ac 1 -ar 48000 -f f32le - >/dev/null";
    double ffmpeg = 0.0, reader = 0.0, ffmpegCpu = 0.0, readerCpu = 0.0;
    const auto read = [] {
        drevik::MusicTimeline music = drevik::readMusic(song());
        benchmark::DoNotOptimize(music.analysis.data());
    };
    for (auto _ : state) {
        ffmpeg += secondsOf([&] { ffmpegCpu += processorSecondsOf(RUSAGE_CHILDREN, [&] { shell(command); }); });
        reader += secondsOf([&] { readerCpu += processorSecondsOf(RUSAGE_SELF, read); });
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["ffmpeg_s"] = ffmpeg / n;
    state.counters["read_s"] = reader / n;
    state.counters["read_over_ffmpeg"] = reader / ffmpeg;
    // Processor time, which other work on a shared machine disturbs far less than the clock.
    state.counters["read_over_ffmpeg_cpu"] = readerCpu / ffmpegCpu;
}
BENCHMARK(BM_SoundReadAgainstFfmpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_DecodeOnly(benchmark::State& state) {
    for (auto _ : state) {
        drevik::DecodedSound sound = drevik::decodeSoundFile(song(), 48000);
        benchmark::DoNotOptimize(sound.mono.data());
    }
}
BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_AnalyseOnly(benchmark::State& state) {
    const std::vector<float> mono = drevik::decodeSoundFile(song(), 48000).mono;
    for (auto _ : state) {
        drevik::SoundAnalyser analyser(48000, 120, drevik::SoundLoudness::fixed, 1.0f);
        std::vector<drevik::AudioFeatures> steps;
        analyser.push(mono, steps);
        benchmark::DoNotOptimize(steps.data());
    }
}
BENCHMARK(BM_AnalyseOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// A Music.csv of the song's length, and a one-line drawing that takes the soundtrack's length.
void writeShowFiles() {
    static bool written = false;
    if (written) return;
    written = true;
    const double seconds = drevik::readMusic(song()).durationSeconds;
    std::ofstream music(folder() / "Music.csv");
    music << "# duration_seconds=" << std::to_string(seconds) << "\ntime,lead,bass\n";
    for (int row = 0; row < 2000; ++row) {
        music << row / 2000.0 << "," << (row % 7) / 7.0 << "," << (row % 3) / 3.0 << "\n";
    }
    std::ofstream(folder() / "Graphics.csv") << "time,x1,y1,x2,y2\n0,0.1,0.1,0.9,0.9\n";
    std::ofstream(folder() / "GraphicsDeclared.csv")
        << "# duration_seconds=" << std::to_string(seconds) << "\ntime,x1,y1,x2,y2\n0,0.1,0.1,0.9,0.9\n";
}

// The process until its load summary and one tiny snapshot: what a show does before its first frame,
// with the Music.csv and with the recording in turn.
void BM_ShowStartSoundAgainstMusicCsv(benchmark::State& state) {
    writeShowFiles();
    const auto start = [](const std::string& graphics, const std::string& music) {
        const fs::path png = folder() / "start.png";
        shell(std::string(DREVIK_BINARY) + " --graphics '" + (folder() / graphics).string() + "' --music '" +
              (folder() / music).string() + "' --snapshot '" + png.string() + "' --width 16 --height 16 >/dev/null");
        fs::remove(png);
    };
    double csv = 0.0, sound = 0.0, csvCpu = 0.0, soundCpu = 0.0;
    for (auto _ : state) {
        csv += secondsOf([&] {
            csvCpu += processorSecondsOf(RUSAGE_CHILDREN, [&] { start("GraphicsDeclared.csv", "Music.csv"); });
        });
        sound += secondsOf([&] {
            soundCpu += processorSecondsOf(RUSAGE_CHILDREN, [&] { start("Graphics.csv", "song.flac"); });
        });
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["music_csv_s"] = csv / n;
    state.counters["sound_file_s"] = sound / n;
    state.counters["sound_later"] = (sound - csv) / n;
    state.counters["sound_later_cpu"] = (soundCpu - csvCpu) / n;
}
BENCHMARK(BM_ShowStartSoundAgainstMusicCsv)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

// Whole-process figures of the built program on generated shows: reading a large Graphics.csv,
// the scene report of the same file, and a 1920×1080 snapshot. Each iteration starts drevik
// afresh, so start-up, reading and writing all count. The processes keep their caches in the
// workspace (XDG_CACHE_HOME), not in the user's.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Path = std::filesystem::path;

struct Random {
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    double unit() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>((state >> 40) & 0xFFFFFF) / 16777216.0;
    }
};

// A folder of generated inputs, removed when the benchmarks end.
class Workspace {
public:
    Workspace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "drevik-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        folder_ = pattern;
        ::setenv("XDG_CACHE_HOME", (folder_ / "cache").c_str(), 1);
    }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const Path& folder() const { return folder_; }

private:
    Path folder_;
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

// frames × segments random segments over `seconds`, split into `scenes` declared scenes.
Path writeGraphics(const std::string& name, double seconds, int frames, int segments, int scenes) {
    const Path path = workspace().folder() / name;
    if (std::filesystem::exists(path)) {
        return path;
    }
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fprintf(file, "# duration_seconds=%g\n", seconds);
    if (scenes > 0) {
        std::fprintf(file, "# scene_boundaries_seconds=");
        for (int i = 0; i <= scenes; ++i) {
            std::fprintf(file, i == 0 ? "%.6f" : ",%.6f", seconds * i / scenes);
        }
        std::fprintf(file, "\n");
    }
    std::fprintf(file, "time,x1,y1,x2,y2\n");
    Random random;
    for (int f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / frames;
        for (int s = 0; s < segments; ++s) {
            std::fprintf(file, "%.6f,%.6f,%.6f,%.6f,%.6f\n", t, random.unit(), random.unit(), random.unit(),
                         random.unit());
        }
    }
    std::fclose(file);
    return path;
}

Path writeMusic(const std::string& name, double seconds) {
    const Path path = workspace().folder() / name;
    std::ofstream(path) << "# duration_seconds=" << seconds << "\ntime,lead,bass,drums\n"
                        << "0,0.9,0.3,0.7\n0.25,0.2,0.8,0.1\n0.5,1,0.5,0.9\n0.75,0.4,0.1,0.6\n";
    return path;
}

// Runs drevik (or another build of it) with the arguments; returns its exit status, with its standard
// error in `error`.
int runDrevik(const std::vector<std::string>& arguments, std::string& error,
              const std::string& binary = DREVIK_BINARY) {
    std::vector<std::string> words = {binary};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const Path errors = workspace().folder() / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = "cannot start " + words[0];
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::ifstream stream(errors);
    error.assign(std::istreambuf_iterator<char>(stream), {});
    while (!error.empty() && error.back() == '\n') {
        error.pop_back();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The report's show: 10,800 frames of 500 segments (5.4 million) in 300 declared scenes.
Path reportShow() { return writeGraphics("ReportShow.csv", 180, 10800, 500, 300); }

// Reading that Graphics.csv alone, as a process: the music file is missing, so drevik reads the
// drawing, then stops with one line.
void BM_ReadGraphicsProcess(benchmark::State& state) {
    const Path graphics = reportShow();
    const Path nowhere = workspace().folder() / "absent" / "Music.csv";
    std::string error;
    for (auto _ : state) {
        const int status = runDrevik({"--graphics", graphics.string(), "--music", nowhere.string()}, error);
        if (status != 1 || error.find("absent") == std::string::npos) {
            state.SkipWithError(("unexpected end of the reading process: " + error).c_str());
            break;
        }
    }
}
BENCHMARK(BM_ReadGraphicsProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The scene report of the same file, as a process.
void BM_DescribeScenesProcess(benchmark::State& state) {
    const Path graphics = reportShow();
    std::string error;
    for (auto _ : state) {
        if (runDrevik({"--describe-scenes", "--graphics", graphics.string()}, error) != 0) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
}
BENCHMARK(BM_DescribeScenesProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);


// Drevik's own cache entries (compiled modules, pipeline cache); the software driver's cache, in the
// same folder, stays.
void forgetDrevikCache() {
    const Path folder = workspace().folder() / "cache" / "drevik";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("spirv-", 0) == 0 || name.rfind("pipelines-", 0) == 0) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
}

// A 1920×1080 snapshot (the default size) of a 1000-segment drawing in the middle of a show of 60
// frames a second, so afterimages are drawn too: without Drevik's cache (as a first start) and with
// it warm. The software driver's shader cache is warm in both, so the difference is Drevik's cache.
void snapshotProcess(benchmark::State& state, bool warm) {
    const Path graphics = writeGraphics("SnapshotShow.csv", 10, 600, 1000, 0);
    const Path music = writeMusic("SnapshotMusic.csv", 10);
    const Path picture = workspace().folder() / "snapshot.png";
    const std::vector<std::string> arguments = {"--graphics", graphics.string(), "--music", music.string(),
                                                "--time", "0.5", "--snapshot", picture.string()};
    std::string error;
    std::filesystem::remove(picture);
    if (runDrevik(arguments, error) != 0) {   // warms both caches
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(picture);
        if (!warm) forgetDrevikCache();
        state.ResumeTiming();
        if (runDrevik(arguments, error) != 0) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
}

void BM_SnapshotProcess(benchmark::State& state) { snapshotProcess(state, false); }
BENCHMARK(BM_SnapshotProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_SnapshotProcessWarmCache(benchmark::State& state) { snapshotProcess(state, true); }
BENCHMARK(BM_SnapshotProcessWarmCache)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The demo show as a movie, as a process: `frames` pictures of width × height at `fps`, the whole show
// fitted into them by --duration. DREVIK_BASELINE_BINARY names an earlier build to run the same export
// with, for a before-and-after figure measured in one run.
void movieOfTheDemo(benchmark::State& state, const std::string& binary) {
    const auto width = std::to_string(state.range(0));
    const auto height = std::to_string(state.range(1));
    const auto fps = std::to_string(state.range(2));
    const auto duration = std::to_string(static_cast<double>(state.range(3)) / static_cast<double>(state.range(2)));
    const Path movie = workspace().folder() / "demo.mp4";
    std::string error;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(movie);
        state.ResumeTiming();
        if (runDrevik({"--graphics", DREVIK_DEMO_DIR "/Graphics.csv", "--music", DREVIK_DEMO_DIR "/Music.csv",
                       "--movie", movie.string(), "--width", width, "--height", height, "--fps", fps, "--duration",
                       duration},
                      error, binary) != 0) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.range(3) * state.iterations()),
                                               benchmark::Counter::kIsRate);
}

void BM_MovieDemoProcess(benchmark::State& state) { movieOfTheDemo(state, DREVIK_BINARY); }

void BM_MovieDemoProcessBaseline(benchmark::State& state) {
    const char* baseline = std::getenv("DREVIK_BASELINE_BINARY");
    if (baseline == nullptr) {
        state.SkipWithError("set DREVIK_BASELINE_BINARY to an earlier build of drevik to compare with");
        for (auto _ : state) {
        }
        return;
    }
    movieOfTheDemo(state, baseline);
}

// 360 frames at 320×180 and 30 fps, 120 at 1280×720 and 30 fps, and 60 at 1920×1080 and 60 fps.
#define DREVIK_MOVIE_SIZES ->Args({320, 180, 30, 360})->Args({1280, 720, 30, 120})->Args({1920, 1080, 60, 60})
BENCHMARK(BM_MovieDemoProcessBaseline) DREVIK_MOVIE_SIZES->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_MovieDemoProcess) DREVIK_MOVIE_SIZES->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
#undef DREVIK_MOVIE_SIZES

} // namespace

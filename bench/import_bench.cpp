// Drawings from SVG files, as processes: drevik-import converting an SVG of 10,000 paths, and how
// much later `drevik --graphics logo.svg` is ready than with the Graphics.csv the converter writes
// for the same logo (both through the scene report, which reads the drawing and needs no GPU).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Path = std::filesystem::path;

// A folder of generated inputs, removed when the benchmarks end.
struct Workspace {
    Path folder;
    Workspace() {
        std::string pattern = (std::filesystem::temp_directory_path() / "drevik-import-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::exit(1);
        folder = pattern;
    }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

const Path& workspace() {
    static const Workspace instance;
    return instance.folder;
}

std::string quoted(const Path& path) { return "'" + path.string() + "'"; }

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// 10,000 closed paths of lines and curves in groups of 100 with their own transform and style.
Path tenThousandPaths() {
    const Path svg = workspace() / "paths10k.svg";
    if (std::filesystem::exists(svg)) return svg;
    std::ofstream out(svg);
    out << R"(<svg xmlns="http://www.w3.org/2000/svg" width="1600" height="900" viewBox="0 0 1600 900">)" << '\n';
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    auto unit = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>((state >> 40) & 0xFFFFFF) / 16777216.0;
    };
    char buffer[256];
    for (int group = 0; group < 100; ++group) {
        std::snprintf(buffer, sizeof buffer, "<g transform=\"translate(%.1f %.1f) rotate(%.1f)\" style=\"fill:#333;stroke:#000\">",
                      unit() * 1400 + 100, unit() * 700 + 100, unit() * 360);
        out << buffer << '\n';
        for (int i = 0; i < 100; ++i) {
            const double x = unit() * 200 - 100, y = unit() * 200 - 100, r = 3 + unit() * 12;
            std::snprintf(buffer, sizeof buffer, "<path d=\"M%.2f %.2f c%.2f %.2f %.2f %.2f %.2f 0 l%.2f %.2f q%.2f %.2f %.2f 0 z\"/>", x,
                          y, r, -r, 2 * r, -r, 2 * r, -r, r, -r, r, -2 * r);
            out << buffer << '\n';
        }
        out << "</g>\n";
    }
    out << "</svg>\n";
    return svg;
}

double seconds(const std::chrono::steady_clock::time_point& since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// drevik-import svg of the 10,000 paths, the whole process, the file written each time afresh.
void BM_ImportSvg10kPathsProcess(benchmark::State& state) {
    const Path svg = tenThousandPaths();
    const Path csv = workspace() / "paths10k.csv";
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(csv);
        state.ResumeTiming();
        if (!run(quoted(DREVIK_IMPORT_BINARY) + " svg " + quoted(svg) + " -o " + quoted(csv))) {
            state.SkipWithError("drevik-import failed");
            break;
        }
    }
    std::error_code ignored;
    state.counters["segments_bytes"] = static_cast<double>(std::filesystem::file_size(csv, ignored));
}
BENCHMARK(BM_ImportSvg10kPathsProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// drevik --graphics logo.svg against the converter's Graphics.csv of it, alternately, five times
// each; the counter is how much later the SVG's report is done (medians).
void startAgainstCsv(benchmark::State& state, const Path& logo, const std::string& name) {
    if (!std::filesystem::exists(logo)) {
        state.SkipWithError(("no " + logo.string()).c_str());
        return;
    }
    const Path csv = workspace() / (name + ".csv");
    std::filesystem::remove(csv);
    if (!run(quoted(DREVIK_IMPORT_BINARY) + " svg " + quoted(logo) + " -o " + quoted(csv))) {
        state.SkipWithError("drevik-import failed");
        return;
    }
    std::vector<double> fromSvg, fromCsv;
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        const bool svgOk = run(quoted(DREVIK_BINARY) + " --describe-scenes --graphics " + quoted(logo));
        fromSvg.push_back(seconds(started));
        started = std::chrono::steady_clock::now();
        const bool csvOk = run(quoted(DREVIK_BINARY) + " --describe-scenes --graphics " + quoted(csv));
        fromCsv.push_back(seconds(started));
        if (!svgOk || !csvOk) {
            state.SkipWithError("drevik failed");
            return;
        }
    }
    std::sort(fromSvg.begin(), fromSvg.end());
    std::sort(fromCsv.begin(), fromCsv.end());
    state.counters["svg_ms"] = fromSvg[fromSvg.size() / 2] * 1e3;
    state.counters["csv_ms"] = fromCsv[fromCsv.size() / 2] * 1e3;
    state.counters["svg_later_ms"] = (fromSvg[fromSvg.size() / 2] - fromCsv[fromCsv.size() / 2]) * 1e3;
}

// A logo from a drawing program (Tango's web browser icon: gradients, transforms, 32 shapes).
void BM_StartFromSvgAgainstCsv(benchmark::State& state) {
    startAgainstCsv(state, "/usr/share/icons/Tango/scalable/apps/internet-web-browser.svg", "logo");
}
BENCHMARK(BM_StartFromSvgAgainstCsv)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The same with the 10,000 paths as the logo.
void BM_StartFromSvgAgainstCsv10kPaths(benchmark::State& state) { startAgainstCsv(state, tenThousandPaths(), "paths10k-start"); }
BENCHMARK(BM_StartFromSvgAgainstCsv10kPaths)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

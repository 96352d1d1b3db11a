#include "app/configuration.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <new>
#include <system_error>

#ifndef DREVIK_INSTALL_BIN_NAME
#define DREVIK_INSTALL_BIN_NAME "bin"
#endif
#ifndef DREVIK_INSTALL_DEMO_FROM_BIN
#define DREVIK_INSTALL_DEMO_FROM_BIN "../share/drevik/demo"
#endif

namespace drevik {

namespace {

constexpr std::string_view usage =
    "VELMORA \xE2\x80\x94 native Metal vesperine renderer\n"
    "\n"
    "  ./run.sh [options]\n"
    "\n"
    "  --graphics PATH   Graphics.csv input (alias: --data)\n"
    "  --music PATH      Music.csv input\n"
    "  --time 0...1      initial normalized time\n"
    "  --paused          open on a frozen frame\n"
    "  --fullscreen      enter fullscreen after launch (packaged-app default)\n"
    "  --windowed        keep the packaged app in a window\n"
    "  --snapshot PATH   render one PNG and exit\n"
    "  --movie PATH      render an H.264/AAC MP4 and exit\n"
    "  --width N         PNG/MP4 width (default 1920)\n"
    "  --height N        PNG/MP4 height (default 1080)\n"
    "  --fps N           movie frame rate (default 60)\n"
    "  --duration N      movie-only duration override for quick previews\n"
    "  --describe-scenes print geometry-derived volume/camera choices and exit\n"
    "\n"
    "Runtime keys: ESC exit \xC2\xB7 Space play/pause \xC2\xB7 R rewind \xC2\xB7 F fullscreen \xC2\xB7 "
    "\xE2\x86\x90/\xE2\x86\x92 seek 5s";

// Looks options up in the argument list by exact, whole-argument comparison.
class Arguments {
public:
    explicit Arguments(const std::vector<std::string>& arguments) : arguments_(arguments) {}

    bool flag(std::string_view name) const {
        return std::find(arguments_.begin(), arguments_.end(), name) != arguments_.end();
    }

    // The argument right after the last occurrence of name, taken as it is.
    std::optional<std::string> value(std::string_view name) const {
        for (std::size_t i = arguments_.size(); i-- > 0;) {
            if (arguments_[i] == name) {
                if (i + 1 < arguments_.size()) return arguments_[i + 1];
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

private:
    const std::vector<std::string>& arguments_;
};

// A C locale of our own, so that the process locale never changes how numbers read.
class CLocale {
public:
    CLocale() : locale_(newlocale(LC_ALL_MASK, "C", locale_t{})) {
        if (locale_ == locale_t{}) throw std::bad_alloc();
    }
    ~CLocale() { freelocale(locale_); }
    CLocale(const CLocale&) = delete;
    CLocale& operator=(const CLocale&) = delete;
    locale_t get() const { return locale_; }

private:
    locale_t locale_;
};

double timeArgument(const std::optional<std::string>& value) {
    double t = realArgument(value.value_or("0")).value_or(0.0);
    if (std::isnan(t) || t < 0) return 0;
    if (t > 1) return 1;
    return t;
}

// Most parts a movie can be split into.
constexpr std::int64_t maximumMovieParts = 100'000;

// "K/N" with 0 ≤ K < N ≤ maximumMovieParts. A whole export split wrongly would cost hours, so a bad
// value is refused rather than ignored.
MoviePart partArgument(const std::optional<std::string>& value) {
    const std::string text = value.value_or("");
    const std::size_t slash = text.find('/');
    std::optional<std::int64_t> index, count;
    if (slash != std::string::npos) {
        index = integerArgument(std::string_view(text).substr(0, slash));
        count = integerArgument(std::string_view(text).substr(slash + 1));
    }
    if (!index || !count || *count < 1 || *count > maximumMovieParts || *index < 0 || *index >= *count) {
        throw ConfigurationError("--part needs K/N, part K of N with 0 \u2264 K < N \u2264 " +
                                 std::to_string(maximumMovieParts) + ", got '" + text + "'.");
    }
    return {*index, *count};
}

std::int64_t joinArgument(const std::optional<std::string>& value) {
    const std::optional<std::int64_t> count = integerArgument(value.value_or(""));
    if (!count || *count < 1 || *count > maximumMovieParts) {
        throw ConfigurationError("--join needs the number of parts, 1 to " + std::to_string(maximumMovieParts) +
                                 ", got '" + value.value_or("") + "'.");
    }
    return *count;
}

std::int64_t sizeArgument(const std::optional<std::string>& value, std::int64_t fallback, std::int64_t minimum) {
    std::int64_t n = value ? integerArgument(*value).value_or(fallback) : fallback;
    return std::max(minimum, n);
}

// --listen and --list-inputs. A live input has nothing to offer a picture, a movie or a report of
// the soundtrack, so those are refused with it.
void readListening(const Arguments& options, Configuration& configuration) {
    configuration.listInputs = options.flag("--list-inputs");
    if (!options.flag("--listen")) return;
    configuration.listen = options.value("--listen").value_or("default");
    const char* refused = configuration.snapshotURL   ? "--snapshot"
                          : configuration.movieURL      ? "--movie"
                          : configuration.describeMusic ? "--describe-music"
                                                        : nullptr;
    if (refused != nullptr) {
        throw ConfigurationError(std::string("--listen shows the live sound in the window; it does not go with ") +
                                 refused + ".");
    }
}

} // namespace

ConfigurationError::ConfigurationError()
    : Error("Choose either --snapshot or --movie, and use a positive --duration.") {}

ConfigurationError::ConfigurationError(const std::string& message) : Error(message) {}

std::string_view usageText() { return usage; }

std::optional<std::int64_t> integerArgument(std::string_view text) {
    std::size_t digits = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) digits = 1;
    if (digits == text.size()) return std::nullopt;
    for (std::size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    }
    // from_chars takes a leading "-" itself but no "+".
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    const char* last = text.data() + text.size();
    std::int64_t result = 0;
    auto [end, error] = std::from_chars(first, last, result);
    if (error != std::errc() || end != last) return std::nullopt;
    return result;
}

std::optional<double> realArgument(const std::string& text) {
    if (text.empty()) return std::nullopt;
    switch (text[0]) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
        return std::nullopt;
    default:
        break;
    }
    CLocale c;
    char* end = nullptr;
    double result = strtod_l(text.c_str(), &end, c.get());
    // An embedded NUL also leaves characters over.
    if (end != text.c_str() + text.size()) return std::nullopt;
    return result;
}

std::filesystem::path resolveLocation(const std::filesystem::path& base, const std::filesystem::path& path) {
    std::filesystem::path joined = path.is_absolute() ? path : base / path;
    std::vector<std::filesystem::path> kept;
    for (const auto& part : joined.relative_path()) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(part);
    }
    std::filesystem::path result = joined.root_path();
    for (const auto& part : kept) result /= part;
    return result;
}

std::filesystem::path installedDemoDirectory(const std::filesystem::path& executable) {
    const std::filesystem::path folder = executable.parent_path();
    if (folder.filename() != DREVIK_INSTALL_BIN_NAME) return {};
    const std::filesystem::path demo = resolveLocation("/", folder / DREVIK_INSTALL_DEMO_FROM_BIN);
    std::error_code error;
    if (!std::filesystem::is_regular_file(demo / "Graphics.csv", error) ||
        !std::filesystem::is_regular_file(demo / "Music.csv", error))
        return {};
    return demo;
}

std::filesystem::path defaultInputLocation(const std::string& fileName, const LaunchEnvironment& environment) {
    if (environment.packaged && !environment.resourceDirectory.empty()) {
        std::filesystem::path bundled = environment.resourceDirectory / fileName;
        std::error_code error;
        if (std::filesystem::is_regular_file(bundled, error)) return bundled;
    }
    return resolveLocation(environment.workingDirectory, fileName);
}

LaunchEnvironment LaunchEnvironment::current() {
    std::error_code error;
    std::filesystem::path directory = std::filesystem::current_path(error);
    if (error) throw Error("The working directory cannot be read: " + error.message());
    LaunchEnvironment environment;
    environment.workingDirectory = resolveLocation("/", directory);
    // An installed program (one that runs from its prefix's bin folder and finds the demo show in
    // that prefix's data folder) counts as packaged: the demo is its default input and it opens
    // full screen. Started from a build folder or anywhere else it behaves as run from a shell.
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path demo = installedDemoDirectory(executable);
        if (!demo.empty()) {
            environment.packaged = true;
            environment.resourceDirectory = demo;
        }
    }
    return environment;
}

Configuration Configuration::fromArguments(const std::vector<std::string>& arguments) {
    return fromArguments(arguments, LaunchEnvironment::current());
}

Configuration Configuration::fromArguments(const std::vector<std::string>& arguments,
                                           const LaunchEnvironment& environment) {
    const Arguments options(arguments);
    auto location = [&](std::string_view name) -> std::optional<std::filesystem::path> {
        if (auto value = options.value(name)) return resolveLocation(environment.workingDirectory, *value);
        return std::nullopt;
    };

    Configuration configuration;
    if (auto graphics = location("--graphics")) {
        configuration.graphicsURL = *graphics;
    } else if (auto data = location("--data")) {
        configuration.graphicsURL = *data;
    } else {
        configuration.graphicsURL = defaultInputLocation("Graphics.csv", environment);
    }
    if (auto music = location("--music")) {
        configuration.musicURL = *music;
    } else {
        configuration.musicURL = defaultInputLocation("Music.csv", environment);
    }
    configuration.normalizedTime = timeArgument(options.value("--time"));
    configuration.autoplay = !options.flag("--paused");
    configuration.fullscreen = options.flag("--fullscreen") || (environment.packaged && !options.flag("--windowed"));
    configuration.snapshotURL = location("--snapshot");
    configuration.movieURL = location("--movie");
    configuration.outputWidth = sizeArgument(options.value("--width"), 1920, 16);
    configuration.outputHeight = sizeArgument(options.value("--height"), 1080, 16);
    if (auto duration = options.value("--duration")) configuration.movieDuration = realArgument(*duration);
    configuration.framesPerSecond = sizeArgument(options.value("--fps"), 60, 1);
    configuration.describeScenes = options.flag("--describe-scenes");
    configuration.describeMusic = options.flag("--describe-music");
    if (auto display = options.value("--display")) configuration.display = integerArgument(*display);
    configuration.reload = !options.flag("--no-reload");
    configuration.outputFormat.codec = options.value("--codec");
    configuration.outputFormat.quality = options.value("--quality");
    configuration.outputFormat.preset = options.value("--preset");
    configuration.outputFormat.transparent = options.flag("--transparent");
    if (auto movie = options.value("--movie")) {
        configuration.outputFormat.frameSequence = !movie->empty() && movie->back() == '/';
    }

    if (configuration.snapshotURL && configuration.movieURL) throw ConfigurationError();
    if (configuration.movieDuration && !(*configuration.movieDuration > 0)) throw ConfigurationError();
    if (options.flag("--part")) configuration.moviePart = partArgument(options.value("--part"));
    if (options.flag("--join")) configuration.joinParts = joinArgument(options.value("--join"));
    configuration.keepParts = options.flag("--keep-parts");
    if ((configuration.moviePart || configuration.joinParts) && !configuration.movieURL) {
        throw ConfigurationError(std::string(configuration.moviePart ? "--part" : "--join") +
                                 " goes with --movie PATH, the movie the parts make up.");
    }
    if (configuration.moviePart && configuration.joinParts) {
        throw ConfigurationError("Choose either --part or --join: parts are rendered first, then joined.");
    }
    readListening(options, configuration);
    return configuration;
}

} // namespace drevik

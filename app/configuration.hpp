#pragma once
// The command line: what the user asked for, read once at start-up and only read afterwards.
#include "platform/error.hpp"
#include "output/output_format.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drevik {

// Both output options at once, or a --duration that is not positive.
class ConfigurationError : public Error {
public:
    ConfigurationError();
    // Another refused request, with its own message.
    explicit ConfigurationError(const std::string& message);
};

// Part `index` of `count` of a movie rendered in parts (--part K/N).
struct MoviePart {
    std::int64_t index = 0;
    std::int64_t count = 1;
    friend bool operator==(const MoviePart&, const MoviePart&) = default;
};

// Facts about how the program was started, read from the platform once per start.
struct LaunchEnvironment {
    // Base of every relative path; absolute and normalised.
    std::filesystem::path workingDirectory;
    // A packaged program opens full screen and prefers the input files it carries.
    bool packaged = false;
    // Where a packaged program keeps its bundled Graphics.csv and Music.csv; empty when it has none.
    std::filesystem::path resourceDirectory;

    // The facts of this process. A program run from a shell or a build folder is not packaged.
    // Throws Error when the working directory cannot be read.
    static LaunchEnvironment current();
};

struct Configuration {
    std::filesystem::path graphicsURL;
    std::filesystem::path musicURL;
    double normalizedTime = 0;
    bool autoplay = true;
    bool fullscreen = false;
    std::optional<std::filesystem::path> snapshotURL;
    std::optional<std::filesystem::path> movieURL;
    std::int64_t outputWidth = 1920;
    std::int64_t outputHeight = 1080;
    std::optional<double> movieDuration;
    std::int64_t framesPerSecond = 60;
    bool describeScenes = false;
    // Print the soundtrack's analysis, step by step, and exit (--describe-music); reads only the music.
    bool describeMusic = false;
    // The display the show opens on (--display N, 0 the first); the system's choice when absent.
    std::optional<std::int64_t> display;
    // Whether the show reads Graphics.csv and Music.csv again when they are saved (off with --no-reload).
    bool reload = true;
    // With --movie: render only this part of the movie (--part K/N), or join the N parts (--join N)
    // and keep the part files afterwards (--keep-parts).
    std::optional<MoviePart> moviePart;
    std::optional<std::int64_t> joinParts;
    bool keepParts = false;
    // --codec, --quality, --preset, --transparent and a --movie folder (a path ending in "/"), as
    // given; decided against the output path by chooseMovieFormat or chooseSnapshotFormat.
    OutputFormatRequest outputFormat;
    // --listen DEVICE: the show takes its sound live from this input ("default" for the system's
    // default input; also when no name follows) and reads no soundtrack. --list-inputs prints the
    // inputs and ends.
    std::optional<std::string> listen;
    bool listInputs = false;

    // Builds the configuration from the arguments (without the program path). Unknown arguments,
    // missing values and bad numbers fall back to defaults; throws ConfigurationError for the two
    // refused combinations, for a --part or --join that is malformed, out of range, given without
    // --movie or given together, and for --listen with an output or a music report.
    static Configuration fromArguments(const std::vector<std::string>& arguments,
                                       const LaunchEnvironment& environment);
    static Configuration fromArguments(const std::vector<std::string>& arguments);

    friend bool operator==(const Configuration&, const Configuration&) = default;
};

// The text printed for --help and -h, without a final line feed.
std::string_view usageText();

// An integer argument: optional single sign, one or more ASCII digits, nothing else, within 64 bits.
std::optional<std::int64_t> integerArgument(std::string_view text);
// A real argument: the whole text read by strtod in the C locale, whatever the process locale;
// no leading white space and nothing left over.
std::optional<double> realArgument(const std::string& text);

// The absolute, lexically normalised location of a path given relative to base (an absolute
// directory): "." components go, each ".." removes the component before it, a trailing
// separator goes. No symbolic link is resolved and nothing is checked on disk.
std::filesystem::path resolveLocation(const std::filesystem::path& base, const std::filesystem::path& path);

// Where an input goes when no option names it: the packaged program's own copy when it carries
// one (used as found), otherwise fileName in the working directory.
// The demo folder of an installed program at `executable`, or an empty path when the program
// does not run from an installed prefix that holds the demo show.
std::filesystem::path installedDemoDirectory(const std::filesystem::path& executable);
std::filesystem::path defaultInputLocation(const std::string& fileName, const LaunchEnvironment& environment);

} // namespace drevik

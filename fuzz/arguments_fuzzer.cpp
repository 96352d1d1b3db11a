// Feeds arbitrary argument lists to the command-line parser: the input is split into arguments at
// NUL bytes. The parser may only refuse with ConfigurationError, and what it accepts must respect
// the documented ranges.
#include "app/configuration.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void require(bool condition, const char* promise) {
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", promise);
        std::abort();
    }
}

bool normalizedLocation(const std::filesystem::path& path) {
    if (!path.is_absolute()) {
        return false;
    }
    for (const auto& part : path.relative_path()) {
        if (part == "." || part == "..") {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        const std::size_t nul = bytes.find('\0', start);
        const std::size_t end = nul == std::string_view::npos ? bytes.size() : nul;
        arguments.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }

    drevik::LaunchEnvironment environment;
    environment.workingDirectory = "/w/run";
    try {
        const auto configuration = drevik::Configuration::fromArguments(arguments, environment);
        require(normalizedLocation(configuration.graphicsURL), "graphics location is absolute and normalised");
        require(normalizedLocation(configuration.musicURL), "music location is absolute and normalised");
        require(!configuration.snapshotURL || normalizedLocation(*configuration.snapshotURL), "snapshot location");
        require(!configuration.movieURL || normalizedLocation(*configuration.movieURL), "movie location");
        require(!(configuration.snapshotURL && configuration.movieURL), "one output at most");
        require(configuration.normalizedTime >= 0.0 && configuration.normalizedTime <= 1.0, "time in 0...1");
        require(configuration.outputWidth >= 16 && configuration.outputHeight >= 16, "sizes at least 16");
        require(configuration.framesPerSecond >= 1, "at least one frame per second");
        require(!configuration.movieDuration || *configuration.movieDuration > 0, "positive duration");
    } catch (const drevik::ConfigurationError&) {
    }
    return 0;
}

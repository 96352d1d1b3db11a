#include "app/output_limits.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace drevik {
namespace {

// Seconds as the shortest text that reads back the same, without an exponent below 1e16.
std::string secondsText(double seconds) {
    char buffer[64];
    const auto format = std::fabs(seconds) < 1e16 ? std::chars_format::fixed : std::chars_format::general;
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds, format);
    return std::string(buffer, result.ec == std::errc() ? result.ptr : buffer);
}

} // namespace

void checkOutputLimits(const Configuration& configuration, double showSeconds) {
    const bool movie = configuration.movieURL.has_value();
    if (!movie && !configuration.snapshotURL) {
        return;
    }
    const std::string what = movie ? "movie" : "snapshot";
    const auto dimension = [&](const char* option, std::int64_t value) {
        if (value > OutputLimits::maximumDimension) {
            throw OutputLimitError(std::string(option) + " " + std::to_string(value) + " is more than the " +
                                   std::to_string(OutputLimits::maximumDimension) + " pixels a " + what +
                                   " can have.");
        }
    };
    dimension("--width", configuration.outputWidth);
    dimension("--height", configuration.outputHeight);
    if (!movie) {
        return;
    }
    if (configuration.framesPerSecond > OutputLimits::maximumFramesPerSecond) {
        throw OutputLimitError("--fps " + std::to_string(configuration.framesPerSecond) + " is more than the " +
                               std::to_string(OutputLimits::maximumFramesPerSecond) +
                               " frames per second a movie can have.");
    }
    const double seconds = configuration.movieDuration.value_or(showSeconds);
    if (!(seconds <= OutputLimits::maximumMovieSeconds)) {
        throw OutputLimitError("A movie of " + secondsText(seconds) + " seconds is longer than the " +
                               std::to_string(static_cast<std::int64_t>(OutputLimits::maximumMovieSeconds)) +
                               " seconds (one day) Drevik exports.");
    }
}

} // namespace drevik

#include "app/inputs.hpp"

#include <charconv>
#include <cmath>

namespace drevik {

namespace {

// Largest difference in seconds between the two declared durations that is not yet a mismatch (exclusive).
constexpr double durationTolerance = 0.000001;

} // namespace

LaunchError::LaunchError(double graphicsSeconds, double musicSeconds)
    : Error("Graphics.csv is " + durationText(graphicsSeconds) + "s but Music.csv is " + durationText(musicSeconds) +
            "s; they must match."),
      graphics_(graphicsSeconds), music_(musicSeconds) {}

std::string durationText(double seconds) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find_first_of(".e") == std::string::npos && text.find("inf") == std::string::npos &&
        text.find("nan") == std::string::npos) {
        text += ".0";
    }
    return text;
}

void checkDurations(double graphicsSeconds, double musicSeconds) {
    // Written so that a NaN difference counts as a mismatch.
    if (!(std::fabs(graphicsSeconds - musicSeconds) < durationTolerance)) {
        throw LaunchError(graphicsSeconds, musicSeconds);
    }
}

MusicTimeline readMusic(const std::filesystem::path& location) {
    return MusicTimeline::fromCsvFile(location, musicSampleRate, musicAnalysisRate);
}

} // namespace drevik

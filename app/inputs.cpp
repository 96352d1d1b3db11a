#include "app/inputs.hpp"

#include "sound/sound_file.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

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

void fitToSoundtrack(GraphicsTimeline& graphics, const MusicTimeline& music) {
    if (music.soundName.empty()) {
        checkDurations(graphics.durationSeconds, music.durationSeconds);
        return;
    }
    const double sound = music.durationSeconds;
    if (graphics.durationDeclared) {
        if (!(std::fabs(graphics.durationSeconds - sound) < durationTolerance)) {
            char declaration[64];
            std::snprintf(declaration, sizeof declaration, "%.6f", sound);
            throw SoundDurationError("Graphics.csv is " + durationText(graphics.durationSeconds) + "s but " +
                                     music.soundName + " is " + durationText(std::round(sound * 100.0) / 100.0) +
                                     "s; declare # duration_seconds=" + declaration +
                                     " in Graphics.csv to play it with this sound.");
        }
    } else {
        // The boundaries were declared in seconds and placed on the stand-in duration.
        for (double& boundary : graphics.sceneBoundaries) {
            const double seconds = boundary * graphics.durationSeconds;
            if (seconds > sound) {
                throw SoundDurationError("Graphics.csv declares a scene boundary at " + durationText(seconds) +
                                         "s, after the end of " + music.soundName + " at " +
                                         durationText(std::round(sound * 100.0) / 100.0) + "s.");
            }
            boundary = seconds / sound;
        }
    }
    graphics.durationSeconds = sound;
}

MusicTimeline readMusic(const std::filesystem::path& location) {
    return readSoundtrack(location, musicSampleRate, musicAnalysisRate);
}

} // namespace drevik

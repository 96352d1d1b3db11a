#pragma once
// The two input files as every mode reads them: the drawing, the soundtrack at the program's sample and
// analysis rates, and the check that both describe the same length of show. The launch driver reads them
// once at start-up; the show reads them again when they are saved.
#include "platform/error.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace drevik {

inline constexpr std::int64_t musicSampleRate = 48000;  // samples per second of the soundtrack
inline constexpr std::int64_t musicAnalysisRate = 120;  // audio feature steps per second

// The two inputs declare different lengths of show.
class LaunchError : public Error {
public:
    LaunchError(double graphicsSeconds, double musicSeconds);
    double graphics() const { return graphics_; }
    double music() const { return music_; }

private:
    double graphics_;
    double music_;
};

// The shortest decimal text that reads back as the same double, with ".0" for whole numbers.
std::string durationText(double seconds);

// Throws LaunchError unless the two declared durations differ by less than a microsecond.
void checkDurations(double graphicsSeconds, double musicSeconds);

// A drawing whose length does not fit the recording it plays with.
class SoundDurationError : public Error {
public:
    using Error::Error;
};

// The drawing as it plays with this soundtrack. With a Music.csv both must declare the same
// duration (checkDurations). A recording sets the length of the show: a drawing that declares no
// duration takes the recording's, its scene boundaries (declared in seconds) placed again and
// checked against it; a drawing that declares another duration is refused with SoundDurationError.
void fitToSoundtrack(GraphicsTimeline& graphics, const MusicTimeline& music);

// The soundtrack at the program's rates: a Music.csv (its contract errors as ever) or a sound file.
MusicTimeline readMusic(const std::filesystem::path& location);

} // namespace drevik

// Reading a soundtrack's length (see soundtrack_length.hpp).
#include "import/soundtrack_length.hpp"

#include "core/music_timeline.hpp"

namespace drevik {

double soundtrackSeconds(const std::filesystem::path& location) {
    // The rates drevik plays at, so that what drevik refuses is refused here too.
    return MusicTimeline::fromCsvFile(location, 48000, 120).durationSeconds;
}

} // namespace drevik

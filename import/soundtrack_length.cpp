// Reading a soundtrack's length (see soundtrack_length.hpp).
#include "import/soundtrack_length.hpp"

#include "sound/sound_file.hpp"

namespace drevik {

double soundtrackSeconds(const std::filesystem::path& location) {
    // A Music.csv or a recording, read as drevik reads it, so that what drevik refuses is refused here too.
    return soundtrackDurationSeconds(location);
}

} // namespace drevik

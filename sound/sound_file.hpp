#pragma once
// Sound files as soundtracks: decoding any recording FFmpeg reads into 48 kHz float frames with its
// own channels (no level change), and turning it into a MusicTimeline whose samples are the mono mix
// the analysis uses, with the recording kept for playback. Whether a file is a Music.csv or a
// recording is decided by its content, never by its name.
#include "platform/error.hpp"
#include "core/music_timeline.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace drevik {

// A sound file that cannot be a soundtrack; the text names the file and the reason.
class SoundFileError : public Error {
public:
    using Error::Error;
};

struct DecodedSound {
    std::int64_t channels = 1;
    std::vector<float> interleaved; // frames × channels, at the requested rate
    std::vector<float> mono;        // the mean of the channels, frame by frame
};

// Called with each new piece of the mono mix, in order, as decoding goes (the span lasts for the call).
using MonoPieceHandler = std::function<void(std::span<const float>)>;

// Decodes the file's best audio stream; throws SoundFileError for a file without sound, a codec this
// FFmpeg lacks, damage, truncation and a length Drevik cannot play.
DecodedSound decodeSoundFile(const std::filesystem::path& location, std::int64_t sampleRate,
                             const MonoPieceHandler& onMono = {});

// Whether the file's content is a recording that FFmpeg recognises (false for text, so every
// Music.csv, also a broken one, is not).
bool looksLikeSoundFile(const std::filesystem::path& location);

// The soundtrack at `location`: a Music.csv read exactly as MusicTimeline::fromCsvFile reads it, or a
// sound file analysed at the given rates. A file that is neither gets the Music.csv reader's error.
MusicTimeline readSoundtrack(const std::filesystem::path& location, std::int64_t sampleRate,
                             std::int64_t analysisRate);

// The length in seconds of a soundtrack file, a Music.csv's declared duration or a recording's
// sample count at 48 kHz; throws the same errors as readSoundtrack.
double soundtrackDurationSeconds(const std::filesystem::path& location);

} // namespace drevik

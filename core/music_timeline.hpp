#pragma once
// The parsed soundtrack: a mono sample buffer and per-step audio features.
#include "core/vector_types.hpp"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drevik {

// The longest soundtrack Drevik plays: 24 hours.
inline constexpr std::int64_t maxSoundtrackSeconds = 86400;

struct AudioFeatures {
    Float4 channels; // lane levels 0...1 (lane 3 combines channel 4 and beyond)
    float energy = 0;
    float pulse = 0;
    static AudioFeatures silence() { return {}; }
    friend bool operator==(const AudioFeatures&, const AudioFeatures&) = default;
};

struct MusicTimeline {
    double durationSeconds = 300;
    std::vector<std::string> channelNames;
    std::int64_t sampleRate = 48000;
    std::vector<float> samples;
    std::int64_t analysisRate = 120;
    std::vector<AudioFeatures> analysis;
    // A recorded soundtrack plays as recorded: interleaved frames of playbackChannels channels at
    // sampleRate. Empty when it plays as the mono `samples` (a Music.csv, a mono recording).
    std::vector<float> playbackSamples;
    std::int64_t playbackChannels = 1;
    // The sound file's name when the soundtrack is a recording; empty for a Music.csv.
    std::string soundName;

    // The signal to play: playbackSamples, or samples when there are none.
    std::span<const float> playback() const {
        return playbackSamples.empty() ? std::span<const float>(samples) : std::span<const float>(playbackSamples);
    }

    static MusicTimeline fromCsvFile(const std::filesystem::path& location, std::int64_t sampleRate,
                                     std::int64_t analysisRate);
    static MusicTimeline fromCsvData(std::string_view bytes, const std::string& fileName,
                                     std::int64_t sampleRate, std::int64_t analysisRate);

    // Features of the analysis step at normalised time t, without interpolation.
    AudioFeatures features(double t) const;
};

} // namespace drevik

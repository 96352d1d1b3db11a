#pragma once
// The movie's soundtrack: the music's samples squeezed or stretched into the movie's duration by
// picking the nearest lower source sample (no interpolation, no filtering).
#include "core/music_timeline.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace drevik::MetalMovieRenderer {

// Number of samples of the movie's soundtrack: max(1, round(durationSeconds × sampleRate)),
// halves away from zero. The caller guarantees a finite duration whose count fits.
std::int64_t resampledSampleCount(double durationSeconds, std::int64_t sampleRate);

// Writes samples from, from + 1, ... of the resampled signal of targetCount samples into out.
// Sample j is source[min(j × count ÷ targetCount, count − 1)]; an empty source gives silence.
void copyResampledAudio(std::span<const float> source, std::int64_t targetCount, std::int64_t from,
                        std::span<float> out);

// The same for interleaved frames of `channels` channels: frames from, from + 1, ... of the
// resampled sound of targetFrames frames into out (whole frames).
void copyResampledFrames(std::span<const float> source, std::int64_t channels, std::int64_t targetFrames,
                         std::int64_t from, std::span<float> out);

// The whole resampled signal; unchanged samples when the duration is the music's own.
std::vector<float> resampledAudio(const MusicTimeline& music, double durationSeconds);

} // namespace drevik::MetalMovieRenderer

#pragma once
// The movie's soundtrack: the music's samples squeezed or stretched into the movie's duration by
// picking the nearest lower source sample (no interpolation, no filtering).
#include "core/music_timeline.hpp"

#include <cstdint>
#include <functional>
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

// Hands the soundtrack, resampled, to a writer in chunks of at most 65536 sample frames, as far as
// the video written so far reaches, so that a muxer receives both streams in step. Samples come
// interleaved in the music's own channels (a Music.csv is mono: 1).
class SoundtrackFeeder {
public:
    using Append = std::function<void(std::span<const float> interleaved)>;

    // sampleCount sample frames in all (0: a file without sound), at sampleRate, beside video at
    // framesPerSecond.
    SoundtrackFeeder(const MusicTimeline& music, std::int64_t sampleCount, std::int64_t sampleRate,
                     std::int64_t framesPerSecond);

    // Everything up to the end of frame frameIndex (nothing for a negative index).
    void feedThroughFrame(std::int64_t frameIndex, const Append& append);
    void feedAll(const Append& append) { feedUntil(sampleCount_, append); }
    std::int64_t channels() const { return channels_; }

private:
    void feedUntil(std::int64_t target, const Append& append);

    const MusicTimeline& music_;
    const std::int64_t sampleCount_;
    const std::int64_t sampleRate_;
    const std::int64_t framesPerSecond_;
    const std::int64_t channels_;
    std::int64_t fed_ = 0;
    std::vector<float> scratch_;
};

} // namespace drevik::MetalMovieRenderer

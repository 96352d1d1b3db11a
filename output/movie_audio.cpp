#include "output/movie_audio.hpp"

#include <algorithm>
#include <cmath>

namespace drevik::MetalMovieRenderer {

namespace {
__extension__ using Unsigned128 = unsigned __int128;
} // namespace

std::int64_t resampledSampleCount(double durationSeconds, std::int64_t sampleRate) {
    const double count = std::round(durationSeconds * static_cast<double>(sampleRate));
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(count));
}

void copyResampledAudio(std::span<const float> source, std::int64_t targetCount, std::int64_t from,
                        std::span<float> out) {
    const auto count = static_cast<std::int64_t>(source.size());
    if (count == 0) {
        std::fill(out.begin(), out.end(), 0.0f);
        return;
    }
    if (count == targetCount) {
        std::copy_n(source.begin() + from, out.size(), out.begin());
        return;
    }
    for (std::size_t k = 0; k < out.size(); ++k) {
        // j × count can exceed 64 bits for very long sources and targets.
        const auto j = static_cast<Unsigned128>(from) + k;
        const auto index = static_cast<std::int64_t>(j * static_cast<Unsigned128>(count) /
                                                     static_cast<Unsigned128>(targetCount));
        out[k] = source[static_cast<std::size_t>(std::min(index, count - 1))];
    }
}

void copyResampledFrames(std::span<const float> source, std::int64_t channels, std::int64_t targetFrames,
                         std::int64_t from, std::span<float> out) {
    if (channels == 1) {
        copyResampledAudio(source, targetFrames, from, out);
        return;
    }
    const auto width = static_cast<std::size_t>(channels);
    const auto count = static_cast<std::int64_t>(source.size() / width);
    if (count == 0) {
        std::fill(out.begin(), out.end(), 0.0f);
        return;
    }
    for (std::size_t k = 0; k < out.size() / width; ++k) {
        const auto j = static_cast<Unsigned128>(from) + k;
        const auto index = count == targetFrames ? static_cast<std::int64_t>(j)
                                                 : static_cast<std::int64_t>(j * static_cast<Unsigned128>(count) /
                                                                             static_cast<Unsigned128>(targetFrames));
        const auto at = static_cast<std::size_t>(std::min(index, count - 1)) * width;
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(at), width, out.begin() + static_cast<std::ptrdiff_t>(k * width));
    }
}

std::vector<float> resampledAudio(const MusicTimeline& music, double durationSeconds) {
    const std::int64_t target = resampledSampleCount(durationSeconds, music.sampleRate);
    if (target == static_cast<std::int64_t>(music.samples.size())) {
        return music.samples;
    }
    std::vector<float> out(static_cast<std::size_t>(target));
    copyResampledAudio(music.samples, target, 0, out);
    return out;
}

SoundtrackFeeder::SoundtrackFeeder(const MusicTimeline& music, std::int64_t sampleCount, std::int64_t sampleRate,
                                   std::int64_t framesPerSecond)
    : music_(music), sampleCount_(sampleCount), sampleRate_(sampleRate), framesPerSecond_(framesPerSecond),
      channels_(std::max<std::int64_t>(1, music.playbackChannels)) {}

void SoundtrackFeeder::feedThroughFrame(std::int64_t frameIndex, const Append& append) {
    if (frameIndex < 0) return;
    const std::int64_t numerator = (frameIndex + 1) * sampleRate_;
    feedUntil((numerator + framesPerSecond_ - 1) / framesPerSecond_, append);
}

void SoundtrackFeeder::feedUntil(std::int64_t target, const Append& append) {
    target = std::min(target, sampleCount_);
    const auto channels = static_cast<std::size_t>(channels_);
    while (fed_ < target) {
        const std::int64_t chunk = std::min<std::int64_t>(target - fed_, 65'536);
        const auto frames = static_cast<std::size_t>(chunk);
        scratch_.resize(frames * channels);
        copyResampledFrames(music_.playback(), channels_, sampleCount_, fed_, scratch_);
        append(scratch_);
        fed_ += chunk;
    }
}

} // namespace drevik::MetalMovieRenderer

#pragma once
// A soundtrack whose every sample tells where it is: sample i is (i + 1) / 1e6, never 0.
#include "core/music_timeline.hpp"

#include <cstddef>
#include <cstdint>

namespace drevik::testing {

inline MusicTimeline rampMusic(std::int64_t sampleRate, std::int64_t count) {
    MusicTimeline music;
    music.sampleRate = sampleRate;
    music.durationSeconds = static_cast<double>(count) / static_cast<double>(sampleRate);
    music.samples.resize(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        music.samples[static_cast<std::size_t>(i)] = static_cast<float>(i + 1) / 1e6f;
    }
    return music;
}

} // namespace drevik::testing

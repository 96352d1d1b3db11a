#pragma once
#include <cstdint>

namespace drevik {

// Half-open range of frame indices with the scene's start and end normalised times.
struct SceneSpan {
    std::int64_t firstFrameIndex = 0;
    std::int64_t afterLastFrameIndex = 0;
    double startTime = 0;
    double endTime = 0;
    friend bool operator==(const SceneSpan&, const SceneSpan&) = default;
};

} // namespace drevik

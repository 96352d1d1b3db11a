// Division of the timeline's frames into scenes: declared intervals between boundaries,
// or runs of consecutive non-empty frames when no boundaries are declared.
#include "core/graphics_timeline.hpp"
#include "core/scene_span.hpp"

#include <algorithm>

namespace drevik {
namespace {

bool isEmptyFrame(const VisualFrame& frame) { return frame.segmentRange.empty(); }

// Index of the first frame whose time is greater than t (the frame count if none).
std::int64_t firstFrameAfter(const std::vector<VisualFrame>& frames, double t) {
    auto it = std::upper_bound(frames.begin(), frames.end(), t,
                               [](double value, const VisualFrame& frame) { return value < frame.time; });
    return static_cast<std::int64_t>(it - frames.begin());
}

// Index of the first frame whose time is greater than or equal to t (the frame count if none).
std::int64_t firstFrameAtOrAfter(const std::vector<VisualFrame>& frames, double t) {
    auto it = std::lower_bound(frames.begin(), frames.end(), t,
                               [](const VisualFrame& frame, double value) { return frame.time < value; });
    return static_cast<std::int64_t>(it - frames.begin());
}

// The run of non-empty frames that holds frame i (which must be non-empty).
SceneSpan runContaining(const std::vector<VisualFrame>& frames, std::int64_t i) {
    std::int64_t first = i;
    while (first > 0 && !isEmptyFrame(frames[static_cast<std::size_t>(first - 1)])) {
        --first;
    }
    const auto count = static_cast<std::int64_t>(frames.size());
    std::int64_t after = i + 1;
    while (after < count && !isEmptyFrame(frames[static_cast<std::size_t>(after)])) {
        ++after;
    }
    const double end = after < count ? frames[static_cast<std::size_t>(after)].time : 1.0;
    return {first, after, frames[static_cast<std::size_t>(first)].time, end};
}

} // namespace

std::optional<SceneSpan> GraphicsTimeline::declaredSceneSpan(double startTime, double endTime) const {
    if (frames.empty()) {
        return std::nullopt;
    }
    const std::int64_t first = frames.front().time <= startTime ? firstFrameAfter(frames, startTime) - 1 : 0;
    const std::int64_t after = firstFrameAtOrAfter(frames, endTime);
    if (first >= after) {
        return std::nullopt;
    }
    bool anyDrawn = false;
    for (std::int64_t i = first; i < after; ++i) {
        if (!isEmptyFrame(frames[static_cast<std::size_t>(i)])) {
            anyDrawn = true;
            break;
        }
    }
    if (!anyDrawn) {
        return std::nullopt;
    }
    return SceneSpan{first, after, startTime, endTime};
}

std::optional<SceneSpan> GraphicsTimeline::declaredSceneSpanContainingTime(double t) const {
    const auto count = static_cast<std::int64_t>(sceneBoundaries.size());
    if (count < 2) {
        return std::nullopt;
    }
    // k = last boundary <= t, or 0 when t lies before the first boundary. A NaN t is never
    // below a boundary, so the search ends on the last one and the lookup gives none.
    std::int64_t low = 0;
    std::int64_t high = count - 1;
    while (low < high) {
        const std::int64_t middle = low + (high - low + 1) / 2;
        if (sceneBoundaries[static_cast<std::size_t>(middle)] > t) {
            high = middle - 1;
        } else {
            low = middle;
        }
    }
    const std::int64_t k = low;
    if (k == count - 1 || !(t < sceneBoundaries[static_cast<std::size_t>(k + 1)])) {
        return std::nullopt;
    }
    return declaredSceneSpan(sceneBoundaries[static_cast<std::size_t>(k)],
                             sceneBoundaries[static_cast<std::size_t>(k + 1)]);
}

std::optional<SceneSpan> GraphicsTimeline::sceneSpanContainingFrame(std::int64_t frame) const {
    if (frame < 0 || frame >= static_cast<std::int64_t>(frames.size()) ||
        isEmptyFrame(frames[static_cast<std::size_t>(frame)])) {
        return std::nullopt;
    }
    if (auto declared = declaredSceneSpanContainingTime(frames[static_cast<std::size_t>(frame)].time)) {
        return declared;
    }
    return runContaining(frames, frame);
}

std::optional<SceneSpan> GraphicsTimeline::sceneSpanAt(double t) const {
    if (frames.empty() || !(t >= frames.front().time)) {
        return std::nullopt;
    }
    const std::int64_t onScreen = firstFrameAfter(frames, t) - 1;
    if (isEmptyFrame(frames[static_cast<std::size_t>(onScreen)])) {
        return std::nullopt;
    }
    if (auto declared = declaredSceneSpanContainingTime(t)) {
        return declared;
    }
    return sceneSpanContainingFrame(onScreen);
}

std::vector<SceneSpan> GraphicsTimeline::nonEmptySceneSpans() const {
    std::vector<SceneSpan> spans;
    if (sceneBoundaries.size() >= 2) {
        for (std::size_t k = 0; k + 1 < sceneBoundaries.size(); ++k) {
            if (auto span = declaredSceneSpan(sceneBoundaries[k], sceneBoundaries[k + 1])) {
                spans.push_back(*span);
            }
        }
        return spans;
    }
    const auto count = static_cast<std::int64_t>(frames.size());
    std::int64_t i = 0;
    while (i < count) {
        if (isEmptyFrame(frames[static_cast<std::size_t>(i)])) {
            ++i;
            continue;
        }
        const std::int64_t first = i;
        while (i < count && !isEmptyFrame(frames[static_cast<std::size_t>(i)])) {
            ++i;
        }
        const double end = i < count ? frames[static_cast<std::size_t>(i)].time : 1.0;
        spans.push_back({first, i, frames[static_cast<std::size_t>(first)].time, end});
    }
    return spans;
}

} // namespace drevik

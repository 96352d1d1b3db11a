#pragma once
// Building blocks of the scene analysis, exposed for the scene report and for tests.
#include "core/graphics_timeline.hpp"
#include "core/scene_profile.hpp"
#include "core/scene_span.hpp"
#include "core/vector_types.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace drevik {

// Quantised position of a segment endpoint on a grid of 1/65536 of the image.
struct EndpointKey {
    std::int32_t x = 0;
    std::int32_t y = 0;
    static EndpointKey of(Float2 point);
    friend bool operator==(const EndpointKey&, const EndpointKey&) = default;
};

struct EndpointKeyHash {
    std::size_t operator()(const EndpointKey& key) const {
        std::uint64_t h = static_cast<std::uint32_t>(key.x);
        h = (h * 0x9E3779B97F4A7C15ull) ^ static_cast<std::uint32_t>(key.y);
        h *= 0xBF58476D1CE4E5B9ull;
        return static_cast<std::size_t>(h ^ (h >> 31));
    }
};

// Disjoint sets over node indices 0, 1, 2, ... with union by rank and path compression.
class UnionFind {
public:
    std::int64_t append();
    std::int64_t root(std::int64_t node);
    void unite(std::int64_t a, std::int64_t b);
    std::int64_t count() const { return static_cast<std::int64_t>(parent_.size()); }
    void reserve(std::size_t n) {
        parent_.reserve(n);
        rank_.reserve(n);
    }

private:
    std::vector<std::int64_t> parent_;
    std::vector<std::uint8_t> rank_;
};

// The pseudo-random values a scene derives from its representative frame: the geometry hash
// of the segments' coordinates, the hash mixed with the busiest line count (g), and from g the
// seed and the depth jitter, both in [0, 1).
struct GeometrySeed {
    std::uint32_t hash = 0;
    std::uint32_t g = 0;
    float seed = 0;
    float jitter = 0;
};
GeometrySeed geometrySeed(std::span<const PackedLine> lines, std::int64_t maximumLineCount);

// The position of a span in the ordered scene list: the first listed span with the same first
// frame, or the span's own first frame index when none is listed. `spans` must be the
// timeline's nonEmptySceneSpans().
std::int64_t sceneIndexOf(const SceneSpan& span, const std::vector<SceneSpan>& spans);

// The choreography of the scene at an index of the ordered scene list.
CameraChoreography choreographyForSceneIndex(std::int64_t sceneIndex);

// analyzeScene with the timeline's nonEmptySceneSpans() already at hand, so that callers
// walking every scene do not rebuild the list once per scene.
SceneProfile analyzeScene(const GraphicsTimeline& timeline, const SceneSpan& span,
                          const std::vector<SceneSpan>& allSpans);

} // namespace drevik

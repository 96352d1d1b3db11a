#pragma once
// The parsed drawing: timestamped frames of 2-D line segments in normalised image coordinates.
#include "core/vector_types.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drevik {

struct SceneSpan;
struct SceneProfile;

// Half-open range of indices [lowerBound, upperBound).
struct IndexRange {
    std::int64_t lowerBound = 0;
    std::int64_t upperBound = 0;
    bool empty() const { return lowerBound >= upperBound; }
    std::int64_t count() const { return upperBound - lowerBound; }
    friend bool operator==(const IndexRange&, const IndexRange&) = default;
};

// One line segment: endpoints (x1, y1, x2, y2), each in 0...1.
struct PackedLine {
    Float4 endpoints;
    static PackedLine make(float x1, float y1, float x2, float y2) { return {{x1, y1, x2, y2}}; }
    friend bool operator==(const PackedLine&, const PackedLine&) = default;
};

// One timestamped frame; an empty segmentRange clears the drawing at that moment.
struct VisualFrame {
    double time = 0;
    IndexRange segmentRange;
    friend bool operator==(const VisualFrame&, const VisualFrame&) = default;
};

struct GraphicsTimeline {
    double durationSeconds = 300;
    bool durationDeclared = false;       // false: the file gave no duration and 300 s stands in
    std::vector<double> sceneBoundaries; // normalised; empty or two or more increasing values
    std::vector<VisualFrame> frames;     // strictly increasing times
    std::vector<PackedLine> segments;    // all frames' segments, frame after frame

    // Readers (graphics_timeline.cpp). fromCsvFile names the file by its last path component.
    static GraphicsTimeline fromCsvFile(const std::filesystem::path& location);
    static GraphicsTimeline fromCsvData(std::string_view bytes, const std::string& fileName);

    // The frame on screen at normalised time t: the last frame whose time is <= t.
    std::optional<std::int64_t> frameIndex(double t) const;
    // The segments of the frame on screen (empty when none).
    std::span<const PackedLine> lines(double t) const;

    // Scene spans (scene_span.cpp).
    std::optional<SceneSpan> sceneSpanAt(double t) const;
    std::optional<SceneSpan> sceneSpanContainingFrame(std::int64_t frame) const;
    std::vector<SceneSpan> nonEmptySceneSpans() const;
    std::optional<SceneSpan> declaredSceneSpan(double startTime, double endTime) const;
    std::optional<SceneSpan> declaredSceneSpanContainingTime(double t) const;

    // Scene analysis (scene_analysis.cpp).
    SceneProfile analyzeScene(const SceneSpan& span) const;
};

} // namespace drevik

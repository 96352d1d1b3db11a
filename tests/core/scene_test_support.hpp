#pragma once
// Builds small timelines in code for the scene tests.
#include "core/graphics_timeline.hpp"

#include <array>
#include <initializer_list>
#include <vector>

namespace drevik::testing {

using Segment = std::array<float, 4>;

struct FrameSpec {
    double time;
    std::vector<Segment> segments;
};

inline void appendFrame(GraphicsTimeline& timeline, double time, const std::vector<Segment>& segments) {
    const auto start = static_cast<std::int64_t>(timeline.segments.size());
    for (const Segment& s : segments) {
        timeline.segments.push_back(PackedLine::make(s[0], s[1], s[2], s[3]));
    }
    timeline.frames.push_back({time, {start, static_cast<std::int64_t>(timeline.segments.size())}});
}

inline GraphicsTimeline makeTimeline(const std::vector<FrameSpec>& frames, std::vector<double> boundaries = {},
                                     double durationSeconds = 300) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = durationSeconds;
    timeline.sceneBoundaries = std::move(boundaries);
    for (const FrameSpec& f : frames) {
        appendFrame(timeline, f.time, f.segments);
    }
    return timeline;
}

// A frame with n short horizontal segments stacked vertically, all distinct.
inline std::vector<Segment> stripes(int n) {
    std::vector<Segment> out;
    for (int i = 0; i < n; ++i) {
        const float y = 0.1f + 0.8f * static_cast<float>(i) / static_cast<float>(n > 1 ? n : 1);
        out.push_back({0.2f, y, 0.8f, y});
    }
    return out;
}

inline const Segment kLine{0.25f, 0.5f, 0.75f, 0.5f};

} // namespace drevik::testing

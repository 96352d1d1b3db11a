// Feeds arbitrary bytes to the Graphics.csv reader. A refusal must be a drevik::Error; an accepted
// drawing must keep every promise the rest of the program relies on. Any other exception, a
// broken promise or a sanitizer report is a finding.
#include "platform/error.hpp"
#include "core/graphics_timeline.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

void require(bool condition, const char* promise) {
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", promise);
        std::abort();
    }
}

bool normalized(float value) { return value >= 0.0f && value <= 1.0f; }

void checkTimeline(const drevik::GraphicsTimeline& timeline) {
    require(std::isfinite(timeline.durationSeconds) && timeline.durationSeconds > 0, "positive finite duration");
    const auto segmentCount = static_cast<std::int64_t>(timeline.segments.size());
    double previousTime = -1.0;
    std::int64_t previousEnd = 0;
    for (const auto& frame : timeline.frames) {
        require(frame.time >= 0.0 && frame.time <= 1.0, "frame time in 0...1");
        require(frame.time > previousTime, "frame times strictly increase");
        require(frame.segmentRange.lowerBound == previousEnd, "frames follow each other in the segments");
        require(frame.segmentRange.upperBound >= frame.segmentRange.lowerBound, "ranges are not reversed");
        require(frame.segmentRange.upperBound <= segmentCount, "ranges stay inside the segments");
        previousTime = frame.time;
        previousEnd = frame.segmentRange.upperBound;
    }
    require(previousEnd == segmentCount, "every segment belongs to a frame");
    for (const auto& line : timeline.segments) {
        const auto& e = line.endpoints;
        require(normalized(e.x) && normalized(e.y) && normalized(e.z) && normalized(e.w), "endpoints in 0...1");
    }
    const auto& boundaries = timeline.sceneBoundaries;
    require(boundaries.empty() || boundaries.size() >= 2, "no boundaries or at least two");
    for (std::size_t i = 0; i < boundaries.size(); ++i) {
        require(boundaries[i] >= 0.0 && boundaries[i] <= 1.0, "boundaries in 0...1");
        require(i == 0 || boundaries[i - 1] <= boundaries[i], "boundaries do not decrease");
    }

    // The lookups at a few moments, including the edges and a NaN.
    const double moments[] = {0.0, 0.25, 0.5, 1.0, -1.0, 2.0, std::nan("")};
    for (double t : moments) {
        const auto index = timeline.frameIndex(t);
        const auto lines = timeline.lines(t);
        if (index) {
            require(*index >= 0 && *index < static_cast<std::int64_t>(timeline.frames.size()), "index in range");
            require(timeline.frames[static_cast<std::size_t>(*index)].time <= t, "frame on screen has begun");
        } else {
            require(lines.empty(), "no lines without a frame");
        }
    }
    for (const auto& frame : timeline.frames) {
        const auto index = timeline.frameIndex(frame.time);
        require(index && timeline.frames[static_cast<std::size_t>(*index)].time == frame.time,
                "a frame is on screen at its own time");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        checkTimeline(drevik::GraphicsTimeline::fromCsvData(bytes, "Graphics.csv"));
    } catch (const drevik::Error& error) {
        const std::string_view text = error.what();
        require(!text.empty() && text.find('\n') == std::string_view::npos, "a refusal is one line");
    }
    return 0;
}

// Timing and placing imported drawings (see imported_show.hpp).
#include "import/imported_show.hpp"

#include "import/placement.hpp"

#include <cmath>
#include <span>

namespace drevik {

namespace {

void appendFrame(GraphicsTimeline& timeline, double time, const VectorDrawing& drawing, const Placement& placement,
                 const std::string& name) {
    const auto start = static_cast<std::int64_t>(timeline.segments.size());
    appendPlacedSegments(drawing, placement, timeline.segments);
    const auto end = static_cast<std::int64_t>(timeline.segments.size());
    if (end - start > maximumSegmentsPerFrame) {
        throw ImportError(name + " gives " + std::to_string(end - start) + " segments in one frame, more than the " +
                          std::to_string(maximumSegmentsPerFrame) + " Drevik can draw at once.");
    }
    timeline.frames.push_back({time, {start, end}});
}

std::string nameOf(const ImportedSource& source, std::size_t index) {
    if (index < source.names.size()) return source.names[index];
    return source.names.empty() ? std::string("The drawing") : source.names.back();
}

} // namespace

GraphicsTimeline buildImportedTimeline(const ImportedSource& source, std::optional<double> durationSeconds) {
    GraphicsTimeline timeline;
    const std::size_t count = source.drawings.size();
    if (count == 0) return timeline;

    const bool animation = source.framesPerSecond && *source.framesPerSecond > 0;
    double duration = 300;
    if (durationSeconds) {
        duration = *durationSeconds;
        timeline.durationDeclared = true;
    } else if (animation) {
        duration = static_cast<double>(count) / *source.framesPerSecond;
        timeline.durationDeclared = true;
    }
    timeline.durationSeconds = duration;

    const Placement shared = fitPlacement(source.drawings);
    auto placementOf = [&](std::size_t i) {
        return source.fitTogether ? shared : fitPlacement(std::span(&source.drawings[i], 1));
    };

    if (!animation) {
        for (std::size_t i = 0; i < count; ++i) {
            const double start = static_cast<double>(i) / static_cast<double>(count);
            appendFrame(timeline, start, source.drawings[i], placementOf(i),
                        nameOf(source, i));
        }
        if (count > 1) {
            for (std::size_t i = 0; i <= count; ++i) {
                timeline.sceneBoundaries.push_back(static_cast<double>(i) / static_cast<double>(count));
            }
        }
        return timeline;
    }

    // Frame i appears at i / fps seconds; frames after the end of the show are not seen.
    const double fps = *source.framesPerSecond;
    std::vector<double> boundaries;
    for (std::size_t i = 0; i < count; ++i) {
        const double time = static_cast<double>(i) / fps / duration;
        if (!(time < 1)) break;
        appendFrame(timeline, time, source.drawings[i], placementOf(i), nameOf(source, i));
    }
    for (const std::size_t cut : source.cuts) {
        const double time = static_cast<double>(cut) / fps / duration;
        // A scene begins exactly at its first frame (the writer keeps the two equal in the file).
        if (time > 0 && time < 1 && (boundaries.empty() || time > boundaries.back())) boundaries.push_back(time);
    }
    if (!boundaries.empty()) {
        timeline.sceneBoundaries.push_back(0);
        timeline.sceneBoundaries.insert(timeline.sceneBoundaries.end(), boundaries.begin(), boundaries.end());
        timeline.sceneBoundaries.push_back(1);
    }
    return timeline;
}

} // namespace drevik

#pragma once
// Fitting people's drawings into Drevik's picture: one fit for a drawing or for a sequence of
// drawings that belong together (the frames of an animation), centred in the 16:9 picture with its
// aspect kept and a small margin all round, turned the right way up (sources count y downwards,
// Graphics.csv upwards), and curves flattened to straight segments.
//
// Flattening keeps every segment within flatteningTolerance (a fraction of the picture's height) of
// the true curve and uses, per curve, the fewest equal parameter steps that bound guarantees.
// What lies outside a drawing's box (an SVG's viewport) is cut off, as a renderer clips it.
#include "core/graphics_timeline.hpp"
#include "import/vector_drawing.hpp"

#include <optional>
#include <span>
#include <vector>

namespace drevik {

inline constexpr double pictureAspect = 16.0 / 9.0;
// The margin on every side, as a fraction of the picture's height.
inline constexpr double placementMargin = 0.05;
// The largest distance of a flattened curve from the true one, as a fraction of the picture's height.
inline constexpr double flatteningTolerance = 0.0005;

// Maps source coordinates to the picture: x in 0...1 across, y in 0...1 upwards.
struct Placement {
    double scale = 1;          // picture heights per source unit
    double sourceCentreX = 0;  // the source point put at the picture's centre
    double sourceCentreY = 0;
    SourceBox clip;            // the source rectangle kept (the fitted box)

    Point2 map(Point2 source) const {
        return {0.5 + (source.x - sourceCentreX) * scale / pictureAspect, 0.5 - (source.y - sourceCentreY) * scale};
    }
};

// The box a drawing is fitted by: its own box, else the bounds of its paths' points (curves'
// control points included, so a curve's box may be a little generous); none without points.
std::optional<SourceBox> fittingBox(const VectorDrawing& drawing);

// One fit for all the drawings: their fitting boxes' union, centred, scaled to the picture less the
// margins. A box of zero width or height (a single straight line) is fitted by its other side.
Placement fitPlacement(std::span<const VectorDrawing> drawings);

// The drawing's segments in picture coordinates, appended to `out`, each within 0...1.
void appendPlacedSegments(const VectorDrawing& drawing, const Placement& placement, std::vector<PackedLine>& out);

} // namespace drevik

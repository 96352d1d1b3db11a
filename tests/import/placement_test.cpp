// Placement into the picture and the flattening of curves.
#include "import/placement.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace drevik {
namespace {

VectorDrawing boxWithLine(SourceBox box, Point2 from, Point2 to) {
    VectorDrawing drawing;
    drawing.box = box;
    VectorPath path;
    path.start = from;
    path.lineTo(to);
    drawing.paths.push_back(path);
    return drawing;
}

TEST(Placement, FitsCentredWithAspectAndMarginTheRightWayUp) {
    // A wide box is fitted by its width, a tall one by its height; either way centred, with the
    // source's top at the picture's top (Graphics.csv counts y upwards).
    const VectorDrawing wide = boxWithLine({0, 0, 200, 100}, {0, 0}, {200, 0}); // along the top edge
    const Placement fit = fitPlacement(std::span(&wide, 1));
    const Point2 topLeft = fit.map({0, 0}), bottomRight = fit.map({200, 100}), centre = fit.map({100, 50});
    EXPECT_NEAR(centre.x, 0.5, 1e-12);
    EXPECT_NEAR(centre.y, 0.5, 1e-12);
    EXPECT_NEAR(topLeft.x * pictureAspect, placementMargin, 1e-12); // the margin in picture heights
    EXPECT_GT(topLeft.y, bottomRight.y);
    // Aspect kept: the box's sides in the picture (in picture heights) stay 2:1.
    EXPECT_NEAR((bottomRight.x - topLeft.x) * pictureAspect / (topLeft.y - bottomRight.y), 2.0, 1e-12);
    std::vector<PackedLine> lines;
    appendPlacedSegments(wide, fit, lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GT(lines[0].endpoints.y, 0.5f);

    const VectorDrawing tall = boxWithLine({10, 10, 50, 100}, {10, 10}, {60, 110});
    const Placement tallFit = fitPlacement(std::span(&tall, 1));
    EXPECT_NEAR(tallFit.map({10, 10}).y, 1 - placementMargin, 1e-12);
    EXPECT_NEAR(tallFit.map({60, 110}).y, placementMargin, 1e-12);

    // Without a box the paths' own bounds are fitted; a lone horizontal line by its length.
    VectorDrawing loose = boxWithLine({}, {5, 7}, {25, 7});
    const Placement looseFit = fitPlacement(std::span(&loose, 1));
    EXPECT_NEAR(looseFit.map({5, 7}).x * pictureAspect, placementMargin, 1e-12);
    EXPECT_NEAR(looseFit.map({15, 7}).y, 0.5, 1e-12);
}

TEST(Placement, DrawingsFittedTogetherKeepTheirSizesAndWhatIsOutsideTheBoxIsCut) {
    VectorDrawing big = boxWithLine({}, {0, 0}, {100, 0});
    VectorDrawing small = boxWithLine({}, {0, 0}, {50, 0});
    const std::vector<VectorDrawing> frames = {big, small};
    const Placement fit = fitPlacement(frames);
    std::vector<PackedLine> a, b;
    appendPlacedSegments(big, fit, a);
    appendPlacedSegments(small, fit, b);
    EXPECT_NEAR((b[0].endpoints.z - b[0].endpoints.x) / (a[0].endpoints.z - a[0].endpoints.x), 0.5, 1e-6);

    // A line leaving the viewport ends at its edge; one wholly outside is not drawn.
    VectorDrawing clipped = boxWithLine({0, 0, 100, 100}, {50, 50}, {250, 50});
    VectorPath outside;
    outside.start = {150, 0};
    outside.lineTo({150, 100});
    clipped.paths.push_back(outside);
    const Placement clipFit = fitPlacement(std::span(&clipped, 1));
    std::vector<PackedLine> lines;
    appendPlacedSegments(clipped, clipFit, lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NEAR(lines[0].endpoints.z, clipFit.map({100, 50}).x, 1e-6);
}

// The largest distance of a polyline from the cubic curve it stands for, in picture heights
// (picture x scaled back by the aspect), and its segment count.
struct Flattened {
    double worstDistance = 0;
    std::size_t segments = 0;
};

double distanceToSegment(double px, double py, const PackedLine& line) {
    const double ax = line.endpoints.x * pictureAspect, ay = line.endpoints.y;
    const double bx = line.endpoints.z * pictureAspect, by = line.endpoints.w;
    const double dx = bx - ax, dy = by - ay, lengthSquared = dx * dx + dy * dy;
    const double t = lengthSquared > 0 ? std::clamp(((px - ax) * dx + (py - ay) * dy) / lengthSquared, 0.0, 1.0) : 0;
    return std::hypot(px - ax - t * dx, py - ay - t * dy);
}

Flattened flattenCircle(double radius) {
    // A circle of four cubic arcs, in a box that puts one source unit at one picture height / 100.
    VectorDrawing drawing;
    drawing.box = {-50 * pictureAspect, -50, 100 * pictureAspect, 100};
    constexpr double k = 0.5522847498;
    VectorPath path;
    path.start = {radius, 0};
    path.cubicTo({radius, k * radius}, {k * radius, radius}, {0, radius});
    path.cubicTo({-k * radius, radius}, {-radius, k * radius}, {-radius, 0});
    path.cubicTo({-radius, -k * radius}, {-k * radius, -radius}, {0, -radius});
    path.cubicTo({k * radius, -radius}, {radius, -k * radius}, {radius, 0});
    drawing.paths.push_back(path);
    const Placement fit = fitPlacement(std::span(&drawing, 1));
    std::vector<PackedLine> lines;
    appendPlacedSegments(drawing, fit, lines);
    Flattened result;
    result.segments = lines.size();
    // Dense points of the true curve, each against its nearest segment.
    for (std::size_t piece = 0; piece < 4; ++piece) {
        const Point2 p0 = piece == 0 ? path.start : path.points[piece * 3 - 1];
        const Point2 c1 = path.points[piece * 3], c2 = path.points[piece * 3 + 1], p3 = path.points[piece * 3 + 2];
        for (int i = 0; i <= 400; ++i) {
            const double t = i / 400.0, u = 1 - t;
            const Point2 source{u * u * u * p0.x + 3 * u * u * t * c1.x + 3 * u * t * t * c2.x + t * t * t * p3.x,
                                u * u * u * p0.y + 3 * u * u * t * c1.y + 3 * u * t * t * c2.y + t * t * t * p3.y};
            const Point2 placed = fit.map(source);
            double nearest = 1e9;
            for (const PackedLine& line : lines) {
                nearest = std::min(nearest, distanceToSegment(placed.x * pictureAspect, placed.y, line));
            }
            result.worstDistance = std::max(result.worstDistance, nearest);
        }
    }
    return result;
}

TEST(Placement, CurvesStayWithinToleranceWithFewSegments) {
    for (const double radius : {0.5, 5.0, 45.0}) {
        const Flattened flat = flattenCircle(radius);
        const double pictureRadius = radius * 0.9 / 100;
        EXPECT_LE(flat.worstDistance, flatteningTolerance * 1.01) << "radius " << radius;
        // The fewest chords of a circle that keep within the tolerance, per quarter.
        const double fewest =
            std::ceil(std::numbers::pi / 2 / (2 * std::acos(1 - std::min(1.0, flatteningTolerance / pictureRadius))));
        EXPECT_LE(static_cast<double>(flat.segments), 4 * (fewest * 1.25 + 1)) << "radius " << radius;
    }
}

} // namespace
} // namespace drevik

// Placement and flattening of drawings (see placement.hpp).
#include "import/placement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace drevik {

namespace {

// Picture space while placing: picture heights, origin at the picture's centre, y upwards.
struct Placed {
    double x, y;
};

struct Rect {
    double left, bottom, right, top;
};

Placed toPicture(const Placement& placement, Point2 source) {
    return {(source.x - placement.sourceCentreX) * placement.scale, -(source.y - placement.sourceCentreY) * placement.scale};
}

double length(double x, double y) { return std::hypot(x, y); }

// Cuts the segment to the rectangle (Liang-Barsky); false when nothing of it is inside.
bool clipToRect(Placed& a, Placed& b, const Rect& rect) {
    double t0 = 0, t1 = 1;
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x - rect.left, rect.right - a.x, a.y - rect.bottom, rect.top - a.y};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        const double r = q[i] / p[i];
        if (p[i] < 0) {
            t0 = std::max(t0, r);
        } else {
            t1 = std::min(t1, r);
        }
        if (t0 > t1) return false;
    }
    const Placed start = a;
    if (t1 < 1) b = {start.x + t1 * dx, start.y + t1 * dy};
    if (t0 > 0) a = {start.x + t0 * dx, start.y + t0 * dy};
    return true;
}

float toUnit(double value) { return std::clamp(static_cast<float>(value), 0.0f, 1.0f); }

// Collects one path's straight pieces, clipped, as picture segments.
class SegmentSink {
public:
    SegmentSink(std::vector<PackedLine>& out, std::optional<Rect> clip) : out_(out), clip_(clip) {}

    void add(Placed a, Placed b) {
        if (clip_ && !clipToRect(a, b, *clip_)) return;
        const float x1 = toUnit(0.5 + a.x / pictureAspect), y1 = toUnit(0.5 + a.y);
        const float x2 = toUnit(0.5 + b.x / pictureAspect), y2 = toUnit(0.5 + b.y);
        if (x1 == x2 && y1 == y2) return; // nothing to see
        out_.push_back(PackedLine::make(x1, y1, x2, y2));
    }

private:
    std::vector<PackedLine>& out_;
    std::optional<Rect> clip_;
};

// Steps of equal parameter length that keep a polynomial curve within the tolerance: the chord of
// a step of length h deviates from the curve by at most h^2/8 times the largest second derivative.
int stepsFor(double secondDerivativeBound) {
    const double steps = std::ceil(std::sqrt(secondDerivativeBound / (8.0 * flatteningTolerance)));
    if (!(steps >= 1)) return 1;
    return static_cast<int>(std::min(steps, 100000.0));
}

void flattenQuadratic(Placed p0, Placed p1, Placed p2, SegmentSink& sink) {
    // B'' = 2 (p0 - 2 p1 + p2), constant.
    const int steps = stepsFor(2.0 * length(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y));
    Placed previous = p0;
    for (int i = 1; i <= steps; ++i) {
        const double t = static_cast<double>(i) / steps, u = 1 - t;
        const Placed next = i == steps ? p2
                                       : Placed{u * u * p0.x + 2 * u * t * p1.x + t * t * p2.x,
                                                u * u * p0.y + 2 * u * t * p1.y + t * t * p2.y};
        sink.add(previous, next);
        previous = next;
    }
}

void flattenCubic(Placed p0, Placed p1, Placed p2, Placed p3, SegmentSink& sink) {
    // B'' = 6 ((1 - t)(p0 - 2 p1 + p2) + t (p1 - 2 p2 + p3)): largest at an end.
    const double d1 = length(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y);
    const double d2 = length(p1.x - 2 * p2.x + p3.x, p1.y - 2 * p2.y + p3.y);
    const int steps = stepsFor(6.0 * std::max(d1, d2));
    Placed previous = p0;
    for (int i = 1; i <= steps; ++i) {
        const double t = static_cast<double>(i) / steps, u = 1 - t;
        const double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
        const Placed next = i == steps ? p3
                                       : Placed{a * p0.x + b * p1.x + c * p2.x + d * p3.x,
                                                a * p0.y + b * p1.y + c * p2.y + d * p3.y};
        sink.add(previous, next);
        previous = next;
    }
}

void flattenPath(const VectorPath& path, const Placement& placement, SegmentSink& sink) {
    const Placed start = toPicture(placement, path.start);
    Placed current = start;
    std::size_t point = 0;
    for (const VectorPath::Piece piece : path.pieces) {
        const std::size_t needed = piece == VectorPath::Piece::line ? 1 : piece == VectorPath::Piece::quadratic ? 2 : 3;
        if (point + needed > path.points.size()) return; // a malformed path ends where its points do
        switch (piece) {
        case VectorPath::Piece::line: {
            const Placed end = toPicture(placement, path.points[point]);
            sink.add(current, end);
            current = end;
            break;
        }
        case VectorPath::Piece::quadratic: {
            const Placed control = toPicture(placement, path.points[point]);
            const Placed end = toPicture(placement, path.points[point + 1]);
            flattenQuadratic(current, control, end, sink);
            current = end;
            break;
        }
        case VectorPath::Piece::cubic: {
            const Placed c1 = toPicture(placement, path.points[point]);
            const Placed c2 = toPicture(placement, path.points[point + 1]);
            const Placed end = toPicture(placement, path.points[point + 2]);
            flattenCubic(current, c1, c2, end, sink);
            current = end;
            break;
        }
        }
        point += needed;
    }
    if (path.closed) sink.add(current, start);
}

void extend(double& low, double& high, double value) {
    low = std::min(low, value);
    high = std::max(high, value);
}

} // namespace

std::optional<SourceBox> fittingBox(const VectorDrawing& drawing) {
    if (!drawing.box.empty()) return drawing.box;
    constexpr double inf = std::numeric_limits<double>::infinity();
    double left = inf, right = -inf, top = inf, bottom = -inf;
    for (const VectorPath& path : drawing.paths) {
        extend(left, right, path.start.x);
        extend(top, bottom, path.start.y);
        for (const Point2& p : path.points) {
            extend(left, right, p.x);
            extend(top, bottom, p.y);
        }
    }
    if (!(left <= right && top <= bottom) || !std::isfinite(right - left) || !std::isfinite(bottom - top)) {
        return std::nullopt;
    }
    return SourceBox{left, top, right - left, bottom - top};
}

Placement fitPlacement(std::span<const VectorDrawing> drawings) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double left = inf, right = -inf, top = inf, bottom = -inf;
    for (const VectorDrawing& drawing : drawings) {
        const std::optional<SourceBox> box = fittingBox(drawing);
        if (!box) continue;
        extend(left, right, box->left);
        extend(left, right, box->left + box->width);
        extend(top, bottom, box->top);
        extend(top, bottom, box->top + box->height);
    }
    Placement placement;
    if (!(left <= right && top <= bottom)) return placement;
    const double width = right - left, height = bottom - top;
    const double availableWidth = pictureAspect - 2 * placementMargin, availableHeight = 1 - 2 * placementMargin;
    double scale = 1;
    if (width > 0 && height > 0) {
        scale = std::min(availableWidth / width, availableHeight / height);
    } else if (width > 0) {
        scale = availableWidth / width;
    } else if (height > 0) {
        scale = availableHeight / height;
    }
    if (!std::isfinite(scale) || !(scale > 0)) scale = 1;
    placement.scale = scale;
    placement.sourceCentreX = left + width / 2;
    placement.sourceCentreY = top + height / 2;
    placement.clip = {left, top, width, height};
    return placement;
}

void appendPlacedSegments(const VectorDrawing& drawing, const Placement& placement, std::vector<PackedLine>& out) {
    // The drawing's own box where it has one (what lies outside an SVG's viewport is not seen),
    // and always the picture itself.
    const double halfWidth = pictureAspect / 2, halfHeight = 0.5;
    Rect clip{-halfWidth, -halfHeight, halfWidth, halfHeight};
    if (!drawing.box.empty()) {
        const Placed a = toPicture(placement, {drawing.box.left, drawing.box.top + drawing.box.height});
        const Placed b = toPicture(placement, {drawing.box.left + drawing.box.width, drawing.box.top});
        clip = {std::max(clip.left, a.x), std::max(clip.bottom, a.y), std::min(clip.right, b.x), std::min(clip.top, b.y)};
    }
    SegmentSink sink(out, clip);
    for (const VectorPath& path : drawing.paths) flattenPath(path, placement, sink);
}

} // namespace drevik

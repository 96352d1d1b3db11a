#pragma once
// Comparing a drawing with the edges of a reference picture, the way drawings are judged: the
// share of what is drawn that lies within a tolerance of the reference's edges, and the share of
// the edges that something drawn comes within the tolerance of. Curves are sampled densely
// here, independently of the program's own flattening.
#include "import/vector_drawing.hpp"
#include "platform/error.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace drevik::testing {

using PointMap = std::function<Point2(Point2)>;

// Points along every piece of every path, at most `step` apart after `map`.
inline std::vector<Point2> sampledPoints(const VectorDrawing& drawing, const PointMap& map, double step) {
    std::vector<Point2> out;
    auto along = [&](auto&& at) {
        // Enough samples for the piece's length after the map, judged from a coarse polyline.
        double length = 0;
        Point2 last = map(at(0.0));
        for (int k = 1; k <= 16; ++k) {
            const Point2 p = map(at(k / 16.0));
            length += std::hypot(p.x - last.x, p.y - last.y);
            last = p;
        }
        const int n = std::max(1, int(std::ceil(length / step)));
        for (int k = 0; k <= n; ++k) {
            out.push_back(map(at(double(k) / n)));
        }
    };
    for (const VectorPath& path : drawing.paths) {
        Point2 from = path.start;
        std::size_t p = 0;
        for (const VectorPath::Piece piece : path.pieces) {
            if (piece == VectorPath::Piece::line) {
                const Point2 a = from, b = path.points[p];
                along([&](double t) { return Point2{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t}; });
                from = b, p += 1;
            } else if (piece == VectorPath::Piece::quadratic) {
                const Point2 a = from, c = path.points[p], b = path.points[p + 1];
                along([&](double t) {
                    const double u = 1 - t;
                    return Point2{u * u * a.x + 2 * u * t * c.x + t * t * b.x, u * u * a.y + 2 * u * t * c.y + t * t * b.y};
                });
                from = b, p += 2;
            } else {
                const Point2 a = from, c = path.points[p], d = path.points[p + 1], b = path.points[p + 2];
                along([&](double t) {
                    const double u = 1 - t;
                    return Point2{u * u * u * a.x + 3 * u * u * t * c.x + 3 * u * t * t * d.x + t * t * t * b.x,
                                  u * u * u * a.y + 3 * u * u * t * c.y + 3 * u * t * t * d.y + t * t * t * b.y};
                });
                from = b, p += 3;
            }
        }
        if (path.closed) {
            const Point2 a = from, b = path.start;
            along([&](double t) { return Point2{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t}; });
        }
    }
    return out;
}

// A mask's edges: the midpoints of the sides between a set and an unset pixel, and with
// `closedAtBorder` also the sides of set pixels on the picture's border (shapes the border cuts
// are closed along it).
inline std::vector<Point2> maskEdges(int width, int height, const std::vector<bool>& set, bool closedAtBorder = false) {
    std::vector<Point2> out;
    auto at = [&](int x, int y) { return bool(set[std::size_t(y) * std::size_t(width) + std::size_t(x)]); };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (x + 1 < width && at(x, y) != at(x + 1, y)) out.push_back({x + 1.0, y + 0.5});
            if (y + 1 < height && at(x, y) != at(x, y + 1)) out.push_back({x + 0.5, y + 1.0});
            if (!closedAtBorder || !at(x, y)) continue;
            if (x == 0) out.push_back({0.0, y + 0.5});
            if (x == width - 1) out.push_back({double(width), y + 0.5});
            if (y == 0) out.push_back({x + 0.5, 0.0});
            if (y == height - 1) out.push_back({x + 0.5, double(height)});
        }
    }
    return out;
}

// Points bucketed by cells of the tolerance, for "is anything within the tolerance" questions.
class PointGrid {
public:
    PointGrid(const std::vector<Point2>& points, double tolerance) : tolerance_(tolerance) {
        for (const Point2& p : points) cells_[key(cell(p.x), cell(p.y))].push_back(p);
    }
    bool near(Point2 p) const {
        const std::int64_t cx = cell(p.x), cy = cell(p.y);
        for (std::int64_t dy = -1; dy <= 1; ++dy) {
            for (std::int64_t dx = -1; dx <= 1; ++dx) {
                const auto found = cells_.find(key(cx + dx, cy + dy));
                if (found == cells_.end()) continue;
                for (const Point2& q : found->second) {
                    if (std::hypot(q.x - p.x, q.y - p.y) <= tolerance_) return true;
                }
            }
        }
        return false;
    }

private:
    std::int64_t cell(double v) const { return std::int64_t(std::floor(v / tolerance_)); }
    static std::int64_t key(std::int64_t x, std::int64_t y) { return x * 1000003 + y; }
    double tolerance_;
    std::unordered_map<std::int64_t, std::vector<Point2>> cells_;
};

struct Match {
    double drawnOnEdges = 0; // share of drawn points near an edge
    double edgesDrawn = 0;   // share of edge points near something drawn
};

inline Match match(const std::vector<Point2>& drawn, const std::vector<Point2>& edges, double tolerance) {
    Match result;
    if (drawn.empty() || edges.empty()) return result;
    const PointGrid edgeGrid(edges, tolerance), drawnGrid(drawn, tolerance);
    std::size_t onEdges = 0, covered = 0;
    for (const Point2& p : drawn) onEdges += edgeGrid.near(p);
    for (const Point2& p : edges) covered += drawnGrid.near(p);
    result.drawnOnEdges = double(onEdges) / double(drawn.size());
    result.edgesDrawn = double(covered) / double(edges.size());
    return result;
}

// The one-line message a reader refuses with, or "no error".
inline std::string errorOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

} // namespace drevik::testing

#pragma once
// A drawing as people's material gives it, before it becomes Graphics.csv segments: paths of
// straight and curved pieces in the source's own coordinates (y counting downwards, as in SVG,
// fonts laid out on a page and pictures), and the rectangle of the source they belong to.
//
// The SVG reader, the text layout and the tracer produce these; placement (import/placement.hpp)
// fits them into the 16:9 picture, turns them the right way up and flattens their curves.
#include <cstdint>
#include <vector>

namespace drevik {

struct Point2 {
    double x = 0, y = 0;
    friend bool operator==(const Point2&, const Point2&) = default;
};

// One subpath: a start point, then pieces that each end where the next begins.
struct VectorPath {
    enum class Piece : std::uint8_t {
        line,      // 1 point: the end
        quadratic, // 2 points: control, end
        cubic,     // 3 points: control, control, end
    };
    Point2 start;
    std::vector<Piece> pieces;
    std::vector<Point2> points; // the pieces' points, in order
    bool closed = false;        // a last straight piece back to start

    void lineTo(Point2 end) {
        pieces.push_back(Piece::line);
        points.push_back(end);
    }
    void quadraticTo(Point2 control, Point2 end) {
        pieces.push_back(Piece::quadratic);
        points.insert(points.end(), {control, end});
    }
    void cubicTo(Point2 control1, Point2 control2, Point2 end) {
        pieces.push_back(Piece::cubic);
        points.insert(points.end(), {control1, control2, end});
    }
};

// The source rectangle the paths are fitted by (an SVG's viewport, a picture's pixels, a text's
// ink box); empty when the paths' own bounds should be used.
struct SourceBox {
    double left = 0, top = 0, width = 0, height = 0;
    bool empty() const { return !(width > 0 && height > 0); }
};

struct VectorDrawing {
    std::vector<VectorPath> paths;
    SourceBox box;
};

} // namespace drevik

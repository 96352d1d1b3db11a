#pragma once
// Shared scaffolding of the import tests: running drevik-import and drevik, and comparing a drawing's
// segments with an independent renderer's picture of the same SVG (librsvg's rsvg-convert).
//
// The comparison works in a 1280x720 picture. The SVG is rendered by rsvg-convert at the size and
// place our placement gives its viewport; its edges are the pixels with ink next to pixels without.
// A drawn point "lies on an edge" within 0.5 % of the picture's diagonal of one, and an edge pixel
// "is drawn" within the same distance of a drawn point.
#include "core/graphics_timeline.hpp"
#include "import/placement.hpp"
#include "import/svg_import.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace drevik::testing {

struct CommandResult {
    int status = -1;
    std::string output; // standard output and standard error together
};

inline std::string quoted(const std::filesystem::path& path) {
    std::string text = "'";
    for (const char c : path.string()) {
        if (c == '\'') {
            text += "'\\''";
        } else {
            text += c;
        }
    }
    return text + "'";
}

inline CommandResult runCommand(const std::string& command) {
    CommandResult result;
    std::FILE* pipe = ::popen(("( " + command + " ) 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline CommandResult runImport(const std::string& arguments) {
    return runCommand(quoted(DREVIK_IMPORT_BINARY) + " " + arguments);
}

// A picture's coverage: one byte of alpha per pixel.
struct Coverage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> alpha;
    std::uint8_t at(int x, int y) const { return alpha[static_cast<std::size_t>(y) * width + x]; }
};

inline Coverage readPngAlpha(const std::filesystem::path& location) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Coverage coverage;
    if (!png_image_begin_read_from_file(&image, location.c_str())) return coverage;
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return coverage;
    coverage.width = static_cast<int>(image.width);
    coverage.height = static_cast<int>(image.height);
    coverage.alpha.resize(pixels.size() / 4);
    for (std::size_t i = 0; i < coverage.alpha.size(); ++i) coverage.alpha[i] = pixels[i * 4 + 3];
    return coverage;
}

inline constexpr int kPictureWidth = 1280, kPictureHeight = 720;

// Pixels at most this far apart count as the same place: 0.5 % of the picture's diagonal.
inline double matchDistance() { return 0.005 * std::hypot(kPictureWidth, kPictureHeight); }

// A set of pixels of the picture and the distance of every pixel to the nearest of them
// (two-pass 3-4 chamfer distance, in pixels).
class PixelSet {
public:
    PixelSet() : marked_(static_cast<std::size_t>(kPictureWidth) * kPictureHeight, 0) {}

    void mark(double x, double y) {
        const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
        if (ix < 0 || iy < 0 || ix >= kPictureWidth || iy >= kPictureHeight) return;
        marked_[index(ix, iy)] = 1;
    }
    bool marked(int x, int y) const { return marked_[index(x, y)] != 0; }

    std::vector<float> distances() const {
        constexpr float far = 1e9f;
        std::vector<float> d(marked_.size());
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = marked_[i] ? 0.0f : far;
        auto relax = [&](int x, int y, int dx, int dy, float cost) {
            const int nx = x + dx, ny = y + dy;
            if (nx < 0 || ny < 0 || nx >= kPictureWidth || ny >= kPictureHeight) return;
            d[index(x, y)] = std::min(d[index(x, y)], d[index(nx, ny)] + cost);
        };
        for (int y = 0; y < kPictureHeight; ++y) {
            for (int x = 0; x < kPictureWidth; ++x) {
                relax(x, y, -1, 0, 1.0f), relax(x, y, 0, -1, 1.0f), relax(x, y, -1, -1, 1.4142f), relax(x, y, 1, -1, 1.4142f);
            }
        }
        for (int y = kPictureHeight - 1; y >= 0; --y) {
            for (int x = kPictureWidth - 1; x >= 0; --x) {
                relax(x, y, 1, 0, 1.0f), relax(x, y, 0, 1, 1.0f), relax(x, y, 1, 1, 1.4142f), relax(x, y, -1, 1, 1.4142f);
            }
        }
        return d;
    }

    static std::size_t index(int x, int y) { return static_cast<std::size_t>(y) * kPictureWidth + x; }

private:
    std::vector<std::uint8_t> marked_;
};

struct Agreement {
    double drawnOnEdges = 0; // share of drawn points within matchDistance of a rendered edge
    double edgesDrawn = 0;   // share of rendered edge pixels within matchDistance of a drawn point
    std::size_t drawnPoints = 0, edgePixels = 0;
};

// rsvg-convert's picture of the SVG at width x height, with a stylesheet when one is given ("%w" in
// it becomes the length of 1.5 pixels in the units of the SVG's outermost viewport).
inline Coverage renderWithLibrsvg(const std::filesystem::path& svg, int width, int height, double boxWidth,
                                  const std::filesystem::path& scratch, const std::string& stylesheet) {
    const std::filesystem::path png = scratch / (svg.stem().string() + std::to_string(stylesheet.size()) + ".png");
    std::string command = "rsvg-convert -w " + std::to_string(width) + " -h " + std::to_string(height);
    if (!stylesheet.empty()) {
        const std::filesystem::path css = scratch / "style.css";
        std::string text = stylesheet;
        const std::size_t mark = text.find("%w");
        if (mark != std::string::npos) text.replace(mark, 2, std::to_string(1.5 * boxWidth / width));
        writeText(css, text);
        command += " -s " + quoted(css);
    }
    const CommandResult rendered = runCommand(command + " -o " + quoted(png) + " " + quoted(svg));
    EXPECT_EQ(rendered.status, 0) << rendered.output;
    const Coverage coverage = readPngAlpha(png);
    EXPECT_GT(coverage.width, 0) << "no picture from rsvg-convert for " << svg;
    return coverage;
}

// Marks the pixels with ink beside pixels without (or beside the picture's border), the picture's
// top left corner at (originX, originY).
inline void markEdges(const Coverage& coverage, int originX, int originY, PixelSet& edges) {
    constexpr std::uint8_t ink = 2; // also the faint lines of strokes that a transform shrinks
    for (int y = 0; y < coverage.height; ++y) {
        for (int x = 0; x < coverage.width; ++x) {
            if (coverage.at(x, y) < ink) continue;
            const bool border = x == 0 || y == 0 || x == coverage.width - 1 || y == coverage.height - 1;
            if (border || coverage.at(x - 1, y) < ink || coverage.at(x + 1, y) < ink || coverage.at(x, y - 1) < ink ||
                coverage.at(x, y + 1) < ink) {
                edges.mark(originX + x + 0.5, originY + y + 0.5);
            }
        }
    }
}

// Our segments of one frame against rsvg-convert's renderings of the SVG, both in the picture: one
// rendering for each stylesheet given (an empty one: the SVG as it is), whose edges count together.
inline Agreement compareWithRenderer(const std::filesystem::path& svg, std::span<const PackedLine> segments,
                                     const SourceBox& box, const Placement& placement,
                                     const std::filesystem::path& scratch, const std::vector<std::string>& stylesheets) {
    // The viewport's corners in the picture's pixels (y downwards).
    const Point2 topLeft = placement.map({box.left, box.top});
    const Point2 bottomRight = placement.map({box.left + box.width, box.top + box.height});
    const int originX = static_cast<int>(std::lround(topLeft.x * kPictureWidth));
    const int originY = static_cast<int>(std::lround((1 - topLeft.y) * kPictureHeight));
    const int width = static_cast<int>(std::lround((bottomRight.x - topLeft.x) * kPictureWidth));
    const int height = static_cast<int>(std::lround((topLeft.y - bottomRight.y) * kPictureHeight));
    PixelSet edges;
    for (const std::string& stylesheet : stylesheets) {
        markEdges(renderWithLibrsvg(svg, width, height, box.width, scratch, stylesheet), originX, originY, edges);
    }
    Agreement agreement;
    // Drawn points: every segment sampled at least once a pixel.
    PixelSet drawn;
    std::vector<std::array<double, 2>> points;
    for (const PackedLine& line : segments) {
        const double x1 = line.endpoints.x * kPictureWidth, y1 = (1 - line.endpoints.y) * kPictureHeight;
        const double x2 = line.endpoints.z * kPictureWidth, y2 = (1 - line.endpoints.w) * kPictureHeight;
        const int steps = std::max(1, static_cast<int>(std::ceil(std::hypot(x2 - x1, y2 - y1))));
        for (int i = 0; i <= steps; ++i) {
            const double t = static_cast<double>(i) / steps;
            points.push_back({x1 + (x2 - x1) * t, y1 + (y2 - y1) * t});
            drawn.mark(points.back()[0], points.back()[1]);
        }
    }
    const std::vector<float> toEdge = edges.distances();
    const std::vector<float> toDrawn = drawn.distances();
    const double limit = matchDistance();
    std::size_t near = 0;
    for (const auto& p : points) {
        const int ix = std::clamp(static_cast<int>(p[0]), 0, kPictureWidth - 1);
        const int iy = std::clamp(static_cast<int>(p[1]), 0, kPictureHeight - 1);
        near += toEdge[PixelSet::index(ix, iy)] <= limit;
    }
    std::size_t edgeCount = 0, edgeNear = 0;
    for (int y = 0; y < kPictureHeight; ++y) {
        for (int x = 0; x < kPictureWidth; ++x) {
            if (!edges.marked(x, y)) continue;
            ++edgeCount;
            edgeNear += toDrawn[PixelSet::index(x, y)] <= limit;
        }
    }
    agreement.drawnPoints = points.size();
    agreement.edgePixels = edgeCount;
    agreement.drawnOnEdges = points.empty() ? 0 : static_cast<double>(near) / static_cast<double>(points.size());
    agreement.edgesDrawn = edgeCount == 0 ? 0 : static_cast<double>(edgeNear) / static_cast<double>(edgeCount);
    return agreement;
}

// Reads an SVG file as the converter does and compares its one frame with rsvg-convert's picture.
inline Agreement svgAgreement(const std::filesystem::path& svg, const std::filesystem::path& scratch,
                              const std::vector<std::string>& stylesheets = {""}) {
    const ImportedSource source = readSvgSources({svg}, std::nullopt);
    const GraphicsTimeline timeline = buildImportedTimeline(source, std::nullopt);
    const Placement placement = fitPlacement(source.drawings);
    EXPECT_FALSE(source.drawings.front().box.empty()) << svg << " has no viewport to render";
    return compareWithRenderer(svg, timeline.lines(0), source.drawings.front().box, placement, scratch, stylesheets);
}

} // namespace drevik::testing

// SVG drawings against an independent renderer (librsvg's rsvg-convert): real icons that nobody here
// drew, and drawings of our own that use each feature the reader handles.
#include "import_test_support.hpp"

#include <gtest/gtest.h>

namespace drevik::testing {
namespace {

// Two references for drawings with strokes, as our lines are a stroke's centre and a fill's outline:
// the drawing with every stroke thin ("%w" is about one and a half pixels in the outermost
// viewport's units) and no filters (a blur spreads ink past a shape's edge); and the drawing as
// thin solid outlines of every shape, whatever its paint, opacity or gradient (soft gradients and
// overlapping fills of one colour have no sharp edge where a shape ends).
const std::vector<std::string> kStrokeReferences = {
    "* { filter: none !important; stroke-width: %w !important; }",
    "* { fill: none !important; stroke: #000 !important; stroke-width: %w !important; "
    "opacity: 1 !important; stroke-opacity: 1 !important; filter: none !important; }"};

// Every `stride`-th SVG of a folder of a Debian package, in name order.
std::vector<std::filesystem::path> sampleOf(const std::filesystem::path& folder, std::size_t stride) {
    std::vector<std::filesystem::path> all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.path().extension() == ".svg") all.push_back(entry.path());
    }
    std::sort(all.begin(), all.end());
    std::vector<std::filesystem::path> sample;
    for (std::size_t i = 0; i < all.size(); i += stride) sample.push_back(all[i]);
    return sample;
}

// The agreement over a set of files, all points and edge pixels together: at least 95 % of what is
// drawn on the reference's edges and 90 % of its edges drawn. Each file on its own keeps within a
// little of that, so that one file drawn wrongly shows (a shape's shadow faded out by a gradient in a
// group scaled a hundredfold has no edge in either reference, and costs one of Tango's icons 7 %).
void expectAgreement(const std::vector<std::filesystem::path>& files, const std::filesystem::path& scratch,
                     const std::vector<std::string>& stylesheets = {""}) {
    double drawnNear = 0, drawn = 0, edgesNear = 0, edges = 0;
    for (const auto& svg : files) {
        const Agreement agreement = svgAgreement(svg, scratch, stylesheets);
        EXPECT_GE(agreement.drawnOnEdges, 0.9) << svg << ": " << agreement.drawnPoints << " drawn points";
        EXPECT_GE(agreement.edgesDrawn, 0.85) << svg << ": " << agreement.edgePixels << " edge pixels";
        drawnNear += agreement.drawnOnEdges * static_cast<double>(agreement.drawnPoints);
        drawn += static_cast<double>(agreement.drawnPoints);
        edgesNear += agreement.edgesDrawn * static_cast<double>(agreement.edgePixels);
        edges += static_cast<double>(agreement.edgePixels);
    }
    EXPECT_GE(drawnNear / drawn, 0.95);
    EXPECT_GE(edgesNear / edges, 0.90);
    std::printf("%zu files: %.1f %% of the drawn points on the reference's edges, %.1f %% of its edges drawn\n",
                files.size(), 100 * drawnNear / drawn, 100 * edgesNear / edges);
}

TEST(SvgFidelity, FilledIconsAgreeWithLibrsvg) {
    // Adwaita's symbolic icons: filled outlines, partly translucent.
    TemporaryFolder scratch;
    const auto sample = sampleOf("/usr/share/icons/Adwaita/scalable", 40);
    ASSERT_GE(sample.size(), 10u) << "adwaita-icon-theme is missing (scripts/install-deps.sh)";
    expectAgreement(sample, scratch.path());
}

TEST(SvgFidelity, DrawnIconsAgreeWithLibrsvg) {
    // Tango's icons, made in a drawing program: transforms, gradients, rectangles, arcs, strokes
    // over fills, translucency, blurs.
    TemporaryFolder scratch;
    const auto sample = sampleOf("/usr/share/icons/Tango/scalable", 60);
    ASSERT_GE(sample.size(), 10u) << "tango-icon-theme is missing (scripts/install-deps.sh)";
    expectAgreement(sample, scratch.path(), kStrokeReferences);
}

// Every path command (absolute and relative), the basic shapes, arcs, nested transforms, <use>,
// inline style, and a viewBox placed by each kind of preserveAspectRatio.
std::string featureDrawing(const std::string& preserveAspectRatio) {
    return R"svg(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"
     width="400" height="300" viewBox="0 0 200 200" preserveAspectRatio=")svg" +
           preserveAspectRatio + R"svg(">
  <defs><path id="star" d="M0,-10 L3,-3 10,-3 4,2 6,10 0,5 -6,10 -4,2 -10,-3 -3,-3z"/></defs>
  <path d="M10 10 H 40 V 40 h -10 v -10 l -5 5 L 10 40 Z" fill="black"/>
  <path d="m 50 10 c 10 0 20 10 20 20 s -10 20 -20 20 Q 40 40 45 30 T 50 10" style="fill:none;stroke:#000;stroke-width:0.2"/>
  <path d="M90 20 A 15 10 30 1 1 120 30 a 8 8 0 0 0 -10 10" fill="none" stroke="black" stroke-width="0.2"/>
  <rect x="130" y="10" width="50" height="30" rx="8" ry="5"/>
  <circle cx="30" cy="80" r="18"/>
  <ellipse cx="90" cy="80" rx="25" ry="12"/>
  <line x1="130" y1="70" x2="185" y2="95" stroke="black" stroke-width="0.2"/>
  <polyline points="10,120 30,150 50,120 70,150" fill="none" stroke="black" stroke-width="0.2"/>
  <polygon points="90,120 130,120 110,160"/>
  <g transform="translate(150 140) rotate(30)">
    <g transform="scale(1.5 0.8) skewX(10)"><rect x="-15" y="-10" width="30" height="20"/></g>
  </g>
  <g transform="matrix(1 0 0 1 20 170)"><use xlink:href="#star" x="10" y="5"/><use xlink:href="#star" x="50" y="5" transform="scale(1.2)"/></g>
</svg>
)svg";
}

TEST(SvgFidelity, EveryFeatureAgreesWithLibrsvg) {
    TemporaryFolder scratch;
    for (const char* aspect : {"xMidYMid meet", "xMinYMin meet", "xMaxYMax meet", "none", "xMidYMid slice"}) {
        SCOPED_TRACE(aspect);
        const auto svg = scratch.path() / "features.svg";
        writeText(svg, featureDrawing(aspect));
        expectAgreement({svg}, scratch.path(), kStrokeReferences);
    }
}

TEST(SvgFidelity, NothingHiddenIsDrawn) {
    // Each hidden thing stands where nothing visible is, so drawing it would put lines off the
    // rendering's edges; a visible child of a hidden-visibility group is shown, as it should be.
    TemporaryFolder scratch;
    const auto svg = scratch.path() / "hidden.svg";
    writeText(svg, R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100" viewBox="0 0 100 100">
  <defs><rect id="r" x="60" y="60" width="30" height="30"/></defs>
  <clipPath id="c"><rect x="60" y="10" width="30" height="30"/></clipPath>
  <mask id="m"><rect x="10" y="60" width="30" height="30" fill="white"/></mask>
  <marker id="k"><path d="M0 0 L 10 5 L 0 10 z"/></marker>
  <symbol id="s"><circle cx="50" cy="50" r="40"/></symbol>
  <rect x="10" y="10" width="30" height="30"/>
  <g style="display:none"><circle cx="75" cy="75" r="10"/></g>
  <g visibility="hidden"><circle cx="25" cy="75" r="10"/><rect x="45" y="45" width="10" height="10" visibility="visible"/></g>
  <circle cx="75" cy="25" r="10" opacity="0"/>
  <circle cx="75" cy="75" r="12" fill="none" stroke="none"/>
</svg>)svg");
    const ImportedSource source = readSvgSources({svg}, std::nullopt);
    EXPECT_EQ(source.drawings.front().paths.size(), 2u); // the first rectangle and the visible square
    const Agreement agreement = svgAgreement(svg, scratch.path());
    EXPECT_GE(agreement.drawnOnEdges, 0.99);
    EXPECT_GE(agreement.edgesDrawn, 0.99);
}

} // namespace
} // namespace drevik::testing

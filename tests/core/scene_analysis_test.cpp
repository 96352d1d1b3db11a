#include "core/scene_analysis.hpp"
#include "core/scene_profile.hpp"
#include "tests/core/scene_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace drevik {
namespace {

using testing::kLine;
using testing::makeTimeline;
using testing::Segment;
using testing::stripes;

SceneProfile analyzeOnly(const std::vector<Segment>& segments) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, segments}});
    return timeline.analyzeScene(timeline.nonEmptySceneSpans().at(0));
}

TEST(SceneAnalysis, SingleHorizontalSegment) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, {kLine}}});
    const SceneSpan span = timeline.nonEmptySceneSpans().at(0);
    const SceneProfile p = timeline.analyzeScene(span);

    EXPECT_EQ(p.span, span);
    EXPECT_EQ(p.representativeFrameIndex, 0);
    EXPECT_EQ(p.center, (Float2{0.5f, 0.5f}));
    EXPECT_EQ(p.extent, (Float2{0.5f, 0.001f}));
    EXPECT_EQ(p.principalAxis, (Float2{1.0f, 0.0f}));
    EXPECT_EQ(p.maximumLineCount, 1);
    EXPECT_EQ(p.density, 0.0f);
    EXPECT_EQ(p.horizontalEnergy, 1.0f);
    EXPECT_EQ(p.verticalEnergy, 0.0f);
    EXPECT_EQ(p.diagonalEnergy, 0.0f);
    EXPECT_EQ(p.orientationEntropy, 0.0f);
    EXPECT_EQ(p.elongation, 0.0f);
    EXPECT_EQ(p.radialAlignment, 0.0f);
    EXPECT_EQ(p.closureRatio, 0.0f);
    EXPECT_EQ(p.junctionRatio, 0.0f);
    EXPECT_EQ(p.cycleRatio, 0.0f);
    EXPECT_NEAR(p.meanLineLength, 0.9999994f, 2e-7f);
    EXPECT_EQ(p.family, VolumeFamily::deepPrism);
    EXPECT_EQ(p.camera, CameraChoreography::dollyProbe);
    EXPECT_EQ(p.internalRate, 0.42f);

    const PackedLine line = PackedLine::make(kLine[0], kLine[1], kLine[2], kLine[3]);
    const GeometrySeed seeds = geometrySeed(std::span<const PackedLine>(&line, 1), 1);
    EXPECT_EQ(seeds.hash, 0xAAD5F515u);
    EXPECT_EQ(seeds.g, 0x02D0CE7Cu);
    EXPECT_NEAR(seeds.seed, 0.8156507f, 1e-7f);
    EXPECT_NEAR(seeds.jitter, 0.3331636f, 1e-7f);
    EXPECT_EQ(p.seed, seeds.seed);
    EXPECT_NEAR(p.halfDepth, 0.2920f, 5e-5f);
}

TEST(SceneAnalysis, EndpointGraphOfSquareAndStar) {
    const SceneProfile square = analyzeOnly({{0.2f, 0.2f, 0.8f, 0.2f},
                                             {0.8f, 0.2f, 0.8f, 0.8f},
                                             {0.8f, 0.8f, 0.2f, 0.8f},
                                             {0.2f, 0.8f, 0.2f, 0.2f}});
    EXPECT_EQ(square.closureRatio, 1.0f);
    EXPECT_EQ(square.junctionRatio, 0.0f);
    EXPECT_EQ(square.cycleRatio, 0.25f);

    const SceneProfile star = analyzeOnly({{0.5f, 0.5f, 0.2f, 0.5f},
                                           {0.5f, 0.5f, 0.8f, 0.5f},
                                           {0.5f, 0.5f, 0.5f, 0.2f},
                                           {0.5f, 0.5f, 0.5f, 0.8f}});
    EXPECT_EQ(star.junctionRatio, 0.2f);
    EXPECT_EQ(star.closureRatio, 0.0f);
    EXPECT_EQ(star.cycleRatio, 0.0f);
    EXPECT_EQ(star.internalRate, 0.42f);

    // A segment whose ends share a key adds two to that node's degree and closes a loop.
    const SceneProfile dot = analyzeOnly({{0.4f, 0.4f, 0.4f, 0.4f}});
    EXPECT_EQ(dot.closureRatio, 1.0f);
    EXPECT_EQ(dot.cycleRatio, 1.0f);
}

TEST(SceneAnalysis, EndpointsMergeOnTheQuantisationGrid) {
    const float step = 1.0f / 65536.0f;
    EXPECT_EQ(EndpointKey::of({0.5f, 0.25f}), (EndpointKey{32768, 16384}));
    EXPECT_EQ(EndpointKey::of({0.5f + 0.4f * step, 0.25f}), EndpointKey::of({0.5f, 0.25f}));
    EXPECT_NE(EndpointKey::of({0.5f + step, 0.25f}), EndpointKey::of({0.5f, 0.25f}));
    EXPECT_EQ(EndpointKey::of({0.5f + 0.5f * step, 0.0f}).x, 32769); // halves round away from zero

    // Two segments meeting at a point written two ways: merged, the middle node has degree 2.
    const SceneProfile merged = analyzeOnly({{0.2f, 0.3f, 0.5f, 0.3f}, {0.5f + 0.4f * step, 0.3f, 0.5f, 0.6f}});
    EXPECT_NEAR(merged.closureRatio, 1.0f / 3.0f, 1e-7f);
    const SceneProfile apart = analyzeOnly({{0.2f, 0.3f, 0.5f, 0.3f}, {0.5f + step, 0.3f, 0.5f, 0.6f}});
    EXPECT_EQ(apart.closureRatio, 0.0f);
}

TEST(SceneAnalysis, UnionFindUnitesByRank) {
    UnionFind sets;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(sets.append(), i);
    }
    sets.unite(0, 1); // equal ranks: 1 goes under 0
    EXPECT_EQ(sets.root(1), 0);
    sets.unite(2, 0); // rank 0 under rank 1
    EXPECT_EQ(sets.root(2), 0);
    sets.unite(3, 4);
    sets.unite(4, 2); // equal ranks: the first argument's root survives
    EXPECT_EQ(sets.root(0), 3);
    EXPECT_EQ(sets.root(1), 3);
}

TEST(SceneAnalysis, RepresentativeIsTheMiddleOfTheBusiestFrames) {
    const GraphicsTimeline timeline =
        makeTimeline({{0.1, stripes(10)}, {0.2, stripes(100)}, {0.3, stripes(95)}, {0.4, stripes(89)}});
    const SceneProfile p = timeline.analyzeScene(timeline.nonEmptySceneSpans().at(0));
    EXPECT_EQ(p.maximumLineCount, 100);
    EXPECT_EQ(p.representativeFrameIndex, 2);
}

TEST(SceneAnalysis, DeclaredScenesSearchOnlyTheirFirstFortyPercent) {
    const std::vector<testing::FrameSpec> frames{{0.1, stripes(50)}, {0.7, stripes(500)}};
    const GraphicsTimeline declared = makeTimeline(frames, {0.0, 1.0});
    EXPECT_EQ(declared.analyzeScene(declared.nonEmptySceneSpans().at(0)).maximumLineCount, 50);

    const GraphicsTimeline runs = makeTimeline(frames);
    const SceneProfile p = runs.analyzeScene(runs.nonEmptySceneSpans().at(0));
    EXPECT_EQ(p.maximumLineCount, 500);
    EXPECT_EQ(p.representativeFrameIndex, 1);

    // No non-empty frame before the cutoff: every drawn frame of the span is a candidate.
    const GraphicsTimeline late = makeTimeline({{0.0, {}}, {0.7, stripes(20)}, {0.8, stripes(30)}}, {0.0, 1.0});
    EXPECT_EQ(late.analyzeScene(late.nonEmptySceneSpans().at(0)).maximumLineCount, 30);
}

TEST(SceneAnalysis, DensityThresholdBetween134And135Lines) {
    const SceneProfile p134 = analyzeOnly(stripes(134));
    const SceneProfile p135 = analyzeOnly(stripes(135));
    EXPECT_NEAR(p134.density, 0.5486f, 1e-4f);
    EXPECT_NEAR(p135.density, 0.5503f, 1e-4f);
    EXPECT_EQ(p134.family, VolumeFamily::deepPrism);
    EXPECT_NE(p135.family, VolumeFamily::deepPrism);
    EXPECT_EQ(analyzeOnly(stripes(11)).density, 0.0f);
    EXPECT_EQ(analyzeOnly(stripes(1024)).density, 1.0f);
}

TEST(SceneAnalysis, FamilyRulesFollowTheGeometry) {
    // Stacked horizontal stripes: elongated along y with no diagonal energy.
    EXPECT_EQ(analyzeOnly(stripes(200)).family, VolumeFamily::axialBarrel);

    // A grid of closed cells is full of cycles and junctions.
    std::vector<Segment> grid;
    for (int i = 0; i <= 12; ++i) {
        for (int j = 0; j < 12; ++j) {
            const float a = 0.1f + 0.05f * static_cast<float>(i);
            const float b0 = 0.1f + 0.05f * static_cast<float>(j);
            const float b1 = 0.1f + 0.05f * static_cast<float>(j + 1);
            grid.push_back({a, b0, a, b1});
            grid.push_back({b0, a, b1, a});
        }
    }
    const SceneProfile g = analyzeOnly(grid);
    EXPECT_GT(g.cycleRatio, 0.155f);
    EXPECT_EQ(g.family, VolumeFamily::foldedCrystal);

    // Spokes around a centre, not touching it, point radially.
    std::vector<Segment> spokes;
    for (int i = 0; i < 200; ++i) {
        const double angle = 6.283185307179586 * i / 200.0;
        const auto c = static_cast<float>(std::cos(angle));
        const auto s = static_cast<float>(std::sin(angle));
        spokes.push_back({0.5f + 0.1f * c / displayAspect, 0.5f + 0.1f * s,
                          0.5f + 0.4f * c / displayAspect, 0.5f + 0.4f * s});
    }
    const SceneProfile r = analyzeOnly(spokes);
    EXPECT_GT(r.radialAlignment, 0.99f);
    EXPECT_EQ(r.family, VolumeFamily::radialBloom);
}

TEST(SceneAnalysis, ChoreographyFollowsTheSceneIndex) {
    EXPECT_EQ(choreographyForSceneIndex(0), CameraChoreography::dollyProbe);
    EXPECT_EQ(choreographyForSceneIndex(9), CameraChoreography::galleryOrbit);
    EXPECT_EQ(choreographyForSceneIndex(10), CameraChoreography::barrelHelix);
    EXPECT_EQ(choreographyForSceneIndex(29), CameraChoreography::barrelHelix);
    EXPECT_EQ(choreographyForSceneIndex(30), CameraChoreography::dollyProbe);
    for (std::int64_t row = 0; row < 3; ++row) {
        std::array<int, 10> seen{};
        for (std::int64_t column = 0; column < 10; ++column) {
            seen[static_cast<std::size_t>(choreographyForSceneIndex(row * 10 + column))]++;
        }
        EXPECT_EQ(seen, (std::array<int, 10>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1})) << row;
    }

    // 31 runs separated by clearing frames: the 31st scene starts the pattern again.
    std::vector<testing::FrameSpec> frames;
    for (int i = 0; i < 31; ++i) {
        frames.push_back({i / 64.0, {kLine}});
        frames.push_back({(i + 0.5) / 64.0, {}});
    }
    const GraphicsTimeline timeline = makeTimeline(frames);
    const std::vector<SceneSpan> spans = timeline.nonEmptySceneSpans();
    ASSERT_EQ(spans.size(), 31u);
    EXPECT_EQ(timeline.analyzeScene(spans[9]).camera, CameraChoreography::galleryOrbit);
    EXPECT_EQ(timeline.analyzeScene(spans[10]).camera, CameraChoreography::barrelHelix);
    EXPECT_EQ(timeline.analyzeScene(spans[30]).camera, CameraChoreography::dollyProbe);
}

TEST(SceneAnalysis, SceneIndexOfSharedAndUnlistedSpans) {
    // Boundaries 0.1, 0.2 and 0.3 with no frame between them: three spans start at frame 0.
    const GraphicsTimeline shared = makeTimeline({{0.0, {kLine}}, {0.5, {kLine}}}, {0.1, 0.2, 0.3, 1.0});
    const std::vector<SceneSpan> spans = shared.nonEmptySceneSpans();
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(sceneIndexOf(spans[1], spans), 0);
    EXPECT_EQ(shared.analyzeScene(spans[1]).camera, CameraChoreography::dollyProbe);
    EXPECT_EQ(shared.analyzeScene(spans[2]).camera, CameraChoreography::dollyProbe);

    // A run after the last boundary is not listed: its index is its first frame index.
    std::vector<testing::FrameSpec> frames{{0.0, {kLine}}};
    for (int i = 1; i <= 9; ++i) {
        frames.push_back({0.5 + i * 0.01, {}});
    }
    frames.push_back({0.7, {kLine}});
    const GraphicsTimeline late = makeTimeline(frames, {0.0, 0.5});
    const std::optional<SceneSpan> run = late.sceneSpanAt(0.8);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->firstFrameIndex, 10);
    EXPECT_EQ(late.analyzeScene(*run).camera, CameraChoreography::barrelHelix);
}

TEST(SceneAnalysis, ZeroLengthSegmentsAndEmptyCovarianceStayFinite) {
    const SceneProfile p = analyzeOnly({{0.3f, 0.3f, 0.3f, 0.3f}, {0.3f, 0.3f, 0.3f, 0.3f}});
    EXPECT_EQ(p.extent, (Float2{0.001f, 0.001f}));
    EXPECT_EQ(p.principalAxis, (Float2{1.0f, 0.0f}));
    EXPECT_EQ(p.elongation, 0.0f);
    EXPECT_TRUE(std::isfinite(p.meanLineLength));
    EXPECT_TRUE(std::isfinite(p.orientationEntropy));
}

TEST(SceneAnalysis, SpansOutsideTheFramesDoNotReadOutOfBounds) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, {kLine}}, {0.5, {}}});
    for (const SceneSpan span : {SceneSpan{5, 9, 0.0, 1.0}, SceneSpan{-3, 1, 0.0, 1.0}, SceneSpan{1, 2, 0.5, 1.0}}) {
        const SceneProfile p = timeline.analyzeScene(span);
        EXPECT_EQ(p.maximumLineCount, span.firstFrameIndex == -3 ? 1 : 0);
        EXPECT_TRUE(std::isfinite(p.center.x) && std::isfinite(p.halfDepth) && std::isfinite(p.meanLineLength));
    }
}

} // namespace
} // namespace drevik

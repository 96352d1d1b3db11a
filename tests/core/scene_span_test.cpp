#include "core/graphics_timeline.hpp"
#include "core/scene_span.hpp"
#include "tests/core/scene_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace drevik {
namespace {

using testing::kLine;
using testing::makeTimeline;

const std::vector<testing::Segment> kDrawn{kLine};
const std::vector<testing::Segment> kCleared{};

TEST(SceneSpans, TimelineWithoutFramesHasNoScenes) {
    const GraphicsTimeline timeline = makeTimeline({}, {0.0, 0.5, 1.0});
    EXPECT_TRUE(timeline.nonEmptySceneSpans().empty());
    EXPECT_FALSE(timeline.sceneSpanAt(0.0));
    EXPECT_FALSE(timeline.sceneSpanAt(0.7));
    EXPECT_FALSE(timeline.sceneSpanContainingFrame(0));
    EXPECT_FALSE(timeline.declaredSceneSpan(0.0, 0.5));
    EXPECT_FALSE(timeline.declaredSceneSpanContainingTime(0.2));
}

TEST(SceneSpans, RunsEndAtEmptyFrames) {
    const GraphicsTimeline timeline =
        makeTimeline({{0.1, kDrawn}, {0.3, kCleared}, {0.5, kDrawn}, {0.7, kDrawn}});
    const std::vector<SceneSpan> expected{{0, 1, 0.1, 0.3}, {2, 4, 0.5, 1.0}};
    EXPECT_EQ(timeline.nonEmptySceneSpans(), expected);

    EXPECT_EQ(timeline.sceneSpanAt(0.2), expected[0]);
    EXPECT_FALSE(timeline.sceneSpanAt(0.35)); // the clearing frame is on screen
    EXPECT_EQ(timeline.sceneSpanAt(0.5), expected[1]);
    EXPECT_EQ(timeline.sceneSpanAt(1.5), expected[1]); // the last frame stays on screen
    EXPECT_EQ(timeline.sceneSpanContainingFrame(3), expected[1]);
    EXPECT_FALSE(timeline.sceneSpanContainingFrame(1));
}

TEST(SceneSpans, OnlyEmptyFramesGiveNoScenes) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, kCleared}, {0.5, kCleared}});
    EXPECT_TRUE(timeline.nonEmptySceneSpans().empty());
    for (double t : {0.0, 0.25, 0.5, 1.0}) {
        EXPECT_FALSE(timeline.sceneSpanAt(t)) << t;
    }
}

TEST(SceneSpans, FrameOnABoundaryBelongsToTheLaterScene) {
    const GraphicsTimeline timeline =
        makeTimeline({{0.0, kDrawn}, {0.3, kDrawn}, {0.5, kDrawn}, {0.8, kDrawn}}, {0.0, 0.5, 1.0});
    const std::vector<SceneSpan> expected{{0, 2, 0.0, 0.5}, {2, 4, 0.5, 1.0}};
    EXPECT_EQ(timeline.nonEmptySceneSpans(), expected);
    EXPECT_EQ(timeline.sceneSpanAt(0.5), expected[1]);
    EXPECT_EQ(timeline.sceneSpanAt(0.4999), expected[0]);
    EXPECT_EQ(timeline.sceneSpanContainingFrame(2), expected[1]);
}

TEST(SceneSpans, FrameOnScreenAcrossABoundaryIsSharedByBothScenes) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, kDrawn}, {0.3, kDrawn}, {0.6, kDrawn}}, {0.0, 0.5, 1.0});
    const std::vector<SceneSpan> expected{{0, 2, 0.0, 0.5}, {1, 3, 0.5, 1.0}};
    EXPECT_EQ(timeline.nonEmptySceneSpans(), expected);
    EXPECT_EQ(timeline.sceneSpanAt(0.55), expected[1]);
}

TEST(SceneSpans, TimesOutsideTheBoundariesKeepTheDeclaredScene) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, kDrawn}, {0.1, kDrawn}, {0.3, kDrawn}}, {0.2, 0.6});
    const SceneSpan declared{1, 3, 0.2, 0.6};
    EXPECT_EQ(timeline.nonEmptySceneSpans(), std::vector<SceneSpan>{declared});
    EXPECT_EQ(timeline.sceneSpanAt(0.05), declared);
    // The frame on screen at 0.7 began before the last boundary, so it keeps its declared scene.
    EXPECT_EQ(timeline.sceneSpanAt(0.7), declared);
    EXPECT_FALSE(timeline.declaredSceneSpanContainingTime(0.6));
    EXPECT_EQ(timeline.declaredSceneSpanContainingTime(0.05), declared);
}

TEST(SceneSpans, FramesAfterTheLastBoundaryFallBackToTheirRun) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, kDrawn}, {0.7, kDrawn}}, {0.2, 0.6});
    EXPECT_EQ(timeline.nonEmptySceneSpans(), (std::vector<SceneSpan>{{0, 1, 0.2, 0.6}}));
    EXPECT_EQ(timeline.sceneSpanAt(0.75), (SceneSpan{0, 2, 0.0, 1.0}));

    const GraphicsTimeline cleared = makeTimeline({{0.0, kDrawn}, {0.65, kCleared}, {0.7, kDrawn}}, {0.2, 0.6});
    EXPECT_EQ(cleared.sceneSpanAt(0.75), (SceneSpan{2, 3, 0.7, 1.0}));
    EXPECT_FALSE(cleared.sceneSpanAt(0.66));
}

TEST(SceneSpans, DeclaredIntervalOfEmptyFramesIsSkipped) {
    const GraphicsTimeline timeline =
        makeTimeline({{0.0, kDrawn}, {0.4, kCleared}, {0.45, kCleared}, {0.7, kDrawn}}, {0.0, 0.4, 0.6, 1.0});
    // The clearing frame on screen at 0.6 opens the last scene.
    const std::vector<SceneSpan> expected{{0, 1, 0.0, 0.4}, {2, 4, 0.6, 1.0}};
    EXPECT_EQ(timeline.nonEmptySceneSpans(), expected);
    EXPECT_FALSE(timeline.sceneSpanAt(0.5));
    EXPECT_FALSE(timeline.declaredSceneSpan(0.4, 0.6));
}

TEST(SceneSpans, TwoBoundariesWithoutFramesBetweenShareTheFirstFrame) {
    const GraphicsTimeline timeline = makeTimeline({{0.0, kDrawn}, {0.5, kDrawn}}, {0.1, 0.2, 0.3, 1.0});
    const std::vector<SceneSpan> expected{{0, 1, 0.1, 0.2}, {0, 1, 0.2, 0.3}, {0, 2, 0.3, 1.0}};
    EXPECT_EQ(timeline.nonEmptySceneSpans(), expected);
}

TEST(SceneSpans, OutOfRangeArgumentsGiveNone) {
    const GraphicsTimeline timeline = makeTimeline({{0.2, kDrawn}, {0.5, kDrawn}});
    EXPECT_FALSE(timeline.sceneSpanAt(0.1));
    EXPECT_FALSE(timeline.sceneSpanAt(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(timeline.sceneSpanContainingFrame(-1));
    EXPECT_FALSE(timeline.sceneSpanContainingFrame(2));
    EXPECT_EQ(timeline.sceneSpanAt(0.2), (SceneSpan{0, 2, 0.2, 1.0}));

    const GraphicsTimeline declared = makeTimeline({{0.2, kDrawn}}, {0.0, 1.0});
    EXPECT_FALSE(declared.declaredSceneSpanContainingTime(std::numeric_limits<double>::quiet_NaN()));
    // Past the end the last frame is still on screen and keeps its declared scene.
    EXPECT_EQ(declared.sceneSpanAt(std::numeric_limits<double>::infinity()), (SceneSpan{0, 1, 0.0, 1.0}));
}

// Frame times in the file are accumulated digit by digit ("0.3" reads as 0.30000000000000004),
// while boundaries are seconds divided by the duration (54 / 180 = 0.29999999999999999).
// A frame written "at" such a boundary therefore starts just after it, and the frame before
// stays on screen across the boundary: it is shared by both scenes.
TEST(SceneSpans, FrameJustAfterABoundaryIsNotOnIt) {
    const double frameTime = 0.30000000000000004;
    const double boundary = 54.0 / 180.0;
    ASSERT_LT(boundary, frameTime);
    const GraphicsTimeline timeline = makeTimeline({{0.0, kDrawn}, {frameTime, kDrawn}}, {0.0, boundary, 1.0}, 180);
    const std::vector<SceneSpan> expected{{0, 1, 0.0, boundary}, {0, 2, boundary, 1.0}};
    EXPECT_EQ(timeline.nonEmptySceneSpans(), expected);
}

} // namespace
} // namespace drevik

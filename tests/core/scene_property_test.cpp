// Generated drawings: analysis and poses are deterministic, every profile field stays within
// its documented range, every pose is finite.
#include "core/scene_analysis.hpp"
#include "core/volumetric_camera.hpp"
#include "tests/core/scene_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace drevik {
namespace {

class Generator {
public:
    explicit Generator(std::uint64_t seed) : state_(seed * 2862933555777941757ull + 3037000493ull) {}
    std::uint32_t next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint32_t>(n)); }
    float unit() { return static_cast<float>(next() & 0xFFFFFF) / 16777216.0f; }
    // Coordinates that often land on a coarse grid, so that endpoints are shared.
    float coordinate() { return below(3) == 0 ? unit() : static_cast<float>(below(9)) / 8.0f; }

private:
    std::uint64_t state_;
};

GraphicsTimeline generate(std::uint64_t seed) {
    Generator g(seed);
    std::vector<testing::FrameSpec> frames;
    const int frameCount = 1 + g.below(12);
    double time = g.below(2) == 0 ? 0.0 : 0.01 * g.below(10);
    for (int f = 0; f < frameCount && time <= 1.0; ++f) {
        std::vector<testing::Segment> segments;
        const int count = g.below(5) == 0 ? 0 : 1 + g.below(g.below(4) == 0 ? 400 : 20);
        for (int s = 0; s < count; ++s) {
            if (s > 0 && g.below(3) == 0) { // continue from the previous endpoint
                const testing::Segment& prev = segments.back();
                segments.push_back({prev[2], prev[3], g.coordinate(), g.coordinate()});
            } else {
                segments.push_back({g.coordinate(), g.coordinate(), g.coordinate(), g.coordinate()});
            }
        }
        frames.push_back({time, segments});
        time += 0.001 + 0.9 / frameCount * g.unit();
    }
    std::vector<double> boundaries;
    if (g.below(2) == 0) {
        double b = 0.05 * g.below(4);
        const int n = 2 + g.below(5);
        for (int i = 0; i < n && b <= 1.0; ++i) {
            boundaries.push_back(b);
            b += 0.02 + 0.3 * g.unit();
        }
        if (boundaries.size() < 2) {
            boundaries = {0.0, 1.0};
        }
    }
    return testing::makeTimeline(frames, boundaries, 60 + g.below(300));
}

void expectUnitRange(float value, const char* field) {
    EXPECT_GE(value, 0.0f) << field;
    EXPECT_LE(value, 1.0f + 1e-6f) << field;
}

bool finite(const CameraPose& p) {
    for (float v : {p.position.x, p.position.y, p.position.z, p.target.x, p.target.y, p.target.z, p.roll,
                    p.focalLength}) {
        if (!std::isfinite(v)) {
            return false;
        }
    }
    return true;
}

TEST(SceneProperties, GeneratedDrawingsGiveBoundedDeterministicProfilesAndFinitePoses) {
    int scenes = 0;
    for (std::uint64_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(::testing::Message() << "drawing " << seed);
        const GraphicsTimeline timeline = generate(seed);
        const std::vector<SceneSpan> spans = timeline.nonEmptySceneSpans();
        for (const SceneSpan& span : spans) {
            ++scenes;
            const SceneProfile p = timeline.analyzeScene(span);
            ASSERT_EQ(p, timeline.analyzeScene(span));
            ASSERT_EQ(p, analyzeScene(timeline, span, spans));

            EXPECT_EQ(p.span, span);
            // The scene index is the first listed span with the same first frame.
            std::int64_t firstMatch = -1;
            for (std::size_t k = 0; k < spans.size() && firstMatch < 0; ++k) {
                if (spans[k].firstFrameIndex == span.firstFrameIndex) {
                    firstMatch = static_cast<std::int64_t>(k);
                }
            }
            EXPECT_EQ(sceneIndexOf(span, spans), firstMatch);
            EXPECT_EQ(p.camera, choreographyForSceneIndex(firstMatch));
            ASSERT_GE(p.representativeFrameIndex, span.firstFrameIndex);
            ASSERT_LT(p.representativeFrameIndex, span.afterLastFrameIndex);
            EXPECT_FALSE(timeline.frames[static_cast<std::size_t>(p.representativeFrameIndex)].segmentRange.empty());
            EXPECT_GE(p.extent.x, 0.001f);
            EXPECT_GE(p.extent.y, 0.001f);
            expectUnitRange(p.center.x, "center.x");
            expectUnitRange(p.center.y, "center.y");
            EXPECT_NEAR(std::hypot(p.principalAxis.x, p.principalAxis.y), 1.0f, 1e-6f);
            EXPECT_GE(p.maximumLineCount, 1);
            EXPECT_GE(p.seed, 0.0f);
            EXPECT_LT(p.seed, 1.0f);
            expectUnitRange(p.density, "density");
            expectUnitRange(p.horizontalEnergy, "horizontalEnergy");
            expectUnitRange(p.verticalEnergy, "verticalEnergy");
            expectUnitRange(p.diagonalEnergy, "diagonalEnergy");
            EXPECT_NEAR(p.horizontalEnergy + p.verticalEnergy + p.diagonalEnergy / 2, 1.0f, 1e-5f);
            expectUnitRange(p.orientationEntropy, "orientationEntropy");
            expectUnitRange(p.elongation, "elongation");
            expectUnitRange(p.radialAlignment, "radialAlignment");
            expectUnitRange(p.closureRatio, "closureRatio");
            expectUnitRange(p.junctionRatio, "junctionRatio");
            expectUnitRange(p.cycleRatio, "cycleRatio");
            EXPECT_GE(p.meanLineLength, 0.0f);
            EXPECT_TRUE(std::isfinite(p.meanLineLength));
            EXPECT_GE(p.halfDepth, 0.276f);
            EXPECT_LE(p.halfDepth, 0.648f);
            EXPECT_GE(p.internalRate, 0.1f);
            EXPECT_LE(p.internalRate, 0.42f);
            EXPECT_TRUE(volumeFamilyFromRaw(static_cast<int>(p.family)));
            EXPECT_TRUE(cameraChoreographyFromRaw(static_cast<int>(p.camera)));

            for (int i = 0; i <= 240; ++i) {
                const CameraPose pose = VolumetricCamera::pose(p, i / 240.0);
                ASSERT_TRUE(finite(pose)) << "phase " << i << "/240";
                ASSERT_EQ(pose, VolumetricCamera::pose(p, i / 240.0));
                EXPECT_GE(pose.focalLength, 1.55f);
                EXPECT_LE(pose.focalLength, 3.62f);
            }
        }
        // Every frame on screen that belongs to a listed scene is found by the time lookup too.
        for (const VisualFrame& frame : timeline.frames) {
            const auto at = timeline.sceneSpanAt(frame.time);
            EXPECT_EQ(at.has_value(), !frame.segmentRange.empty());
        }
    }
    EXPECT_GT(scenes, 300);
}

TEST(SceneProperties, NamesAndRawValues) {
    EXPECT_EQ(name(VolumeFamily::deepPrism), "deep-prism");
    EXPECT_EQ(name(VolumeFamily::spaceFrame), "space-frame");
    EXPECT_EQ(name(CameraChoreography::galleryOrbit), "gallery-orbit");
    EXPECT_EQ(name(CameraChoreography::underSlungCrescent), "under-slung-crescent");
    EXPECT_EQ(name(CameraChoreography::backsideEclipse), "backside-eclipse");
    EXPECT_FALSE(volumeFamilyFromRaw(8));
    EXPECT_FALSE(volumeFamilyFromRaw(-1));
    EXPECT_EQ(volumeFamilyFromRaw(4), VolumeFamily::torsionCage);
    EXPECT_FALSE(cameraChoreographyFromRaw(10));
    EXPECT_EQ(cameraChoreographyFromRaw(9), CameraChoreography::backsideEclipse);
}

} // namespace
} // namespace drevik

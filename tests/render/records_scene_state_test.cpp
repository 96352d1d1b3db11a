// The scene part of the uniform block: fallback, phase, closing-scene hold, volume envelope, cache.
#include "core/scene_profile.hpp"
#include "core/volumetric_camera.hpp"
#include "render/gpu_records.hpp"
#include "render/scene_state.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace drevik {
namespace {

// Non-empty frames at the given times, each a small triangle, plus empty frames where asked.
GraphicsTimeline framesAt(std::vector<double> times, double durationSeconds, std::vector<double> boundaries = {},
                          std::vector<double> emptyTimes = {}) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = durationSeconds;
    timeline.sceneBoundaries = std::move(boundaries);
    std::vector<std::pair<double, bool>> all;
    for (double t : times) {
        all.emplace_back(t, true);
    }
    for (double t : emptyTimes) {
        all.emplace_back(t, false);
    }
    std::sort(all.begin(), all.end());
    for (const auto& [time, filled] : all) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        if (filled) {
            timeline.segments.push_back(PackedLine::make(0.2f, 0.2f, 0.8f, 0.3f));
            timeline.segments.push_back(PackedLine::make(0.8f, 0.3f, 0.5f, 0.9f));
            timeline.segments.push_back(PackedLine::make(0.5f, 0.9f, 0.2f, 0.2f));
        }
        timeline.frames.push_back({time, {first, static_cast<std::int64_t>(timeline.segments.size())}});
    }
    return timeline;
}

void expectPose(const SceneRenderState& state, const CameraPose& pose) {
    EXPECT_EQ(state.camera, (Float4{pose.position.x, pose.position.y, pose.position.z, pose.roll}));
    EXPECT_EQ(state.targetNear, (Float4{pose.target.x, pose.target.y, pose.target.z, pose.nearPlane}));
    EXPECT_EQ(state.projection, (Float4{pose.farPlane, pose.focalLength, 0, 0}));
}

TEST(SceneState, NoSceneOnScreenGivesTheFlatDrawingSeenFromHome) {
    const auto timeline = framesAt({0.2, 0.6}, 100, {}, {0.4});
    SceneProfileCache cache;
    for (double t : {0.1, 0.45, std::numeric_limits<double>::quiet_NaN()}) {
        const SceneRenderState state = sceneState(timeline, t, cache);
        EXPECT_EQ(state.scene, (Float4{0, 0, 0, 0})) << t;
        EXPECT_EQ(state.model, (Float4{0.5f, 0.5f, 1, 1}));
        EXPECT_EQ(state.profile, (Float4{0, 0, 0, 0}));
        EXPECT_EQ(state.traits, (Float4{0, 0, 0, 0}));
        EXPECT_EQ(state.axis, (Float4{1, 0, 0, 0}));
        expectPose(state, CameraPose::home());
        EXPECT_EQ(state, fallbackSceneState());
    }
    EXPECT_TRUE(cache.empty());
}

TEST(SceneState, VolumeEnvelopeIsExactlyFlatOrFullOutsideItsRamps) {
    for (double c : {0.0, 0.03, 0.07, 0.93, 0.95, 1.0}) {
        EXPECT_EQ(volumeEnvelope(c), 0.0) << c;
    }
    for (double c : {0.20, 0.35, 0.5, 0.80}) {
        EXPECT_EQ(volumeEnvelope(c), 1.0) << c;
    }
    EXPECT_EQ(volumeEnvelope(std::numeric_limits<double>::quiet_NaN()), 0.0);
    EXPECT_NEAR(volumeEnvelope(0.135), 0.5, 1e-12); // the middle of the rise
    EXPECT_NEAR(volumeEnvelope(0.865), 0.5, 1e-12);
    EXPECT_GT(volumeEnvelope(0.071), 0.0);
    EXPECT_LT(volumeEnvelope(0.199), 1.0);
}

TEST(SceneState, TheTwentySecondClosingSceneHoldsItsLastFiveSeconds) {
    // Scenes 0-80 s and 80-100 s of a 100-second show.
    const auto timeline = framesAt({0.0, 0.5, 0.8, 0.9}, 100, {0.0, 0.8, 1.0});
    const SceneSpan closing = *timeline.sceneSpanAt(0.85);
    ASSERT_EQ(closing.endTime, 1.0);
    EXPECT_EQ(cameraPhase(timeline, closing, 0.05), 0.05);
    EXPECT_EQ(cameraPhase(timeline, closing, 0.07), 0.07);
    EXPECT_NEAR(cameraPhase(timeline, closing, 0.41), 0.5, 1e-12);
    EXPECT_NEAR(cameraPhase(timeline, closing, 0.7499), 0.93, 1e-3);
    EXPECT_LT(cameraPhase(timeline, closing, 0.7499), 0.93);
    EXPECT_EQ(cameraPhase(timeline, closing, 0.75), 1.0);
    EXPECT_EQ(cameraPhase(timeline, closing, 1.0), 1.0);

    // The earlier scene keeps its phase.
    const SceneSpan first = *timeline.sceneSpanAt(0.3);
    EXPECT_EQ(cameraPhase(timeline, first, 0.41), 0.41);
    EXPECT_EQ(cameraPhase(timeline, first, 0.9), 0.9);

    SceneProfileCache cache;
    const SceneRenderState held = sceneState(timeline, 0.8 + 0.2 * 0.8, cache);
    EXPECT_FLOAT_EQ(held.scene.x, 0.8f); // the unstretched phase
    EXPECT_EQ(held.scene.y, 0.0f);       // volume already gone
    const SceneProfile profile = timeline.analyzeScene(closing);
    expectPose(held, VolumetricCamera::pose(profile, 1.0));

    const double t = 0.8 + 0.2 * 0.41;
    const SceneRenderState middle = sceneState(timeline, t, cache);
    const double phase = (t - 0.8) / 0.2;
    EXPECT_EQ(middle.scene.x, static_cast<float>(phase));
    EXPECT_EQ(middle.scene.y, 1.0f);
    expectPose(middle, VolumetricCamera::pose(profile, cameraPhase(timeline, closing, phase)));
}

TEST(SceneState, AClosingSceneOfFiveSecondsOrLessJumpsToItsLastPose) {
    for (double start : {0.95, 0.97}) { // 5 s and 3 s
        const auto timeline = framesAt({0.0, start}, 100, {0.0, start, 1.0});
        const SceneSpan closing = *timeline.sceneSpanAt(0.99);
        EXPECT_EQ(cameraPhase(timeline, closing, 0.07), 0.07);
        EXPECT_NEAR(cameraPhase(timeline, closing, 0.0705), 0.5, 1e-9);
        EXPECT_EQ(cameraPhase(timeline, closing, 0.071), 1.0);
        EXPECT_EQ(cameraPhase(timeline, closing, 0.5), 1.0);
        SceneProfileCache cache;
        EXPECT_EQ(sceneState(timeline, start + (1.0 - start) * 0.5, cache).scene.y, 0.0f);
    }
    // Without declared boundaries nothing is held, even in the scene that reaches the end.
    const auto runs = framesAt({0.0, 0.98}, 100);
    const SceneSpan last = *runs.sceneSpanAt(0.99);
    EXPECT_EQ(last.endTime, 1.0);
    EXPECT_EQ(cameraPhase(runs, last, 0.5), 0.5);
}

TEST(SceneState, ASceneThatStartsWhereItEndsHasPhaseZero) {
    // The run of the frame at 1.0 starts and ends at 1.0.
    const auto timeline = framesAt({0.2, 1.0}, 100, {}, {0.5});
    SceneProfileCache cache;
    const SceneRenderState state = sceneState(timeline, 1.0, cache);
    EXPECT_EQ(state.scene.x, 0.0f);
    EXPECT_EQ(state.scene.y, 0.0f);
    EXPECT_EQ(cache.size(), 1u);
}

TEST(SceneState, CarriesTheProfileAndAnalysesEachSceneOnce) {
    const auto timeline = framesAt({0.1, 0.2, 0.3, 0.6, 0.7}, 60, {}, {0.5});
    SceneProfileCache cache;
    const SceneRenderState state = sceneState(timeline, 0.25, cache);
    ASSERT_EQ(cache.size(), 1u);
    const SceneSpan span = *timeline.sceneSpanAt(0.25);
    const SceneProfile profile = timeline.analyzeScene(span);
    EXPECT_EQ(cache.at(span.firstFrameIndex), profile);
    EXPECT_EQ(state.scene.z, profile.density);
    EXPECT_EQ(state.scene.w, static_cast<float>(static_cast<int>(profile.family)));
    EXPECT_EQ(state.model, (Float4{profile.center.x, profile.center.y, profile.extent.x, profile.extent.y}));
    EXPECT_EQ(state.profile, (Float4{profile.seed, profile.halfDepth, profile.internalRate,
                                     static_cast<float>(static_cast<int>(profile.camera))}));
    EXPECT_EQ(state.traits, (Float4{profile.horizontalEnergy, profile.verticalEnergy, profile.elongation,
                                    profile.radialAlignment}));
    EXPECT_EQ(state.axis, (Float4{profile.principalAxis.x, profile.principalAxis.y, profile.orientationEntropy,
                                  profile.diagonalEnergy}));

    // Later frames of the same scene, also after visiting another, reuse the stored profile: a marked
    // entry shows through instead of a fresh analysis.
    cache.at(span.firstFrameIndex).density = 0.123f;
    sceneState(timeline, 0.65, cache);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(sceneState(timeline, 0.15, cache).scene.z, 0.123f);
    EXPECT_EQ(cache.size(), 2u);
}

TEST(UniformBlock, AssemblesEveryComponentAtItsByteOffset) {
    SceneRenderState state;
    float next = 100;
    for (Float4* v : {&state.scene, &state.model, &state.profile, &state.traits, &state.axis, &state.camera,
                      &state.targetNear, &state.projection}) {
        *v = {next, next + 1, next + 2, next + 3};
        next += 4;
    }
    AudioFeatures features;
    features.channels = {0.1f, 0.2f, 0.3f, 0.4f};
    features.energy = 0.7f;
    features.pulse = 0.9f;
    const ShaderUniforms u = assembleUniforms(1920, 1080, 300, 0.1, features, 1234, state);
    float bytes[44];
    static_assert(sizeof bytes == sizeof u);
    std::memcpy(bytes, &u, sizeof u);
    const float expectedHead[12] = {1920, 1080, static_cast<float>(300 * 0.1), 0.1f, 0.1f, 0.2f, 0.3f, 0.4f,
                                    0.7f, 0.9f, 1234, 15};
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(bytes[k], expectedHead[k]) << k;
    }
    for (int k = 12; k < 44; ++k) {
        EXPECT_EQ(bytes[k], 100.0f + static_cast<float>(k - 12)) << k;
    }
}

} // namespace
} // namespace drevik

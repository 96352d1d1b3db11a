#include "render/scene_state.hpp"

#include "core/scene_span.hpp"
#include "core/volumetric_camera.hpp"

#include <algorithm>
#include <cmath>

namespace drevik {

namespace {

double clampUnit(double u) {
    if (!(u >= 0)) {
        return 0; // also NaN
    }
    return std::min(u, 1.0);
}

double smootherstep(double u) { return u * u * u * (u * (6 * u - 15) + 10); }

float f(double value) { return static_cast<float>(value); }

float raw(VolumeFamily family) { return static_cast<float>(static_cast<int>(family)); }
float raw(CameraChoreography camera) { return static_cast<float>(static_cast<int>(camera)); }

void setPose(SceneRenderState& state, const CameraPose& pose) {
    state.camera = {pose.position.x, pose.position.y, pose.position.z, pose.roll};
    state.targetNear = {pose.target.x, pose.target.y, pose.target.z, pose.nearPlane};
    state.projection = {pose.farPlane, pose.focalLength, 0, 0};
}

} // namespace

SceneRenderState fallbackSceneState() {
    SceneRenderState state;
    state.scene = {0, 0, 0, 0};
    state.model = {0.5f, 0.5f, 1.0f, 1.0f};
    state.profile = {0, 0, 0, 0};
    state.traits = {0, 0, 0, 0};
    state.axis = {1.0f, 0, 0, 0};
    setPose(state, CameraPose::home());
    return state;
}

double cameraPhase(const GraphicsTimeline& timeline, const SceneSpan& span, double phase) {
    const auto& boundaries = timeline.sceneBoundaries;
    if (boundaries.empty() || !(std::abs(span.endTime - boundaries.back()) < 1e-7)) {
        return phase;
    }
    if (phase <= 0.07) {
        return phase;
    }
    const double sceneSeconds = timeline.durationSeconds * (span.endTime - span.startTime);
    double holdStart = 1 - std::min(sceneSeconds, 5.0) / sceneSeconds;
    if (!(holdStart >= 0.071)) {
        holdStart = 0.071;
    }
    if (phase < holdStart) {
        return 0.07 + (phase - 0.07) * (0.93 - 0.07) / (holdStart - 0.07);
    }
    return 1.0;
}

double volumeEnvelope(double c) {
    const double rise = smootherstep(clampUnit((c - 0.07) / 0.13));
    const double fall = smootherstep(clampUnit((0.93 - c) / 0.13));
    return rise * fall;
}

SceneRenderState sceneState(const GraphicsTimeline& timeline, double t, SceneProfileCache& cache) {
    if (!timeline.frameIndex(t)) {
        return fallbackSceneState();
    }
    const std::optional<SceneSpan> span = timeline.sceneSpanAt(t);
    if (!span) {
        return fallbackSceneState();
    }
    auto cached = cache.find(span->firstFrameIndex);
    if (cached == cache.end()) {
        cached = cache.emplace(span->firstFrameIndex, timeline.analyzeScene(*span)).first;
    }
    const SceneProfile& profile = cached->second;

    double phase = 0;
    if (span->startTime < span->endTime) {
        phase = (t - span->startTime) / (span->endTime - span->startTime);
        if (phase < 0) {
            phase = 0;
        } else if (phase >= 1) {
            phase = 1;
        }
    }
    const double c = cameraPhase(timeline, *span, phase);
    const double volume = volumeEnvelope(c);
    const CameraPose pose = VolumetricCamera::pose(profile, c);

    SceneRenderState state;
    state.scene = {f(phase), f(volume), profile.density, raw(profile.family)};
    state.model = {profile.center.x, profile.center.y, profile.extent.x, profile.extent.y};
    state.profile = {profile.seed, profile.halfDepth, profile.internalRate, raw(profile.camera)};
    state.traits = {profile.horizontalEnergy, profile.verticalEnergy, profile.elongation, profile.radialAlignment};
    state.axis = {profile.principalAxis.x, profile.principalAxis.y, profile.orientationEntropy,
                  profile.diagonalEnergy};
    setPose(state, pose);
    return state;
}

} // namespace drevik

#pragma once
// The scene part of the uniform block: scene phase, volume envelope, profile and camera pose.
#include "core/graphics_timeline.hpp"
#include "core/scene_profile.hpp"
#include "render/gpu_records.hpp"

#include <cstdint>
#include <unordered_map>

namespace drevik {

// Profiles of the scenes drawn so far, keyed by each scene's first frame index. Entries are
// only ever added; a renderer keeps one for its whole life and its one timeline.
using SceneProfileCache = std::unordered_map<std::int64_t, SceneProfile>;

// The state drawn when no scene is on screen: the flat drawing in place, seen from home.
SceneRenderState fallbackSceneState();

// The camera phase for a scene phase. In the scene that closes a show with declared boundaries
// the camera finishes its path early and holds its last pose through the final five seconds.
double cameraPhase(const GraphicsTimeline& timeline, const SceneSpan& span, double phase);

// How far the drawing is lifted into its volume at a camera phase: 0 up to 0.07, rising to 1
// at 0.20, 1 up to 0.80, falling to 0 at 0.93.
double volumeEnvelope(double cameraPhase);

// The scene state at normalised time t; analyses a scene at most once per cache.
SceneRenderState sceneState(const GraphicsTimeline& timeline, double t, SceneProfileCache& cache);

} // namespace drevik

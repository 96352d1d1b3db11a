#pragma once
// Internal steps of the volumetric camera, exposed for tests and the renderer's diagnostics.
#include "core/scene_profile.hpp"
#include "core/vector_types.hpp"
#include "core/volumetric_camera.hpp"

#include <span>

namespace drevik::VolumetricCamera {

// The choreography's own pose, before the framing limit.
struct AuthoredCameraPose {
    Float3 position;
    Float3 target;
    float roll = 0;
    float focalLength = 0;
    friend bool operator==(const AuthoredCameraPose&, const AuthoredCameraPose&) = default;
};

// The camera's orthonormal axes after roll.
struct CameraBasis {
    Float3 right;
    Float3 up;
    Float3 forward;
};

// Keyframe interpolation with smootherstep easing; times increasing, counts equal and non-zero.
float sample(float t, std::span<const float> times, std::span<const float> values);
Float3 sample(float t, std::span<const float> times, std::span<const Float3> values);

AuthoredCameraPose authoredPose(CameraChoreography choreography, float phase, float direction,
                                float horizontalTravel, float verticalTravel, Float3 axis, Float3 across,
                                Float3 jitter);

CameraBasis cameraBasis(Float3 directionFromTarget, float roll);

// The largest focal length that keeps every corner of the model's box inside the picture.
float safeFocalLength(const SceneProfile& profile, Float3 bounds, Float3 position, Float3 target, float roll);

// Quintic smootherstep of u clamped to 0...1.
float smootherstep(float u);

} // namespace drevik::VolumetricCamera

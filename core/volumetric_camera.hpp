#pragma once
// The camera that travels around a scene's volume during the scene.
#include "core/scene_profile.hpp"
#include "core/vector_types.hpp"

namespace drevik {

struct CameraPose {
    Float3 position;
    Float3 target;
    float roll = 0;
    float focalLength = 0;
    float nearPlane = 0;
    float farPlane = 0;
    static CameraPose home() { return {{0, 0, -3.2f}, {0, 0, 0}, 0, 3.2f, 0.05f, 16.0f}; }
    friend bool operator==(const CameraPose&, const CameraPose&) = default;
};

namespace VolumetricCamera {
// The pose for a profile at a phase of its scene (0 at the start, 1 at the end).
CameraPose pose(const SceneProfile& profile, double phase);
} // namespace VolumetricCamera

} // namespace drevik

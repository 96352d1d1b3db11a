#pragma once
// The measured geometry of one scene and the volume and camera chosen for it.
#include "core/scene_span.hpp"
#include "core/vector_types.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace drevik {

// The display aspect, 16:9 as a float (1.7777778): x is scaled by it before lengths and angles are
// measured, and the world puts the drawing 2 × displayAspect wide and 2 high. The line program
// carries the same number, checked against this one where the GPU records are defined.
inline constexpr float displayAspect = 16.0f / 9.0f;

enum class VolumeFamily : std::uint8_t {
    deepPrism = 0,
    inflatedHull = 1,
    axialBarrel = 2,
    foldedCrystal = 3,
    torsionCage = 4,
    radialBloom = 5,
    strataFrame = 6,
    spaceFrame = 7,
};

enum class CameraChoreography : std::uint8_t {
    galleryOrbit = 0,
    pendulumInspection = 1,
    craneCrown = 2,
    underSlungCrescent = 3,
    figureEight = 4,
    parallaxRail = 5,
    dollyProbe = 6,
    barrelHelix = 7,
    fiveStopScan = 8,
    backsideEclipse = 9,
};

// Hyphenated lower-case display names ("deep-prism", "gallery-orbit").
std::string_view name(VolumeFamily family);
std::string_view name(CameraChoreography choreography);
std::optional<VolumeFamily> volumeFamilyFromRaw(int raw);
std::optional<CameraChoreography> cameraChoreographyFromRaw(int raw);

struct SceneProfile {
    SceneSpan span;
    std::int64_t representativeFrameIndex = 0;
    Float2 center;
    Float2 extent;
    Float2 principalAxis;
    std::int64_t maximumLineCount = 0;
    float seed = 0;
    float density = 0;
    float horizontalEnergy = 0;
    float verticalEnergy = 0;
    float diagonalEnergy = 0;
    float orientationEntropy = 0;
    float elongation = 0;
    float radialAlignment = 0;
    float closureRatio = 0;
    float junctionRatio = 0;
    float cycleRatio = 0;
    float meanLineLength = 0;
    float halfDepth = 0;
    float internalRate = 0;
    VolumeFamily family = VolumeFamily::deepPrism;
    CameraChoreography camera = CameraChoreography::galleryOrbit;
    friend bool operator==(const SceneProfile&, const SceneProfile&) = default;
};

} // namespace drevik

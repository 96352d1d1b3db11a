#pragma once
// The two inputs the line shader reads each frame: the stroke records and the uniform block.
// Their one definition, shared with the line program, is render/shaders/shader_interface.h.
#include "core/music_timeline.hpp"
#include "core/scene_profile.hpp"
#include "core/vector_types.hpp"
#include "render/shaders/shader_interface.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace drevik {

// One line segment as the GPU sees it; record i lies at byte offset 32 * i.
using GPUStroke = shader::BasicGPUStroke<Float4>;

// The scene part of the uniform block, as sceneState computes it.
struct SceneRenderState {
    Float4 scene;      // phase, volume, density, family
    Float4 model;      // centre.xy, extent.xy
    Float4 profile;    // seed, half depth, internal rate, choreography
    Float4 traits;     // horizontal energy, vertical energy, elongation, radial alignment
    Float4 axis;       // principal axis.xy, orientation entropy, diagonal energy
    Float4 camera;     // position.xyz, roll
    Float4 targetNear; // target.xyz, near plane
    Float4 projection; // far plane, focal length, 0, 0
    friend bool operator==(const SceneRenderState&, const SceneRenderState&) = default;
};

// The 176-byte block handed to the vertex stage at buffer index 1.
using ShaderUniforms = shader::BasicShaderUniforms<Float4>;

// The role count the shader receives in dynamics.w.
inline constexpr float shaderRoleCount = static_cast<float>(shader::roleCount);

// Fills the block: viewport, clock and audio from the frame, then the scene state behind them.
ShaderUniforms assembleUniforms(double drawableWidth, double drawableHeight, double durationSeconds,
                                double normalizedTime, const AudioFeatures& features,
                                std::int64_t strokeCount, const SceneRenderState& state);

static_assert(sizeof(Float4) == 16 && alignof(Float4) == 4);
static_assert(offsetof(Float4, x) == 0 && offsetof(Float4, y) == 4 && offsetof(Float4, z) == 8 &&
              offsetof(Float4, w) == 12);

static_assert(std::is_standard_layout_v<GPUStroke> && std::is_trivially_copyable_v<GPUStroke>);
static_assert(sizeof(GPUStroke) == 32);
static_assert(offsetof(GPUStroke, endpoints) == 0 && offsetof(GPUStroke, metadata) == 16);

static_assert(std::is_standard_layout_v<ShaderUniforms> && std::is_trivially_copyable_v<ShaderUniforms>);
static_assert(sizeof(ShaderUniforms) == 176);
static_assert(offsetof(ShaderUniforms, viewportTime) == 0);
static_assert(offsetof(ShaderUniforms, audio) == 16);
static_assert(offsetof(ShaderUniforms, dynamics) == 32);
static_assert(offsetof(ShaderUniforms, scene) == 48);
static_assert(offsetof(ShaderUniforms, model) == 64);
static_assert(offsetof(ShaderUniforms, profile) == 80);
static_assert(offsetof(ShaderUniforms, traits) == 96);
static_assert(offsetof(ShaderUniforms, axis) == 112);
static_assert(offsetof(ShaderUniforms, camera) == 128);
static_assert(offsetof(ShaderUniforms, targetNear) == 144);
static_assert(offsetof(ShaderUniforms, projection) == 160);

// The family numbers the shader branches on are VolumeFamily's raw values.
static_assert(static_cast<shader::uint>(VolumeFamily::deepPrism) == shader::familyDeepPrism &&
              static_cast<shader::uint>(VolumeFamily::inflatedHull) == shader::familyInflatedHull &&
              static_cast<shader::uint>(VolumeFamily::axialBarrel) == shader::familyAxialBarrel &&
              static_cast<shader::uint>(VolumeFamily::foldedCrystal) == shader::familyFoldedCrystal &&
              static_cast<shader::uint>(VolumeFamily::torsionCage) == shader::familyTorsionCage &&
              static_cast<shader::uint>(VolumeFamily::radialBloom) == shader::familyRadialBloom &&
              static_cast<shader::uint>(VolumeFamily::strataFrame) == shader::familyStrataFrame &&
              static_cast<shader::uint>(VolumeFamily::spaceFrame) == shader::familySpaceFrame);
static_assert(shader::drawingAspect == displayAspect, "the line program and the scene analysis share one aspect");

static_assert(std::is_trivially_copyable_v<SceneRenderState>);
static_assert(sizeof(SceneRenderState) == 128);
static_assert(offsetof(SceneRenderState, scene) == 0 && offsetof(SceneRenderState, model) == 16 &&
              offsetof(SceneRenderState, profile) == 32 && offsetof(SceneRenderState, traits) == 48 &&
              offsetof(SceneRenderState, axis) == 64 && offsetof(SceneRenderState, camera) == 80 &&
              offsetof(SceneRenderState, targetNear) == 96 && offsetof(SceneRenderState, projection) == 112);

} // namespace drevik

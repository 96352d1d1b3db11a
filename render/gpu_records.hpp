#pragma once
// The two inputs the line shader reads each frame: the stroke records and the uniform block.
// Both are shared byte for byte with render/shaders/line.glsl; change one side, change the other.
#include "core/music_timeline.hpp"
#include "core/vector_types.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace drevik {

// One line segment as the GPU sees it; record i lies at byte offset 32 * i.
struct GPUStroke {
    Float4 endpoints; // x1, y1, x2, y2 in normalised drawing coordinates
    Float4 metadata;  // age, seed, frame time, ownership bits (0...3) as a float
    friend bool operator==(const GPUStroke&, const GPUStroke&) = default;
};

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
struct ShaderUniforms {
    Float4 viewportTime; // width, height, show seconds, normalised time
    Float4 audio;        // the four channel levels
    Float4 dynamics;     // energy, pulse, stroke count, role count
    Float4 scene;
    Float4 model;
    Float4 profile;
    Float4 traits;
    Float4 axis;
    Float4 camera;
    Float4 targetNear;
    Float4 projection;
    friend bool operator==(const ShaderUniforms&, const ShaderUniforms&) = default;
};

// The role count the shader receives in dynamics.w.
inline constexpr float shaderRoleCount = 15.0f;

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

static_assert(std::is_trivially_copyable_v<SceneRenderState>);
static_assert(sizeof(SceneRenderState) == 128);
static_assert(offsetof(SceneRenderState, scene) == 0 && offsetof(SceneRenderState, model) == 16 &&
              offsetof(SceneRenderState, profile) == 32 && offsetof(SceneRenderState, traits) == 48 &&
              offsetof(SceneRenderState, axis) == 64 && offsetof(SceneRenderState, camera) == 80 &&
              offsetof(SceneRenderState, targetNear) == 96 && offsetof(SceneRenderState, projection) == 112);

} // namespace drevik

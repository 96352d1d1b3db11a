// The interface between the renderer and the line program: the stroke record, the per-frame
// uniform block, the role and family numbers and the drawing's aspect. This file is the only
// definition of them. It is written in the common subset of C++ and GLSL: the line program
// includes it through the shader compiler's #include (the text is embedded at build time), and
// C++ includes it directly (render/gpu_records.hpp, the shader tests' kernel harness).
//
// In C++ the records are class templates over the four-float type, so that the renderer can use
// Float4 and the tests an indexable array with the same layout; the names shared with GLSL live
// in namespace drevik::shader. In GLSL the templates are plain structs of vec4.
//
// Layout: every member is a four-float vector of 16 bytes and the blocks use std430, so the
// offsets are those of a tightly packed C++ struct of four-float vectors (GPUStroke: 32 bytes,
// ShaderUniforms: 176 bytes).
#ifndef DREVIK_SHADER_INTERFACE_H
#define DREVIK_SHADER_INTERFACE_H

#ifdef __cplusplus
#include <cstdint>
namespace drevik::shader {
using uint = std::uint32_t;
#define DREVIK_SHARED_CONST inline constexpr
#define DREVIK_SHARED_RECORD(name) template <typename vec4> struct Basic##name
#else
#define DREVIK_SHARED_CONST const
#define DREVIK_SHARED_RECORD(name) struct name
#endif

// One line segment; record i lies at byte offset 32 * i of the stroke buffer.
DREVIK_SHARED_RECORD(GPUStroke) {
    vec4 endpoints; // x1, y1, x2, y2 in normalised drawing coordinates
    vec4 metadata;  // age, seed, frame time, ownership bits (0...3) as a float
#ifdef __cplusplus
    friend bool operator==(const BasicGPUStroke&, const BasicGPUStroke&) = default;
#endif
};

// The per-frame block, eleven four-float vectors.
DREVIK_SHARED_RECORD(ShaderUniforms) {
    vec4 viewportTime; // drawable width, height in pixels, show seconds, normalised time
    vec4 audio;        // channel levels: lead, counter, bass, percussion
    vec4 dynamics;     // energy, pulse, strokes per role block, role count
    vec4 scene;        // phase, volume, density, family
    vec4 model;        // centre xy, extent zw
    vec4 profile;      // scene seed, half depth, internal rate, choreography
    vec4 traits;       // horizontal energy, vertical energy, elongation, radial alignment
    vec4 axis;         // principal axis xy, orientation entropy, diagonal energy
    vec4 camera;       // position xyz, roll
    vec4 targetNear;   // target xyz, near plane
    vec4 projection;   // far plane, focal length, 0, 0
#ifdef __cplusplus
    friend bool operator==(const BasicShaderUniforms&, const BasicShaderUniforms&) = default;
#endif
};

// Width over height of the drawing's frame, 16/9 as a float.
DREVIK_SHARED_CONST float drawingAspect = 1.7777778f;

// The roles every stroke is drawn in; instance i draws record i % strokes in role i / strokes.
DREVIK_SHARED_CONST uint roleFrontShell = 0u;
DREVIK_SHARED_CONST uint roleBackShell = 1u;
DREVIK_SHARED_CONST uint roleMiddleSurface = 2u;
DREVIK_SHARED_CONST uint roleConnectorA = 3u;
DREVIK_SHARED_CONST uint roleConnectorB = 4u;
DREVIK_SHARED_CONST uint roleRibThird = 5u;
DREVIK_SHARED_CONST uint roleRibTwoThirds = 6u;
DREVIK_SHARED_CONST uint roleDiagonal = 7u;
DREVIK_SHARED_CONST uint roleCounterDiagonal = 8u;
DREVIK_SHARED_CONST uint roleFrontGlow = 9u;
DREVIK_SHARED_CONST uint roleBackGlow = 10u;
DREVIK_SHARED_CONST uint roleFirstSparkle = 11u;
DREVIK_SHARED_CONST uint roleLastSparkle = 14u;
DREVIK_SHARED_CONST uint roleCount = 15u;

// Volume family numbers, as carried in scene.w.
DREVIK_SHARED_CONST uint familyDeepPrism = 0u;
DREVIK_SHARED_CONST uint familyInflatedHull = 1u;
DREVIK_SHARED_CONST uint familyAxialBarrel = 2u;
DREVIK_SHARED_CONST uint familyFoldedCrystal = 3u;
DREVIK_SHARED_CONST uint familyTorsionCage = 4u;
DREVIK_SHARED_CONST uint familyRadialBloom = 5u;
DREVIK_SHARED_CONST uint familyStrataFrame = 6u;
DREVIK_SHARED_CONST uint familySpaceFrame = 7u;

#undef DREVIK_SHARED_CONST
#undef DREVIK_SHARED_RECORD
#ifdef __cplusplus
} // namespace drevik::shader
#endif

#endif

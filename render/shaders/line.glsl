// Drevik line program: lifts the flat drawing into a volume, expands every stroke into a
// screen-space quad per role and shades it.
//
// The host prepends "#version 450" and one stage define (DREVIK_VERTEX_STAGE,
// DREVIK_FRAGMENT_STAGE or, in the tests, DREVIK_COMPUTE_STAGE) and appends a main() that calls
// the entry point (lineVertex, lineFragment or depthFragment). Everything outside the stage
// sections is pure and shared by all stages, so the tests can run it in a compute kernel.
// `#include "name"` reads a file embedded beside this source (render/shader_includes.hpp): the
// records shared with the C++ side, then the pure parts by concern (numeric helpers, volume
// geometry, stroke roles, screen placement); the stages are here.
//
// All arithmetic is 32-bit float. Linear blends and smoothsteps use the helpers of
// line_numeric.glsl rather than the built-ins, so that every formula rounds exactly as it is
// written here.

// ---------------------------------------------------------------------------------------------
// Records, constants and bindings

// GPUStroke, ShaderUniforms, the role and family numbers and drawingAspect, shared with the C++ side.
#include "shader_interface.h"

layout(std430, set = 0, binding = 0) readonly buffer StrokeBuffer {
    GPUStroke strokes[];
};

// The per-frame block is read from a storage buffer, not a uniform buffer: a software driver may
// specialise a shader on the values of uniform loads that steer its branches, compiling and keeping
// a new variant every time they change, which is every frame here. Storage loads are never
// specialised, and the std430 layout of eleven vec4s is byte for byte the std140 one.
layout(std430, set = 0, binding = 1) readonly buffer UniformBlock {
    ShaderUniforms uniforms;
};

// ---------------------------------------------------------------------------------------------
// The pure parts, in the order they build on each other

#include "line_numeric.glsl"
#include "line_volume.glsl"
#include "line_roles.glsl"
#include "line_screen.glsl"

// ---------------------------------------------------------------------------------------------
// Stages

#ifdef DREVIK_VERTEX_STAGE
// The depth pre-pass and the colour pass share this module and must place every vertex
// identically.
invariant gl_Position;

layout(location = 0) out vec3 vertexColor;
layout(location = 1) flat out float vertexAlpha;
layout(location = 2) out float vertexSide;

void lineVertex() {
    StrokeVertex v = expandStroke(uint(gl_VertexIndex), uint(gl_InstanceIndex), uniforms);
    gl_Position = v.position;
    vertexColor = v.color;
    vertexAlpha = v.alpha;
    vertexSide = v.side;
}
#endif

#ifdef DREVIK_FRAGMENT_STAGE
layout(location = 0) in vec3 vertexColor;
layout(location = 1) flat in float vertexAlpha;
layout(location = 2) in float vertexSide;

layout(location = 0) out vec4 fragmentColor;

// Soft edge: the inner 72 % of the width is opaque, the rest fades out to the edge.
void lineFragment() {
    float edge = 1.0 - smoothCubic(0.72, 1.0, abs(vertexSide));
    fragmentColor = vec4(vertexColor, vertexAlpha * edge);
}

// Depth only: all but the outermost sliver of the quad writes depth.
void depthFragment() {
    if (abs(vertexSide) > 0.999) {
        discard;
    }
    fragmentColor = vec4(0.0);
}
#endif

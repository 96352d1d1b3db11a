#pragma once
// The line shader's GLSL source (render/shaders/line.glsl), embedded in the program at build time.
//
// Layout of the source: no #version line; common code first, then the vertex code inside
// `#ifdef DREVIK_VERTEX_STAGE` and the fragment code inside `#ifdef DREVIK_FRAGMENT_STAGE`.
// Each entry point is a `void name()` function; gpu::Device::makeLibrary turns each into one module.
#include "render/gpu/gpu.hpp"

#include <string_view>
#include <vector>

namespace drevik {

std::string_view lineShaderSource();

// The entry points of the line shader, in the order the renderer looks them up.
inline std::vector<gpu::ShaderFunctionDescriptor> lineShaderFunctions() {
    return {{"lineVertex", gpu::ShaderStage::vertex},
            {"lineFragment", gpu::ShaderStage::fragment},
            {"depthFragment", gpu::ShaderStage::fragment}};
}

} // namespace drevik

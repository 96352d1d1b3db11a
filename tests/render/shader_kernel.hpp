#pragma once
// Runs compute kernels built from the line program's embedded source (render/shaders/line.glsl), so
// that tests can call its functions directly. Each kernel is the program's common code followed by the
// test's own main(); binding 0 holds the stroke records, binding 1 the uniform block and binding 2 a float
// array `results` that the kernel fills.
#include "render/shaders/shader_interface.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace drevik::testing {

using Float4 = std::array<float, 4>;

// The uniform block and the stroke record as the renderer defines them, over an indexable vector
// (u.scene[1]). Value-initialise them ({}): the arrays have no default values of their own.
struct KernelUniforms : shader::BasicShaderUniforms<Float4> {
    // The home camera over a whole-picture model with volume 0, at the given viewport size.
    static KernelUniforms home(float width, float height);
};
static_assert(sizeof(KernelUniforms) == 176);

using KernelStroke = shader::BasicGPUStroke<Float4>;
static_assert(sizeof(KernelStroke) == 32);

class ShaderKernelRunner {
public:
    // One Vulkan instance with the validation layer, on the CPU device when there is one.
    ShaderKernelRunner();
    ~ShaderKernelRunner();
    ShaderKernelRunner(const ShaderKernelRunner&) = delete;
    ShaderKernelRunner& operator=(const ShaderKernelRunner&) = delete;

    // The runner shared by all tests of the process.
    static ShaderKernelRunner& shared();

    // Compiles the program source plus `kernel` (which defines main()) as a compute shader, runs one
    // invocation and returns the first resultCount floats of `results`. Throws on any failure.
    std::vector<float> run(std::string_view kernel, const KernelUniforms& uniforms,
                           const std::vector<KernelStroke>& strokes, std::size_t resultCount);

    // Messages of the validation layer since the last call.
    std::vector<std::string> takeValidationMessages();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace drevik::testing

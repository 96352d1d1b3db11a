// The line program and the C++ side read the same bytes: every float of the uniform block and of
// the stroke records, seen from a compute kernel, sits where the renderer's structs put it.
#include "render/gpu_records.hpp"
#include "render/shader_includes.hpp"
#include "render/shader_source.hpp"
#include "tests/render/shader_kernel.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace drevik::testing {
namespace {

struct Field {
    const char* name;
    std::size_t offset; // bytes, in the renderer's struct
};

#define DREVIK_UNIFORM_FIELD(name) Field{#name, offsetof(drevik::ShaderUniforms, name)}
const std::array<Field, 11> uniformFields = {
    DREVIK_UNIFORM_FIELD(viewportTime), DREVIK_UNIFORM_FIELD(audio),   DREVIK_UNIFORM_FIELD(dynamics),
    DREVIK_UNIFORM_FIELD(scene),        DREVIK_UNIFORM_FIELD(model),   DREVIK_UNIFORM_FIELD(profile),
    DREVIK_UNIFORM_FIELD(traits),       DREVIK_UNIFORM_FIELD(axis),    DREVIK_UNIFORM_FIELD(camera),
    DREVIK_UNIFORM_FIELD(targetNear),   DREVIK_UNIFORM_FIELD(projection)};
#undef DREVIK_UNIFORM_FIELD

#define DREVIK_STROKE_FIELD(name) Field{#name, offsetof(drevik::GPUStroke, name)}
const std::array<Field, 2> strokeFields = {DREVIK_STROKE_FIELD(endpoints), DREVIK_STROKE_FIELD(metadata)};
#undef DREVIK_STROKE_FIELD

constexpr const char* components[] = {"x", "y", "z", "w"};
constexpr float uniformBase = 1000.0f;
constexpr float strokeBase = 2000.0f;
constexpr std::size_t strokeCount = 3;

// Fills a block of plain floats so that float slot k (byte offset 4k) holds base + k.
template <typename Block>
void fillBySlot(Block& block, float base) {
    std::array<float, sizeof(Block) / sizeof(float)> slots{};
    for (std::size_t k = 0; k < slots.size(); ++k) slots[k] = base + static_cast<float>(k);
    static_assert(sizeof(slots) == sizeof(Block));
    std::memcpy(&block, slots.data(), sizeof(Block));
}

TEST(ShaderInterface, TheFieldListsCoverBothRecordsWithoutOverlap) {
    // Every member is one 16-byte vector: distinct offsets that fill the struct mean none is missing.
    std::set<std::size_t> offsets;
    for (const Field& field : uniformFields) offsets.insert(field.offset);
    EXPECT_EQ(offsets.size() * 16, sizeof(ShaderUniforms));
    offsets.clear();
    for (const Field& field : strokeFields) offsets.insert(field.offset);
    EXPECT_EQ(offsets.size() * 16, sizeof(GPUStroke));
    // The tests' view of the records has the renderer's layout.
    EXPECT_EQ(offsetof(KernelUniforms, projection), offsetof(ShaderUniforms, projection));
    EXPECT_EQ(offsetof(KernelStroke, metadata), offsetof(GPUStroke, metadata));
}

TEST(ShaderInterface, EveryFloatTheShaderReadsSitsAtTheRenderersOffset) {
    KernelUniforms uniforms{};
    fillBySlot(uniforms, uniformBase);
    std::vector<KernelStroke> strokes(strokeCount);
    for (std::size_t r = 0; r < strokeCount; ++r) {
        fillBySlot(strokes[r], strokeBase + static_cast<float>(r * sizeof(GPUStroke) / sizeof(float)));
    }

    // The kernel reads each field by its name in the program; result i is one component.
    std::string kernel = "void main() {\n";
    std::vector<float> expected;
    for (const Field& field : uniformFields) {
        for (std::size_t c = 0; c < 4; ++c) {
            kernel += "    results[" + std::to_string(expected.size()) + "] = uniforms." + field.name + "." +
                      components[c] + ";\n";
            expected.push_back(uniformBase + static_cast<float>(field.offset / sizeof(float) + c));
        }
    }
    for (std::size_t r = 0; r < strokeCount; ++r) {
        for (const Field& field : strokeFields) {
            for (std::size_t c = 0; c < 4; ++c) {
                kernel += "    results[" + std::to_string(expected.size()) + "] = strokes[" + std::to_string(r) +
                          "]." + field.name + "." + components[c] + ";\n";
                const std::size_t byte = r * sizeof(GPUStroke) + field.offset + c * sizeof(float);
                expected.push_back(strokeBase + static_cast<float>(byte / sizeof(float)));
            }
        }
    }
    kernel += "    results[" + std::to_string(expected.size()) + "] = float(strokes.length());\n";
    expected.push_back(static_cast<float>(strokeCount));
    kernel += "}\n";

    ShaderKernelRunner& runner = ShaderKernelRunner::shared();
    const std::vector<float> seen = runner.run(kernel, uniforms, strokes, expected.size());
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(seen[i], expected[i]) << "result " << i;
    }
    for (const std::string& message : runner.takeValidationMessages()) ADD_FAILURE() << "validation: " << message;
}

TEST(ShaderInterface, TheProgramSeesTheSameConstantsAsTheRenderer) {
    const std::string kernel = "void main() {\n"
                               "    results[0] = drawingAspect;\n"
                               "    results[1] = float(roleCount);\n"
                               "    results[2] = float(roleFirstSparkle);\n"
                               "    results[3] = float(roleLastSparkle);\n"
                               "    results[4] = float(familyTorsionCage);\n"
                               "    results[5] = float(familySpaceFrame);\n"
                               "}\n";
    const std::vector<float> seen = ShaderKernelRunner::shared().run(kernel, KernelUniforms{}, {}, 6);
    EXPECT_EQ(seen[0], 16.0f / 9.0f);
    EXPECT_EQ(seen[1], shaderRoleCount);
    EXPECT_EQ(seen[2], static_cast<float>(shader::roleFirstSparkle));
    EXPECT_EQ(seen[3], static_cast<float>(shader::roleLastSparkle));
    EXPECT_EQ(seen[4], static_cast<float>(VolumeFamily::torsionCage));
    EXPECT_EQ(seen[5], static_cast<float>(VolumeFamily::spaceFrame));
}

TEST(ShaderInterface, IncludesResolveOnlyFromTheEmbeddedHeaders) {
    ASSERT_TRUE(embeddedShaderHeader("shader_interface.h").has_value());
    EXPECT_EQ(*embeddedShaderHeader("shader_interface.h"), shaderInterfaceSource());
    EXPECT_FALSE(embeddedShaderHeader("missing.h").has_value());

    shaderc_compiler_t compiler = shaderc_compiler_initialize();
    shaderc_compile_options_t options = shaderc_compile_options_initialize();
    resolveEmbeddedShaderIncludes(options);
    const std::string source = "#version 450\n#include \"missing.h\"\nvoid main() {}\n";
    shaderc_compilation_result_t result = shaderc_compile_into_spv(
        compiler, source.data(), source.size(), shaderc_glsl_compute_shader, "probe.comp", "main", options);
    const bool compiled = shaderc_result_get_compilation_status(result) == shaderc_compilation_status_success;
    const std::string message = shaderc_result_get_error_message(result);
    shaderc_result_release(result);
    shaderc_compile_options_release(options);
    shaderc_compiler_release(compiler);
    EXPECT_FALSE(compiled);
    EXPECT_NE(message.find("missing.h"), std::string::npos) << message;
}

// A part of the program edited on its own must change the key of the compiled modules.
TEST(ShaderInterface, TheKeyTextOfTheProgramCarriesEveryFileItIncludes) {
    const std::string_view program = lineShaderSource();
    const std::string keyText = shaderSourceWithHeaders(program);
    EXPECT_EQ(keyText.rfind(program, 0), 0u);
    std::vector<std::string> included;
    for (std::size_t at = program.find("\n#include \""); at != std::string_view::npos;
         at = program.find("\n#include \"", at + 1)) {
        const std::size_t start = at + 11;
        included.emplace_back(program.substr(start, program.find('"', start) - start));
    }
    EXPECT_EQ(included, (std::vector<std::string>{"shader_interface.h", "line_numeric.glsl", "line_volume.glsl",
                                                  "line_roles.glsl", "line_screen.glsl"}));
    for (const std::string& name : included) {
        const std::optional<std::string_view> text = embeddedShaderHeader(name);
        ASSERT_TRUE(text.has_value()) << name;
        EXPECT_FALSE(text->empty()) << name;
        EXPECT_NE(keyText.find(*text), std::string::npos) << name;
    }
}

} // namespace
} // namespace drevik::testing

#include "render/shader_includes.hpp"

#include <array>
#include <memory>
#include <utility>

namespace drevik {
namespace {

struct EmbeddedHeader {
    std::string_view name;
    std::string_view (*text)();
};

constexpr std::array<EmbeddedHeader, 5> embeddedHeaders{{
    {"shader_interface.h", &shaderInterfaceSource},
    {"line_numeric.glsl", &shaderNumericSource},
    {"line_volume.glsl", &shaderVolumeSource},
    {"line_roles.glsl", &shaderRolesSource},
    {"line_screen.glsl", &shaderScreenSource},
}};

// What the resolver hands to shaderc; it owns the strings the result points at.
struct Resolved {
    shaderc_include_result result{};
    std::string name;
    std::string content;
};

shaderc_include_result* resolveInclude(void*, const char* requested, int, const char*, std::size_t) {
    auto resolved = std::make_unique<Resolved>();
    const std::string_view name = requested != nullptr ? requested : "";
    if (const std::optional<std::string_view> text = embeddedShaderHeader(name)) {
        resolved->name = std::string(name);
        resolved->content = std::string(*text);
    } else {
        // An empty source name tells shaderc that the include failed; the content is the reason.
        resolved->content = "no embedded shader header is named \"" + std::string(name) + "\"";
    }
    resolved->result.source_name = resolved->name.data();
    resolved->result.source_name_length = resolved->name.size();
    resolved->result.content = resolved->content.data();
    resolved->result.content_length = resolved->content.size();
    resolved->result.user_data = resolved.get();
    return &resolved.release()->result;
}

void releaseInclude(void*, shaderc_include_result* result) {
    delete static_cast<Resolved*>(result->user_data);
}

} // namespace

std::optional<std::string_view> embeddedShaderHeader(std::string_view name) {
    for (const EmbeddedHeader& header : embeddedHeaders) {
        if (header.name == name) return header.text();
    }
    return std::nullopt;
}

void resolveEmbeddedShaderIncludes(shaderc_compile_options_t options) {
    shaderc_compile_options_set_include_callbacks(options, &resolveInclude, &releaseInclude, nullptr);
}

std::string shaderSourceWithHeaders(std::string_view source) {
    std::string text(source);
    for (const EmbeddedHeader& header : embeddedHeaders) {
        text += "\n// --- embedded header ";
        text += header.name;
        text += " ---\n";
        text += header.text();
    }
    return text;
}

} // namespace drevik

#pragma once
// #include support for the embedded shader sources: the line program includes
// "shader_interface.h" (render/shaders/shader_interface.h) and its parts by concern
// (render/shaders/line_*.glsl), whose texts are embedded at build time like the program's own.
// Every shaderc compilation of the program, the renderer's and the tests', resolves its includes
// here.
#include <shaderc/shaderc.h>

#include <optional>
#include <string>
#include <string_view>

namespace drevik {

// The embedded texts of render/shaders/shader_interface.h and of the line program's parts.
std::string_view shaderInterfaceSource();
std::string_view shaderNumericSource();
std::string_view shaderVolumeSource();
std::string_view shaderRolesSource();
std::string_view shaderScreenSource();

// The embedded header a shader source includes under `name`; none for an unknown name.
std::optional<std::string_view> embeddedShaderHeader(std::string_view name);

// Makes compilations with these options resolve `#include "name"` from the embedded headers; an
// unknown name fails the compilation with a message that names it.
void resolveEmbeddedShaderIncludes(shaderc_compile_options_t options);

// The source followed by the name and text of every embedded header. It changes whenever what a
// compilation of the source reads changes, so it can serve as the key of compiled modules.
std::string shaderSourceWithHeaders(std::string_view source);

} // namespace drevik

#pragma once
// #include support for the embedded shader sources: the line program includes
// "shader_interface.h" (render/shaders/shader_interface.h), whose text is embedded at build time
// like the program's own. Every shaderc compilation of the program, the renderer's and the
// tests', resolves its includes here.
#include <shaderc/shaderc.h>

#include <optional>
#include <string>
#include <string_view>

namespace drevik {

// The embedded text of render/shaders/shader_interface.h.
std::string_view shaderInterfaceSource();

// The embedded header a shader source includes under `name`; none for an unknown name.
std::optional<std::string_view> embeddedShaderHeader(std::string_view name);

// Makes compilations with these options resolve `#include "name"` from the embedded headers; an
// unknown name fails the compilation with a message that names it.
void resolveEmbeddedShaderIncludes(shaderc_compile_options_t options);

// The source followed by the name and text of every embedded header. It changes whenever what a
// compilation of the source reads changes, so it can serve as the key of compiled modules.
std::string shaderSourceWithHeaders(std::string_view source);

} // namespace drevik

// Runtime GLSL compilation with libshaderc: one SPIR-V module per entry function.
//
// The source has no #version line and keeps each stage's code inside `#ifdef DREVIK_<STAGE>_STAGE`.
// A function `void f()` becomes a module by prepending the version and the stage's define and
// appending `void main() { f(); }`; the module's entry point is then named `f`.
#include "render/gpu/vulkan_internal.hpp"
#include "render/shader_includes.hpp"

#include <glslang/build_info.h>
#include <shaderc/shaderc.h>
#include <spirv-tools/libspirv.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <optional>
#include <sstream>

namespace drevik::gpu::vk {
namespace {

// The appended main() sits on this line, so an error there is about the entry function itself.
constexpr int mainLine = 900000;

struct Compiler {
    shaderc_compiler_t compiler = shaderc_compiler_initialize();
    shaderc_compile_options_t options = shaderc_compile_options_initialize();
    Compiler() {
        if (!compiler || !options) throw GpuError(GpuStage::shaderCompilation, "the shader compiler could not start");
        shaderc_compile_options_set_source_language(options, shaderc_source_language_glsl);
        shaderc_compile_options_set_target_env(options, shaderc_target_env_vulkan, shaderc_env_version_vulkan_1_1);
        // The driver optimises on its own; skipping SPIR-V optimisation keeps start-up short.
        shaderc_compile_options_set_optimization_level(options, shaderc_optimization_level_zero);
        // `#include "name"` reads the headers embedded with the program (shaderSourceWithHeaders
        // gives the source together with them, e.g. as the key of compiled modules).
        resolveEmbeddedShaderIncludes(options);
    }
    ~Compiler() {
        if (options) shaderc_compile_options_release(options);
        if (compiler) shaderc_compiler_release(compiler);
    }
    Compiler(const Compiler&) = delete;
    Compiler& operator=(const Compiler&) = delete;
};

struct Outcome {
    bool compiled = false;
    bool missing = false;       // the only errors concern the entry function's call in main()
    std::string message;
    std::vector<std::uint32_t> spirv;
};

// True when every error line of the compiler's message points at the appended main().
bool onlyMainErrors(const std::string& message) {
    const std::string marker = ":" + std::to_string(mainLine) + ":";
    std::istringstream lines(message);
    std::string line;
    bool any = false;
    while (std::getline(lines, line)) {
        if (line.find("error") == std::string::npos) continue;
        if (line.find(" errors generated") != std::string::npos || line.find(" error generated") != std::string::npos) {
            continue;
        }
        if (line.find(marker) == std::string::npos) return false;
        any = true;
    }
    return any;
}

// The compiler's message as one line: the per-error lines joined, the summary dropped.
std::string tidyMessage(const std::string& message) {
    std::istringstream lines(message);
    std::string line;
    std::string result;
    while (std::getline(lines, line)) {
        if (line.empty() || line.find(" errors generated") != std::string::npos ||
            line.find(" error generated") != std::string::npos) {
            continue;
        }
        if (!result.empty()) result += "; ";
        result += line;
    }
    return result.empty() ? message : result;
}

// glslang names a GLSL module's entry point "main" whatever the requested name; rename it in the
// module so the entry point carries the function's own name.
std::vector<std::uint32_t> renameEntryPoint(const std::vector<std::uint32_t>& module, const std::string& name) {
    constexpr std::uint32_t opEntryPoint = 15;
    std::vector<std::uint32_t> result(module.begin(), module.begin() + std::min<std::size_t>(5, module.size()));
    std::size_t at = 5;
    while (at < module.size()) {
        const std::uint32_t wordCount = module[at] >> 16;
        const std::uint32_t opcode = module[at] & 0xffffu;
        if (wordCount == 0 || at + wordCount > module.size()) {
            return module;   // malformed: leave it to the driver to reject
        }
        if (opcode != opEntryPoint || wordCount < 4) {
            result.insert(result.end(), module.begin() + static_cast<std::ptrdiff_t>(at),
                          module.begin() + static_cast<std::ptrdiff_t>(at + wordCount));
            at += wordCount;
            continue;
        }
        // Operands: execution model, function id, name (nul-terminated, padded to words), interface ids.
        std::size_t nameEnd = at + 3;
        while (nameEnd < at + wordCount && (module[nameEnd] >> 24) != 0) ++nameEnd;
        const std::size_t interfaceStart = nameEnd + 1;
        std::vector<std::uint32_t> nameWords((name.size() + 4) / 4, 0);
        std::memcpy(nameWords.data(), name.data(), name.size());
        const std::size_t newCount = 3 + nameWords.size() + (at + wordCount - interfaceStart);
        result.push_back(static_cast<std::uint32_t>(newCount << 16) | opEntryPoint);
        result.push_back(module[at + 1]);
        result.push_back(module[at + 2]);
        result.insert(result.end(), nameWords.begin(), nameWords.end());
        result.insert(result.end(), module.begin() + static_cast<std::ptrdiff_t>(interfaceStart),
                      module.begin() + static_cast<std::ptrdiff_t>(at + wordCount));
        at += wordCount;
    }
    return result;
}

std::atomic<std::uint64_t> compilations{0};

// The whole text compiled into the module of one function.
std::string moduleText(std::string_view source, const ShaderFunctionDescriptor& function) {
    const bool vertex = function.stage == ShaderStage::vertex;
    std::string text;
    text.reserve(source.size() + 256);
    text += "#version 450\n";
    text += vertex ? "#define DREVIK_VERTEX_STAGE\n" : "#define DREVIK_FRAGMENT_STAGE\n";
    text += "#line 1\n";
    text += source;
    text += "\n#line " + std::to_string(mainLine) + "\nvoid main() { " + function.name + "(); }\n";
    return text;
}

// What a cached module depends on besides its text: the compiler's versions and its options.
const std::string& compilerIdentity() {
    static const std::string identity = [] {
        unsigned version = 0;
        unsigned revision = 0;
        shaderc_get_spv_version(&version, &revision);
        return "glslang " + std::to_string(GLSLANG_VERSION_MAJOR) + "." + std::to_string(GLSLANG_VERSION_MINOR) + "." +
               std::to_string(GLSLANG_VERSION_PATCH) + GLSLANG_VERSION_FLAVOR + "; " +
               spvSoftwareVersionDetailsString() + "; spv " + std::to_string(version) + "." +
               std::to_string(revision) + "; glsl vulkan1.1 O0";
    }();
    return identity;
}

// The module's cache entry: a module holds SPIR-V, or is empty for a function the source lacks.
constexpr std::string_view cacheKind = "spirv";

std::string cacheKey(const std::string& text, const ShaderFunctionDescriptor& function, std::string_view device) {
    std::string key = "spirv module 1\n";
    key += compilerIdentity();
    key += "\n";
    key += device;
    key += function.stage == ShaderStage::vertex ? "\nvertex " : "\nfragment ";
    key += function.name;
    key += "\n";
    key += text;
    return key;
}

std::optional<Outcome> cachedOutcome(const std::vector<std::uint8_t>& payload) {
    constexpr std::uint32_t spirvMagic = 0x07230203;
    Outcome outcome;
    if (payload.empty()) {
        outcome.missing = true;
        return outcome;
    }
    if (payload.size() % 4 != 0 || payload.size() < 20) return std::nullopt;
    outcome.spirv.resize(payload.size() / 4);
    std::memcpy(outcome.spirv.data(), payload.data(), payload.size());
    if (outcome.spirv[0] != spirvMagic) return std::nullopt;
    outcome.compiled = true;
    return outcome;
}

Outcome compileOne(const Compiler& compiler, const std::string& text, const ShaderFunctionDescriptor& function) {
    const bool vertex = function.stage == ShaderStage::vertex;
    compilations.fetch_add(1, std::memory_order_relaxed);
    shaderc_compilation_result_t result = shaderc_compile_into_spv(
        compiler.compiler, text.data(), text.size(),
        vertex ? shaderc_glsl_vertex_shader : shaderc_glsl_fragment_shader, "line.glsl", function.name.c_str(),
        compiler.options);
    Outcome outcome;
    if (!result) {
        outcome.message = "the shader compiler could not run";
        return outcome;
    }
    if (shaderc_result_get_compilation_status(result) == shaderc_compilation_status_success) {
        outcome.compiled = true;
        const auto* words = reinterpret_cast<const std::uint32_t*>(shaderc_result_get_bytes(result));
        outcome.spirv = renameEntryPoint(
            std::vector<std::uint32_t>(words, words + shaderc_result_get_length(result) / sizeof(std::uint32_t)),
            function.name);
    } else {
        std::string message = shaderc_result_get_error_message(result);
        outcome.missing = onlyMainErrors(message);
        outcome.message = tidyMessage(message);
    }
    shaderc_result_release(result);
    return outcome;
}

} // namespace

std::vector<CompiledFunction> compileShaderFunctions(std::string_view source,
                                                     const std::vector<ShaderFunctionDescriptor>& functions,
                                                     const DiskCache* cache, std::string_view deviceIdentity) {
    if (source.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        throw ShaderCompileError("line.glsl: the shader source is empty");
    }
    const bool cached = cache && cache->enabled();
    std::vector<std::string> texts;
    std::vector<std::string> keys(functions.size());
    std::vector<std::optional<Outcome>> outcomes(functions.size());
    std::vector<std::size_t> toCompile;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        texts.push_back(moduleText(source, functions[i]));
        if (cached) {
            // The key covers the embedded headers the text includes, not only the text itself.
            keys[i] = cacheKey(shaderSourceWithHeaders(texts[i]), functions[i], deviceIdentity);
            if (auto payload = cache->load(cacheKind, keys[i])) outcomes[i] = cachedOutcome(*payload);
        }
        if (!outcomes[i]) toCompile.push_back(i);
    }

    if (!toCompile.empty()) {
        const Compiler compiler;
        // The modules compile in parallel: each one is independent, and compilation dominates start-up.
        std::vector<std::future<Outcome>> pending;
        for (std::size_t n = 1; n < toCompile.size(); ++n) {
            const std::size_t i = toCompile[n];
            pending.push_back(std::async(std::launch::async, [&, i] { return compileOne(compiler, texts[i], functions[i]); }));
        }
        outcomes[toCompile[0]] = compileOne(compiler, texts[toCompile[0]], functions[toCompile[0]]);
        for (std::size_t n = 1; n < toCompile.size(); ++n) {
            outcomes[toCompile[n]] = pending[n - 1].get();
        }
    }
    for (std::size_t i : toCompile) {
        const Outcome& outcome = *outcomes[i];
        if (!cached || (!outcome.compiled && !outcome.missing)) continue;
        cache->store(cacheKind, keys[i],
                     {reinterpret_cast<const std::uint8_t*>(outcome.spirv.data()), outcome.spirv.size() * 4});
    }

    std::vector<CompiledFunction> result;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        Outcome& outcome = *outcomes[i];
        if (!outcome.compiled && !outcome.missing) {
            throw ShaderCompileError(outcome.message);
        }
        result.push_back({functions[i].name, functions[i].stage, outcome.compiled, std::move(outcome.spirv)});
    }
    return result;
}

std::uint64_t shaderCompilationCount() { return compilations.load(std::memory_order_relaxed); }

} // namespace drevik::gpu::vk

#include "app/cache_folder.hpp"

#include <cstdlib>
#include <system_error>

namespace drevik {

std::filesystem::path cacheFolderFor(const char* xdgCacheHome, const char* home) {
    if (xdgCacheHome && *xdgCacheHome) {
        std::filesystem::path base(xdgCacheHome);
        if (base.is_absolute()) return (base / "drevik").lexically_normal();
    }
    if (home && *home) {
        std::filesystem::path base(home);
        if (base.is_absolute()) return (base / ".cache" / "drevik").lexically_normal();
    }
    return {};
}

std::filesystem::path prepareCacheFolder() {
    std::filesystem::path folder = cacheFolderFor(std::getenv("XDG_CACHE_HOME"), std::getenv("HOME"));
    if (folder.empty()) return folder;
    // The driver makes only the last level of its folder itself.
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    if (!std::getenv("MESA_SHADER_CACHE_DIR") && !std::getenv("MESA_GLSL_CACHE_DIR")) {
        ::setenv("MESA_SHADER_CACHE_DIR", folder.c_str(), 0);
    }
    return folder;
}

} // namespace drevik

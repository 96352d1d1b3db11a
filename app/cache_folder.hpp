#pragma once
// Where Drevik keeps what it computes once and reuses on later starts: compiled shader modules, the
// driver's pipeline cache and the software driver's own compiled-shader cache.
#include <filesystem>

namespace drevik {

// $XDG_CACHE_HOME/drevik, else $HOME/.cache/drevik; an XDG_CACHE_HOME that is not absolute is ignored.
// Empty when neither gives an absolute folder. Either argument may be null.
std::filesystem::path cacheFolderFor(const char* xdgCacheHome, const char* home);

// Start-up only, before any GPU device exists: it changes the process environment. Finds the cache
// folder for this user, makes it, and points the software driver's on-disk shader cache there
// (MESA_SHADER_CACHE_DIR, under which the driver keeps "mesa_shader_cache") unless the user has
// chosen a place for it. Returns the folder for DeviceOptions::cacheFolder; empty when there is none.
// Nothing is reported: without a usable folder the program only starts slower.
std::filesystem::path prepareCacheFolder();

} // namespace drevik

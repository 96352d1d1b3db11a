#pragma once
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <filesystem>

namespace drevik {

struct Configuration;

// Opens the interactive show and runs its event loop until the user quits. The GPU device keeps
// compiled shaders in cacheFolder (nowhere when empty).
void runShow(const GraphicsTimeline& timeline, const MusicTimeline& music, const Configuration& configuration,
             const std::filesystem::path& cacheFolder = {});

} // namespace drevik

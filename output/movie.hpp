#pragma once
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <cstdint>
#include <filesystem>

namespace drevik::MetalMovieRenderer {

// Renders the whole show, compressed or stretched into durationSeconds, as an MP4 at location. The
// GPU device keeps compiled shaders in cacheFolder (nowhere when empty).
void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           std::int64_t framesPerSecond, double durationSeconds, const GraphicsTimeline& timeline,
           const MusicTimeline& music, const std::filesystem::path& cacheFolder = {});

} // namespace drevik::MetalMovieRenderer

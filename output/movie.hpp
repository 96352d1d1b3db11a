#pragma once
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "output/output_format.hpp"

#include <cstdint>
#include <filesystem>

namespace drevik::MetalMovieRenderer {

// Renders the whole show, compressed or stretched into durationSeconds, as an MP4 at location (or in
// the format given: another codec and container, or a frame sequence folder with a 48 kHz WAV). The
// GPU device keeps compiled shaders in cacheFolder (nowhere when empty). A live progress bar is
// drawn on standard error when it is a terminal.
void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           std::int64_t framesPerSecond, double durationSeconds, const GraphicsTimeline& timeline,
           const MusicTimeline& music, const std::filesystem::path& cacheFolder = {},
           const OutputFormat& format = {});

} // namespace drevik::MetalMovieRenderer

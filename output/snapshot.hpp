#pragma once
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <cstdint>
#include <filesystem>

namespace drevik::MetalSnapshot {

// Renders the frame at normalizedTime off screen and writes it as a PNG at location.
void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           double normalizedTime, const GraphicsTimeline& timeline, const MusicTimeline& music);

} // namespace drevik::MetalSnapshot

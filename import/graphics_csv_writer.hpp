#pragma once
// Writes a drawing in time as a Graphics.csv that Drevik reads back to the same frames: a comment
// naming where it came from, the duration and scene boundaries when the drawing declares them, the
// header, then one row per segment (a clear row for an empty frame). The file appears complete or
// not at all and never replaces anything.
#include "core/graphics_timeline.hpp"

#include <filesystem>
#include <string_view>

namespace drevik {

// Throws ImportError when the drawing cannot be written as a file Drevik reads: scene boundaries
// without a declared duration, or more than maximumInputFileBytes of rows; and when the location is
// taken ("Output already exists: PATH") or cannot be written ("Could not write PATH: reason").
// Nothing is left at the location after a failure.
void writeGraphicsCsv(const std::filesystem::path& location, const GraphicsTimeline& timeline,
                      std::string_view sourceNote);

} // namespace drevik

#pragma once
// What `drevik --graphics PATH` names, told by its content: a Graphics.csv (every file that is not
// another kind, read exactly as always, a broken one included), an SVG file, a picture or video, or
// a folder of them. Sources other than Graphics.csv are imported with the converter's defaults:
// one file is one scene, the files of a folder (in the order of their names) scenes of equal
// length; a video, or a folder with videos, is traced as one animation at its own rate.
//
// A new kind of source is one more case of DrawingSourceKind, of drawingSourceKind and of
// readDrawingSource (and, for files in folders, of the folder's reading).
#include "core/graphics_timeline.hpp"
#include "import/imported_show.hpp"

#include <filesystem>
#include <optional>

namespace drevik {

enum class DrawingSourceKind { graphicsCsv, svg, picture, folder };

// By content: a folder; an SVG, a picture or video when the first bytes say so; otherwise (also when the location
// cannot be read, so that the Graphics.csv reader reports it as always) a Graphics.csv.
DrawingSourceKind drawingSourceKind(const std::filesystem::path& location);

// The source to import; none for a Graphics.csv. Throws ImportError for a source that cannot be
// read, naming it.
std::optional<ImportedSource> readDrawingSource(const std::filesystem::path& location);

// The drawing at location in time: a Graphics.csv as its reader gives it, or an imported source
// laid over showSeconds (none: not known, and not declared).
GraphicsTimeline loadDrawing(const std::filesystem::path& location, std::optional<double> showSeconds);

} // namespace drevik

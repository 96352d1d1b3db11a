#pragma once
// SVG drawings: reading one SVG file into a VectorDrawing, and the converter's `svg` form.
//
// What a renderer would show is read: paths with every command, the basic shapes, nested
// transforms, viewBox and preserveAspectRatio, <use> and inline style; a filled shape gives its
// outline and a stroked one its centre line. Hidden things are not: display:none,
// visibility:hidden, zero opacity, <defs>, clip paths, masks, markers, patterns, symbols not used.
// Text is left out with a note. The drawing's box is the SVG's viewport in its own pixels.
#include "import/import_forms.hpp"
#include "import/imported_show.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace drevik {

struct SvgDrawing {
    VectorDrawing drawing;
    bool leftOutText = false; // the file has text, which was not drawn
};

// True when the bytes begin like an SVG file: XML (an optional byte-order mark, white space,
// declarations and comments) whose first element is <svg>.
bool looksLikeSvg(std::string_view bytes);

// Reads one SVG file's bytes; `name` names it in the errors (ImportError): "NAME is not an SVG
// file.", "NAME:LINE:COLUMN: broken SVG: REASON", "NAME has nothing visible to draw."
SvgDrawing readSvg(std::string_view bytes, const std::string& name);

// SVG files in the order given: each one scene fitted on its own, or with a frame rate the frames of
// one animation, fitted together.
// Text left out is told once per file in the source's notes.
ImportedSource readSvgSources(const std::vector<std::filesystem::path>& files, std::optional<double> framesPerSecond);

// The converter's `svg` form.
ImportedSource readSvgForm(const ImportRequest& request);

} // namespace drevik

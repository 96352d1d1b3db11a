#pragma once
// drevik-import trace: pictures and videos traced into outlines.
#include "import/import_forms.hpp"
#include "import/trace_media.hpp"

namespace drevik {

// The sources traced in order. Pictures alone are each one scene, as SVG files are; with --fps,
// or once a video is among them, everything is one animation at --fps or the first video's own
// rate: a picture is one frame, a video shows each of its frames for as long as it lasts, and
// every source after the first and every cut in a video starts a scene. --threshold T (0...1)
// replaces the threshold chosen for each frame.
ImportedSource readTraceForm(const ImportRequest& request);

// The same from already parsed settings (also what --graphics uses for pictures and videos).
ImportedSource traceSources(const std::vector<std::string>& sources, const TraceMediaSettings& settings);

} // namespace drevik

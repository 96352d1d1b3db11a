#pragma once
// What a converter form reads from people's material, and how it becomes a drawing in time: the
// drawings in order, fitted together into the picture, each either one scene of equal length or,
// with a frame rate, one frame of an animation (whose cuts start scenes).
#include "platform/error.hpp"
#include "core/graphics_timeline.hpp"
#include "import/vector_drawing.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drevik {

// A source that cannot become a drawing; what() names the source and the reason.
class ImportError : public Error {
public:
    using Error::Error;
};

// The most segments one frame may have: what the renderer can hold for one moment of the show.
inline constexpr std::int64_t maximumSegmentsPerFrame = std::int64_t{1} << 22;

struct ImportedSource {
    std::vector<VectorDrawing> drawings;
    std::vector<std::string> names;        // each drawing's source as shown to the user ("logo.svg")
    std::optional<double> framesPerSecond; // frames of one animation; none: each drawing one scene
    std::vector<std::size_t> cuts;         // with a frame rate: drawings that start a new scene
    bool fitTogether = true;               // one fit for all drawings (else each its own)
    std::vector<std::string> notes;        // things left out, to tell the user (one line each)
};

// The drawing in time. With a duration, every time is placed by it and it is declared; without
// one, scenes split the show evenly, nothing is declared (durationDeclared false) and whoever plays
// it sets the length. An animation without a duration lasts its own frames (declared). Refuses a
// frame of more than maximumSegmentsPerFrame segments (ImportError naming its source).
GraphicsTimeline buildImportedTimeline(const ImportedSource& source, std::optional<double> durationSeconds);

} // namespace drevik

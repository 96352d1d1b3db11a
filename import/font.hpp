#pragma once
// What the text layout needs of a font, whichever kind it is: each character's shape as paths in
// the font's own units (y counting downwards from the baseline), the pen's advance, the kerning
// between two characters and the distance between lines.
#include "platform/error.hpp"
#include "import/vector_drawing.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drevik {

// A font that cannot be read: one line naming the file and the reason.
class FontError : public Error {
public:
    using Error::Error;
};

struct GlyphShape {
    std::vector<VectorPath> paths; // strokes (open) or outlines (closed), from the pen at (0, 0)
    double advance = 0;            // where the pen stands for the next character
};

class Font {
public:
    virtual ~Font() = default;
    // The character's shape; none when the font lacks it.
    virtual std::optional<GlyphShape> glyph(char32_t character) const = 0;
    // The pen's extra move between two characters that follow each other (0 in most fonts).
    virtual double kerning(char32_t left, char32_t right) const { (void)left, (void)right; return 0; }
    // From one line's baseline to the next.
    virtual double lineHeight() const = 0;
    // The file's name, as notes and errors show it.
    virtual const std::string& name() const = 0;
};

// The font in the file: a single-stroke font (.jhf) by its strokes, any other through the outline
// font engine. Throws FontError.
std::unique_ptr<Font> loadFont(const std::string& location);
// The single-stroke font the text form uses without --font, carried inside the program.
std::unique_ptr<Font> defaultFont();

} // namespace drevik

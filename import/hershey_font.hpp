#pragma once
// Single-stroke fonts in the .jhf text form: each character a few strokes, drawn as lines rather
// than outlines. Record k of the file is the character 32 + k; each record is a number (5
// columns), a count of coordinate pairs (3 columns), the left and right edge, then the pairs,
// each coordinate a letter counted from 'R', " R" lifting the pen. Records may wrap onto the
// next line of the file.
#include "import/font.hpp"

#include <string_view>
#include <vector>

namespace drevik {

struct HersheyGlyph {
    double left = 0, right = 0;
    std::vector<std::vector<Point2>> strokes; // y downwards, the baseline at the font's own 9
};

class HersheyFont final : public Font {
public:
    // Throws FontError naming name and the line where the file stops making sense.
    static HersheyFont fromData(std::string_view bytes, std::string name);
    static HersheyFont fromFile(const std::string& location);

    std::optional<GlyphShape> glyph(char32_t character) const override;
    double lineHeight() const override { return 32; }
    const std::string& name() const override { return name_; }

    const std::vector<HersheyGlyph>& glyphs() const { return glyphs_; } // from character 32 on

private:
    std::vector<HersheyGlyph> glyphs_;
    std::string name_;
};

} // namespace drevik

#pragma once
// TrueType and OpenType fonts through FreeType, drawn as their outlines: each character's
// contours in font units, y turned downwards, with the font's own advances and kerning.
#include "import/font.hpp"

#include <memory>

namespace drevik {

class OutlineFont final : public Font {
public:
    // Throws FontError when FreeType cannot read the file as a font, drevik::Error when the file
    // cannot be read at all.
    explicit OutlineFont(const std::string& location);
    ~OutlineFont() override;
    OutlineFont(const OutlineFont&) = delete;
    OutlineFont& operator=(const OutlineFont&) = delete;

    std::optional<GlyphShape> glyph(char32_t character) const override;
    double kerning(char32_t left, char32_t right) const override;
    double lineHeight() const override;
    const std::string& name() const override { return name_; }

private:
    struct Library;
    std::unique_ptr<Library> library_;
    std::string name_;
};

} // namespace drevik

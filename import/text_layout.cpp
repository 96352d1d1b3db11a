// Text layout: splitting the argument into lines and placing each character's shape.
#include "import/text_layout.hpp"

#include <cstdio>

namespace drevik {
namespace {

constexpr char32_t replacement = 0xFFFD;

// One character from the front of bytes; malformed, overlong or surrogate sequences read as
// U+FFFD and consume one byte.
char32_t takeCharacter(std::string_view& bytes) {
    const auto lead = static_cast<unsigned char>(bytes.front());
    int length = 1;
    char32_t value = lead;
    if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07;
    } else if (lead >= 0xE0) {
        length = lead <= 0xEF ? 3 : 0, value = lead & 0x0F;
    } else if (lead >= 0xC2) {
        length = 2, value = lead & 0x1F;
    } else if (lead >= 0x80) {
        length = 0;
    }
    if (length == 0 || std::size_t(length) > bytes.size()) {
        bytes.remove_prefix(1);
        return replacement;
    }
    for (int k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(bytes[std::size_t(k)]);
        if ((next & 0xC0) != 0x80) {
            bytes.remove_prefix(1);
            return replacement;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        bytes.remove_prefix(1);
        return replacement;
    }
    bytes.remove_prefix(std::size_t(length));
    return value;
}

} // namespace

std::vector<std::u32string> textLines(std::string_view argument) {
    std::vector<std::u32string> lines(1);
    while (!argument.empty()) {
        if (argument.front() == '\\' && argument.size() >= 2 && (argument[1] == 'n' || argument[1] == '\\')) {
            if (argument[1] == 'n') {
                lines.emplace_back();
            } else {
                lines.back() += U'\\';
            }
            argument.remove_prefix(2);
            continue;
        }
        if (argument.front() == '\n') {
            lines.emplace_back();
            argument.remove_prefix(1);
            continue;
        }
        if (argument.front() == '\r' && argument.size() >= 2 && argument[1] == '\n') {
            argument.remove_prefix(1);
            continue;
        }
        lines.back() += takeCharacter(argument);
    }
    return lines;
}

TextLayout layOutText(const std::vector<std::u32string>& lines, const Font& font) {
    TextLayout layout;
    auto noteMissing = [&](char32_t character) {
        if (layout.missingCharacters.find(character) == std::u32string::npos) {
            layout.missingCharacters += character;
        }
    };
    for (std::size_t row = 0; row < lines.size(); ++row) {
        // The line's shapes with the pen starting at 0, then moved so that its middle is at 0.
        std::vector<VectorPath> linePaths;
        double pen = 0;
        char32_t previous = 0;
        for (const char32_t character : lines[row]) {
            const std::optional<GlyphShape> shape = font.glyph(character);
            if (!shape) {
                noteMissing(character);
                continue;
            }
            if (previous != 0) {
                pen += font.kerning(previous, character);
            }
            for (VectorPath path : shape->paths) {
                path.start.x += pen;
                for (Point2& point : path.points) {
                    point.x += pen;
                }
                linePaths.push_back(std::move(path));
            }
            pen += shape->advance;
            previous = character;
        }
        const double shiftX = -pen / 2, shiftY = double(row) * font.lineHeight();
        for (VectorPath& path : linePaths) {
            path.start.x += shiftX, path.start.y += shiftY;
            for (Point2& point : path.points) {
                point.x += shiftX, point.y += shiftY;
            }
            layout.drawing.paths.push_back(std::move(path));
        }
    }
    return layout;
}

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18)), out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
    }
    return out;
}

std::string missingCharactersNote(const std::u32string& missing, const std::string& fontName) {
    std::string note = fontName + " has no characters for ";
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) {
            note += ", ";
        }
        // Characters that would not show (controls, spaces) are named by their code point.
        const char32_t c = missing[k];
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", unsigned(c));
            note += code;
        } else {
            note += "\"" + utf8(c) + "\"";
        }
    }
    return note + "; they are left out";
}

} // namespace drevik

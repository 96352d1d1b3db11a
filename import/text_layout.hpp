#pragma once
// Lines of text laid out in a font: each line centred on the same middle, one line height below
// the last, the characters' shapes moved to where the pen stands.
#include "import/font.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace drevik {

// The text given on the command line, as lines: the two characters \n (and a real line break)
// start a new line, \\ stands for one backslash. Invalid UTF-8 reads as U+FFFD.
std::vector<std::u32string> textLines(std::string_view argument);

struct TextLayout {
    VectorDrawing drawing;             // box: empty, the ink's own bounds fit the picture
    std::u32string missingCharacters;  // each once, in order of first appearance
};

TextLayout layOutText(const std::vector<std::u32string>& lines, const Font& font);

// The note on standard error for characters the font lacks, for example
// "futural.jhf has no characters for "é", "€"; they are left out".
std::string missingCharactersNote(const std::u32string& missing, const std::string& fontName);

// UTF-8 for one character.
std::string utf8(char32_t character);

} // namespace drevik

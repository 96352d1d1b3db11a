// Choosing the font reader for a file, and the single-stroke font carried inside the program.
#include "import/font.hpp"

#include "import/default_font_data.hpp" // generated from the font package at configure time
#include "import/hershey_font.hpp"
#include "import/outline_font.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace drevik {

std::unique_ptr<Font> loadFont(const std::string& location) {
    std::string extension = std::filesystem::path(location).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (extension == ".jhf") {
        return std::make_unique<HersheyFont>(HersheyFont::fromFile(location));
    }
    return std::make_unique<OutlineFont>(location);
}

std::unique_ptr<Font> defaultFont() {
    return std::make_unique<HersheyFont>(HersheyFont::fromData(defaultFontData, std::string(defaultFontName)));
}

} // namespace drevik

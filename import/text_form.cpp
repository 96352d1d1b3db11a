// The text form (see text_form.hpp).
#include "import/text_form.hpp"

#include "import/text_layout.hpp"

namespace drevik {

ImportedSource readTextForm(const ImportRequest& request) {
    std::string text;
    for (const std::string& source : request.sources) {
        text += (text.empty() ? "" : " ") + source;
    }
    const std::string* fontFile = request.option("--font");
    const std::unique_ptr<Font> font = fontFile ? loadFont(*fontFile) : defaultFont();
    TextLayout layout = layOutText(textLines(text), *font);

    ImportedSource source;
    if (!layout.missingCharacters.empty()) {
        source.notes.push_back(missingCharactersNote(layout.missingCharacters, font->name()));
    }
    if (layout.drawing.paths.empty()) {
        throw ImportError("The text draws nothing in " + font->name() + ".");
    }
    source.drawings.push_back(std::move(layout.drawing));
    source.names.push_back("The text");
    return source;
}

} // namespace drevik

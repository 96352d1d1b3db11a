#pragma once
// drevik-import text: the words given, laid out in a font, as one drawing.
#include "import/import_forms.hpp"

namespace drevik {

// The sources are the text (several are joined by spaces); --font FILE picks the font, else the
// single-stroke font carried inside the program. Characters the font lacks make one note. Text
// that draws nothing is refused (ImportError).
ImportedSource readTextForm(const ImportRequest& request);

} // namespace drevik

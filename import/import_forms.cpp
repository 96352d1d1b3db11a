// The table of the converter's forms.
#include "import/import_forms.hpp"

#include "import/svg_import.hpp"
#include "import/text_form.hpp"
#include "import/trace_form.hpp"

#include <charconv>
#include <cmath>

namespace drevik {

std::optional<double> ImportRequest::positiveNumber(std::string_view name) const {
    const std::string* text = option(name);
    if (!text) return std::nullopt;
    double value = 0;
    const char* end = text->data() + text->size();
    const auto result = std::from_chars(text->data(), end, value);
    if (result.ec != std::errc() || result.ptr != end || !std::isfinite(value) || !(value > 0)) {
        throw ImportError(std::string(name) + " needs a number greater than 0, not \"" + *text + "\".");
    }
    return value;
}

std::span<const ImportForm> importForms() {
    static const std::vector<ImportForm> forms = {
        {"svg", "FILE.svg...      -o Graphics.csv [--fps N] [--duration S | --music PATH]", {"--fps"}, readSvgForm},
        {"text", "TEXT             -o Graphics.csv [--font FILE] [--duration S | --music PATH]", {"--font"},
         readTextForm},
        {"trace", "VIDEO|IMAGE...   -o Graphics.csv [--fps N] [--threshold T] [--duration S | --music PATH]",
         {"--fps", "--threshold"}, readTraceForm},
    };
    return forms;
}

const ImportForm* findImportForm(std::string_view name) {
    for (const ImportForm& form : importForms()) {
        if (form.name == name) return &form;
    }
    return nullptr;
}

} // namespace drevik

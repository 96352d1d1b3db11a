// The table of the converter's forms.
#include "import/import_forms.hpp"

#include "import/svg_import.hpp"
#include "import/text_form.hpp"
#include "import/trace_form.hpp"

namespace drevik {

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

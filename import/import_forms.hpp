#pragma once
// The converter's forms (`drevik-import FORM ...`): each form is one reading function and one row
// of the table in import_forms.cpp, which names it, gives its usage and the options it takes.
// Options common to every form (-o, --duration, --music) are handled once, in import_command.cpp.
#include "import/imported_show.hpp"

#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drevik {

// One run of a form: its sources (the arguments that are no option) and its own options' values.
struct ImportRequest {
    std::vector<std::string> sources;
    std::map<std::string, std::string, std::less<>> options; // "--fps" -> "25"

    const std::string* option(std::string_view name) const {
        const auto found = options.find(name);
        return found == options.end() ? nullptr : &found->second;
    }
    // The option's value as a number greater than 0; none when not given; ImportError when not such a number.
    std::optional<double> positiveNumber(std::string_view name) const;
};

struct ImportForm {
    std::string_view name;                 // "svg"
    std::string_view usage;                // the arguments after the form's name, for --help
    std::vector<std::string_view> options; // the options with a value it takes beyond the common ones
    std::function<ImportedSource(const ImportRequest&)> read;
};

std::span<const ImportForm> importForms();
const ImportForm* findImportForm(std::string_view name);

} // namespace drevik

// The options of a converter's form (see import_forms.hpp), apart from the table of forms, so that
// a form's reader can be built without the others.
#include "import/import_forms.hpp"

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

} // namespace drevik

#include "core/csv_bytes.hpp"

#include <cmath>

namespace drevik {

double CSVBytes::powerOfTen(std::int64_t exponent) { return std::pow(10.0, static_cast<double>(exponent)); }

std::optional<double> CSVBytes::duration(std::string_view line) {
    if (line.empty() || line.front() != '#') {
        return std::nullopt;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    // The key is ASCII, so comparing bytes is the same as comparing decoded text.
    if (trim(line.substr(1, equals - 1)) != "duration_seconds") {
        return std::nullopt;
    }
    return number(line.substr(equals + 1));
}

} // namespace drevik

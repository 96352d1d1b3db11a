#include "core/csv_bytes.hpp"

#include <cmath>
#include <limits>

namespace drevik {

std::optional<double> CSVBytes::number(std::string_view field) {
    field = trim(field);
    const char* p = field.data();
    const char* const end = p + field.size();

    double sign = 1.0;
    if (p != end && (*p == '-' || *p == '+')) {
        sign = *p == '-' ? -1.0 : 1.0;
        ++p;
    }

    bool sawDigit = false;
    double value = 0.0;
    while (p != end && isDigit(*p)) {
        value = value * 10.0 + static_cast<double>(*p - '0');
        ++p;
        sawDigit = true;
    }
    if (p != end && *p == '.') {
        ++p;
        double weight = 0.1;
        while (p != end && isDigit(*p)) {
            value = value + static_cast<double>(*p - '0') * weight;
            weight = weight * 0.1;
            ++p;
            sawDigit = true;
        }
    }
    if (!sawDigit) {
        return std::nullopt;
    }

    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        if (p == end || !isDigit(*p)) {
            return std::nullopt;
        }
        constexpr std::int64_t maxExponent = std::numeric_limits<std::int64_t>::max();
        std::int64_t exponent = 0;
        while (p != end && isDigit(*p)) {
            const std::int64_t digit = *p - '0';
            if (exponent > (maxExponent - digit) / 10) {
                return std::nullopt; // more exponent digits than 64 bits hold
            }
            exponent = exponent * 10 + digit;
            ++p;
        }
        value = value * std::pow(10.0, static_cast<double>(negative ? -exponent : exponent));
    }

    if (p != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return sign * value;
}

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

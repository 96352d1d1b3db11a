#pragma once
// Byte-level helpers shared by the Graphics.csv and Music.csv readers.
//
// The readers never build a string per line: lines are views into the file's
// bytes, and numbers are parsed straight from those views.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <cstring>
#include <optional>
#include <string_view>

namespace drevik {

struct CSVBytes {
    CSVBytes() = delete;

    static constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }
    static constexpr bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

    // The view without leading and trailing spaces and tabs (no other byte counts as blank).
    static constexpr std::string_view trim(std::string_view view) {
        std::size_t start = 0;
        std::size_t end = view.size();
        while (start < end && isBlank(view[start])) {
            ++start;
        }
        while (end > start && isBlank(view[end - 1])) {
            --end;
        }
        return view.substr(start, end - start);
    }

    static constexpr bool hasPrefix(std::string_view view, std::string_view prefix) {
        return view.size() >= prefix.size() && view.substr(0, prefix.size()) == prefix;
    }

    // Splits data at line feeds and calls body(trimmedLine, lineNumber) for every physical
    // line, numbered from 1. One carriage return before the line feed is dropped. Data that
    // ends with a line feed yields a final empty line; empty data yields one empty line.
    // An exception thrown by body stops the loop and propagates.
    template <class Body>
    static void forEachLine(std::string_view data, Body&& body) {
        const char* cursor = data.data();
        const char* const end = cursor + data.size();
        std::int64_t lineNumber = 1;
        for (;;) {
            const char* feed =
                cursor == end ? nullptr
                              : static_cast<const char*>(std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor)));
            const char* lineEnd = feed != nullptr ? feed : end;
            std::string_view raw(cursor, static_cast<std::size_t>(lineEnd - cursor));
            if (!raw.empty() && raw.back() == '\r') {
                raw.remove_suffix(1);
            }
            body(trim(raw), lineNumber);
            if (feed == nullptr) {
                return;
            }
            cursor = feed + 1;
            ++lineNumber;
        }
    }

    // The numeric field syntax: optional sign, digits with an optional fraction (at least one
    // digit in all), optional exponent. Digits are accumulated left to right in double
    // precision, so results are not always the nearest double ("0.3" is 0.1 * 3). None for
    // anything else, for a non-finite value and for an exponent beyond 64 bits.
    static std::optional<double> number(std::string_view field) {
        field = trim(field);
        const char* const end = field.data() + field.size();
        double value = 0.0;
        const char* const next = scanNumber(field.data(), end, value);
        if (next == nullptr || next != end) {
            return std::nullopt;
        }
        return value;
    }

    // Reads one number in the field syntax that starts exactly at p (no blanks before it).
    // Returns the position after it and stores the value, or returns nullptr when no number
    // starts at p, or the one there is not finite or has an exponent beyond 64 bits.
    // number() is this applied to a whole trimmed field; readers use it to parse a row's
    // fields in the same pass that finds the commas.
    static const char* scanNumber(const char* p, const char* end, double& result) {
        bool negative = false;
        if (p != end && (*p == '-' || *p == '+')) {
            negative = *p == '-';
            ++p;
        }

        // Integer digits: value = value * 10 + digit. Up to 15 digits the double result is
        // exact, so an integer accumulator gives the same value faster.
        std::uint64_t whole = 0;
        const char* const digitsStart = p;
        const char* const wholeLimit = end - p > 15 ? p + 15 : end;
        while (p != wholeLimit && isDigit(*p)) {
            whole = whole * 10 + static_cast<std::uint64_t>(*p - '0');
            ++p;
        }
        bool sawDigit = p != digitsStart;
        double value = static_cast<double>(whole);
        while (p != end && isDigit(*p)) {
            value = value * 10.0 + static_cast<double>(*p - '0');
            ++p;
        }

        // Fraction digits: value = value + digit * weight, the weight starting at 0.1 and
        // multiplied by 0.1 after each digit (the table holds those products for the first
        // digits, each rounded exactly as the multiplication rounds it).
        if (p != end && *p == '.') {
            ++p;
            const char* const fractionStart = p;
            const char* const tableLimit = end - fractionStart > kTableDigits ? fractionStart + kTableDigits : end;
            const double* terms = kFractionTerms.data();
            while (p != tableLimit) {
                const auto digit = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0');
                if (digit > 9) {
                    break;
                }
                value = value + terms[digit];
                terms += 10;
                ++p;
            }
            sawDigit = sawDigit || p != fractionStart;
            if (p - fractionStart == kTableDigits) {
                double weight = kFractionTerms[(kTableDigits - 1) * 10 + 1] * 0.1;
                while (p != end && isDigit(*p)) {
                    value = value + static_cast<double>(*p - '0') * weight;
                    weight = weight * 0.1;
                    ++p;
                }
            }
        }
        if (!sawDigit) {
            return nullptr;
        }

        if (p != end && (*p == 'e' || *p == 'E')) {
            ++p;
            bool negativeExponent = false;
            if (p != end && (*p == '+' || *p == '-')) {
                negativeExponent = *p == '-';
                ++p;
            }
            if (p == end || !isDigit(*p)) {
                return nullptr;
            }
            constexpr std::int64_t maxExponent = std::numeric_limits<std::int64_t>::max();
            std::int64_t exponent = 0;
            while (p != end && isDigit(*p)) {
                const std::int64_t digit = *p - '0';
                if (exponent > (maxExponent - digit) / 10) {
                    return nullptr; // more exponent digits than 64 bits hold
                }
                exponent = exponent * 10 + digit;
                ++p;
            }
            value = value * powerOfTen(negativeExponent ? -exponent : exponent);
        }

        if (!std::isfinite(value)) {
            return nullptr;
        }
        result = negative ? -value : value;
        return p;
    }

    // The value of a "# duration_seconds = value" declaration line, or none when the line is
    // not such a declaration or its value is not a number.
    static std::optional<double> duration(std::string_view line);

private:
    // kFractionTerms[k * 10 + d] = d * w(k), where w(0) = 0.1 and w(k + 1) = w(k) * 0.1, each
    // product rounded to double as computed.
    static constexpr std::ptrdiff_t kTableDigits = 24;
    static constexpr std::array<double, kTableDigits * 10> kFractionTerms = [] {
        std::array<double, kTableDigits * 10> terms{};
        double weight = 0.1;
        for (std::size_t k = 0; k < kTableDigits; ++k) {
            for (std::size_t digit = 0; digit < 10; ++digit) {
                terms[k * 10 + digit] = static_cast<double>(digit) * weight;
            }
            weight = weight * 0.1;
        }
        return terms;
    }();

    static double powerOfTen(std::int64_t exponent);
};

} // namespace drevik

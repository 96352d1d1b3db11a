#pragma once
// Byte-level helpers shared by the Graphics.csv and Music.csv readers.
//
// The readers never build a string per line: lines are views into the file's
// bytes, and numbers are parsed straight from those views.
#include <cstdint>
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
    static std::optional<double> number(std::string_view field);

    // The value of a "# duration_seconds = value" declaration line, or none when the line is
    // not such a declaration or its value is not a number.
    static std::optional<double> duration(std::string_view line);
};

} // namespace drevik

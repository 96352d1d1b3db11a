#include "core/csv_bytes.hpp"
#include "core/csv_contract_error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace drevik {
namespace {

using Lines = std::vector<std::pair<std::string, std::int64_t>>;

Lines linesOf(std::string_view data) {
    Lines lines;
    CSVBytes::forEachLine(data, [&](std::string_view line, std::int64_t number) { lines.emplace_back(line, number); });
    return lines;
}

TEST(CSVBytesNumber, AcceptsTheFieldSyntax) {
    EXPECT_EQ(CSVBytes::number("1e3"), 1000.0);
    EXPECT_EQ(CSVBytes::number("2.5E-1"), 2.5 * std::pow(10.0, -1.0));
    EXPECT_EQ(CSVBytes::number(" 7 "), 7.0);
    EXPECT_EQ(CSVBytes::number("\t7\t"), 7.0);
    EXPECT_EQ(CSVBytes::number("5."), 5.0);
    EXPECT_EQ(CSVBytes::number(".5"), 0.5);
    EXPECT_EQ(CSVBytes::number("+.5"), 0.5);
    EXPECT_EQ(CSVBytes::number("-12.25"), -12.25);
    EXPECT_EQ(CSVBytes::number("1E+2"), 100.0);
    EXPECT_EQ(CSVBytes::number("1e-400"), 0.0);

    const auto negativeZero = CSVBytes::number("-0");
    ASSERT_TRUE(negativeZero);
    EXPECT_EQ(*negativeZero, 0.0);
    EXPECT_TRUE(std::signbit(*negativeZero));
}

TEST(CSVBytesNumber, AccumulatesDigitsLeftToRight) {
    // Not the nearest double: the fraction is summed digit by digit with a shrinking weight.
    EXPECT_EQ(CSVBytes::number("0.3"), 0.30000000000000004);
    EXPECT_NE(CSVBytes::number("0.3"), 0.3);
    const double weight2 = 0.1 * 0.1;
    EXPECT_EQ(CSVBytes::number("12.34"), ((1.0 * 10.0 + 2.0) + 3.0 * 0.1) + 4.0 * weight2);
    EXPECT_EQ(CSVBytes::number("0.3"), CSVBytes::number(" 0.3\t"));

    // Long digit runs, integer and fraction, against the plain accumulation.
    const std::string digits = "98765432109876543210.12345678901234567890123456789012345678";
    double value = 0.0;
    std::size_t i = 0;
    for (; digits[i] != '.'; ++i) {
        value = value * 10.0 + (digits[i] - '0');
    }
    double weight = 0.1;
    for (++i; i < digits.size(); ++i) {
        value = value + (digits[i] - '0') * weight;
        weight = weight * 0.1;
    }
    EXPECT_EQ(CSVBytes::number(digits), value);
    EXPECT_EQ(CSVBytes::number("-" + digits + "e-3"), -(value * std::pow(10.0, -3.0)));
}

TEST(CSVBytesNumber, RejectsEverythingElse) {
    EXPECT_FALSE(CSVBytes::number(std::string_view()));
    for (const char* text : {"", "  ", "-", "+", ".", "+.", "e5", "5e", "5e+", "5e-", "1.2.3", "1 2", "0x10", "inf",
                             "nan", "1e400", "--1", "+-1", "1,5", "1e2.5", "1 e2", "1\r", "\xEF\xBB\xBF" "1"}) {
        EXPECT_FALSE(CSVBytes::number(text)) << '"' << text << '"';
    }
}

TEST(CSVBytesNumber, ExponentBeyondSixtyFourBitsIsNotANumber) {
    EXPECT_FALSE(CSVBytes::number("1e9223372036854775808"));
    EXPECT_FALSE(CSVBytes::number("1e-9223372036854775808"));
    EXPECT_FALSE(CSVBytes::number("0e99999999999999999999999999"));
    // The largest exponents that fit still give a value, or an infinite one that is refused.
    EXPECT_EQ(CSVBytes::number("1e-9223372036854775807"), 0.0);
    EXPECT_FALSE(CSVBytes::number("1e9223372036854775807"));
    EXPECT_FALSE(CSVBytes::number("0e9223372036854775807")); // 0 * inf is not finite
}

TEST(CSVBytesLines, SplitsAtLineFeedsOnly) {
    EXPECT_EQ(linesOf(""), (Lines{{"", 1}}));
    EXPECT_EQ(linesOf("a\n"), (Lines{{"a", 1}, {"", 2}}));
    EXPECT_EQ(linesOf("a\nb"), (Lines{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(linesOf("a\rb\n"), (Lines{{"a\rb", 1}, {"", 2}}));
    EXPECT_EQ(linesOf("\n\n x \t\n"), (Lines{{"", 1}, {"", 2}, {"x", 3}, {"", 4}}));
}

TEST(CSVBytesLines, DropsOneCarriageReturnAndTrimsOnlySpacesAndTabs) {
    EXPECT_EQ(linesOf("a,b\r\nc\r\n"), linesOf("a,b\nc\n"));
    EXPECT_EQ(linesOf("a\r\r\n"), (Lines{{"a\r", 1}, {"", 2}}));
    EXPECT_EQ(linesOf("\r"), (Lines{{"", 1}}));
    EXPECT_EQ(linesOf(" \ta \t\r\n"), (Lines{{"a", 1}, {"", 2}}));
    EXPECT_EQ(linesOf("\va\f"), (Lines{{"\va\f", 1}}));
    EXPECT_EQ(linesOf("\xEF\xBB\xBFtime,a"), (Lines{{"\xEF\xBB\xBFtime,a", 1}})); // the mark stays
}

TEST(CSVBytesLines, StopsAtTheFirstError) {
    int calls = 0;
    EXPECT_THROW(CSVBytes::forEachLine("a\nb\nc", [&](std::string_view, std::int64_t number) {
        ++calls;
        if (number == 2) {
            throw std::runtime_error("stop");
        }
    }),
                 std::runtime_error);
    EXPECT_EQ(calls, 2);
}

TEST(CSVBytesHelpers, TrimAndPrefix) {
    EXPECT_EQ(CSVBytes::trim(" \t "), "");
    EXPECT_EQ(CSVBytes::trim("\t a b \t"), "a b");
    EXPECT_TRUE(CSVBytes::hasPrefix("time,a", "time,"));
    EXPECT_FALSE(CSVBytes::hasPrefix("time", "time,"));
    EXPECT_FALSE(CSVBytes::hasPrefix("Time,a", "time,"));
}

TEST(CSVBytesDuration, ReadsTheDeclaration) {
    EXPECT_EQ(CSVBytes::duration("# duration_seconds=180"), 180.0);
    EXPECT_EQ(CSVBytes::duration("# duration_seconds = 180"), 180.0);
    EXPECT_EQ(CSVBytes::duration("#\tduration_seconds\t=\t2.5"), 2.5);
    EXPECT_EQ(CSVBytes::duration("# duration_seconds=0"), 0.0);   // the readers refuse it
    EXPECT_EQ(CSVBytes::duration("# duration_seconds=-5"), -5.0); // likewise
    EXPECT_FALSE(CSVBytes::duration("# duration_seconds"));
    EXPECT_FALSE(CSVBytes::duration("# duration_seconds: 180"));
    EXPECT_FALSE(CSVBytes::duration("# duration_secondsX=5"));
    EXPECT_FALSE(CSVBytes::duration("# duration_seconds=5s"));
    EXPECT_FALSE(CSVBytes::duration("# duration_seconds="));
    EXPECT_FALSE(CSVBytes::duration("duration_seconds=5"));
}

TEST(CSVContractErrorText, DescribesEachCase) {
    EXPECT_STREQ(CSVContractError::missingHeader("Music.csv").what(), "Music.csv is missing its CSV header.");
    EXPECT_STREQ(CSVContractError::invalidRow("Graphics.csv", 12, "expected five normalized fields").what(),
                 "Graphics.csv:12: expected five normalized fields");
    EXPECT_STREQ(CSVContractError::unorderedTime("Music.csv", 7).what(),
                 "Music.csv:7: timestamps must be in nondecreasing order.");
    EXPECT_STREQ(CSVContractError::invalidDuration("Music.csv").what(),
                 "Music.csv has an invalid duration_seconds declaration.");

    EXPECT_EQ(CSVContractError::unorderedTime("a", 3), CSVContractError::unorderedTime("a", 3));
    EXPECT_FALSE(CSVContractError::unorderedTime("a", 3) == CSVContractError::unorderedTime("a", 4));
    EXPECT_FALSE(CSVContractError::invalidRow("a", 3, "x") == CSVContractError::invalidRow("a", 3, "y"));
    EXPECT_FALSE(CSVContractError::missingHeader("a") == CSVContractError::invalidDuration("a"));
}

} // namespace
} // namespace drevik

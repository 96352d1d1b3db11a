#pragma once
// The error through which both CSV readers report a broken input file.
#include "platform/error.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace drevik {

class CSVContractError : public Error {
public:
    enum class Kind { missingHeader, invalidRow, unorderedTime, invalidDuration };

    // A data row before any header line, or no header line at all.
    static CSVContractError missingHeader(std::string file);
    // One line (or declaration) breaks the file's grammar; reason is a fixed text.
    static CSVContractError invalidRow(std::string file, std::int64_t line, std::string reason);
    // A row's time is smaller than the time of the row before it.
    static CSVContractError unorderedTime(std::string file, std::int64_t line);
    // A duration declaration that does not give a positive number.
    static CSVContractError invalidDuration(std::string file);

    Kind kind() const { return kind_; }
    const std::string& file() const { return file_; }
    std::int64_t line() const { return line_; } // 0 for the cases without a line
    const std::string& reason() const { return reason_; }

    friend bool operator==(const CSVContractError& a, const CSVContractError& b) {
        return a.kind_ == b.kind_ && a.file_ == b.file_ && a.line_ == b.line_ && a.reason_ == b.reason_;
    }

private:
    CSVContractError(Kind kind, std::string file, std::int64_t line, std::string reason);

    Kind kind_;
    std::string file_;
    std::int64_t line_;
    std::string reason_;
};

// The seconds a "# duration_seconds" declaration line gives; both readers share this rule: the value
// must be a number greater than 0, else the file's invalidDuration error.
double declaredDuration(std::string_view line, const std::string& file);

} // namespace drevik

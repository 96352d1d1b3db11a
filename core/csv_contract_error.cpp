#include "core/csv_contract_error.hpp"

#include "core/csv_bytes.hpp"

#include <utility>

namespace drevik {
namespace {

std::string describe(CSVContractError::Kind kind, const std::string& file, std::int64_t line,
                     const std::string& reason) {
    switch (kind) {
    case CSVContractError::Kind::missingHeader:
        return file + " is missing its CSV header.";
    case CSVContractError::Kind::invalidRow:
        return file + ":" + std::to_string(line) + ": " + reason;
    case CSVContractError::Kind::unorderedTime:
        return file + ":" + std::to_string(line) + ": timestamps must be in nondecreasing order.";
    case CSVContractError::Kind::invalidDuration:
        return file + " has an invalid duration_seconds declaration.";
    }
    return file;
}

} // namespace

CSVContractError::CSVContractError(Kind kind, std::string file, std::int64_t line, std::string reason)
    : Error(describe(kind, file, line, reason)), kind_(kind), file_(std::move(file)), line_(line),
      reason_(std::move(reason)) {}

CSVContractError CSVContractError::missingHeader(std::string file) {
    return {Kind::missingHeader, std::move(file), 0, {}};
}

CSVContractError CSVContractError::invalidRow(std::string file, std::int64_t line, std::string reason) {
    return {Kind::invalidRow, std::move(file), line, std::move(reason)};
}

CSVContractError CSVContractError::unorderedTime(std::string file, std::int64_t line) {
    return {Kind::unorderedTime, std::move(file), line, {}};
}

CSVContractError CSVContractError::invalidDuration(std::string file) {
    return {Kind::invalidDuration, std::move(file), 0, {}};
}

double declaredDuration(std::string_view line, const std::string& file) {
    const auto value = CSVBytes::duration(line);
    if (!value || !(*value > 0.0)) throw CSVContractError::invalidDuration(file);
    return *value;
}

} // namespace drevik

#pragma once
// Shared helper for the reader tests: runs a reading and returns the contract error it threw.
#include "core/csv_contract_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace drevik::testing {

template <class Reading>
std::string contractErrorText(Reading&& reading) {
    try {
        reading();
    } catch (const CSVContractError& error) {
        return error.what();
    }
    ADD_FAILURE() << "expected a CSVContractError";
    return {};
}

} // namespace drevik::testing

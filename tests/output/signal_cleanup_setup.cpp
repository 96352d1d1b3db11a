// The output tests run like the program's file-writing modes: with the handler that removes
// temporary files on SIGINT and SIGTERM installed at start-up.
#include "platform/atomic_output.hpp"

#include <gtest/gtest.h>

namespace {

class SignalCleanup : public ::testing::Environment {
public:
    void SetUp() override { drevik::installSignalCleanup(); }
};

[[maybe_unused]] ::testing::Environment* const signalCleanup =
    ::testing::AddGlobalTestEnvironment(new SignalCleanup);

} // namespace

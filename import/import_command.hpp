#pragma once
// The `drevik-import` command: picks the form, reads the common options, converts and writes.
#include <string>
#include <vector>

namespace drevik {

// The usage text printed by --help.
std::string importUsageText();

// Runs the command (arguments without the program's name). Prints "Wrote PATH" on success; throws
// drevik::Error (one line) on every failure, having written nothing.
void runImportCommand(const std::vector<std::string>& arguments);

} // namespace drevik

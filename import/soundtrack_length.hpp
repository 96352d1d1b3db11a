#pragma once
// The length of a soundtrack, for drawings that should last as long as their music.
#include <filesystem>

namespace drevik {

// The seconds the soundtrack at location lasts, read as drevik reads it (a Music.csv; its contract
// errors are thrown unchanged).
double soundtrackSeconds(const std::filesystem::path& location);

} // namespace drevik

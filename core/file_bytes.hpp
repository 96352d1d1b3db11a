#pragma once
// Reading a whole input file into memory.
#include <filesystem>
#include <string>

namespace drevik {

// The file's bytes. A file that cannot be read (missing, a directory, no permission, an I/O
// failure) throws drevik::Error with one line naming the path and the system's reason, for
// example "Could not read /x/Graphics.csv: No such file or directory". An empty file is
// read as empty bytes.
std::string readFileBytes(const std::filesystem::path& location);

} // namespace drevik

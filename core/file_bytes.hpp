#pragma once
// Reading a whole input file into memory.
#include <cstddef>
#include <filesystem>
#include <string>

namespace drevik {

// The largest input file read: 2 GiB. Both readers hold the whole file in memory next to what
// they build from it, so a larger file is refused with one line before anything is allocated.
inline constexpr std::size_t maximumInputFileBytes = std::size_t{1} << 31;

// The file's bytes. A file that cannot be read (missing, a directory, no permission, an I/O
// failure) throws drevik::Error with one line naming the path and the system's reason, for
// example "Could not read /x/Graphics.csv: No such file or directory". An empty file is
// read as empty bytes. A file of more than maximumBytes bytes (also one that keeps growing while
// it is read, or a pipe) is refused the same way: "Could not read /x/Graphics.csv: the file is
// larger than 2147483648 bytes (2 GiB)". So is a file whose bytes cannot be allocated.
std::string readFileBytes(const std::filesystem::path& location,
                          std::size_t maximumBytes = maximumInputFileBytes);

} // namespace drevik

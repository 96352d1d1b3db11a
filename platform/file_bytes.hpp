#pragma once
// Reading input files. Every failure (missing, a directory, no permission, an I/O error)
// throws drevik::Error with one line naming the path and the system's reason, for example
// "Could not read /x/Graphics.csv: No such file or directory". An empty file reads as no bytes.
//
// Input files are at most maximumInputFileBytes long: what the readers build grows with the
// file, so a larger one is refused the same way, "Could not read /x/Graphics.csv: the file is
// larger than 2147483648 bytes (2 GiB)", before its bytes are read when the system reports its
// size, and as soon as the limit is passed for pipes, devices and files that grow while read.
#include <cstddef>
#include <filesystem>
#include <string>

namespace drevik {

// The largest input file read: 2 GiB.
inline constexpr std::size_t maximumInputFileBytes = std::size_t{1} << 31;

// The whole file's bytes.
std::string readFileBytes(const std::filesystem::path& location, std::size_t maximumBytes = maximumInputFileBytes);

// A file opened for reading from start to end in pieces.
class FileReader {
public:
    explicit FileReader(const std::filesystem::path& location, std::size_t maximumBytes = maximumInputFileBytes);
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader();

    // Reads up to capacity bytes into buffer; 0 only at the end of the file. Throws once more
    // than the maximum has been read.
    std::size_t read(char* buffer, std::size_t capacity);
    // The size the file had when opened (0 when it is not a regular file).
    std::size_t sizeHint() const { return sizeHint_; }

private:
    std::filesystem::path location_;
    int fd_ = -1;
    std::size_t sizeHint_ = 0;
    std::size_t maximumBytes_;
    std::size_t total_ = 0;
};

} // namespace drevik

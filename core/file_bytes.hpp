#pragma once
// Reading input files. Every failure (missing, a directory, no permission, an I/O error)
// throws drevik::Error with one line naming the path and the system's reason, for example
// "Could not read /x/Graphics.csv: No such file or directory". An empty file reads as no bytes.
#include <cstddef>
#include <filesystem>
#include <string>

namespace drevik {

// The whole file's bytes.
std::string readFileBytes(const std::filesystem::path& location);

// A file opened for reading from start to end in pieces.
class FileReader {
public:
    explicit FileReader(const std::filesystem::path& location);
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader();

    // Reads up to capacity bytes into buffer; 0 only at the end of the file.
    std::size_t read(char* buffer, std::size_t capacity);
    // The size the file had when opened (0 when it is not a regular file).
    std::size_t sizeHint() const { return sizeHint_; }

private:
    std::filesystem::path location_;
    int fd_ = -1;
    std::size_t sizeHint_ = 0;
};

} // namespace drevik

// Telling and reading what --graphics names (see drawing_source.hpp).
#include "import/drawing_source.hpp"

#include "import/svg_import.hpp"

#include <algorithm>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace drevik {

namespace {

// The first bytes of a file; empty when it cannot be read.
std::string firstBytes(const std::filesystem::path& location, std::size_t count) {
    const int fd = ::open(location.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    std::string bytes(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, bytes.data() + got, count - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return bytes;
}

// The SVG files of a folder, in the order of their names.
std::vector<std::filesystem::path> folderDrawings(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::error_code ignored;
        if (entry.is_regular_file(ignored) && drawingSourceKind(entry.path()) == DrawingSourceKind::svg) {
            files.push_back(entry.path());
        }
    }
    if (error) throw ImportError("Could not read " + folder.string() + ": " + error.message());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

DrawingSourceKind drawingSourceKind(const std::filesystem::path& location) {
    std::error_code error;
    if (std::filesystem::is_directory(location, error)) return DrawingSourceKind::folder;
    if (!std::filesystem::is_regular_file(location, error)) return DrawingSourceKind::graphicsCsv;
    if (looksLikeSvg(firstBytes(location, 65536))) return DrawingSourceKind::svg;
    return DrawingSourceKind::graphicsCsv;
}

std::optional<ImportedSource> readDrawingSource(const std::filesystem::path& location) {
    switch (drawingSourceKind(location)) {
    case DrawingSourceKind::graphicsCsv: return std::nullopt;
    case DrawingSourceKind::svg: return readSvgSources({location}, std::nullopt);
    case DrawingSourceKind::folder: {
        const std::vector<std::filesystem::path> files = folderDrawings(location);
        if (files.empty()) throw ImportError(location.string() + " holds no SVG files to draw.");
        return readSvgSources(files, std::nullopt);
    }
    }
    return std::nullopt;
}

GraphicsTimeline loadDrawing(const std::filesystem::path& location, std::optional<double> showSeconds) {
    const std::optional<ImportedSource> source = readDrawingSource(location);
    if (!source) return GraphicsTimeline::fromCsvFile(location);
    return buildImportedTimeline(*source, showSeconds);
}

} // namespace drevik

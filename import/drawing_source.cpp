// Telling and reading what --graphics names (see drawing_source.hpp).
#include "import/drawing_source.hpp"

#include "import/picture_source.hpp"
#include "import/svg_import.hpp"
#include "import/trace_form.hpp"

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

// The SVG files, pictures and videos of a folder, in the order of their names.
std::vector<std::filesystem::path> folderDrawings(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::error_code ignored;
        if (!entry.is_regular_file(ignored)) continue;
        const DrawingSourceKind kind = drawingSourceKind(entry.path());
        if (kind == DrawingSourceKind::svg || kind == DrawingSourceKind::picture) files.push_back(entry.path());
    }
    if (error) throw ImportError("Could not read " + folder.string() + ": " + error.message());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> asStrings(const std::vector<std::filesystem::path>& files) {
    return {files.begin(), files.end()};
}

// A folder of SVG files and pictures mixed: each file one scene, each fitted on its own.
ImportedSource mixedFolder(const std::vector<std::filesystem::path>& files, const std::filesystem::path& folder) {
    ImportedSource out;
    out.fitTogether = false;
    for (const std::filesystem::path& file : files) {
        ImportedSource one = drawingSourceKind(file) == DrawingSourceKind::svg ? readSvgSources({file}, std::nullopt)
                                                                               : traceSources({file.string()}, {});
        if (one.framesPerSecond) {
            throw ImportError(folder.string() + " mixes videos with SVG files; convert them with drevik-import.");
        }
        for (auto& drawing : one.drawings) out.drawings.push_back(std::move(drawing));
        out.names.insert(out.names.end(), one.names.begin(), one.names.end());
        out.notes.insert(out.notes.end(), one.notes.begin(), one.notes.end());
    }
    return out;
}

} // namespace

DrawingSourceKind drawingSourceKind(const std::filesystem::path& location) {
    std::error_code error;
    if (std::filesystem::is_directory(location, error)) return DrawingSourceKind::folder;
    if (!std::filesystem::is_regular_file(location, error)) return DrawingSourceKind::graphicsCsv;
    const std::string head = firstBytes(location, 65536);
    if (looksLikeSvg(head)) return DrawingSourceKind::svg;
    if (looksLikePictureOrVideo(head)) return DrawingSourceKind::picture;
    return DrawingSourceKind::graphicsCsv;
}

std::optional<ImportedSource> readDrawingSource(const std::filesystem::path& location) {
    switch (drawingSourceKind(location)) {
    case DrawingSourceKind::graphicsCsv: return std::nullopt;
    case DrawingSourceKind::svg: return readSvgSources({location}, std::nullopt);
    case DrawingSourceKind::picture: return traceSources({location.string()}, {});
    case DrawingSourceKind::folder: {
        const std::vector<std::filesystem::path> files = folderDrawings(location);
        if (files.empty()) throw ImportError(location.string() + " holds no SVG files, pictures or videos to draw.");
        const auto svgFiles = std::count_if(files.begin(), files.end(), [](const std::filesystem::path& file) {
            return drawingSourceKind(file) == DrawingSourceKind::svg;
        });
        if (svgFiles == std::ssize(files)) return readSvgSources(files, std::nullopt);
        if (svgFiles == 0) return traceSources(asStrings(files), {});
        return mixedFolder(files, location);
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

#pragma once
// How an export shows its progress: the "Metal movie ..." lines on standard output (every five
// seconds of video and after the last frame) and, on a terminal, the live bar below them.
#include "app/progress_bar.hpp"
#include "output/movie_export.hpp"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace drevik {

// "Metal movie %5.1f%% (%d / %d frames)" for framesWritten of frameCount frames.
std::string progressLine(std::int64_t framesWritten, std::int64_t frameCount);

class ExportProgressPrinter {
public:
    // Lines go to `lines` (flushed per line; null for none), the bar to `terminal` (null for none).
    ExportProgressPrinter(std::FILE* lines, std::FILE* terminal) : lines_(lines), terminal_(terminal) {}
    ExportProgressPrinter(const ExportProgressPrinter&) = delete;
    ExportProgressPrinter& operator=(const ExportProgressPrinter&) = delete;

    void show(const MetalMovieRenderer::ExportProgress& progress);
    // The export's progress callback; the printer must outlive the export.
    std::function<void(const MetalMovieRenderer::ExportProgress&)> callback() {
        return [this](const MetalMovieRenderer::ExportProgress& progress) { show(progress); };
    }

private:
    std::FILE* lines_;
    std::FILE* terminal_;
    std::optional<ProgressBar> bar_;
};

} // namespace drevik

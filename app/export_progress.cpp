// The progress lines and bar of an export.
#include "app/export_progress.hpp"

namespace drevik {

std::string progressLine(std::int64_t framesWritten, std::int64_t frameCount) {
    char text[96];
    const double percent = static_cast<double>(framesWritten) / static_cast<double>(frameCount) * 100.0;
    std::snprintf(text, sizeof text, "Metal movie %5.1f%% (%d / %d frames)", percent, static_cast<int>(framesWritten),
                  static_cast<int>(frameCount));
    return text;
}

void ExportProgressPrinter::show(const MetalMovieRenderer::ExportProgress& progress) {
    if (!bar_) bar_.emplace(terminal_, progress.frameCount);
    if (lines_ != nullptr && progress.milestone) {
        bar_->clear(); // the line goes above the bar, which is drawn again below it
        const std::string line = progressLine(progress.framesDone, progress.frameCount);
        std::fputs(line.c_str(), lines_);
        std::fputc('\n', lines_);
        std::fflush(lines_);
    }
    bar_->update(progress.framesDone);
}

} // namespace drevik

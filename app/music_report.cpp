// The --describe-music report: the analysis of the soundtrack, one line per step.
#include "app/music_report.hpp"

#include <string>

namespace drevik {

void printMusicReport(const MusicTimeline& music, std::FILE* out) {
    std::fputs("# time lane0 lane1 lane2 lane3 energy pulse\n", out);
    std::string text;
    text.reserve(1 << 16);
    char line[160];
    for (std::size_t j = 0; j < music.analysis.size(); ++j) {
        const AudioFeatures& f = music.analysis[j];
        const double start = static_cast<double>(j) / static_cast<double>(music.analysisRate);
        const int length = std::snprintf(line, sizeof line, "%.4f %.3f %.3f %.3f %.3f %.3f %.3f\n", start,
                                         static_cast<double>(f.channels.x), static_cast<double>(f.channels.y),
                                         static_cast<double>(f.channels.z), static_cast<double>(f.channels.w),
                                         static_cast<double>(f.energy), static_cast<double>(f.pulse));
        text.append(line, static_cast<std::size_t>(length));
        if (text.size() > (1 << 16) - sizeof line) {
            std::fwrite(text.data(), 1, text.size(), out);
            text.clear();
        }
    }
    std::fwrite(text.data(), 1, text.size(), out);
}

} // namespace drevik

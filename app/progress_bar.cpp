#include "app/progress_bar.hpp"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace drevik {

namespace {

constexpr std::size_t fallbackColumns = 80;
constexpr auto redrawInterval = std::chrono::milliseconds(200);

std::size_t terminalColumns(std::FILE* terminal) {
    winsize size{};
    if (::ioctl(::fileno(terminal), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return fallbackColumns;
}

} // namespace

std::string clockText(double seconds) {
    const auto total = static_cast<long long>(std::isfinite(seconds) && seconds > 0 ? std::lround(seconds) : 0);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

std::string progressBarLine(std::int64_t framesDone, std::int64_t frameCount, double elapsedSeconds,
                            std::size_t columns) {
    const double fraction =
        frameCount > 0 ? std::clamp(static_cast<double>(framesDone) / static_cast<double>(frameCount), 0.0, 1.0) : 1.0;
    const double rate = elapsedSeconds > 0 ? static_cast<double>(framesDone) / elapsedSeconds : 0.0;
    std::string left = "--:--";
    if (rate > 0) left = clockText(static_cast<double>(frameCount - framesDone) / rate);
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "  %lld/%lld frames  %.1f fps  %s elapsed  %s left",
                  static_cast<long long>(framesDone), static_cast<long long>(frameCount), rate,
                  clockText(elapsedSeconds).c_str(), left.c_str());
    // One column stays free so that the terminal never wraps the line.
    const std::size_t room = columns > 0 ? columns - 1 : 0;
    const std::size_t text = std::string_view(numbers).size();
    if (room < text + 12) return std::string(numbers + 2).substr(0, room);
    const std::size_t width = std::min<std::size_t>(room - text - 2, 40);
    const auto filled = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(width)));
    return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]" + numbers;
}

ProgressBar::ProgressBar(std::FILE* terminal, std::int64_t frameCount)
    : terminal_(terminal), frameCount_(frameCount), start_(std::chrono::steady_clock::now()), lastDrawn_(start_) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::update(std::int64_t framesDone) {
    lastFrames_ = framesDone;
    if (terminal_ == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - lastDrawn_ < redrawInterval && framesDone < frameCount_) return;
    lastDrawn_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const std::string line = progressBarLine(framesDone, frameCount_, elapsed, terminalColumns(terminal_));
    std::fprintf(terminal_, "\r%s\033[K", line.c_str());
    std::fflush(terminal_);
    shown_ = true;
}

void ProgressBar::clear() {
    if (terminal_ == nullptr || !shown_) return;
    std::fputs("\r\033[K", terminal_);
    std::fflush(terminal_);
    shown_ = false;
}

std::FILE* progressTerminal() { return ::isatty(STDERR_FILENO) == 1 ? stderr : nullptr; }

} // namespace drevik

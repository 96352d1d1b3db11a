#pragma once
// The live progress bar of an export on a terminal: one line on standard error, redrawn in place
// with a bar, the frames done, the frames per second, the time spent and an estimate of the time
// left, and cleared at the end. Only drawn when asked for (the export asks when standard error is a
// terminal), so that logs and pipes stay clean.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace drevik {

// "[#####-----]  12/300 frames  14.2 fps  0:01 elapsed  0:20 left", fitted into `columns` characters
// by shortening the bar (and dropping it on very narrow terminals).
std::string progressBarLine(std::int64_t framesDone, std::int64_t frameCount, double elapsedSeconds,
                            std::size_t columns);

// "m:ss", or "h:mm:ss" from an hour on.
std::string clockText(double seconds);

class ProgressBar {
public:
    // Draws on `terminal`; null draws nothing.
    ProgressBar(std::FILE* terminal, std::int64_t frameCount);
    // Clears the line, also when the export failed.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Redraws after framesDone frames, at most a few times a second (and always for the last one).
    void update(std::int64_t framesDone);
    // Takes the line away, so that other output can be printed; the next update draws it again.
    void clear();

private:
    std::FILE* terminal_;
    std::int64_t frameCount_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDrawn_;
    bool shown_ = false;
    std::int64_t lastFrames_ = 0;
};

// Standard error when it is a terminal, otherwise null.
std::FILE* progressTerminal();

} // namespace drevik

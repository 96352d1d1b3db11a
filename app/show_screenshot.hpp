#pragma once
// Screenshots of the running show: pictures encoded as PNG and written on a thread of their own, so
// that the window keeps drawing meanwhile.
#include "app/show_frames.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace drevik {

// "drevik-YYYYMMDD-HHMMSS-mmm.png" for the local time of `moment`.
std::string screenshotFileName(std::chrono::system_clock::time_point moment);

// The first free name for a screenshot taken at `moment` in `folder`: the plain name, else the
// name with "-1", "-2" and so on before ".png".
std::filesystem::path freeScreenshotLocation(const std::filesystem::path& folder,
                                             std::chrono::system_clock::time_point moment);

// Writes screenshots one after another, in the order they were taken. Each written file is announced
// with "Wrote <absolute path>" on `out`; one that cannot be written with a "Drevik: " line on `errors`.
// Pictures still waiting are written before the writer goes.
class ScreenshotWriter {
public:
    // `written` (optional) runs on the writer's thread after each screenshot, with its location, or an
    // empty path when it failed.
    explicit ScreenshotWriter(std::FILE* out = stdout, std::FILE* errors = stderr,
                              std::function<void(const std::filesystem::path&)> written = {});
    ~ScreenshotWriter();
    ScreenshotWriter(const ScreenshotWriter&) = delete;
    ScreenshotWriter& operator=(const ScreenshotWriter&) = delete;

    // Queues the picture, taken at `moment`, for `folder` (made absolute against the working folder).
    void write(ShowPicture picture, std::filesystem::path folder, std::chrono::system_clock::time_point moment);

private:
    struct Job {
        ShowPicture picture;
        std::filesystem::path folder;
        std::chrono::system_clock::time_point moment;
    };
    void loop();
    void writeOne(const Job& job);

    std::FILE* out_;
    std::FILE* errors_;
    std::function<void(const std::filesystem::path&)> written_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool quitting_ = false;
    std::thread thread_;
};

} // namespace drevik

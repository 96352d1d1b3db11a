#include "app/show_screenshot.hpp"

#include "platform/atomic_output.hpp"
#include "output/png_writer.hpp"

#include <ctime>
#include <optional>
#include <system_error>
#include <utility>

namespace drevik {

std::string screenshotFileName(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(moment);
    auto milliseconds = duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count() % 1000;
    if (milliseconds < 0) milliseconds += 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char name[64];
    std::snprintf(name, sizeof name, "drevik-%04d%02d%02d-%02d%02d%02d-%03d.png", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(milliseconds));
    return name;
}

std::filesystem::path freeScreenshotLocation(const std::filesystem::path& folder,
                                             std::chrono::system_clock::time_point moment) {
    const std::string name = screenshotFileName(moment);
    const std::string stem = name.substr(0, name.size() - 4);
    std::filesystem::path location = folder / name;
    for (int suffix = 1; outputLocationTaken(location); ++suffix)
        location = folder / (stem + "-" + std::to_string(suffix) + ".png");
    return location;
}

ScreenshotWriter::ScreenshotWriter(std::FILE* out, std::FILE* errors,
                                   std::function<void(const std::filesystem::path&)> written)
    : out_(out), errors_(errors), written_(std::move(written)) {
    thread_ = std::thread([this] { loop(); });
}

ScreenshotWriter::~ScreenshotWriter() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ScreenshotWriter::write(ShowPicture picture, std::filesystem::path folder,
                             std::chrono::system_clock::time_point moment) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(picture), std::move(folder), moment});
    }
    changed_.notify_all();
}

void ScreenshotWriter::loop() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return quitting_ || !jobs_.empty(); });
            if (jobs_.empty()) return; // quitting, with everything written
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        writeOne(job);
    }
}

void ScreenshotWriter::writeOne(const Job& job) {
    // No folder given is the working folder; either way the announced name is absolute.
    std::error_code ignored;
    const std::filesystem::path given = job.folder.empty() ? std::filesystem::path(".") : job.folder;
    const std::filesystem::path folder = std::filesystem::absolute(given, ignored).lexically_normal();
    std::filesystem::path location = freeScreenshotLocation(folder, job.moment);
    std::string reason;
    // A name taken between the choice and the commit (another show writing at the same millisecond)
    // moves on to the next free one.
    for (int attempt = 0; attempt < 100; ++attempt) {
        try {
            if (writePngFile(location, job.picture.bgra.data(), job.picture.width, job.picture.height,
                             job.picture.width * 4, false) != PngWriteResult::written) {
                reason = "the picture could not be encoded";
                break;
            }
            std::fprintf(out_, "Wrote %s\n", location.c_str());
            std::fflush(out_);
            if (written_) written_(location);
            return;
        } catch (const AtomicOutputError& error) {
            reason = error.what();
            if (!error.targetExists()) break;
            location = freeScreenshotLocation(folder, job.moment);
        }
    }
    std::fprintf(errors_, "Drevik: The screenshot %s could not be written: %s\n", location.c_str(), reason.c_str());
    std::fflush(errors_);
    if (written_) written_({});
}

} // namespace drevik

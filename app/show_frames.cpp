#include "app/show_frames.hpp"

#include <chrono>
#include <exception>
#include <utility>

namespace drevik {

ShowFrameWorker::ShowFrameWorker(std::unique_ptr<ShowFrameSource> source, std::function<void()> finished)
    : source_(std::move(source)), finished_(std::move(finished)) {
    thread_ = std::thread([this] { loop(); });
}

ShowFrameWorker::~ShowFrameWorker() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool ShowFrameWorker::idle() const {
    std::lock_guard lock(mutex_);
    return !busy_ && !pending_ && !result_;
}

void ShowFrameWorker::submit(const ShowFrameRequest& request) {
    {
        std::lock_guard lock(mutex_);
        if (busy_ || pending_ || result_) return;
        pending_ = request;
        busy_ = true;
    }
    changed_.notify_all();
}

std::optional<ShowFrameResult> ShowFrameWorker::collect(ShowPicture& picture) {
    std::lock_guard lock(mutex_);
    if (!result_) return std::nullopt;
    std::optional<ShowFrameResult> result = std::exchange(result_, std::nullopt);
    if (!result->failed && !result->skipped) std::swap(picture, picture_);
    return result;
}

void ShowFrameWorker::waitForFrame() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

void ShowFrameWorker::loop() {
    ShowPicture picture;
    for (;;) {
        ShowFrameRequest request;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return quitting_ || pending_.has_value(); });
            if (quitting_) return;
            request = *std::exchange(pending_, std::nullopt);
        }
        // Only this thread touches the source, so the drawing changes between two of its frames.
        if (request.timeline && request.timeline != timeline_) {
            source_->changeTimeline(*request.timeline);
            timeline_ = std::move(request.timeline);
        }
        ShowFrameResult result;
        auto started = std::chrono::steady_clock::now();
        try {
            result.capture = request.capture;
            result.skipped = request.capture ? !source_->capture(picture, request.width, request.height,
                                                                request.normalizedTime, request.features)
                                             : !source_->render(picture, request.width, request.height,
                                                                request.normalizedTime, request.features);
        } catch (const std::exception& error) {
            result.failed = true;
            result.failure = error.what();
        }
        result.renderSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        {
            std::lock_guard lock(mutex_);
            if (!result.failed && !result.skipped) std::swap(picture, picture_);
            result_ = std::move(result);
            busy_ = false;
        }
        changed_.notify_all();
        if (finished_) finished_();
    }
}

} // namespace drevik

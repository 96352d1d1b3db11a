// Tracing a video: decoding on the calling thread, tracing on a pool of threads, results in order.
#include "import/trace_media.hpp"

#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

namespace drevik {
namespace {

constexpr int signatureWidth = 32, signatureHeight = 18;

// Frames handed to the tracing threads; each result goes to the slot reserved for it when the
// frame was handed over, so the order is the decoding order whichever thread finishes first.
class TracingPool {
public:
    TracingPool(int threads, TraceSettings settings) : settings_(settings) {
        const int count = std::max(1, threads);
        capacity_ = std::size_t(count) * 2;
        for (int k = 0; k < count; ++k) {
            workers_.emplace_back([this] { work(); });
        }
    }
    ~TracingPool() { close(); }

    // Blocks while the queue is full. Returns false once a tracing thread has failed.
    bool submit(LuminanceFrame frame, double seconds) {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [&] { return jobs_.size() < capacity_ || error_; });
        if (error_) {
            return false;
        }
        results_.push_back({seconds, {}});
        jobs_.push_back({std::move(frame), &results_.back().drawing});
        ready_.notify_one();
        return true;
    }

    // Waits for every frame; rethrows the first tracing failure.
    std::deque<TracedFrame> finish() {
        close();
        if (error_) {
            std::rethrow_exception(error_);
        }
        return std::move(results_);
    }

private:
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
        workers_.clear(); // joins
    }

    struct Job {
        LuminanceFrame frame;
        VectorDrawing* result;
    };

    void work() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !jobs_.empty() || closed_ || error_; });
                if (jobs_.empty() || error_) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            space_.notify_one();
            try {
                *job.result = tracePicture(job.frame, settings_);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!error_) {
                    error_ = std::current_exception();
                }
                space_.notify_all();
                ready_.notify_all();
                return;
            }
        }
    }

    TraceSettings settings_;
    std::size_t capacity_ = 2;
    std::mutex mutex_;
    std::condition_variable ready_, space_;
    std::deque<Job> jobs_;
    std::deque<TracedFrame> results_; // growing at the back keeps the slots handed out in place
    bool closed_ = false;
    std::exception_ptr error_;
    std::vector<std::jthread> workers_; // last, so that they stop before the rest goes
};

} // namespace

FrameSignature signatureOf(const LuminanceFrame& frame) {
    FrameSignature signature{frame.width, frame.height, std::vector<float>(signatureWidth * signatureHeight, 0)};
    if (frame.width <= 0 || frame.height <= 0) {
        return signature;
    }
    std::vector<double> sums(signature.cells.size(), 0);
    std::vector<double> counts(signature.cells.size(), 0);
    // Every other row and column is enough for means over cells of a sixtieth of the picture.
    for (int y = 0; y < frame.height; y += 2) {
        const std::size_t cellRow = std::size_t(y * signatureHeight / frame.height) * signatureWidth;
        const std::uint8_t* row = frame.pixels.data() + std::size_t(y) * std::size_t(frame.width);
        for (int x = 0; x < frame.width; x += 2) {
            const std::size_t cell = cellRow + std::size_t(x * signatureWidth / frame.width);
            sums[cell] += row[x];
            counts[cell] += 1;
        }
    }
    for (std::size_t k = 0; k < sums.size(); ++k) {
        signature.cells[k] = counts[k] > 0 ? float(sums[k] / counts[k] / 255.0) : 0.0f;
    }
    return signature;
}

double frameDifference(const FrameSignature& a, const FrameSignature& b) {
    if (a.width != b.width || a.height != b.height || a.cells.size() != b.cells.size()) {
        return 1;
    }
    double sum = 0;
    for (std::size_t k = 0; k < a.cells.size(); ++k) {
        sum += std::abs(double(a.cells[k]) - double(b.cells[k]));
    }
    return a.cells.empty() ? 0 : sum / double(a.cells.size());
}

TracedMedia traceMedia(const std::string& location, const TraceMediaSettings& settings) {
    PictureSource source(location);
    const int threads = settings.threads > 0 ? settings.threads : int(std::max(1u, std::thread::hardware_concurrency()));
    TracingPool pool(threads, settings.trace);
    TracedMedia media;

    const double rate = settings.framesPerSecond;
    std::int64_t decoded = 0, lastSlot = -1;
    double lastSeconds = 0;
    bool cutWaiting = false; // a cut whose frame was not shown yet
    std::optional<FrameSignature> previous;
    std::optional<LuminanceFrame> held; // with a frame rate: decided when the next frame's time is known
    bool heldCut = false;

    auto show = [&](LuminanceFrame frame, double seconds, bool cut) {
        if (cut && seconds > 0) {
            media.cutSeconds.push_back(seconds);
        }
        return pool.submit(std::move(frame), seconds);
    };
    // The held frame is on screen from its time until `until`: shown at the first slot in there.
    auto decide = [&](double until) {
        const auto slot = std::int64_t(std::ceil(held->seconds * rate - 1e-9));
        const bool cut = heldCut || cutWaiting;
        if (slot > lastSlot && double(slot) / rate < until - 1e-9) {
            lastSlot = slot;
            cutWaiting = false;
            return show(std::move(*held), double(slot) / rate, cut);
        }
        cutWaiting = cut;
        return true;
    };

    bool going = true;
    while (going) {
        std::optional<LuminanceFrame> frame = source.next();
        if (!frame) {
            break;
        }
        FrameSignature signature = signatureOf(*frame);
        const bool cut = previous && frameDifference(*previous, signature) > cutDifference;
        previous = std::move(signature);
        if (decoded > 0 && frame->seconds <= lastSeconds) {
            frame->seconds = lastSeconds + 1.0 / source.framesPerSecond(); // times that do not move on
        }
        lastSeconds = frame->seconds;
        ++decoded;
        if (rate <= 0) {
            const double seconds = frame->seconds;
            going = show(std::move(*frame), seconds, cut);
            continue;
        }
        if (held) {
            going = decide(frame->seconds);
        }
        held = std::move(frame);
        heldCut = cut;
    }
    const double end = lastSeconds + 1.0 / source.framesPerSecond();
    if (going && held) {
        decide(end);
    }
    std::deque<TracedFrame> frames = pool.finish();
    if (decoded == 0) {
        throw PictureSourceError(source.name() + " is a video without pictures");
    }
    media.frames.assign(std::make_move_iterator(frames.begin()), std::make_move_iterator(frames.end()));
    media.still = decoded == 1;
    media.framesPerSecond = source.framesPerSecond();
    media.durationSeconds = media.still ? 0 : end;
    return media;
}

} // namespace drevik

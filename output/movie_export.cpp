#include "output/movie_export.hpp"

#include "core/atomic_output.hpp"
#include "output/movie_audio.hpp"
#include "output/movie_encoder.hpp"
#include "output/movie_error.hpp"
#include "output/progress_bar.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace drevik::MetalMovieRenderer {

namespace {

std::string formatReal(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string formatSize(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "\u00d7" + std::to_string(height);
}

[[noreturn]] void refuse(const std::string& reason) { throw MovieRendererError::writerFailed(reason); }

// ---- The temporary file beside the target -------------------------------------------------------

AtomicFile makeTemporaryFile(const std::filesystem::path& location) {
    try {
        return AtomicFile(location);
    } catch (const AtomicOutputError& error) {
        const std::filesystem::path folder = location.has_parent_path() ? location.parent_path() : ".";
        if (error.code() == std::errc::file_exists) refuse("cannot create a temporary file in " + folder.string());
        refuse("cannot create a file in " + folder.string() + ": " + std::strerror(error.code().value()));
    }
}

// Moves the complete file to location unless something has appeared there meanwhile.
void commitTemporaryFile(AtomicFile& file, const std::filesystem::path& location) {
    try {
        file.commit();
    } catch (const AtomicOutputError& error) {
        if (error.targetExists()) throw MovieRendererError::outputExists(location);
        if (error.stage() == AtomicOutputError::Stage::write) {
            refuse(std::string("cannot write the finished movie: ") + std::strerror(error.code().value()));
        }
        refuse("cannot move the finished movie to " + location.string() + ": " + std::strerror(error.code().value()));
    }
}

// ---- Audio by time ------------------------------------------------------------------------------

// Feeds the resampled soundtrack to the encoder up to the time of the video written so far, so that
// the muxer receives both streams in step.
class AudioFeeder {
public:
    // A feeder that is not enabled feeds nothing (a part of the movie has no sound).
    AudioFeeder(const MusicTimeline& music, const MoviePlan& plan, bool enabled = true)
        : music_(music), plan_(plan), enabled_(enabled) {}

    void feedThroughFrame(MovieFrameSink& encoder, std::int64_t frameIndex) {
        const std::int64_t numerator = (frameIndex + 1) * plan_.sampleRate;
        feedUntil(encoder, (numerator + plan_.framesPerSecond - 1) / plan_.framesPerSecond);
    }
    void feedAll(MovieFrameSink& encoder) { feedUntil(encoder, plan_.audioSampleCount); }

private:
    void feedUntil(MovieFrameSink& encoder, std::int64_t target) {
        if (!enabled_) {
            return;
        }
        target = std::min(target, plan_.audioSampleCount);
        while (fed_ < target) {
            const std::int64_t chunk = std::min<std::int64_t>(target - fed_, 65'536);
            scratch_.resize(static_cast<std::size_t>(chunk * music_.playbackChannels));
            copyResampledFrames(music_.playback(), music_.playbackChannels, plan_.audioSampleCount, fed_, scratch_);
            encoder.appendAudio(scratch_);
            fed_ += chunk;
        }
    }

    const MusicTimeline& music_;
    const MoviePlan& plan_;
    const bool enabled_;
    std::int64_t fed_ = 0;
    std::vector<float> scratch_;
};

// ---- The encoder thread -------------------------------------------------------------------------

// Converts and encodes rendered frames on its own thread while the caller renders the next ones.
// The encoder sees exactly the calls of the one-at-a-time loop, in the same order.
class EncodeWorker {
public:
    EncodeWorker(MovieFrameSink& encoder, AudioFeeder& audio, std::int64_t stride, std::int64_t height,
                 std::size_t capacity)
        : encoder_(encoder), audio_(audio), stride_(stride), frameBytes_(static_cast<std::size_t>(stride * height)),
          capacity_(std::max<std::size_t>(1, capacity)), thread_([this] { run(); }) {}

    ~EncodeWorker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    EncodeWorker(const EncodeWorker&) = delete;
    EncodeWorker& operator=(const EncodeWorker&) = delete;

    std::vector<std::uint8_t> acquire() {
        std::lock_guard lock(mutex_);
        rethrowFailure();
        if (!spare_.empty()) {
            std::vector<std::uint8_t> buffer = std::move(spare_.back());
            spare_.pop_back();
            return buffer;
        }
        try {
            return std::vector<std::uint8_t>(frameBytes_);
        } catch (const std::bad_alloc&) {
            throw MovieRendererError::cannotCreatePixelBuffer();
        }
    }

    void submit(std::vector<std::uint8_t> frame, std::int64_t frameIndex) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return queue_.size() < capacity_ || failure_; });
        rethrowFailure();
        queue_.emplace_back(frameIndex, std::move(frame));
        changed_.notify_all();
    }

    // Waits until every frame and the rest of the audio are encoded and the file is complete.
    void finish() {
        std::unique_lock lock(mutex_);
        ending_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return done_ || failure_; });
        rethrowFailure();
    }

private:
    void rethrowFailure() {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    void run() {
        ::pthread_setname_np(::pthread_self(), "drevik.movie");
        try {
            for (;;) {
                std::pair<std::int64_t, std::vector<std::uint8_t>> item;
                {
                    std::unique_lock lock(mutex_);
                    changed_.wait(lock, [this] { return stopping_ || ending_ || !queue_.empty(); });
                    if (stopping_) {
                        return;
                    }
                    if (queue_.empty()) {
                        break; // ending and drained
                    }
                    item = std::move(queue_.front());
                    queue_.pop_front();
                }
                changed_.notify_all();
                encoder_.appendVideoFrame(item.second.data(), stride_, item.first);
                audio_.feedThroughFrame(encoder_, item.first);
                std::lock_guard lock(mutex_);
                spare_.push_back(std::move(item.second));
            }
            audio_.feedAll(encoder_);
            encoder_.finish();
            std::lock_guard lock(mutex_);
            done_ = true;
        } catch (...) {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
        }
        changed_.notify_all();
    }

    MovieFrameSink& encoder_;
    AudioFeeder& audio_;
    const std::int64_t stride_;
    const std::size_t frameBytes_;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::int64_t, std::vector<std::uint8_t>>> queue_;
    std::vector<std::vector<std::uint8_t>> spare_;
    bool ending_ = false;
    bool stopping_ = false;
    bool done_ = false;
    std::exception_ptr failure_;
    std::thread thread_; // last: starts once everything above is ready
};

// The movie encoder as the export loop's sink.
class EncoderSink final : public MovieFrameSink {
public:
    explicit EncoderSink(MovieEncoder& encoder) : encoder_(encoder) {}
    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) override {
        encoder_.appendVideoFrame(bgra, stride, frameIndex);
    }
    void appendAudio(std::span<const float> samples) override { encoder_.appendAudio(samples); }
    void finish() override { encoder_.finish(); }

private:
    MovieEncoder& encoder_;
};

// frameIndex counts from the first frame rendered, frameCount is the number rendered.
void printProgress(std::FILE* stream, ProgressBar& bar, std::int64_t frameIndex, std::int64_t frameCount,
                   const MoviePlan& plan) {
    if (stream == nullptr || !isProgressFrame(frameIndex, frameCount, plan.framesPerSecond)) {
        bar.update(frameIndex + 1);
        return;
    }
    bar.clear(); // the line goes above the bar, which is drawn again below it
    const std::string line = progressLine(frameIndex + 1, frameCount);
    std::fputs(line.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    bar.update(frameIndex + 1);
}

} // namespace

MoviePlan planMovie(std::int64_t width, std::int64_t height, std::int64_t framesPerSecond, double durationSeconds,
                    std::int64_t sampleRate, std::int64_t maximumDimension) {
    if (width <= 0 || height <= 0) {
        refuse("the picture size must be positive, got " + formatSize(width, height));
    }
    if (width % 2 != 0 || height % 2 != 0) {
        refuse("H.264 needs an even width and height, got " + formatSize(width, height));
    }
    const std::int64_t largest = std::min(maximumDimension, maximumEncoderDimension);
    if (width > largest || height > largest) {
        refuse("a picture of " + formatSize(width, height) + " is larger than this device can render and encode (" +
               formatSize(largest, largest) + " at most)");
    }
    if (framesPerSecond < 1 || framesPerSecond > maximumFramesPerSecond) {
        refuse("the frame rate must be 1 to " + std::to_string(maximumFramesPerSecond) +
               " frames per second, got " + std::to_string(framesPerSecond));
    }
    if (!std::isfinite(durationSeconds) || durationSeconds <= 0 || durationSeconds > maximumDurationSeconds) {
        refuse("the duration must be more than 0 and at most " + formatReal(maximumDurationSeconds) +
               " seconds, got " + formatReal(durationSeconds));
    }
    if (sampleRate < 1 || sampleRate > 1'000'000) {
        refuse("the music's sample rate cannot be encoded: " + std::to_string(sampleRate));
    }
    MoviePlan plan;
    plan.width = width;
    plan.height = height;
    plan.framesPerSecond = framesPerSecond;
    plan.durationSeconds = durationSeconds;
    plan.frameCount = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::round(static_cast<double>(framesPerSecond) * durationSeconds)));
    plan.sampleRate = sampleRate;
    plan.audioSampleCount = resampledSampleCount(durationSeconds, sampleRate);
    return plan;
}

bool isProgressFrame(std::int64_t frameIndex, std::int64_t frameCount, std::int64_t framesPerSecond) {
    return frameIndex % (5 * framesPerSecond) == 0 || frameIndex == frameCount - 1;
}

std::string progressLine(std::int64_t framesWritten, std::int64_t frameCount) {
    char text[96];
    const double percent = static_cast<double>(framesWritten) / static_cast<double>(frameCount) * 100.0;
    std::snprintf(text, sizeof text, "Metal movie %5.1f%% (%d / %d frames)", percent, static_cast<int>(framesWritten),
                  static_cast<int>(frameCount));
    return text;
}

MovieEncoderSettings movieEncoderSettings(const MoviePlan& plan, bool allowHardwareEncoder, const OutputFormat& format) {
    MovieEncoderSettings settings;
    settings.width = plan.width;
    settings.height = plan.height;
    settings.framesPerSecond = plan.framesPerSecond;
    settings.sampleRate = plan.sampleRate;
    settings.allowHardwareEncoder = allowHardwareEncoder;
    settings.format = format;
    return settings;
}

void requireFreeLocation(const std::filesystem::path& location) {
    if (outputLocationTaken(location)) {
        throw MovieRendererError::outputExists(location);
    }
}

void renderAndEncode(const MoviePlan& plan, const MusicTimeline& music, MovieFrameRenderer& renderer,
                     MovieFrameSink& encoder, const MovieExportOptions& options) {
    const FrameRange range = options.frames.value_or(FrameRange{0, plan.frameCount});
    if (range.first < 0 || range.end > plan.frameCount || range.first > range.end) {
        refuse("frames " + std::to_string(range.first) + " to " + std::to_string(range.end) +
               " are not frames of the movie");
    }
    AudioFeeder audio(music, plan, !options.frames.has_value());
    ProgressBar bar(options.progressBar, range.count());
    const std::int64_t stride = plan.width * 4;
    const auto frameBytes = static_cast<std::size_t>(stride * plan.height);
    const auto n = static_cast<double>(plan.frameCount);
    if (options.queuedFrames <= 0) {
        // One frame at a time on this thread.
        std::vector<std::uint8_t> frame;
        try {
            frame.resize(frameBytes);
        } catch (const std::bad_alloc&) {
            throw MovieRendererError::cannotCreatePixelBuffer();
        }
        for (std::int64_t i = range.first; i < range.end; ++i) {
            const double t = static_cast<double>(i) / n;
            renderer.renderFrame(i, t, music.features(t), frame, stride);
            encoder.appendVideoFrame(frame.data(), stride, i);
            audio.feedThroughFrame(encoder, i);
            printProgress(options.progress, bar, i - range.first, range.count(), plan);
        }
        audio.feedAll(encoder);
        encoder.finish();
    } else {
        EncodeWorker worker(encoder, audio, stride, plan.height, static_cast<std::size_t>(options.queuedFrames));
        for (std::int64_t i = range.first; i < range.end; ++i) {
            const double t = static_cast<double>(i) / n;
            std::vector<std::uint8_t> frame = worker.acquire();
            renderer.renderFrame(i, t, music.features(t), frame, stride);
            worker.submit(std::move(frame), i);
            printProgress(options.progress, bar, i - range.first, range.count(), plan);
        }
        worker.finish();
    }
}

void exportMovie(const std::filesystem::path& location, const MoviePlan& plan, const MusicTimeline& music,
                 MovieFrameRenderer& renderer, const MovieExportOptions& options) {
    requireFreeLocation(location);
    AtomicFile temporary = makeTemporaryFile(location);

    MovieEncoderSettings settings = movieEncoderSettings(plan, options.allowHardwareEncoder, options.format);
    settings.audioChannels = music.playbackChannels;
    MovieEncoder encoder(temporary.path(), settings);
    EncoderSink sink(encoder);
    renderAndEncode(plan, music, renderer, sink, options);
    commitTemporaryFile(temporary, location);
}

void exportPart(const std::filesystem::path& location, const MoviePlan& plan, FrameRange range,
                const MusicTimeline& music, MovieFrameRenderer& renderer,
                const std::function<std::string(const std::string& encoderSettings)>& describePart,
                const MovieExportOptions& options) {
    requireFreeLocation(location);
    AtomicFile temporary = makeTemporaryFile(location);

    const MovieEncoderSettings settings = movieEncoderSettings(plan, options.allowHardwareEncoder, options.format);
    MovieContainerOptions container;
    container.audio = false;
    container.comment = describePart;
    MovieEncoder encoder(temporary.path(), settings, container);
    // Frame range.first is the part's first picture, at time 0.
    class PartSink final : public MovieFrameSink {
    public:
        PartSink(MovieEncoder& encoder, std::int64_t first) : encoder_(encoder), first_(first) {}
        void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) override {
            encoder_.appendVideoFrame(bgra, stride, frameIndex - first_);
        }
        void appendAudio(std::span<const float>) override {}
        void finish() override { encoder_.finish(); }

    private:
        MovieEncoder& encoder_;
        std::int64_t first_;
    } sink(encoder, range.first);
    MovieExportOptions partOptions = options;
    partOptions.frames = range;
    renderAndEncode(plan, music, renderer, sink, partOptions);
    commitTemporaryFile(temporary, location);
}

} // namespace drevik::MetalMovieRenderer

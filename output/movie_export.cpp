#include "output/movie_export.hpp"

#include "platform/atomic_output.hpp"
#include "output/movie_audio.hpp"
#include "output/movie_encoder.hpp"
#include "output/movie_error.hpp"

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

// ---- The movie file target ----------------------------------------------------------------------

// A movie, or a part of one, encoded into a temporary file beside its location.
class MovieFileTarget final : public ExportTarget {
public:
    // Frame firstFrame is the file's first picture, at time 0.
    MovieFileTarget(const std::filesystem::path& location, const MovieEncoderSettings& settings,
                    const MovieContainerOptions& container, std::int64_t firstFrame)
        : location_(location), file_(openAtomicFile(location)), encoder_(file_.path(), settings, container),
          first_(firstFrame) {}

    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) override {
        encoder_.appendVideoFrame(bgra, stride, frameIndex - first_);
    }
    void appendAudio(std::span<const float> samples) override { encoder_.appendAudio(samples); }
    void finish() override { encoder_.finish(); }
    void commit() override { commitAtomicFile(file_, location_, "the finished movie"); }

private:
    std::filesystem::path location_;
    AtomicFile file_;
    MovieEncoder encoder_;
    std::int64_t first_;
};

// ---- The encoder thread -------------------------------------------------------------------------

// Converts and encodes rendered frames on its own thread while the caller renders the next ones.
// The encoder sees exactly the calls of the one-at-a-time loop, in the same order.
class EncodeWorker {
public:
    EncodeWorker(MovieFrameSink& encoder, SoundtrackFeeder& audio, std::int64_t stride, std::int64_t height,
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
                audio_.feedThroughFrame(item.first, feed_);
                std::lock_guard lock(mutex_);
                spare_.push_back(std::move(item.second));
            }
            audio_.feedAll(feed_);
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
    SoundtrackFeeder& audio_;
    const SoundtrackFeeder::Append feed_ = [this](std::span<const float> samples) { encoder_.appendAudio(samples); };
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

void reportProgress(const MovieExportOptions& options, std::int64_t frameIndex, std::int64_t frameCount,
                    const MoviePlan& plan) {
    if (!options.progress) return;
    options.progress(ExportProgress{frameIndex + 1, frameCount, isProgressFrame(frameIndex, frameCount, plan.framesPerSecond)});
}

} // namespace

void throwOutputFailure(const AtomicOutputError& error, const std::filesystem::path& location, const std::string& what) {
    const std::string reason = std::strerror(error.code().value());
    switch (error.stage()) {
    case AtomicOutputError::Stage::createTemporary: {
        const std::filesystem::path folder = location.has_parent_path() ? location.parent_path() : ".";
        refuse("cannot create " + what + " in " + folder.string() + ": " + reason);
    }
    case AtomicOutputError::Stage::write: refuse("cannot write " + what + ": " + reason);
    case AtomicOutputError::Stage::commit: break;
    }
    if (error.targetExists()) throw MovieRendererError::outputExists(location);
    refuse("cannot move " + what + " to " + location.string() + ": " + reason);
}

AtomicFile openAtomicFile(const std::filesystem::path& location) {
    try {
        return AtomicFile(location);
    } catch (const AtomicOutputError& error) {
        throwOutputFailure(error, location, "a file");
    }
}

void commitAtomicFile(AtomicFile& file, const std::filesystem::path& location, const std::string& what) {
    try {
        file.commit();
    } catch (const AtomicOutputError& error) {
        throwOutputFailure(error, location, what);
    }
}

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

void MovieFrameRenderer::submitFrame(std::int64_t frameIndex, double normalizedTime, const AudioFeatures& features) {
    submitted_.push_back({frameIndex, normalizedTime, features});
}

void MovieFrameRenderer::collectFrame(std::span<std::uint8_t> bgra, std::int64_t stride) {
    const Submitted frame = submitted_.front();
    submitted_.pop_front();
    renderFrame(frame.frameIndex, frame.normalizedTime, frame.features, bgra, stride);
}

void renderAndEncode(const MoviePlan& plan, const MusicTimeline& music, MovieFrameRenderer& renderer,
                     MovieFrameSink& encoder, const MovieExportOptions& options) {
    const FrameRange range = options.frames.value_or(FrameRange{0, plan.frameCount});
    if (range.first < 0 || range.end > plan.frameCount || range.first > range.end) {
        refuse("frames " + std::to_string(range.first) + " to " + std::to_string(range.end) +
               " are not frames of the movie");
    }
    SoundtrackFeeder audio(music, options.frames.has_value() ? 0 : plan.audioSampleCount, plan.sampleRate,
                           plan.framesPerSecond);
    const std::int64_t stride = plan.width * 4;
    const auto frameBytes = static_cast<std::size_t>(stride * plan.height);
    const auto n = static_cast<double>(plan.frameCount);
    // Frames go to the GPU up to the source's depth ahead of the one handed on, oldest first.
    const auto depth = static_cast<std::int64_t>(std::max<std::size_t>(1, renderer.framesInFlight()));
    std::int64_t collected = range.first;
    std::int64_t submitted = range.first;
    const auto keepSubmitting = [&] {
        while (submitted < range.end && submitted - collected < depth) {
            const double t = static_cast<double>(submitted) / n;
            renderer.submitFrame(submitted, t, music.features(t));
            ++submitted;
        }
    };
    if (options.queuedFrames <= 0) {
        // Encoded on this thread, one frame after another.
        std::vector<std::uint8_t> frame;
        try {
            frame.resize(frameBytes);
        } catch (const std::bad_alloc&) {
            throw MovieRendererError::cannotCreatePixelBuffer();
        }
        const SoundtrackFeeder::Append feed = [&](std::span<const float> samples) { encoder.appendAudio(samples); };
        for (; collected < range.end; ++collected) {
            keepSubmitting();
            renderer.collectFrame(frame, stride);
            encoder.appendVideoFrame(frame.data(), stride, collected);
            audio.feedThroughFrame(collected, feed);
            reportProgress(options, collected - range.first, range.count(), plan);
        }
        audio.feedAll(feed);
        encoder.finish();
    } else {
        EncodeWorker worker(encoder, audio, stride, plan.height, static_cast<std::size_t>(options.queuedFrames));
        for (; collected < range.end; ++collected) {
            keepSubmitting();
            std::vector<std::uint8_t> frame = worker.acquire();
            renderer.collectFrame(frame, stride);
            worker.submit(std::move(frame), collected);
            reportProgress(options, collected - range.first, range.count(), plan);
        }
        worker.finish();
    }
}

void exportInto(const MoviePlan& plan, const MusicTimeline& music, MovieFrameRenderer& renderer, ExportTarget& target,
                const MovieExportOptions& options) {
    renderAndEncode(plan, music, renderer, target, options);
    target.commit();
}

void exportMovie(const std::filesystem::path& location, const MoviePlan& plan, const MusicTimeline& music,
                 MovieFrameRenderer& renderer, const MovieExportOptions& options) {
    requireFreeLocation(location);
    MovieEncoderSettings settings = movieEncoderSettings(plan, options.allowHardwareEncoder, options.format);
    settings.audioChannels = music.playbackChannels;
    MovieFileTarget target(location, settings, {}, 0);
    exportInto(plan, music, renderer, target, options);
}

void exportPart(const std::filesystem::path& location, const MoviePlan& plan, FrameRange range,
                const MusicTimeline& music, MovieFrameRenderer& renderer,
                const std::function<std::string(const std::string& encoderSettings)>& describePart,
                const MovieExportOptions& options) {
    requireFreeLocation(location);
    MovieContainerOptions container;
    container.audio = false;
    container.comment = describePart;
    MovieFileTarget target(location, movieEncoderSettings(plan, options.allowHardwareEncoder, options.format),
                           container, range.first);
    MovieExportOptions partOptions = options;
    partOptions.frames = range;
    exportInto(plan, music, renderer, target, partOptions);
}

} // namespace drevik::MetalMovieRenderer

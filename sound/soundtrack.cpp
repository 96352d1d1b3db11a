// The soundtrack reader every mode uses: a Music.csv as it has always been read, or a recording
// decoded, measured and analysed into the same timeline. The band analysis and the loudness meter
// run on a second thread while the recording is still being decoded.
#include "core/sound_analysis.hpp"
#include "sound/sound_file.hpp"

extern "C" {
#include <ebur128.h>
}

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace drevik {
namespace {

struct LoudnessFreer {
    void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};

// The half of the analysis that does not need the gain, fed piece by piece from the decoder: the
// band powers of each step and the integrated loudness (EBU R128) of the mono mix.
class MixMeasurement {
public:
    MixMeasurement(std::int64_t sampleRate, std::int64_t analysisRate)
        : meter_(sampleRate, analysisRate),
          loudness_(ebur128_init(1, static_cast<unsigned long>(sampleRate), EBUR128_MODE_I)) {
        if (!loudness_) {
            throw std::bad_alloc();
        }
        worker_ = std::thread([this] { work(); });
    }
    // A decoder that failed leaves the worker to stop without measuring what is left.
    ~MixMeasurement() {
        {
            std::lock_guard lock(mutex_);
            pieces_.clear();
            closed_ = true;
            ready_.notify_one();
        }
        if (worker_.joinable()) {
            worker_.join();
        }
    }
    MixMeasurement(const MixMeasurement&) = delete;
    MixMeasurement& operator=(const MixMeasurement&) = delete;

    void add(std::span<const float> piece) {
        std::vector<float> copy(piece.begin(), piece.end());
        std::lock_guard lock(mutex_);
        pieces_.push_back(std::move(copy));
        ready_.notify_one();
    }

    // Waits for every piece to be measured; rethrows what failed on the worker.
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            ready_.notify_one();
        }
        if (worker_.joinable()) {
            worker_.join();
        }
        if (failure_) {
            std::rethrow_exception(std::exchange(failure_, nullptr));
        }
    }

    std::vector<SoundStepPower> powers(std::int64_t stepCount) {
        meter_.finish(stepCount, powers_);
        return std::move(powers_);
    }

    double integratedLufs() {
        double lufs = -HUGE_VAL;
        return ebur128_loudness_global(loudness_.get(), &lufs) == EBUR128_SUCCESS ? lufs : -HUGE_VAL;
    }

private:
    void work() {
        try {
            for (;;) {
                std::vector<float> piece;
                {
                    std::unique_lock lock(mutex_);
                    ready_.wait(lock, [this] { return closed_ || !pieces_.empty(); });
                    if (pieces_.empty()) {
                        return;
                    }
                    piece = std::move(pieces_.front());
                    pieces_.pop_front();
                }
                meter_.push(piece, powers_);
                if (ebur128_add_frames_float(loudness_.get(), piece.data(), piece.size()) != EBUR128_SUCCESS) {
                    throw std::bad_alloc();
                }
            }
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    SoundStepMeter meter_;
    std::vector<SoundStepPower> powers_;
    std::unique_ptr<ebur128_state, LoudnessFreer> loudness_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::vector<float>> pieces_;
    bool closed_ = false;
    std::exception_ptr failure_;
    std::thread worker_;
};

MusicTimeline recordingTimeline(const std::filesystem::path& location, std::int64_t sampleRate,
                                std::int64_t analysisRate) {
    MixMeasurement measurement(sampleRate, analysisRate);
    DecodedSound sound =
        decodeSoundFile(location, sampleRate, [&](std::span<const float> piece) { measurement.add(piece); });
    measurement.close();

    MusicTimeline timeline;
    const auto frames = static_cast<std::int64_t>(sound.mono.size());
    timeline.durationSeconds = static_cast<double>(frames) / static_cast<double>(sampleRate);
    timeline.channelNames = {"0-250 Hz", "250-2000 Hz", "2000-6000 Hz", "6000+ Hz"};
    timeline.sampleRate = sampleRate;
    timeline.analysisRate = analysisRate;
    timeline.soundName = location.filename().string();

    const auto steps = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::ceil(timeline.durationSeconds * static_cast<double>(analysisRate))) + 1);
    SoundFeatureSteps features(analysisRate, SoundLoudness::fixed, soundAnalysisGain(measurement.integratedLufs()));
    timeline.analysis.reserve(static_cast<std::size_t>(steps));
    for (const SoundStepPower& power : measurement.powers(steps)) {
        timeline.analysis.push_back(features.next(power));
    }

    timeline.samples = std::move(sound.mono);
    if (sound.channels > 1) {
        timeline.playbackSamples = std::move(sound.interleaved);
        timeline.playbackChannels = sound.channels;
    }
    return timeline;
}

} // namespace

MusicTimeline readSoundtrack(const std::filesystem::path& location, std::int64_t sampleRate,
                             std::int64_t analysisRate) {
    if (!looksLikeSoundFile(location)) {
        return MusicTimeline::fromCsvFile(location, sampleRate, analysisRate);
    }
    return recordingTimeline(location, sampleRate, analysisRate);
}

double soundtrackDurationSeconds(const std::filesystem::path& location) {
    constexpr std::int64_t rate = 48000;
    if (!looksLikeSoundFile(location)) {
        return MusicTimeline::fromCsvFile(location, rate, 120).durationSeconds;
    }
    // Decoded to the last sample: a container's own figure may be an estimate.
    return static_cast<double>(decodeSoundFile(location, rate).mono.size()) / static_cast<double>(rate);
}

} // namespace drevik

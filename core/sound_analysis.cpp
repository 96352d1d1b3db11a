// The sound analyser: band splitting, per-step levels with the Music.csv formulas, a loudness gain
// and a spectral-flux onset pulse, all computed as the samples stream in.
#include "core/sound_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace drevik {
namespace {

using Biquad = SoundBandSplitter::Biquad;

// The edge of a band, kept below the Nyquist frequency of low sample rates.
double usableEdge(double hertz, std::int64_t sampleRate) {
    return std::min(hertz, 0.45 * static_cast<double>(sampleRate));
}

// Second-order Butterworth low pass at `hertz` (bilinear transform with prewarping); squared it is
// the Linkwitz-Riley low pass.
Biquad butterworthLowPass(double hertz, std::int64_t sampleRate) {
    const double k = std::tan(std::numbers::pi * usableEdge(hertz, sampleRate) / static_cast<double>(sampleRate));
    const double norm = 1.0 / (1.0 + std::numbers::sqrt2 * k + k * k);
    Biquad filter;
    filter.b0 = k * k * norm;
    filter.b1 = 2.0 * filter.b0;
    filter.b2 = filter.b0;
    filter.a1 = 2.0 * (k * k - 1.0) * norm;
    filter.a2 = (1.0 - std::numbers::sqrt2 * k + k * k) * norm;
    return filter;
}

// The second-order all-pass with the Butterworth poles at `hertz`. The Linkwitz-Riley low and high
// passes add up to exactly this, so the high pass is taken as this all-pass minus the low pass.
Biquad allPass(double hertz, std::int64_t sampleRate) {
    Biquad filter = butterworthLowPass(hertz, sampleRate);
    filter.b0 = filter.a2;
    filter.b1 = filter.a1;
    filter.b2 = 1.0;
    return filter;
}

void flushTiny(Biquad& filter) {
    constexpr double kTiny = 1e-30;
    if (std::fabs(filter.s1) < kTiny) {
        filter.s1 = 0.0;
    }
    if (std::fabs(filter.s2) < kTiny) {
        filter.s2 = 0.0;
    }
}

// The Music.csv level of a mean square: (rms * 1.9)^0.62, at most 1.
float levelOf(double meanSquare) {
    const double base = std::sqrt(meanSquare) * 1.9;
    const double level = base == 0.0 ? 0.0 : base >= 1.0 ? 1.0 : std::min(std::pow(base, 0.62), 1.0);
    return static_cast<float>(level);
}

// Mean square of the mono signal at the analysis loudness (a rough stand-in for the K-weighted
// measure, used to follow live sound).
double targetMeanSquare() { return std::pow(10.0, (soundAnalysisLoudnessLufs + 0.691) / 10.0); }

// The adaptive gain never amplifies by more than this (24 dB), so room noise stays quiet.
constexpr double kMaxAdaptiveGain = 16.0;
// Seconds the adaptive loudness takes to follow a louder and a quieter sound.
constexpr double kAttackSeconds = 0.1;
constexpr double kReleaseSeconds = 4.0;

} // namespace

float soundAnalysisGain(double integratedLufs) {
    if (!std::isfinite(integratedLufs)) {
        return 1.0f; // silence: nothing to scale
    }
    return static_cast<float>(std::pow(10.0, (soundAnalysisLoudnessLufs - integratedLufs) / 20.0));
}

SoundBandSplitter::SoundBandSplitter(std::int64_t sampleRate) {
    const double low = soundBandEdgesHz[0], mid = soundBandEdgesHz[1], high = soundBandEdgesHz[2];
    lowMid_[0] = lowMid_[1] = butterworthLowPass(mid, sampleRate);
    allPassMid_ = allPass(mid, sampleRate);
    allPassHighOnLow_ = allPass(high, sampleRate);
    lowLow_[0] = lowLow_[1] = butterworthLowPass(low, sampleRate);
    allPassLow_ = allPass(low, sampleRate);
    allPassLowOnHigh_ = allPass(low, sampleRate);
    lowHigh_[0] = lowHigh_[1] = butterworthLowPass(high, sampleRate);
    allPassHigh_ = allPass(high, sampleRate);
}

std::array<double, 4> SoundBandSplitter::split(double sample) {
    // Split at the middle edge; the sum of both branches is the middle all-pass of the signal.
    const double below = lowMid_[1].run(lowMid_[0].run(sample));
    const double above = allPassMid_.run(sample) - below;
    // Each branch passes the other branch's crossover all-pass, then splits at its own edge.
    const double lowBranch = allPassHighOnLow_.run(below);
    const double band0 = lowLow_[1].run(lowLow_[0].run(lowBranch));
    const double band1 = allPassLow_.run(lowBranch) - band0;
    const double highBranch = allPassLowOnHigh_.run(above);
    const double band2 = lowHigh_[1].run(lowHigh_[0].run(highBranch));
    const double band3 = allPassHigh_.run(highBranch) - band2;
    return {band0, band1, band2, band3};
}

void SoundBandSplitter::flushTinyStates() {
    for (Biquad* filter : {&lowMid_[0], &lowMid_[1], &allPassMid_, &allPassHighOnLow_, &lowLow_[0], &lowLow_[1],
                           &allPassLow_, &allPassLowOnHigh_, &lowHigh_[0], &lowHigh_[1], &allPassHigh_}) {
        flushTiny(*filter);
    }
}

SoundFeatureSteps::SoundFeatureSteps(std::int64_t analysisRate, SoundLoudness loudness, float gain)
    : analysisRate_(analysisRate), loudness_(loudness), gain_(gain) {}

AudioFeatures SoundFeatureSteps::next(const SoundStepPower& power) {
    double g = gain_;
    if (loudness_ == SoundLoudness::adaptive) {
        const double seconds = power.input > followedMeanSquare_ ? kAttackSeconds : kReleaseSeconds;
        const double rate = 1.0 - std::exp(-1.0 / (seconds * static_cast<double>(analysisRate_)));
        followedMeanSquare_ += (power.input - followedMeanSquare_) * rate;
        g = std::min(std::sqrt(targetMeanSquare() / std::max(followedMeanSquare_, 1e-30)), kMaxAdaptiveGain);
    }
    std::array<float, 4> levels;
    float flux = 0.0f;
    for (std::size_t band = 0; band < 4; ++band) {
        levels[band] = levelOf(power.bands[band] * g * g);
        const float rise = levels[band] - envelopes_[band];
        flux += rise > 0.0f ? rise : 0.0f;
        envelopes_[band] = envelopes_[band] * 0.7f + levels[band] * 0.3f;
    }
    const float energy = std::max(std::max(levels[0], levels[1]), std::max(levels[2], levels[3]));
    // Half-wave rectified flux of the band levels against their envelopes, above 1.5 times its own
    // recent mean, so the steady flicker of a dense mix does not count as a beat.
    const float onset = flux - 1.5f * fluxFloor_;
    const float impulse = onset >= 0.0f ? std::min(onset * 5.5f, 1.0f) : 0.0f;
    const float pulse = std::max(previousPulse_ * 0.86f, impulse);
    fluxFloor_ = fluxFloor_ * 0.9f + flux * 0.1f;
    previousPulse_ = pulse;
    return AudioFeatures{Float4{levels[0], levels[1], levels[2], levels[3]}, energy, pulse};
}

struct SoundStepMeter::State {
    std::int64_t sampleRate;
    std::int64_t analysisRate;
    SoundBandSplitter bands;

    std::int64_t samplesPushed = 0;
    std::int64_t step = 0; // the step being filled
    std::int64_t stepEnd = 0;
    std::array<double, 4> sums = {0.0, 0.0, 0.0, 0.0}; // squared band samples of the step
    double inputSum = 0.0;                           // squared input samples of the step
    std::int64_t count = 0;

    State(std::int64_t rate, std::int64_t steps) : sampleRate(rate), analysisRate(steps), bands(rate) {
        stepEnd = endOfStep(0);
    }

    std::int64_t endOfStep(std::int64_t j) const { return ((j + 1) * sampleRate + analysisRate - 1) / analysisRate; }

    SoundStepPower completeStep() {
        const double n = static_cast<double>(std::max<std::int64_t>(count, 1));
        SoundStepPower power;
        for (std::size_t band = 0; band < 4; ++band) {
            power.bands[band] = sums[band] / n;
        }
        power.input = inputSum / n;
        sums = {0.0, 0.0, 0.0, 0.0};
        inputSum = 0.0;
        count = 0;
        ++step;
        stepEnd = endOfStep(step);
        bands.flushTinyStates();
        return power;
    }

    void accumulate(const float* samples, std::int64_t n) {
        std::array<double, 4> local = sums;
        double input = inputSum;
        for (std::int64_t i = 0; i < n; ++i) {
            const double x = samples[i];
            const std::array<double, 4> b = bands.split(x);
            for (std::size_t band = 0; band < 4; ++band) {
                local[band] += b[band] * b[band];
            }
            input += x * x;
        }
        sums = local;
        inputSum = input;
        count += n;
        samplesPushed += n;
    }
};

SoundStepMeter::SoundStepMeter(std::int64_t sampleRate, std::int64_t analysisRate)
    : state_(std::make_unique<State>(sampleRate, analysisRate)) {}
SoundStepMeter::~SoundStepMeter() = default;
SoundStepMeter::SoundStepMeter(SoundStepMeter&&) noexcept = default;
SoundStepMeter& SoundStepMeter::operator=(SoundStepMeter&&) noexcept = default;

void SoundStepMeter::push(std::span<const float> mono, std::vector<SoundStepPower>& steps) {
    State& s = *state_;
    std::size_t done = 0;
    while (done < mono.size()) {
        const auto room = static_cast<std::size_t>(s.stepEnd - s.samplesPushed);
        const std::size_t n = std::min(room, mono.size() - done);
        s.accumulate(mono.data() + done, static_cast<std::int64_t>(n));
        done += n;
        if (s.samplesPushed == s.stepEnd) {
            steps.push_back(s.completeStep());
        }
    }
}

std::int64_t SoundStepMeter::pendingSamples() const { return state_->count; }

void SoundStepMeter::finish(std::int64_t stepCount, std::vector<SoundStepPower>& steps) {
    State& s = *state_;
    while (s.step < stepCount) {
        steps.push_back(s.completeStep());
    }
}

struct SoundAnalyser::State {
    SoundStepMeter meter;
    SoundFeatureSteps features;
    std::vector<SoundStepPower> measured;

    void emit(std::vector<AudioFeatures>& steps) {
        for (const SoundStepPower& power : measured) {
            steps.push_back(features.next(power));
        }
        measured.clear();
    }
};

SoundAnalyser::SoundAnalyser(std::int64_t sampleRate, std::int64_t analysisRate, SoundLoudness loudness, float gain)
    : state_(std::make_unique<State>(
          State{SoundStepMeter(sampleRate, analysisRate), SoundFeatureSteps(analysisRate, loudness, gain), {}})) {}

SoundAnalyser::~SoundAnalyser() = default;
SoundAnalyser::SoundAnalyser(SoundAnalyser&&) noexcept = default;
SoundAnalyser& SoundAnalyser::operator=(SoundAnalyser&&) noexcept = default;

void SoundAnalyser::push(std::span<const float> mono, std::vector<AudioFeatures>& steps) {
    state_->meter.push(mono, state_->measured);
    state_->emit(steps);
}

std::int64_t SoundAnalyser::pendingSamples() const { return state_->meter.pendingSamples(); }

void SoundAnalyser::finish(std::int64_t stepCount, std::vector<AudioFeatures>& steps) {
    state_->meter.finish(stepCount, state_->measured);
    state_->emit(steps);
}

} // namespace drevik

// The sound analyser: band splitting, per-step levels with the Music.csv formulas, a loudness gain
// and a spectral-flux onset pulse, all computed as the samples stream in.
#include "core/sound_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace drevik {
namespace {

struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

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

using Lanes = float __attribute__((vector_size(16)));

Lanes load(const float (&lanes)[4]) {
    Lanes v;
    std::memcpy(&v, lanes, sizeof v);
    return v;
}

void store(float (&lanes)[4], Lanes v) { std::memcpy(lanes, &v, sizeof v); }

// The pipeline's lanes, four to a step. Step 0: the 2 kHz low pass (first half) and all-pass of the
// input, the 2 kHz low pass (second half), the 6 kHz all-pass of the branch below 2 kHz. Step 1: the
// 250 Hz all-pass of the branch above 2 kHz, then on the turned low branch the 250 Hz low pass (first
// half) and all-pass, and on the turned high branch the 6 kHz low pass (first half). Step 2: the 6 kHz
// all-pass of the turned high branch, the second halves of the 250 Hz and 6 kHz low passes, idle.
enum Lane {
    mid1, midAll, mid2, highOnLow,
    lowOnHigh, low1, lowAll, high1,
    highAll, low2, high2, idle,
};

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
    Biquad filters[12];
    filters[mid1] = filters[mid2] = butterworthLowPass(mid, sampleRate);
    filters[midAll] = allPass(mid, sampleRate);
    filters[highOnLow] = filters[highAll] = allPass(high, sampleRate);
    filters[lowOnHigh] = filters[lowAll] = allPass(low, sampleRate);
    filters[low1] = filters[low2] = butterworthLowPass(low, sampleRate);
    filters[high1] = filters[high2] = butterworthLowPass(high, sampleRate);
    filters[idle] = Biquad{0, 0, 0, 0, 0};
    for (int k = 0; k < 12; ++k) {
        const Biquad& f = filters[k];
        const double values[5] = {f.b0, f.b1, f.b2, f.a1, f.a2};
        for (int c = 0; c < 5; ++c) {
            coefficients_[k / 4][c][k % 4] = static_cast<float>(values[c]);
        }
    }
}

void SoundBandSplitter::accumulateSquares(const float* samples, std::size_t count, std::array<double, 4>& squares) {
    Lanes b0[3], b1[3], b2[3], a1[3], a2[3], s1[3], s2[3];
    for (int k = 0; k < 3; ++k) {
        b0[k] = load(coefficients_[k][0]);
        b1[k] = load(coefficients_[k][1]);
        b2[k] = load(coefficients_[k][2]);
        a1[k] = load(coefficients_[k][3]);
        a2[k] = load(coefficients_[k][4]);
        s1[k] = load(states_[k][0]);
        s2[k] = load(states_[k][1]);
    }
    Lanes y0 = load(outputs_[0]), y1 = load(outputs_[1]), y2 = load(outputs_[2]);
    float middleAllPass = middleAllPass_, lowAllPass = lowAllPass_, highAllPass = highAllPass_;
    double sum0 = squares[0], sum1 = squares[1], sum2 = squares[2], sum3 = squares[3];
    for (std::size_t i = 0; i < count; ++i) {
        // The bands of the sample leaving the pipeline; the high passes are all-pass minus low pass,
        // the all-pass held one sample to meet the low pass's second half.
        const float band0 = y2[low2 - 8];
        const float band1 = lowAllPass - y2[low2 - 8];
        const float band2 = y2[high2 - 8];
        const float band3 = highAllPass - y2[high2 - 8];
        sum0 += static_cast<double>(band0) * band0;
        sum1 += static_cast<double>(band1) * band1;
        sum2 += static_cast<double>(band2) * band2;
        sum3 += static_cast<double>(band3) * band3;

        // Every lane takes what the lanes before it gave one sample ago.
        const float below = y0[mid2];
        const float above = middleAllPass - y0[mid2];
        const Lanes in0 = {samples[i], samples[i], y0[mid1], below};
        const Lanes in1 = {above, y0[highOnLow], y0[highOnLow], y1[lowOnHigh - 4]};
        const Lanes in2 = {y1[lowOnHigh - 4], y1[low1 - 4], y1[high1 - 4], 0.0f};
        middleAllPass = y0[midAll];
        lowAllPass = y1[lowAll - 4];
        highAllPass = y2[highAll - 8];

        const Lanes out0 = b0[0] * in0 + s1[0];
        s1[0] = b1[0] * in0 - a1[0] * out0 + s2[0];
        s2[0] = b2[0] * in0 - a2[0] * out0;
        const Lanes out1 = b0[1] * in1 + s1[1];
        s1[1] = b1[1] * in1 - a1[1] * out1 + s2[1];
        s2[1] = b2[1] * in1 - a2[1] * out1;
        const Lanes out2 = b0[2] * in2 + s1[2];
        s1[2] = b1[2] * in2 - a1[2] * out2 + s2[2];
        s2[2] = b2[2] * in2 - a2[2] * out2;
        y0 = out0;
        y1 = out1;
        y2 = out2;
    }
    squares = {sum0, sum1, sum2, sum3};
    for (int k = 0; k < 3; ++k) {
        store(states_[k][0], s1[k]);
        store(states_[k][1], s2[k]);
    }
    store(outputs_[0], y0);
    store(outputs_[1], y1);
    store(outputs_[2], y2);
    middleAllPass_ = middleAllPass;
    lowAllPass_ = lowAllPass;
    highAllPass_ = highAllPass;
}

std::array<double, 4> SoundBandSplitter::split(float sample) {
    const std::array<double, 4> bands = {outputs_[2][low2 - 8], lowAllPass_ - outputs_[2][low2 - 8],
                                         outputs_[2][high2 - 8], highAllPass_ - outputs_[2][high2 - 8]};
    std::array<double, 4> ignored = {0.0, 0.0, 0.0, 0.0};
    accumulateSquares(&sample, 1, ignored);
    return bands;
}

void SoundBandSplitter::flushTinyStates() {
    constexpr float kTiny = 1e-25f;
    for (auto& step : states_) {
        for (auto& state : step) {
            for (float& value : state) {
                if (std::fabs(value) < kTiny) {
                    value = 0.0f;
                }
            }
        }
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
        bands.accumulateSquares(samples, static_cast<std::size_t>(n), sums);
        double input = inputSum;
        for (std::int64_t i = 0; i < n; ++i) {
            input += static_cast<double>(samples[i]) * samples[i];
        }
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

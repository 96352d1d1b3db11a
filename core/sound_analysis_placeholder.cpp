// PLACEHOLDER, to be removed when the real band analyser lands: a minimal SoundAnalyser that gives
// every step the RMS level of its samples in all four lanes and as the energy, and the usual
// jump-and-decay pulse on a rise of the energy. It lets the live input be built and tested before
// the analyser itself exists; it has no bands and no loudness normalisation.
#include "core/sound_analysis.hpp"

#include <algorithm>
#include <cmath>

namespace drevik {

struct SoundAnalyser::State {
    std::int64_t stepSamples = 400;
    std::int64_t filled = 0;
    double sumOfSquares = 0;
    float envelope = 0;
    float previousPulse = 0;
    float gain = 1;
};

SoundAnalyser::SoundAnalyser(std::int64_t sampleRate, std::int64_t analysisRate, SoundLoudness, float gain)
    : state_(std::make_unique<State>()) {
    state_->stepSamples = std::max<std::int64_t>(1, sampleRate / std::max<std::int64_t>(1, analysisRate));
    state_->gain = gain;
}

SoundAnalyser::~SoundAnalyser() = default;
SoundAnalyser::SoundAnalyser(SoundAnalyser&&) noexcept = default;
SoundAnalyser& SoundAnalyser::operator=(SoundAnalyser&&) noexcept = default;

void SoundAnalyser::push(std::span<const float> mono, std::vector<AudioFeatures>& steps) {
    State& s = *state_;
    for (float sample : mono) {
        s.sumOfSquares += static_cast<double>(sample) * sample;
        if (++s.filled < s.stepSamples) continue;
        const auto level = static_cast<float>(
            std::min(1.0, std::sqrt(s.sumOfSquares / static_cast<double>(s.stepSamples)) * s.gain * 2.0));
        const float onset = level - s.envelope;
        const float impulse = onset >= 0.0f ? std::min(onset * 5.5f, 1.0f) : 0.0f;
        const float pulse = std::max(s.previousPulse * 0.86f, impulse);
        steps.push_back(AudioFeatures{Float4{level, level, level, level}, level, pulse});
        s.envelope = s.envelope * 0.7f + level * 0.3f;
        s.previousPulse = pulse;
        s.filled = 0;
        s.sumOfSquares = 0;
    }
}

std::int64_t SoundAnalyser::pendingSamples() const { return state_->filled; }

} // namespace drevik

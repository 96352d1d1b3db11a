// The sound analyser on made signals: bands, levels, loudness, onsets and streaming.
#include "core/sound_analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace drevik {
namespace {

constexpr std::int64_t kRate = 48000;
constexpr std::int64_t kSteps = 120;

std::vector<float> tone(double hertz, double seconds, double amplitude) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hertz * static_cast<double>(i) / kRate));
    }
    return samples;
}

std::vector<AudioFeatures> analyse(const std::vector<float>& mono, SoundLoudness loudness, float gain = 1.0f) {
    SoundAnalyser analyser(kRate, kSteps, loudness, gain);
    std::vector<AudioFeatures> steps;
    analyser.push(mono, steps);
    return steps;
}

float lane(const AudioFeatures& f, int k) { return k == 0 ? f.channels.x : k == 1 ? f.channels.y : k == 2 ? f.channels.z : f.channels.w; }

TEST(SoundAnalysis, AToneAtEachBandsCentreLandsInItsLane) {
    const double centres[4] = {100.0, 707.0, 3464.0, 12000.0};
    for (int k = 0; k < 4; ++k) {
        const auto steps = analyse(tone(centres[k], 1.0, 0.5), SoundLoudness::fixed);
        const AudioFeatures& settled = steps[100];
        EXPECT_GT(lane(settled, k), 0.6f) << centres[k] << " Hz";
        EXPECT_EQ(settled.energy, lane(settled, k)) << centres[k] << " Hz";
        for (int other = 0; other < 4; ++other) {
            if (other != k) {
                EXPECT_LT(lane(settled, other), 0.3f * lane(settled, k)) << centres[k] << " Hz in lane " << other;
            }
        }
    }
}

TEST(SoundAnalysis, TheBandsAddUpToTheSignalAtFullLevelAtEveryFrequency) {
    for (const double hertz : {30.0, 180.0, 250.0, 900.0, 2000.0, 4000.0, 6000.0, 9000.0, 18000.0}) {
        SoundBandSplitter bands(kRate);
        double sumSquares = 0.0, bandSquares = 0.0;
        const auto signal = tone(hertz, 1.0, 1.0);
        for (std::size_t i = 0; i < signal.size(); ++i) {
            const auto b = bands.split(signal[i]);
            if (i >= signal.size() / 2) { // after the filters have settled
                const double sum = b[0] + b[1] + b[2] + b[3];
                sumSquares += sum * sum;
                bandSquares += static_cast<double>(signal[i]) * signal[i];
            }
        }
        EXPECT_NEAR(std::sqrt(sumSquares / bandSquares), 1.0, 1e-3) << hertz << " Hz";
    }
}

// Amplitude of the bands below `edge` together and above it together, for a settled tone.
std::pair<double, double> splitAmplitudes(double hertz, int edge) {
    SoundBandSplitter bands(kRate);
    const auto signal = tone(hertz, 1.0, 1.0);
    double below = 0.0, above = 0.0;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        const auto b = bands.split(signal[i]);
        double low = 0.0, high = 0.0;
        for (int k = 0; k < 4; ++k) (k <= edge ? low : high) += b[static_cast<std::size_t>(k)];
        if (i >= signal.size() / 2) {
            below += low * low;
            above += high * high;
        }
    }
    const double n = static_cast<double>(signal.size() / 2);
    return {std::sqrt(2.0 * below / n), std::sqrt(2.0 * above / n)};
}

TEST(SoundAnalysis, EachEdgeIsALinkwitzRileyCrossover) {
    // 24 dB an octave: two octaves from an edge the other side keeps (1/4)^4 / (1 + (1/4)^4) of a tone.
    for (int edge = 0; edge < 3; ++edge) {
        const double fc = soundBandEdgesHz[edge];
        EXPECT_LT(splitAmplitudes(fc / 4, edge).second, 0.005) << "above " << fc;
        const double high = std::min(4 * fc, 18000.0);
        const double ratio = high / fc;
        EXPECT_LT(splitAmplitudes(high, edge).first, 1.3 / (1 + std::pow(ratio, 4))) << "below " << fc;
        // At the edge both sides carry half the amplitude, in phase.
        const auto [low, up] = splitAmplitudes(fc, edge);
        EXPECT_NEAR(low, 0.5, 0.01) << fc;
        EXPECT_NEAR(up, 0.5, 0.01) << fc;
    }
}

TEST(SoundAnalysis, LevelsFollowTheMusicCsvFormulaWithTheGain) {
    // Far from any edge a band carries nearly the whole tone (97%): rms 0.25 / sqrt 2, times the gain.
    const auto steps = analyse(tone(707.0, 0.5, 0.25), SoundLoudness::fixed, 2.0f);
    const double expected = std::pow(0.25 / std::sqrt(2.0) * 2.0 * 1.9, 0.62);
    EXPECT_NEAR(steps[50].channels.y, expected, 0.02);
    // Silence analyses to silence in either loudness mode.
    for (const auto loudness : {SoundLoudness::fixed, SoundLoudness::adaptive}) {
        for (const AudioFeatures& step : analyse(std::vector<float>(kRate, 0.0f), loudness, 4.0f)) {
            EXPECT_EQ(step, AudioFeatures::silence());
        }
    }
}

TEST(SoundAnalysis, AdaptiveLoudnessGivesAQuietAndALoudSoundTheSameFeatures) {
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 0.1);
    std::vector<float> loud(static_cast<std::size_t>(8 * kRate));
    for (std::size_t i = 0; i < loud.size(); ++i) {
        // Noise with a beat: louder for a tenth of each half second.
        const double beat = (i % (kRate / 2)) < kRate / 20 ? 3.0 : 1.0;
        loud[i] = static_cast<float>(noise(random) * beat);
    }
    std::vector<float> quiet(loud);
    for (float& sample : quiet) {
        sample *= 0.25f; // -12 dB
    }
    const auto a = analyse(loud, SoundLoudness::adaptive);
    const auto b = analyse(quiet, SoundLoudness::adaptive);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t j = 6 * kSteps; j < a.size(); ++j) { // once the loudness has been followed
        for (int k = 0; k < 4; ++k) {
            ASSERT_NEAR(lane(a[j], k), lane(b[j], k), 0.02) << "step " << j;
        }
        ASSERT_NEAR(a[j].pulse, b[j].pulse, 0.02) << "step " << j;
    }
}

TEST(SoundAnalysis, PulseFindsHitsInADenseMixThatNeverDips) {
    // A loud, steady bass holds the energy up; hi-hat-like noise bursts every half second are the beat.
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 0.15);
    auto mix = tone(60.0, 4.0, 0.8);
    const std::size_t beat = kRate / 2;
    for (std::size_t i = 0; i < mix.size(); ++i) {
        if (i % beat < kRate / 50) {
            mix[i] += static_cast<float>(noise(random));
        }
    }
    const auto steps = analyse(mix, SoundLoudness::fixed);
    const std::size_t stepsPerBeat = kSteps / 2;
    for (std::size_t hit = 1; hit < 8; ++hit) {
        const std::size_t first = hit * stepsPerBeat;
        EXPECT_LT(steps[first - 1].pulse, 0.35f) << "before hit " << hit;
        EXPECT_GT(std::max(steps[first].pulse, steps[first + 1].pulse), 0.9f) << "at hit " << hit;
        EXPECT_GT(steps[first].energy, 0.8f * steps[first - 1].energy) << "energy hardly moves";
    }
}

TEST(SoundAnalysis, StreamingInAnyBlocksGivesTheSameStepsAsOnePush) {
    auto signal = tone(440.0, 1.0, 0.3);
    const auto whole = analyse(signal, SoundLoudness::adaptive);
    ASSERT_EQ(whole.size(), static_cast<std::size_t>(kSteps));

    SoundAnalyser analyser(kRate, kSteps, SoundLoudness::adaptive);
    std::vector<AudioFeatures> streamed;
    std::mt19937 random(11);
    std::size_t at = 0;
    while (at < signal.size()) {
        const std::size_t n = std::min<std::size_t>(signal.size() - at, 1 + random() % 997);
        analyser.push(std::span(signal).subspan(at, n), streamed);
        at += n;
        // A step is out as soon as its last sample is in.
        EXPECT_EQ(streamed.size(), at / 400);
        EXPECT_EQ(analyser.pendingSamples(), static_cast<std::int64_t>(at % 400));
    }
    EXPECT_EQ(streamed, whole);
}

TEST(SoundAnalysis, FinishCompletesThePartialStepAndPadsWithDecayingSilence) {
    SoundAnalyser analyser(kRate, kSteps, SoundLoudness::fixed);
    std::vector<AudioFeatures> steps;
    analyser.push(tone(707.0, 0.1025, 0.5), steps); // 12 steps and 120 samples
    ASSERT_EQ(steps.size(), 12u);
    analyser.finish(20, steps);
    ASSERT_EQ(steps.size(), 20u);
    EXPECT_GT(steps[12].channels.y, 0.5f); // the partial step measures its own 120 samples
    for (std::size_t j = 14; j < 20; ++j) {
        EXPECT_EQ(steps[j].energy, 0.0f);
        EXPECT_FLOAT_EQ(steps[j].pulse, steps[j - 1].pulse * 0.86f);
    }
}

} // namespace
} // namespace drevik

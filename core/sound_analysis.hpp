#pragma once
// Features of a recorded or live sound, step by step: four frequency bands that add back up to the
// signal, each band's level, the energy and an onset pulse, in the same 0...1 ranges and at the same
// step rate as a Music.csv soundtrack, so the picture reacts to a song and to the room as it does to
// a Music.csv.
//
// The analyser is a stream: a sound file pushes its whole mono mix through one, a live input pushes
// each captured block as it arrives. Either way a step's features depend only on the samples up to
// the step's end, so a live step is ready as soon as its last sample has been captured.
#include "core/music_timeline.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace drevik {

// Upper edges of bands 0, 1 and 2 in hertz; band 3 holds everything above the last.
inline constexpr double soundBandEdgesHz[3] = {250.0, 2000.0, 6000.0};

// The loudness a sound is analysed at, in LUFS (EBU R128 integrated loudness): a sound measured at
// L LUFS is analysed with the gain soundAnalysisGain(L), so a quiet and a loud master of one song
// give the same features.
inline constexpr double soundAnalysisLoudnessLufs = -9.0;
float soundAnalysisGain(double integratedLufs);

// The four bands of a mono signal, sample by sample: Linkwitz-Riley crossovers (24 dB per octave)
// at the band edges, each branch turned by the other crossovers' all-pass so that the four add up
// to the signal at full level at every frequency; only its phase turns, as in a loudspeaker's
// crossover. The eleven filters run as a pipeline of three four-lane steps, so each band sample
// comes out `latencySamples` after its input sample.
class SoundBandSplitter {
public:
    static constexpr int latencySamples = 5;

    explicit SoundBandSplitter(std::int64_t sampleRate);
    // Takes one sample and gives the bands of the sample latencySamples before it.
    std::array<double, 4> split(float sample);
    // Takes the samples and adds the squares of the band samples they complete to `squares`.
    void accumulateSquares(const float* samples, std::size_t count, std::array<double, 4>& squares);
    // Sets every filter state that has decayed below audibility to zero, so that long silences do
    // not slow the filters down with denormal numbers.
    void flushTinyStates();

private:
    // Per pipeline step: coefficients b0, b1, b2, a1, a2 and states s1, s2, four lanes each.
    alignas(16) float coefficients_[3][5][4] = {};
    alignas(16) float states_[3][2][4] = {};
    alignas(16) float outputs_[3][4] = {}; // each step's last outputs
    // All-pass outputs held one sample, to meet the low passes' second stage.
    float middleAllPass_ = 0, lowAllPass_ = 0, highAllPass_ = 0;
};

enum class SoundLoudness {
    fixed,    // the gain given, for example from a file's integrated loudness
    adaptive, // a gain that follows the recent loudness, for live sound
};

// The analyser in its two halves, for a sound whose gain is known only once all of it has been read
// (a file's integrated loudness): the band powers of each step, the costly half that visits every
// sample, and the features of measured steps. SoundAnalyser is the two in one.
struct SoundStepPower {
    std::array<double, 4> bands = {0.0, 0.0, 0.0, 0.0}; // mean square of each band over the step
    double input = 0.0;                                   // mean square of the signal itself
};

class SoundStepMeter {
public:
    SoundStepMeter(std::int64_t sampleRate, std::int64_t analysisRate);
    ~SoundStepMeter();
    SoundStepMeter(SoundStepMeter&&) noexcept;
    SoundStepMeter& operator=(SoundStepMeter&&) noexcept;

    // As SoundAnalyser::push, with the powers of each step completed.
    void push(std::span<const float> mono, std::vector<SoundStepPower>& steps);
    std::int64_t pendingSamples() const;
    // As SoundAnalyser::finish: the partial step, then steps without samples up to stepCount.
    void finish(std::int64_t stepCount, std::vector<SoundStepPower>& steps);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Features of measured steps, one after the other (the onset and the adaptive loudness follow
// the steps in order).
class SoundFeatureSteps {
public:
    SoundFeatureSteps(std::int64_t analysisRate, SoundLoudness loudness, float gain = 1.0f);
    AudioFeatures next(const SoundStepPower& power);

private:
    std::int64_t analysisRate_;
    SoundLoudness loudness_;
    double gain_;
    std::array<float, 4> envelopes_ = {0.0f, 0.0f, 0.0f, 0.0f}; // each band's smoothed level
    float fluxFloor_ = 0.0f;                                  // the recent mean of the flux
    float previousPulse_ = 0.0f;
    double followedMeanSquare_ = 0.0; // the adaptive loudness's view of the signal
};

// Not thread-safe: one analyser per stream, used from one thread.
class SoundAnalyser {
public:
    SoundAnalyser(std::int64_t sampleRate, std::int64_t analysisRate, SoundLoudness loudness,
                  float gain = 1.0f);
    ~SoundAnalyser();
    SoundAnalyser(SoundAnalyser&&) noexcept;
    SoundAnalyser& operator=(SoundAnalyser&&) noexcept;

    // Analyses `mono` (in -1...1) after everything pushed before and appends the features of each
    // step it completes, in order.
    void push(std::span<const float> mono, std::vector<AudioFeatures>& steps);

    // Samples pushed since the last completed step.
    std::int64_t pendingSamples() const;

    // Completes the step in progress, even a partial one, then appends steps without samples
    // (silent, with the pulse decaying) until this analyser has made `stepCount` steps in all.
    void finish(std::int64_t stepCount, std::vector<AudioFeatures>& steps);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace drevik

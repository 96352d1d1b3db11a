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

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace drevik {

// Upper edges of bands 0, 1 and 2 in hertz; band 3 holds everything above the last.
inline constexpr double soundBandEdgesHz[3] = {250.0, 2000.0, 6000.0};

enum class SoundLoudness {
    fixed,    // the gain given, for example from a file's integrated loudness
    adaptive, // a gain that follows the recent loudness, for live sound
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

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace drevik

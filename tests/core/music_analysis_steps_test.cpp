// The analysis steps against a plain per-sample reference: each step's level is the mean square
// of exactly the samples that fall into it, with steps that no sample reaches left silent.
#include "core/music_timeline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace drevik {
namespace {

// One channel: its bipolar value is the sample itself, so lane 0 can be checked from the samples.
std::string oneChannelMusic(double seconds, int rows, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> times(static_cast<std::size_t>(rows));
    for (double& time : times) {
        time = unit(random);
    }
    std::sort(times.begin(), times.end());
    times[3] = times[4]; // two rows at one time
    char line[64];
    std::snprintf(line, sizeof line, "# duration_seconds=%g\ntime,only\n", seconds);
    std::string text = line;
    for (double time : times) {
        std::snprintf(line, sizeof line, "%.6f,%.6f\n", time, unit(random));
        text += line;
    }
    return text;
}

void expectStepsMatchSamples(std::int64_t sampleRate, std::int64_t analysisRate, double seconds, unsigned seed) {
    const MusicTimeline music =
        MusicTimeline::fromCsvData(oneChannelMusic(seconds, 40, seed), "Music.csv", sampleRate, analysisRate);
    const auto steps = static_cast<std::int64_t>(music.analysis.size());
    ASSERT_EQ(steps, static_cast<std::int64_t>(std::ceil(music.durationSeconds * static_cast<double>(analysisRate))) + 1);
    std::vector<double> sums(static_cast<std::size_t>(steps));
    std::vector<std::int64_t> counts(static_cast<std::size_t>(steps));
    for (std::size_t s = 0; s < music.samples.size(); ++s) {
        const std::int64_t step = std::min(static_cast<std::int64_t>(s) * analysisRate / sampleRate, steps - 1);
        const double b = music.samples[s];
        sums[static_cast<std::size_t>(step)] += b * b;
        counts[static_cast<std::size_t>(step)] += 1;
    }
    for (std::int64_t j = 0; j < steps; ++j) {
        const auto k = static_cast<std::size_t>(j);
        const double meanSquare = counts[k] == 0 ? 0.0 : sums[k] / static_cast<double>(counts[k]);
        const double expected = std::min(std::pow(std::sqrt(meanSquare) * 1.9, 0.62), 1.0);
        EXPECT_NEAR(music.analysis[k].channels.x, expected, 1e-5) << "step " << j;
        EXPECT_EQ(music.analysis[k].channels.y, 0.0f) << "step " << j;
        EXPECT_EQ(music.analysis[k].energy, music.analysis[k].channels.x) << "step " << j;
    }
}

TEST(MusicAnalysisSteps, EachStepMeasuresExactlyItsOwnSamples) {
    // Steps of a whole number of samples, of a fraction (142.857...), and longer than the gaps
    // between rows; the last step gets no samples.
    expectStepsMatchSamples(48000, 120, 2, 11);
    expectStepsMatchSamples(1000, 7, 3, 12);
    expectStepsMatchSamples(500, 50, 1.5, 13);
    expectStepsMatchSamples(44100, 60, 0.75, 14);
}

TEST(MusicAnalysisSteps, ADurationThatIsNotAWholeNumberOfStepsEndsInAPartStep) {
    expectStepsMatchSamples(1000, 7, 2.05, 15);
    expectStepsMatchSamples(48000, 120, 1.0001, 16);
}

} // namespace
} // namespace drevik

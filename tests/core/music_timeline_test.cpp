#include "core/music_timeline.hpp"

#include "tests/core/contract_error_support.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

namespace drevik {
namespace {

using testing::contractErrorText;

MusicTimeline read(const std::string& text, std::int64_t sampleRate = 48000, std::int64_t analysisRate = 120) {
    return MusicTimeline::fromCsvData(text, "Music.csv", sampleRate, analysisRate);
}

std::string errorOf(const std::string& text) {
    return contractErrorText([&] { read(text); });
}

// The level of one lane for a mean square, computed the way the analysis does.
float level(double meanSquare) {
    return static_cast<float>(std::min(std::pow(std::sqrt(meanSquare) * 1.9, 0.62), 1.0));
}

bool allSamplesEqual(const MusicTimeline& timeline, std::size_t from, std::size_t to, float value) {
    return std::all_of(timeline.samples.begin() + static_cast<std::ptrdiff_t>(from),
                       timeline.samples.begin() + static_cast<std::ptrdiff_t>(to),
                       [&](float sample) { return sample == value; });
}

const std::string kOneSecond = "# duration_seconds=1\n";

TEST(MusicTimelineSignal, HoldsEachRowsValuesUntilTheNextTransition) {
    const auto timeline = read(kOneSecond + "time,lead,counter,bass,percussion\n0,1,0.5,0.5,0.5\n0.5,0.5,,,\n");
    EXPECT_EQ(timeline.channelNames, (std::vector<std::string>{"lead", "counter", "bass", "percussion"}));
    EXPECT_EQ(timeline.durationSeconds, 1.0);
    EXPECT_EQ(timeline.sampleRate, 48000);
    EXPECT_EQ(timeline.analysisRate, 120);
    ASSERT_EQ(timeline.samples.size(), 48000u);
    EXPECT_TRUE(allSamplesEqual(timeline, 0, 24000, 1.0f));
    EXPECT_TRUE(allSamplesEqual(timeline, 24000, 48000, 0.0f));

    ASSERT_EQ(timeline.analysis.size(), 121u); // one step more than the duration covers
    for (std::size_t step = 0; step < 121; ++step) {
        const Float4 expected{step < 60 ? 1.0f : 0.0f, 0.0f, 0.0f, 0.0f};
        EXPECT_EQ(timeline.analysis[step].channels, expected) << step;
        EXPECT_EQ(timeline.analysis[step].energy, expected.x) << step;
    }
}

TEST(MusicTimelineSignal, RestsBeforeTheFirstRowAndWithoutRows) {
    const auto empty = read(kOneSecond + "time,a,b\n");
    EXPECT_TRUE(allSamplesEqual(empty, 0, 48000, 0.0f));
    for (const auto& features : empty.analysis) {
        EXPECT_EQ(features, AudioFeatures::silence());
    }

    const auto late = read(kOneSecond + "time,a\n0.25,0\n");
    EXPECT_TRUE(allSamplesEqual(late, 0, 12000, 0.0f));
    EXPECT_TRUE(allSamplesEqual(late, 12000, 48000, -1.0f));

    // Without a declaration the duration is 300 seconds.
    const auto standard = read("time,a\n", 10, 2);
    EXPECT_EQ(standard.durationSeconds, 300.0);
    EXPECT_EQ(standard.samples.size(), 3000u);
    EXPECT_EQ(standard.analysis.size(), 601u);
}

TEST(MusicTimelineSignal, ClampsTheMixButNotTheLanes) {
    EXPECT_TRUE(allSamplesEqual(read(kOneSecond + "time,a,b\n0,1,1\n"), 0, 48000, 1.0f));
    EXPECT_TRUE(allSamplesEqual(read(kOneSecond + "time,a,b,c\n0,0,0,0\n"), 0, 48000, -1.0f));

    // Channels four and five share lane 3: their bipolar values are summed before squaring.
    const auto loud = read(kOneSecond + "time,a,b,c,d,e\n0,0.5,0.5,0.5,1,1\n");
    EXPECT_TRUE(allSamplesEqual(loud, 0, 48000, 1.0f));
    EXPECT_EQ(loud.analysis[0].channels, (Float4{0, 0, 0, 1}));
    EXPECT_EQ(loud.analysis[0].channels.w, level(4.0));

    const auto cancelling = read(kOneSecond + "time,a,b,c,d,e\n0,0.5,0.5,0.75,1,0\n");
    EXPECT_TRUE(allSamplesEqual(cancelling, 0, 48000, 0.5f));
    EXPECT_EQ(cancelling.analysis[0].channels, (Float4{0, 0, level(0.25), 0}));
    EXPECT_EQ(cancelling.analysis[0].energy, level(0.25));
}

TEST(MusicTimelineSignal, ATransitionSampleBelongsToTheNewValues) {
    // 1/16 of 48000 is sample 3000, half way through step 7.
    const auto timeline = read(kOneSecond + "time,a\n0,0.75\n0.0625,0.5\n");
    EXPECT_TRUE(allSamplesEqual(timeline, 0, 3000, 0.5f));
    EXPECT_TRUE(allSamplesEqual(timeline, 3000, 48000, 0.0f));
    for (std::size_t step = 0; step < 7; ++step) {
        EXPECT_EQ(timeline.analysis[step].channels.x, level(0.25)) << step;
    }
    EXPECT_EQ(timeline.analysis[7].channels.x, level(0.25 * 200 / 400)); // 200 of 400 samples
    EXPECT_EQ(timeline.analysis[8].channels.x, 0.0f);
    EXPECT_LT(level(0.25 * 200 / 400), level(0.25));
}

TEST(MusicTimelineSignal, RowsAtOneTimeUpdateValuesInTurn) {
    const auto timeline = read(kOneSecond + "time,a,b\n0.5,0.2,0.9\n0.5,,1\n");
    const float a = (0.2f + -0.5f) + (0.2f + -0.5f);
    const float expected = std::clamp(0.0f + a + 1.0f, -1.0f, 1.0f);
    EXPECT_TRUE(allSamplesEqual(timeline, 0, 24000, 0.0f));
    EXPECT_TRUE(allSamplesEqual(timeline, 24000, 48000, expected));
    EXPECT_EQ(timeline.analysis[60].channels.y, 1.0f);
}

TEST(MusicTimelineSignal, TheLastStepNormallyGetsNoSamples) {
    const auto timeline = read(kOneSecond + "time,a\n0,1\n");
    EXPECT_EQ(timeline.analysis[119].channels.x, 1.0f);
    EXPECT_EQ(timeline.analysis[120].channels.x, 0.0f);
    EXPECT_EQ(timeline.features(1.0), timeline.analysis[120]);
}

TEST(MusicTimelineAnalysis, PulseJumpsAtAnOnsetThenDecays) {
    // Channel at 0.56 from step 12 on gives an energy of about 0.4.
    const auto timeline = read(kOneSecond + "time,a\n0.1,0.56\n");
    const auto& steps = timeline.analysis;
    const float energy = steps[12].energy;
    EXPECT_GT(energy, 0.38f);
    EXPECT_LT(energy, 0.42f);
    for (std::size_t step = 0; step < 12; ++step) {
        EXPECT_EQ(steps[step].pulse, 0.0f) << step;
    }
    EXPECT_EQ(steps[12].pulse, 1.0f);
    EXPECT_EQ(steps[13].pulse, 1.0f);
    EXPECT_EQ(steps[14].pulse, 1.0f);
    EXPECT_EQ(steps[15].pulse, 0.86f);
    EXPECT_EQ(steps[16].pulse, 0.86f * 0.86f);
    EXPECT_NEAR(steps[16].pulse, 0.7396f, 1e-6f);
    EXPECT_EQ(steps[17].pulse, 0.86f * 0.86f * 0.86f);
}

TEST(MusicTimelineAnalysis, FeaturesIndexTheStepWithoutInterpolation) {
    // 180 s: 21601 steps. Loud from 0.99 on, except the last step, which gets no samples.
    const auto timeline = read("# duration_seconds=180\ntime,a\n0,0.75\n0.001,0.5\n0.99,1\n");
    ASSERT_EQ(timeline.samples.size(), 8640000u);
    ASSERT_EQ(timeline.analysis.size(), 21601u);
    EXPECT_EQ(timeline.features(0.0), timeline.analysis[0]);
    EXPECT_EQ(timeline.features(0.0).channels.x, level(0.25));
    EXPECT_EQ(timeline.features(-3.0), timeline.analysis[0]);
    EXPECT_EQ(timeline.features(std::numeric_limits<double>::quiet_NaN()), timeline.analysis[0]);
    EXPECT_EQ(timeline.features(0.5), timeline.analysis[10800]);
    EXPECT_EQ(timeline.features(1.0), timeline.analysis[21600]);
    EXPECT_EQ(timeline.features(1.0).channels.x, 0.0f);
    EXPECT_EQ(timeline.features(7.0), timeline.analysis[21600]);
    EXPECT_EQ(timeline.features(0.99999).channels.x, 1.0f);

    EXPECT_EQ(MusicTimeline{}.features(0.5), AudioFeatures::silence());
}

TEST(MusicTimelineReading, RowErrors) {
    const std::string header = "time,a,b,c\n"; // rows under test are line 2
    EXPECT_EQ(errorOf(header + "0.5,0.2\n"), "Music.csv:2: too few channel fields");
    EXPECT_EQ(errorOf(header + "0.5\n"), "Music.csv:2: too few channel fields");
    EXPECT_EQ(errorOf(header + "0.5,0.2,0.2,0.2,\n"), "Music.csv:2: too many channel fields");
    EXPECT_EQ(errorOf(header + "0.5,0.2,0.2,0.2,0.2\n"), "Music.csv:2: too many channel fields");
    EXPECT_EQ(errorOf(header + "0.5,0.2,x,0.2\n"), "Music.csv:2: channel values must be empty or normalized numbers");
    EXPECT_EQ(errorOf(header + "0.5,0.2,1.01,0.2\n"), "Music.csv:2: channel values must be empty or normalized numbers");
    // Fields are checked in order: a bad value before the fields run out.
    EXPECT_EQ(errorOf(header + "0.5,x\n"), "Music.csv:2: channel values must be empty or normalized numbers");
    EXPECT_EQ(errorOf(header + "1.5,0.2,0.2,0.2\n"), "Music.csv:2: invalid normalized transition time");
    EXPECT_EQ(errorOf(header + ",0.2,0.2,0.2\n"), "Music.csv:2: invalid normalized transition time");
    EXPECT_EQ(errorOf(header + "zero\n"), "Music.csv:2: invalid normalized transition time");
    EXPECT_EQ(errorOf(header + "0.4,,,\n0.4,,,\n0.3,,,\n"), "Music.csv:4: timestamps must be in nondecreasing order.");
    EXPECT_NO_THROW(read(header + "0.4, , ,\t\n0.4,1,0,1\r\n"));
}

TEST(MusicTimelineReading, HeaderErrorsComeBeforeRowErrors) {
    for (const char* names : {"time,", "time,a,,b", "time,a,b,", "time, \t"}) {
        EXPECT_EQ(errorOf("0.5,x\n\n" + std::string(names) + "\n"), "Music.csv:3: channel names may not be empty") << names;
    }
    EXPECT_EQ(errorOf("0.5,1\n# duration_seconds=0\ntime,a\n"), "Music.csv has an invalid duration_seconds declaration.");
    EXPECT_EQ(errorOf("time,a\n0.5,x\n# duration_seconds=-1\n"), "Music.csv has an invalid duration_seconds declaration.");
    EXPECT_EQ(errorOf("0.5,1\ntime,a\n"), "Music.csv is missing its CSV header.");
    EXPECT_EQ(errorOf("# duration_seconds=5\n0.5,1\n"), "Music.csv is missing its CSV header.");
    EXPECT_EQ(errorOf(""), "Music.csv is missing its CSV header.");
    // Scene boundary declarations and other comments are ignored here.
    EXPECT_NO_THROW(read(kOneSecond + "# scene_boundaries_seconds=x\n#duration_seconds=0\ntime,a\n"));
}

TEST(MusicTimelineReading, TheLastHeaderNamesTheChannels) {
    const auto timeline = read(kOneSecond + "time,a,b\n0.5,1,,,,\ntime, lead ,b\xFF" "c,\xE2\x82,\xF0\x80,\xC3\xA9\n");
    EXPECT_EQ(timeline.channelNames,
              (std::vector<std::string>{"lead", "b\xEF\xBF\xBD" "c", "\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xC3\xA9"}));
    // The row was read with five channels, so it has too few fields.
    EXPECT_EQ(errorOf(kOneSecond + "time,a\n0.5,1\ntime,a,b\n"), "Music.csv:3: too few channel fields");
}

TEST(MusicTimelineReading, RefusesSoundtracksTooLongToHold) {
    try {
        read("# duration_seconds=1e9\ntime,a\n0.5,x\n");
        ADD_FAILURE() << "expected an error";
    } catch (const CSVContractError&) {
        ADD_FAILURE() << "not a contract error";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "Music.csv declares 1000000000.0 seconds, more than the 86400 seconds Drevik can play.");
    }
    EXPECT_THROW(read("# duration_seconds=86400.5\ntime,a\n", 1, 1), Error);
    EXPECT_THROW(read("# duration_seconds=1e300\ntime,a\n", 1, 1), Error);
    const auto longest = read("# duration_seconds=86400\ntime,a\n0.5,1\n", 1, 1);
    EXPECT_EQ(longest.samples.size(), 86400u);
    EXPECT_EQ(longest.samples.back(), 1.0f);
}

TEST(MusicTimelineReading, SmallRatesAndTinyDurations) {
    // At least one sample and one step, however short the declaration.
    const auto tiny = read("# duration_seconds=1e-9\ntime,a\n0,1\n");
    EXPECT_EQ(tiny.samples, (std::vector<float>{1.0f}));
    EXPECT_EQ(tiny.analysis.size(), 2u);
    EXPECT_EQ(tiny.analysis[0].channels.x, 1.0f);
    // Fewer samples than steps: every sample lands in exactly one step.
    const auto coarse = read("# duration_seconds=2\ntime,a\n0,1\n0.5,0.75\n", 2, 5);
    EXPECT_EQ(coarse.samples, (std::vector<float>{1.0f, 1.0f, 0.5f, 0.5f}));
    ASSERT_EQ(coarse.analysis.size(), 11u);
    EXPECT_EQ(coarse.analysis[0].channels.x, 1.0f);
    EXPECT_EQ(coarse.analysis[2].channels.x, 1.0f);
    EXPECT_EQ(coarse.analysis[5].channels.x, level(0.25));
    EXPECT_EQ(coarse.analysis[1].channels.x, 0.0f); // no sample falls into step 1
}

TEST(MusicTimelineReading, ReadsFilesByTheirLastPathComponent) {
    const testing::TemporaryFolder folder("drevik-music-test");
    const auto path = folder.path() / "Music.csv";
    testing::writeText(path, kOneSecond + "time,a\n0.5,2\n");
    EXPECT_EQ(contractErrorText([&] { MusicTimeline::fromCsvFile(path, 48000, 120); }),
              "Music.csv:3: channel values must be empty or normalized numbers");
    std::filesystem::remove(path);
    try {
        MusicTimeline::fromCsvFile(path, 48000, 120);
        ADD_FAILURE() << "expected an error";
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()), "Could not read " + path.string() + ": No such file or directory");
    }
}

} // namespace
} // namespace drevik

#include "app/export_progress.hpp"
#include "output/movie_audio.hpp"
#include "output/movie_encoder.hpp"
#include "output/movie_error.hpp"
#include "output/movie_export.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace drevik::MetalMovieRenderer {
namespace {

MusicTimeline rampMusic(double seconds, std::int64_t sampleRate) {
    MusicTimeline music;
    music.durationSeconds = seconds;
    music.sampleRate = sampleRate;
    music.samples.resize(static_cast<std::size_t>(std::llround(seconds * static_cast<double>(sampleRate))));
    for (std::size_t i = 0; i < music.samples.size(); ++i) {
        music.samples[i] = static_cast<float>(i);
    }
    return music;
}

TEST(MovieAudio, FullDurationKeepsTheSamplesShorterTakesEveryNthLongerRepeats) {
    const MusicTimeline music = rampMusic(180, 48000);
    EXPECT_EQ(resampledAudio(music, 180), music.samples);

    const std::vector<float> tenSeconds = resampledAudio(music, 10);
    ASSERT_EQ(tenSeconds.size(), 480'000u);
    for (std::size_t j = 0; j < tenSeconds.size(); j += 997) {
        ASSERT_EQ(tenSeconds[j], static_cast<float>(18 * j)) << j;
    }
    EXPECT_EQ(tenSeconds.back(), static_cast<float>(18 * 479'999));

    const MusicTimeline shortMusic = rampMusic(0.001, 48000); // 48 samples
    const std::vector<float> stretched = resampledAudio(shortMusic, 0.002);
    ASSERT_EQ(stretched.size(), 96u);
    EXPECT_EQ(stretched[0], 0.0f);
    EXPECT_EQ(stretched[1], 0.0f);
    EXPECT_EQ(stretched[2], 1.0f);
    EXPECT_EQ(stretched[95], 47.0f);
}

TEST(MovieAudio, ARecordingsFramesKeepTheirChannelsWhenSqueezed) {
    // Ten stereo frames: left k, right -k.
    std::vector<float> stereo;
    for (int k = 0; k < 10; ++k) {
        stereo.push_back(static_cast<float>(k));
        stereo.push_back(-static_cast<float>(k));
    }
    std::vector<float> out(6);
    copyResampledFrames(stereo, 2, 5, 1, out); // frames 1 to 3 of 5: source frames 2, 4, 6
    EXPECT_EQ(out, (std::vector<float>{2, -2, 4, -4, 6, -6}));
    copyResampledFrames(stereo, 2, 10, 7, out); // the recording's own length: frames as they are
    EXPECT_EQ(out, (std::vector<float>{7, -7, 8, -8, 9, -9}));
}

TEST(MovieAudio, CountsRoundHalvesAwayFromZeroAndNeverReachZero) {
    EXPECT_EQ(resampledSampleCount(10, 48000), 480'000);
    EXPECT_EQ(resampledSampleCount(2.5, 1), 3);
    EXPECT_EQ(resampledSampleCount(1e-9, 48000), 1);
    // Any window of the resampled signal equals the same slice of the whole.
    const MusicTimeline music = rampMusic(1, 1000);
    const std::vector<float> whole = resampledAudio(music, 0.37);
    std::vector<float> window(50);
    copyResampledAudio(music.samples, static_cast<std::int64_t>(whole.size()), 200, window);
    EXPECT_TRUE(std::equal(window.begin(), window.end(), whole.begin() + 200));
    // No source samples: silence of the requested length.
    MusicTimeline silent;
    silent.sampleRate = 48000;
    EXPECT_EQ(resampledAudio(silent, 0.01), std::vector<float>(480, 0.0f));
}

TEST(MoviePlan, FrameCountBitRateAndProgressLines) {
    EXPECT_EQ(planMovie(1920, 1080, 60, 180, 48000).frameCount, 10'800);
    EXPECT_EQ(planMovie(1920, 1080, 60, 0.001, 48000).frameCount, 1);
    EXPECT_EQ(planMovie(64, 36, 2, 1.25, 48000).frameCount, 3); // 2.5 rounds up
    EXPECT_EQ(planMovie(64, 36, 2, 1.25, 48000).audioSampleCount, 60'000);
    EXPECT_EQ(movieVideoBitRate(640, 360), 12'000'000);
    EXPECT_EQ(movieVideoBitRate(1920, 1080), 20'736'000);
    EXPECT_EQ(movieVideoBitRate(3840, 2160), 82'944'000);

    std::vector<std::int64_t> progressFrames;
    for (std::int64_t i = 0; i < 10'800; ++i) {
        if (isProgressFrame(i, 10'800, 60)) {
            progressFrames.push_back(i);
        }
    }
    ASSERT_EQ(progressFrames.size(), 37u);
    EXPECT_EQ(progressFrames[1], 300);
    EXPECT_EQ(progressFrames[35], 10'500);
    EXPECT_EQ(progressFrames[36], 10'799);
    EXPECT_EQ(progressLine(1, 10'800), "Metal movie   0.0% (1 / 10800 frames)");
    EXPECT_EQ(progressLine(10'800, 10'800), "Metal movie 100.0% (10800 / 10800 frames)");
    EXPECT_EQ(progressLine(1, 1), "Metal movie 100.0% (1 / 1 frames)");
}

TEST(SoundtrackFeeder, FeedsInStepWithTheFramesInChunksAndInterleavesChannels) {
    MusicTimeline music;
    music.sampleRate = 48000;
    for (int i = 0; i < 200'000; ++i) music.samples.push_back(static_cast<float>(i));
    std::vector<std::size_t> chunks;
    std::vector<float> fed;
    const SoundtrackFeeder::Append keep = [&](std::span<const float> samples) {
        chunks.push_back(samples.size());
        fed.insert(fed.end(), samples.begin(), samples.end());
    };
    SoundtrackFeeder mono(music, 200'000, 48000, 30);
    mono.feedThroughFrame(-1, keep);
    EXPECT_TRUE(fed.empty());
    mono.feedThroughFrame(0, keep); // through 1/30 s
    EXPECT_EQ(fed.size(), 1600u);
    mono.feedAll(keep);
    EXPECT_EQ(chunks, (std::vector<std::size_t>{1600, 65'536, 65'536, 65'536, 1792}));
    EXPECT_EQ(fed.back(), 199'999.0f);

    fed.clear();
    music.playbackChannels = 2;
    for (int i = 0; i < 200'000; ++i) music.playbackSamples.insert(music.playbackSamples.end(), {float(i), -float(i)});
    SoundtrackFeeder stereo(music, 3, 48000, 30);
    stereo.feedAll(keep);
    // every 66,666.67th sample frame, both channels
    EXPECT_EQ(fed, (std::vector<float>{0, -0.0f, 66'666, -66'666, 133'333, -133'333}));
}

std::string refusal(std::int64_t width, std::int64_t height, std::int64_t fps, double seconds,
                    std::int64_t largest = maximumEncoderDimension) {
    try {
        planMovie(width, height, fps, seconds, 48000, largest);
    } catch (const MovieRendererError& error) {
        EXPECT_EQ(error.kind(), MovieRendererError::Kind::writerFailed);
        return error.what();
    }
    return "accepted";
}

TEST(MoviePlan, RefusesWhatCannotBeRenderedOrEncoded) {
    EXPECT_EQ(refusal(321, 180, 30, 2), "Movie writer failed: H.264 needs an even width and height, got 321\u00d7180");
    EXPECT_EQ(refusal(320, 17, 30, 2), "Movie writer failed: H.264 needs an even width and height, got 320\u00d717");
    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(refusal(320, 180, 30, infinity),
              "Movie writer failed: the duration must be more than 0 and at most 86400 seconds, got inf");
    EXPECT_NE(refusal(320, 180, 30, std::nan("")).find("got nan"), std::string::npos);
    EXPECT_NE(refusal(320, 180, 30, 1e300).find("got 1e+300"), std::string::npos);
    EXPECT_NE(refusal(320, 180, 1'000'000'000'000, 2).find("frame rate"), std::string::npos);
    EXPECT_NE(refusal(20'000, 180, 30, 2).find("larger than this device can render"), std::string::npos);
    EXPECT_NE(refusal(4'096, 180, 30, 2, 2'048).find("2048\u00d72048 at most"), std::string::npos);
    EXPECT_EQ(refusal(16'384, 16, 1'000, 86'400), "accepted");
}

TEST(MovieRendererErrorText, DescriptionsAreExact) {
    EXPECT_STREQ(MovieRendererError::outputExists("/tmp/a b.mp4").what(), "Movie already exists: /tmp/a b.mp4");
    EXPECT_STREQ(MovieRendererError::writerFailed("could not append audio").what(),
                 "Movie writer failed: could not append audio");
    EXPECT_STREQ(MovieRendererError::noMetalDevice().what(), "This Mac does not provide a Metal device.");
    EXPECT_STREQ(MovieRendererError::cannotCreateTextureCache().what(),
                 "Could not create the Core Video / Metal texture cache.");
    EXPECT_STREQ(MovieRendererError::cannotCreatePixelBuffer().what(), "Could not allocate an encoded video frame.");
    EXPECT_STREQ(MovieRendererError::cannotWrapPixelBuffer().what(), "Could not expose the encoded frame to Metal.");
    EXPECT_STREQ(MovieRendererError::cannotAppendFrame().what(), "Could not append a Metal frame to the movie.");
}

} // namespace
} // namespace drevik::MetalMovieRenderer

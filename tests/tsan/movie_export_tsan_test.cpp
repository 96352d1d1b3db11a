// The movie export's render thread (the caller's) against its encode thread, with a renderer and
// an encoder that only touch memory: every frame buffer travels between the two threads and back.
#include "output/movie_export.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace drevik::MetalMovieRenderer {
namespace {

MusicTimeline shortMusic(double seconds) {
    MusicTimeline music;
    music.durationSeconds = seconds;
    music.sampleRate = 8000;
    music.samples.assign(static_cast<std::size_t>(seconds * 8000), 0.25f);
    music.analysisRate = 120;
    music.analysis.resize(static_cast<std::size_t>(seconds * 120) + 1);
    return music;
}

// Writes every byte of the frame: the frame index in the first eight bytes, a pattern after.
class WritingRenderer final : public MovieFrameRenderer {
public:
    std::int64_t failAtFrame = -1;
    std::int64_t rendered = 0;

    void renderFrame(std::int64_t frameIndex, double, const AudioFeatures& features, std::span<std::uint8_t> bgra,
                     std::int64_t) override {
        if (frameIndex == failAtFrame) {
            throw std::runtime_error("renderer failed");
        }
        std::memcpy(bgra.data(), &frameIndex, sizeof frameIndex);
        for (std::size_t i = sizeof frameIndex; i < bgra.size(); ++i) {
            bgra[i] = static_cast<std::uint8_t>(i + static_cast<std::size_t>(frameIndex) + (features.energy > 0 ? 1 : 0));
        }
        ++rendered;
    }
};

// Reads every byte of each frame it is given and checks that it is the frame it expects.
class ReadingSink final : public MovieFrameSink {
public:
    std::size_t frameBytes = 0;
    std::int64_t failAtFrame = -1;
    std::int64_t frames = 0;
    std::int64_t samples = 0;
    bool finished = false;
    bool inOrder = true;
    std::uint64_t checksum = 0;

    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t, std::int64_t frameIndex) override {
        if (frameIndex == failAtFrame) {
            throw std::runtime_error("encoder failed");
        }
        std::int64_t written = 0;
        std::memcpy(&written, bgra, sizeof written);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < frameBytes; ++i) {
            sum += bgra[i];
        }
        checksum += sum;
        inOrder = inOrder && written == frameIndex && frameIndex == frames;
        ++frames;
    }
    void appendAudio(std::span<const float> chunk) override { samples += static_cast<std::int64_t>(chunk.size()); }
    void finish() override { finished = true; }
};

void exportFrames(int queuedFrames) {
    const MusicTimeline music = shortMusic(2);
    const MoviePlan plan = planMovie(32, 16, 100, 2, music.sampleRate);
    WritingRenderer renderer;
    ReadingSink sink;
    sink.frameBytes = static_cast<std::size_t>(plan.width * 4 * plan.height);
    MovieExportOptions options;
    options.progress = nullptr;
    options.queuedFrames = queuedFrames;
    renderAndEncode(plan, music, renderer, sink, options);
    EXPECT_EQ(renderer.rendered, plan.frameCount);
    EXPECT_EQ(sink.frames, plan.frameCount);
    EXPECT_TRUE(sink.inOrder);
    EXPECT_EQ(sink.samples, plan.audioSampleCount);
    EXPECT_TRUE(sink.finished);
}

TEST(MovieExportThreads, FramesTravelBetweenTheRenderAndEncodeThreads) {
    exportFrames(1);
    exportFrames(2);
    exportFrames(4);
}

TEST(MovieExportThreads, FailuresOnEitherThreadStopTheExport) {
    const MusicTimeline music = shortMusic(2);
    const MoviePlan plan = planMovie(32, 16, 100, 2, music.sampleRate);
    MovieExportOptions options;
    options.progress = nullptr;
    {
        WritingRenderer renderer;
        ReadingSink sink;
        sink.frameBytes = static_cast<std::size_t>(plan.width * 4 * plan.height);
        sink.failAtFrame = 57;
        EXPECT_THROW(renderAndEncode(plan, music, renderer, sink, options), std::runtime_error);
        EXPECT_FALSE(sink.finished);
    }
    {
        WritingRenderer renderer;
        renderer.failAtFrame = 91;
        ReadingSink sink;
        sink.frameBytes = static_cast<std::size_t>(plan.width * 4 * plan.height);
        EXPECT_THROW(renderAndEncode(plan, music, renderer, sink, options), std::runtime_error);
        EXPECT_FALSE(sink.finished);
    }
}

} // namespace
} // namespace drevik::MetalMovieRenderer

// Frames on their way together: pictures read back inside their own command buffers, several
// submitted before the first is collected, on the software driver with validation on.
#include "render/offscreen_frames.hpp"
#include "tests/render/gpu_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace drevik {
namespace {

// Lines that turn over the show, so that every moment differs.
GraphicsTimeline turningLines() {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 10;
    for (int frame = 0; frame < 8; ++frame) {
        const float shift = 0.05f * static_cast<float>(frame);
        const auto first = static_cast<std::uint32_t>(timeline.segments.size());
        timeline.segments.push_back(PackedLine::make(0.1f + shift, 0.2f, 0.9f - shift, 0.8f));
        timeline.segments.push_back(PackedLine::make(0.2f, 0.9f - shift, 0.8f, 0.1f + shift));
        timeline.frames.push_back({frame / 8.0, {first, first + 2}});
    }
    return timeline;
}

class FramesInFlight : public testing::ValidatedGpuTest {};

TEST_F(FramesInFlight, PicturesCollectedInTurnAreThoseRenderedOneAtATime) {
    const GraphicsTimeline timeline = turningLines();
    constexpr std::size_t width = 96, height = 54;
    const double times[] = {0.0, 0.2, 0.45, 0.7, 0.95};
    std::vector<std::vector<std::uint8_t>> alone;
    {
        OffscreenFrames frames(device, timeline, "Drevik test");
        ASSERT_TRUE(frames.resize(width, height));
        for (double t : times) {
            alone.emplace_back(width * height * 4);
            frames.render(t, AudioFeatures::silence(), alone.back(), width * 4);
        }
    }
    OffscreenFrames frames(device, timeline, "Drevik test");
    ASSERT_TRUE(frames.resize(width, height));
    std::vector<std::vector<std::uint8_t>> together;
    std::size_t submitted = 0;
    for (double t : times) {
        if (frames.pending() == OffscreenFrames::framesInFlight) {
            together.emplace_back(width * height * 4);
            frames.collect(together.back(), width * 4);
        }
        frames.submit(t, AudioFeatures::silence());
        ++submitted;
        // Up to the ring's depth on the GPU before the first picture is taken.
        EXPECT_EQ(frames.pending(), std::min(submitted, OffscreenFrames::framesInFlight));
    }
    EXPECT_GE(OffscreenFrames::framesInFlight, 2u);
    while (frames.pending() > 0) {
        together.emplace_back(width * height * 4);
        frames.collect(together.back(), width * 4);
    }
    ASSERT_EQ(together.size(), alone.size());
    for (std::size_t i = 0; i < alone.size(); ++i) EXPECT_EQ(together[i], alone[i]) << "frame " << i;
    EXPECT_NE(alone[0], alone[2]); // the moments differ, so the order is checked
}

TEST_F(FramesInFlight, AClearedFrameFillsPaddedRowsAndNothingSubmittedIsRefused) {
    const GraphicsTimeline timeline = turningLines();
    OffscreenFrames frames(device, timeline, "Drevik test");
    ASSERT_TRUE(frames.resize(8, 4));
    std::vector<std::uint8_t> tight(128);
    EXPECT_THROW(frames.collect(tight, 32), gpu::GpuError); // nothing submitted
    // A time before the first frame: the pass only clears, to opaque black, into rows 40 bytes apart.
    frames.submit(-1.0, AudioFeatures::silence());
    std::vector<std::uint8_t> padded(40 * 4, 7);
    frames.collect(padded, 40);
    for (std::size_t row = 0; row < 4; ++row) {
        for (std::size_t x = 0; x < 8; ++x) {
            const std::uint8_t* pixel = &padded[row * 40 + x * 4];
            EXPECT_EQ((std::vector<std::uint8_t>(pixel, pixel + 4)), (std::vector<std::uint8_t>{0, 0, 0, 255}));
        }
        for (std::size_t pad = 32; pad < 40; ++pad) EXPECT_EQ(padded[row * 40 + pad], 7) << "padding overwritten";
    }
}

} // namespace
} // namespace drevik

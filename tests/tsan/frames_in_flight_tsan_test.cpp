// The renderer's frames in flight against a command queue whose completions arrive on a thread of
// their own, as the GPU layer's do: the queue's thread reads each committed frame's stroke buffer
// and uniforms (as the GPU would) before the completion handlers run, so the renderer may write a
// stroke buffer again only after the frame that used it has completed.
#include "render/scene_renderer.hpp"
#include "tests/support/fake_gpu.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace drevik {
namespace {

// 200 frames of a 10-second show, each with a different number of segments, so that the stroke
// buffers are rewritten (and now and then replaced by larger ones) frame after frame.
GraphicsTimeline changingTimeline() {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 10;
    for (int frame = 0; frame < 200; ++frame) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        const int count = 1 + (frame * 7) % 40;
        for (int k = 0; k < count; ++k) {
            const float y = 0.05f + 0.02f * static_cast<float>(k);
            timeline.segments.push_back(PackedLine::make(0.2f, y, 0.8f, y + 0.01f * static_cast<float>(frame % 5)));
        }
        timeline.frames.push_back({frame / 200.0, {first, first + count}});
    }
    return timeline;
}

TEST(FramesInFlight, CompletionsOnTheQueueThreadReturnTheStrokeBuffers) {
    const GraphicsTimeline timeline = changingTimeline();
    std::shared_ptr<gpu::CommandBuffer> last;
    {
        auto device = std::make_shared<testing::FakeDevice>();
        device->completesOnItsOwnThread = true;
        MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
        for (int frame = 0; frame < 150; ++frame) {
            auto commandBuffer = renderer.commandQueue()->commandBuffer();
            AudioFeatures features;
            features.energy = static_cast<float>(frame % 10) / 10.0f;
            renderer.encode(*commandBuffer, {}, 64, 36, timeline, frame / 150.0, features);
            commandBuffer->commit();
            last = commandBuffer;
        }
        last->waitUntilCompleted();
        EXPECT_EQ(last->status(), gpu::CommandBufferStatus::completed);
    }
}

} // namespace
} // namespace drevik

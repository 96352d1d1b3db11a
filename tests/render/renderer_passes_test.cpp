// The renderer's set-up and the commands it records, against a scripted device that logs every call.
#include "render/scene_renderer.hpp"
#include "tests/support/fake_gpu.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <vector>

namespace drevik {
namespace {

using namespace std::chrono_literals;

using testing::FakeCommandBuffer;
using testing::FakeDevice;

std::string setUpFailure(const std::function<void(FakeDevice&)>& script) {
    auto device = std::make_shared<FakeDevice>();
    script(*device);
    try {
        MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 4);
    } catch (const MetalRendererError& error) {
        return error.what();
    }
    return "no error";
}

// Frames at 0.4980 (4 segments), 0.4990 (2) and 0.5 (3) of a 100-second show: at 0.5 the frame on
// screen has 3 strokes and its two afterimage frames 6.
GraphicsTimeline afterimageTimeline() {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 100;
    const std::vector<std::pair<double, int>> frames{{0.4980, 4}, {0.4990, 2}, {0.5, 3}};
    for (const auto& [time, count] : frames) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        for (int k = 0; k < count; ++k) {
            const float y = 0.1f + 0.1f * static_cast<float>(k);
            timeline.segments.push_back(PackedLine::make(0.25f, y, 0.75f, y));
        }
        timeline.frames.push_back({time, {first, first + count}});
    }
    return timeline;
}

std::vector<std::string> expectedDraws(std::size_t S, std::size_t C) {
    const std::size_t H = S - C;
    std::vector<std::string> lines{"label Geometry-derived volumetric line model",
                                   "buffer Packed Graphics.csv lines 1 0 0", "bytes 176 1",
                                   "pipeline Volumetric wireframe depth prepass", "depth Volume depth write"};
    auto draw = [&](std::size_t n, std::size_t base) {
        lines.push_back("draw " + std::to_string(n) + " " + std::to_string(base));
    };
    for (std::size_t r = 0; r < 9; ++r) {
        draw(C, r * S);
    }
    lines.push_back("pipeline Volumetric wireframe color");
    lines.push_back("depth Visible volume surface");
    for (std::size_t r = 0; r < 9; ++r) {
        draw(C, r * S);
    }
    if (H >= 1) {
        lines.push_back("depth Volume glow and history");
        draw(H, C);
        draw(H, 2 * S + C);
    }
    lines.push_back("depth Volume glow and history");
    draw(S, 9 * S);
    draw(S, 10 * S);
    for (std::size_t r = 11; r < 15; ++r) {
        draw(C, r * S);
    }
    lines.push_back("end");
    return lines;
}

TEST(RendererSetUp, ReportsTheFirstFailureWithItsOwnText) {
    EXPECT_EQ(setUpFailure([](FakeDevice& d) { d.giveQueue = false; }), "Metal could not create a command queue.");
    EXPECT_EQ(setUpFailure([](FakeDevice& d) { d.compileError = "line 12: syntax error"; }),
              "Metal shader compilation failed: line 12: syntax error");
    EXPECT_EQ(setUpFailure([](FakeDevice& d) {
                  d.missingFunction = "depthFragment";
                  d.alsoMissingFunction = "lineFragment";
              }),
              "Metal shader function lineFragment is missing.");
    EXPECT_EQ(setUpFailure([](FakeDevice& d) { d.missingFunction = "lineVertex"; }),
              "Metal shader function lineVertex is missing.");
    EXPECT_EQ(setUpFailure([](FakeDevice& d) { d.refusedPipeline = "Volumetric wireframe depth prepass"; }),
              "Metal pipeline creation failed: pipeline creation failed: Volumetric wireframe depth prepass: "
              "unsupported colour attachment pixel format");
    // A platform pipeline the driver refuses is reported by the set-up, with the driver's result.
    EXPECT_EQ(setUpFailure([](FakeDevice& d) { d.refusedVariant = "Volumetric wireframe color / Volume glow and history"; }),
              "Metal pipeline creation failed: pipeline creation failed: vkCreateGraphicsPipelines for "
              "Volumetric wireframe color / Volume glow and history: out of device memory "
              "(VK_ERROR_OUT_OF_DEVICE_MEMORY)");
    // A module the driver refuses keeps the compilation text.
    EXPECT_EQ(setUpFailure([](FakeDevice& d) { d.refusedModule = true; }),
              "Metal shader compilation failed: shader module creation failed: vkCreateShaderModule for lineVertex: "
              "out of host memory (VK_ERROR_OUT_OF_HOST_MEMORY)");
    EXPECT_EQ(setUpFailure([](FakeDevice& d) { d.refusedDepthState = "Visible volume surface"; }),
              "Metal pipeline creation failed: could not create Visible volume surface");
    EXPECT_EQ(MetalRendererError::cannotAllocateBuffer().what(), std::string("Metal could not allocate the line buffer."));
    EXPECT_EQ(MetalRendererError::cannotCreateCommandBuffer().what(),
              std::string("Metal could not create a command buffer."));
    const Error& base = MetalRendererError::noCommandQueue();
    EXPECT_EQ(dynamic_cast<const MetalRendererError&>(base).kind(), MetalRendererError::Kind::noCommandQueue);
}

TEST(RendererSetUp, BuildsTheTwoPipelinesAndThreeDepthStatesAsAsked) {
    auto device = std::make_shared<FakeDevice>();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 4);
    ASSERT_EQ(device->pipelines.size(), 2u);
    const auto& color = device->pipelines[0]->descriptor;
    EXPECT_EQ(color.label, "Volumetric wireframe color");
    EXPECT_EQ(color.vertexFunction->name(), "lineVertex");
    EXPECT_EQ(color.fragmentFunction->name(), "lineFragment");
    EXPECT_EQ(color.rasterSampleCount, 4u);
    EXPECT_EQ(color.depthAttachmentPixelFormat, gpu::PixelFormat::depth32Float);
    const auto& blend = color.colorAttachments[0];
    EXPECT_EQ(blend.pixelFormat, gpu::PixelFormat::bgra8Unorm);
    EXPECT_TRUE(blend.blendingEnabled);
    EXPECT_EQ(blend.sourceRGBBlendFactor, gpu::BlendFactor::sourceAlpha);
    EXPECT_EQ(blend.destinationRGBBlendFactor, gpu::BlendFactor::one);
    EXPECT_EQ(blend.sourceAlphaBlendFactor, gpu::BlendFactor::one);
    EXPECT_EQ(blend.destinationAlphaBlendFactor, gpu::BlendFactor::oneMinusSourceAlpha);
    EXPECT_EQ(blend.writeMask, gpu::ColorWriteMask::all);

    const auto& depth = device->pipelines[1]->descriptor;
    EXPECT_EQ(depth.label, "Volumetric wireframe depth prepass");
    EXPECT_EQ(depth.vertexFunction, color.vertexFunction); // one vertex module for both passes
    EXPECT_EQ(depth.fragmentFunction->name(), "depthFragment");
    EXPECT_EQ(depth.rasterSampleCount, 4u);
    EXPECT_EQ(depth.colorAttachments[0].writeMask, gpu::ColorWriteMask::none);
    EXPECT_FALSE(depth.colorAttachments[0].blendingEnabled);

    ASSERT_EQ(device->depthStates.size(), 3u);
    const auto& states = device->depthStates;
    EXPECT_EQ(states[0]->label(), "Volume depth write");
    EXPECT_EQ(states[0]->depthCompareFunction(), gpu::CompareFunction::lessEqual);
    EXPECT_TRUE(states[0]->depthWriteEnabled());
    EXPECT_EQ(states[1]->label(), "Visible volume surface");
    EXPECT_EQ(states[1]->depthCompareFunction(), gpu::CompareFunction::equal);
    EXPECT_FALSE(states[1]->depthWriteEnabled());
    EXPECT_EQ(states[2]->label(), "Volume glow and history");
    EXPECT_EQ(states[2]->depthCompareFunction(), gpu::CompareFunction::lessEqual);
    EXPECT_FALSE(states[2]->depthWriteEnabled());
    EXPECT_NE(renderer.commandQueue(), nullptr);

    // Each pipeline is built for every depth test it is drawn with before the first frame.
    EXPECT_EQ(device->pipelines[0]->prepared,
              (std::vector<std::string>{"Volumetric wireframe color / Visible volume surface",
                                        "Volumetric wireframe color / Volume glow and history"}));
    EXPECT_EQ(device->pipelines[1]->prepared,
              (std::vector<std::string>{"Volumetric wireframe depth prepass / Volume depth write"}));
}

TEST(RendererPasses, RecordsTheFourPhasesWithAfterimages) {
    auto device = std::make_shared<FakeDevice>();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    const auto timeline = afterimageTimeline();
    FakeCommandBuffer commandBuffer;
    AudioFeatures features;
    features.channels = {0.1f, 0.2f, 0.3f, 0.4f};
    features.energy = 0.5f;
    features.pulse = 0.6f;
    renderer.encode(commandBuffer, {}, 640, 360, timeline, 0.5, features);
    EXPECT_EQ(commandBuffer.log.lines, expectedDraws(9, 3));
    EXPECT_EQ(commandBuffer.handlers.size(), 1u);

    ShaderUniforms u;
    ASSERT_EQ(commandBuffer.encoder->uniforms.size(), sizeof u);
    std::memcpy(&u, commandBuffer.encoder->uniforms.data(), sizeof u);
    EXPECT_EQ(u.viewportTime, (Float4{640, 360, 50, 0.5f}));
    EXPECT_EQ(u.audio, features.channels);
    EXPECT_EQ(u.dynamics, (Float4{0.5f, 0.6f, 9, 15}));
    EXPECT_EQ(renderer.sceneProfiles().size(), 1u);

    // The stroke buffer holds the frame on screen first.
    auto* records = static_cast<const GPUStroke*>(commandBuffer.encoder->boundBuffer->contents());
    EXPECT_EQ(records[0].endpoints, timeline.segments[6].endpoints);
    EXPECT_EQ(records[3].metadata.x, 0.0875f);
    commandBuffer.complete();
}

TEST(RendererPasses, WithoutAfterimagesSkipsTheAfterimagePhase) {
    auto device = std::make_shared<FakeDevice>();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    const auto timeline = afterimageTimeline();
    FakeCommandBuffer commandBuffer;
    renderer.encode(commandBuffer, {}, 640, 360, timeline, 0.4981, AudioFeatures::silence());
    EXPECT_EQ(commandBuffer.log.lines, expectedDraws(4, 4));
    commandBuffer.complete();
}

TEST(RendererPasses, NothingOnScreenOnlyClears) {
    auto device = std::make_shared<FakeDevice>();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    FakeCommandBuffer commandBuffer;
    renderer.encode(commandBuffer, {}, 640, 360, afterimageTimeline(), 0.1, AudioFeatures::silence());
    EXPECT_EQ(commandBuffer.log.lines,
              (std::vector<std::string>{"label Geometry-derived volumetric line model", "end"}));
    EXPECT_TRUE(renderer.sceneProfiles().empty());
    EXPECT_EQ(commandBuffer.handlers.size(), 1u);
    commandBuffer.complete();

}

TEST(RendererPasses, APassThatCannotStartIsAnErrorAndReturnsTheSlot) {
    auto device = std::make_shared<FakeDevice>();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    for (int attempt = 0; attempt < 4; ++attempt) {
        FakeCommandBuffer noEncoder;
        noEncoder.giveEncoder = false;
        try {
            renderer.encode(noEncoder, {}, 640, 360, afterimageTimeline(), 0.5, AudioFeatures::silence());
            FAIL() << "a frame without its render pass was reported as drawn";
        } catch (const gpu::GpuError& error) {
            EXPECT_EQ(error.stage(), gpu::GpuStage::renderPass);
            EXPECT_STREQ(error.what(), "render pass start failed: vkCreateFramebuffer: out of device memory "
                                       "(VK_ERROR_OUT_OF_DEVICE_MEMORY)");
        }
        EXPECT_TRUE(noEncoder.handlers.empty()); // nothing to commit: the slot was given back at once
    }
    std::array<FakeCommandBuffer, 3> buffers;
    auto frames = std::async(std::launch::async, [&] {
        for (auto& b : buffers) renderer.encode(b, {}, 64, 36, afterimageTimeline(), 0.5, {});
    });
    ASSERT_EQ(frames.wait_for(5s), std::future_status::ready);
    frames.get();
    for (auto& b : buffers) b.complete();
}

TEST(RendererPasses, AtMostThreeFramesInFlight) {
    auto device = std::make_shared<FakeDevice>();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    const auto timeline = afterimageTimeline();
    std::array<FakeCommandBuffer, 4> buffers;
    for (int k = 0; k < 3; ++k) {
        renderer.encode(buffers[static_cast<std::size_t>(k)], {}, 64, 36, timeline, 0.5, {});
    }
    auto fourth = std::async(std::launch::async,
                             [&] { renderer.encode(buffers[3], {}, 64, 36, timeline, 0.5, {}); });
    EXPECT_EQ(fourth.wait_for(150ms), std::future_status::timeout);
    buffers[1].complete(); // completion arrives from another thread in practice
    ASSERT_EQ(fourth.wait_for(5s), std::future_status::ready);
    fourth.get();
    for (auto& b : buffers) {
        b.complete();
    }
}

TEST(RendererPasses, AllocationFailureReturnsTheSlotAndTheNextFrameRetries) {
    auto device = std::make_shared<FakeDevice>();
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    const auto timeline = afterimageTimeline();
    device->refuseBuffers = true;
    for (int attempt = 0; attempt < 4; ++attempt) {
        FakeCommandBuffer commandBuffer;
        try {
            renderer.encode(commandBuffer, {}, 64, 36, timeline, 0.5, {});
            FAIL() << "expected an allocation failure";
        } catch (const MetalRendererError& error) {
            EXPECT_EQ(error.kind(), MetalRendererError::Kind::cannotAllocateBuffer);
            EXPECT_STREQ(error.what(), "Metal could not allocate the line buffer.");
        }
        EXPECT_TRUE(commandBuffer.log.lines.empty());
        EXPECT_TRUE(commandBuffer.handlers.empty());
    }
    EXPECT_EQ(device->bufferRequests.size(), 4u); // every frame retried
    device->refuseBuffers = false;
    // Four failures returned their slots: three frames still fit without completing any.
    std::array<FakeCommandBuffer, 3> buffers;
    auto frames = std::async(std::launch::async, [&] {
        for (auto& b : buffers) {
            renderer.encode(b, {}, 64, 36, timeline, 0.5, {});
        }
    });
    ASSERT_EQ(frames.wait_for(5s), std::future_status::ready);
    frames.get();
    EXPECT_EQ(buffers[0].log.lines.size(), expectedDraws(9, 3).size());
    for (auto& b : buffers) {
        b.complete();
    }
}

} // namespace
} // namespace drevik

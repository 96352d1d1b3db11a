// The GPU layer on its own, with a tiny program of the same layout as the line shader: instanced
// quads read from a record buffer, a 176-byte uniform block, depth variants, blending, multisample
// resolve, read-back order and orientation, completion handlers.
#include "app/process_setup.hpp"
#include "render/gpu/vulkan_internal.hpp"
#include "render/shader_source.hpp"
#include "tests/render/gpu_test_support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <cstdint>
#include <cstring>
#include <thread>

namespace drevik {
namespace {

using testing::ValidatedGpuTest;

// Record i: a rectangle in clip space (x0, y0, x1, y1), then its colour. u[0].x is the depth of every
// quad, u[10] tints the colour, so the whole 176-byte block must arrive.
constexpr const char* quadProgram = R"(
layout(std430, set = 0, binding = 0) readonly buffer Records { vec4 records[]; };
layout(std430, set = 0, binding = 1) readonly buffer Uniforms { vec4 u[11]; };

#ifdef DREVIK_VERTEX_STAGE
invariant gl_Position;
layout(location = 0) flat out vec4 quadColor;
void quadVertex() {
    const vec2 corners[6] = vec2[](vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(1, 0), vec2(1, 1), vec2(0, 1));
    vec4 rect = records[gl_InstanceIndex * 2];
    vec2 k = corners[gl_VertexIndex];
    gl_Position = vec4(mix(rect.xy, rect.zw, k), u[0].x, 1.0);
    quadColor = records[gl_InstanceIndex * 2 + 1] * u[10];
}
#endif

#ifdef DREVIK_FRAGMENT_STAGE
layout(location = 0) flat in vec4 quadColor;
layout(location = 0) out vec4 fragmentColor;
void quadFragment() { fragmentColor = quadColor; }
void whiteFragment() { fragmentColor = vec4(1.0); }
#endif
)";

struct Quad {
    float x0, y0, x1, y1;
    float r, g, b, a;
};

struct Uniforms {
    float u[11][4] = {};
};
static_assert(sizeof(Uniforms) == 176);

class GpuLayerTest : public ValidatedGpuTest {
protected:
    void SetUp() override {
        ValidatedGpuTest::SetUp();
        if (!device) return;
        queue = device->makeCommandQueue();
        ASSERT_NE(queue, nullptr);
        library = device->makeLibrary(quadProgram, {{"quadVertex", gpu::ShaderStage::vertex},
                                                    {"quadFragment", gpu::ShaderStage::fragment},
                                                    {"whiteFragment", gpu::ShaderStage::fragment}});
        ASSERT_NE(library, nullptr);
    }

    void TearDown() override {
        library.reset();
        queue.reset();
        ValidatedGpuTest::TearDown();
    }

    std::shared_ptr<gpu::RenderPipelineState> pipeline(std::size_t samples, bool blending,
                                                       const char* fragment = "quadFragment",
                                                       gpu::ColorWriteMask mask = gpu::ColorWriteMask::all) {
        gpu::RenderPipelineDescriptor descriptor;
        descriptor.label = "test pipeline";
        descriptor.vertexFunction = library->makeFunction("quadVertex");
        descriptor.fragmentFunction = library->makeFunction(fragment);
        descriptor.rasterSampleCount = samples;
        descriptor.depthAttachmentPixelFormat = gpu::PixelFormat::depth32Float;
        auto& color = descriptor.colorAttachments[0];
        color.pixelFormat = gpu::PixelFormat::bgra8Unorm;
        color.blendingEnabled = blending;
        color.sourceRGBBlendFactor = gpu::BlendFactor::sourceAlpha;
        color.destinationRGBBlendFactor = gpu::BlendFactor::one;
        color.sourceAlphaBlendFactor = gpu::BlendFactor::one;
        color.destinationAlphaBlendFactor = gpu::BlendFactor::oneMinusSourceAlpha;
        color.writeMask = mask;
        return device->makeRenderPipelineState(descriptor);
    }

    std::shared_ptr<gpu::DepthStencilState> depthState(gpu::CompareFunction compare, bool write) {
        return device->makeDepthStencilState({"test depth", compare, write});
    }

    std::shared_ptr<gpu::Buffer> records(const std::vector<Quad>& quads) {
        auto buffer = device->makeBuffer(quads.size() * sizeof(Quad));
        EXPECT_NE(buffer, nullptr);
        std::memcpy(buffer->contents(), quads.data(), quads.size() * sizeof(Quad));
        return buffer;
    }

    // Renders with `record` into a width × height target (resolved when samples > 1) cleared to
    // `clear`, and reads the pixels back.
    template <class Record>
    std::vector<std::uint8_t> render(std::size_t width, std::size_t height, std::size_t samples, Record record,
                                     gpu::ClearColor clear = {0, 0, 0, 1}) {
        auto output = device->makeTexture(
            gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
        auto depthDescriptor = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::depth32Float, width, height);
        depthDescriptor.sampleCount = samples;
        depthDescriptor.textureType = samples > 1 ? gpu::TextureType::type2DMultisample : gpu::TextureType::type2D;
        auto depth = device->makeTexture(depthDescriptor);
        gpu::RenderPassDescriptor pass;
        if (samples > 1) {
            auto msDescriptor = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height);
            msDescriptor.sampleCount = samples;
            msDescriptor.textureType = gpu::TextureType::type2DMultisample;
            pass.colorAttachments[0].texture = device->makeTexture(msDescriptor);
            pass.colorAttachments[0].resolveTexture = output;
            pass.colorAttachments[0].storeAction = gpu::StoreAction::multisampleResolve;
        } else {
            pass.colorAttachments[0].texture = output;
            pass.colorAttachments[0].storeAction = gpu::StoreAction::store;
        }
        pass.colorAttachments[0].loadAction = gpu::LoadAction::clear;
        pass.colorAttachments[0].clearColor = clear;
        pass.depthAttachment.texture = depth;
        pass.depthAttachment.loadAction = gpu::LoadAction::clear;
        pass.depthAttachment.storeAction = gpu::StoreAction::dontCare;
        pass.depthAttachment.clearDepth = 1.0;
        EXPECT_NE(output, nullptr);
        EXPECT_NE(depth, nullptr);

        auto commandBuffer = queue->commandBuffer();
        EXPECT_NE(commandBuffer, nullptr);
        auto encoder = commandBuffer->makeRenderCommandEncoder(pass);
        EXPECT_NE(encoder, nullptr);
        record(*encoder);
        encoder->endEncoding();
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        EXPECT_FALSE(commandBuffer->error().has_value()) << commandBuffer->error()->what();
        std::vector<std::uint8_t> pixels(width * height * 4);
        output->getBytes(pixels.data(), width * 4, {0, 0, width, height});
        return pixels;
    }

    static Uniforms uniforms(float depth, float tint = 1.0f) {
        Uniforms block;
        block.u[0][0] = depth;
        for (float& c : block.u[10]) c = tint;
        return block;
    }

    std::shared_ptr<gpu::CommandQueue> queue;
    std::shared_ptr<gpu::Library> library;
};

// BGRA of pixel (x, y), row 0 the top row.
std::array<int, 4> pixelAt(const std::vector<std::uint8_t>& pixels, std::size_t width, std::size_t x, std::size_t y) {
    const std::uint8_t* p = pixels.data() + (y * width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

TEST_F(GpuLayerTest, DeviceReportsItsLimits) {
    EXPECT_FALSE(device->name().empty());
    EXPECT_TRUE(device->supportsTextureSampleCount(1));
    EXPECT_FALSE(device->supportsTextureSampleCount(3));
    EXPECT_GE(device->maxTextureDimension2D(), 4096u);
    gpu::TextureDescriptor tooWide = gpu::TextureDescriptor::texture2D(
        gpu::PixelFormat::bgra8Unorm, device->maxTextureDimension2D() + 1, 4);
    EXPECT_EQ(device->makeTexture(tooWide), nullptr);
    EXPECT_EQ(device->makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, 0, 4)), nullptr);
}

TEST_F(GpuLayerTest, ClearColourReadsBackInBgraOrder) {
    for (std::size_t samples : {std::size_t{1}, std::size_t{4}}) {
        if (!device->supportsTextureSampleCount(samples)) continue;
        auto pixels = render(8, 4, samples, [](gpu::RenderCommandEncoder&) {}, {1.0, 0.5, 0.0, 1.0});
        EXPECT_EQ(pixelAt(pixels, 8, 0, 0), (std::array<int, 4>{0, 128, 255, 255})) << samples;
        EXPECT_EQ(pixelAt(pixels, 8, 7, 3), (std::array<int, 4>{0, 128, 255, 255})) << samples;
    }
}

TEST_F(GpuLayerTest, InstanceIndexIncludesBaseInstanceAndClipYPointsUp) {
    // Six columns, each its own record; only records 3 and 4 are drawn, in the upper half.
    std::vector<Quad> quads;
    for (int i = 0; i < 6; ++i) {
        float x0 = -1.0f + static_cast<float>(i) / 3.0f;
        quads.push_back({x0, 0.0f, x0 + 1.0f / 3.0f, 1.0f, 1.0f, static_cast<float>(i) / 5.0f, 0.0f, 1.0f});
    }
    auto buffer = records(quads);
    auto color = pipeline(1, false);
    auto always = depthState(gpu::CompareFunction::always, false);
    const Uniforms block = uniforms(0.5f);
    auto pixels = render(60, 20, 1, [&](gpu::RenderCommandEncoder& encoder) {
        encoder.setRenderPipelineState(color);
        encoder.setDepthStencilState(always);
        encoder.setVertexBuffer(buffer, 0, 0);
        encoder.setVertexBytes(&block, sizeof block, 1);
        encoder.drawTriangles(0, 6, 2, 3);
    });
    for (std::size_t column = 0; column < 6; ++column) {
        auto top = pixelAt(pixels, 60, column * 10 + 5, 4);
        auto bottom = pixelAt(pixels, 60, column * 10 + 5, 15);
        EXPECT_EQ(bottom, (std::array<int, 4>{0, 0, 0, 255})) << column;
        if (column == 3 || column == 4) {
            EXPECT_EQ(top[2], 255) << column;
            EXPECT_NEAR(top[1], static_cast<int>(column) * 51, 1) << column;
        } else {
            EXPECT_EQ(top, (std::array<int, 4>{0, 0, 0, 255})) << column;
        }
    }
}

TEST_F(GpuLayerTest, EachSetVertexBytesReachesTheDrawsAfterIt) {
    auto buffer = records({{-1, -1, 0, 1, 1, 1, 1, 1}, {0, -1, 1, 1, 1, 1, 1, 1}});
    auto color = pipeline(1, false);
    const Uniforms dim = uniforms(0.5f, 0.2f);
    const Uniforms bright = uniforms(0.5f, 0.8f);
    auto pixels = render(16, 4, 1, [&](gpu::RenderCommandEncoder& encoder) {
        encoder.setRenderPipelineState(color);
        encoder.setVertexBuffer(buffer, 0, 0);
        encoder.setVertexBytes(&dim, sizeof dim, 1);
        encoder.drawTriangles(0, 6, 1, 0);
        encoder.setVertexBytes(&bright, sizeof bright, 1);
        encoder.drawTriangles(0, 6, 1, 1);
    });
    EXPECT_NEAR(pixelAt(pixels, 16, 2, 2)[0], 51, 1);
    EXPECT_NEAR(pixelAt(pixels, 16, 13, 2)[0], 204, 1);
}

TEST_F(GpuLayerTest, BlendingAddsColourAndCompositesCoverage) {
    auto buffer = records({{-1, -1, 1, 1, 0.5f, 0.25f, 0.0f, 0.5f}});
    auto color = pipeline(1, true);
    const Uniforms block = uniforms(0.5f);
    auto pixels = render(4, 4, 1, [&](gpu::RenderCommandEncoder& encoder) {
        encoder.setRenderPipelineState(color);
        encoder.setVertexBuffer(buffer, 0, 0);
        encoder.setVertexBytes(&block, sizeof block, 1);
        encoder.drawTriangles(0, 6, 1, 0);
    }, {0.2, 0.2, 0.2, 1.0});
    // rgb = destination + source × source alpha; alpha = destination × (1 − source alpha) + source alpha.
    auto p = pixelAt(pixels, 4, 1, 1);
    EXPECT_NEAR(p[2], 0.45 * 255, 1.5);
    EXPECT_NEAR(p[1], 0.325 * 255, 1.5);
    EXPECT_NEAR(p[0], 0.2 * 255, 1.5);
    EXPECT_EQ(p[3], 255);
}

// The depth pre-pass writes depth only; the equal pass then colours exactly what won, and a
// LessEqual read pass behind it is hidden. Both passes share the vertex module, so the equal test
// must pass on every sample, with 1 and with 4 samples.
TEST_F(GpuLayerTest, DepthPrePassThenEqualPassReproducesEverySample) {
    // A slanted triangle-pair covering the frame; near quad on the left half.
    std::vector<Quad> quads{{-1, -1, 1, 1, 0, 1, 0, 1}, {-1, -1, 0, 1, 1, 0, 0, 1}};
    auto buffer = records(quads);
    for (std::size_t samples : {std::size_t{1}, std::size_t{4}}) {
        if (!device->supportsTextureSampleCount(samples)) continue;
        auto prepass = pipeline(samples, false, "whiteFragment", gpu::ColorWriteMask::none);
        auto color = pipeline(samples, true);
        auto write = depthState(gpu::CompareFunction::lessEqual, true);
        auto equal = depthState(gpu::CompareFunction::equal, false);
        auto read = depthState(gpu::CompareFunction::lessEqual, false);
        const Uniforms far = uniforms(0.75f);
        const Uniforms near = uniforms(0.25f);
        auto pixels = render(32, 16, samples, [&](gpu::RenderCommandEncoder& encoder) {
            encoder.setVertexBuffer(buffer, 0, 0);
            encoder.setRenderPipelineState(prepass);
            encoder.setDepthStencilState(write);
            encoder.setVertexBytes(&far, sizeof far, 1);
            encoder.drawTriangles(0, 6, 1, 0);   // far, whole frame
            encoder.setVertexBytes(&near, sizeof near, 1);
            encoder.drawTriangles(0, 6, 1, 1);   // near, left half
            encoder.setRenderPipelineState(color);
            encoder.setDepthStencilState(equal);
            encoder.setVertexBytes(&far, sizeof far, 1);
            encoder.drawTriangles(0, 6, 1, 0);   // green where far won
            encoder.setVertexBytes(&near, sizeof near, 1);
            encoder.drawTriangles(0, 6, 1, 1);   // red where near won
            encoder.setDepthStencilState(read);
            encoder.setVertexBytes(&far, sizeof far, 1);
            encoder.drawTriangles(0, 6, 1, 0);   // green again, hidden left
        });
        for (std::size_t y = 0; y < 16; ++y) {
            for (std::size_t x = 0; x < 32; ++x) {
                auto p = pixelAt(pixels, 32, x, y);
                if (x < 16) {
                    ASSERT_EQ(p, (std::array<int, 4>{0, 0, 255, 255})) << samples << " " << x << "," << y;
                } else {
                    ASSERT_EQ(p, (std::array<int, 4>{0, 255, 0, 255})) << samples << " " << x << "," << y;
                }
            }
        }
    }
}

TEST_F(GpuLayerTest, OneAndFourSamplesAgreeAwayFromEdges) {
    if (!device->supportsTextureSampleCount(4)) GTEST_SKIP();
    auto buffer = records({{-0.5f, -0.5f, 0.5f, 0.5f, 0.2f, 0.6f, 1.0f, 1.0f}});
    const Uniforms block = uniforms(0.5f);
    std::vector<std::vector<std::uint8_t>> results;
    for (std::size_t samples : {std::size_t{1}, std::size_t{4}}) {
        auto color = pipeline(samples, true);
        results.push_back(render(16, 16, samples, [&](gpu::RenderCommandEncoder& encoder) {
            encoder.setRenderPipelineState(color);
            encoder.setVertexBuffer(buffer, 0, 0);
            encoder.setVertexBytes(&block, sizeof block, 1);
            encoder.drawTriangles(0, 6, 1, 0);
        }));
    }
    EXPECT_EQ(results[0], results[1]);   // the quad's edges fall on pixel borders
}

TEST_F(GpuLayerTest, CompletionHandlerRunsOnceOnAnotherThreadAfterTheGpu) {
    std::atomic<int> calls{0};
    std::thread::id handlerThread;
    auto commandBuffer = queue->commandBuffer();
    commandBuffer->setLabel("Drevik frame");
    EXPECT_EQ(commandBuffer->label(), "Drevik frame");
    commandBuffer->addCompletedHandler([&] {
        handlerThread = std::this_thread::get_id();
        ++calls;
    });
    EXPECT_EQ(commandBuffer->status(), gpu::CommandBufferStatus::notEnqueued);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    EXPECT_EQ(commandBuffer->status(), gpu::CommandBufferStatus::completed);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_NE(handlerThread, std::this_thread::get_id());
    EXPECT_THROW(commandBuffer->commit(), gpu::GpuError);
}

// The renderer's pattern: at most three frames in flight, slots returned by completion handlers,
// the same stroke buffer rewritten between frames.
TEST_F(GpuLayerTest, ManyFramesInFlightCompleteInOrder) {
    auto buffer = records({{-1, -1, 1, 1, 1, 1, 1, 1}});
    auto color = pipeline(1, false);
    auto output = device->makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, 8, 8));
    std::atomic<int> completed{0};
    std::vector<int> order;
    std::mutex orderMutex;
    std::vector<std::shared_ptr<gpu::CommandBuffer>> buffers;
    for (int frame = 0; frame < 12; ++frame) {
        auto commandBuffer = queue->commandBuffer();
        ASSERT_NE(commandBuffer, nullptr);
        commandBuffer->addCompletedHandler([&, frame] {
            std::lock_guard lock(orderMutex);
            order.push_back(frame);
            ++completed;
        });
        gpu::RenderPassDescriptor pass;
        pass.colorAttachments[0].texture = output;
        pass.colorAttachments[0].loadAction = gpu::LoadAction::clear;
        auto encoder = commandBuffer->makeRenderCommandEncoder(pass);
        ASSERT_NE(encoder, nullptr);
        const Uniforms block = uniforms(0.5f, static_cast<float>(frame) / 11.0f);
        encoder->setRenderPipelineState(color);
        encoder->setVertexBuffer(buffer, 0, 0);
        encoder->setVertexBytes(&block, sizeof block, 1);
        encoder->drawTriangles(0, 6, 1, 0);
        encoder->endEncoding();
        commandBuffer->commit();
        buffers.push_back(commandBuffer);
        if (buffers.size() >= 3) buffers[buffers.size() - 3]->waitUntilCompleted();
    }
    buffers.back()->waitUntilCompleted();
    EXPECT_EQ(completed.load(), 12);
    std::vector<int> expected(12);
    for (int i = 0; i < 12; ++i) expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(order, expected);
    std::vector<std::uint8_t> pixels(8 * 8 * 4);
    output->getBytes(pixels.data(), 32, {0, 0, 8, 8});
    EXPECT_EQ(pixelAt(pixels, 8, 4, 4), (std::array<int, 4>{255, 255, 255, 255}));
}

// Buffers and targets made afresh each frame (their handles may repeat those of destroyed ones) are
// the ones drawn with, never a cached binding of an earlier object.
TEST_F(GpuLayerTest, NewBuffersAndTargetsEachFrameAreTheOnesUsed) {
    auto color = pipeline(1, false);
    const Uniforms block = uniforms(0.5f);
    for (int frame = 0; frame < 10; ++frame) {
        const float level = static_cast<float>(frame + 1) / 10.0f;
        auto buffer = records({{-1, -1, 1, 1, level, 0, 0, 1}});
        auto pixels = render(4 + static_cast<std::size_t>(frame % 2), 4, 1, [&](gpu::RenderCommandEncoder& encoder) {
            encoder.setRenderPipelineState(color);
            encoder.setVertexBuffer(buffer, 0, 0);
            encoder.setVertexBytes(&block, sizeof block, 1);
            encoder.drawTriangles(0, 6, 1, 0);
        });
        EXPECT_NEAR(pixelAt(pixels, 4 + static_cast<std::size_t>(frame % 2), 1, 1)[2], level * 255, 1) << frame;
    }
}

TEST_F(GpuLayerTest, AnEncoderWithNothingDrawnOnlyClears) {
    auto pixels = render(5, 3, 1, [](gpu::RenderCommandEncoder& encoder) { encoder.setLabel("empty"); },
                         {0, 0, 0, 1});
    for (std::size_t i = 0; i < 15; ++i) {
        EXPECT_EQ(pixelAt(pixels, 5, i % 5, i / 5), (std::array<int, 4>{0, 0, 0, 255}));
    }
}

TEST_F(GpuLayerTest, AMissingFunctionIsAbsentAndABrokenSourceReportsTheCompiler) {
    auto partial = device->makeLibrary(quadProgram, {{"quadVertex", gpu::ShaderStage::vertex},
                                                     {"noSuchFragment", gpu::ShaderStage::fragment}});
    EXPECT_NE(partial->makeFunction("quadVertex"), nullptr);
    EXPECT_EQ(partial->makeFunction("noSuchFragment"), nullptr);
    // A function of the other stage is not visible either.
    auto wrongStage = device->makeLibrary(quadProgram, {{"quadFragment", gpu::ShaderStage::vertex}});
    EXPECT_EQ(wrongStage->makeFunction("quadFragment"), nullptr);

    std::string broken = std::string(quadProgram) + "\n#ifdef DREVIK_FRAGMENT_STAGE\nvoid bad() { undefinedCall(); }\n#endif\n";
    try {
        device->makeLibrary(broken, {{"quadVertex", gpu::ShaderStage::vertex},
                                     {"quadFragment", gpu::ShaderStage::fragment}});
        FAIL() << "expected a compile error";
    } catch (const gpu::ShaderCompileError& error) {
        std::string message = error.what();
        EXPECT_NE(message.find("undefinedCall"), std::string::npos) << message;
        EXPECT_NE(message.find("line.glsl:"), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
    EXPECT_THROW(device->makeLibrary("  \n", {{"quadVertex", gpu::ShaderStage::vertex}}), gpu::ShaderCompileError);
}

// The embedded line program follows the layout the layer compiles: its three entry points come out
// as modules, and a renamed one is reported missing while the others still build.
TEST_F(GpuLayerTest, TheLineProgramCompilesIntoItsThreeEntryPoints) {
    const std::string source(lineShaderSource());
    ASSERT_FALSE(source.empty());
    auto program = device->makeLibrary(source, lineShaderFunctions());
    for (const auto& function : lineShaderFunctions()) {
        auto made = program->makeFunction(function.name);
        ASSERT_NE(made, nullptr) << function.name;
        EXPECT_EQ(made->stage(), function.stage);
    }
    std::string renamed = source;
    const auto at = renamed.find("void depthFragment()");
    ASSERT_NE(at, std::string::npos);
    renamed.replace(at, 20, "void depthFragmentX()");
    auto partial = device->makeLibrary(renamed, lineShaderFunctions());
    EXPECT_NE(partial->makeFunction("lineVertex"), nullptr);
    EXPECT_NE(partial->makeFunction("lineFragment"), nullptr);
    EXPECT_EQ(partial->makeFunction("depthFragment"), nullptr);
}

TEST_F(GpuLayerTest, PipelinesRefuseWhatTheDeviceCannotDo) {
    gpu::RenderPipelineDescriptor descriptor;
    descriptor.vertexFunction = library->makeFunction("quadVertex");
    descriptor.fragmentFunction = library->makeFunction("quadFragment");
    descriptor.colorAttachments[0].pixelFormat = gpu::PixelFormat::bgra8Unorm;
    descriptor.rasterSampleCount = 3;
    EXPECT_THROW(device->makeRenderPipelineState(descriptor), gpu::GpuError);
    descriptor.rasterSampleCount = 1;
    descriptor.fragmentFunction = descriptor.vertexFunction;
    EXPECT_THROW(device->makeRenderPipelineState(descriptor), gpu::GpuError);
}

TEST_F(GpuLayerTest, BuffersAreWritableByTheCpu) {
    auto buffer = device->makeBuffer(4096);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->length(), 4096u);
    std::memset(buffer->contents(), 0xab, 4096);
    EXPECT_EQ(static_cast<unsigned char*>(buffer->contents())[4095], 0xab);
    EXPECT_EQ(device->makeBuffer(std::size_t{1} << 52), nullptr);   // more than any heap: none, no crash
}

// A render pass that cannot start says why, and leaves the command buffer usable.
TEST_F(GpuLayerTest, APassThatCannotStartNamesItsReason) {
    auto output = device->makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, 8, 8));
    auto smallDepth = device->makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::depth32Float, 4, 4));
    auto commandBuffer = queue->commandBuffer();
    gpu::RenderPassDescriptor pass;
    pass.colorAttachments[0].texture = output;
    pass.depthAttachment.texture = smallDepth;
    try {
        commandBuffer->makeRenderCommandEncoder(pass);
        FAIL() << "a pass with attachments of two sizes started";
    } catch (const gpu::GpuError& error) {
        EXPECT_EQ(error.stage(), gpu::GpuStage::renderPass);
        EXPECT_EQ(error.result(), 0);
        EXPECT_STREQ(error.what(),
                     "render pass start failed: the attachments differ in size from the 8x8 colour texture");
    }
    pass.colorAttachments[0].texture = nullptr;
    EXPECT_THROW(commandBuffer->makeRenderCommandEncoder(pass), gpu::GpuError);
    pass.colorAttachments[0].texture = output;
    pass.depthAttachment.texture = nullptr;
    commandBuffer->makeRenderCommandEncoder(pass)->endEncoding(); // the command buffer still records
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    EXPECT_FALSE(commandBuffer->error().has_value());
    EXPECT_THROW(commandBuffer->makeRenderCommandEncoder(pass), gpu::GpuError); // committed: no more passes
}

// A handler's exception reaches whoever waits; the handlers after it and later command buffers still
// complete. Without a wait, the queue's next commit reports it.
TEST_F(GpuLayerTest, ACompletionHandlerFailureReachesTheCaller) {
    std::atomic<int> laterHandlers{0};
    auto failing = queue->commandBuffer();
    failing->addCompletedHandler([] { throw std::runtime_error("handler broke"); });
    failing->addCompletedHandler([&] { ++laterHandlers; });
    failing->commit();
    try {
        failing->waitUntilCompleted();
        FAIL() << "the handler's exception was swallowed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "handler broke");
    }
    EXPECT_EQ(laterHandlers.load(), 1);
    failing->waitUntilCompleted(); // reported once

    auto next = queue->commandBuffer();
    next->commit();                // the failure was delivered: nothing to report here
    next->waitUntilCompleted();

    auto unwatched = queue->commandBuffer();
    std::promise<void> handled;
    unwatched->addCompletedHandler([] { throw gpu::GpuError(gpu::GpuStage::completionHandler, "lost slot"); });
    unwatched->addCompletedHandler([&] { handled.set_value(); });
    unwatched->commit();
    handled.get_future().wait(); // the handlers ran, nobody called waitUntilCompleted
    auto after = queue->commandBuffer();
    EXPECT_THROW(after->commit(), gpu::GpuError);
    EXPECT_NE(after->status(), gpu::CommandBufferStatus::notEnqueued); // committed all the same
    after->waitUntilCompleted();
}

// Refusals name the stage, what was asked and, where the driver answered, its result.
TEST_F(GpuLayerTest, RefusalsNameStageRequestAndResult) {
    auto multisample = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, 4, 4);
    multisample.sampleCount = 4;
    multisample.label = "test multisample";
    multisample.textureType = gpu::TextureType::type2DMultisample;
    if (device->supportsTextureSampleCount(4)) {
        auto texture = device->makeTexture(multisample);
        ASSERT_NE(texture, nullptr);
        std::vector<std::uint8_t> bytes(64);
        try {
            texture->getBytes(bytes.data(), 16, {0, 0, 4, 4});
            FAIL() << "a multisample texture was read back";
        } catch (const gpu::GpuError& error) {
            EXPECT_EQ(error.stage(), gpu::GpuStage::readBack);
            EXPECT_NE(std::string(error.what()).find("test multisample"), std::string::npos) << error.what();
        }
    }
    multisample.textureType = gpu::TextureType::type2D; // 4 samples on a plain 2-D texture
    EXPECT_THROW(device->makeTexture(multisample), gpu::GpuError);

    const gpu::GpuError driver(gpu::GpuStage::pipeline, "vkCreateGraphicsPipelines for test", -2);
    EXPECT_STREQ(driver.what(), "pipeline creation failed: vkCreateGraphicsPipelines for test: out of device "
                                "memory (VK_ERROR_OUT_OF_DEVICE_MEMORY)");
    EXPECT_EQ(driver.result(), -2);
    EXPECT_EQ(driver.detail(), "vkCreateGraphicsPipelines for test");
    EXPECT_STREQ(gpu::ShaderCompileError("line 3: oops").what(), "line 3: oops");
}

// prepare() builds the platform pipeline now; drawing with it afterwards stays validation-clean and
// needs no second one.
TEST_F(GpuLayerTest, APreparedPipelineServesTheDrawsOfItsDepthTest) {
    auto color = pipeline(1, false);
    auto lessEqual = depthState(gpu::CompareFunction::lessEqual, true);
    color->prepare(*lessEqual);
    auto& variants = static_cast<gpu::vk::VulkanRenderPipeline&>(*color);
    const VkPipeline built = variants.variant(false, VK_FORMAT_D32_SFLOAT, gpu::CompareFunction::lessEqual, true);
    auto buffer = records({{-1, -1, 1, 1, 0, 1, 0, 1}});
    const Uniforms block = uniforms(0.5f);
    auto pixels = render(4, 4, 1, [&](gpu::RenderCommandEncoder& encoder) {
        encoder.setRenderPipelineState(color);
        encoder.setDepthStencilState(lessEqual);
        encoder.setVertexBuffer(buffer, 0, 0);
        encoder.setVertexBytes(&block, sizeof block, 1);
        encoder.drawTriangles(0, 6, 1, 0);
    });
    EXPECT_EQ(pixelAt(pixels, 4, 2, 2), (std::array<int, 4>{0, 255, 0, 255}));
    EXPECT_EQ(variants.variant(false, VK_FORMAT_D32_SFLOAT, gpu::CompareFunction::lessEqual, true), built);
}

TEST(GpuDeviceChoice, PrefersDiscreteThenIntegratedThenOtherThenCpu) {
    using gpu::vk::preferredDevice;
    const auto cpu = VK_PHYSICAL_DEVICE_TYPE_CPU;
    const auto integrated = VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU;
    const auto discrete = VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
    const auto virtualGpu = VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU;
    EXPECT_EQ(preferredDevice({cpu, integrated, discrete}, {true, true, true}), 2u);
    EXPECT_EQ(preferredDevice({cpu, integrated, virtualGpu}, {true, true, true}), 1u);
    EXPECT_EQ(preferredDevice({cpu, virtualGpu}, {true, true}), 1u);
    EXPECT_EQ(preferredDevice({discrete, cpu}, {false, true}), 1u);          // unusable GPUs are passed over
    EXPECT_EQ(preferredDevice({discrete, discrete}, {true, true}), 0u);      // ties keep the system's order
    EXPECT_EQ(preferredDevice({cpu}, {false}), std::nullopt);
    EXPECT_EQ(preferredDevice({}, {}), std::nullopt);
}

// Without validation, and with the program's start-up done, creating a device and drawing writes
// nothing to standard error: the GPU layer itself never writes there.
TEST(GpuQuietTest, NothingReachesStandardError) {
    testing::preferSoftwareDriver();
    quietGpuDriverNotices();
    char path[] = "/tmp/drevik-stderr-XXXXXX";
    int capture = ::mkstemp(path);
    ASSERT_GE(capture, 0);
    std::fflush(stderr);
    int saved = ::dup(STDERR_FILENO);
    ::dup2(capture, STDERR_FILENO);
    {
        auto device = gpu::Device::systemDefault();
        if (device) {
            auto queue = device->makeCommandQueue();
            auto library = device->makeLibrary(quadProgram, {{"quadVertex", gpu::ShaderStage::vertex}});
            auto commandBuffer = queue->commandBuffer();
            commandBuffer->commit();
            commandBuffer->waitUntilCompleted();
        }
    }
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    off_t size = ::lseek(capture, 0, SEEK_END);
    ::close(capture);
    ::unlink(path);
    EXPECT_EQ(size, 0);
}

} // namespace
} // namespace drevik

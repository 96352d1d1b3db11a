// Whole frames drawn by the renderer on the software driver, with the validation layer on.
#include "render/scene_renderer.hpp"
#include "tests/render/gpu_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace drevik {
namespace {

struct Picture {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::uint8_t> bgra; // row 0 at the top

    const std::uint8_t* at(std::size_t x, std::size_t row) const { return &bgra[(row * width + x) * 4]; }
    bool lit(std::size_t x, std::size_t row) const {
        const std::uint8_t* p = at(x, row);
        return p[0] + p[1] + p[2] > 0;
    }
    std::size_t litCount(std::size_t row) const {
        std::size_t n = 0;
        for (std::size_t x = 0; x < width; ++x) {
            n += lit(x, row) ? 1 : 0;
        }
        return n;
    }
};

GraphicsTimeline singleFrame(std::vector<PackedLine> lines, double frameTime = 0.0) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 20;
    timeline.segments = std::move(lines);
    timeline.frames.push_back({frameTime, {0, static_cast<std::int64_t>(timeline.segments.size())}});
    return timeline;
}

// Passes everything to a real encoder but keeps only the draws whose position in the frame's
// sequence of draws the filter accepts (0-8 depth pre-pass, 9-17 visible structure, then the rest).
class FilteringEncoder : public gpu::RenderCommandEncoder {
public:
    FilteringEncoder(std::shared_ptr<gpu::RenderCommandEncoder> inner, std::function<bool(int)> keep)
        : inner_(std::move(inner)), keep_(std::move(keep)) {}
    void setLabel(std::string label) override { inner_->setLabel(std::move(label)); }
    const std::string& label() const override { return inner_->label(); }
    void setRenderPipelineState(const std::shared_ptr<gpu::RenderPipelineState>& p) override {
        inner_->setRenderPipelineState(p);
    }
    void setDepthStencilState(const std::shared_ptr<gpu::DepthStencilState>& s) override {
        inner_->setDepthStencilState(s);
    }
    void setVertexBuffer(const std::shared_ptr<gpu::Buffer>& b, std::size_t offset, std::size_t index) override {
        inner_->setVertexBuffer(b, offset, index);
    }
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index) override {
        inner_->setVertexBytes(bytes, length, index);
    }
    void drawTriangles(std::size_t start, std::size_t count, std::size_t instances, std::size_t base) override {
        if (keep_(next_++)) {
            inner_->drawTriangles(start, count, instances, base);
        }
    }
    void endEncoding() override { inner_->endEncoding(); }

private:
    std::shared_ptr<gpu::RenderCommandEncoder> inner_;
    std::function<bool(int)> keep_;
    int next_ = 0;
};

class FilteringCommandBuffer : public gpu::CommandBuffer {
public:
    FilteringCommandBuffer(std::shared_ptr<gpu::CommandBuffer> inner, std::function<bool(int)> keep)
        : inner_(std::move(inner)), keep_(std::move(keep)) {}
    void setLabel(std::string label) override { inner_->setLabel(std::move(label)); }
    const std::string& label() const override { return inner_->label(); }
    void addCompletedHandler(std::function<void()> handler) override { inner_->addCompletedHandler(std::move(handler)); }
    std::shared_ptr<gpu::RenderCommandEncoder> makeRenderCommandEncoder(const gpu::RenderPassDescriptor& pass) override {
        return std::make_shared<FilteringEncoder>(inner_->makeRenderCommandEncoder(pass), keep_);
    }
    void present(const std::shared_ptr<gpu::Drawable>& drawable) override { inner_->present(drawable); }
    void commit() override { inner_->commit(); }
    void waitUntilCompleted() override { inner_->waitUntilCompleted(); }
    gpu::CommandBufferStatus status() const override { return inner_->status(); }
    const std::optional<gpu::GpuError>& error() const override { return inner_->error(); }

private:
    std::shared_ptr<gpu::CommandBuffer> inner_;
    std::function<bool(int)> keep_;
};

class RendererImageTest : public testing::ValidatedGpuTest {
protected:
    Picture render(const GraphicsTimeline& timeline, double t, std::size_t width, std::size_t height,
                   std::size_t samples, const AudioFeatures& features = AudioFeatures::silence()) {
        MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, samples);
        return renderWith(renderer, timeline, t, width, height, samples, features);
    }

    Picture renderWith(MetalSceneRenderer& renderer, const GraphicsTimeline& timeline, double t, std::size_t width,
                       std::size_t height, std::size_t samples, const AudioFeatures& features,
                       std::function<bool(int)> keepDraw = {}) {
        auto target = device->makeTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height));
        gpu::TextureDescriptor color = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width, height);
        gpu::TextureDescriptor depth = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::depth32Float, width, height);
        gpu::RenderPassDescriptor pass;
        if (samples > 1) {
            color.textureType = depth.textureType = gpu::TextureType::type2DMultisample;
            color.sampleCount = depth.sampleCount = samples;
            pass.colorAttachments[0].texture = device->makeTexture(color);
            pass.colorAttachments[0].resolveTexture = target;
            pass.colorAttachments[0].storeAction = gpu::StoreAction::multisampleResolve;
        } else {
            pass.colorAttachments[0].texture = target;
        }
        pass.colorAttachments[0].loadAction = gpu::LoadAction::clear;
        pass.colorAttachments[0].clearColor = {0, 0, 0, 1};
        pass.depthAttachment.texture = device->makeTexture(depth);
        pass.depthAttachment.loadAction = gpu::LoadAction::clear;
        pass.depthAttachment.clearDepth = 1.0;

        std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer.commandQueue()->commandBuffer();
        if (keepDraw) {
            commandBuffer = std::make_shared<FilteringCommandBuffer>(commandBuffer, keepDraw);
        }
        renderer.encode(*commandBuffer, pass, static_cast<double>(width), static_cast<double>(height), timeline, t,
                        features);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        EXPECT_FALSE(commandBuffer->error().has_value());
        Picture picture{width, height, std::vector<std::uint8_t>(width * height * 4)};
        target->getBytes(picture.bgra.data(), width * 4, {0, 0, width, height});
        return picture;
    }
};

TEST_F(RendererImageTest, AFlatDrawingAtTheHomeCameraLandsExactlyInPlace) {
    // At the scene's first moment the volume is 0 and the camera at home.
    const auto timeline = singleFrame({PackedLine::make(0.25f, 0.5f, 0.75f, 0.5f)});
    for (std::size_t samples : {1u, 4u}) {
        const Picture p = render(timeline, 0.0, 192, 108, samples);
        // y 0.5 is the boundary between rows 53 and 54; the stroke covers both from x 48 to 143.
        for (std::size_t row : {53u, 54u}) {
            for (std::size_t x = 48; x < 144; ++x) {
                ASSERT_TRUE(p.lit(x, row)) << "samples " << samples << " x " << x << " row " << row;
            }
            EXPECT_FALSE(p.lit(47, row)) << samples;
            EXPECT_FALSE(p.lit(144, row)) << samples;
        }
        for (std::size_t row : {0u, 30u, 45u, 62u, 80u, 107u}) {
            EXPECT_EQ(p.litCount(row), 0u) << "samples " << samples << " row " << row;
        }
        // Opaque everywhere.
        for (std::size_t i = 3; i < p.bgra.size(); i += 4) {
            ASSERT_EQ(p.bgra[i], 255);
        }
    }
}

TEST_F(RendererImageTest, TheFullSizeFrameLightsTheMiddleRowFrom480To1440) {
    const auto timeline = singleFrame({PackedLine::make(0.25f, 0.5f, 0.75f, 0.5f)});
    const Picture p = render(timeline, 0.0, 1920, 1080, 1);
    for (std::size_t row : {539u, 540u}) {
        for (std::size_t x = 480; x < 1440; ++x) {
            ASSERT_TRUE(p.lit(x, row)) << x;
        }
        EXPECT_FALSE(p.lit(479, row));
        EXPECT_FALSE(p.lit(1440, row));
    }
    EXPECT_EQ(p.litCount(500), 0u);
    EXPECT_EQ(p.litCount(580), 0u);
}

TEST_F(RendererImageTest, ThePictureIsUpright) {
    // A stroke high in the drawing lands near the top of the picture (row 0 is the top).
    const auto timeline = singleFrame({PackedLine::make(0.2f, 0.9f, 0.8f, 0.9f)});
    const Picture p = render(timeline, 0.0, 160, 90, 4);
    EXPECT_GT(p.litCount(9), 50u);
    EXPECT_EQ(p.litCount(81), 0u);
    EXPECT_EQ(p.litCount(45), 0u);
}

TEST_F(RendererImageTest, NothingOnScreenGivesOpaqueBlack) {
    const auto timeline = singleFrame({PackedLine::make(0.2f, 0.2f, 0.8f, 0.8f)}, 0.5);
    const Picture p = render(timeline, 0.25, 64, 36, 4);
    for (std::size_t i = 0; i < p.bgra.size(); i += 4) {
        ASSERT_EQ(p.bgra[i] + p.bgra[i + 1] + p.bgra[i + 2], 0) << i;
        ASSERT_EQ(p.bgra[i + 3], 255) << i;
    }
}

TEST_F(RendererImageTest, OneAndFourSamplesAgree) {
    // A volumetric moment: the middle of a two-second scene, with afterimages.
    GraphicsTimeline timeline;
    timeline.durationSeconds = 2;
    for (int f = 0; f < 40; ++f) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        const float s = 0.002f * static_cast<float>(f);
        timeline.segments.push_back(PackedLine::make(0.3f + s, 0.3f, 0.7f, 0.35f + s));
        timeline.segments.push_back(PackedLine::make(0.7f, 0.35f + s, 0.5f, 0.75f));
        timeline.segments.push_back(PackedLine::make(0.5f, 0.75f, 0.3f + s, 0.3f));
        timeline.frames.push_back({f / 40.0, {first, first + 3}});
    }
    AudioFeatures features;
    features.channels = {0.5f, 0.4f, 0.6f, 0.3f};
    features.energy = 0.4f;
    const Picture one = render(timeline, 0.5, 160, 90, 1, features);
    const Picture four = render(timeline, 0.5, 160, 90, 4, features);
    double difference = 0;
    std::size_t litOne = 0;
    std::size_t litFour = 0;
    for (std::size_t i = 0; i < one.bgra.size(); ++i) {
        difference += std::abs(int(one.bgra[i]) - int(four.bgra[i]));
    }
    for (std::size_t row = 0; row < 90; ++row) {
        litOne += one.litCount(row);
        litFour += four.litCount(row);
    }
    EXPECT_GT(litOne, 500u);
    EXPECT_NEAR(static_cast<double>(litFour), static_cast<double>(litOne), 0.15 * static_cast<double>(litOne));
    EXPECT_LT(difference / static_cast<double>(one.bgra.size()), 4.0);
}

TEST_F(RendererImageTest, StructuralLinesBehindNearerOnesAreHidden) {
    // A wheel of spokes and rim chords, halfway through a two-second scene: full volume, the camera
    // away from home, so back shells and trusses pass behind front shells all over the picture.
    GraphicsTimeline timeline;
    timeline.durationSeconds = 2;
    for (int k = 0; k < 24; ++k) {
        const double a = 6.2831853 * k / 24;
        const double b = 6.2831853 * (k + 1) / 24;
        auto x = [](double angle) { return static_cast<float>(0.5 + 0.3 * std::cos(angle) * 0.5625); };
        auto y = [](double angle) { return static_cast<float>(0.5 + 0.3 * std::sin(angle)); };
        timeline.segments.push_back(PackedLine::make(0.5f, 0.5f, x(a), y(a)));
        timeline.segments.push_back(PackedLine::make(x(a), y(a), x(b), y(b)));
    }
    timeline.frames.push_back({0.0, {0, 48}});
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 1);
    // The back shell (role 1) in colour, tested against the depth of every structural role ...
    const Picture hidden = renderWith(renderer, timeline, 0.5, 320, 180, 1, {}, [](int draw) { return draw < 9 || draw == 10; });
    // ... and against its own depth only.
    const Picture alone = renderWith(renderer, timeline, 0.5, 320, 180, 1, {}, [](int draw) { return draw == 1 || draw == 10; });
    std::size_t litHidden = 0;
    std::size_t litAlone = 0;
    for (std::size_t row = 0; row < 180; ++row) {
        litHidden += hidden.litCount(row);
        litAlone += alone.litCount(row);
    }
    EXPECT_GT(litAlone, 1000u);
    EXPECT_LT(static_cast<double>(litHidden), 0.5 * static_cast<double>(litAlone));
    // Hiding only ever removes colour.
    for (std::size_t i = 0; i < hidden.bgra.size(); ++i) {
        ASSERT_LE(hidden.bgra[i], alone.bgra[i]) << i;
    }
}

TEST_F(RendererImageTest, RepeatedFramesReuseTheBufferAndDrawTheSame) {
    const auto timeline = singleFrame({PackedLine::make(0.1f, 0.1f, 0.9f, 0.8f), PackedLine::make(0.1f, 0.8f, 0.9f, 0.1f)});
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, 4);
    const Picture first = renderWith(renderer, timeline, 0.0, 96, 54, 4, {});
    const Picture again = renderWith(renderer, timeline, 0.0, 96, 54, 4, {});
    EXPECT_EQ(renderer.lineBuffers().activeLineBufferIndex(), 0);
    EXPECT_EQ(first.bgra, again.bgra);
}

} // namespace
} // namespace drevik

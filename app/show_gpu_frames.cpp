// The show's pictures from the GPU renderer: each frame is rendered off screen (4 samples resolved when
// the device supports them), then read back for the window.
#include "app/show_view.hpp"

#include "render/gpu/gpu.hpp"
#include "render/scene_renderer.hpp"

namespace drevik {

namespace {

class GpuFrameSource final : public ShowFrameSource {
public:
    explicit GpuFrameSource(const GraphicsTimeline& timeline) : timeline_(timeline) {
        device_ = gpu::Device::systemDefault();
        if (!device_) throw ShowViewError();
        sampleCount_ = device_->supportsTextureSampleCount(4) ? 4 : 1;
        renderer_ = std::make_unique<MetalSceneRenderer>(device_, gpu::PixelFormat::bgra8Unorm, sampleCount_);
    }

    bool render(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                const AudioFeatures& features) override {
        width = std::min(width, device_->maxTextureDimension2D());
        height = std::min(height, device_->maxTextureDimension2D());
        if (!makeTargets(width, height)) return false;
        std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer_->commandQueue()->commandBuffer();
        if (!commandBuffer) return false;
        commandBuffer->setLabel("Drevik frame");

        gpu::RenderPassDescriptor pass;
        auto& color = pass.colorAttachments[0];
        color.loadAction = gpu::LoadAction::clear;
        color.clearColor = {0, 0, 0, 1};
        if (sampleCount_ > 1) {
            color.texture = multisampleColor_;
            color.resolveTexture = resolved_;
            color.storeAction = gpu::StoreAction::multisampleResolve;
        } else {
            color.texture = resolved_;
            color.storeAction = gpu::StoreAction::store;
        }
        pass.depthAttachment.texture = depth_;
        pass.depthAttachment.loadAction = gpu::LoadAction::clear;
        pass.depthAttachment.clearDepth = 1.0;
        pass.depthAttachment.storeAction = gpu::StoreAction::dontCare;

        std::string failure;
        try {
            renderer_->encode(*commandBuffer, pass, static_cast<double>(width), static_cast<double>(height), timeline_,
                              normalizedTime, features);
        } catch (const Error& error) {
            failure = error.what();
        }
        // Committed whether or not encoding failed, as every command buffer must be.
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        if (!failure.empty()) throw Error(failure);
        if (commandBuffer->error()) throw Error(commandBuffer->error()->what());

        into.width = width;
        into.height = height;
        into.bgra.resize(width * height * 4);
        resolved_->getBytes(into.bgra.data(), width * 4, {0, 0, width, height});
        return true;
    }

private:
    // Render targets of the drawable size, remade when it changes.
    bool makeTargets(std::size_t width, std::size_t height) {
        if (resolved_ && resolved_->width() == width && resolved_->height() == height) return true;
        auto texture = [&](gpu::PixelFormat format, std::size_t samples, const char* label) {
            gpu::TextureDescriptor descriptor = gpu::TextureDescriptor::texture2D(format, width, height);
            descriptor.sampleCount = samples;
            descriptor.textureType = samples > 1 ? gpu::TextureType::type2DMultisample : gpu::TextureType::type2D;
            descriptor.label = label;
            return device_->makeTexture(descriptor);
        };
        resolved_ = texture(gpu::PixelFormat::bgra8Unorm, 1, "Drevik show frame");
        multisampleColor_ = sampleCount_ > 1 ? texture(gpu::PixelFormat::bgra8Unorm, sampleCount_, "Drevik show samples")
                                             : nullptr;
        depth_ = texture(gpu::PixelFormat::depth32Float, sampleCount_, "Drevik show depth");
        bool complete = resolved_ && depth_ && (sampleCount_ == 1 || multisampleColor_);
        if (!complete) resolved_.reset();
        return complete;
    }

    const GraphicsTimeline& timeline_;
    std::shared_ptr<gpu::Device> device_;
    std::size_t sampleCount_ = 1;
    std::unique_ptr<MetalSceneRenderer> renderer_;
    std::shared_ptr<gpu::Texture> resolved_;
    std::shared_ptr<gpu::Texture> multisampleColor_;
    std::shared_ptr<gpu::Texture> depth_;
};

} // namespace

std::unique_ptr<ShowFrameSource> makeGpuFrameSource(const GraphicsTimeline& timeline) {
    return std::make_unique<GpuFrameSource>(timeline);
}

} // namespace drevik

#include "output/movie_gpu_frames.hpp"

#include "output/movie_error.hpp"
#include "render/scene_renderer.hpp"

namespace drevik::MetalMovieRenderer {

GpuMovieFrames::GpuMovieFrames(std::shared_ptr<gpu::Device> device, const MoviePlan& plan,
                               const GraphicsTimeline& timeline)
    : timeline_(timeline), width_(static_cast<std::size_t>(plan.width)),
      height_(static_cast<std::size_t>(plan.height)) {
    const std::size_t sampleCount = device->supportsTextureSampleCount(4) ? 4 : 1;
    renderer_ = std::make_unique<MetalSceneRenderer>(device, gpu::PixelFormat::bgra8Unorm, sampleCount);

    gpu::TextureDescriptor frame = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, width_, height_);
    frame.label = "Drevik movie frame";
    frameTexture_ = device->makeTexture(frame);
    if (!frameTexture_) {
        throw MovieRendererError::cannotCreatePixelBuffer();
    }
    std::shared_ptr<gpu::Texture> multisampleColor;
    if (sampleCount == 4) {
        gpu::TextureDescriptor multisample = frame;
        multisample.textureType = gpu::TextureType::type2DMultisample;
        multisample.sampleCount = 4;
        multisample.label = "Drevik movie multisample color";
        multisampleColor = device->makeTexture(multisample);
        if (!multisampleColor) {
            throw MovieRendererError::cannotCreatePixelBuffer();
        }
    }
    gpu::TextureDescriptor depth = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::depth32Float, width_, height_);
    depth.label = "Drevik movie depth";
    if (sampleCount == 4) {
        depth.textureType = gpu::TextureType::type2DMultisample;
        depth.sampleCount = 4;
    }
    std::shared_ptr<gpu::Texture> depthTexture = device->makeTexture(depth);
    if (!depthTexture) {
        throw MovieRendererError::cannotCreatePixelBuffer();
    }
    pass_ = framePassDescriptor(std::move(multisampleColor), frameTexture_, std::move(depthTexture));
}

GpuMovieFrames::~GpuMovieFrames() = default;

void GpuMovieFrames::renderFrame(std::int64_t, double normalizedTime, const AudioFeatures& features,
                                 std::span<std::uint8_t> bgra, std::int64_t stride) {
    std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer_->commandQueue()->commandBuffer();
    if (!commandBuffer) {
        throw MetalRendererError::cannotCreateCommandBuffer();
    }
    commandBuffer->setLabel("Drevik frame");
    renderer_->encode(*commandBuffer, pass_, static_cast<double>(width_), static_cast<double>(height_),
                      timeline_, normalizedTime, features);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    if (const auto& error = commandBuffer->error()) {
        throw *error;
    }
    frameTexture_->getBytes(bgra.data(), static_cast<std::size_t>(stride), gpu::Region{0, 0, width_, height_});
}

} // namespace drevik::MetalMovieRenderer

#pragma once
// The movie's pictures from the GPU: the scene renderer draws each frame into a multisample target
// (when the device has 4-sample textures) resolved into a single-sample BGRA texture, which is read
// back for the encoder.
#include "core/graphics_timeline.hpp"
#include "output/movie_export.hpp"
#include "render/gpu/gpu.hpp"

#include <memory>

namespace drevik {
class MetalSceneRenderer;
}

namespace drevik::MetalMovieRenderer {

class GpuMovieFrames : public MovieFrameRenderer {
public:
    // Errors: the renderer's own, or MovieRendererError::cannotCreatePixelBuffer for the targets.
    GpuMovieFrames(std::shared_ptr<gpu::Device> device, const MoviePlan& plan, const GraphicsTimeline& timeline);
    ~GpuMovieFrames() override;
    GpuMovieFrames(const GpuMovieFrames&) = delete;
    GpuMovieFrames& operator=(const GpuMovieFrames&) = delete;

    void renderFrame(std::int64_t frameIndex, double normalizedTime, const AudioFeatures& features,
                     std::span<std::uint8_t> bgra, std::int64_t stride) override;

private:
    const GraphicsTimeline& timeline_;
    std::size_t width_;
    std::size_t height_;
    std::unique_ptr<MetalSceneRenderer> renderer_;
    std::shared_ptr<gpu::Texture> frameTexture_;
    gpu::RenderPassDescriptor pass_;
};

} // namespace drevik::MetalMovieRenderer

#pragma once
// The movie's pictures from the GPU, through the one offscreen frame path (render/offscreen_frames):
// each frame is rendered at the movie's size and read back into the encoder's buffer, with up to
// OffscreenFrames::framesInFlight frames on the GPU at once.
#include "core/graphics_timeline.hpp"
#include "output/movie_export.hpp"
#include "render/gpu/gpu.hpp"
#include "render/offscreen_frames.hpp"

#include <memory>

namespace drevik::MetalMovieRenderer {

class GpuMovieFrames : public MovieFrameRenderer {
public:
    // Errors: the renderer's own, or MovieRendererError::cannotCreatePixelBuffer for the targets.
    // Transparent frames are rendered over transparent black: the colour as over black, the alpha
    // the lines' coverage. The writers turn them into their format's straight alpha.
    GpuMovieFrames(std::shared_ptr<gpu::Device> device, const MoviePlan& plan, const GraphicsTimeline& timeline,
                   bool transparent = false);

    void renderFrame(std::int64_t frameIndex, double normalizedTime, const AudioFeatures& features,
                     std::span<std::uint8_t> bgra, std::int64_t stride) override;
    std::size_t framesInFlight() const override { return OffscreenFrames::framesInFlight; }
    void submitFrame(std::int64_t frameIndex, double normalizedTime, const AudioFeatures& features) override;
    void collectFrame(std::span<std::uint8_t> bgra, std::int64_t stride) override;

private:
    OffscreenFrames frames_;
};

} // namespace drevik::MetalMovieRenderer

#include "output/movie_gpu_frames.hpp"

#include "output/movie_error.hpp"

#include <utility>

namespace drevik::MetalMovieRenderer {

GpuMovieFrames::GpuMovieFrames(std::shared_ptr<gpu::Device> device, const MoviePlan& plan,
                               const GraphicsTimeline& timeline, bool transparent)
    : frames_(std::move(device), timeline, "Drevik movie") {
    frames_.setClearBackground(transparent);
    if (!frames_.resize(static_cast<std::size_t>(plan.width), static_cast<std::size_t>(plan.height))) {
        throw MovieRendererError::cannotCreatePixelBuffer();
    }
}

void GpuMovieFrames::renderFrame(std::int64_t, double normalizedTime, const AudioFeatures& features,
                                 std::span<std::uint8_t> bgra, std::int64_t stride) {
    frames_.render(normalizedTime, features, bgra, static_cast<std::size_t>(stride));
}

void GpuMovieFrames::submitFrame(std::int64_t, double normalizedTime, const AudioFeatures& features) {
    frames_.submit(normalizedTime, features);
}

void GpuMovieFrames::collectFrame(std::span<std::uint8_t> bgra, std::int64_t stride) {
    frames_.collect(bgra, static_cast<std::size_t>(stride));
}

} // namespace drevik::MetalMovieRenderer

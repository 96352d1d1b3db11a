#include "output/movie.hpp"

#include "output/movie_error.hpp"
#include "output/movie_export.hpp"
#include "output/movie_gpu_frames.hpp"
#include "render/gpu/gpu.hpp"

#include <memory>
#include <utility>

namespace drevik::MetalMovieRenderer {

void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           std::int64_t framesPerSecond, double durationSeconds, const GraphicsTimeline& timeline,
           const MusicTimeline& music, const std::filesystem::path& cacheFolder) {
    requireFreeLocation(location);
    // Everything that can be refused is refused before the GPU is touched.
    planMovie(width, height, framesPerSecond, durationSeconds, music.sampleRate);
    gpu::DeviceOptions options = gpu::defaultDeviceOptions();
    options.cacheFolder = cacheFolder;
    std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault(options);
    if (!device) {
        throw MovieRendererError::noMetalDevice();
    }
    const MoviePlan plan = planMovie(width, height, framesPerSecond, durationSeconds, music.sampleRate,
                                     static_cast<std::int64_t>(device->maxTextureDimension2D()));
    GpuMovieFrames frames(std::move(device), plan, timeline);
    exportMovie(location, plan, music, frames);
}

} // namespace drevik::MetalMovieRenderer

#include "output/movie.hpp"

#include "output/movie_error.hpp"
#include "output/movie_export.hpp"
#include "output/movie_encoder.hpp"
#include "output/movie_gpu_frames.hpp"
#include "output/progress_bar.hpp"
#include "render/gpu/gpu.hpp"

#include <memory>
#include <utility>

namespace drevik::MetalMovieRenderer {

namespace {
constexpr std::int64_t frameSequenceSampleRate = 48000;
}

void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           std::int64_t framesPerSecond, double durationSeconds, const GraphicsTimeline& timeline,
           const MusicTimeline& music, const std::filesystem::path& cacheFolder, const OutputFormat& format) {
    requireFreeLocation(location);
    // Everything that can be refused is refused before the GPU is touched. A frame sequence's
    // soundtrack is written at 48 kHz whatever the music's rate.
    const std::int64_t sampleRate = format.isFrameSequence() ? frameSequenceSampleRate : music.sampleRate;
    planMovie(width, height, framesPerSecond, durationSeconds, sampleRate);
    requireEncoders(format);
    gpu::DeviceOptions options = gpu::defaultDeviceOptions();
    options.cacheFolder = cacheFolder;
    std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault(options);
    if (!device) {
        throw MovieRendererError::noMetalDevice();
    }
    const MoviePlan plan = planMovie(width, height, framesPerSecond, durationSeconds, sampleRate,
                                     static_cast<std::int64_t>(device->maxTextureDimension2D()));
    GpuMovieFrames frames(std::move(device), plan, timeline, format.transparent);
    MovieExportOptions exportOptions;
    exportOptions.progressBar = progressTerminal();
    exportOptions.format = format;
    if (format.isFrameSequence()) {
        exportFrameSequence(location, plan, music, frames, exportOptions);
    } else {
        exportMovie(location, plan, music, frames, exportOptions);
    }
}

} // namespace drevik::MetalMovieRenderer

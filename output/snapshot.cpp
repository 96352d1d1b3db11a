#include "output/snapshot.hpp"

#include "platform/atomic_output.hpp"
#include "output/png_writer.hpp"
#include "output/straight_alpha.hpp"
#include "render/gpu/gpu.hpp"
#include "render/offscreen_frames.hpp"

#include <memory>
#include <new>
#include <vector>

namespace drevik::MetalSnapshot {

void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height, double normalizedTime,
           const GraphicsTimeline& timeline, const MusicTimeline& music,
           const std::function<std::shared_ptr<gpu::Device>()>& openDevice, bool transparent) {
    // Never overwrite: anything at the location, a dangling link too, is refused before the GPU is touched.
    if (outputLocationTaken(location)) {
        throw SnapshotError::outputExists(location);
    }
    std::shared_ptr<gpu::Device> device = openDevice ? openDevice() : gpu::Device::systemDefault();
    if (!device) {
        throw SnapshotError::noMetalDevice();
    }
    OffscreenFrames frames(std::move(device), timeline, "Drevik snapshot");
    frames.setClearBackground(transparent);
    static_assert(sizeof(std::size_t) >= sizeof(std::int64_t));
    if (width < 1 || height < 1 || !frames.resize(static_cast<std::size_t>(width), static_cast<std::size_t>(height))) {
        throw SnapshotError::cannotCreateTexture();
    }
    const auto pixelWidth = static_cast<std::size_t>(width);
    const auto pixelHeight = static_cast<std::size_t>(height);

    const std::size_t bytesPerRow = pixelWidth * 4;
    std::vector<std::uint8_t> pixels;
    try {
        pixels.assign(bytesPerRow * pixelHeight, 0);
    } catch (const std::bad_alloc&) {
        throw SnapshotError::cannotCreateImage();
    }
    frames.render(normalizedTime, music.features(normalizedTime), pixels, bytesPerRow);
    if (transparent) straightenAdditiveAlpha(pixels, pixelWidth, pixelHeight, bytesPerRow);

    // Encoded into a temporary file beside the target (the folder made first, with every missing
    // parent), then given the target's name, refusing a file that appeared meanwhile.
    PngWriteResult written = PngWriteResult::written;
    try {
        written = writePngFile(location, pixels.data(), pixelWidth, pixelHeight, bytesPerRow, transparent);
    } catch (const AtomicOutputError& error) {
        if (error.targetExists()) throw SnapshotError::outputExists(location);
        throw SnapshotError::cannotWrite(location);
    }
    if (written == PngWriteResult::cannotEncode) throw SnapshotError::cannotCreateImage();
}

} // namespace drevik::MetalSnapshot

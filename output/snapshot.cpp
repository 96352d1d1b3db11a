#include "output/snapshot.hpp"

#include "output/png_writer.hpp"
#include "render/gpu/gpu.hpp"
#include "render/scene_renderer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>
#include <random>
#include <system_error>
#include <vector>

namespace drevik::MetalSnapshot {
namespace {

namespace fs = std::filesystem;

// A file next to the final one that the finished PNG is written to first. Removed on destruction
// unless it was moved into place, so a failure never leaves a partial image behind.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& finalLocation) {
        const fs::path folder = finalLocation.has_parent_path() ? finalLocation.parent_path() : fs::path(".");
        std::random_device entropy;
        std::mt19937_64 generator(entropy());
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            char suffix[17];
            std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(generator()));
            // A short hidden name, valid whatever the length of the final one.
            path_ = folder / (std::string(".drevik-snapshot-") + suffix + ".tmp");
            do {
                fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            } while (fd_ < 0 && errno == EINTR);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        created_ = fd_ >= 0;
    }
    ~TemporaryFile() {
        close();
        if (created_ && !moved_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    std::FILE* stream() {
        if (!file_ && fd_ >= 0) file_ = ::fdopen(fd_, "wb");
        return file_;
    }

    // Closes the file; false when the data could not be written out.
    bool close() {
        bool ok = true;
        if (file_) {
            ok = std::fclose(file_) == 0;
        } else if (fd_ >= 0) {
            ok = ::close(fd_) == 0;
        }
        file_ = nullptr;
        fd_ = -1;
        return ok;
    }

    // Gives the file its final name unless that name is taken; never replaces an existing file.
    // Returns 0 on success, else the errno (EEXIST when the name is taken).
    int moveTo(const fs::path& location) {
        if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, location.c_str(), RENAME_NOREPLACE) == 0) {
            moved_ = true;
            return 0;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
        // File systems without the no-replace rename: a hard link also refuses an existing name.
        if (::link(path_.c_str(), location.c_str()) != 0) return errno;
        ::unlink(path_.c_str());
        moved_ = true;
        return 0;
    }

private:
    fs::path path_;
    int fd_ = -1;
    std::FILE* file_ = nullptr;
    bool created_ = false;
    bool moved_ = false;
};

bool fileExists(const fs::path& location) {
    std::error_code error;
    return fs::exists(location, error);
}

gpu::TextureDescriptor textureDescriptor(gpu::PixelFormat format, std::size_t width, std::size_t height,
                                         std::size_t samples, gpu::StorageMode storage, const char* label) {
    gpu::TextureDescriptor descriptor = gpu::TextureDescriptor::texture2D(format, width, height);
    descriptor.textureType = samples > 1 ? gpu::TextureType::type2DMultisample : gpu::TextureType::type2D;
    descriptor.sampleCount = samples;
    descriptor.storageMode = storage;
    descriptor.label = label;
    return descriptor;
}

} // namespace

void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height, double normalizedTime,
           const GraphicsTimeline& timeline, const MusicTimeline& music, const std::filesystem::path& cacheFolder) {
    // 1. Never overwrite.
    if (fileExists(location)) {
        throw SnapshotError::outputExists(location);
    }
    // 2-4. Device, sample count, renderer.
    gpu::DeviceOptions options;
    options.cacheFolder = cacheFolder;
    std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault(options);
    if (!device) {
        throw SnapshotError::noMetalDevice();
    }
    const std::size_t samples = device->supportsTextureSampleCount(4) ? 4 : 1;
    MetalSceneRenderer renderer(device, gpu::PixelFormat::bgra8Unorm, samples);

    // Sizes the device cannot render, or whose pixel bytes cannot be counted, get no texture.
    const auto maxDimension = static_cast<std::int64_t>(device->maxTextureDimension2D());
    if (width < 1 || height < 1 || width > maxDimension || height > maxDimension ||
        static_cast<std::uint64_t>(width) * 4 >
            std::numeric_limits<std::size_t>::max() / static_cast<std::uint64_t>(height)) {
        throw SnapshotError::cannotCreateTexture();
    }
    const auto pixelWidth = static_cast<std::size_t>(width);
    const auto pixelHeight = static_cast<std::size_t>(height);

    // 5-6. Render targets.
    auto output = device->makeTexture(textureDescriptor(gpu::PixelFormat::bgra8Unorm, pixelWidth, pixelHeight, 1,
                                                        gpu::StorageMode::shared, "Drevik snapshot"));
    if (!output) {
        throw SnapshotError::cannotCreateTexture();
    }
    std::shared_ptr<gpu::Texture> multisample;
    if (samples == 4) {
        multisample = device->makeTexture(textureDescriptor(gpu::PixelFormat::bgra8Unorm, pixelWidth, pixelHeight, 4,
                                                            gpu::StorageMode::gpuPrivate,
                                                            "Drevik snapshot multisample color"));
        if (!multisample) {
            throw SnapshotError::cannotCreateTexture();
        }
    }
    auto depth = device->makeTexture(textureDescriptor(gpu::PixelFormat::depth32Float, pixelWidth, pixelHeight,
                                                       samples, gpu::StorageMode::gpuPrivate, "Drevik snapshot depth"));
    if (!depth) {
        throw SnapshotError::cannotCreateTexture();
    }

    // 7. The pass: clear to opaque black, resolve into the output with 4 samples.
    const gpu::RenderPassDescriptor pass = framePassDescriptor(multisample, output, depth);

    // 8-11. Encode, commit, wait.
    std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer.commandQueue()->commandBuffer();
    if (!commandBuffer) {
        throw MetalRendererError::cannotCreateCommandBuffer();
    }
    commandBuffer->setLabel("Drevik frame");
    const AudioFeatures features = music.features(normalizedTime);
    renderer.encode(*commandBuffer, pass, static_cast<double>(width), static_cast<double>(height), timeline,
                    normalizedTime, features);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    if (commandBuffer->error()) {
        throw *commandBuffer->error();
    }

    // 12. Read back.
    const std::size_t bytesPerRow = pixelWidth * 4;
    std::vector<std::uint8_t> pixels;
    try {
        pixels.assign(bytesPerRow * pixelHeight, 0);
    } catch (const std::bad_alloc&) {
        throw SnapshotError::cannotCreateImage();
    }
    output->getBytes(pixels.data(), bytesPerRow, {0, 0, pixelWidth, pixelHeight});

    // 14. The folder, with every missing parent.
    if (location.has_parent_path()) {
        std::error_code error;
        fs::create_directories(location.parent_path(), error);
        if (error) {
            throw Error("Could not create the folder " + location.parent_path().string() + ": " + error.message());
        }
    }

    // 15. Encode into a temporary file beside the target, then give it the target's name, refusing
    // a file that appeared meanwhile.
    TemporaryFile temporary(location);
    if (!temporary.isOpen()) {
        throw SnapshotError::cannotWrite(location);
    }
    std::FILE* stream = temporary.stream();
    if (!stream) {
        throw SnapshotError::cannotWrite(location);
    }
    switch (writeBgraAsPng(stream, pixels.data(), pixelWidth, pixelHeight, bytesPerRow)) {
    case PngWriteResult::written: break;
    case PngWriteResult::cannotEncode: throw SnapshotError::cannotCreateImage();
    case PngWriteResult::cannotWrite: throw SnapshotError::cannotWrite(location);
    }
    if (!temporary.close()) {
        throw SnapshotError::cannotWrite(location);
    }
    if (int failure = temporary.moveTo(location); failure != 0) {
        if (failure == EEXIST) throw SnapshotError::outputExists(location);
        throw SnapshotError::cannotWrite(location);
    }
}

} // namespace drevik::MetalSnapshot

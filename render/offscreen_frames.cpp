#include "render/offscreen_frames.hpp"

#include "render/scene_renderer.hpp"

#include <cstring>
#include <exception>
#include <limits>
#include <utility>

namespace drevik {

OffscreenFrames::OffscreenFrames(std::shared_ptr<gpu::Device> device, const GraphicsTimeline& timeline,
                                 std::string name)
    : device_(std::move(device)), timeline_(&timeline), name_(std::move(name)), sampleCount_(sampleCountFor(*device_)),
      renderer_(std::make_unique<MetalSceneRenderer>(device_, gpu::PixelFormat::bgra8Unorm, sampleCount_)) {}

OffscreenFrames::~OffscreenFrames() { drainPending(); }

void OffscreenFrames::drainPending() {
    for (PendingFrame& frame : pending_) frame.commandBuffer->waitUntilCompleted();
    pending_.clear();
}

void OffscreenFrames::changeTimeline(const GraphicsTimeline& timeline) {
    if (&timeline == timeline_) return;
    timeline_ = &timeline;
    renderer_->forgetTimeline();
}

std::size_t OffscreenFrames::sampleCountFor(const gpu::Device& device) {
    return device.supportsTextureSampleCount(4) ? 4 : 1;
}

bool OffscreenFrames::resize(std::size_t width, std::size_t height) { return makeTargets(width, height, true); }

bool OffscreenFrames::makeTargets(std::size_t width, std::size_t height, bool withOutput) {
    // Frames for a window need no output texture but keep one made earlier (for a screenshot of the
    // show), so that taking pictures between presented frames does not remake the targets each time.
    if (depth_ && width == width_ && height == height_ && (output_ != nullptr || !withOutput)) return true;
    drainPending();
    spareReadBacks_.clear();
    output_.reset();
    multisampleColor_.reset();
    depth_.reset();
    width_ = 0;
    height_ = 0;
    const std::size_t largest = device_->maxTextureDimension2D();
    // Sizes the device cannot render, or whose pixel bytes cannot be counted, get no targets.
    if (width < 1 || height < 1 || width > largest || height > largest ||
        width > std::numeric_limits<std::size_t>::max() / 4 / height) {
        return false;
    }
    auto texture = [&](gpu::PixelFormat format, std::size_t samples, const std::string& label) {
        gpu::TextureDescriptor descriptor = gpu::TextureDescriptor::texture2D(format, width, height);
        descriptor.textureType = samples > 1 ? gpu::TextureType::type2DMultisample : gpu::TextureType::type2D;
        descriptor.sampleCount = samples;
        descriptor.label = label;
        return device_->makeTexture(descriptor);
    };
    std::shared_ptr<gpu::Texture> output;
    if (withOutput) {
        output = texture(gpu::PixelFormat::bgra8Unorm, 1, name_ + " frame");
        if (!output) return false;
    }
    std::shared_ptr<gpu::Texture> multisampleColor;
    if (sampleCount_ > 1) {
        multisampleColor = texture(gpu::PixelFormat::bgra8Unorm, sampleCount_, name_ + " multisample color");
        if (!multisampleColor) return false;
    }
    std::shared_ptr<gpu::Texture> depth = texture(gpu::PixelFormat::depth32Float, sampleCount_, name_ + " depth");
    if (!depth) return false;
    output_ = std::move(output);
    multisampleColor_ = std::move(multisampleColor);
    depth_ = std::move(depth);
    width_ = width;
    height_ = height;
    return true;
}

void OffscreenFrames::render(double normalizedTime, const AudioFeatures& features, std::span<std::uint8_t> bgra,
                             std::size_t bytesPerRow) {
    drainPending();
    submit(normalizedTime, features);
    collect(bgra, bytesPerRow);
}

void OffscreenFrames::submit(double normalizedTime, const AudioFeatures& features) {
    if (!output_ || pending_.size() >= framesInFlight) {
        throw gpu::GpuError(gpu::GpuStage::readBack, "a frame submitted without targets or past the frames in flight");
    }
    std::shared_ptr<gpu::Buffer> readBack;
    if (!spareReadBacks_.empty()) {
        readBack = std::move(spareReadBacks_.back());
        spareReadBacks_.pop_back();
    } else {
        readBack = device_->makeReadBackBuffer(width_ * height_ * 4);
        if (!readBack) {
            throw gpu::GpuError(gpu::GpuStage::readBack, "no memory for a read-back buffer of " +
                                                             std::to_string(width_ * height_ * 4) + " bytes");
        }
        readBack->setLabel(name_ + " read-back");
    }
    std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer_->commandQueue()->commandBuffer();
    if (!commandBuffer) {
        spareReadBacks_.push_back(std::move(readBack));
        throw MetalRendererError::cannotCreateCommandBuffer();
    }
    PendingFrame frame{commandBuffer, readBack, nullptr};
    commandBuffer->setLabel("Drevik frame");
    try {
        encodeFrame(*commandBuffer, output_, normalizedTime, features);
        commandBuffer->copyToBuffer(output_, gpu::Region{0, 0, width_, height_}, readBack);
    } catch (...) {
        frame.failure = std::current_exception();
    }
    commandBuffer->commit(); // every command buffer is committed, also one whose encoding failed
    pending_.push_back(std::move(frame));
}

void OffscreenFrames::collect(std::span<std::uint8_t> bgra, std::size_t bytesPerRow) {
    if (pending_.empty()) {
        throw gpu::GpuError(gpu::GpuStage::readBack, "no frame was submitted to collect");
    }
    PendingFrame frame = std::move(pending_.front());
    pending_.pop_front();
    frame.commandBuffer->waitUntilCompleted();
    spareReadBacks_.push_back(frame.readBack);
    if (frame.failure) std::rethrow_exception(frame.failure);
    if (const auto& error = frame.commandBuffer->error()) throw *error;
    const std::size_t rowBytes = width_ * 4;
    if (bytesPerRow < rowBytes || bgra.size() < bytesPerRow * (height_ - 1) + rowBytes) {
        throw gpu::GpuError(gpu::GpuStage::readBack, "the picture's bytes do not fit the frame");
    }
    const auto* source = static_cast<const std::uint8_t*>(frame.readBack->contents());
    if (bytesPerRow == rowBytes) {
        std::memcpy(bgra.data(), source, rowBytes * height_);
    } else {
        for (std::size_t row = 0; row < height_; ++row) {
            std::memcpy(bgra.data() + row * bytesPerRow, source + row * rowBytes, rowBytes);
        }
    }
}

bool OffscreenFrames::present(gpu::Swapchain& swapchain, std::size_t width, std::size_t height,
                              double normalizedTime, const AudioFeatures& features) {
    std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer_->commandQueue()->commandBuffer();
    if (!commandBuffer) return false;
    std::shared_ptr<gpu::Drawable> drawable = swapchain.nextDrawable(width, height);
    if (!drawable) return false;
    const std::shared_ptr<gpu::Texture>& texture = drawable->texture();
    if (!makeTargets(texture->width(), texture->height(), false)) {
        commandBuffer->present(drawable); // shown black rather than held back
        commandBuffer->commit();
        return false;
    }
    drainPending();
    encodeCommitAndWait(*commandBuffer, texture, drawable, normalizedTime, features);
    return true;
}

void OffscreenFrames::encodeFrame(gpu::CommandBuffer& commandBuffer, const std::shared_ptr<gpu::Texture>& output,
                                  double normalizedTime, const AudioFeatures& features) {
    renderer_->encode(commandBuffer, framePassDescriptor(multisampleColor_, output, depth_, clearBackground_),
                      static_cast<double>(width_), static_cast<double>(height_), *timeline_, normalizedTime, features);
}

// Encodes the frame and commits the command buffer whether or not encoding failed, as every command
// buffer must be; waits for the GPU, so that one frame is in flight at a time. Throws the failure.
void OffscreenFrames::encodeCommitAndWait(gpu::CommandBuffer& commandBuffer,
                                          const std::shared_ptr<gpu::Texture>& output,
                                          const std::shared_ptr<gpu::Drawable>& drawable, double normalizedTime,
                                          const AudioFeatures& features) {
    commandBuffer.setLabel("Drevik frame");
    std::exception_ptr failure;
    try {
        encodeFrame(commandBuffer, output, normalizedTime, features);
    } catch (...) {
        failure = std::current_exception();
    }
    if (drawable) commandBuffer.present(drawable);
    commandBuffer.commit();
    commandBuffer.waitUntilCompleted();
    if (failure) std::rethrow_exception(failure);
    if (const auto& error = commandBuffer.error()) throw *error;
}

} // namespace drevik

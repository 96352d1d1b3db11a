#pragma once
// The one way a frame of the show is rendered for output: the scene renderer with 4 samples when
// the device has them (else 1), colour and depth targets of the picture's size, the frame pass
// (cleared to opaque black, resolved, depth cleared to 1), and the picture read back as BGRA rows
// or presented on a window's drawable. The snapshot, the movie and the show all draw through it, so
// their pictures are the same.
//
// A read-back frame is one command buffer: the pass, then a copy of the picture into a buffer the
// CPU reads. Several frames can be on the GPU at once (submit), each waited for only when its
// pixels are taken (collect), so the CPU prepares and encodes frames while the GPU renders others.
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "render/gpu/gpu.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace drevik {

class MetalSceneRenderer;

class OffscreenFrames {
public:
    // Makes the renderer for the device (its errors pass through). `name` labels the targets
    // ("<name> frame", "<name> multisample color", "<name> depth").
    OffscreenFrames(std::shared_ptr<gpu::Device> device, const GraphicsTimeline& timeline, std::string name);
    ~OffscreenFrames();
    OffscreenFrames(const OffscreenFrames&) = delete;
    OffscreenFrames& operator=(const OffscreenFrames&) = delete;

    // 4 when the device renders 4-sample textures, else 1.
    static std::size_t sampleCountFor(const gpu::Device& device);
    std::size_t sampleCount() const { return sampleCount_; }
    // Later frames draw `timeline` (which must outlive them) instead.
    void changeTimeline(const GraphicsTimeline& timeline);
    const std::shared_ptr<gpu::Device>& device() const { return device_; }

    // Makes the targets for width × height pixels, keeping those of the same size. False when the
    // device cannot make them (a side of 0 or over its limit, no memory); there are then none.
    bool resize(std::size_t width, std::size_t height);
    std::size_t width() const { return width_; }

    // With a clear background the picture's alpha is the lines' accumulated coverage over a
    // transparent black background; the colour is the same as over opaque black.
    void setClearBackground(bool clear) { clearBackground_ = clear; }
    std::size_t height() const { return height_; }

    // Renders the frame at normalizedTime at the current size and copies it into `bgra`: height
    // rows of width × 4 bytes (B, G, R, A), `bytesPerRow` apart, top row first. Blocks until done.
    // Throws the renderer's errors, MetalRendererError::cannotCreateCommandBuffer, or the command
    // buffer's GpuError. Needs a successful resize first.
    void render(double normalizedTime, const AudioFeatures& features, std::span<std::uint8_t> bgra,
                std::size_t bytesPerRow);

    // Frames that can be submitted and not yet collected: the renderer's ring of stroke buffers.
    static constexpr std::size_t framesInFlight = 3;
    // How many are submitted and not yet collected.
    std::size_t pending() const { return pending_.size(); }
    // Starts rendering the frame at normalizedTime at the current size and returns without waiting
    // for the GPU. Needs a successful resize first and fewer than framesInFlight pending; a resize
    // waits for the pending frames. A failure to encode is kept and thrown by the frame's collect.
    void submit(double normalizedTime, const AudioFeatures& features);
    // Waits for the oldest pending frame and copies it into `bgra` as render() does; throws what
    // render() throws for that frame. The frame is collected even when it throws.
    void collect(std::span<std::uint8_t> bgra, std::size_t bytesPerRow);

    // Renders the frame into a window's drawable (resizing the targets to it) and presents it. The
    // drawable is presented even when rendering fails (black where nothing was drawn). False when the
    // frame is skipped: no command buffer, no drawable, or no targets for its size.
    bool present(gpu::Swapchain& swapchain, std::size_t width, std::size_t height, double normalizedTime,
                 const AudioFeatures& features);

private:
    struct PendingFrame {
        std::shared_ptr<gpu::CommandBuffer> commandBuffer;
        std::shared_ptr<gpu::Buffer> readBack;
        std::exception_ptr failure; // from encoding
    };
    bool makeTargets(std::size_t width, std::size_t height, bool withOutput);
    void drainPending();
    void encodeFrame(gpu::CommandBuffer& commandBuffer, const std::shared_ptr<gpu::Texture>& output,
                     double normalizedTime, const AudioFeatures& features);
    void encodeCommitAndWait(gpu::CommandBuffer& commandBuffer, const std::shared_ptr<gpu::Texture>& output,
                             const std::shared_ptr<gpu::Drawable>& drawable, double normalizedTime,
                             const AudioFeatures& features);

    std::shared_ptr<gpu::Device> device_;
    const GraphicsTimeline* timeline_;
    std::string name_;
    std::size_t sampleCount_;
    std::unique_ptr<MetalSceneRenderer> renderer_;
    std::size_t width_ = 0;
    std::size_t height_ = 0;
    bool clearBackground_ = false;
    std::shared_ptr<gpu::Texture> output_;           // single-sample, read back
    std::shared_ptr<gpu::Texture> multisampleColor_; // with 4 samples
    std::shared_ptr<gpu::Texture> depth_;
    std::vector<std::shared_ptr<gpu::Buffer>> spareReadBacks_; // of width × height × 4 bytes
    std::deque<PendingFrame> pending_;
};

} // namespace drevik

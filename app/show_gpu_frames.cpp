// The show's frames from the GPU renderer. Where the window can present through Vulkan, each frame is
// rendered straight into the window's next drawable (4 samples resolved into it when the device supports
// them) and presented. Otherwise frames are rendered off screen and read back for the window's surface.
#include "app/show_view.hpp"

#include "render/gpu/gpu.hpp"
#include "render/scene_renderer.hpp"

#include <SDL2/SDL_vulkan.h>
#include <vulkan/vulkan.h>

#include <algorithm>
#include <string>
#include <vector>

namespace drevik {

namespace {

std::size_t sampleCountOf(const gpu::Device& device) { return device.supportsTextureSampleCount(4) ? 4 : 1; }

// Colour and depth targets of the drawable size, remade when it changes.
class FrameTargets {
public:
    // `resolved`: also a single-sample colour texture to resolve into (for reading back).
    bool make(gpu::Device& device, std::size_t width, std::size_t height, std::size_t sampleCount, bool resolved) {
        if (depth_ && depth_->width() == width && depth_->height() == height) return true;
        auto texture = [&](gpu::PixelFormat format, std::size_t samples, const char* label) {
            gpu::TextureDescriptor descriptor = gpu::TextureDescriptor::texture2D(format, width, height);
            descriptor.sampleCount = samples;
            descriptor.textureType = samples > 1 ? gpu::TextureType::type2DMultisample : gpu::TextureType::type2D;
            descriptor.label = label;
            return device.makeTexture(descriptor);
        };
        resolved_ = resolved ? texture(gpu::PixelFormat::bgra8Unorm, 1, "Drevik show frame") : nullptr;
        multisampleColor_ =
            sampleCount > 1 ? texture(gpu::PixelFormat::bgra8Unorm, sampleCount, "Drevik show samples") : nullptr;
        depth_ = texture(gpu::PixelFormat::depth32Float, sampleCount, "Drevik show depth");
        bool complete = depth_ && (!resolved || resolved_) && (sampleCount == 1 || multisampleColor_);
        if (!complete) depth_.reset();
        return complete;
    }

    // The frame's pass: cleared to opaque black, its samples resolved into `output` (or drawn straight
    // into it with one sample), depth cleared to 1.
    gpu::RenderPassDescriptor pass(const std::shared_ptr<gpu::Texture>& output) const {
        return framePassDescriptor(multisampleColor_, output, depth_);
    }

    const std::shared_ptr<gpu::Texture>& resolved() const { return resolved_; }

private:
    std::shared_ptr<gpu::Texture> resolved_;
    std::shared_ptr<gpu::Texture> multisampleColor_;
    std::shared_ptr<gpu::Texture> depth_;
};

// Encodes the frame and commits the command buffer whether or not encoding failed, as every command
// buffer must be; waits for the GPU so that only one frame is ever in flight. Throws the failure.
void encodeAndCommit(MetalSceneRenderer& renderer, gpu::CommandBuffer& commandBuffer,
                     const gpu::RenderPassDescriptor& pass, const std::shared_ptr<gpu::Drawable>& drawable,
                     std::size_t width, std::size_t height, const GraphicsTimeline& timeline, double normalizedTime,
                     const AudioFeatures& features) {
    std::string failure;
    try {
        renderer.encode(commandBuffer, pass, static_cast<double>(width), static_cast<double>(height), timeline,
                        normalizedTime, features);
    } catch (const Error& error) {
        failure = error.what();
    }
    if (drawable) commandBuffer.present(drawable);
    commandBuffer.commit();
    commandBuffer.waitUntilCompleted();
    if (!failure.empty()) throw Error(failure);
    if (commandBuffer.error()) throw Error(commandBuffer.error()->what());
}

// Renders into the window's drawables on a device that presents to the window.
class SwapchainFrameSource final : public ShowFrameSource {
public:
    // nullptr when no device can present to the window; fails with the renderer's error.
    static std::unique_ptr<SwapchainFrameSource> make(const GraphicsTimeline& timeline, SDL_Window* window,
                                                      const std::filesystem::path& cacheFolder) {
        unsigned count = 0;
        if (!SDL_Vulkan_GetInstanceExtensions(window, &count, nullptr)) return nullptr;
        std::vector<const char*> names(count);
        if (!SDL_Vulkan_GetInstanceExtensions(window, &count, names.data())) return nullptr;
        gpu::DeviceOptions options;
        options.instanceExtensions.assign(names.begin(), names.end());
        options.cacheFolder = cacheFolder;
        options.makeSurface = [window](gpu::NativeInstance instance) -> gpu::NativeSurface {
            VkSurfaceKHR surface = VK_NULL_HANDLE;
            if (!SDL_Vulkan_CreateSurface(window, static_cast<VkInstance>(instance), &surface)) return 0;
            return reinterpret_cast<gpu::NativeSurface>(surface);
        };
        std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault(options);
        if (!device) return nullptr;
        std::shared_ptr<gpu::Swapchain> swapchain = device->makeSwapchain();
        if (!swapchain) return nullptr;
        return std::unique_ptr<SwapchainFrameSource>(
            new SwapchainFrameSource(timeline, std::move(device), std::move(swapchain)));
    }

    bool render(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                const AudioFeatures& features) override {
        std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer_->commandQueue()->commandBuffer();
        if (!commandBuffer) return false;
        std::shared_ptr<gpu::Drawable> drawable = swapchain_->nextDrawable(width, height);
        if (!drawable) return false;
        const std::size_t drawableWidth = drawable->texture()->width();
        const std::size_t drawableHeight = drawable->texture()->height();
        if (!targets_.make(*device_, drawableWidth, drawableHeight, sampleCount_, false)) {
            commandBuffer->present(drawable); // shown black rather than held back
            commandBuffer->commit();
            return false;
        }
        commandBuffer->setLabel("Drevik frame");
        encodeAndCommit(*renderer_, *commandBuffer, targets_.pass(drawable->texture()), drawable, drawableWidth,
                        drawableHeight, timeline_, normalizedTime, features);
        into.width = drawableWidth;
        into.height = drawableHeight;
        into.bgra.clear();
        return true;
    }

    bool presentsItself() const override { return true; }
    void drawableSizeChanged() override { swapchain_->invalidate(); }

private:
    SwapchainFrameSource(const GraphicsTimeline& timeline, std::shared_ptr<gpu::Device> device,
                         std::shared_ptr<gpu::Swapchain> swapchain)
        : timeline_(timeline), device_(std::move(device)), swapchain_(std::move(swapchain)),
          sampleCount_(sampleCountOf(*device_)),
          renderer_(std::make_unique<MetalSceneRenderer>(device_, gpu::PixelFormat::bgra8Unorm, sampleCount_)) {}

    const GraphicsTimeline& timeline_;
    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::Swapchain> swapchain_;
    std::size_t sampleCount_;
    std::unique_ptr<MetalSceneRenderer> renderer_;
    FrameTargets targets_;
};

// Renders off screen and reads the picture back, for windows that cannot present through Vulkan.
class OffscreenFrameSource final : public ShowFrameSource {
public:
    OffscreenFrameSource(const GraphicsTimeline& timeline, const std::filesystem::path& cacheFolder)
        : timeline_(timeline) {
        gpu::DeviceOptions options;
        options.cacheFolder = cacheFolder;
        device_ = gpu::Device::systemDefault(options);
        if (!device_) throw ShowViewError();
        sampleCount_ = sampleCountOf(*device_);
        renderer_ = std::make_unique<MetalSceneRenderer>(device_, gpu::PixelFormat::bgra8Unorm, sampleCount_);
    }

    bool render(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                const AudioFeatures& features) override {
        width = std::min(width, device_->maxTextureDimension2D());
        height = std::min(height, device_->maxTextureDimension2D());
        if (!targets_.make(*device_, width, height, sampleCount_, true)) return false;
        std::shared_ptr<gpu::CommandBuffer> commandBuffer = renderer_->commandQueue()->commandBuffer();
        if (!commandBuffer) return false;
        commandBuffer->setLabel("Drevik frame");
        encodeAndCommit(*renderer_, *commandBuffer, targets_.pass(targets_.resolved()), nullptr, width, height,
                        timeline_, normalizedTime, features);
        into.width = width;
        into.height = height;
        into.bgra.resize(width * height * 4);
        targets_.resolved()->getBytes(into.bgra.data(), width * 4, {0, 0, width, height});
        return true;
    }

private:
    const GraphicsTimeline& timeline_;
    std::shared_ptr<gpu::Device> device_;
    std::size_t sampleCount_ = 1;
    std::unique_ptr<MetalSceneRenderer> renderer_;
    FrameTargets targets_;
};

} // namespace

std::unique_ptr<ShowFrameSource> makeGpuFrameSource(const GraphicsTimeline& timeline, SDL_Window* window,
                                                    const std::filesystem::path& cacheFolder) {
    if (window != nullptr && (SDL_GetWindowFlags(window) & SDL_WINDOW_VULKAN) != 0) {
        if (std::unique_ptr<ShowFrameSource> direct = SwapchainFrameSource::make(timeline, window, cacheFolder)) {
            return direct;
        }
    }
    return std::make_unique<OffscreenFrameSource>(timeline, cacheFolder);
}

} // namespace drevik

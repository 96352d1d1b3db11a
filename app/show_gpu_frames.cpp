// The show's frames from the GPU renderer, through the one frame path (render/offscreen_frames). Where
// the window can present through Vulkan, each frame is rendered straight into the window's next drawable
// (4 samples resolved into it when the device supports them) and presented. Otherwise frames are rendered
// off screen and read back for the window's surface.
#include "app/show_view.hpp"

#include "render/gpu/gpu.hpp"
#include "render/offscreen_frames.hpp"
#include "render/scene_renderer.hpp"

#include <SDL2/SDL_vulkan.h>
#include <vulkan/vulkan.h>

#include <algorithm>
#include <string>
#include <vector>

namespace drevik {

namespace {

// The moment rendered off screen and read back into `into`, at most the device's largest texture in
// each direction. False when the frame had to be skipped (no targets, no command buffer).
bool renderIntoPicture(OffscreenFrames& frames, ShowPicture& into, std::size_t width, std::size_t height,
                       double normalizedTime, const AudioFeatures& features) {
    const std::size_t largest = frames.device()->maxTextureDimension2D();
    width = std::min(width, largest);
    height = std::min(height, largest);
    if (!frames.resize(width, height)) return false;
    into.width = width;
    into.height = height;
    into.bgra.resize(width * height * 4);
    try {
        frames.render(normalizedTime, features, into.bgra, width * 4);
    } catch (const MetalRendererError& error) {
        if (error.kind() == MetalRendererError::Kind::cannotCreateCommandBuffer) return false;
        throw;
    }
    return true;
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
        gpu::DeviceOptions options = gpu::defaultDeviceOptions();
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
        if (!frames_.present(*swapchain_, width, height, normalizedTime, features)) return false;
        into.width = frames_.width();
        into.height = frames_.height();
        into.bgra.clear();
        return true;
    }

    // The same moment rendered again off screen, at the same size as the window's frames.
    bool capture(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                 const AudioFeatures& features) override {
        return renderIntoPicture(frames_, into, width, height, normalizedTime, features);
    }

    void changeTimeline(const GraphicsTimeline& timeline) override { frames_.changeTimeline(timeline); }
    bool presentsItself() const override { return true; }
    void drawableSizeChanged() override { swapchain_->invalidate(); }

private:
    SwapchainFrameSource(const GraphicsTimeline& timeline, std::shared_ptr<gpu::Device> device,
                         std::shared_ptr<gpu::Swapchain> swapchain)
        : swapchain_(std::move(swapchain)), frames_(std::move(device), timeline, "Drevik show") {}

    std::shared_ptr<gpu::Swapchain> swapchain_;
    OffscreenFrames frames_;
};

// Renders off screen and reads the picture back, for windows that cannot present through Vulkan.
class OffscreenFrameSource final : public ShowFrameSource {
public:
    OffscreenFrameSource(const GraphicsTimeline& timeline, const std::filesystem::path& cacheFolder)
        : frames_(systemDevice(cacheFolder), timeline, "Drevik show") {}

    bool render(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                const AudioFeatures& features) override {
        return renderIntoPicture(frames_, into, width, height, normalizedTime, features);
    }

    void changeTimeline(const GraphicsTimeline& timeline) override { frames_.changeTimeline(timeline); }

private:
    static std::shared_ptr<gpu::Device> systemDevice(const std::filesystem::path& cacheFolder) {
        gpu::DeviceOptions options = gpu::defaultDeviceOptions();
        options.cacheFolder = cacheFolder;
        std::shared_ptr<gpu::Device> device = gpu::Device::systemDefault(options);
        if (!device) throw ShowViewError();
        return device;
    }

    OffscreenFrames frames_;
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

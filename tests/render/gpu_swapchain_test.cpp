// Presentation through the GPU layer: a window on a private X server, its swapchain, drawables drawn by
// a 4-sample pass resolved into them, and what the X server then shows; all under the validation layer.
#include "render/gpu/gpu.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/support/virtual_display.hpp"

#include <SDL2/SDL_vulkan.h>
#include <vulkan/vulkan.h>

#include <memory>
#include <string>
#include <vector>

namespace drevik {
namespace {

class GpuSwapchainTest : public testing::WindowDisplaySuite {
protected:
    void SetUp() override {
        WindowDisplaySuite::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
        window = SDL_CreateWindow("swapchain test", 0, 0, 160, 90, SDL_WINDOW_VULKAN);
        ASSERT_NE(window, nullptr) << SDL_GetError();
        gpu::takeValidationMessages();
        gpu::DeviceOptions options;
        options.validation = true;
        unsigned count = 0;
        ASSERT_TRUE(SDL_Vulkan_GetInstanceExtensions(window, &count, nullptr));
        std::vector<const char*> names(count);
        ASSERT_TRUE(SDL_Vulkan_GetInstanceExtensions(window, &count, names.data()));
        options.instanceExtensions.assign(names.begin(), names.end());
        options.makeSurface = [this](gpu::NativeInstance instance) -> gpu::NativeSurface {
            VkSurfaceKHR surface = VK_NULL_HANDLE;
            if (!SDL_Vulkan_CreateSurface(window, static_cast<VkInstance>(instance), &surface)) return 0;
            return reinterpret_cast<gpu::NativeSurface>(surface);
        };
        device = gpu::Device::systemDefault(options);
        ASSERT_NE(device, nullptr) << "no Vulkan device presents to the window";
        queue = device->makeCommandQueue();
        swapchain = device->makeSwapchain();
        ASSERT_NE(swapchain, nullptr);
        samples = device->supportsTextureSampleCount(4) ? 4 : 1;
    }

    void TearDown() override {
        swapchain.reset();
        queue.reset();
        device.reset();
        if (window != nullptr) SDL_DestroyWindow(window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        for (const auto& message : gpu::takeValidationMessages()) ADD_FAILURE() << "validation: " << message;
    }

    std::shared_ptr<gpu::Texture> target(gpu::PixelFormat format, std::size_t width, std::size_t height) {
        auto descriptor = gpu::TextureDescriptor::texture2D(format, width, height);
        descriptor.sampleCount = samples;
        descriptor.textureType = samples > 1 ? gpu::TextureType::type2DMultisample : gpu::TextureType::type2D;
        return device->makeTexture(descriptor);
    }

    // Clears the next drawable to `color` in a pass with depth (4 samples resolved into it where
    // supported) and presents it; gives the command buffer, committed.
    std::shared_ptr<gpu::CommandBuffer> presentCleared(gpu::ClearColor color, bool wait = true) {
        int width = 0;
        int height = 0;
        SDL_Vulkan_GetDrawableSize(window, &width, &height);
        auto drawable = swapchain->nextDrawable(static_cast<std::size_t>(width), static_cast<std::size_t>(height));
        EXPECT_NE(drawable, nullptr);
        if (!drawable) return nullptr;
        const auto& texture = drawable->texture();
        EXPECT_EQ(texture->pixelFormat(), gpu::PixelFormat::bgra8Unorm);
        gpu::RenderPassDescriptor pass;
        auto& attachment = pass.colorAttachments[0];
        if (samples > 1) {
            attachment.texture = target(gpu::PixelFormat::bgra8Unorm, texture->width(), texture->height());
            attachment.resolveTexture = texture;
            attachment.storeAction = gpu::StoreAction::multisampleResolve;
        } else {
            attachment.texture = texture;
        }
        attachment.loadAction = gpu::LoadAction::clear;
        attachment.clearColor = color;
        pass.depthAttachment.texture = target(gpu::PixelFormat::depth32Float, texture->width(), texture->height());
        auto commandBuffer = queue->commandBuffer();
        auto encoder = commandBuffer->makeRenderCommandEncoder(pass);
        EXPECT_NE(encoder, nullptr);
        if (encoder) encoder->endEncoding();
        commandBuffer->present(drawable);
        commandBuffer->commit();
        if (wait) {
            commandBuffer->waitUntilCompleted();
            EXPECT_FALSE(commandBuffer->error().has_value()) << commandBuffer->error()->what();
        }
        return commandBuffer;
    }

    // The X server shows a presented image a little later than the GPU finishes it.
    std::array<int, 3> settledPixel(int x, int y, std::array<int, 3> wanted) {
        std::array<int, 3> seen{};
        for (int i = 0; i < 100 && (seen = testing::screenPixel(window, x, y)) != wanted; ++i) SDL_Delay(10);
        return seen;
    }

    SDL_Window* window = nullptr;
    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
    std::shared_ptr<gpu::Swapchain> swapchain;
    std::size_t samples = 1;
};

TEST_F(GpuSwapchainTest, PresentedFramesReachTheWindow) {
    presentCleared({0.25, 0.5, 0.75, 1});
    EXPECT_EQ(settledPixel(80, 45, {64, 128, 191}), (std::array<int, 3>{64, 128, 191}));
    presentCleared({1, 0.5, 0, 1});
    EXPECT_EQ(settledPixel(10, 80, {255, 128, 0}), (std::array<int, 3>{255, 128, 0}));
    EXPECT_EQ(swapchain->generation(), 1u);
}

// More frames than images, back to back: each waits for a free image, and semaphores are reused.
TEST_F(GpuSwapchainTest, FramesInARowReuseImagesAndSemaphores) {
    std::vector<std::shared_ptr<gpu::CommandBuffer>> frames;
    for (int i = 0; i < 12; ++i) frames.push_back(presentCleared({0, i / 11.0, 0, 1}, false));
    for (auto& frame : frames) {
        ASSERT_NE(frame, nullptr);
        frame->waitUntilCompleted();
        EXPECT_FALSE(frame->error().has_value());
    }
    EXPECT_EQ(settledPixel(80, 45, {0, 255, 0}), (std::array<int, 3>{0, 255, 0}));
}

TEST_F(GpuSwapchainTest, AResizedWindowGetsImagesOfItsNewSize) {
    presentCleared({0, 0, 1, 1});
    SDL_SetWindowSize(window, 240, 135);
    for (int i = 0; i < 100; ++i) {
        SDL_PumpEvents();
        int width = 0;
        int height = 0;
        SDL_Vulkan_GetDrawableSize(window, &width, &height);
        if (width == 240 && height == 135) break;
        SDL_Delay(10);
    }
    auto drawable = swapchain->nextDrawable(240, 135);
    ASSERT_NE(drawable, nullptr);
    EXPECT_EQ(drawable->texture()->width(), 240u);
    EXPECT_EQ(drawable->texture()->height(), 135u);
    EXPECT_EQ(swapchain->generation(), 2u);
    auto commandBuffer = queue->commandBuffer();
    commandBuffer->present(drawable); // nothing drawn: shown black
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    drawable.reset();
    presentCleared({1, 1, 0, 1});
    EXPECT_EQ(settledPixel(230, 130, {255, 255, 0}), (std::array<int, 3>{255, 255, 0}));
    swapchain->invalidate(); // asked for new images although the size stays
    presentCleared({0, 1, 1, 1});
    EXPECT_EQ(swapchain->generation(), 3u);
    EXPECT_EQ(settledPixel(5, 5, {0, 255, 255}), (std::array<int, 3>{0, 255, 255}));
}

TEST_F(GpuSwapchainTest, ADrawableNoPassDrewIsShownBlack) {
    presentCleared({1, 1, 1, 1});
    auto drawable = swapchain->nextDrawable(160, 90);
    ASSERT_NE(drawable, nullptr);
    auto commandBuffer = queue->commandBuffer();
    commandBuffer->present(drawable);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    EXPECT_FALSE(commandBuffer->error().has_value());
    EXPECT_EQ(settledPixel(80, 45, {0, 0, 0}), (std::array<int, 3>{0, 0, 0}));
}

// A drawable given up without presenting stays with its images, which are then replaced.
TEST_F(GpuSwapchainTest, ADrawableGivenUpIsNotLostForLaterFrames) {
    auto abandoned = swapchain->nextDrawable(160, 90);
    ASSERT_NE(abandoned, nullptr);
    abandoned.reset();
    presentCleared({1, 0, 0, 1});
    EXPECT_EQ(swapchain->generation(), 2u);
    EXPECT_EQ(settledPixel(80, 45, {255, 0, 0}), (std::array<int, 3>{255, 0, 0}));
    auto commandBuffer = queue->commandBuffer();
    auto drawable = swapchain->nextDrawable(160, 90);
    commandBuffer->present(drawable);
    commandBuffer->present(drawable); // a second time: refused, the first still stands
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    EXPECT_TRUE(commandBuffer->error().has_value());
}

TEST(GpuSwapchainless, ADeviceWithoutASurfaceHasNoSwapchain) {
    testing::preferSoftwareDriver();
    auto device = gpu::Device::systemDefault();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->makeSwapchain(), nullptr);
    gpu::DeviceOptions options;
    options.makeSurface = [](gpu::NativeInstance) -> gpu::NativeSurface { return 0; };
    EXPECT_EQ(gpu::Device::systemDefault(options), nullptr); // no surface: no device that presents to it
}

} // namespace
} // namespace drevik

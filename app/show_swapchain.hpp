#pragma once
// Puts finished pictures on the window through a Vulkan swapchain, one per display refresh.
#include "app/show_frames.hpp"

#include <SDL2/SDL.h>
#include <vulkan/vulkan.h>

#include <cstdint>
#include <vector>

namespace drevik {

class ShowSwapchain {
public:
    // Throws Error when the window cannot present through Vulkan; the caller then draws without it.
    // The window must have been created with SDL_WINDOW_VULKAN and outlive the swapchain.
    explicit ShowSwapchain(SDL_Window* window);
    ~ShowSwapchain();
    ShowSwapchain(const ShowSwapchain&) = delete;
    ShowSwapchain& operator=(const ShowSwapchain&) = delete;

    // Copies the picture into the next image and presents it. The part of the window the picture does not
    // cover is black. Returns false when the image could not be presented (the window is being resized or
    // minimised); the swapchain is remade on the next call.
    bool present(const ShowPicture& picture);
    // The window has changed size.
    void invalidate() { stale_ = true; }

private:
    void release();
    void makeSwapchain();
    void destroySwapchain();
    bool ensureStaging(VkDeviceSize size);

    SDL_Window* window_;
    VkInstance instance_ = VK_NULL_HANDLE;
    VkSurfaceKHR surface_ = VK_NULL_HANDLE;
    VkPhysicalDevice physicalDevice_ = VK_NULL_HANDLE;
    VkDevice device_ = VK_NULL_HANDLE;
    VkQueue queue_ = VK_NULL_HANDLE;
    std::uint32_t queueFamily_ = 0;
    VkCommandPool pool_ = VK_NULL_HANDLE;
    VkCommandBuffer commands_ = VK_NULL_HANDLE;
    VkFence done_ = VK_NULL_HANDLE;
    VkSemaphore acquired_ = VK_NULL_HANDLE;
    std::vector<VkSemaphore> copied_; // one per swapchain image
    VkSwapchainKHR swapchain_ = VK_NULL_HANDLE;
    VkFormat format_ = VK_FORMAT_UNDEFINED;
    VkExtent2D extent_{};
    std::vector<VkImage> images_;
    bool stale_ = true;
    VkBuffer staging_ = VK_NULL_HANDLE;
    VkDeviceMemory stagingMemory_ = VK_NULL_HANDLE;
    VkDeviceSize stagingSize_ = 0;
    void* mapped_ = nullptr;
};

} // namespace drevik

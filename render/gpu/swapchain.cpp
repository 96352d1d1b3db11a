// Presentation in the Vulkan GPU layer: the swapchain of the device's window surface and its drawables.
//
// Each drawable waits on its own acquire semaphore (taken from a pool and given back once the command
// buffer that waited on it has completed) and signals the semaphore of its image, which presentation
// waits on; acquiring the same image again means that presentation, and so that wait, is over.
#include "render/gpu/vulkan_internal.hpp"

#include <algorithm>

namespace drevik::gpu::vk {

SwapchainHandle::~SwapchainHandle() {
    {
        // Presentations of its images may still wait on its semaphores.
        std::lock_guard lock(core->queueMutex);
        vkQueueWaitIdle(core->queue);
    }
    for (VkSemaphore semaphore : renderedSemaphores) vkDestroySemaphore(core->device, semaphore, nullptr);
    for (VkSemaphore semaphore : abandoned) vkDestroySemaphore(core->device, semaphore, nullptr);
    if (handle) vkDestroySwapchainKHR(core->device, handle, nullptr);
}

VkSemaphore SemaphorePool::take() {
    {
        std::lock_guard lock(mutex);
        if (!free.empty()) {
            VkSemaphore semaphore = free.back();
            free.pop_back();
            return semaphore;
        }
    }
    auto info = vkStruct<VkSemaphoreCreateInfo>(VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO);
    VkSemaphore semaphore = VK_NULL_HANDLE;
    check(vkCreateSemaphore(core->device, &info, nullptr, &semaphore), GpuStage::presentation, "vkCreateSemaphore");
    return semaphore;
}

void SemaphorePool::give(VkSemaphore semaphore) {
    std::lock_guard lock(mutex);
    free.push_back(semaphore);
}

SemaphorePool::~SemaphorePool() {
    for (VkSemaphore semaphore : free) vkDestroySemaphore(core->device, semaphore, nullptr);
}

VulkanDrawable::VulkanDrawable(std::shared_ptr<VulkanTexture> texture, std::shared_ptr<SwapchainHandle> swapchain,
                               std::uint32_t imageIndex, VkSemaphore acquired,
                               std::shared_ptr<SemaphorePool> semaphores, std::shared_ptr<std::atomic<bool>> outOfDate)
    : image_(texture), texture_(std::move(texture)), swapchain_(std::move(swapchain)), imageIndex_(imageIndex),
      acquired_(acquired), semaphores_(std::move(semaphores)), outOfDate_(std::move(outOfDate)) {}

VulkanDrawable::~VulkanDrawable() {
    if (submitted) {
        // The command buffer that waited on the semaphore keeps the drawable until it has completed.
        semaphores_->give(acquired_);
        return;
    }
    // Never presented: the image stays acquired until its swapchain goes, which happens next frame.
    outOfDate_->store(true);
    std::lock_guard lock(swapchain_->mutex);
    swapchain_->abandoned.push_back(acquired_);
}

namespace {

class VulkanSwapchain final : public Swapchain {
public:
    VulkanSwapchain(std::shared_ptr<DeviceCore> core, VkSurfaceFormatKHR format, VkImageUsageFlags usage)
        : core_(std::move(core)), format_(format), usage_(usage), semaphores_(std::make_shared<SemaphorePool>()) {
        semaphores_->core = core_;
    }

    std::shared_ptr<Drawable> nextDrawable(std::size_t width, std::size_t height) override {
        std::lock_guard lock(mutex_);
        for (int attempt = 0; attempt < 2; ++attempt) {
            VkSurfaceCapabilitiesKHR capabilities{};
            VkResult queried =
                vkGetPhysicalDeviceSurfaceCapabilitiesKHR(core_->physicalDevice, core_->surface, &capabilities);
            if (queried == VK_ERROR_SURFACE_LOST_KHR) return nullptr;
            check(queried, GpuStage::presentation, "vkGetPhysicalDeviceSurfaceCapabilitiesKHR");
            VkExtent2D extent = capabilities.currentExtent;
            if (extent.width == UINT32_MAX) { // the window takes the size of its images
                extent.width = std::clamp(static_cast<std::uint32_t>(std::min<std::size_t>(width, UINT32_MAX)),
                                          capabilities.minImageExtent.width, capabilities.maxImageExtent.width);
                extent.height = std::clamp(static_cast<std::uint32_t>(std::min<std::size_t>(height, UINT32_MAX)),
                                           capabilities.minImageExtent.height, capabilities.maxImageExtent.height);
            }
            if (extent.width == 0 || extent.height == 0) return nullptr; // minimised
            if (!current_ || outOfDate_->exchange(false) || extent.width != extent_.width ||
                extent.height != extent_.height) {
                if (!remake(capabilities, extent)) {
                    outOfDate_->store(true); // the window is changing under us: try again next frame
                    return nullptr;
                }
            }

            VkSemaphore acquired = semaphores_->take();
            std::uint32_t index = 0;
            constexpr std::uint64_t oneSecond = 1'000'000'000;
            VkResult result = vkAcquireNextImageKHR(core_->device, current_->handle, oneSecond, acquired,
                                                    VK_NULL_HANDLE, &index);
            if (result == VK_SUCCESS || result == VK_SUBOPTIMAL_KHR) {
                if (result == VK_SUBOPTIMAL_KHR) outOfDate_->store(true); // shown, but remade for the next frame
                const auto& texture = textures_[index];
                texture->written = false; // the contents are undefined again
                return std::make_shared<VulkanDrawable>(texture, current_, index, acquired, semaphores_, outOfDate_);
            }
            semaphores_->give(acquired); // not signalled by a failed acquire
            if (result == VK_ERROR_OUT_OF_DATE_KHR) {
                outOfDate_->store(true);
                continue; // remake and try once more
            }
            if (result == VK_TIMEOUT || result == VK_NOT_READY || result == VK_ERROR_SURFACE_LOST_KHR) return nullptr;
            check(result, GpuStage::presentation, "vkAcquireNextImageKHR");
        }
        return nullptr;
    }

    void invalidate() override { outOfDate_->store(true); }

    std::size_t generation() const override {
        std::lock_guard lock(mutex_);
        return generation_;
    }

private:
    // False when the window cannot take new images just now.
    bool remake(const VkSurfaceCapabilitiesKHR& capabilities, VkExtent2D extent) {
        auto info = vkStruct<VkSwapchainCreateInfoKHR>(VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR);
        info.surface = core_->surface;
        info.minImageCount = capabilities.minImageCount + 1;
        if (capabilities.maxImageCount > 0) info.minImageCount = std::min(info.minImageCount, capabilities.maxImageCount);
        info.imageFormat = format_.format;
        info.imageColorSpace = format_.colorSpace;
        info.imageExtent = extent;
        info.imageArrayLayers = 1;
        info.imageUsage = usage_;
        info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
        info.preTransform = (capabilities.supportedTransforms & VK_SURFACE_TRANSFORM_IDENTITY_BIT_KHR)
                                ? VK_SURFACE_TRANSFORM_IDENTITY_BIT_KHR
                                : capabilities.currentTransform;
        const VkCompositeAlphaFlagsKHR alpha = capabilities.supportedCompositeAlpha;
        info.compositeAlpha = (alpha & VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR)
                                  ? VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR
                                  : static_cast<VkCompositeAlphaFlagBitsKHR>(alpha & (~alpha + 1)); // lowest bit
        info.presentMode = VK_PRESENT_MODE_FIFO_KHR; // the display's pace
        info.clipped = VK_TRUE;
        info.oldSwapchain = current_ ? current_->handle : VK_NULL_HANDLE;

        auto made = std::make_shared<SwapchainHandle>();
        made->core = core_;
        made->clearable = (usage_ & VK_IMAGE_USAGE_TRANSFER_DST_BIT) != 0;
        VkResult created = vkCreateSwapchainKHR(core_->device, &info, nullptr, &made->handle);
        if (created == VK_ERROR_OUT_OF_DATE_KHR || created == VK_ERROR_SURFACE_LOST_KHR ||
            created == VK_ERROR_NATIVE_WINDOW_IN_USE_KHR) {
            return false;
        }
        check(created, GpuStage::presentation, "vkCreateSwapchainKHR");
        // The old swapchain is retired now; it goes once its last drawable has been shown.
        textures_.clear();
        current_.reset();

        std::uint32_t count = 0;
        check(vkGetSwapchainImagesKHR(core_->device, made->handle, &count, nullptr), GpuStage::presentation, "vkGetSwapchainImagesKHR");
        std::vector<VkImage> images(count);
        check(vkGetSwapchainImagesKHR(core_->device, made->handle, &count, images.data()), GpuStage::presentation, "vkGetSwapchainImagesKHR");
        auto semaphoreInfo = vkStruct<VkSemaphoreCreateInfo>(VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO);
        made->renderedSemaphores.assign(count, VK_NULL_HANDLE);
        for (VkSemaphore& semaphore : made->renderedSemaphores)
            check(vkCreateSemaphore(core_->device, &semaphoreInfo, nullptr, &semaphore), GpuStage::presentation, "vkCreateSemaphore");

        TextureDescriptor descriptor =
            TextureDescriptor::texture2D(PixelFormat::bgra8Unorm, extent.width, extent.height);
        descriptor.label = "drawable";
        std::vector<std::shared_ptr<VulkanTexture>> textures;
        for (VkImage image : images) {
            textures.push_back(std::make_shared<VulkanTexture>(core_, descriptor, image, made));
        }
        textures_ = std::move(textures);
        current_ = std::move(made);
        extent_ = extent;
        ++generation_;
        return true;
    }

    std::shared_ptr<DeviceCore> core_;
    VkSurfaceFormatKHR format_;
    VkImageUsageFlags usage_;
    std::shared_ptr<SemaphorePool> semaphores_;
    std::shared_ptr<std::atomic<bool>> outOfDate_ = std::make_shared<std::atomic<bool>>(false);
    mutable std::mutex mutex_;
    std::shared_ptr<SwapchainHandle> current_;
    std::vector<std::shared_ptr<VulkanTexture>> textures_;
    VkExtent2D extent_{};
    std::size_t generation_ = 0;
};

} // namespace

std::shared_ptr<Swapchain> makeSwapchain(const std::shared_ptr<DeviceCore>& core) {
    if (!core->surface) return nullptr;
    std::uint32_t count = 0;
    if (vkGetPhysicalDeviceSurfaceFormatsKHR(core->physicalDevice, core->surface, &count, nullptr) != VK_SUCCESS) {
        return nullptr;
    }
    std::vector<VkSurfaceFormatKHR> formats(count);
    if (vkGetPhysicalDeviceSurfaceFormatsKHR(core->physicalDevice, core->surface, &count, formats.data()) < 0) {
        return nullptr;
    }
    // The pictures' bytes go to the window unchanged: only the plain 8-bit BGRA format will do.
    auto found = std::find_if(formats.begin(), formats.end(), [](const VkSurfaceFormatKHR& format) {
        return format.format == VK_FORMAT_B8G8R8A8_UNORM && format.colorSpace == VK_COLOR_SPACE_SRGB_NONLINEAR_KHR;
    });
    if (found == formats.end()) return nullptr;
    VkSurfaceCapabilitiesKHR capabilities{};
    if (vkGetPhysicalDeviceSurfaceCapabilitiesKHR(core->physicalDevice, core->surface, &capabilities) != VK_SUCCESS ||
        (capabilities.supportedUsageFlags & VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT) == 0) {
        return nullptr;
    }
    // Copies may clear a drawable that no pass has drawn.
    VkImageUsageFlags usage =
        VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | (capabilities.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_DST_BIT);
    return std::make_shared<VulkanSwapchain>(core, *found, usage);
}

} // namespace drevik::gpu::vk

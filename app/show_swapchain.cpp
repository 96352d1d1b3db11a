#include "app/show_swapchain.hpp"

#include "core/error.hpp"

#include <SDL2/SDL_vulkan.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace drevik {

namespace {

template <class T> T vkStruct(VkStructureType type) {
    T value{};
    value.sType = type;
    return value;
}

void check(VkResult result, const char* what) {
    if (result != VK_SUCCESS) throw Error(std::string(what) + " failed (" + std::to_string(static_cast<int>(result)) + ")");
}

} // namespace

ShowSwapchain::ShowSwapchain(SDL_Window* window) : window_(window) {
    try {
        unsigned extensionCount = 0;
        if (!SDL_Vulkan_GetInstanceExtensions(window_, &extensionCount, nullptr)) throw Error(SDL_GetError());
        std::vector<const char*> extensions(extensionCount);
        if (!SDL_Vulkan_GetInstanceExtensions(window_, &extensionCount, extensions.data())) throw Error(SDL_GetError());

        auto application = vkStruct<VkApplicationInfo>(VK_STRUCTURE_TYPE_APPLICATION_INFO);
        application.pApplicationName = "Drevik show";
        application.apiVersion = VK_API_VERSION_1_1;
        auto instanceInfo = vkStruct<VkInstanceCreateInfo>(VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO);
        instanceInfo.pApplicationInfo = &application;
        instanceInfo.enabledExtensionCount = extensionCount;
        instanceInfo.ppEnabledExtensionNames = extensions.data();
        check(vkCreateInstance(&instanceInfo, nullptr, &instance_), "vkCreateInstance");
        if (!SDL_Vulkan_CreateSurface(window_, instance_, &surface_)) throw Error(SDL_GetError());

        // The best device that can present to this window: a real GPU before a CPU implementation.
        std::uint32_t count = 0;
        vkEnumeratePhysicalDevices(instance_, &count, nullptr);
        std::vector<VkPhysicalDevice> devices(count);
        vkEnumeratePhysicalDevices(instance_, &count, devices.data());
        int bestRank = -1;
        for (VkPhysicalDevice candidate : devices) {
            std::uint32_t families = 0;
            vkGetPhysicalDeviceQueueFamilyProperties(candidate, &families, nullptr);
            std::vector<VkQueueFamilyProperties> properties(families);
            vkGetPhysicalDeviceQueueFamilyProperties(candidate, &families, properties.data());
            for (std::uint32_t family = 0; family < families; ++family) {
                VkBool32 presents = VK_FALSE;
                vkGetPhysicalDeviceSurfaceSupportKHR(candidate, family, surface_, &presents);
                if (!presents || (properties[family].queueFlags & (VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_TRANSFER_BIT)) == 0)
                    continue;
                VkPhysicalDeviceProperties device{};
                vkGetPhysicalDeviceProperties(candidate, &device);
                int rank = device.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU     ? 4
                           : device.deviceType == VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU ? 3
                           : device.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU            ? 1
                                                                                         : 2;
                if (rank > bestRank) {
                    bestRank = rank;
                    physicalDevice_ = candidate;
                    queueFamily_ = family;
                }
                break;
            }
        }
        if (physicalDevice_ == VK_NULL_HANDLE) throw Error("no Vulkan device can present to the window");

        float priority = 1;
        auto queueInfo = vkStruct<VkDeviceQueueCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO);
        queueInfo.queueFamilyIndex = queueFamily_;
        queueInfo.queueCount = 1;
        queueInfo.pQueuePriorities = &priority;
        const char* swapchainExtension = VK_KHR_SWAPCHAIN_EXTENSION_NAME;
        auto deviceInfo = vkStruct<VkDeviceCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO);
        deviceInfo.queueCreateInfoCount = 1;
        deviceInfo.pQueueCreateInfos = &queueInfo;
        deviceInfo.enabledExtensionCount = 1;
        deviceInfo.ppEnabledExtensionNames = &swapchainExtension;
        check(vkCreateDevice(physicalDevice_, &deviceInfo, nullptr, &device_), "vkCreateDevice");
        vkGetDeviceQueue(device_, queueFamily_, 0, &queue_);

        auto poolInfo = vkStruct<VkCommandPoolCreateInfo>(VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO);
        poolInfo.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
        poolInfo.queueFamilyIndex = queueFamily_;
        check(vkCreateCommandPool(device_, &poolInfo, nullptr, &pool_), "vkCreateCommandPool");
        auto allocateInfo = vkStruct<VkCommandBufferAllocateInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO);
        allocateInfo.commandPool = pool_;
        allocateInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        allocateInfo.commandBufferCount = 1;
        check(vkAllocateCommandBuffers(device_, &allocateInfo, &commands_), "vkAllocateCommandBuffers");
        auto fenceInfo = vkStruct<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
        fenceInfo.flags = VK_FENCE_CREATE_SIGNALED_BIT;
        check(vkCreateFence(device_, &fenceInfo, nullptr, &done_), "vkCreateFence");
        auto semaphoreInfo = vkStruct<VkSemaphoreCreateInfo>(VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO);
        check(vkCreateSemaphore(device_, &semaphoreInfo, nullptr, &acquired_), "vkCreateSemaphore");
        makeSwapchain();
    } catch (...) {
        release();
        throw;
    }
}

ShowSwapchain::~ShowSwapchain() { release(); }

void ShowSwapchain::release() {
    if (device_ != VK_NULL_HANDLE) {
        vkDeviceWaitIdle(device_);
        destroySwapchain();
        if (staging_ != VK_NULL_HANDLE) vkDestroyBuffer(device_, staging_, nullptr);
        if (stagingMemory_ != VK_NULL_HANDLE) vkFreeMemory(device_, stagingMemory_, nullptr);
        if (acquired_ != VK_NULL_HANDLE) vkDestroySemaphore(device_, acquired_, nullptr);
        if (done_ != VK_NULL_HANDLE) vkDestroyFence(device_, done_, nullptr);
        if (pool_ != VK_NULL_HANDLE) vkDestroyCommandPool(device_, pool_, nullptr);
        vkDestroyDevice(device_, nullptr);
    }
    if (surface_ != VK_NULL_HANDLE) vkDestroySurfaceKHR(instance_, surface_, nullptr);
    if (instance_ != VK_NULL_HANDLE) vkDestroyInstance(instance_, nullptr);
    staging_ = VK_NULL_HANDLE;
    stagingMemory_ = VK_NULL_HANDLE;
    acquired_ = VK_NULL_HANDLE;
    done_ = VK_NULL_HANDLE;
    pool_ = VK_NULL_HANDLE;
    device_ = VK_NULL_HANDLE;
    surface_ = VK_NULL_HANDLE;
    instance_ = VK_NULL_HANDLE;
}

void ShowSwapchain::destroySwapchain() {
    for (VkSemaphore semaphore : copied_) vkDestroySemaphore(device_, semaphore, nullptr);
    copied_.clear();
    if (swapchain_ != VK_NULL_HANDLE) vkDestroySwapchainKHR(device_, swapchain_, nullptr);
    swapchain_ = VK_NULL_HANDLE;
    images_.clear();
}

void ShowSwapchain::makeSwapchain() {
    vkDeviceWaitIdle(device_);
    VkSurfaceCapabilitiesKHR capabilities{};
    check(vkGetPhysicalDeviceSurfaceCapabilitiesKHR(physicalDevice_, surface_, &capabilities),
          "vkGetPhysicalDeviceSurfaceCapabilitiesKHR");
    if ((capabilities.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_DST_BIT) == 0)
        throw Error("the window's images cannot be written by copies");

    std::uint32_t count = 0;
    vkGetPhysicalDeviceSurfaceFormatsKHR(physicalDevice_, surface_, &count, nullptr);
    std::vector<VkSurfaceFormatKHR> formats(count);
    vkGetPhysicalDeviceSurfaceFormatsKHR(physicalDevice_, surface_, &count, formats.data());
    auto bgra = std::find_if(formats.begin(), formats.end(), [](const VkSurfaceFormatKHR& f) {
        return f.format == VK_FORMAT_B8G8R8A8_UNORM || f.format == VK_FORMAT_B8G8R8A8_SRGB;
    });
    auto rgba = std::find_if(formats.begin(), formats.end(), [](const VkSurfaceFormatKHR& f) {
        return f.format == VK_FORMAT_R8G8B8A8_UNORM || f.format == VK_FORMAT_R8G8B8A8_SRGB;
    });
    // The picture's bytes go to the image unchanged (apart from the channel order): no colour conversion.
    if (bgra == formats.end() && rgba == formats.end()) throw Error("the window offers no 8-bit colour format");
    VkSurfaceFormatKHR chosen = bgra != formats.end() ? *bgra : *rgba;
    format_ = chosen.format;

    extent_ = capabilities.currentExtent;
    if (extent_.width == UINT32_MAX) {
        int width = 0;
        int height = 0;
        SDL_Vulkan_GetDrawableSize(window_, &width, &height);
        extent_.width = std::clamp(static_cast<std::uint32_t>(std::max(width, 1)), capabilities.minImageExtent.width,
                                   capabilities.maxImageExtent.width);
        extent_.height = std::clamp(static_cast<std::uint32_t>(std::max(height, 1)), capabilities.minImageExtent.height,
                                    capabilities.maxImageExtent.height);
    }
    if (extent_.width == 0 || extent_.height == 0) return; // minimised: nothing to present to

    VkSwapchainKHR old = swapchain_;
    auto info = vkStruct<VkSwapchainCreateInfoKHR>(VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR);
    info.surface = surface_;
    info.minImageCount = capabilities.minImageCount + 1;
    if (capabilities.maxImageCount > 0) info.minImageCount = std::min(info.minImageCount, capabilities.maxImageCount);
    info.imageFormat = chosen.format;
    info.imageColorSpace = chosen.colorSpace;
    info.imageExtent = extent_;
    info.imageArrayLayers = 1;
    info.imageUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
    info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.preTransform = capabilities.currentTransform;
    info.compositeAlpha = (capabilities.supportedCompositeAlpha & VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR)
                              ? VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR
                              : static_cast<VkCompositeAlphaFlagBitsKHR>(capabilities.supportedCompositeAlpha &
                                                                         -capabilities.supportedCompositeAlpha);
    info.presentMode = VK_PRESENT_MODE_FIFO_KHR; // the display's pace
    info.clipped = VK_TRUE;
    info.oldSwapchain = old;
    VkSwapchainKHR made = VK_NULL_HANDLE;
    check(vkCreateSwapchainKHR(device_, &info, nullptr, &made), "vkCreateSwapchainKHR");
    destroySwapchain();
    swapchain_ = made;
    vkGetSwapchainImagesKHR(device_, swapchain_, &count, nullptr);
    images_.resize(count);
    vkGetSwapchainImagesKHR(device_, swapchain_, &count, images_.data());
    auto semaphoreInfo = vkStruct<VkSemaphoreCreateInfo>(VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO);
    copied_.assign(count, VK_NULL_HANDLE);
    for (VkSemaphore& semaphore : copied_)
        check(vkCreateSemaphore(device_, &semaphoreInfo, nullptr, &semaphore), "vkCreateSemaphore");
    stale_ = false;
}

bool ShowSwapchain::ensureStaging(VkDeviceSize size) {
    if (size <= stagingSize_) return true;
    vkWaitForFences(device_, 1, &done_, VK_TRUE, UINT64_MAX);
    if (staging_ != VK_NULL_HANDLE) vkDestroyBuffer(device_, staging_, nullptr);
    if (stagingMemory_ != VK_NULL_HANDLE) vkFreeMemory(device_, stagingMemory_, nullptr);
    staging_ = VK_NULL_HANDLE;
    stagingMemory_ = VK_NULL_HANDLE;
    stagingSize_ = 0;
    auto bufferInfo = vkStruct<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
    bufferInfo.size = size;
    bufferInfo.usage = VK_BUFFER_USAGE_TRANSFER_SRC_BIT;
    if (vkCreateBuffer(device_, &bufferInfo, nullptr, &staging_) != VK_SUCCESS) return false;
    VkMemoryRequirements requirements{};
    vkGetBufferMemoryRequirements(device_, staging_, &requirements);
    VkPhysicalDeviceMemoryProperties memory{};
    vkGetPhysicalDeviceMemoryProperties(physicalDevice_, &memory);
    VkMemoryPropertyFlags wanted = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    for (std::uint32_t type = 0; type < memory.memoryTypeCount; ++type) {
        if ((requirements.memoryTypeBits & (1u << type)) == 0 || (memory.memoryTypes[type].propertyFlags & wanted) != wanted)
            continue;
        auto allocateInfo = vkStruct<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
        allocateInfo.allocationSize = requirements.size;
        allocateInfo.memoryTypeIndex = type;
        if (vkAllocateMemory(device_, &allocateInfo, nullptr, &stagingMemory_) != VK_SUCCESS) break;
        vkBindBufferMemory(device_, staging_, stagingMemory_, 0);
        vkMapMemory(device_, stagingMemory_, 0, size, 0, &mapped_);
        stagingSize_ = size;
        return true;
    }
    return false;
}

bool ShowSwapchain::present(const ShowPicture& picture) {
    if (stale_) makeSwapchain();
    if (swapchain_ == VK_NULL_HANDLE) return false;
    std::uint32_t width = std::min<std::uint32_t>(extent_.width, static_cast<std::uint32_t>(picture.width));
    std::uint32_t height = std::min<std::uint32_t>(extent_.height, static_cast<std::uint32_t>(picture.height));
    if (!ensureStaging(VkDeviceSize{picture.width} * picture.height * 4)) return false;

    vkWaitForFences(device_, 1, &done_, VK_TRUE, UINT64_MAX);
    std::uint32_t index = 0;
    VkResult acquired = vkAcquireNextImageKHR(device_, swapchain_, UINT64_MAX, acquired_, VK_NULL_HANDLE, &index);
    if (acquired == VK_ERROR_OUT_OF_DATE_KHR) {
        stale_ = true;
        return false;
    }
    if (acquired != VK_SUCCESS && acquired != VK_SUBOPTIMAL_KHR) return false;
    vkResetFences(device_, 1, &done_);

    bool swap = format_ == VK_FORMAT_R8G8B8A8_UNORM || format_ == VK_FORMAT_R8G8B8A8_SRGB;
    auto* out = static_cast<std::uint8_t*>(mapped_);
    std::memcpy(out, picture.bgra.data(), picture.bgra.size());
    if (swap)
        for (std::size_t i = 0; i + 3 < picture.bgra.size(); i += 4) std::swap(out[i], out[i + 2]);

    VkImage image = images_[index];
    auto begin = vkStruct<VkCommandBufferBeginInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO);
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vkResetCommandBuffer(commands_, 0);
    vkBeginCommandBuffer(commands_, &begin);
    auto barrier = vkStruct<VkImageMemoryBarrier>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER);
    barrier.srcAccessMask = 0;
    barrier.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    barrier.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    barrier.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.image = image;
    barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    vkCmdPipelineBarrier(commands_, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                         nullptr, 1, &barrier);
    VkClearColorValue black{};
    black.float32[3] = 1;
    if (width < extent_.width || height < extent_.height)
        vkCmdClearColorImage(commands_, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &black, 1, &barrier.subresourceRange);
    if (width > 0 && height > 0) {
        VkBufferImageCopy region{};
        region.bufferRowLength = static_cast<std::uint32_t>(picture.width);
        region.bufferImageHeight = static_cast<std::uint32_t>(picture.height);
        region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
        region.imageExtent = {width, height, 1};
        if (width < extent_.width || height < extent_.height) {
            auto cleared = vkStruct<VkMemoryBarrier>(VK_STRUCTURE_TYPE_MEMORY_BARRIER);
            cleared.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
            cleared.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
            vkCmdPipelineBarrier(commands_, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 1,
                                 &cleared, 0, nullptr, 0, nullptr);
        }
        vkCmdCopyBufferToImage(commands_, staging_, image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
    }
    barrier.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    barrier.dstAccessMask = 0;
    barrier.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
    barrier.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
    vkCmdPipelineBarrier(commands_, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0, 0, nullptr,
                         0, nullptr, 1, &barrier);
    vkEndCommandBuffer(commands_);

    VkPipelineStageFlags waitStage = VK_PIPELINE_STAGE_TRANSFER_BIT;
    auto submit = vkStruct<VkSubmitInfo>(VK_STRUCTURE_TYPE_SUBMIT_INFO);
    submit.waitSemaphoreCount = 1;
    submit.pWaitSemaphores = &acquired_;
    submit.pWaitDstStageMask = &waitStage;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands_;
    submit.signalSemaphoreCount = 1;
    submit.pSignalSemaphores = &copied_[index];
    if (vkQueueSubmit(queue_, 1, &submit, done_) != VK_SUCCESS) {
        stale_ = true;
        return false;
    }
    auto presentInfo = vkStruct<VkPresentInfoKHR>(VK_STRUCTURE_TYPE_PRESENT_INFO_KHR);
    presentInfo.waitSemaphoreCount = 1;
    presentInfo.pWaitSemaphores = &copied_[index];
    presentInfo.swapchainCount = 1;
    presentInfo.pSwapchains = &swapchain_;
    presentInfo.pImageIndices = &index;
    VkResult presented = vkQueuePresentKHR(queue_, &presentInfo);
    if (presented == VK_ERROR_OUT_OF_DATE_KHR || presented == VK_SUBOPTIMAL_KHR) stale_ = true;
    return presented == VK_SUCCESS || presented == VK_SUBOPTIMAL_KHR;
}

} // namespace drevik

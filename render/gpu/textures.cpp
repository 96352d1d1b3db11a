// Textures: 2-D and 2-D multisample render targets in device memory, and the read-back of a
// single-sample colour target into a buffer (recorded in a frame's command buffer) or the caller's bytes.
#include "render/gpu/vulkan_internal.hpp"

#include <cstring>
#include <limits>

namespace drevik::gpu::vk {

VkFormat toVkFormat(PixelFormat format) {
    switch (format) {
    case PixelFormat::bgra8Unorm: return VK_FORMAT_B8G8R8A8_UNORM;
    case PixelFormat::depth32Float: return VK_FORMAT_D32_SFLOAT;
    case PixelFormat::invalid: break;
    }
    return VK_FORMAT_UNDEFINED;
}

std::shared_ptr<VulkanTexture> VulkanTexture::create(const std::shared_ptr<DeviceCore>& core,
                                                     const TextureDescriptor& descriptor) {
    const bool depth = descriptor.pixelFormat == PixelFormat::depth32Float;
    const std::string asked = std::to_string(descriptor.width) + "x" + std::to_string(descriptor.height) + " " +
                              (depth ? "depth" : "colour") + " texture with " +
                              std::to_string(descriptor.sampleCount) + " sample(s)" +
                              (descriptor.label.empty() ? "" : " (" + descriptor.label + ")");
    auto info = vkStruct<VkImageCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO);
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = toVkFormat(descriptor.pixelFormat);
    info.extent = {static_cast<std::uint32_t>(descriptor.width), static_cast<std::uint32_t>(descriptor.height), 1};
    info.mipLevels = 1;
    info.arrayLayers = 1;
    info.samples = static_cast<VkSampleCountFlagBits>(descriptor.sampleCount);
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    if (depth) {
        info.usage = VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT;
    } else if (descriptor.sampleCount == 1) {
        info.usage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    } else {
        info.usage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    }
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;

    VkImage image = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    VkImageView view = VK_NULL_HANDLE;
    const char* step = "vkCreateImage";
    VkResult result = vkCreateImage(core->device, &info, nullptr, &image);
    if (result == VK_SUCCESS) {
        step = "vkAllocateMemory";
        VkMemoryRequirements requirements;
        vkGetImageMemoryRequirements(core->device, image, &requirements);
        result = core->allocate(requirements, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, memory);
        if (outOfMemory(result)) result = core->allocate(requirements, 0, memory);
    }
    if (result == VK_SUCCESS) {
        step = "vkBindImageMemory";
        result = vkBindImageMemory(core->device, image, memory, 0);
    }
    if (result == VK_SUCCESS) {
        step = "vkCreateImageView";
        auto viewInfo = vkStruct<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
        viewInfo.image = image;
        viewInfo.viewType = VK_IMAGE_VIEW_TYPE_2D;
        viewInfo.format = info.format;
        viewInfo.subresourceRange = {
            static_cast<VkImageAspectFlags>(depth ? VK_IMAGE_ASPECT_DEPTH_BIT : VK_IMAGE_ASPECT_COLOR_BIT), 0, 1, 0,
            1};
        result = vkCreateImageView(core->device, &viewInfo, nullptr, &view);
    }
    if (result != VK_SUCCESS) {
        if (image) vkDestroyImage(core->device, image, nullptr);
        if (memory) vkFreeMemory(core->device, memory, nullptr);
        if (outOfMemory(result)) return nullptr;
        throw GpuError(GpuStage::texture, std::string(step) + " for a " + asked, result);
    }
    core->nameObject(VK_OBJECT_TYPE_IMAGE, image, descriptor.label);
    return std::make_shared<VulkanTexture>(core, descriptor, image, memory, view);
}

void recordCopyToBuffer(VkCommandBuffer commands, const VulkanTexture& texture, Region region,
                        const VulkanBuffer& buffer) {
    if (!texture.written.load()) {
        // Never rendered: zeros rather than undefined contents.
        vkCmdFillBuffer(commands, buffer.handle(), 0, region.width * region.height * 4, 0);
    } else {
        // The render pass leaves the texture ready for transfer reads, and its outgoing dependency
        // makes its writes visible to this copy.
        VkBufferImageCopy copy{};
        copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
        copy.imageOffset = {static_cast<std::int32_t>(region.x), static_cast<std::int32_t>(region.y), 0};
        copy.imageExtent = {static_cast<std::uint32_t>(region.width), static_cast<std::uint32_t>(region.height), 1};
        vkCmdCopyImageToBuffer(commands, texture.image(), VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, buffer.handle(), 1,
                               &copy);
    }
    auto barrier = vkStruct<VkBufferMemoryBarrier>(VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER);
    barrier.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.buffer = buffer.handle();
    barrier.offset = 0;
    barrier.size = VK_WHOLE_SIZE;
    vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 0, nullptr, 1,
                         &barrier, 0, nullptr);
}

VulkanTexture::VulkanTexture(std::shared_ptr<DeviceCore> core, const TextureDescriptor& descriptor, VkImage image,
                             VkDeviceMemory memory, VkImageView view)
    : core_(std::move(core)), descriptor_(descriptor), image_(image), memory_(memory), view_(view) {}

VulkanTexture::VulkanTexture(std::shared_ptr<DeviceCore> core, const TextureDescriptor& descriptor, VkImage image,
                             std::shared_ptr<const void> owner)
    : core_(std::move(core)), descriptor_(descriptor), image_(image), owner_(std::move(owner)) {
    auto viewInfo = vkStruct<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
    viewInfo.image = image_;
    viewInfo.viewType = VK_IMAGE_VIEW_TYPE_2D;
    viewInfo.format = toVkFormat(descriptor.pixelFormat);
    viewInfo.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    check(vkCreateImageView(core_->device, &viewInfo, nullptr, &view_), GpuStage::presentation,
          "vkCreateImageView for a swapchain image");
}

VulkanTexture::~VulkanTexture() {
    vkDestroyImageView(core_->device, view_, nullptr);
    if (owner_) return; // the swapchain's image
    vkDestroyImage(core_->device, image_, nullptr);
    vkFreeMemory(core_->device, memory_, nullptr);
}

VkImageLayout VulkanTexture::restingLayout() const {
    if (isDepth()) return VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL;
    if (isDrawable()) return VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
    return descriptor_.sampleCount == 1 ? VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL
                                        : VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
}

void VulkanTexture::getBytes(void* bytes, std::size_t bytesPerRow, Region region, std::size_t mipmapLevel) {
    if (isDepth() || isDrawable() || descriptor_.sampleCount != 1 || mipmapLevel != 0) {
        throw GpuError(GpuStage::readBack, "only single-sample colour textures can be read back, not " +
                                               (descriptor_.label.empty() ? "this one" : descriptor_.label));
    }
    if (region.width == 0 || region.height == 0) {
        return;
    }
    if (region.x + region.width > descriptor_.width || region.y + region.height > descriptor_.height ||
        bytesPerRow < region.width * 4) {
        throw GpuError(GpuStage::readBack, "the region " + std::to_string(region.width) + "x" +
                                               std::to_string(region.height) + " at " + std::to_string(region.x) +
                                               "," + std::to_string(region.y) + " with " +
                                               std::to_string(bytesPerRow) + " bytes per row does not fit a " +
                                               std::to_string(descriptor_.width) + "x" +
                                               std::to_string(descriptor_.height) + " texture");
    }
    auto* out = static_cast<unsigned char*>(bytes);
    if (!written.load()) {
        // Never rendered: the contents are undefined; give zeros rather than garbage.
        for (std::size_t row = 0; row < region.height; ++row) {
            std::memset(out + row * bytesPerRow, 0, region.width * 4);
        }
        return;
    }
    std::lock_guard lock(readMutex_);
    const std::size_t rowBytes = region.width * 4;
    const std::size_t needed = rowBytes * region.height;
    if (!staging_ || staging_->length() < needed) {
        staging_.reset();
        staging_ = VulkanBuffer::create(core_, needed, VK_BUFFER_USAGE_TRANSFER_DST_BIT);
        if (!staging_) {
            throw GpuError(GpuStage::readBack, "a staging buffer of " + std::to_string(needed) + " bytes",
                           VK_ERROR_OUT_OF_DEVICE_MEMORY);
        }
    }

    std::lock_guard transferLock(core_->transferMutex);
    auto allocInfo = vkStruct<VkCommandBufferAllocateInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO);
    allocInfo.commandPool = core_->transferPool;
    allocInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocInfo.commandBufferCount = 1;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    check(vkAllocateCommandBuffers(core_->device, &allocInfo, &commands), GpuStage::readBack, "vkAllocateCommandBuffers");
    VkFence fence = VK_NULL_HANDLE;
    struct Cleanup {
        DeviceCore* core;
        VkCommandBuffer& commands;
        VkFence& fence;
        ~Cleanup() {
            if (fence) vkDestroyFence(core->device, fence, nullptr);
            vkFreeCommandBuffers(core->device, core->transferPool, 1, &commands);
        }
    } cleanup{core_.get(), commands, fence};

    auto begin = vkStruct<VkCommandBufferBeginInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO);
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    check(vkBeginCommandBuffer(commands, &begin), GpuStage::readBack, "vkBeginCommandBuffer");
    recordCopyToBuffer(commands, *this, region, *staging_);
    check(vkEndCommandBuffer(commands), GpuStage::readBack, "vkEndCommandBuffer");

    auto fenceInfo = vkStruct<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
    check(vkCreateFence(core_->device, &fenceInfo, nullptr, &fence), GpuStage::readBack, "vkCreateFence");
    auto submit = vkStruct<VkSubmitInfo>(VK_STRUCTURE_TYPE_SUBMIT_INFO);
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands;
    {
        std::lock_guard queueLock(core_->queueMutex);
        check(vkQueueSubmit(core_->queue, 1, &submit, fence), GpuStage::readBack, "vkQueueSubmit");
    }
    check(vkWaitForFences(core_->device, 1, &fence, VK_TRUE, std::numeric_limits<std::uint64_t>::max()),
          GpuStage::readBack, "vkWaitForFences");

    const auto* source = static_cast<const unsigned char*>(staging_->contents());
    if (bytesPerRow == rowBytes) {
        std::memcpy(out, source, needed);
    } else {
        for (std::size_t row = 0; row < region.height; ++row) {
            std::memcpy(out + row * bytesPerRow, source + row * rowBytes, rowBytes);
        }
    }
}

} // namespace drevik::gpu::vk

// Memory and buffers: device memory of a chosen kind, and the buffers the CPU writes and the GPU reads
// (host-visible, coherent, mapped for their whole life).
//
// Running out of memory is the one "none" here (nullptr); any other refusal is a GpuError.
#include "render/gpu/vulkan_internal.hpp"

#include <algorithm>

namespace drevik::gpu::vk {

std::uint64_t nextObjectId() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

int DeviceCore::memoryType(std::uint32_t allowed, VkMemoryPropertyFlags required) const {
    for (std::uint32_t i = 0; i < memoryProperties.memoryTypeCount; ++i) {
        if ((allowed & (1u << i)) && (memoryProperties.memoryTypes[i].propertyFlags & required) == required) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

VkResult DeviceCore::allocate(VkMemoryRequirements requirements, VkMemoryPropertyFlags flags,
                              VkDeviceMemory& memory) {
    memory = VK_NULL_HANDLE;
    const int type = memoryType(requirements.memoryTypeBits, flags);
    if (type < 0) {
        return VK_ERROR_OUT_OF_DEVICE_MEMORY;
    }
    const auto heap = memoryProperties.memoryTypes[type].heapIndex;
    if (requirements.size > memoryProperties.memoryHeaps[heap].size) {
        return VK_ERROR_OUT_OF_DEVICE_MEMORY;
    }
    auto info = vkStruct<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
    info.allocationSize = requirements.size;
    info.memoryTypeIndex = static_cast<std::uint32_t>(type);
    const VkResult result = vkAllocateMemory(device, &info, nullptr, &memory);
    if (result != VK_SUCCESS) memory = VK_NULL_HANDLE;
    return result;
}

VulkanBuffer::VulkanBuffer(std::shared_ptr<DeviceCore> core, VkBuffer buffer, VkDeviceMemory memory,
                           std::size_t length, void* mapped)
    : core_(std::move(core)), buffer_(buffer), memory_(memory), length_(length), mapped_(mapped) {}

VulkanBuffer::~VulkanBuffer() {
    vkDestroyBuffer(core_->device, buffer_, nullptr);
    vkFreeMemory(core_->device, memory_, nullptr);
}

void VulkanBuffer::setLabel(std::string label) {
    label_ = std::move(label);
    core_->nameObject(VK_OBJECT_TYPE_BUFFER, buffer_, label_);
}

std::shared_ptr<VulkanBuffer> VulkanBuffer::create(const std::shared_ptr<DeviceCore>& core, std::size_t length,
                                                   VkBufferUsageFlags usage, VkMemoryPropertyFlags preferred) {
    const std::string asked = "a buffer of " + std::to_string(length) + " bytes";
    auto info = vkStruct<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
    info.size = std::max<VkDeviceSize>(length, 4);
    info.usage = usage;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    VkBuffer buffer = VK_NULL_HANDLE;
    VkResult result = vkCreateBuffer(core->device, &info, nullptr, &buffer);
    if (result != VK_SUCCESS) {
        if (outOfMemory(result)) return nullptr;
        throw GpuError(GpuStage::buffer, "vkCreateBuffer for " + asked, result);
    }
    VkMemoryRequirements requirements;
    vkGetBufferMemoryRequirements(core->device, buffer, &requirements);
    VkDeviceMemory memory = VK_NULL_HANDLE;
    void* mapped = nullptr;
    const char* step = "vkAllocateMemory";
    constexpr VkMemoryPropertyFlags shared = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    result = core->allocate(requirements, shared | preferred, memory);
    if (preferred != 0 && result != VK_SUCCESS) result = core->allocate(requirements, shared, memory);
    if (result == VK_SUCCESS) {
        step = "vkBindBufferMemory";
        result = vkBindBufferMemory(core->device, buffer, memory, 0);
    }
    if (result == VK_SUCCESS) {
        step = "vkMapMemory";
        result = vkMapMemory(core->device, memory, 0, VK_WHOLE_SIZE, 0, &mapped);
    }
    if (result != VK_SUCCESS) {
        if (memory) vkFreeMemory(core->device, memory, nullptr);
        vkDestroyBuffer(core->device, buffer, nullptr);
        if (outOfMemory(result)) return nullptr;
        throw GpuError(GpuStage::buffer, std::string(step) + " for " + asked, result);
    }
    return std::make_shared<VulkanBuffer>(core, buffer, memory, length, mapped);
}

} // namespace drevik::gpu::vk

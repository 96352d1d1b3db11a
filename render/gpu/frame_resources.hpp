#pragma once
// The reusable platform objects behind one command buffer of the Vulkan GPU layer: a command pool
// and buffer, a fence, descriptor pools with a cache of descriptor sets, uniform memory handed out
// in slots, framebuffers and what the recorded commands keep alive. A queue's FramePool lends a
// bundle to each command buffer and takes it back, reset, once the GPU is done with it, so steady
// frames create no platform objects. Used by commands.cpp only.
#include "render/gpu/vulkan_internal.hpp"

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

namespace drevik::gpu::vk {


constexpr std::size_t uniformSlotSize = 256;     // largest setVertexBytes block; also a valid alignment
constexpr std::size_t uniformArenaSize = 16384;  // 64 slots per arena; more arenas when a frame needs them
constexpr std::uint32_t setsPerDescriptorPool = 32;
// Descriptor sets and framebuffers are kept from one use of a bundle to the next, so steady frames
// create neither; past these counts (buffers or targets keep changing) the caches start over.
constexpr std::size_t maxCachedDescriptorSets = 24;
constexpr std::size_t maxCachedFramebuffers = 6;

struct FrameResources {
    std::shared_ptr<DeviceCore> core;
    VkCommandPool pool = VK_NULL_HANDLE;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;
    std::vector<VkDescriptorPool> descriptorPools;
    std::size_t descriptorPoolIndex = 0;
    // Keyed by the ids of the storage buffer (0: placeholder), its offset and the uniform arena.
    std::map<std::tuple<std::uint64_t, VkDeviceSize, std::uint64_t>, VkDescriptorSet> descriptorSets;
    std::vector<std::shared_ptr<VulkanBuffer>> uniformArenas;
    std::size_t arenaIndex = 0;
    std::size_t arenaOffset = 0;
    // Keyed by the render pass and the ids of the colour, resolve and depth textures (0: none).
    std::map<std::tuple<VkRenderPass, std::uint64_t, std::uint64_t, std::uint64_t>, VkFramebuffer> framebuffers;
    std::vector<std::shared_ptr<const void>> retained;

    explicit FrameResources(std::shared_ptr<DeviceCore> deviceCore) : core(std::move(deviceCore)) {
        auto poolInfo = vkStruct<VkCommandPoolCreateInfo>(VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO);
        poolInfo.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
        poolInfo.queueFamilyIndex = core->queueFamily;
        check(vkCreateCommandPool(core->device, &poolInfo, nullptr, &pool), GpuStage::commandBuffer, "vkCreateCommandPool");
        auto allocInfo = vkStruct<VkCommandBufferAllocateInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO);
        allocInfo.commandPool = pool;
        allocInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        allocInfo.commandBufferCount = 1;
        check(vkAllocateCommandBuffers(core->device, &allocInfo, &commands), GpuStage::commandBuffer, "vkAllocateCommandBuffers");
        auto fenceInfo = vkStruct<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
        check(vkCreateFence(core->device, &fenceInfo, nullptr, &fence), GpuStage::commandBuffer, "vkCreateFence");
    }

    ~FrameResources() {
        destroyFramebuffers();
        for (VkDescriptorPool descriptorPool : descriptorPools) {
            vkDestroyDescriptorPool(core->device, descriptorPool, nullptr);
        }
        if (fence) vkDestroyFence(core->device, fence, nullptr);
        if (pool) vkDestroyCommandPool(core->device, pool, nullptr);
    }

    FrameResources(const FrameResources&) = delete;
    FrameResources& operator=(const FrameResources&) = delete;

    void destroyFramebuffers() {
        for (auto& [key, framebuffer] : framebuffers) {
            vkDestroyFramebuffer(core->device, framebuffer, nullptr);
        }
        framebuffers.clear();
    }

    // Makes the bundle ready for a new command buffer; the GPU must be done with it.
    void reset() {
        if (framebuffers.size() > maxCachedFramebuffers) {
            destroyFramebuffers();
        }
        retained.clear();
        if (descriptorSets.size() > maxCachedDescriptorSets) {
            descriptorSets.clear();
            for (VkDescriptorPool descriptorPool : descriptorPools) {
                vkResetDescriptorPool(core->device, descriptorPool, 0);
            }
            descriptorPoolIndex = 0;
        }
        arenaIndex = 0;
        arenaOffset = 0;
        vkResetCommandPool(core->device, pool, 0);
        vkResetFences(core->device, 1, &fence);
    }

    // A slot of uniform memory for `length` bytes: the arena and the offset within it.
    VkFramebuffer framebuffer(VkRenderPass pass, const VulkanTexture& color, const VulkanTexture* resolve,
                              const VulkanTexture* depth) {
        auto key = std::make_tuple(pass, color.id(), resolve ? resolve->id() : 0, depth ? depth->id() : 0);
        if (auto found = framebuffers.find(key); found != framebuffers.end()) {
            return found->second;
        }
        std::vector<VkImageView> views{color.view()};
        if (resolve) views.push_back(resolve->view());
        if (depth) views.push_back(depth->view());
        auto info = vkStruct<VkFramebufferCreateInfo>(VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO);
        info.renderPass = pass;
        info.attachmentCount = static_cast<std::uint32_t>(views.size());
        info.pAttachments = views.data();
        info.width = static_cast<std::uint32_t>(color.width());
        info.height = static_cast<std::uint32_t>(color.height());
        info.layers = 1;
        VkFramebuffer created = VK_NULL_HANDLE;
        check(vkCreateFramebuffer(core->device, &info, nullptr, &created), GpuStage::renderPass, "vkCreateFramebuffer");
        framebuffers.emplace(key, created);
        return created;
    }

    std::pair<VulkanBuffer*, std::size_t> uniformSlot() {
        if (arenaIndex < uniformArenas.size() && arenaOffset + uniformSlotSize > uniformArenaSize) {
            ++arenaIndex;
            arenaOffset = 0;
        }
        if (arenaIndex == uniformArenas.size()) {
            auto arena = VulkanBuffer::create(core, uniformArenaSize, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT);
            if (!arena) {
                throw GpuError(GpuStage::recording, "uniform memory of " + std::to_string(uniformArenaSize) + " bytes",
                               VK_ERROR_OUT_OF_DEVICE_MEMORY);
            }
            uniformArenas.push_back(std::move(arena));
            arenaOffset = 0;
        }
        std::size_t offset = arenaOffset;
        arenaOffset += uniformSlotSize;
        return {uniformArenas[arenaIndex].get(), offset};
    }

    VkDescriptorSet descriptorSet(const VulkanBuffer* storageBuffer, VkBuffer storage, VkDeviceSize storageOffset,
                                  VkDeviceSize storageRange, const VulkanBuffer* uniformArena, VkBuffer uniforms) {
        auto key = std::make_tuple(storageBuffer ? storageBuffer->id() : 0, storageOffset,
                                   uniformArena ? uniformArena->id() : 0);
        if (auto found = descriptorSets.find(key); found != descriptorSets.end()) {
            return found->second;
        }
        VkDescriptorSet set = VK_NULL_HANDLE;
        while (true) {
            if (descriptorPoolIndex == descriptorPools.size()) {
                std::array<VkDescriptorPoolSize, 2> sizes{
                    VkDescriptorPoolSize{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, setsPerDescriptorPool},
                    VkDescriptorPoolSize{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER_DYNAMIC, setsPerDescriptorPool}};
                auto info = vkStruct<VkDescriptorPoolCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO);
                info.maxSets = setsPerDescriptorPool;
                info.poolSizeCount = static_cast<std::uint32_t>(sizes.size());
                info.pPoolSizes = sizes.data();
                VkDescriptorPool created = VK_NULL_HANDLE;
                check(vkCreateDescriptorPool(core->device, &info, nullptr, &created), GpuStage::recording,
                      "vkCreateDescriptorPool");
                descriptorPools.push_back(created);
            }
            auto allocInfo = vkStruct<VkDescriptorSetAllocateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO);
            allocInfo.descriptorPool = descriptorPools[descriptorPoolIndex];
            allocInfo.descriptorSetCount = 1;
            allocInfo.pSetLayouts = &core->setLayout;
            VkResult result = vkAllocateDescriptorSets(core->device, &allocInfo, &set);
            if (result == VK_SUCCESS) break;
            if (result != VK_ERROR_OUT_OF_POOL_MEMORY && result != VK_ERROR_FRAGMENTED_POOL) {
                check(result, GpuStage::recording, "vkAllocateDescriptorSets");
            }
            ++descriptorPoolIndex;
        }
        VkDescriptorBufferInfo storageInfo{storage, storageOffset, storageRange};
        VkDescriptorBufferInfo uniformInfo{uniforms, 0, uniformSlotSize};
        std::array<VkWriteDescriptorSet, 2> writes{};
        writes[0].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        writes[0].dstSet = set;
        writes[0].dstBinding = 0;
        writes[0].descriptorCount = 1;
        writes[0].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        writes[0].pBufferInfo = &storageInfo;
        writes[1].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        writes[1].dstSet = set;
        writes[1].dstBinding = 1;
        writes[1].descriptorCount = 1;
        writes[1].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER_DYNAMIC;
        writes[1].pBufferInfo = &uniformInfo;
        vkUpdateDescriptorSets(core->device, static_cast<std::uint32_t>(writes.size()), writes.data(), 0, nullptr);
        descriptorSets.emplace(key, set);
        return set;
    }
};

// Recycled bundles of one queue.
struct FramePool {
    std::shared_ptr<DeviceCore> core;
    std::mutex mutex;
    std::vector<std::unique_ptr<FrameResources>> free;

    std::unique_ptr<FrameResources> take() {
        {
            std::lock_guard lock(mutex);
            if (!free.empty()) {
                auto frame = std::move(free.back());
                free.pop_back();
                return frame;
            }
        }
        return std::make_unique<FrameResources>(core);
    }

    void give(std::unique_ptr<FrameResources> frame) {
        frame->reset();
        std::lock_guard lock(mutex);
        if (free.size() < 8) free.push_back(std::move(frame));
    }
};

} // namespace drevik::gpu::vk

#pragma once
// The driver's pipeline cache, seeded from the disk cache at device creation and stored back there
// when it has grown, so a later run builds its pipelines from what this one compiled.
#include "platform/disk_cache.hpp"

#include <vulkan/vulkan.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace drevik::gpu::vk {

// The driver and device a cache entry was made for (vendor, device, driver version, pipeline cache
// UUID), as text for cache keys.
std::string deviceCacheIdentity(const VkPhysicalDeviceProperties& properties);

// True when `data` begins with a version-one pipeline cache header of this very device.
bool pipelineCacheHeaderMatches(std::span<const std::uint8_t> data, const VkPhysicalDeviceProperties& properties);

class PersistentPipelineCache {
public:
    PersistentPipelineCache() = default;
    PersistentPipelineCache(const PersistentPipelineCache&) = delete;
    PersistentPipelineCache& operator=(const PersistentPipelineCache&) = delete;
    ~PersistentPipelineCache() = default;   // close() must have run while the device was alive

    // Creates the pipeline cache, seeded from the disk cache's entry when there is a valid one for
    // this device. Without a disk cache (or when even an empty cache cannot be made) handle() stays
    // VK_NULL_HANDLE, which Vulkan takes as "no cache".
    void open(VkDevice device, const VkPhysicalDeviceProperties& properties, std::shared_ptr<const DiskCache> disk);
    VkPipelineCache handle() const { return cache_; }

    // Writes the cache to disk when it differs from what was read or last written.
    void save();
    // Saves, then destroys the pipeline cache. Call before the device is destroyed.
    void close();

private:
    VkDevice device_ = VK_NULL_HANDLE;
    VkPipelineCache cache_ = VK_NULL_HANDLE;
    std::shared_ptr<const DiskCache> disk_;
    VkPhysicalDeviceProperties properties_{};
    std::string key_;
    std::mutex mutex_;
    std::size_t savedSize_ = 0;
    std::uint64_t savedHash_ = 0;
};

} // namespace drevik::gpu::vk

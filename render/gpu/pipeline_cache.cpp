#include "render/gpu/pipeline_cache.hpp"

#include <cstdio>
#include <cstring>
#include <vector>

namespace drevik::gpu::vk {
namespace {

constexpr std::string_view entryKind = "pipelines";

std::uint32_t readU32(const std::uint8_t* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);   // the header is in the host's byte order
    return value;
}

} // namespace

std::string deviceCacheIdentity(const VkPhysicalDeviceProperties& properties) {
    char text[160];
    std::snprintf(text, sizeof text, "vendor %08x device %08x driver %08x uuid ", properties.vendorID,
                  properties.deviceID, properties.driverVersion);
    std::string identity = text;
    for (std::uint8_t byte : properties.pipelineCacheUUID) {
        std::snprintf(text, sizeof text, "%02x", byte);
        identity += text;
    }
    return identity;
}

bool pipelineCacheHeaderMatches(std::span<const std::uint8_t> data, const VkPhysicalDeviceProperties& properties) {
    // Header version one: length, version, vendor ID, device ID, pipeline cache UUID (32 bytes).
    constexpr std::size_t minimum = 16 + VK_UUID_SIZE;
    if (data.size() < minimum) return false;
    const std::uint32_t headerLength = readU32(data.data());
    return headerLength >= minimum && headerLength <= data.size() &&
           readU32(data.data() + 4) == VK_PIPELINE_CACHE_HEADER_VERSION_ONE &&
           readU32(data.data() + 8) == properties.vendorID && readU32(data.data() + 12) == properties.deviceID &&
           std::memcmp(data.data() + 16, properties.pipelineCacheUUID, VK_UUID_SIZE) == 0;
}

void PersistentPipelineCache::open(VkDevice device, const VkPhysicalDeviceProperties& properties,
                                   std::shared_ptr<const DiskCache> disk) {
    if (!disk || !disk->enabled()) return;
    device_ = device;
    disk_ = std::move(disk);
    properties_ = properties;
    key_ = "pipeline cache 1\n" + deviceCacheIdentity(properties);

    std::optional<std::vector<std::uint8_t>> stored = disk_->load(entryKind, key_);
    if (stored && !pipelineCacheHeaderMatches(*stored, properties)) stored.reset();
    VkPipelineCacheCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_PIPELINE_CACHE_CREATE_INFO;
    if (stored) {
        info.initialDataSize = stored->size();
        info.pInitialData = stored->data();
    }
    if (vkCreatePipelineCache(device, &info, nullptr, &cache_) != VK_SUCCESS) {
        cache_ = VK_NULL_HANDLE;
        if (stored) {
            // The driver refused what passed our checks: start empty and let save() replace it.
            stored.reset();
            info.initialDataSize = 0;
            info.pInitialData = nullptr;
            if (vkCreatePipelineCache(device, &info, nullptr, &cache_) != VK_SUCCESS) cache_ = VK_NULL_HANDLE;
        }
    }
    if (stored) {
        savedSize_ = stored->size();
        savedHash_ = cacheHash(*stored);
    }
}

void PersistentPipelineCache::save() {
    std::lock_guard lock(mutex_);
    if (!cache_ || !disk_) return;
    std::size_t size = 0;
    if (vkGetPipelineCacheData(device_, cache_, &size, nullptr) != VK_SUCCESS || size == 0 ||
        size > DiskCache::maxEntryBytes) {
        return;
    }
    std::vector<std::uint8_t> data(size);
    if (vkGetPipelineCacheData(device_, cache_, &size, data.data()) != VK_SUCCESS) return;
    data.resize(size);
    const std::uint64_t hash = cacheHash(data);
    if (size == savedSize_ && hash == savedHash_) return;
    if (!pipelineCacheHeaderMatches(data, properties_)) return;   // nothing a later run could use
    if (disk_->store(entryKind, key_, data)) {
        savedSize_ = size;
        savedHash_ = hash;
    }
}

void PersistentPipelineCache::close() {
    save();
    std::lock_guard lock(mutex_);
    if (cache_) vkDestroyPipelineCache(device_, cache_, nullptr);
    cache_ = VK_NULL_HANDLE;
}

} // namespace drevik::gpu::vk

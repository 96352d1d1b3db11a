// Device selection, resources and pipelines of the Vulkan GPU layer.
#include "render/gpu/vulkan_internal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace drevik::gpu {
namespace vk {

std::string resultName(VkResult result) {
    switch (result) {
    case VK_SUCCESS: return "VK_SUCCESS";
    case VK_NOT_READY: return "VK_NOT_READY";
    case VK_TIMEOUT: return "VK_TIMEOUT";
    case VK_INCOMPLETE: return "VK_INCOMPLETE";
    case VK_ERROR_OUT_OF_HOST_MEMORY: return "out of host memory (VK_ERROR_OUT_OF_HOST_MEMORY)";
    case VK_ERROR_OUT_OF_DEVICE_MEMORY: return "out of device memory (VK_ERROR_OUT_OF_DEVICE_MEMORY)";
    case VK_ERROR_INITIALIZATION_FAILED: return "initialization failed (VK_ERROR_INITIALIZATION_FAILED)";
    case VK_ERROR_DEVICE_LOST: return "the GPU device was lost (VK_ERROR_DEVICE_LOST)";
    case VK_ERROR_MEMORY_MAP_FAILED: return "memory map failed (VK_ERROR_MEMORY_MAP_FAILED)";
    case VK_ERROR_LAYER_NOT_PRESENT: return "layer not present (VK_ERROR_LAYER_NOT_PRESENT)";
    case VK_ERROR_EXTENSION_NOT_PRESENT: return "extension not present (VK_ERROR_EXTENSION_NOT_PRESENT)";
    case VK_ERROR_FEATURE_NOT_PRESENT: return "feature not present (VK_ERROR_FEATURE_NOT_PRESENT)";
    case VK_ERROR_INCOMPATIBLE_DRIVER: return "incompatible driver (VK_ERROR_INCOMPATIBLE_DRIVER)";
    case VK_ERROR_TOO_MANY_OBJECTS: return "too many objects (VK_ERROR_TOO_MANY_OBJECTS)";
    case VK_ERROR_FORMAT_NOT_SUPPORTED: return "format not supported (VK_ERROR_FORMAT_NOT_SUPPORTED)";
    case VK_ERROR_OUT_OF_POOL_MEMORY: return "out of pool memory (VK_ERROR_OUT_OF_POOL_MEMORY)";
    case VK_SUBOPTIMAL_KHR: return "VK_SUBOPTIMAL_KHR";
    case VK_ERROR_SURFACE_LOST_KHR: return "the window's surface was lost (VK_ERROR_SURFACE_LOST_KHR)";
    case VK_ERROR_NATIVE_WINDOW_IN_USE_KHR: return "the window is in use (VK_ERROR_NATIVE_WINDOW_IN_USE_KHR)";
    case VK_ERROR_OUT_OF_DATE_KHR: return "the window has changed (VK_ERROR_OUT_OF_DATE_KHR)";
    default: return "Vulkan error " + std::to_string(static_cast<int>(result));
    }
}

void check(VkResult result, const char* what) {
    if (result != VK_SUCCESS) {
        throw GpuError(std::string(what) + " failed: " + resultName(result));
    }
}

VkFormat toVkFormat(PixelFormat format) {
    switch (format) {
    case PixelFormat::bgra8Unorm: return VK_FORMAT_B8G8R8A8_UNORM;
    case PixelFormat::depth32Float: return VK_FORMAT_D32_SFLOAT;
    case PixelFormat::invalid: break;
    }
    return VK_FORMAT_UNDEFINED;
}

VkCompareOp toVkCompare(CompareFunction compare) {
    switch (compare) {
    case CompareFunction::never: return VK_COMPARE_OP_NEVER;
    case CompareFunction::less: return VK_COMPARE_OP_LESS;
    case CompareFunction::equal: return VK_COMPARE_OP_EQUAL;
    case CompareFunction::lessEqual: return VK_COMPARE_OP_LESS_OR_EQUAL;
    case CompareFunction::greater: return VK_COMPARE_OP_GREATER;
    case CompareFunction::notEqual: return VK_COMPARE_OP_NOT_EQUAL;
    case CompareFunction::greaterEqual: return VK_COMPARE_OP_GREATER_OR_EQUAL;
    case CompareFunction::always: return VK_COMPARE_OP_ALWAYS;
    }
    return VK_COMPARE_OP_ALWAYS;
}

namespace {

std::mutex validationMutex;
std::vector<std::string> validationLog;

VKAPI_ATTR VkBool32 VKAPI_CALL onDebugMessage(VkDebugUtilsMessageSeverityFlagBitsEXT,
                                              VkDebugUtilsMessageTypeFlagsEXT,
                                              const VkDebugUtilsMessengerCallbackDataEXT* data, void*) {
    recordValidationMessage(data && data->pMessage ? data->pMessage : "(empty validation message)");
    return VK_FALSE;
}

} // namespace

std::uint64_t nextObjectId() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

void recordValidationMessage(std::string message) {
    // The layer of this Debian release wrongly rejects `invariant gl_Position` (the module is valid).
    if (message.find("SpvDecorationInvariant") != std::string::npos) {
        return;
    }
    std::lock_guard lock(validationMutex);
    validationLog.push_back(std::move(message));
}

VkRenderPass DeviceCore::renderPass(const PassKey& key) {
    std::lock_guard lock(renderPassMutex);
    if (auto found = renderPasses.find(key); found != renderPasses.end()) {
        return found->second;
    }
    std::vector<VkAttachmentDescription> attachments;
    VkAttachmentReference colorRef{0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
    VkAttachmentReference resolveRef{VK_ATTACHMENT_UNUSED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
    VkAttachmentReference depthRef{VK_ATTACHMENT_UNUSED, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL};

    VkAttachmentDescription color{};
    color.format = key.colorFormat;
    color.samples = key.samples;
    color.loadOp = key.colorLoad;
    color.storeOp = key.colorStore;
    color.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    color.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
    color.initialLayout = key.colorInitial;
    // Single-sample colour rests ready for read-back (or presentation), multisample colour as an attachment.
    color.finalLayout = key.samples == VK_SAMPLE_COUNT_1_BIT ? key.outputFinal : VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
    attachments.push_back(color);
    if (key.resolve) {
        VkAttachmentDescription resolve = color;
        resolve.samples = VK_SAMPLE_COUNT_1_BIT;
        resolve.loadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
        resolve.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
        resolve.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        resolve.finalLayout = key.outputFinal;
        resolveRef.attachment = static_cast<std::uint32_t>(attachments.size());
        attachments.push_back(resolve);
    }
    if (key.depthFormat != VK_FORMAT_UNDEFINED) {
        VkAttachmentDescription depth{};
        depth.format = key.depthFormat;
        depth.samples = key.samples;
        depth.loadOp = key.depthLoad;
        depth.storeOp = key.depthStore;
        depth.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
        depth.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
        depth.initialLayout = key.depthInitial;
        depth.finalLayout = VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL;
        depthRef.attachment = static_cast<std::uint32_t>(attachments.size());
        attachments.push_back(depth);
    }

    VkSubpassDescription subpass{};
    subpass.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
    subpass.colorAttachmentCount = 1;
    subpass.pColorAttachments = &colorRef;
    subpass.pResolveAttachments = key.resolve ? &resolveRef : nullptr;
    subpass.pDepthStencilAttachment = depthRef.attachment == VK_ATTACHMENT_UNUSED ? nullptr : &depthRef;

    // Earlier passes and read-backs on the same textures finish before this pass touches them, and this
    // pass's writes are visible to later passes and to the read-back copy.
    constexpr VkPipelineStageFlags attachmentStages = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT |
                                                      VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT |
                                                      VK_PIPELINE_STAGE_LATE_FRAGMENT_TESTS_BIT;
    constexpr VkAccessFlags attachmentAccess =
        VK_ACCESS_COLOR_ATTACHMENT_READ_BIT | VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT |
        VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_READ_BIT | VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
    std::array<VkSubpassDependency, 2> dependencies{};
    dependencies[0].srcSubpass = VK_SUBPASS_EXTERNAL;
    dependencies[0].dstSubpass = 0;
    dependencies[0].srcStageMask = attachmentStages | VK_PIPELINE_STAGE_TRANSFER_BIT;
    dependencies[0].srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT |
                                    VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
    dependencies[0].dstStageMask = attachmentStages;
    dependencies[0].dstAccessMask = attachmentAccess;
    dependencies[1].srcSubpass = 0;
    dependencies[1].dstSubpass = VK_SUBPASS_EXTERNAL;
    dependencies[1].srcStageMask = attachmentStages;
    dependencies[1].srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT |
                                    VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
    dependencies[1].dstStageMask = attachmentStages | VK_PIPELINE_STAGE_TRANSFER_BIT;
    dependencies[1].dstAccessMask = attachmentAccess | VK_ACCESS_TRANSFER_READ_BIT;

    auto info = vkStruct<VkRenderPassCreateInfo>(VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO);
    info.attachmentCount = static_cast<std::uint32_t>(attachments.size());
    info.pAttachments = attachments.data();
    info.subpassCount = 1;
    info.pSubpasses = &subpass;
    info.dependencyCount = static_cast<std::uint32_t>(dependencies.size());
    info.pDependencies = dependencies.data();
    VkRenderPass pass = VK_NULL_HANDLE;
    check(vkCreateRenderPass(device, &info, nullptr, &pass), "vkCreateRenderPass");
    renderPasses.emplace(key, pass);
    return pass;
}

int DeviceCore::memoryType(std::uint32_t allowed, VkMemoryPropertyFlags required) const {
    for (std::uint32_t i = 0; i < memoryProperties.memoryTypeCount; ++i) {
        if ((allowed & (1u << i)) && (memoryProperties.memoryTypes[i].propertyFlags & required) == required) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

VkDeviceMemory DeviceCore::allocate(VkMemoryRequirements requirements, VkMemoryPropertyFlags flags) {
    int type = memoryType(requirements.memoryTypeBits, flags);
    if (type < 0) {
        return VK_NULL_HANDLE;
    }
    // More than the whole heap cannot succeed; asking would be an invalid request.
    const auto heap = memoryProperties.memoryTypes[type].heapIndex;
    if (requirements.size > memoryProperties.memoryHeaps[heap].size) {
        return VK_NULL_HANDLE;
    }
    auto info = vkStruct<VkMemoryAllocateInfo>(VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO);
    info.allocationSize = requirements.size;
    info.memoryTypeIndex = static_cast<std::uint32_t>(type);
    VkDeviceMemory memory = VK_NULL_HANDLE;
    if (vkAllocateMemory(device, &info, nullptr, &memory) != VK_SUCCESS) {
        return VK_NULL_HANDLE;
    }
    return memory;
}

DeviceCore::~DeviceCore() {
    if (device) {
        vkDeviceWaitIdle(device);
        pipelineCache.close();
        for (auto& [key, pass] : renderPasses) {
            vkDestroyRenderPass(device, pass, nullptr);
        }
        if (transferPool) vkDestroyCommandPool(device, transferPool, nullptr);
        if (placeholderBuffer) vkDestroyBuffer(device, placeholderBuffer, nullptr);
        if (placeholderMemory) vkFreeMemory(device, placeholderMemory, nullptr);
        if (pipelineLayout) vkDestroyPipelineLayout(device, pipelineLayout, nullptr);
        if (setLayout) vkDestroyDescriptorSetLayout(device, setLayout, nullptr);
        vkDestroyDevice(device, nullptr);
    }
    if (surface) vkDestroySurfaceKHR(instance, surface, nullptr);
    if (messenger) {
        auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
            vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
        if (destroy) destroy(instance, messenger, nullptr);
    }
    if (instance) vkDestroyInstance(instance, nullptr);
}

// ---------------------------------------------------------------------------------------------------

VulkanBuffer::VulkanBuffer(std::shared_ptr<DeviceCore> core, VkBuffer buffer, VkDeviceMemory memory,
                           std::size_t length, void* mapped)
    : core_(std::move(core)), buffer_(buffer), memory_(memory), length_(length), mapped_(mapped) {}

VulkanBuffer::~VulkanBuffer() {
    vkDestroyBuffer(core_->device, buffer_, nullptr);
    vkFreeMemory(core_->device, memory_, nullptr);
}

std::shared_ptr<VulkanBuffer> VulkanBuffer::create(const std::shared_ptr<DeviceCore>& core, std::size_t length,
                                                   VkBufferUsageFlags usage) {
    auto info = vkStruct<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
    info.size = std::max<VkDeviceSize>(length, 4);
    info.usage = usage;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    VkBuffer buffer = VK_NULL_HANDLE;
    if (vkCreateBuffer(core->device, &info, nullptr, &buffer) != VK_SUCCESS) {
        return nullptr;
    }
    VkMemoryRequirements requirements;
    vkGetBufferMemoryRequirements(core->device, buffer, &requirements);
    VkDeviceMemory memory =
        core->allocate(requirements, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
    void* mapped = nullptr;
    if (!memory || vkBindBufferMemory(core->device, buffer, memory, 0) != VK_SUCCESS ||
        vkMapMemory(core->device, memory, 0, VK_WHOLE_SIZE, 0, &mapped) != VK_SUCCESS) {
        if (memory) vkFreeMemory(core->device, memory, nullptr);
        vkDestroyBuffer(core->device, buffer, nullptr);
        return nullptr;
    }
    return std::make_shared<VulkanBuffer>(core, buffer, memory, length, mapped);
}

// ---------------------------------------------------------------------------------------------------

VulkanTexture::VulkanTexture(std::shared_ptr<DeviceCore> core, const TextureDescriptor& descriptor)
    : core_(std::move(core)), descriptor_(descriptor) {
    auto info = vkStruct<VkImageCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO);
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = toVkFormat(descriptor.pixelFormat);
    info.extent = {static_cast<std::uint32_t>(descriptor.width), static_cast<std::uint32_t>(descriptor.height), 1};
    info.mipLevels = 1;
    info.arrayLayers = 1;
    info.samples = static_cast<VkSampleCountFlagBits>(descriptor.sampleCount);
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    if (isDepth()) {
        info.usage = VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT;
    } else if (descriptor.sampleCount == 1) {
        info.usage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    } else {
        info.usage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
    }
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    check(vkCreateImage(core_->device, &info, nullptr, &image_), "vkCreateImage");

    VkMemoryRequirements requirements;
    vkGetImageMemoryRequirements(core_->device, image_, &requirements);
    memory_ = core_->allocate(requirements, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    if (!memory_) {
        memory_ = core_->allocate(requirements, 0);
    }
    if (!memory_) {
        vkDestroyImage(core_->device, image_, nullptr);
        throw GpuError("out of device memory for a texture");
    }
    if (VkResult result = vkBindImageMemory(core_->device, image_, memory_, 0); result != VK_SUCCESS) {
        vkDestroyImage(core_->device, image_, nullptr);
        vkFreeMemory(core_->device, memory_, nullptr);
        check(result, "vkBindImageMemory");
    }
    auto viewInfo = vkStruct<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
    viewInfo.image = image_;
    viewInfo.viewType = VK_IMAGE_VIEW_TYPE_2D;
    viewInfo.format = info.format;
    viewInfo.subresourceRange = {
        static_cast<VkImageAspectFlags>(isDepth() ? VK_IMAGE_ASPECT_DEPTH_BIT : VK_IMAGE_ASPECT_COLOR_BIT), 0, 1, 0,
        1};
    if (VkResult result = vkCreateImageView(core_->device, &viewInfo, nullptr, &view_); result != VK_SUCCESS) {
        vkDestroyImage(core_->device, image_, nullptr);
        vkFreeMemory(core_->device, memory_, nullptr);
        check(result, "vkCreateImageView");
    }
}

VulkanTexture::VulkanTexture(std::shared_ptr<DeviceCore> core, const TextureDescriptor& descriptor, VkImage image,
                             std::shared_ptr<const void> owner)
    : core_(std::move(core)), descriptor_(descriptor), image_(image), owner_(std::move(owner)) {
    auto viewInfo = vkStruct<VkImageViewCreateInfo>(VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO);
    viewInfo.image = image_;
    viewInfo.viewType = VK_IMAGE_VIEW_TYPE_2D;
    viewInfo.format = toVkFormat(descriptor.pixelFormat);
    viewInfo.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    check(vkCreateImageView(core_->device, &viewInfo, nullptr, &view_), "vkCreateImageView");
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
        throw GpuError("only single-sample colour textures can be read back");
    }
    if (region.width == 0 || region.height == 0) {
        return;
    }
    if (region.x + region.width > descriptor_.width || region.y + region.height > descriptor_.height ||
        bytesPerRow < region.width * 4) {
        throw GpuError("texture read-back region out of bounds");
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
            throw GpuError("out of memory for texture read-back");
        }
    }

    std::lock_guard transferLock(core_->transferMutex);
    auto allocInfo = vkStruct<VkCommandBufferAllocateInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO);
    allocInfo.commandPool = core_->transferPool;
    allocInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocInfo.commandBufferCount = 1;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    check(vkAllocateCommandBuffers(core_->device, &allocInfo, &commands), "vkAllocateCommandBuffers");
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
    check(vkBeginCommandBuffer(commands, &begin), "vkBeginCommandBuffer");
    VkBufferImageCopy copy{};
    copy.bufferOffset = 0;
    copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    copy.imageOffset = {static_cast<std::int32_t>(region.x), static_cast<std::int32_t>(region.y), 0};
    copy.imageExtent = {static_cast<std::uint32_t>(region.width), static_cast<std::uint32_t>(region.height), 1};
    vkCmdCopyImageToBuffer(commands, image_, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, staging_->handle(), 1, &copy);
    auto barrier = vkStruct<VkBufferMemoryBarrier>(VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER);
    barrier.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    barrier.buffer = staging_->handle();
    barrier.offset = 0;
    barrier.size = VK_WHOLE_SIZE;
    vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 0, nullptr, 1,
                         &barrier, 0, nullptr);
    check(vkEndCommandBuffer(commands), "vkEndCommandBuffer");

    auto fenceInfo = vkStruct<VkFenceCreateInfo>(VK_STRUCTURE_TYPE_FENCE_CREATE_INFO);
    check(vkCreateFence(core_->device, &fenceInfo, nullptr, &fence), "vkCreateFence");
    auto submit = vkStruct<VkSubmitInfo>(VK_STRUCTURE_TYPE_SUBMIT_INFO);
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands;
    {
        std::lock_guard queueLock(core_->queueMutex);
        check(vkQueueSubmit(core_->queue, 1, &submit, fence), "vkQueueSubmit");
    }
    check(vkWaitForFences(core_->device, 1, &fence, VK_TRUE, std::numeric_limits<std::uint64_t>::max()),
          "vkWaitForFences");

    const auto* source = static_cast<const unsigned char*>(staging_->contents());
    if (bytesPerRow == rowBytes) {
        std::memcpy(out, source, needed);
    } else {
        for (std::size_t row = 0; row < region.height; ++row) {
            std::memcpy(out + row * bytesPerRow, source + row * rowBytes, rowBytes);
        }
    }
}

// ---------------------------------------------------------------------------------------------------

VulkanFunction::VulkanFunction(std::shared_ptr<DeviceCore> core, std::string name, ShaderStage stage,
                               const std::vector<std::uint32_t>& spirv)
    : core_(std::move(core)), name_(std::move(name)), stage_(stage) {
    auto info = vkStruct<VkShaderModuleCreateInfo>(VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO);
    info.codeSize = spirv.size() * sizeof(std::uint32_t);
    info.pCode = spirv.data();
    check(vkCreateShaderModule(core_->device, &info, nullptr, &module_), "vkCreateShaderModule");
}

VulkanFunction::~VulkanFunction() { vkDestroyShaderModule(core_->device, module_, nullptr); }

namespace {

class VulkanLibrary final : public Library {
public:
    explicit VulkanLibrary(std::vector<std::shared_ptr<VulkanFunction>> functions)
        : functions_(std::move(functions)) {}
    std::shared_ptr<Function> makeFunction(std::string_view name) const override {
        for (const auto& function : functions_) {
            if (function->name() == name) return function;
        }
        return nullptr;
    }

private:
    std::vector<std::shared_ptr<VulkanFunction>> functions_;
};

VkBlendFactor toVkBlend(BlendFactor factor) {
    switch (factor) {
    case BlendFactor::zero: return VK_BLEND_FACTOR_ZERO;
    case BlendFactor::one: return VK_BLEND_FACTOR_ONE;
    case BlendFactor::sourceAlpha: return VK_BLEND_FACTOR_SRC_ALPHA;
    case BlendFactor::oneMinusSourceAlpha: return VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
    case BlendFactor::destinationAlpha: return VK_BLEND_FACTOR_DST_ALPHA;
    case BlendFactor::oneMinusDestinationAlpha: return VK_BLEND_FACTOR_ONE_MINUS_DST_ALPHA;
    }
    return VK_BLEND_FACTOR_ONE;
}

VkBlendOp toVkBlendOp(BlendOperation operation) {
    switch (operation) {
    case BlendOperation::add: return VK_BLEND_OP_ADD;
    case BlendOperation::subtract: return VK_BLEND_OP_SUBTRACT;
    case BlendOperation::reverseSubtract: return VK_BLEND_OP_REVERSE_SUBTRACT;
    case BlendOperation::min: return VK_BLEND_OP_MIN;
    case BlendOperation::max: return VK_BLEND_OP_MAX;
    }
    return VK_BLEND_OP_ADD;
}

} // namespace

VulkanRenderPipeline::VulkanRenderPipeline(std::shared_ptr<DeviceCore> core, RenderPipelineDescriptor descriptor)
    : core_(std::move(core)), descriptor_(std::move(descriptor)) {}

VulkanRenderPipeline::~VulkanRenderPipeline() {
    for (auto& [key, pipeline] : variants_) {
        vkDestroyPipeline(core_->device, pipeline, nullptr);
    }
}

VkPipeline VulkanRenderPipeline::variant(VkRenderPass pass, CompareFunction compare, bool depthWrite) {
    std::lock_guard lock(mutex_);
    auto key = std::make_tuple(pass, compare, depthWrite);
    if (auto found = variants_.find(key); found != variants_.end()) {
        return found->second;
    }
    auto& vertex = static_cast<VulkanFunction&>(*descriptor_.vertexFunction);
    auto& fragment = static_cast<VulkanFunction&>(*descriptor_.fragmentFunction);
    std::array<VkPipelineShaderStageCreateInfo, 2> stages{};
    stages[0].sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = vertex.module();
    stages[0].pName = vertex.name().c_str();
    stages[1].sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = fragment.module();
    stages[1].pName = fragment.name().c_str();

    auto vertexInput = vkStruct<VkPipelineVertexInputStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO);
    auto assembly = vkStruct<VkPipelineInputAssemblyStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO);
    assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    auto viewport = vkStruct<VkPipelineViewportStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO);
    viewport.viewportCount = 1;
    viewport.scissorCount = 1;
    auto raster = vkStruct<VkPipelineRasterizationStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO);
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    raster.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
    raster.lineWidth = 1.0f;
    auto multisample = vkStruct<VkPipelineMultisampleStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO);
    multisample.rasterizationSamples = static_cast<VkSampleCountFlagBits>(descriptor_.rasterSampleCount);
    auto depth = vkStruct<VkPipelineDepthStencilStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO);
    const bool hasDepth = descriptor_.depthAttachmentPixelFormat != PixelFormat::invalid;
    depth.depthTestEnable = hasDepth ? VK_TRUE : VK_FALSE;
    depth.depthWriteEnable = hasDepth && depthWrite ? VK_TRUE : VK_FALSE;
    depth.depthCompareOp = toVkCompare(compare);
    const auto& attachment = descriptor_.colorAttachments[0];
    VkPipelineColorBlendAttachmentState blend{};
    blend.blendEnable = attachment.blendingEnabled ? VK_TRUE : VK_FALSE;
    blend.srcColorBlendFactor = toVkBlend(attachment.sourceRGBBlendFactor);
    blend.dstColorBlendFactor = toVkBlend(attachment.destinationRGBBlendFactor);
    blend.colorBlendOp = toVkBlendOp(attachment.rgbBlendOperation);
    blend.srcAlphaBlendFactor = toVkBlend(attachment.sourceAlphaBlendFactor);
    blend.dstAlphaBlendFactor = toVkBlend(attachment.destinationAlphaBlendFactor);
    blend.alphaBlendOp = toVkBlendOp(attachment.alphaBlendOperation);
    blend.colorWriteMask = static_cast<VkColorComponentFlags>(attachment.writeMask);
    auto blendState = vkStruct<VkPipelineColorBlendStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO);
    blendState.attachmentCount = 1;
    blendState.pAttachments = &blend;
    std::array<VkDynamicState, 2> dynamicStates{VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
    auto dynamic = vkStruct<VkPipelineDynamicStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO);
    dynamic.dynamicStateCount = static_cast<std::uint32_t>(dynamicStates.size());
    dynamic.pDynamicStates = dynamicStates.data();

    auto info = vkStruct<VkGraphicsPipelineCreateInfo>(VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO);
    info.stageCount = static_cast<std::uint32_t>(stages.size());
    info.pStages = stages.data();
    info.pVertexInputState = &vertexInput;
    info.pInputAssemblyState = &assembly;
    info.pViewportState = &viewport;
    info.pRasterizationState = &raster;
    info.pMultisampleState = &multisample;
    info.pDepthStencilState = &depth;
    info.pColorBlendState = &blendState;
    info.pDynamicState = &dynamic;
    info.layout = core_->pipelineLayout;
    info.renderPass = pass;
    info.subpass = 0;
    VkPipeline pipeline = VK_NULL_HANDLE;
    check(vkCreateGraphicsPipelines(core_->device, core_->pipelineCache.handle(), 1, &info, nullptr, &pipeline),
          "vkCreateGraphicsPipelines");
    variants_.emplace(key, pipeline);
    return pipeline;
}

// ---------------------------------------------------------------------------------------------------

std::optional<std::size_t> preferredDevice(const std::vector<VkPhysicalDeviceType>& types,
                                           const std::vector<bool>& usable) {
    auto rank = [](VkPhysicalDeviceType type) {
        switch (type) {
        case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 0;
        case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 1;
        case VK_PHYSICAL_DEVICE_TYPE_CPU: return 3;
        default: return 2;   // virtual and other GPUs
        }
    };
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < types.size() && i < usable.size(); ++i) {
        if (usable[i] && (!best || rank(types[i]) < rank(types[*best]))) {
            best = i;
        }
    }
    return best;
}

namespace {

// Sends the process's standard error to /dev/null while drivers and the loader start up: some print
// notices there that must not reach the user. Restored on destruction.
class QuietStderr {
public:
    explicit QuietStderr(bool active) {
        if (!active) return;
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) {
            ::dup2(null, STDERR_FILENO);
        }
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};

bool environmentFlag(const char* name) {
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

bool hasLayer(const char* name) {
    std::uint32_t count = 0;
    vkEnumerateInstanceLayerProperties(&count, nullptr);
    std::vector<VkLayerProperties> layers(count);
    vkEnumerateInstanceLayerProperties(&count, layers.data());
    return std::any_of(layers.begin(), layers.end(),
                       [&](const VkLayerProperties& layer) { return std::strcmp(layer.layerName, name) == 0; });
}

bool formatSupports(VkPhysicalDevice device, VkFormat format, VkFormatFeatureFlags features) {
    VkFormatProperties properties;
    vkGetPhysicalDeviceFormatProperties(device, format, &properties);
    return (properties.optimalTilingFeatures & features) == features;
}

bool hasDeviceExtension(VkPhysicalDevice device, const char* name) {
    std::uint32_t count = 0;
    vkEnumerateDeviceExtensionProperties(device, nullptr, &count, nullptr);
    std::vector<VkExtensionProperties> extensions(count);
    vkEnumerateDeviceExtensionProperties(device, nullptr, &count, extensions.data());
    return std::any_of(extensions.begin(), extensions.end(), [&](const VkExtensionProperties& extension) {
        return std::strcmp(extension.extensionName, name) == 0;
    });
}

// A graphics queue family of a usable device (one that can also present to `surface` when there is
// one), or -1.
int graphicsQueueFamily(VkPhysicalDevice device, VkSurfaceKHR surface) {
    VkPhysicalDeviceProperties properties;
    vkGetPhysicalDeviceProperties(device, &properties);
    if (properties.apiVersion < VK_API_VERSION_1_1) return -1;
    if (!formatSupports(device, VK_FORMAT_B8G8R8A8_UNORM,
                        VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BIT | VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT) ||
        !formatSupports(device, VK_FORMAT_D32_SFLOAT, VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT)) {
        return -1;
    }
    std::uint32_t count = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(device, &count, nullptr);
    std::vector<VkQueueFamilyProperties> families(count);
    vkGetPhysicalDeviceQueueFamilyProperties(device, &count, families.data());
    if (surface && !hasDeviceExtension(device, VK_KHR_SWAPCHAIN_EXTENSION_NAME)) return -1;
    for (std::uint32_t i = 0; i < count; ++i) {
        if ((families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) == 0) continue;
        VkBool32 presents = VK_TRUE;
        if (surface && vkGetPhysicalDeviceSurfaceSupportKHR(device, i, surface, &presents) != VK_SUCCESS) continue;
        if (presents) return static_cast<int>(i);
    }
    return -1;
}

class VulkanDevice final : public Device {
public:
    explicit VulkanDevice(std::shared_ptr<DeviceCore> core) : core_(std::move(core)) {}

    const std::string& name() const override { return core_->name; }

    bool supportsTextureSampleCount(std::size_t sampleCount) const override {
        if (sampleCount == 0 || sampleCount > 64 || (sampleCount & (sampleCount - 1)) != 0) return false;
        const auto& limits = core_->properties.limits;
        auto bit = static_cast<VkSampleCountFlags>(sampleCount);
        return (limits.framebufferColorSampleCounts & bit) && (limits.framebufferDepthSampleCounts & bit);
    }

    std::size_t maxTextureDimension2D() const override {
        const auto& limits = core_->properties.limits;
        return std::min({limits.maxImageDimension2D, limits.maxFramebufferWidth, limits.maxFramebufferHeight});
    }

    std::shared_ptr<CommandQueue> makeCommandQueue() override {
        try {
            return vk::makeCommandQueue(core_);
        } catch (const GpuError&) {
            return nullptr;
        }
    }

    std::shared_ptr<Buffer> makeBuffer(std::size_t length) override {
        return VulkanBuffer::create(core_, length,
                                    VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
                                        VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT);
    }

    std::shared_ptr<Texture> makeTexture(const TextureDescriptor& descriptor) override {
        const bool multisample = descriptor.textureType == TextureType::type2DMultisample;
        if (descriptor.width == 0 || descriptor.height == 0 || descriptor.width > maxTextureDimension2D() ||
            descriptor.height > maxTextureDimension2D() || toVkFormat(descriptor.pixelFormat) == VK_FORMAT_UNDEFINED ||
            multisample != (descriptor.sampleCount > 1) || !supportsTextureSampleCount(descriptor.sampleCount)) {
            return nullptr;
        }
        try {
            return std::make_shared<VulkanTexture>(core_, descriptor);
        } catch (const GpuError&) {
            return nullptr;
        }
    }

    std::shared_ptr<DepthStencilState> makeDepthStencilState(const DepthStencilDescriptor& descriptor) override {
        return std::make_shared<VulkanDepthStencilState>(descriptor);
    }

    std::shared_ptr<Library> makeLibrary(std::string_view source,
                                         const std::vector<ShaderFunctionDescriptor>& functions) override {
        std::vector<std::shared_ptr<VulkanFunction>> made;
        for (auto& compiled : compileShaderFunctions(source, functions, core_->diskCache.get(),
                                                     deviceCacheIdentity(core_->properties))) {
            if (compiled.present) {
                made.push_back(std::make_shared<VulkanFunction>(core_, compiled.name, compiled.stage, compiled.spirv));
            }
        }
        return std::make_shared<VulkanLibrary>(std::move(made));
    }

    std::shared_ptr<RenderPipelineState> makeRenderPipelineState(const RenderPipelineDescriptor& descriptor) override {
        if (!descriptor.vertexFunction || descriptor.vertexFunction->stage() != ShaderStage::vertex) {
            throw GpuError("a render pipeline needs a vertex function");
        }
        if (!descriptor.fragmentFunction || descriptor.fragmentFunction->stage() != ShaderStage::fragment) {
            throw GpuError("a render pipeline needs a fragment function");
        }
        if (!supportsTextureSampleCount(descriptor.rasterSampleCount)) {
            throw GpuError("the device does not support " + std::to_string(descriptor.rasterSampleCount) +
                           " samples per pixel");
        }
        if (toVkFormat(descriptor.colorAttachments[0].pixelFormat) == VK_FORMAT_UNDEFINED ||
            descriptor.colorAttachments[0].pixelFormat == PixelFormat::depth32Float) {
            throw GpuError("unsupported colour attachment pixel format");
        }
        if (descriptor.depthAttachmentPixelFormat != PixelFormat::invalid &&
            descriptor.depthAttachmentPixelFormat != PixelFormat::depth32Float) {
            throw GpuError("unsupported depth attachment pixel format");
        }
        return std::make_shared<VulkanRenderPipeline>(core_, descriptor);
    }

    std::shared_ptr<Swapchain> makeSwapchain() override { return vk::makeSwapchain(core_); }

private:
    std::shared_ptr<DeviceCore> core_;
};

std::shared_ptr<Device> createDevice(bool validation, const DeviceOptions& options) {
    auto core = std::make_shared<DeviceCore>();
    {
        QuietStderr quiet(!validation);
        if (validation) {
            // Standard error stays open with validation on (test runs); Mesa's software driver would
            // announce there that it is not conformant unless told not to.
            ::setenv("MESA_VK_IGNORE_CONFORMANCE_WARNING", "1", 0);
        }

        std::uint32_t loaderVersion = VK_API_VERSION_1_0;
        if (vkEnumerateInstanceVersion(&loaderVersion) != VK_SUCCESS || loaderVersion < VK_API_VERSION_1_1) {
            return nullptr;
        }
        auto app = vkStruct<VkApplicationInfo>(VK_STRUCTURE_TYPE_APPLICATION_INFO);
        app.pApplicationName = "Drevik";
        app.applicationVersion = 1;
        app.pEngineName = "Drevik";
        app.engineVersion = 1;
        app.apiVersion = VK_API_VERSION_1_1;

        std::vector<const char*> layers;
        std::vector<const char*> extensions;
        auto messengerInfo = vkStruct<VkDebugUtilsMessengerCreateInfoEXT>(VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT);
        messengerInfo.messageSeverity =
            VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
        messengerInfo.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                                    VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                                    VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
        messengerInfo.pfnUserCallback = onDebugMessage;
        std::array<VkValidationFeatureEnableEXT, 1> enabledFeatures{
            VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT};
        auto features = vkStruct<VkValidationFeaturesEXT>(VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT);
        features.enabledValidationFeatureCount = static_cast<std::uint32_t>(enabledFeatures.size());
        features.pEnabledValidationFeatures = enabledFeatures.data();

        auto info = vkStruct<VkInstanceCreateInfo>(VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO);
        info.pApplicationInfo = &app;
        if (validation) {
            if (!hasLayer("VK_LAYER_KHRONOS_validation")) {
                recordValidationMessage("validation was requested but VK_LAYER_KHRONOS_validation is not installed");
            } else {
                layers.push_back("VK_LAYER_KHRONOS_validation");
                extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
                features.pNext = &messengerInfo;
                info.pNext = &features;
            }
        }
        for (const std::string& extension : options.instanceExtensions) {
            extensions.push_back(extension.c_str());
        }
        info.enabledLayerCount = static_cast<std::uint32_t>(layers.size());
        info.ppEnabledLayerNames = layers.data();
        info.enabledExtensionCount = static_cast<std::uint32_t>(extensions.size());
        info.ppEnabledExtensionNames = extensions.data();
        if (vkCreateInstance(&info, nullptr, &core->instance) != VK_SUCCESS) {
            core->instance = VK_NULL_HANDLE;
            return nullptr;
        }
        if (features.pNext != nullptr) { // the validation layer is on
            auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
                vkGetInstanceProcAddr(core->instance, "vkCreateDebugUtilsMessengerEXT"));
            if (create) create(core->instance, &messengerInfo, nullptr, &core->messenger);
        }

        if (options.makeSurface) {
            NativeSurface surface = options.makeSurface(core->instance);
            if (surface == 0) return nullptr;
            core->surface = reinterpret_cast<VkSurfaceKHR>(surface);
        }

        std::uint32_t count = 0;
        if (vkEnumeratePhysicalDevices(core->instance, &count, nullptr) != VK_SUCCESS || count == 0) {
            return nullptr;
        }
        std::vector<VkPhysicalDevice> devices(count);
        if (vkEnumeratePhysicalDevices(core->instance, &count, devices.data()) < 0) {
            return nullptr;
        }
        std::vector<VkPhysicalDeviceType> types;
        std::vector<int> families;
        for (VkPhysicalDevice candidate : devices) {
            VkPhysicalDeviceProperties properties;
            vkGetPhysicalDeviceProperties(candidate, &properties);
            types.push_back(properties.deviceType);
            families.push_back(graphicsQueueFamily(candidate, core->surface));
        }
        std::vector<bool> usable;
        for (int family : families) usable.push_back(family >= 0);
        const std::optional<std::size_t> best = preferredDevice(types, usable);
        if (!best) {
            return nullptr;
        }
        core->physicalDevice = devices[*best];
        const int bestFamily = families[*best];
        core->queueFamily = static_cast<std::uint32_t>(bestFamily);
        vkGetPhysicalDeviceProperties(core->physicalDevice, &core->properties);
        vkGetPhysicalDeviceMemoryProperties(core->physicalDevice, &core->memoryProperties);
        core->name = core->properties.deviceName;

        float priority = 1.0f;
        auto queueInfo = vkStruct<VkDeviceQueueCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO);
        queueInfo.queueFamilyIndex = core->queueFamily;
        queueInfo.queueCount = 1;
        queueInfo.pQueuePriorities = &priority;
        auto deviceInfo = vkStruct<VkDeviceCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO);
        deviceInfo.queueCreateInfoCount = 1;
        deviceInfo.pQueueCreateInfos = &queueInfo;
        const char* swapchainExtension = VK_KHR_SWAPCHAIN_EXTENSION_NAME;
        if (core->surface) {
            deviceInfo.enabledExtensionCount = 1;
            deviceInfo.ppEnabledExtensionNames = &swapchainExtension;
        }
        if (vkCreateDevice(core->physicalDevice, &deviceInfo, nullptr, &core->device) != VK_SUCCESS) {
            core->device = VK_NULL_HANDLE;
            return nullptr;
        }
        vkGetDeviceQueue(core->device, core->queueFamily, 0, &core->queue);
    }
    core->diskCache = std::make_shared<const DiskCache>(options.cacheFolder);
    core->pipelineCache.open(core->device, core->properties, core->diskCache);

    // Shader slots: 0 the stroke records, 1 the uniform block (a slot of the command buffer's uniform
    // memory, chosen per draw by a dynamic offset).
    std::array<VkDescriptorSetLayoutBinding, 2> bindings{};
    bindings[0].binding = 0;
    bindings[0].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    bindings[0].descriptorCount = 1;
    bindings[0].stageFlags = VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
    bindings[1].binding = 1;
    bindings[1].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER_DYNAMIC;
    bindings[1].descriptorCount = 1;
    bindings[1].stageFlags = VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
    auto setInfo = vkStruct<VkDescriptorSetLayoutCreateInfo>(VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO);
    setInfo.bindingCount = static_cast<std::uint32_t>(bindings.size());
    setInfo.pBindings = bindings.data();
    check(vkCreateDescriptorSetLayout(core->device, &setInfo, nullptr, &core->setLayout),
          "vkCreateDescriptorSetLayout");
    auto layoutInfo = vkStruct<VkPipelineLayoutCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO);
    layoutInfo.setLayoutCount = 1;
    layoutInfo.pSetLayouts = &core->setLayout;
    check(vkCreatePipelineLayout(core->device, &layoutInfo, nullptr, &core->pipelineLayout),
          "vkCreatePipelineLayout");

    auto poolInfo = vkStruct<VkCommandPoolCreateInfo>(VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO);
    poolInfo.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT | VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    poolInfo.queueFamilyIndex = core->queueFamily;
    check(vkCreateCommandPool(core->device, &poolInfo, nullptr, &core->transferPool), "vkCreateCommandPool");

    auto placeholderInfo = vkStruct<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
    placeholderInfo.size = 256;
    placeholderInfo.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
    check(vkCreateBuffer(core->device, &placeholderInfo, nullptr, &core->placeholderBuffer), "vkCreateBuffer");
    VkMemoryRequirements requirements;
    vkGetBufferMemoryRequirements(core->device, core->placeholderBuffer, &requirements);
    core->placeholderMemory = core->allocate(requirements, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT);
    if (!core->placeholderMemory) throw GpuError("out of memory while creating the device");
    check(vkBindBufferMemory(core->device, core->placeholderBuffer, core->placeholderMemory, 0),
          "vkBindBufferMemory");
    return std::make_shared<VulkanDevice>(std::move(core));
}

} // namespace
} // namespace vk

std::shared_ptr<Device> Device::systemDefault() { return systemDefault(DeviceOptions{}); }

std::shared_ptr<Device> Device::systemDefault(const DeviceOptions& options) {
    const bool validation = options.validation || vk::environmentFlag("DREVIK_GPU_VALIDATION");
    try {
        return vk::createDevice(validation, options);
    } catch (const GpuError&) {
        return nullptr;
    }
}

std::vector<std::string> takeValidationMessages() {
    std::lock_guard lock(vk::validationMutex);
    return std::exchange(vk::validationLog, {});
}

} // namespace drevik::gpu

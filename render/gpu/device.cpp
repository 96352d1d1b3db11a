// The Device object: what the device offers, the factories of its resources (each in the file of its
// concern), the objects every device shares (shader slots, the transfer pool, a placeholder buffer),
// and the system's default device.
#include "render/gpu/vulkan_internal.hpp"

#include <algorithm>

namespace drevik::gpu {
namespace vk {

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

namespace {

// Shader slots, the pool for one-off transfers and the placeholder buffer bound to unset slots.
void createSharedObjects(DeviceCore& core) {
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
    check(vkCreateDescriptorSetLayout(core.device, &setInfo, nullptr, &core.setLayout), GpuStage::deviceCreation, "vkCreateDescriptorSetLayout");
    auto layoutInfo = vkStruct<VkPipelineLayoutCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO);
    layoutInfo.setLayoutCount = 1;
    layoutInfo.pSetLayouts = &core.setLayout;
    check(vkCreatePipelineLayout(core.device, &layoutInfo, nullptr, &core.pipelineLayout), GpuStage::deviceCreation, "vkCreatePipelineLayout");

    auto poolInfo = vkStruct<VkCommandPoolCreateInfo>(VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO);
    poolInfo.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT | VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    poolInfo.queueFamilyIndex = core.queueFamily;
    check(vkCreateCommandPool(core.device, &poolInfo, nullptr, &core.transferPool), GpuStage::deviceCreation, "vkCreateCommandPool");

    auto placeholderInfo = vkStruct<VkBufferCreateInfo>(VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO);
    placeholderInfo.size = 256;
    placeholderInfo.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
    check(vkCreateBuffer(core.device, &placeholderInfo, nullptr, &core.placeholderBuffer), GpuStage::deviceCreation, "vkCreateBuffer");
    VkMemoryRequirements requirements;
    vkGetBufferMemoryRequirements(core.device, core.placeholderBuffer, &requirements);
    check(core.allocate(requirements, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT, core.placeholderMemory),
          GpuStage::deviceCreation, "vkAllocateMemory for the placeholder buffer");
    check(vkBindBufferMemory(core.device, core.placeholderBuffer, core.placeholderMemory, 0), GpuStage::deviceCreation, "vkBindBufferMemory");
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

    std::shared_ptr<CommandQueue> makeCommandQueue() override { return vk::makeCommandQueue(core_); }

    std::shared_ptr<Buffer> makeBuffer(std::size_t length) override {
        return VulkanBuffer::create(core_, length,
                                    VK_BUFFER_USAGE_STORAGE_BUFFER_BIT |
                                        VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT);
    }

    std::shared_ptr<Buffer> makeReadBackBuffer(std::size_t length) override {
        return VulkanBuffer::create(core_, length, VK_BUFFER_USAGE_TRANSFER_DST_BIT, VK_MEMORY_PROPERTY_HOST_CACHED_BIT);
    }

    std::shared_ptr<Texture> makeTexture(const TextureDescriptor& descriptor) override {
        if (descriptor.width == 0 || descriptor.height == 0 || descriptor.width > maxTextureDimension2D() ||
            descriptor.height > maxTextureDimension2D()) {
            return nullptr; // no texture of that size on this device
        }
        const bool multisample = descriptor.textureType == TextureType::type2DMultisample;
        if (toVkFormat(descriptor.pixelFormat) == VK_FORMAT_UNDEFINED) {
            throw GpuError(GpuStage::texture, "a texture needs the bgra8Unorm or depth32Float pixel format");
        }
        if (multisample != (descriptor.sampleCount > 1) || !supportsTextureSampleCount(descriptor.sampleCount)) {
            throw GpuError(GpuStage::texture, std::string(multisample ? "a multisample" : "a 2-D") + " texture with " +
                                                  std::to_string(descriptor.sampleCount) +
                                                  " samples is not offered by " + core_->name);
        }
        return VulkanTexture::create(core_, descriptor);
    }

    std::shared_ptr<DepthStencilState> makeDepthStencilState(const DepthStencilDescriptor& descriptor) override {
        return std::make_shared<VulkanDepthStencilState>(descriptor);
    }

    std::shared_ptr<Library> makeLibrary(std::string_view source,
                                         const std::vector<ShaderFunctionDescriptor>& functions) override {
        return vk::makeLibrary(core_, source, functions);
    }

    std::shared_ptr<RenderPipelineState> makeRenderPipelineState(const RenderPipelineDescriptor& descriptor) override {
        auto refuse = [&](const std::string& why) {
            throw GpuError(GpuStage::pipeline, (descriptor.label.empty() ? "a pipeline" : descriptor.label) + ": " + why);
        };
        if (!descriptor.vertexFunction || descriptor.vertexFunction->stage() != ShaderStage::vertex) {
            refuse("a render pipeline needs a vertex function");
        }
        if (!descriptor.fragmentFunction || descriptor.fragmentFunction->stage() != ShaderStage::fragment) {
            refuse("a render pipeline needs a fragment function");
        }
        if (!supportsTextureSampleCount(descriptor.rasterSampleCount)) {
            refuse("the device does not support " + std::to_string(descriptor.rasterSampleCount) +
                   " samples per pixel");
        }
        if (toVkFormat(descriptor.colorAttachments[0].pixelFormat) == VK_FORMAT_UNDEFINED ||
            descriptor.colorAttachments[0].pixelFormat == PixelFormat::depth32Float) {
            refuse("unsupported colour attachment pixel format");
        }
        if (descriptor.depthAttachmentPixelFormat != PixelFormat::invalid &&
            descriptor.depthAttachmentPixelFormat != PixelFormat::depth32Float) {
            refuse("unsupported depth attachment pixel format");
        }
        return std::make_shared<VulkanRenderPipeline>(core_, descriptor);
    }

    std::shared_ptr<Swapchain> makeSwapchain() override { return vk::makeSwapchain(core_); }

private:
    std::shared_ptr<DeviceCore> core_;
};

std::mutex defaultOptionsMutex;
DeviceOptions defaultOptions;

} // namespace
} // namespace vk

std::shared_ptr<Device> Device::systemDefault() { return systemDefault(defaultDeviceOptions()); }

std::shared_ptr<Device> Device::systemDefault(const DeviceOptions& options) {
    std::shared_ptr<vk::DeviceCore> core = vk::chooseAndCreateDevice(options);
    if (!core) return nullptr;
    vk::createSharedObjects(*core);
    return std::make_shared<vk::VulkanDevice>(std::move(core));
}

DeviceOptions defaultDeviceOptions() {
    std::lock_guard lock(vk::defaultOptionsMutex);
    return vk::defaultOptions;
}

void setDefaultDeviceOptions(DeviceOptions options) {
    std::lock_guard lock(vk::defaultOptionsMutex);
    vk::defaultOptions = std::move(options);
}

} // namespace drevik::gpu

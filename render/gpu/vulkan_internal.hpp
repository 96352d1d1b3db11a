#pragma once
// Internals of the Vulkan implementation of the GPU layer, shared by its source files only:
//   errors.cpp        GpuError, the driver's results in words, check()
//   validation.cpp    the validation layer's messages and the objects' names given to it
//   device_choice.cpp the instance, the choice of physical device and the logical device
//   device.cpp        the Device object and the objects every device shares
//   memory.cpp        device memory and CPU-written buffers
//   textures.cpp      render targets and their read-back
//   pipelines.cpp     shader modules, render passes and graphics pipelines
//   commands.cpp      command queue, command buffers, render command encoder
//   frame_resources.hpp  the reusable platform objects behind one command buffer
//   swapchain.cpp     presentation to a window
//   shader_compiler.cpp  GLSL to SPIR-V
//   disk_cache.cpp    compiled modules and pipeline caches kept on disk between runs
//   pipeline_cache.cpp   the Vulkan pipeline cache, read from and written back to the disk cache
#include "render/gpu/gpu.hpp"
#include "render/gpu/pipeline_cache.hpp"

#include <vulkan/vulkan.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

namespace drevik::gpu::vk {

// A zeroed Vulkan structure with its type tag set.
template <class T>
T vkStruct(VkStructureType type) {
    T value{};
    value.sType = type;
    return value;
}

std::string resultName(VkResult result);

// The results that mean "memory ran out": where the platform has none to give.
bool outOfMemory(VkResult result);

// Throws GpuError(stage, detail, result) unless result is VK_SUCCESS.
void check(VkResult result, GpuStage stage, const std::string& detail);

VkFormat toVkFormat(PixelFormat format);
VkCompareOp toVkCompare(CompareFunction compare);

// A number never given to another buffer or texture of the process: caches key on it, since Vulkan
// handles of destroyed objects may come back for new ones.
std::uint64_t nextObjectId();

// Keeps the record of validation messages for the whole process.
void recordValidationMessage(std::string message);

// Whether the instance has `name` among its layers.
bool hasLayer(const char* name);

// What the instance needs to report validation messages: the messenger's description, and the
// validation features asked for (synchronisation validation) chained to it.
struct ValidationSetup {
    VkDebugUtilsMessengerCreateInfoEXT messenger;
    std::array<VkValidationFeatureEnableEXT, 1> enabled;
    VkValidationFeaturesEXT features;
    ValidationSetup();
    ValidationSetup(const ValidationSetup&) = delete;
    ValidationSetup& operator=(const ValidationSetup&) = delete;
};

// The device and everything shared by the objects made from it. Destroyed after the last of them.
struct DeviceCore {
    VkInstance instance = VK_NULL_HANDLE;
    VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
    // Present with the validation layer (VK_EXT_debug_utils): names objects and marks passes.
    PFN_vkSetDebugUtilsObjectNameEXT setObjectName = nullptr;
    PFN_vkCmdInsertDebugUtilsLabelEXT insertLabel = nullptr;
    // The window surface the device presents to (DeviceOptions::makeSurface), if any.
    VkSurfaceKHR surface = VK_NULL_HANDLE;
    VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
    VkDevice device = VK_NULL_HANDLE;
    VkQueue queue = VK_NULL_HANDLE;
    std::uint32_t queueFamily = 0;
    VkPhysicalDeviceProperties properties{};
    VkPhysicalDeviceMemoryProperties memoryProperties{};
    std::string name;

    // Vulkan queues need external synchronisation.
    std::mutex queueMutex;

    VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
    VkPipelineLayout pipelineLayout = VK_NULL_HANDLE;
    // Bound where a draw's shader slots were never set, so every descriptor is valid.
    VkBuffer placeholderBuffer = VK_NULL_HANDLE;
    VkDeviceMemory placeholderMemory = VK_NULL_HANDLE;

    // Render passes by their attachment description; never evicted, so handles stay valid for the
    // pipelines built against them.
    struct PassKey {
        VkFormat colorFormat;
        VkSampleCountFlagBits samples;
        bool resolve;
        VkFormat depthFormat;
        VkAttachmentLoadOp colorLoad;
        VkAttachmentStoreOp colorStore;
        VkImageLayout colorInitial;
        VkAttachmentLoadOp depthLoad;
        VkAttachmentStoreOp depthStore;
        VkImageLayout depthInitial;
        // Where the single-sample result (the colour target at 1 sample, else the resolve target) rests
        // after the pass: ready for read-back, or for presentation when it is a drawable.
        VkImageLayout outputFinal;
        auto tie() const {
            return std::tie(colorFormat, samples, resolve, depthFormat, colorLoad, colorStore, colorInitial,
                            depthLoad, depthStore, depthInitial, outputFinal);
        }
        bool operator<(const PassKey& other) const { return tie() < other.tie(); }
    };
    std::mutex renderPassMutex;
    std::map<PassKey, VkRenderPass> renderPasses;
    VkRenderPass renderPass(const PassKey& key);

    // Compiled shader modules and pipelines kept between runs (DeviceOptions::cacheFolder).
    std::shared_ptr<const DiskCache> diskCache;
    PersistentPipelineCache pipelineCache;

    // For one-off transfers (texture read-back).
    std::mutex transferMutex;
    VkCommandPool transferPool = VK_NULL_HANDLE;

    ~DeviceCore();

    // A memory type index with all of `required` among `allowed`, or -1.
    int memoryType(std::uint32_t allowed, VkMemoryPropertyFlags required) const;
    // Allocates memory of a type with `flags`. No such type, or more than its whole heap, counts as
    // VK_ERROR_OUT_OF_DEVICE_MEMORY (asking the driver for it would be an invalid request).
    VkResult allocate(VkMemoryRequirements requirements, VkMemoryPropertyFlags flags, VkDeviceMemory& memory);

    // Gives the object its label in the validation layer's messages (nothing without the layer).
    void nameObject(VkObjectType type, std::uint64_t handle, const std::string& label) const;
    template <class Handle>
    void nameObject(VkObjectType type, Handle handle, const std::string& label) const {
        nameObject(type, reinterpret_cast<std::uint64_t>(handle), label);
    }
};

// Fills the device's instance, physical and logical device and queue as `options` ask; nullptr when
// the system has no usable device (see Device::systemDefault). Throws GpuError on other failures.
std::shared_ptr<DeviceCore> chooseAndCreateDevice(const DeviceOptions& options);

// A buffer with host-visible, coherent, persistently mapped memory.
class VulkanBuffer final : public Buffer {
public:
    VulkanBuffer(std::shared_ptr<DeviceCore> core, VkBuffer buffer, VkDeviceMemory memory, std::size_t length,
                 void* mapped);
    ~VulkanBuffer() override;
    std::size_t length() const override { return length_; }
    void* contents() override { return mapped_; }
    void setLabel(std::string label) override;
    const std::string& label() const override { return label_; }
    VkBuffer handle() const { return buffer_; }
    std::uint64_t id() const { return id_; }

    // Creates a buffer or returns nullptr when memory runs out; other failures throw GpuError.
    // `preferred` memory properties are asked for on top of host-visible and coherent, and dropped
    // when the device has no such memory.
    static std::shared_ptr<VulkanBuffer> create(const std::shared_ptr<DeviceCore>& core, std::size_t length,
                                                VkBufferUsageFlags usage, VkMemoryPropertyFlags preferred = 0);

private:
    std::shared_ptr<DeviceCore> core_;
    VkBuffer buffer_;
    VkDeviceMemory memory_;
    std::size_t length_;
    void* mapped_;
    std::uint64_t id_ = nextObjectId();
    std::string label_;
};

class VulkanTexture final : public Texture {
public:
    // A render target as described, or nullptr when memory runs out; other failures throw GpuError.
    static std::shared_ptr<VulkanTexture> create(const std::shared_ptr<DeviceCore>& core,
                                                 const TextureDescriptor& descriptor);
    // Takes ownership of an image and its memory (use create).
    VulkanTexture(std::shared_ptr<DeviceCore> core, const TextureDescriptor& descriptor, VkImage image,
                  VkDeviceMemory memory, VkImageView view);
    // A swapchain image: the texture makes only its view; `owner` keeps the swapchain alive meanwhile.
    VulkanTexture(std::shared_ptr<DeviceCore> core, const TextureDescriptor& descriptor, VkImage image,
                  std::shared_ptr<const void> owner);
    ~VulkanTexture() override;
    std::size_t width() const override { return descriptor_.width; }
    std::size_t height() const override { return descriptor_.height; }
    PixelFormat pixelFormat() const override { return descriptor_.pixelFormat; }
    TextureType textureType() const override { return descriptor_.textureType; }
    std::size_t sampleCount() const override { return descriptor_.sampleCount; }
    const std::string& label() const override { return descriptor_.label; }
    void getBytes(void* bytes, std::size_t bytesPerRow, Region region, std::size_t mipmapLevel) override;

    bool isDepth() const { return descriptor_.pixelFormat == PixelFormat::depth32Float; }
    bool isDrawable() const { return owner_ != nullptr; }
    VkImage image() const { return image_; }
    VkImageView view() const { return view_; }
    std::uint64_t id() const { return id_; }
    // The layout the texture is left in after every render pass.
    VkImageLayout restingLayout() const;
    // False until a render pass has written the texture: its contents are undefined before.
    std::atomic<bool> written{false};

private:
    std::shared_ptr<DeviceCore> core_;
    TextureDescriptor descriptor_;
    VkImage image_ = VK_NULL_HANDLE;
    VkDeviceMemory memory_ = VK_NULL_HANDLE;
    VkImageView view_ = VK_NULL_HANDLE;
    std::uint64_t id_ = nextObjectId();
    std::mutex readMutex_;
    std::shared_ptr<VulkanBuffer> staging_;
    std::shared_ptr<const void> owner_;
};

// Records the copy of a region of a single-sample colour texture (after its render passes) into the
// buffer from offset 0, rows tightly packed, and the barrier that makes it visible to the host; a
// texture no pass has written gives zeros. The caller has checked that everything fits.
void recordCopyToBuffer(VkCommandBuffer commands, const VulkanTexture& texture, Region region,
                        const VulkanBuffer& buffer);

// One VkSwapchainKHR with a semaphore per image that its presentation waits on. Destroyed when the
// swapchain has been replaced (or dropped) and the last of its drawables is gone.
struct SwapchainHandle {
    std::shared_ptr<DeviceCore> core;
    VkSwapchainKHR handle = VK_NULL_HANDLE;
    std::vector<VkSemaphore> renderedSemaphores;
    // Whether its images can be cleared by a copy command (for a drawable no pass has drawn).
    bool clearable = false;
    // Acquire semaphores of drawables that were never presented; they may still be signalled.
    std::mutex mutex;
    std::vector<VkSemaphore> abandoned;
    ~SwapchainHandle();
};

// Acquire semaphores, reused once the command buffer that waited on one has completed.
struct SemaphorePool {
    std::shared_ptr<DeviceCore> core;
    std::mutex mutex;
    std::vector<VkSemaphore> free;
    VkSemaphore take();
    void give(VkSemaphore semaphore);
    ~SemaphorePool();
};

class VulkanDrawable final : public Drawable {
public:
    VulkanDrawable(std::shared_ptr<VulkanTexture> texture, std::shared_ptr<SwapchainHandle> swapchain,
                   std::uint32_t imageIndex, VkSemaphore acquired, std::shared_ptr<SemaphorePool> semaphores,
                   std::shared_ptr<std::atomic<bool>> outOfDate);
    ~VulkanDrawable() override;
    VulkanDrawable(const VulkanDrawable&) = delete;
    VulkanDrawable& operator=(const VulkanDrawable&) = delete;
    const std::shared_ptr<Texture>& texture() const override { return texture_; }

    const VulkanTexture& image() const { return *image_; }
    VkSwapchainKHR swapchain() const { return swapchain_->handle; }
    std::uint32_t imageIndex() const { return imageIndex_; }
    VkSemaphore acquired() const { return acquired_; }
    VkSemaphore rendered() const { return swapchain_->renderedSemaphores[imageIndex_]; }
    bool clearable() const { return swapchain_->clearable; }
    // The swapchain must be remade before the next drawable.
    void markOutOfDate() const { outOfDate_->store(true); }
    // Set once a submitted batch waits on `acquired`: from then on the drawable belongs to the queue.
    std::atomic<bool> submitted{false};

private:
    std::shared_ptr<VulkanTexture> image_;
    std::shared_ptr<Texture> texture_;
    std::shared_ptr<SwapchainHandle> swapchain_;
    std::uint32_t imageIndex_;
    VkSemaphore acquired_;
    std::shared_ptr<SemaphorePool> semaphores_;
    std::shared_ptr<std::atomic<bool>> outOfDate_;
};

// The swapchain of the device's surface; nullptr when it has none or it cannot take bgra8Unorm targets.
std::shared_ptr<Swapchain> makeSwapchain(const std::shared_ptr<DeviceCore>& core);

class VulkanFunction final : public Function {
public:
    VulkanFunction(std::shared_ptr<DeviceCore> core, std::string name, ShaderStage stage,
                   const std::vector<std::uint32_t>& spirv);
    ~VulkanFunction() override;
    const std::string& name() const override { return name_; }
    ShaderStage stage() const override { return stage_; }
    VkShaderModule module() const { return module_; }

private:
    std::shared_ptr<DeviceCore> core_;
    std::string name_;
    ShaderStage stage_;
    VkShaderModule module_ = VK_NULL_HANDLE;
};

class VulkanDepthStencilState final : public DepthStencilState {
public:
    explicit VulkanDepthStencilState(DepthStencilDescriptor descriptor) : descriptor_(std::move(descriptor)) {}
    const std::string& label() const override { return descriptor_.label; }
    CompareFunction depthCompareFunction() const override { return descriptor_.depthCompareFunction; }
    bool depthWriteEnabled() const override { return descriptor_.depthWriteEnabled; }

private:
    DepthStencilDescriptor descriptor_;
};

// The render pass every pipeline of these formats and sample count is built against. A pipeline
// built against it serves every render pass of the same attachments, whatever their load and store
// actions and layouts (Vulkan's render pass compatibility).
VkRenderPass compatibleRenderPass(DeviceCore& core, VkFormat color, VkSampleCountFlagBits samples, bool resolve,
                                  VkFormat depth);

// Builds one graphics pipeline. The single place pipelines are made; `cache` is VK_NULL_HANDLE
// until the device keeps a pipeline cache. Throws GpuError (stage pipeline) with the driver's result.
VkPipeline createGraphicsPipeline(DeviceCore& core, const RenderPipelineDescriptor& descriptor, VkRenderPass pass,
                                  CompareFunction compare, bool depthWrite, VkPipelineCache cache);

// A pipeline description plus the platform pipelines built from it, one per (resolve, depth test).
class VulkanRenderPipeline final : public RenderPipelineState {
public:
    VulkanRenderPipeline(std::shared_ptr<DeviceCore> core, RenderPipelineDescriptor descriptor);
    ~VulkanRenderPipeline() override;
    const std::string& label() const override { return descriptor_.label; }
    void prepare(const DepthStencilState& state) override;
    const RenderPipelineDescriptor& descriptor() const { return descriptor_; }

    // The pipeline for render passes of the descriptor's colour format and sample count, resolving or
    // not, with `depth` as their depth attachment's format (VK_FORMAT_UNDEFINED: none) and this depth
    // test; created on first use and cached.
    VkPipeline variant(bool resolve, VkFormat depth, CompareFunction compare, bool depthWrite);

private:
    std::shared_ptr<DeviceCore> core_;
    RenderPipelineDescriptor descriptor_;
    std::mutex mutex_;
    std::map<std::tuple<bool, VkFormat, CompareFunction, bool>, VkPipeline> variants_;
};

// Compiles the shader source into one SPIR-V module per function (see makeLibrary).
struct CompiledFunction {
    std::string name;
    ShaderStage stage;
    bool present = false;
    std::vector<std::uint32_t> spirv;
};
// With a disk cache, modules compiled before for the same source, compiler and device are read from
// it instead, and new ones are stored there.
std::vector<CompiledFunction> compileShaderFunctions(std::string_view source,
                                                     const std::vector<ShaderFunctionDescriptor>& functions,
                                                     const DiskCache* cache = nullptr,
                                                     std::string_view deviceIdentity = {});
// How many modules the shader compiler has compiled in this process (not those read from a disk cache).
std::uint64_t shaderCompilationCount();

// The library of the functions the source defines (one shader module each).
std::shared_ptr<Library> makeLibrary(const std::shared_ptr<DeviceCore>& core, std::string_view source,
                                     const std::vector<ShaderFunctionDescriptor>& functions);

// The device to use among those enumerated: the first usable discrete GPU, else integrated, else any
// other GPU, else a CPU implementation; none when nothing is usable.
std::optional<std::size_t> preferredDevice(const std::vector<VkPhysicalDeviceType>& types,
                                           const std::vector<bool>& usable);

// A new queue, or nullptr when memory runs out; other failures throw GpuError.
std::shared_ptr<CommandQueue> makeCommandQueue(const std::shared_ptr<DeviceCore>& core);

} // namespace drevik::gpu::vk

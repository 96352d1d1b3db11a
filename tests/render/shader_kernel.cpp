// A minimal Vulkan compute harness that runs the line program's own functions on the GPU (lavapipe
// in CI): the kernel is the embedded program source itself followed by a small test main().
#include "tests/render/shader_kernel.hpp"

#include "render/shader_includes.hpp"
#include "render/shader_source.hpp"

#include <shaderc/shaderc.h>
#include <vulkan/vulkan.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>

namespace drevik::testing {
namespace {

// Owns one Vulkan handle and runs its destroy call once.
template <typename Handle>
class Owned {
public:
    Owned() = default;
    Owned(Handle handle, std::function<void(Handle)> destroy) : handle_(handle), destroy_(std::move(destroy)) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})), destroy_(std::move(other.destroy_)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, Handle{});
            destroy_ = std::move(other.destroy_);
        }
        return *this;
    }
    ~Owned() { reset(); }
    Handle get() const { return handle_; }
    void reset() {
        if (handle_ != Handle{} && destroy_) {
            destroy_(handle_);
        }
        handle_ = Handle{};
    }

private:
    Handle handle_{};
    std::function<void(Handle)> destroy_;
};

void check(VkResult result, const char* what) {
    if (result != VK_SUCCESS) {
        throw std::runtime_error(std::string(what) + " failed with VkResult " + std::to_string(static_cast<int>(result)));
    }
}

VKAPI_ATTR VkBool32 VKAPI_CALL recordMessage(VkDebugUtilsMessageSeverityFlagBitsEXT,
                                             VkDebugUtilsMessageTypeFlagsEXT,
                                             const VkDebugUtilsMessengerCallbackDataEXT* data, void* user) {
    auto* messages = static_cast<std::vector<std::string>*>(user);
    messages->emplace_back(data != nullptr && data->pMessage != nullptr ? data->pMessage : "(no text)");
    return VK_FALSE;
}

// The program exactly as the renderer compiles it: the text embedded at build time.
std::string readProgramSource() {
    std::string source(lineShaderSource());
    if (source.empty()) {
        throw std::runtime_error("the embedded line program is empty");
    }
    return source;
}

std::vector<std::uint32_t> compileCompute(const std::string& source) {
    shaderc_compiler_t compiler = shaderc_compiler_initialize();
    shaderc_compile_options_t options = shaderc_compile_options_initialize();
    shaderc_compile_options_set_target_env(options, shaderc_target_env_vulkan, shaderc_env_version_vulkan_1_1);
    resolveEmbeddedShaderIncludes(options);
    shaderc_compilation_result_t result = shaderc_compile_into_spv(
        compiler, source.data(), source.size(), shaderc_glsl_compute_shader, "line_kernel.comp", "main", options);
    std::vector<std::uint32_t> words;
    std::string error;
    if (shaderc_result_get_compilation_status(result) == shaderc_compilation_status_success) {
        words.resize(shaderc_result_get_length(result) / sizeof(std::uint32_t));
        std::memcpy(words.data(), shaderc_result_get_bytes(result), words.size() * sizeof(std::uint32_t));
    } else {
        error = shaderc_result_get_error_message(result);
    }
    shaderc_result_release(result);
    shaderc_compile_options_release(options);
    shaderc_compiler_release(compiler);
    if (words.empty()) {
        throw std::runtime_error("kernel does not compile: " + error);
    }
    return words;
}

} // namespace

struct ShaderKernelRunner::State {
    std::vector<std::string> messages;
    Owned<VkInstance> instance;
    Owned<VkDebugUtilsMessengerEXT> messenger;
    VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
    Owned<VkDevice> device;
    VkQueue queue = VK_NULL_HANDLE;
    std::uint32_t queueFamily = 0;
    std::string programSource;
};

ShaderKernelRunner::ShaderKernelRunner() : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.programSource = readProgramSource();

    VkApplicationInfo app{};
    app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    app.pApplicationName = "drevik shader tests";
    app.apiVersion = VK_API_VERSION_1_1;

    VkDebugUtilsMessengerCreateInfoEXT messengerInfo{};
    messengerInfo.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
    messengerInfo.messageSeverity =
        VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
    messengerInfo.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                                VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                                VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
    messengerInfo.pfnUserCallback = recordMessage;
    messengerInfo.pUserData = &s.messages;

    const char* layers[] = {"VK_LAYER_KHRONOS_validation"};
    const char* extensions[] = {VK_EXT_DEBUG_UTILS_EXTENSION_NAME};
    VkInstanceCreateInfo instanceInfo{};
    instanceInfo.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    instanceInfo.pNext = &messengerInfo;
    instanceInfo.pApplicationInfo = &app;
    instanceInfo.enabledLayerCount = 1;
    instanceInfo.ppEnabledLayerNames = layers;
    instanceInfo.enabledExtensionCount = 1;
    instanceInfo.ppEnabledExtensionNames = extensions;
    VkInstance instance = VK_NULL_HANDLE;
    check(vkCreateInstance(&instanceInfo, nullptr, &instance), "vkCreateInstance with the validation layer");
    s.instance = Owned<VkInstance>(instance, [](VkInstance i) { vkDestroyInstance(i, nullptr); });

    auto createMessenger = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance, "vkCreateDebugUtilsMessengerEXT"));
    auto destroyMessenger = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
    if (createMessenger == nullptr || destroyMessenger == nullptr) {
        throw std::runtime_error("the debug utils messenger is unavailable");
    }
    VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
    check(createMessenger(instance, &messengerInfo, nullptr, &messenger), "vkCreateDebugUtilsMessengerEXT");
    s.messenger = Owned<VkDebugUtilsMessengerEXT>(
        messenger, [instance, destroyMessenger](VkDebugUtilsMessengerEXT m) { destroyMessenger(instance, m, nullptr); });

    // The CPU implementation first, so results do not depend on the machine's GPU.
    std::uint32_t count = 0;
    check(vkEnumeratePhysicalDevices(instance, &count, nullptr), "vkEnumeratePhysicalDevices");
    std::vector<VkPhysicalDevice> devices(count);
    check(vkEnumeratePhysicalDevices(instance, &count, devices.data()), "vkEnumeratePhysicalDevices");
    if (devices.empty()) {
        throw std::runtime_error("no Vulkan device");
    }
    s.physicalDevice = devices.front();
    for (VkPhysicalDevice candidate : devices) {
        VkPhysicalDeviceProperties properties{};
        vkGetPhysicalDeviceProperties(candidate, &properties);
        if (properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU) {
            s.physicalDevice = candidate;
            break;
        }
    }

    std::uint32_t familyCount = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(s.physicalDevice, &familyCount, nullptr);
    std::vector<VkQueueFamilyProperties> families(familyCount);
    vkGetPhysicalDeviceQueueFamilyProperties(s.physicalDevice, &familyCount, families.data());
    bool found = false;
    for (std::uint32_t i = 0; i < familyCount; ++i) {
        if ((families[i].queueFlags & VK_QUEUE_COMPUTE_BIT) != 0) {
            s.queueFamily = i;
            found = true;
            break;
        }
    }
    if (!found) {
        throw std::runtime_error("no compute queue");
    }

    float priority = 1.0f;
    VkDeviceQueueCreateInfo queueInfo{};
    queueInfo.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
    queueInfo.queueFamilyIndex = s.queueFamily;
    queueInfo.queueCount = 1;
    queueInfo.pQueuePriorities = &priority;
    VkDeviceCreateInfo deviceInfo{};
    deviceInfo.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
    deviceInfo.queueCreateInfoCount = 1;
    deviceInfo.pQueueCreateInfos = &queueInfo;
    VkDevice device = VK_NULL_HANDLE;
    check(vkCreateDevice(s.physicalDevice, &deviceInfo, nullptr, &device), "vkCreateDevice");
    s.device = Owned<VkDevice>(device, [](VkDevice d) { vkDestroyDevice(d, nullptr); });
    vkGetDeviceQueue(device, s.queueFamily, 0, &s.queue);
}

ShaderKernelRunner::~ShaderKernelRunner() = default;

std::vector<std::string> ShaderKernelRunner::takeValidationMessages() {
    return std::exchange(state_->messages, {});
}

std::vector<float> ShaderKernelRunner::run(std::string_view kernel, const KernelUniforms& uniforms,
                                           const std::vector<KernelStroke>& strokes, std::size_t resultCount) {
    State& s = *state_;
    VkDevice device = s.device.get();

    std::string source = "#version 450\n#define DREVIK_COMPUTE_STAGE\n";
    source += s.programSource;
    source += "\nlayout(local_size_x = 1) in;\n"
              "layout(std430, set = 0, binding = 2) buffer KernelResults { float results[]; };\n";
    source += kernel;
    std::vector<std::uint32_t> words = compileCompute(source);

    // Host-visible buffers: 0 strokes (at least one record), 1 uniforms, 2 results.
    VkPhysicalDeviceMemoryProperties memory{};
    vkGetPhysicalDeviceMemoryProperties(s.physicalDevice, &memory);
    struct HostBuffer {
        Owned<VkBuffer> buffer;
        Owned<VkDeviceMemory> memory;
        VkDeviceSize size = 0;
    };
    auto makeBuffer = [&](VkDeviceSize size, VkBufferUsageFlags usage, const void* data) {
        HostBuffer b;
        b.size = size;
        VkBufferCreateInfo info{};
        info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
        info.size = size;
        info.usage = usage;
        info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
        VkBuffer buffer = VK_NULL_HANDLE;
        check(vkCreateBuffer(device, &info, nullptr, &buffer), "vkCreateBuffer");
        b.buffer = Owned<VkBuffer>(buffer, [device](VkBuffer x) { vkDestroyBuffer(device, x, nullptr); });
        VkMemoryRequirements requirements{};
        vkGetBufferMemoryRequirements(device, buffer, &requirements);
        const VkMemoryPropertyFlags wanted = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
        std::uint32_t type = memory.memoryTypeCount;
        for (std::uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
            if ((requirements.memoryTypeBits & (1u << i)) != 0 && (memory.memoryTypes[i].propertyFlags & wanted) == wanted) {
                type = i;
                break;
            }
        }
        if (type == memory.memoryTypeCount) {
            throw std::runtime_error("no host-visible memory");
        }
        VkMemoryAllocateInfo allocation{};
        allocation.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
        allocation.allocationSize = requirements.size;
        allocation.memoryTypeIndex = type;
        VkDeviceMemory deviceMemory = VK_NULL_HANDLE;
        check(vkAllocateMemory(device, &allocation, nullptr, &deviceMemory), "vkAllocateMemory");
        b.memory = Owned<VkDeviceMemory>(deviceMemory, [device](VkDeviceMemory x) { vkFreeMemory(device, x, nullptr); });
        check(vkBindBufferMemory(device, buffer, deviceMemory, 0), "vkBindBufferMemory");
        void* mapped = nullptr;
        check(vkMapMemory(device, deviceMemory, 0, size, 0, &mapped), "vkMapMemory");
        if (data != nullptr) {
            std::memcpy(mapped, data, static_cast<std::size_t>(size));
        } else {
            std::memset(mapped, 0, static_cast<std::size_t>(size));
        }
        vkUnmapMemory(device, deviceMemory);
        return b;
    };

    std::vector<KernelStroke> records = strokes;
    if (records.empty()) {
        records.push_back(KernelStroke{});
    }
    HostBuffer strokeBuffer = makeBuffer(records.size() * sizeof(KernelStroke), VK_BUFFER_USAGE_STORAGE_BUFFER_BIT,
                                         records.data());
    HostBuffer uniformBuffer = makeBuffer(sizeof(KernelUniforms), VK_BUFFER_USAGE_STORAGE_BUFFER_BIT, &uniforms);
    HostBuffer resultBuffer = makeBuffer(std::max<std::size_t>(resultCount, 1) * sizeof(float),
                                         VK_BUFFER_USAGE_STORAGE_BUFFER_BIT, nullptr);

    VkDescriptorSetLayoutBinding bindings[3]{};
    const VkDescriptorType types[3] = {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER,
                                       VK_DESCRIPTOR_TYPE_STORAGE_BUFFER};
    for (std::uint32_t i = 0; i < 3; ++i) {
        bindings[i].binding = i;
        bindings[i].descriptorType = types[i];
        bindings[i].descriptorCount = 1;
        bindings[i].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    }
    VkDescriptorSetLayoutCreateInfo layoutInfo{};
    layoutInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
    layoutInfo.bindingCount = 3;
    layoutInfo.pBindings = bindings;
    VkDescriptorSetLayout setLayoutHandle = VK_NULL_HANDLE;
    check(vkCreateDescriptorSetLayout(device, &layoutInfo, nullptr, &setLayoutHandle), "vkCreateDescriptorSetLayout");
    Owned<VkDescriptorSetLayout> setLayout(
        setLayoutHandle, [device](VkDescriptorSetLayout x) { vkDestroyDescriptorSetLayout(device, x, nullptr); });

    VkPipelineLayoutCreateInfo pipelineLayoutInfo{};
    pipelineLayoutInfo.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    pipelineLayoutInfo.setLayoutCount = 1;
    pipelineLayoutInfo.pSetLayouts = &setLayoutHandle;
    VkPipelineLayout pipelineLayoutHandle = VK_NULL_HANDLE;
    check(vkCreatePipelineLayout(device, &pipelineLayoutInfo, nullptr, &pipelineLayoutHandle), "vkCreatePipelineLayout");
    Owned<VkPipelineLayout> pipelineLayout(
        pipelineLayoutHandle, [device](VkPipelineLayout x) { vkDestroyPipelineLayout(device, x, nullptr); });

    VkShaderModuleCreateInfo moduleInfo{};
    moduleInfo.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    moduleInfo.codeSize = words.size() * sizeof(std::uint32_t);
    moduleInfo.pCode = words.data();
    VkShaderModule moduleHandle = VK_NULL_HANDLE;
    check(vkCreateShaderModule(device, &moduleInfo, nullptr, &moduleHandle), "vkCreateShaderModule");
    Owned<VkShaderModule> shaderModule(moduleHandle, [device](VkShaderModule x) { vkDestroyShaderModule(device, x, nullptr); });

    VkComputePipelineCreateInfo pipelineInfo{};
    pipelineInfo.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    pipelineInfo.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    pipelineInfo.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    pipelineInfo.stage.module = moduleHandle;
    pipelineInfo.stage.pName = "main";
    pipelineInfo.layout = pipelineLayoutHandle;
    VkPipeline pipelineHandle = VK_NULL_HANDLE;
    check(vkCreateComputePipelines(device, VK_NULL_HANDLE, 1, &pipelineInfo, nullptr, &pipelineHandle),
          "vkCreateComputePipelines");
    Owned<VkPipeline> pipeline(pipelineHandle, [device](VkPipeline x) { vkDestroyPipeline(device, x, nullptr); });

    VkDescriptorPoolSize poolSizes[1] = {{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 3}};
    VkDescriptorPoolCreateInfo poolInfo{};
    poolInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
    poolInfo.maxSets = 1;
    poolInfo.poolSizeCount = 1;
    poolInfo.pPoolSizes = poolSizes;
    VkDescriptorPool poolHandle = VK_NULL_HANDLE;
    check(vkCreateDescriptorPool(device, &poolInfo, nullptr, &poolHandle), "vkCreateDescriptorPool");
    Owned<VkDescriptorPool> pool(poolHandle, [device](VkDescriptorPool x) { vkDestroyDescriptorPool(device, x, nullptr); });

    VkDescriptorSetAllocateInfo setInfo{};
    setInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
    setInfo.descriptorPool = poolHandle;
    setInfo.descriptorSetCount = 1;
    setInfo.pSetLayouts = &setLayoutHandle;
    VkDescriptorSet set = VK_NULL_HANDLE;
    check(vkAllocateDescriptorSets(device, &setInfo, &set), "vkAllocateDescriptorSets");

    VkDescriptorBufferInfo bufferInfos[3] = {{strokeBuffer.buffer.get(), 0, VK_WHOLE_SIZE},
                                             {uniformBuffer.buffer.get(), 0, VK_WHOLE_SIZE},
                                             {resultBuffer.buffer.get(), 0, VK_WHOLE_SIZE}};
    VkWriteDescriptorSet writes[3]{};
    for (std::uint32_t i = 0; i < 3; ++i) {
        writes[i].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        writes[i].dstSet = set;
        writes[i].dstBinding = i;
        writes[i].descriptorCount = 1;
        writes[i].descriptorType = types[i];
        writes[i].pBufferInfo = &bufferInfos[i];
    }
    vkUpdateDescriptorSets(device, 3, writes, 0, nullptr);

    VkCommandPoolCreateInfo commandPoolInfo{};
    commandPoolInfo.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    commandPoolInfo.queueFamilyIndex = s.queueFamily;
    VkCommandPool commandPoolHandle = VK_NULL_HANDLE;
    check(vkCreateCommandPool(device, &commandPoolInfo, nullptr, &commandPoolHandle), "vkCreateCommandPool");
    Owned<VkCommandPool> commandPool(commandPoolHandle, [device](VkCommandPool x) { vkDestroyCommandPool(device, x, nullptr); });

    VkCommandBufferAllocateInfo commandInfo{};
    commandInfo.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    commandInfo.commandPool = commandPoolHandle;
    commandInfo.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    commandInfo.commandBufferCount = 1;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    check(vkAllocateCommandBuffers(device, &commandInfo, &commands), "vkAllocateCommandBuffers");

    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    check(vkBeginCommandBuffer(commands, &begin), "vkBeginCommandBuffer");
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipelineHandle);
    vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipelineLayoutHandle, 0, 1, &set, 0, nullptr);
    vkCmdDispatch(commands, 1, 1, 1);
    VkMemoryBarrier barrier{};
    barrier.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    barrier.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT;
    barrier.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &barrier, 0,
                         nullptr, 0, nullptr);
    check(vkEndCommandBuffer(commands), "vkEndCommandBuffer");

    VkFenceCreateInfo fenceInfo{};
    fenceInfo.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    VkFence fenceHandle = VK_NULL_HANDLE;
    check(vkCreateFence(device, &fenceInfo, nullptr, &fenceHandle), "vkCreateFence");
    Owned<VkFence> fence(fenceHandle, [device](VkFence x) { vkDestroyFence(device, x, nullptr); });

    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands;
    check(vkQueueSubmit(s.queue, 1, &submit, fenceHandle), "vkQueueSubmit");
    check(vkWaitForFences(device, 1, &fenceHandle, VK_TRUE, UINT64_MAX), "vkWaitForFences");

    std::vector<float> results(resultCount);
    void* mapped = nullptr;
    check(vkMapMemory(device, resultBuffer.memory.get(), 0, resultBuffer.size, 0, &mapped), "vkMapMemory");
    std::memcpy(results.data(), mapped, resultCount * sizeof(float));
    vkUnmapMemory(device, resultBuffer.memory.get());
    return results;
}

ShaderKernelRunner& ShaderKernelRunner::shared() {
    static ShaderKernelRunner runner;
    return runner;
}

KernelUniforms KernelUniforms::home(float width, float height) {
    KernelUniforms u{};
    u.viewportTime = {width, height, 0.0f, 0.0f};
    u.dynamics = {0.0f, 0.0f, 1.0f, static_cast<float>(shader::roleCount)};
    u.model = {0.5f, 0.5f, 1.0f, 1.0f};
    u.axis = {1.0f, 0.0f, 0.0f, 0.0f};
    u.camera = {0.0f, 0.0f, -3.2f, 0.0f};
    u.targetNear = {0.0f, 0.0f, 0.0f, 0.05f};
    u.projection = {16.0f, 3.2f, 0.0f, 0.0f};
    return u;
}

} // namespace drevik::testing

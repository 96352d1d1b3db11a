// Device choice: the Vulkan instance (with the validation layer when asked), the ranking of the
// system's physical devices, and the logical device with its one graphics queue.
//
// "No device" (nullptr) is kept for what the system genuinely lacks: a Vulkan 1.1 loader, a driver,
// a device that can draw (and present to the caller's surface). Everything else that fails is a
// GpuError naming the stage, what was asked and the driver's result.
#include "render/gpu/vulkan_internal.hpp"

#include <algorithm>
#include <cstring>

namespace drevik::gpu::vk {

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

bool formatSupports(VkPhysicalDevice device, VkFormat format, VkFormatFeatureFlags features) {
    VkFormatProperties properties;
    vkGetPhysicalDeviceFormatProperties(device, format, &properties);
    return (properties.optimalTilingFeatures & features) == features;
}

bool hasDeviceExtension(VkPhysicalDevice device, const char* name) {
    std::uint32_t count = 0;
    if (vkEnumerateDeviceExtensionProperties(device, nullptr, &count, nullptr) != VK_SUCCESS) return false;
    std::vector<VkExtensionProperties> extensions(count);
    if (vkEnumerateDeviceExtensionProperties(device, nullptr, &count, extensions.data()) < 0) return false;
    extensions.resize(count);
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

std::string joined(const std::vector<const char*>& names) {
    std::string text;
    for (const char* name : names) text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "none" : text;
}

// Creates core.instance (and its messenger with validation); false when the system has no driver.
bool createInstance(DeviceCore& core, const DeviceOptions& options) {
    std::uint32_t loaderVersion = VK_API_VERSION_1_0;
    if (vkEnumerateInstanceVersion(&loaderVersion) != VK_SUCCESS || loaderVersion < VK_API_VERSION_1_1) {
        return false; // a Vulkan 1.0 loader: no device this layer can use
    }
    auto app = vkStruct<VkApplicationInfo>(VK_STRUCTURE_TYPE_APPLICATION_INFO);
    app.pApplicationName = "Drevik";
    app.applicationVersion = 1;
    app.pEngineName = "Drevik";
    app.engineVersion = 1;
    app.apiVersion = VK_API_VERSION_1_1;

    std::vector<const char*> layers;
    std::vector<const char*> extensions;
    ValidationSetup validation;
    auto info = vkStruct<VkInstanceCreateInfo>(VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO);
    info.pApplicationInfo = &app;
    bool validating = false;
    if (options.validation) {
        if (!hasLayer("VK_LAYER_KHRONOS_validation")) {
            recordValidationMessage("validation was requested but VK_LAYER_KHRONOS_validation is not installed");
        } else {
            layers.push_back("VK_LAYER_KHRONOS_validation");
            extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
            info.pNext = &validation.features;
            validating = true;
        }
    }
    for (const std::string& extension : options.instanceExtensions) {
        extensions.push_back(extension.c_str());
    }
    info.enabledLayerCount = static_cast<std::uint32_t>(layers.size());
    info.ppEnabledLayerNames = layers.data();
    info.enabledExtensionCount = static_cast<std::uint32_t>(extensions.size());
    info.ppEnabledExtensionNames = extensions.data();
    const VkResult created = vkCreateInstance(&info, nullptr, &core.instance);
    if (created != VK_SUCCESS) {
        core.instance = VK_NULL_HANDLE;
        if (created == VK_ERROR_INCOMPATIBLE_DRIVER) return false; // no driver on this system
        throw GpuError(GpuStage::instance,
                       "Vulkan 1.1 with layers " + joined(layers) + " and extensions " + joined(extensions),
                       created);
    }
    if (validating) {
        auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
            vkGetInstanceProcAddr(core.instance, "vkCreateDebugUtilsMessengerEXT"));
        const VkResult made = create ? create(core.instance, &validation.messenger, nullptr, &core.messenger)
                                     : VK_ERROR_EXTENSION_NOT_PRESENT;
        if (made != VK_SUCCESS) {
            core.messenger = VK_NULL_HANDLE;
            recordValidationMessage("the validation messenger could not be created: " + resultName(made));
        }
        core.setObjectName = reinterpret_cast<PFN_vkSetDebugUtilsObjectNameEXT>(
            vkGetInstanceProcAddr(core.instance, "vkSetDebugUtilsObjectNameEXT"));
        core.insertLabel = reinterpret_cast<PFN_vkCmdInsertDebugUtilsLabelEXT>(
            vkGetInstanceProcAddr(core.instance, "vkCmdInsertDebugUtilsLabelEXT"));
    }
    return true;
}

// Picks core.physicalDevice and its queue family; false when no device is usable.
bool choosePhysicalDevice(DeviceCore& core) {
    std::uint32_t count = 0;
    check(vkEnumeratePhysicalDevices(core.instance, &count, nullptr), GpuStage::deviceChoice,
          "vkEnumeratePhysicalDevices");
    if (count == 0) return false;
    std::vector<VkPhysicalDevice> devices(count);
    const VkResult listed = vkEnumeratePhysicalDevices(core.instance, &count, devices.data());
    if (listed < 0) throw GpuError(GpuStage::deviceChoice, "vkEnumeratePhysicalDevices", listed);
    devices.resize(count);
    std::vector<VkPhysicalDeviceType> types;
    std::vector<int> families;
    std::vector<bool> usable;
    for (VkPhysicalDevice candidate : devices) {
        VkPhysicalDeviceProperties properties;
        vkGetPhysicalDeviceProperties(candidate, &properties);
        types.push_back(properties.deviceType);
        families.push_back(graphicsQueueFamily(candidate, core.surface));
        usable.push_back(families.back() >= 0);
    }
    const std::optional<std::size_t> best = preferredDevice(types, usable);
    if (!best) return false;
    core.physicalDevice = devices[*best];
    core.queueFamily = static_cast<std::uint32_t>(families[*best]);
    vkGetPhysicalDeviceProperties(core.physicalDevice, &core.properties);
    vkGetPhysicalDeviceMemoryProperties(core.physicalDevice, &core.memoryProperties);
    core.name = core.properties.deviceName;
    return true;
}

void createLogicalDevice(DeviceCore& core) {
    float priority = 1.0f;
    auto queueInfo = vkStruct<VkDeviceQueueCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO);
    queueInfo.queueFamilyIndex = core.queueFamily;
    queueInfo.queueCount = 1;
    queueInfo.pQueuePriorities = &priority;
    auto deviceInfo = vkStruct<VkDeviceCreateInfo>(VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO);
    deviceInfo.queueCreateInfoCount = 1;
    deviceInfo.pQueueCreateInfos = &queueInfo;
    const char* swapchainExtension = VK_KHR_SWAPCHAIN_EXTENSION_NAME;
    if (core.surface) {
        deviceInfo.enabledExtensionCount = 1;
        deviceInfo.ppEnabledExtensionNames = &swapchainExtension;
    }
    const VkResult created = vkCreateDevice(core.physicalDevice, &deviceInfo, nullptr, &core.device);
    if (created != VK_SUCCESS) {
        core.device = VK_NULL_HANDLE;
        throw GpuError(GpuStage::deviceCreation,
                       "vkCreateDevice on " + core.name + " (queue family " + std::to_string(core.queueFamily) +
                           (core.surface ? ", with swapchains)" : ")"),
                       created);
    }
    vkGetDeviceQueue(core.device, core.queueFamily, 0, &core.queue);
}

} // namespace

std::shared_ptr<DeviceCore> chooseAndCreateDevice(const DeviceOptions& options) {
    auto core = std::make_shared<DeviceCore>();
    if (!createInstance(*core, options)) return nullptr;
    if (options.makeSurface) {
        const NativeSurface surface = options.makeSurface(core->instance);
        if (surface == 0) return nullptr; // the caller's window gives no surface: nothing can present to it
        core->surface = reinterpret_cast<VkSurfaceKHR>(surface);
    }
    if (!choosePhysicalDevice(*core)) return nullptr;
    createLogicalDevice(*core);
    core->diskCache = std::make_shared<const DiskCache>(options.cacheFolder);
    core->pipelineCache.open(core->device, core->properties, core->diskCache);
    return core;
}

} // namespace drevik::gpu::vk

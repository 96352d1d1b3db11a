// The validation layer's side of the GPU layer: its messages, recorded for the whole process and taken
// by tests, and the labels given to Vulkan objects so that those messages name them.
#include "render/gpu/vulkan_internal.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace drevik::gpu {
namespace vk {
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

void recordValidationMessage(std::string message) {
    // The layer of this Debian release wrongly rejects `invariant gl_Position` (the module is valid).
    if (message.find("SpvDecorationInvariant") != std::string::npos) {
        return;
    }
    std::lock_guard lock(validationMutex);
    validationLog.push_back(std::move(message));
}

bool hasLayer(const char* name) {
    std::uint32_t count = 0;
    if (vkEnumerateInstanceLayerProperties(&count, nullptr) != VK_SUCCESS) return false;
    std::vector<VkLayerProperties> layers(count);
    if (vkEnumerateInstanceLayerProperties(&count, layers.data()) < 0) return false;
    layers.resize(count);
    return std::any_of(layers.begin(), layers.end(),
                       [&](const VkLayerProperties& layer) { return std::strcmp(layer.layerName, name) == 0; });
}

ValidationSetup::ValidationSetup()
    : messenger(vkStruct<VkDebugUtilsMessengerCreateInfoEXT>(VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT)),
      enabled{VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT},
      features(vkStruct<VkValidationFeaturesEXT>(VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT)) {
    messenger.messageSeverity =
        VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
    messenger.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                            VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                            VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
    messenger.pfnUserCallback = onDebugMessage;
    features.enabledValidationFeatureCount = static_cast<std::uint32_t>(enabled.size());
    features.pEnabledValidationFeatures = enabled.data();
    features.pNext = &messenger;
}

void DeviceCore::nameObject(VkObjectType type, std::uint64_t handle, const std::string& label) const {
    if (!setObjectName || handle == 0 || label.empty()) return;
    auto info = vkStruct<VkDebugUtilsObjectNameInfoEXT>(VK_STRUCTURE_TYPE_DEBUG_UTILS_OBJECT_NAME_INFO_EXT);
    info.objectType = type;
    info.objectHandle = handle;
    info.pObjectName = label.c_str();
    // Naming is a diagnostic aid: a refusal changes nothing the program does.
    static_cast<void>(setObjectName(device, &info));
}

} // namespace vk

std::vector<std::string> takeValidationMessages() {
    std::lock_guard lock(vk::validationMutex);
    return std::exchange(vk::validationLog, {});
}

} // namespace drevik::gpu

// Errors of the Vulkan GPU layer: the stage names, the driver's results in words, and the one check
// every Vulkan call goes through.
#include "render/gpu/vulkan_internal.hpp"

namespace drevik::gpu {

std::string stageName(GpuStage stage) {
    switch (stage) {
    case GpuStage::instance: return "Vulkan instance creation";
    case GpuStage::surface: return "window surface creation";
    case GpuStage::deviceChoice: return "GPU device choice";
    case GpuStage::deviceCreation: return "GPU device creation";
    case GpuStage::commandQueue: return "command queue creation";
    case GpuStage::commandBuffer: return "command buffer creation";
    case GpuStage::renderPass: return "render pass start";
    case GpuStage::recording: return "command recording";
    case GpuStage::buffer: return "buffer creation";
    case GpuStage::texture: return "texture creation";
    case GpuStage::readBack: return "texture read-back";
    case GpuStage::shaderCompilation: return "shader compilation";
    case GpuStage::shaderModule: return "shader module creation";
    case GpuStage::pipeline: return "pipeline creation";
    case GpuStage::submission: return "command buffer submission";
    case GpuStage::execution: return "GPU execution";
    case GpuStage::presentation: return "presentation";
    case GpuStage::completionHandler: return "completion handler";
    }
    return "GPU operation";
}

namespace {

std::string describe(GpuStage stage, const std::string& detail, std::int32_t result) {
    std::string message = stageName(stage) + " failed";
    if (!detail.empty()) message += ": " + detail;
    if (result != 0) message += ": " + vk::resultName(static_cast<VkResult>(result));
    return message;
}

} // namespace

GpuError::GpuError(GpuStage stage, std::string detail, std::int32_t result)
    : Error(describe(stage, detail, result)), stage_(stage), detail_(std::move(detail)), result_(result) {}

GpuError::GpuError(ExactMessage, GpuStage stage, const std::string& message)
    : Error(message), stage_(stage), detail_(message) {}

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

bool outOfMemory(VkResult result) {
    return result == VK_ERROR_OUT_OF_HOST_MEMORY || result == VK_ERROR_OUT_OF_DEVICE_MEMORY;
}

void check(VkResult result, GpuStage stage, const std::string& detail) {
    if (result != VK_SUCCESS) {
        throw GpuError(stage, detail, static_cast<std::int32_t>(result));
    }
}

} // namespace vk
} // namespace drevik::gpu

namespace drevik::gpu {

void CommandBuffer::copyToBuffer(const std::shared_ptr<Texture>&, Region, const std::shared_ptr<Buffer>&) {
    throw GpuError(GpuStage::readBack, "this command buffer cannot copy pictures into buffers");
}

} // namespace drevik::gpu

// Pipelines: shader modules and the library of a compiled program, the render passes pipelines are
// built against, and the graphics pipelines themselves (one per depth test and resolve, built by
// prepare() at set-up or else at the first draw that needs them).
#include "render/gpu/vulkan_internal.hpp"

namespace drevik::gpu::vk {

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
    check(vkCreateRenderPass(device, &info, nullptr, &pass), GpuStage::renderPass, "vkCreateRenderPass");
    renderPasses.emplace(key, pass);
    return pass;
}

VkRenderPass compatibleRenderPass(DeviceCore& core, VkFormat color, VkSampleCountFlagBits samples, bool resolve,
                                  VkFormat depth) {
    // The pass of an offscreen frame (colour cleared, depth cleared and not kept): the common case
    // then needs no render pass of its own.
    DeviceCore::PassKey key{};
    key.colorFormat = color;
    key.samples = samples;
    key.resolve = resolve;
    key.depthFormat = depth;
    key.colorLoad = VK_ATTACHMENT_LOAD_OP_CLEAR;
    key.colorStore = samples == VK_SAMPLE_COUNT_1_BIT ? VK_ATTACHMENT_STORE_OP_STORE : VK_ATTACHMENT_STORE_OP_DONT_CARE;
    key.colorInitial = VK_IMAGE_LAYOUT_UNDEFINED;
    key.depthLoad = depth == VK_FORMAT_UNDEFINED ? VK_ATTACHMENT_LOAD_OP_DONT_CARE : VK_ATTACHMENT_LOAD_OP_CLEAR;
    key.depthStore = VK_ATTACHMENT_STORE_OP_DONT_CARE;
    key.depthInitial = VK_IMAGE_LAYOUT_UNDEFINED;
    key.outputFinal = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
    return core.renderPass(key);
}

VulkanFunction::VulkanFunction(std::shared_ptr<DeviceCore> core, std::string name, ShaderStage stage,
                               const std::vector<std::uint32_t>& spirv)
    : core_(std::move(core)), name_(std::move(name)), stage_(stage) {
    auto info = vkStruct<VkShaderModuleCreateInfo>(VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO);
    info.codeSize = spirv.size() * sizeof(std::uint32_t);
    info.pCode = spirv.data();
    check(vkCreateShaderModule(core_->device, &info, nullptr, &module_), GpuStage::shaderModule,
          "vkCreateShaderModule for " + name_);
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

std::string compareName(CompareFunction compare) {
    switch (compare) {
    case CompareFunction::never: return "never";
    case CompareFunction::less: return "less";
    case CompareFunction::equal: return "equal";
    case CompareFunction::lessEqual: return "less-equal";
    case CompareFunction::greater: return "greater";
    case CompareFunction::notEqual: return "not-equal";
    case CompareFunction::greaterEqual: return "greater-equal";
    case CompareFunction::always: return "always";
    }
    return "?";
}

} // namespace

std::shared_ptr<Library> makeLibrary(const std::shared_ptr<DeviceCore>& core, std::string_view source,
                                     const std::vector<ShaderFunctionDescriptor>& functions) {
    std::vector<std::shared_ptr<VulkanFunction>> made;
    for (auto& compiled :
         compileShaderFunctions(source, functions, core->diskCache.get(), deviceCacheIdentity(core->properties))) {
        if (compiled.present) {
            made.push_back(std::make_shared<VulkanFunction>(core, compiled.name, compiled.stage, compiled.spirv));
        }
    }
    return std::make_shared<VulkanLibrary>(std::move(made));
}

VkPipeline createGraphicsPipeline(DeviceCore& core, const RenderPipelineDescriptor& descriptor, VkRenderPass pass,
                                  CompareFunction compare, bool depthWrite, VkPipelineCache cache) {
    auto& vertex = static_cast<VulkanFunction&>(*descriptor.vertexFunction);
    auto& fragment = static_cast<VulkanFunction&>(*descriptor.fragmentFunction);
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
    multisample.rasterizationSamples = static_cast<VkSampleCountFlagBits>(descriptor.rasterSampleCount);
    auto depth = vkStruct<VkPipelineDepthStencilStateCreateInfo>(VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO);
    const bool hasDepth = descriptor.depthAttachmentPixelFormat != PixelFormat::invalid;
    depth.depthTestEnable = hasDepth ? VK_TRUE : VK_FALSE;
    depth.depthWriteEnable = hasDepth && depthWrite ? VK_TRUE : VK_FALSE;
    depth.depthCompareOp = toVkCompare(compare);
    const auto& attachment = descriptor.colorAttachments[0];
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
    info.layout = core.pipelineLayout;
    info.renderPass = pass;
    info.subpass = 0;
    VkPipeline pipeline = VK_NULL_HANDLE;
    const VkResult result = vkCreateGraphicsPipelines(core.device, cache, 1, &info, nullptr, &pipeline);
    if (result != VK_SUCCESS) {
        throw GpuError(GpuStage::pipeline,
                       "vkCreateGraphicsPipelines for " + (descriptor.label.empty() ? "a pipeline" : descriptor.label) +
                           " (" + std::to_string(descriptor.rasterSampleCount) + " sample(s), depth " +
                           compareName(compare) + (depthWrite ? " with writes)" : " without writes)"),
                       result);
    }
    core.nameObject(VK_OBJECT_TYPE_PIPELINE, pipeline, descriptor.label);
    return pipeline;
}

VulkanRenderPipeline::VulkanRenderPipeline(std::shared_ptr<DeviceCore> core, RenderPipelineDescriptor descriptor)
    : core_(std::move(core)), descriptor_(std::move(descriptor)) {}

VulkanRenderPipeline::~VulkanRenderPipeline() {
    for (auto& [key, pipeline] : variants_) {
        vkDestroyPipeline(core_->device, pipeline, nullptr);
    }
}

void VulkanRenderPipeline::prepare(const DepthStencilState& state) {
    // Offscreen and window passes alike resolve a multisample target into a single-sample one.
    static_cast<void>(variant(descriptor_.rasterSampleCount > 1, toVkFormat(descriptor_.depthAttachmentPixelFormat),
                              state.depthCompareFunction(), state.depthWriteEnabled()));
}

VkPipeline VulkanRenderPipeline::variant(bool resolve, VkFormat depth, CompareFunction compare, bool depthWrite) {
    std::lock_guard lock(mutex_);
    auto key = std::make_tuple(resolve, depth, compare, depthWrite);
    if (auto found = variants_.find(key); found != variants_.end()) {
        return found->second;
    }
    VkRenderPass pass = compatibleRenderPass(*core_, toVkFormat(descriptor_.colorAttachments[0].pixelFormat),
                                             static_cast<VkSampleCountFlagBits>(descriptor_.rasterSampleCount),
                                             resolve, depth);
    // The one place a pipeline cache would be passed.
    VkPipeline pipeline = createGraphicsPipeline(*core_, descriptor_, pass, compare, depthWrite, core_->pipelineCache.handle());
    variants_.emplace(key, pipeline);
    return pipeline;
}

} // namespace drevik::gpu::vk

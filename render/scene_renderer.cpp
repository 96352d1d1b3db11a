#include "render/scene_renderer.hpp"

#include "render/gpu_records.hpp"
#include "render/shader_source.hpp"

#include <utility>

namespace drevik {

MetalRendererError MetalRendererError::shaderCompilation(std::string_view description) {
    return {Kind::shaderCompilation, "Metal shader compilation failed: " + std::string(description)};
}

MetalRendererError MetalRendererError::missingShaderFunction(std::string_view name) {
    return {Kind::missingShaderFunction, "Metal shader function " + std::string(name) + " is missing."};
}

MetalRendererError MetalRendererError::pipeline(std::string_view description) {
    return {Kind::pipeline, "Metal pipeline creation failed: " + std::string(description)};
}

MetalRendererError MetalRendererError::noCommandQueue() {
    return {Kind::noCommandQueue, "Metal could not create a command queue."};
}

MetalRendererError MetalRendererError::cannotAllocateBuffer() {
    return {Kind::cannotAllocateBuffer, "Metal could not allocate the line buffer."};
}

MetalRendererError MetalRendererError::cannotCreateCommandBuffer() {
    return {Kind::cannotCreateCommandBuffer, "Metal could not create a command buffer."};
}

namespace {

std::shared_ptr<gpu::RenderPipelineState> makePipeline(gpu::Device& device,
                                                       const gpu::RenderPipelineDescriptor& descriptor) {
    try {
        return device.makeRenderPipelineState(descriptor);
    } catch (const gpu::GpuError& error) {
        throw MetalRendererError::pipeline(error.what());
    }
}

// Builds the pipeline's platform pipeline for the depth test it is drawn with, so that a failure ends
// the set-up rather than a later frame.
void prepare(gpu::RenderPipelineState& pipeline, const gpu::DepthStencilState& state) {
    try {
        pipeline.prepare(state);
    } catch (const gpu::GpuError& error) {
        throw MetalRendererError::pipeline(error.what());
    }
}

std::shared_ptr<gpu::DepthStencilState> makeDepthState(gpu::Device& device, std::string label,
                                                       gpu::CompareFunction compare, bool write) {
    gpu::DepthStencilDescriptor descriptor;
    descriptor.label = std::move(label);
    descriptor.depthCompareFunction = compare;
    descriptor.depthWriteEnabled = write;
    std::shared_ptr<gpu::DepthStencilState> state = device.makeDepthStencilState(descriptor);
    if (!state) {
        throw MetalRendererError::pipeline("could not create " + descriptor.label);
    }
    return state;
}

} // namespace

MetalSceneRenderer::MetalSceneRenderer(std::shared_ptr<gpu::Device> device, gpu::PixelFormat colorPixelFormat,
                                       std::size_t sampleCount)
    : device_(std::move(device)),
      inflightSemaphore_(std::make_shared<std::counting_semaphore<framesInFlight>>(framesInFlight)),
      lineBuffers_(device_.get()) {
    if (device_) {
        commandQueue_ = device_->makeCommandQueue();
    }
    if (!commandQueue_) {
        throw MetalRendererError::noCommandQueue();
    }

    std::shared_ptr<gpu::Library> library;
    try {
        library = device_->makeLibrary(lineShaderSource(), lineShaderFunctions());
    } catch (const gpu::GpuError& error) { // the compiler's message, or the driver refusing a module
        throw MetalRendererError::shaderCompilation(error.what());
    }
    auto function = [&](std::string_view name) {
        std::shared_ptr<gpu::Function> found = library->makeFunction(name);
        if (!found) {
            throw MetalRendererError::missingShaderFunction(name);
        }
        return found;
    };
    const auto vertexFunction = function("lineVertex");
    const auto fragmentFunction = function("lineFragment");
    const auto depthFragmentFunction = function("depthFragment");

    gpu::RenderPipelineDescriptor color;
    color.label = "Volumetric wireframe color";
    color.vertexFunction = vertexFunction;
    color.fragmentFunction = fragmentFunction;
    color.rasterSampleCount = sampleCount;
    color.depthAttachmentPixelFormat = gpu::PixelFormat::depth32Float;
    auto& blend = color.colorAttachments[0];
    blend.pixelFormat = colorPixelFormat;
    blend.blendingEnabled = true;
    blend.rgbBlendOperation = gpu::BlendOperation::add;
    blend.alphaBlendOperation = gpu::BlendOperation::add;
    blend.sourceRGBBlendFactor = gpu::BlendFactor::sourceAlpha;
    blend.destinationRGBBlendFactor = gpu::BlendFactor::one;
    blend.sourceAlphaBlendFactor = gpu::BlendFactor::one;
    blend.destinationAlphaBlendFactor = gpu::BlendFactor::oneMinusSourceAlpha;
    colorPipeline_ = makePipeline(*device_, color);

    gpu::RenderPipelineDescriptor depth;
    depth.label = "Volumetric wireframe depth prepass";
    depth.vertexFunction = vertexFunction;
    depth.fragmentFunction = depthFragmentFunction;
    depth.rasterSampleCount = sampleCount;
    depth.depthAttachmentPixelFormat = gpu::PixelFormat::depth32Float;
    depth.colorAttachments[0].pixelFormat = colorPixelFormat;
    depth.colorAttachments[0].blendingEnabled = false;
    depth.colorAttachments[0].writeMask = gpu::ColorWriteMask::none;
    depthPipeline_ = makePipeline(*device_, depth);

    depthWriteState_ = makeDepthState(*device_, "Volume depth write", gpu::CompareFunction::lessEqual, true);
    depthEqualState_ = makeDepthState(*device_, "Visible volume surface", gpu::CompareFunction::equal, false);
    depthReadState_ = makeDepthState(*device_, "Volume glow and history", gpu::CompareFunction::lessEqual, false);

    // Every pipeline with every depth test encode uses.
    prepare(*depthPipeline_, *depthWriteState_);
    prepare(*colorPipeline_, *depthEqualState_);
    prepare(*colorPipeline_, *depthReadState_);
}

MetalSceneRenderer::~MetalSceneRenderer() = default;

bool MetalSceneRenderer::RingStorage::replace(int slot, std::int64_t records, std::string_view label) {
    // Out of memory is "none"; any other failure of the device passes on with its reason.
    std::shared_ptr<gpu::Buffer> buffer = device_->makeBuffer(static_cast<std::size_t>(records) * sizeof(GPUStroke));
    if (!buffer) {
        return false;
    }
    buffer->setLabel(std::string(label));
    // A command buffer still reading the old buffer keeps it alive until it completes.
    buffers_[static_cast<std::size_t>(slot)] = std::move(buffer);
    return true;
}

std::span<GPUStroke> MetalSceneRenderer::RingStorage::records(int slot) {
    const auto& buffer = buffers_[static_cast<std::size_t>(slot)];
    if (!buffer) {
        return {};
    }
    return {static_cast<GPUStroke*>(buffer->contents()), buffer->length() / sizeof(GPUStroke)};
}

void MetalSceneRenderer::forgetTimeline() {
    ring_.forgetFrames();
    sceneProfileCache_.clear();
}

void MetalSceneRenderer::encode(gpu::CommandBuffer& commandBuffer,
                                const gpu::RenderPassDescriptor& renderPassDescriptor, double drawableWidth,
                                double drawableHeight, const GraphicsTimeline& timeline, double normalizedTime,
                                const AudioFeatures& features) {
    inflightSemaphore_->acquire();
    std::shared_ptr<gpu::RenderCommandEncoder> encoder;
    try {
        if (ring_.updateLineBuffer(timeline, normalizedTime, lineBuffers_) == LineBufferRing::Update::allocationFailed) {
            throw MetalRendererError::cannotAllocateBuffer();
        }
        // A pass that cannot start is the device's error, with its reason: never a blank frame.
        encoder = commandBuffer.makeRenderCommandEncoder(renderPassDescriptor);
        commandBuffer.addCompletedHandler([semaphore = inflightSemaphore_] { semaphore->release(); });
    } catch (...) {
        inflightSemaphore_->release();
        throw;
    }
    encoder->setLabel("Geometry-derived volumetric line model");

    const std::int64_t strokes = ring_.strokeCount();
    const std::int64_t current = ring_.currentStrokeCount();
    const int active = ring_.activeLineBufferIndex();
    if (strokes < 1 || current < 1 || active < 0 || active >= LineBufferRing::ringSize ||
        !lineBuffers_.buffer(active)) {
        encoder->endEncoding();
        return;
    }

    const SceneRenderState state = sceneState(timeline, normalizedTime, sceneProfileCache_);
    const ShaderUniforms uniforms = assembleUniforms(drawableWidth, drawableHeight, timeline.durationSeconds,
                                                     normalizedTime, features, strokes, state);
    encoder->setVertexBuffer(lineBuffers_.buffer(active), 0, 0);
    encoder->setVertexBytes(&uniforms, sizeof uniforms, 1);

    const auto S = static_cast<std::size_t>(strokes);
    const auto C = static_cast<std::size_t>(current);
    const std::size_t H = S - C;
    auto draw = [&](std::size_t instances, std::size_t baseInstance) {
        encoder->drawTriangles(0, 6, instances, baseInstance);
    };
    constexpr auto structural = static_cast<std::size_t>(structuralRoleCount);

    // Depth of the nearest structural line of the frame on screen.
    encoder->setRenderPipelineState(depthPipeline_);
    encoder->setDepthStencilState(depthWriteState_);
    for (std::size_t role = 0; role < structural; ++role) {
        draw(C, role * S);
    }
    // The same instances in colour, only where they won the depth test.
    encoder->setRenderPipelineState(colorPipeline_);
    encoder->setDepthStencilState(depthEqualState_);
    for (std::size_t role = 0; role < structural; ++role) {
        draw(C, role * S);
    }
    // Afterimages as front shell and middle surface, behind the current structure.
    if (H >= 1) {
        encoder->setDepthStencilState(depthReadState_);
        draw(H, C);
        draw(H, 2 * S + C);
    }
    // Glows of every stroke, sparkles of the frame on screen.
    encoder->setDepthStencilState(depthReadState_);
    for (auto role = static_cast<std::size_t>(glowRoleBegin); role < static_cast<std::size_t>(glowRoleEnd); ++role) {
        draw(S, role * S);
    }
    for (auto role = static_cast<std::size_t>(sparkleRoleBegin); role < static_cast<std::size_t>(sparkleRoleEnd);
         ++role) {
        draw(C, role * S);
    }
    encoder->endEncoding();
}

gpu::RenderPassDescriptor framePassDescriptor(std::shared_ptr<gpu::Texture> multisampleColor,
                                              std::shared_ptr<gpu::Texture> output,
                                              std::shared_ptr<gpu::Texture> depth, bool clearBackground) {
    gpu::RenderPassDescriptor pass;
    auto& color = pass.colorAttachments[0];
    color.loadAction = gpu::LoadAction::clear;
    color.clearColor = {0, 0, 0, clearBackground ? 0.0 : 1.0};
    if (multisampleColor) {
        color.texture = std::move(multisampleColor);
        color.resolveTexture = std::move(output);
        color.storeAction = gpu::StoreAction::multisampleResolve;
    } else {
        color.texture = std::move(output);
        color.storeAction = gpu::StoreAction::store;
    }
    pass.depthAttachment.texture = std::move(depth);
    pass.depthAttachment.loadAction = gpu::LoadAction::clear;
    pass.depthAttachment.storeAction = gpu::StoreAction::dontCare;
    pass.depthAttachment.clearDepth = 1.0;
    return pass;
}

} // namespace drevik

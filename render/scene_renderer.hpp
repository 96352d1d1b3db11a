#pragma once
// The one object every output draws through: it compiles the line program, builds the pipelines
// and depth states, keeps the ring of stroke buffers and the scene profiles, and records each
// frame's render pass (depth pre-pass, visible structure, afterimages, glows and sparkles).
#include "platform/error.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "render/gpu/gpu.hpp"
#include "render/line_buffer.hpp"
#include "render/scene_state.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <string>
#include <string_view>

namespace drevik {

class MetalRendererError : public Error {
public:
    enum class Kind {
        shaderCompilation,
        missingShaderFunction,
        pipeline,
        noCommandQueue,
        cannotAllocateBuffer,
        cannotCreateCommandBuffer,
    };

    static MetalRendererError shaderCompilation(std::string_view description);
    static MetalRendererError missingShaderFunction(std::string_view name);
    static MetalRendererError pipeline(std::string_view description);
    static MetalRendererError noCommandQueue();
    static MetalRendererError cannotAllocateBuffer();
    static MetalRendererError cannotCreateCommandBuffer();

    Kind kind() const noexcept { return kind_; }

private:
    MetalRendererError(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind_;
};

class MetalSceneRenderer {
public:
    static constexpr std::int64_t structuralRoleCount = 9;
    static constexpr std::int64_t glowRoleBegin = 9;
    static constexpr std::int64_t glowRoleEnd = 11;
    static constexpr std::int64_t sparkleRoleBegin = 11;
    static constexpr std::int64_t sparkleRoleEnd = 15;
    static constexpr std::int64_t roleCount = shader::roleCount;
    static constexpr std::ptrdiff_t framesInFlight = 3;

    // Callers pass bgra8Unorm and 4 samples when the device supports them, else 1.
    MetalSceneRenderer(std::shared_ptr<gpu::Device> device, gpu::PixelFormat colorPixelFormat,
                       std::size_t sampleCount);
    MetalSceneRenderer(const MetalSceneRenderer&) = delete;
    MetalSceneRenderer& operator=(const MetalSceneRenderer&) = delete;
    ~MetalSceneRenderer();

    const std::shared_ptr<gpu::Device>& device() const { return device_; }
    // Callers create their command buffers here.
    const std::shared_ptr<gpu::CommandQueue>& commandQueue() const { return commandQueue_; }

    // Records the frame at normalizedTime into one render pass of `commandBuffer`. The pass needs
    // colour attachment 0 in the renderer's format and sample count and a Depth32Float attachment
    // with the same sample count, cleared to 1. After a successful call the caller must commit the
    // command buffer: its completion returns the frame's in-flight slot. Blocks while three frames
    // are in flight. Fails with cannotAllocateBuffer, or with the device's GpuError when the render
    // pass cannot be started; either way nothing was recorded and the slot is free again.
    void encode(gpu::CommandBuffer& commandBuffer, const gpu::RenderPassDescriptor& renderPassDescriptor,
                double drawableWidth, double drawableHeight, const GraphicsTimeline& timeline,
                double normalizedTime, const AudioFeatures& features);

    // The next frames draw another timeline: what was built and analysed for the last one is dropped.
    // Frames still in flight keep the stroke buffers they use.
    void forgetTimeline();

    // What the active stroke buffer holds and the profiles analysed so far (diagnostics and tests).
    const LineBufferRing& lineBuffers() const { return ring_; }
    const SceneProfileCache& sceneProfiles() const { return sceneProfileCache_; }

private:
    // The ring's view of the three GPU buffers.
    class RingStorage : public StrokeStorage {
    public:
        explicit RingStorage(gpu::Device* device) : device_(device) {}
        bool replace(int slot, std::int64_t records, std::string_view label) override;
        std::span<GPUStroke> records(int slot) override;
        const std::shared_ptr<gpu::Buffer>& buffer(int slot) const {
            return buffers_[static_cast<std::size_t>(slot)];
        }

    private:
        gpu::Device* device_;
        std::array<std::shared_ptr<gpu::Buffer>, LineBufferRing::ringSize> buffers_;
    };

    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::CommandQueue> commandQueue_;
    std::shared_ptr<gpu::RenderPipelineState> colorPipeline_;
    std::shared_ptr<gpu::RenderPipelineState> depthPipeline_;
    std::shared_ptr<gpu::DepthStencilState> depthWriteState_;
    std::shared_ptr<gpu::DepthStencilState> depthEqualState_;
    std::shared_ptr<gpu::DepthStencilState> depthReadState_;
    // Shared with the completion handlers, which may run after the renderer is gone.
    std::shared_ptr<std::counting_semaphore<framesInFlight>> inflightSemaphore_;
    LineBufferRing ring_;
    RingStorage lineBuffers_;
    SceneProfileCache sceneProfileCache_;
};

// The pass every host hands to encode: colour cleared to opaque black and drawn into
// `multisampleColor` resolving into `output` (or, without a multisample target, straight into
// `output`), depth cleared to 1 and not kept. With a clear background the colour is cleared to
// transparent black instead, so that alpha accumulates the lines' coverage (1 - the product of
// 1 - each layer's alpha) while the colour adds up as before.
gpu::RenderPassDescriptor framePassDescriptor(std::shared_ptr<gpu::Texture> multisampleColor,
                                              std::shared_ptr<gpu::Texture> output,
                                              std::shared_ptr<gpu::Texture> depth, bool clearBackground = false);

} // namespace drevik

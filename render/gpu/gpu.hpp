#pragma once
// A thin GPU layer over Vulkan 1.1+, shaped like the small set of operations the renderer, the show,
// the snapshot and the movie writer need: a device, a command queue, command buffers with completion
// handlers, render pipelines built from runtime-compiled GLSL, depth states, CPU-written buffers,
// 2-D and 2-D multisample render targets with resolve, instanced triangle draws, texture read-back,
// and presentation to a window through its swapchain's drawables.
//
// Every object is owned through std::shared_ptr. A command buffer keeps every buffer, texture and
// pipeline it references alive until the GPU has finished with it, so callers may drop their own
// references at any time.
//
// Failures: every failure throws GpuError, which names the stage that failed, what was asked and the
// driver's VkResult. Factory functions return nullptr only where the platform has "none" to give:
// no usable device, and memory that runs out (buffers, textures, command queues and command buffers).
//
// Labels name objects to the validation layer (VK_EXT_debug_utils) when it is on; otherwise they are
// kept only for the caller.
//
// Coordinate conventions: clip space has y up (a vertex at clip y = +1 lands on the top row); texture
// row 0 is the top row of the picture, so read-back bytes are in the row order a PNG expects.
//
// Shader resource bindings (GLSL, descriptor set 0):
//   binding 0: storage buffer   <- setVertexBuffer(buffer, offset, 0)
//   binding 1: storage buffer   <- setVertexBytes(bytes, length, 1)   (at most 256 bytes, read-only)
// The vertex stage sees gl_VertexIndex from vertexStart on and gl_InstanceIndex from baseInstance on.
#include "platform/error.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drevik::gpu {

// Where in the GPU layer a failure happened.
enum class GpuStage {
    instance,          // loading Vulkan and creating its instance
    surface,           // the window's surface
    deviceChoice,      // enumerating and choosing a physical device
    deviceCreation,    // the logical device and the objects every device shares
    commandQueue,
    commandBuffer,
    renderPass,        // starting a render pass (makeRenderCommandEncoder)
    recording,         // a command recorded into a command buffer
    buffer,
    texture,
    readBack,
    shaderCompilation,
    shaderModule,
    pipeline,
    submission,
    execution,         // the GPU running a submitted command buffer
    presentation,
    completionHandler, // a command buffer's completion handler threw
};

// The stage's name as it appears in messages ("pipeline creation", "texture read-back").
std::string stageName(GpuStage stage);

// A failure of the GPU interface: what() reads "<stage> failed: <what was asked>" followed by the
// driver's result when one was involved ("...: out of device memory (VK_ERROR_OUT_OF_DEVICE_MEMORY)").
class GpuError : public Error {
public:
    // `result` is the driver's VkResult; 0 (VK_SUCCESS) when the failure did not come from the driver.
    GpuError(GpuStage stage, std::string detail, std::int32_t result = 0);

    GpuStage stage() const noexcept { return stage_; }
    const std::string& detail() const noexcept { return detail_; }
    std::int32_t result() const noexcept { return result_; }

protected:
    struct ExactMessage {};
    GpuError(ExactMessage, GpuStage stage, const std::string& message);

private:
    GpuStage stage_;
    std::string detail_;
    std::int32_t result_ = 0;
};

// The shader source did not compile; what() is the compiler's message alone.
class ShaderCompileError : public GpuError {
public:
    explicit ShaderCompileError(const std::string& message)
        : GpuError(ExactMessage{}, GpuStage::shaderCompilation, message) {}
};

enum class PixelFormat : std::uint32_t { invalid = 0, bgra8Unorm = 80, depth32Float = 252 };
enum class TextureType { type2D, type2DMultisample };
enum class ShaderStage { vertex, fragment };
enum class CompareFunction { never, less, equal, lessEqual, greater, notEqual, greaterEqual, always };
enum class BlendFactor { zero, one, sourceAlpha, oneMinusSourceAlpha, destinationAlpha, oneMinusDestinationAlpha };
enum class BlendOperation { add, subtract, reverseSubtract, min, max };
enum class LoadAction { dontCare, load, clear };
enum class StoreAction { dontCare, store, multisampleResolve };

// Bit set of colour channels a pipeline writes.
enum class ColorWriteMask : std::uint8_t { none = 0, red = 1, green = 2, blue = 4, alpha = 8, all = 15 };

struct ClearColor {
    double red = 0, green = 0, blue = 0, alpha = 1;
};

struct Region {
    std::size_t x = 0, y = 0, width = 0, height = 0;
};

class Device;
class CommandQueue;
class CommandBuffer;
class RenderCommandEncoder;
class Drawable;

// ---------------------------------------------------------------------------------------------------
// Resources

// Memory the CPU writes and the GPU reads (host-visible and coherent; no flush needed).
class Buffer {
public:
    virtual ~Buffer() = default;
    virtual std::size_t length() const = 0;
    virtual void* contents() = 0;
    virtual void setLabel(std::string label) = 0;
    virtual const std::string& label() const = 0;
};

struct TextureDescriptor {
    TextureType textureType = TextureType::type2D;
    PixelFormat pixelFormat = PixelFormat::bgra8Unorm;
    std::size_t width = 1;
    std::size_t height = 1;
    std::size_t sampleCount = 1;         // 1, or 4 with type2DMultisample
    std::string label;
    // Every texture is a render target in device memory; a single-sample colour texture can also be
    // read back (Texture::getBytes).

    static TextureDescriptor texture2D(PixelFormat format, std::size_t width, std::size_t height) {
        TextureDescriptor d;
        d.pixelFormat = format;
        d.width = width;
        d.height = height;
        return d;
    }
};

class Texture {
public:
    virtual ~Texture() = default;
    virtual std::size_t width() const = 0;
    virtual std::size_t height() const = 0;
    virtual PixelFormat pixelFormat() const = 0;
    virtual TextureType textureType() const = 0;
    virtual std::size_t sampleCount() const = 0;
    virtual const std::string& label() const = 0;

    // Copies a region of a single-sample colour texture into bytes (BGRA byte order for bgra8Unorm,
    // row 0 = top row). Call after the command buffers that rendered it have completed. Blocks until
    // the copy is done. Throws GpuError (stage readBack) if the copy cannot be made.
    virtual void getBytes(void* bytes, std::size_t bytesPerRow, Region region, std::size_t mipmapLevel = 0) = 0;
};

// ---------------------------------------------------------------------------------------------------
// Shaders and states

struct ShaderFunctionDescriptor {
    std::string name;   // a function `void name()` of the GLSL source
    ShaderStage stage;
};

// A function of a compiled library: one SPIR-V module whose entry point is the function's name.
class Function {
public:
    virtual ~Function() = default;
    virtual const std::string& name() const = 0;
    virtual ShaderStage stage() const = 0;
};

// The compiled shader program. makeFunction returns nullptr for a function the source does not define.
class Library {
public:
    virtual ~Library() = default;
    virtual std::shared_ptr<Function> makeFunction(std::string_view name) const = 0;
};

struct RenderPipelineColorAttachmentDescriptor {
    PixelFormat pixelFormat = PixelFormat::invalid;
    bool blendingEnabled = false;
    BlendOperation rgbBlendOperation = BlendOperation::add;
    BlendOperation alphaBlendOperation = BlendOperation::add;
    BlendFactor sourceRGBBlendFactor = BlendFactor::one;
    BlendFactor destinationRGBBlendFactor = BlendFactor::zero;
    BlendFactor sourceAlphaBlendFactor = BlendFactor::one;
    BlendFactor destinationAlphaBlendFactor = BlendFactor::zero;
    ColorWriteMask writeMask = ColorWriteMask::all;
};

struct RenderPipelineDescriptor {
    std::string label;
    std::shared_ptr<Function> vertexFunction;
    std::shared_ptr<Function> fragmentFunction;
    std::size_t rasterSampleCount = 1;
    PixelFormat depthAttachmentPixelFormat = PixelFormat::invalid;
    std::array<RenderPipelineColorAttachmentDescriptor, 1> colorAttachments{};
};

class DepthStencilState;

// Rasterisation, blending and shaders of a draw. The depth test comes from the encoder's current
// DepthStencilState; the pipeline keeps one platform pipeline per depth state it is used with.
class RenderPipelineState {
public:
    virtual ~RenderPipelineState() = default;
    virtual const std::string& label() const = 0;
    // Builds now the platform pipeline for drawing with `state` in a render pass of the descriptor's
    // formats and sample count (multisample passes resolving), so that a failure is reported here
    // rather than at the first draw. Throws GpuError (stage pipeline).
    virtual void prepare(const DepthStencilState& state) = 0;
};

struct DepthStencilDescriptor {
    std::string label;
    CompareFunction depthCompareFunction = CompareFunction::always;
    bool depthWriteEnabled = false;
};

class DepthStencilState {
public:
    virtual ~DepthStencilState() = default;
    virtual const std::string& label() const = 0;
    virtual CompareFunction depthCompareFunction() const = 0;
    virtual bool depthWriteEnabled() const = 0;
};

// ---------------------------------------------------------------------------------------------------
// Passes and commands

struct RenderPassColorAttachmentDescriptor {
    std::shared_ptr<Texture> texture;
    std::shared_ptr<Texture> resolveTexture;   // with StoreAction::multisampleResolve
    LoadAction loadAction = LoadAction::dontCare;
    StoreAction storeAction = StoreAction::store;
    ClearColor clearColor{};
};

struct RenderPassDepthAttachmentDescriptor {
    std::shared_ptr<Texture> texture;
    LoadAction loadAction = LoadAction::clear;
    StoreAction storeAction = StoreAction::dontCare;
    double clearDepth = 1.0;
};

struct RenderPassDescriptor {
    std::array<RenderPassColorAttachmentDescriptor, 1> colorAttachments{};
    RenderPassDepthAttachmentDescriptor depthAttachment{};
};

// Records one render pass. Obtained from CommandBuffer::makeRenderCommandEncoder; end it with
// endEncoding before creating another encoder or committing. A command that cannot be recorded makes
// the command buffer fail: it is not submitted and completes with error() set (stage recording).
class RenderCommandEncoder {
public:
    virtual ~RenderCommandEncoder() = default;
    virtual void setLabel(std::string label) = 0;
    virtual const std::string& label() const = 0;
    virtual void setRenderPipelineState(const std::shared_ptr<RenderPipelineState>& pipeline) = 0;
    virtual void setDepthStencilState(const std::shared_ptr<DepthStencilState>& state) = 0;
    // Binds a buffer to the storage-buffer slot `index` (only 0 exists).
    virtual void setVertexBuffer(const std::shared_ptr<Buffer>& buffer, std::size_t offset, std::size_t index) = 0;
    // Copies up to 256 bytes into the command buffer's own uniform memory and binds them at slot
    // `index` (only 1 exists). Later draws see these bytes; the caller's memory is not referenced later.
    virtual void setVertexBytes(const void* bytes, std::size_t length, std::size_t index) = 0;
    // Instanced triangle list (the only primitive the layer draws).
    virtual void drawTriangles(std::size_t vertexStart, std::size_t vertexCount, std::size_t instanceCount,
                               std::size_t baseInstance) = 0;
    virtual void endEncoding() = 0;
};

enum class CommandBufferStatus { notEnqueued, committed, completed, error };

class CommandBuffer {
public:
    virtual ~CommandBuffer() = default;
    virtual void setLabel(std::string label) = 0;
    virtual const std::string& label() const = 0;

    // The handler runs exactly once, on a thread of the command queue, after the GPU has finished
    // this command buffer (or it failed). Add handlers before commit. An exception a handler throws
    // does not stop the others; it is rethrown by waitUntilCompleted, or else by the next commit on
    // the same queue.
    virtual void addCompletedHandler(std::function<void()> handler) = 0;

    // Starts a render pass. Throws GpuError (stage renderPass) naming what is wrong with the pass or
    // the driver's result when it cannot be started; the command buffer is then still usable and
    // committable. Never nullptr.
    virtual std::shared_ptr<RenderCommandEncoder> makeRenderCommandEncoder(const RenderPassDescriptor& pass) = 0;

    // Shows the drawable on its window once this command buffer's work is done. Call after the passes
    // that render into it and before commit; a drawable no pass has rendered into is shown black. With a
    // drawable to show, the commands recorded before a recording failure are still submitted, so that
    // the drawable always reaches the window (the failure is still reported by error()).
    virtual void present(const std::shared_ptr<Drawable>& drawable) = 0;

    // Records, after the passes before it, a copy of `region` of a single-sample colour texture into
    // `buffer` from offset 0, rows of region.width × 4 bytes without padding (BGRA for bgra8Unorm,
    // row 0 = top row). The bytes are in buffer->contents() once this command buffer has completed,
    // so a frame's read-back travels with the frame and costs no wait of its own. A texture, region
    // or buffer that does not fit makes the command buffer fail (stage readBack).
    // Layers without read-back (test doubles) refuse it.
    virtual void copyToBuffer(const std::shared_ptr<Texture>& texture, Region region,
                              const std::shared_ptr<Buffer>& buffer);

    // Hands the recorded work to the GPU. Every command buffer should be committed exactly once.
    virtual void commit() = 0;
    // Blocks until the GPU has finished and the completion handlers have run (returns at once if
    // never committed), then rethrows the first exception a handler threw. A handler must not wait
    // on its own command buffer.
    virtual void waitUntilCompleted() = 0;
    virtual CommandBufferStatus status() const = 0;
    // Set when recording or execution failed; valid once completed.
    virtual const std::optional<GpuError>& error() const = 0;
};

class CommandQueue {
public:
    virtual ~CommandQueue() = default;
    // A new command buffer, or nullptr when memory runs out; other failures throw GpuError.
    virtual std::shared_ptr<CommandBuffer> commandBuffer() = 0;
};

// ---------------------------------------------------------------------------------------------------
// Presentation

// One image of a window's swapchain, to render into and present (CommandBuffer::present) once.
class Drawable {
public:
    virtual ~Drawable() = default;
    // A single-sample bgra8Unorm render target of the window's size. It cannot be read back.
    virtual const std::shared_ptr<Texture>& texture() const = 0;
};

// The images shown on a window, at the display's pace (one per refresh at most; presenting waits for
// a free image rather than dropping frames).
class Swapchain {
public:
    virtual ~Swapchain() = default;
    // The next image to draw, sized to the window; `width` and `height` (pixels) are used where the
    // window system leaves the size to the application. Remakes the images when the window has changed
    // size or they no longer match the window. nullptr when there is nothing to draw into now (a
    // minimised window, or the images were just found out of date): skip this frame and try the next.
    virtual std::shared_ptr<Drawable> nextDrawable(std::size_t width, std::size_t height) = 0;
    // Makes the next call remake the images (the window has changed size).
    virtual void invalidate() = 0;
    // How many times the images have been made so far.
    virtual std::size_t generation() const = 0;
};

// Platform handles for presentation: an instance (VkInstance) and a window's surface (VkSurfaceKHR).
using NativeInstance = void*;
using NativeSurface = std::uint64_t;
// Makes the window's surface for the device's instance; returns 0 when it cannot. The device owns the
// surface from then on.
using SurfaceFactory = std::function<NativeSurface(NativeInstance)>;

// ---------------------------------------------------------------------------------------------------
// Device

struct DeviceOptions {
    // Enables the Khronos validation layer and records its messages (see takeValidationMessages()).
    bool validation = false;
    // Instance extensions the caller needs, such as those of the window system's surfaces.
    std::vector<std::string> instanceExtensions;
    // When set, only a device whose graphics queue can present to this surface is chosen (in the usual
    // order of preference), and makeSwapchain gives the surface's swapchain. A factory that gives no
    // surface (0) leaves nothing to present to: Device::systemDefault then gives nullptr.
    SurfaceFactory makeSurface;
    // Folder where compiled shader modules and the driver's pipeline cache are kept between runs, so a
    // later device starts warm; the program passes its cache folder. Empty (the default) keeps nothing
    // on disk. A folder that cannot be written only loses the speed.
    std::filesystem::path cacheFolder;
};

class Device {
public:
    virtual ~Device() = default;

    // The best device of the system: a discrete GPU first, then an integrated one, then any other,
    // then a CPU implementation. nullptr when the system has no usable Vulkan device (no Vulkan 1.1
    // loader, no driver, or no device that can draw, and present to the surface when one is asked
    // for); every other failure throws GpuError. The first form uses defaultDeviceOptions().
    static std::shared_ptr<Device> systemDefault();
    static std::shared_ptr<Device> systemDefault(const DeviceOptions& options);

    virtual const std::string& name() const = 0;
    virtual bool supportsTextureSampleCount(std::size_t sampleCount) const = 0;
    // Largest width or height of a 2-D texture.
    virtual std::size_t maxTextureDimension2D() const = 0;

    // nullptr when memory runs out; other failures throw GpuError.
    virtual std::shared_ptr<CommandQueue> makeCommandQueue() = 0;
    virtual std::shared_ptr<Buffer> makeBuffer(std::size_t length) = 0;
    // A buffer the GPU copies pictures into and the CPU reads (CommandBuffer::copyToBuffer), in
    // memory the CPU reads fast where the device has it; nullptr when memory runs out.
    // Layers without such memory give makeBuffer's.
    virtual std::shared_ptr<Buffer> makeReadBackBuffer(std::size_t length) { return makeBuffer(length); }
    // nullptr also for a size the device cannot render (zero, or past maxTextureDimension2D());
    // a format or sample count the layer does not offer throws GpuError.
    virtual std::shared_ptr<Texture> makeTexture(const TextureDescriptor& descriptor) = 0;
    virtual std::shared_ptr<DepthStencilState> makeDepthStencilState(const DepthStencilDescriptor& descriptor) = 0;

    // Compiles the GLSL source (no #version line; see render/shader_source.hpp for the layout) for
    // each requested function. Throws ShaderCompileError with the compiler's message when the source
    // does not compile, and GpuError (stage shaderModule) when the driver refuses a module; a
    // requested function the source does not define is simply absent from the library (makeFunction
    // gives nullptr).
    virtual std::shared_ptr<Library> makeLibrary(std::string_view source,
                                                 const std::vector<ShaderFunctionDescriptor>& functions) = 0;

    // Throws GpuError (stage pipeline) when the descriptor asks for what the layer does not offer.
    // The platform pipelines are built by RenderPipelineState::prepare, or else at the first draw.
    virtual std::shared_ptr<RenderPipelineState> makeRenderPipelineState(const RenderPipelineDescriptor& descriptor) = 0;

    // The swapchain of the surface the device was made for (DeviceOptions::makeSurface); nullptr when
    // there is no surface or it cannot take bgra8Unorm render targets.
    virtual std::shared_ptr<Swapchain> makeSwapchain() = 0;
};

// Messages of the validation layer (when enabled) recorded since the last call, from every device of
// the process; the layer's known false report about the invariant decoration is left out.
std::vector<std::string> takeValidationMessages();

// The options Device::systemDefault() uses. The program sets them once at start-up
// (app/process_setup.cpp); tests set what they need. Default: DeviceOptions{}.
DeviceOptions defaultDeviceOptions();
void setDefaultDeviceOptions(DeviceOptions options);

} // namespace drevik::gpu

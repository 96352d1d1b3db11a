// The renderer's frames in flight against a command queue whose completions arrive on a thread of
// their own, as the GPU layer's do: the queue's thread reads each committed frame's stroke buffer
// and uniforms (as the GPU would) before the completion handlers run, so the renderer may write a
// stroke buffer again only after the frame that used it has completed.
#include "render/scene_renderer.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace drevik {
namespace {

class MemoryBuffer final : public gpu::Buffer {
public:
    explicit MemoryBuffer(std::size_t length) : bytes_(length) {}
    std::size_t length() const override { return bytes_.size(); }
    void* contents() override { return bytes_.data(); }
    void setLabel(std::string label) override { label_ = std::move(label); }
    const std::string& label() const override { return label_; }

private:
    std::vector<std::byte> bytes_;
    std::string label_;
};

class NamedFunction final : public gpu::Function {
public:
    NamedFunction(std::string name, gpu::ShaderStage stage) : name_(std::move(name)), stage_(stage) {}
    const std::string& name() const override { return name_; }
    gpu::ShaderStage stage() const override { return stage_; }

private:
    std::string name_;
    gpu::ShaderStage stage_;
};

class NamedLibrary final : public gpu::Library {
public:
    std::shared_ptr<gpu::Function> makeFunction(std::string_view name) const override {
        for (const auto& function : functions) {
            if (function->name() == name) {
                return function;
            }
        }
        return nullptr;
    }
    std::vector<std::shared_ptr<gpu::Function>> functions;
};

class LabelledPipeline final : public gpu::RenderPipelineState {
public:
    explicit LabelledPipeline(std::string label) : label_(std::move(label)) {}
    const std::string& label() const override { return label_; }
    void prepare(const gpu::DepthStencilState&) override {}

private:
    std::string label_;
};

class DepthState final : public gpu::DepthStencilState {
public:
    explicit DepthState(gpu::DepthStencilDescriptor descriptor) : descriptor_(std::move(descriptor)) {}
    const std::string& label() const override { return descriptor_.label; }
    gpu::CompareFunction depthCompareFunction() const override { return descriptor_.depthCompareFunction; }
    bool depthWriteEnabled() const override { return descriptor_.depthWriteEnabled; }

private:
    gpu::DepthStencilDescriptor descriptor_;
};

// Records what a pass binds and draws, for the queue's thread to "execute".
class RecordingEncoder final : public gpu::RenderCommandEncoder {
public:
    void setLabel(std::string label) override { label_ = std::move(label); }
    const std::string& label() const override { return label_; }
    void setRenderPipelineState(const std::shared_ptr<gpu::RenderPipelineState>&) override {}
    void setDepthStencilState(const std::shared_ptr<gpu::DepthStencilState>&) override {}
    void setVertexBuffer(const std::shared_ptr<gpu::Buffer>& buffer, std::size_t, std::size_t) override {
        strokes = buffer;
    }
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t) override {
        uniforms.resize(length);
        std::memcpy(uniforms.data(), bytes, length);
    }
    void drawTriangles(std::size_t, std::size_t, std::size_t instances, std::size_t) override {
        drawnInstances += instances;
    }
    void endEncoding() override {}

    std::shared_ptr<gpu::Buffer> strokes;
    std::vector<std::byte> uniforms;
    std::size_t drawnInstances = 0;

private:
    std::string label_;
};

class ThreadedQueue;

class QueuedCommandBuffer final : public gpu::CommandBuffer, public std::enable_shared_from_this<QueuedCommandBuffer> {
public:
    explicit QueuedCommandBuffer(ThreadedQueue& queue) : queue_(queue) {}
    void setLabel(std::string label) override { label_ = std::move(label); }
    const std::string& label() const override { return label_; }
    void addCompletedHandler(std::function<void()> handler) override { handlers_.push_back(std::move(handler)); }
    std::shared_ptr<gpu::RenderCommandEncoder> makeRenderCommandEncoder(const gpu::RenderPassDescriptor&) override {
        encoder_ = std::make_shared<RecordingEncoder>();
        return encoder_;
    }
    void present(const std::shared_ptr<gpu::Drawable>&) override {}
    void commit() override;
    void waitUntilCompleted() override {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return status_ == gpu::CommandBufferStatus::completed; });
    }
    gpu::CommandBufferStatus status() const override {
        std::lock_guard lock(mutex_);
        return status_;
    }
    const std::optional<gpu::GpuError>& error() const override { return error_; }

    // On the queue's thread: reads every byte the pass bound, then completes.
    void execute() {
        if (encoder_ && encoder_->strokes) {
            const auto* bytes = static_cast<const unsigned char*>(encoder_->strokes->contents());
            for (std::size_t i = 0; i < encoder_->strokes->length(); ++i) {
                checksum_ += bytes[i];
            }
            for (std::byte b : encoder_->uniforms) {
                checksum_ += static_cast<unsigned>(b);
            }
        }
        for (auto& handler : handlers_) {
            handler();
        }
        handlers_.clear();
        {
            std::lock_guard lock(mutex_);
            status_ = gpu::CommandBufferStatus::completed;
        }
        done_.notify_all();
    }

private:
    ThreadedQueue& queue_;
    std::string label_;
    std::vector<std::function<void()>> handlers_;
    std::shared_ptr<RecordingEncoder> encoder_;
    std::optional<gpu::GpuError> error_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    gpu::CommandBufferStatus status_ = gpu::CommandBufferStatus::notEnqueued;
    unsigned checksum_ = 0;
};

// Completes committed command buffers in order on its own thread, a little later, like a GPU.
class ThreadedQueue final : public gpu::CommandQueue {
public:
    ThreadedQueue() : thread_([this] { run(); }) {}
    ~ThreadedQueue() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    ThreadedQueue(const ThreadedQueue&) = delete;
    ThreadedQueue& operator=(const ThreadedQueue&) = delete;

    std::shared_ptr<gpu::CommandBuffer> commandBuffer() override { return std::make_shared<QueuedCommandBuffer>(*this); }

    void submit(std::shared_ptr<QueuedCommandBuffer> commandBuffer) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(std::move(commandBuffer));
        }
        wake_.notify_all();
    }

private:
    void run() {
        for (;;) {
            std::shared_ptr<QueuedCommandBuffer> next;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
                if (pending_.empty()) {
                    return;
                }
                next = std::move(pending_.front());
                pending_.pop_front();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            next->execute();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<QueuedCommandBuffer>> pending_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once everything above is ready
};

void QueuedCommandBuffer::commit() {
    {
        std::lock_guard lock(mutex_);
        status_ = gpu::CommandBufferStatus::committed;
    }
    queue_.submit(shared_from_this());
}

class ThreadedDevice final : public gpu::Device {
public:
    const std::string& name() const override { return name_; }
    bool supportsTextureSampleCount(std::size_t count) const override { return count == 1; }
    std::size_t maxTextureDimension2D() const override { return 16384; }
    std::shared_ptr<gpu::CommandQueue> makeCommandQueue() override { return std::make_shared<ThreadedQueue>(); }
    std::shared_ptr<gpu::Buffer> makeBuffer(std::size_t length) override { return std::make_shared<MemoryBuffer>(length); }
    std::shared_ptr<gpu::Texture> makeTexture(const gpu::TextureDescriptor&) override { return nullptr; }
    std::shared_ptr<gpu::DepthStencilState> makeDepthStencilState(const gpu::DepthStencilDescriptor& d) override {
        return std::make_shared<DepthState>(d);
    }
    std::shared_ptr<gpu::Library> makeLibrary(std::string_view,
                                              const std::vector<gpu::ShaderFunctionDescriptor>& functions) override {
        auto library = std::make_shared<NamedLibrary>();
        for (const auto& f : functions) {
            library->functions.push_back(std::make_shared<NamedFunction>(f.name, f.stage));
        }
        return library;
    }
    std::shared_ptr<gpu::RenderPipelineState> makeRenderPipelineState(const gpu::RenderPipelineDescriptor& d) override {
        return std::make_shared<LabelledPipeline>(d.label);
    }
    std::shared_ptr<gpu::Swapchain> makeSwapchain() override { return nullptr; }

private:
    std::string name_ = "threaded";
};

// 200 frames of a 10-second show, each with a different number of segments, so that the stroke
// buffers are rewritten (and now and then replaced by larger ones) frame after frame.
GraphicsTimeline changingTimeline() {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 10;
    for (int frame = 0; frame < 200; ++frame) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        const int count = 1 + (frame * 7) % 40;
        for (int k = 0; k < count; ++k) {
            const float y = 0.05f + 0.02f * static_cast<float>(k);
            timeline.segments.push_back(PackedLine::make(0.2f, y, 0.8f, y + 0.01f * static_cast<float>(frame % 5)));
        }
        timeline.frames.push_back({frame / 200.0, {first, first + count}});
    }
    return timeline;
}

TEST(FramesInFlight, CompletionsOnTheQueueThreadReturnTheStrokeBuffers) {
    const GraphicsTimeline timeline = changingTimeline();
    std::shared_ptr<gpu::CommandBuffer> last;
    {
        MetalSceneRenderer renderer(std::make_shared<ThreadedDevice>(), gpu::PixelFormat::bgra8Unorm, 1);
        for (int frame = 0; frame < 150; ++frame) {
            auto commandBuffer = renderer.commandQueue()->commandBuffer();
            AudioFeatures features;
            features.energy = static_cast<float>(frame % 10) / 10.0f;
            renderer.encode(*commandBuffer, {}, 64, 36, timeline, frame / 150.0, features);
            commandBuffer->commit();
            last = commandBuffer;
        }
        last->waitUntilCompleted();
        EXPECT_EQ(last->status(), gpu::CommandBufferStatus::completed);
    }
}

} // namespace
} // namespace drevik

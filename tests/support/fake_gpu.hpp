#pragma once
// A scripted GPU device for the renderer's tests: every call is logged, buffers are plain memory,
// and each refusal a real device can give can be asked for. Its command buffers are completed by the
// test, or, for the thread tests, by a queue thread of their own that reads what each pass bound
// before it runs the completion handlers.
#include "render/gpu/gpu.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace drevik::testing {

struct Log {
    std::vector<std::string> lines;
    void add(std::string line) { lines.push_back(std::move(line)); }
};

class FakeBuffer : public gpu::Buffer {
public:
    explicit FakeBuffer(std::size_t length) : bytes_(length) {}
    std::size_t length() const override { return bytes_.size(); }
    void* contents() override { return bytes_.data(); }
    void setLabel(std::string label) override { label_ = std::move(label); }
    const std::string& label() const override { return label_; }

private:
    std::vector<std::byte> bytes_;
    std::string label_;
};

class FakeFunction : public gpu::Function {
public:
    FakeFunction(std::string name, gpu::ShaderStage stage) : name_(std::move(name)), stage_(stage) {}
    const std::string& name() const override { return name_; }
    gpu::ShaderStage stage() const override { return stage_; }

private:
    std::string name_;
    gpu::ShaderStage stage_;
};

class FakeLibrary : public gpu::Library {
public:
    std::shared_ptr<gpu::Function> makeFunction(std::string_view name) const override {
        for (const auto& f : functions) {
            if (f->name() == name) {
                return f;
            }
        }
        return nullptr;
    }
    std::vector<std::shared_ptr<gpu::Function>> functions;
};

class FakePipeline : public gpu::RenderPipelineState {
public:
    FakePipeline(gpu::RenderPipelineDescriptor d, std::string refusedVariant)
        : descriptor(std::move(d)), refusedVariant_(std::move(refusedVariant)) {}
    const std::string& label() const override { return descriptor.label; }
    void prepare(const gpu::DepthStencilState& state) override {
        const std::string variant = descriptor.label + " / " + state.label();
        if (variant == refusedVariant_) {
            throw gpu::GpuError(gpu::GpuStage::pipeline, "vkCreateGraphicsPipelines for " + variant, -2);
        }
        prepared.push_back(variant);
    }
    gpu::RenderPipelineDescriptor descriptor;
    std::vector<std::string> prepared;

private:
    std::string refusedVariant_;
};

class FakeDepthState : public gpu::DepthStencilState {
public:
    explicit FakeDepthState(gpu::DepthStencilDescriptor d) : descriptor(std::move(d)) {}
    const std::string& label() const override { return descriptor.label; }
    gpu::CompareFunction depthCompareFunction() const override { return descriptor.depthCompareFunction; }
    bool depthWriteEnabled() const override { return descriptor.depthWriteEnabled; }
    gpu::DepthStencilDescriptor descriptor;
};

class FakeEncoder : public gpu::RenderCommandEncoder {
public:
    explicit FakeEncoder(Log& log) : log_(log) {}
    void setLabel(std::string label) override {
        label_ = label;
        log_.add("label " + label);
    }
    const std::string& label() const override { return label_; }
    void setRenderPipelineState(const std::shared_ptr<gpu::RenderPipelineState>& p) override {
        log_.add("pipeline " + p->label());
    }
    void setDepthStencilState(const std::shared_ptr<gpu::DepthStencilState>& s) override {
        log_.add("depth " + s->label());
    }
    void setVertexBuffer(const std::shared_ptr<gpu::Buffer>& buffer, std::size_t offset, std::size_t index) override {
        log_.add("buffer " + buffer->label() + " " + std::to_string(offset) + " " + std::to_string(index));
        boundBuffer = buffer;
    }
    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index) override {
        log_.add("bytes " + std::to_string(length) + " " + std::to_string(index));
        uniforms.resize(length);
        std::memcpy(uniforms.data(), bytes, length);
    }
    void drawTriangles(std::size_t start, std::size_t count, std::size_t instances, std::size_t base) override {
        EXPECT_EQ(start, 0u);
        EXPECT_EQ(count, 6u);
        drawnInstances += instances;
        log_.add("draw " + std::to_string(instances) + " " + std::to_string(base));
    }
    void endEncoding() override { log_.add("end"); }

    std::shared_ptr<gpu::Buffer> boundBuffer;
    std::vector<std::byte> uniforms;
    std::size_t drawnInstances = 0;

private:
    Log& log_;
    std::string label_;
};

class CompletionThread;

// A command buffer whose completion the test calls (complete()), or, made by a queue that completes
// on its own thread, one that thread completes a little after commit(), as a GPU would.
class FakeCommandBuffer : public gpu::CommandBuffer, public std::enable_shared_from_this<FakeCommandBuffer> {
public:
    explicit FakeCommandBuffer(CompletionThread* thread = nullptr) : thread_(thread) {}
    void setLabel(std::string label) override { label_ = std::move(label); }
    const std::string& label() const override { return label_; }
    void addCompletedHandler(std::function<void()> handler) override { handlers.push_back(std::move(handler)); }
    std::shared_ptr<gpu::RenderCommandEncoder> makeRenderCommandEncoder(const gpu::RenderPassDescriptor&) override {
        if (!giveEncoder) {
            throw gpu::GpuError(gpu::GpuStage::renderPass, "vkCreateFramebuffer", -2);
        }
        encoder = std::make_shared<FakeEncoder>(log);
        return encoder;
    }
    void present(const std::shared_ptr<gpu::Drawable>&) override {}
    inline void commit() override;
    void waitUntilCompleted() override {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return thread_ == nullptr || status_ == gpu::CommandBufferStatus::completed; });
    }
    gpu::CommandBufferStatus status() const override {
        std::lock_guard lock(mutex_);
        return status_;
    }
    const std::optional<gpu::GpuError>& error() const override { return error_; }

    // Reads every byte the pass bound, as the GPU would, then runs the completion handlers.
    void complete() {
        if (encoder && encoder->boundBuffer) {
            const auto* bytes = static_cast<const unsigned char*>(encoder->boundBuffer->contents());
            for (std::size_t i = 0; i < encoder->boundBuffer->length(); ++i) checksum_ += bytes[i];
            for (std::byte b : encoder->uniforms) checksum_ += static_cast<unsigned>(b);
        }
        for (auto& handler : handlers) {
            handler();
        }
        handlers.clear();
        {
            std::lock_guard lock(mutex_);
            status_ = gpu::CommandBufferStatus::completed;
        }
        done_.notify_all();
    }

    Log log;
    bool giveEncoder = true;
    std::shared_ptr<FakeEncoder> encoder;
    std::vector<std::function<void()>> handlers;

private:
    CompletionThread* thread_;
    std::string label_;
    std::optional<gpu::GpuError> error_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    gpu::CommandBufferStatus status_ = gpu::CommandBufferStatus::notEnqueued;
    unsigned checksum_ = 0;
};

// Completes committed command buffers in order on its own thread, a little later, like a GPU.
class CompletionThread {
public:
    CompletionThread() : thread_([this] { run(); }) {}
    ~CompletionThread() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    CompletionThread(const CompletionThread&) = delete;
    CompletionThread& operator=(const CompletionThread&) = delete;

    void submit(std::shared_ptr<FakeCommandBuffer> commandBuffer) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(std::move(commandBuffer));
        }
        wake_.notify_all();
    }

private:
    void run() {
        for (;;) {
            std::shared_ptr<FakeCommandBuffer> next;
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
            next->complete();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<FakeCommandBuffer>> pending_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once everything above is ready
};

void FakeCommandBuffer::commit() {
    {
        std::lock_guard lock(mutex_);
        status_ = gpu::CommandBufferStatus::committed;
    }
    if (thread_ != nullptr) thread_->submit(shared_from_this());
}

class FakeQueue : public gpu::CommandQueue {
public:
    explicit FakeQueue(bool completesOnItsOwnThread) {
        if (completesOnItsOwnThread) thread_ = std::make_unique<CompletionThread>();
    }
    std::shared_ptr<gpu::CommandBuffer> commandBuffer() override {
        return std::make_shared<FakeCommandBuffer>(thread_.get());
    }

private:
    std::unique_ptr<CompletionThread> thread_;
};

class FakeDevice : public gpu::Device {
public:
    const std::string& name() const override { return name_; }
    bool supportsTextureSampleCount(std::size_t count) const override { return count == 1 || count == 4; }
    std::size_t maxTextureDimension2D() const override { return 16384; }
    std::shared_ptr<gpu::CommandQueue> makeCommandQueue() override {
        return giveQueue ? std::make_shared<FakeQueue>(completesOnItsOwnThread) : nullptr;
    }
    std::shared_ptr<gpu::Buffer> makeBuffer(std::size_t length) override {
        bufferRequests.push_back(length);
        return refuseBuffers ? nullptr : std::make_shared<FakeBuffer>(length);
    }
    std::shared_ptr<gpu::Texture> makeTexture(const gpu::TextureDescriptor&) override { return nullptr; }
    std::shared_ptr<gpu::DepthStencilState> makeDepthStencilState(const gpu::DepthStencilDescriptor& d) override {
        if (d.label == refusedDepthState) {
            return nullptr;
        }
        auto state = std::make_shared<FakeDepthState>(d);
        depthStates.push_back(state);
        return state;
    }
    std::shared_ptr<gpu::Library> makeLibrary(std::string_view source,
                                              const std::vector<gpu::ShaderFunctionDescriptor>& functions) override {
        if (!compileError.empty()) {
            throw gpu::ShaderCompileError(compileError);
        }
        if (refusedModule) {
            throw gpu::GpuError(gpu::GpuStage::shaderModule, "vkCreateShaderModule for lineVertex", -1);
        }
        EXPECT_FALSE(source.empty());
        auto library = std::make_shared<FakeLibrary>();
        for (const auto& f : functions) {
            if (f.name != missingFunction && f.name != alsoMissingFunction) {
                library->functions.push_back(std::make_shared<FakeFunction>(f.name, f.stage));
            }
        }
        return library;
    }
    std::shared_ptr<gpu::RenderPipelineState> makeRenderPipelineState(const gpu::RenderPipelineDescriptor& d) override {
        if (d.label == refusedPipeline) {
            throw gpu::GpuError(gpu::GpuStage::pipeline, d.label + ": unsupported colour attachment pixel format");
        }
        auto pipeline = std::make_shared<FakePipeline>(d, refusedVariant);
        pipelines.push_back(pipeline);
        return pipeline;
    }
    std::shared_ptr<gpu::Swapchain> makeSwapchain() override { return nullptr; }

    bool giveQueue = true;
    bool completesOnItsOwnThread = false;  // false: the test completes each command buffer
    bool refuseBuffers = false;
    bool refusedModule = false;
    std::string compileError;
    std::string missingFunction;
    std::string alsoMissingFunction;
    std::string refusedPipeline;
    std::string refusedVariant;   // "<pipeline label> / <depth state label>"
    std::string refusedDepthState;
    std::vector<std::size_t> bufferRequests;
    std::vector<std::shared_ptr<FakePipeline>> pipelines;
    std::vector<std::shared_ptr<FakeDepthState>> depthStates;

private:
    std::string name_ = "scripted";
};

} // namespace drevik::testing

// Command queue, command buffers and the render command encoder of the Vulkan GPU layer.
//
// Each command buffer borrows a FrameResources bundle (frame_resources.hpp: command pool, fence,
// descriptor pools, uniform memory) from its queue's pool and gives it back once the GPU is done, so
// steady-state frames reuse the same platform objects. A worker thread per queue waits on the fences in submission order, runs
// the completion handlers and recycles the bundles.
#include "render/gpu/frame_resources.hpp"
#include "render/gpu/vulkan_internal.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <system_error>
#include <utility>

namespace drevik::gpu::vk {
namespace {

class VulkanCommandBuffer;

// The queue's completion thread and its list of committed command buffers, in submission order.
struct CompletionWorker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<VulkanCommandBuffer>> pending;
    bool stopping = false;
    bool stopped = false;
    // The first exception a completion handler threw that no waitUntilCompleted has delivered yet;
    // the queue's next commit rethrows it.
    std::exception_ptr undeliveredHandlerFailure;

    std::exception_ptr takeUndelivered() {
        std::lock_guard lock(mutex);
        return std::exchange(undeliveredHandlerFailure, nullptr);
    }

    void run();
    // False when the worker has stopped; the caller then completes the command buffer itself.
    bool enqueue(std::shared_ptr<VulkanCommandBuffer> commandBuffer) {
        {
            std::lock_guard lock(mutex);
            if (stopped || stopping) return false;
            pending.push_back(std::move(commandBuffer));
        }
        wake.notify_one();
        return true;
    }
};

class VulkanRenderCommandEncoder;

class VulkanCommandBuffer final : public CommandBuffer, public std::enable_shared_from_this<VulkanCommandBuffer> {
public:
    VulkanCommandBuffer(std::shared_ptr<DeviceCore> core, std::shared_ptr<FramePool> pool,
                        std::shared_ptr<CompletionWorker> worker)
        : core_(std::move(core)), pool_(std::move(pool)), worker_(std::move(worker)), frame_(pool_->take()) {
        auto begin = vkStruct<VkCommandBufferBeginInfo>(VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO);
        begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
        check(vkBeginCommandBuffer(frame_->commands, &begin), GpuStage::commandBuffer, "vkBeginCommandBuffer");
    }

    ~VulkanCommandBuffer() override {
        if (frame_) {
            if (status_ == CommandBufferStatus::notEnqueued) {
                endOpenPass();
                vkEndCommandBuffer(frame_->commands);
            }
            pool_->give(std::move(frame_));
        }
    }

    void setLabel(std::string label) override {
        label_ = std::move(label);
        core_->nameObject(VK_OBJECT_TYPE_COMMAND_BUFFER, frame_->commands, label_);
    }
    const std::string& label() const override { return label_; }

    void addCompletedHandler(std::function<void()> handler) override {
        std::lock_guard lock(mutex_);
        handlers_.push_back(std::move(handler));
    }

    std::shared_ptr<RenderCommandEncoder> makeRenderCommandEncoder(const RenderPassDescriptor& pass) override;

    void copyToBuffer(const std::shared_ptr<Texture>& texture, Region region,
                      const std::shared_ptr<Buffer>& buffer) override;

    void present(const std::shared_ptr<Drawable>& drawable) override {
        if (status_ != CommandBufferStatus::notEnqueued) {
            throw GpuError(GpuStage::presentation, "a drawable must be presented before its command buffer is committed");
        }
        auto typed = std::dynamic_pointer_cast<VulkanDrawable>(drawable);
        if (!typed || drawable_ || typed->submitted) {
            fail(GpuError(GpuStage::presentation, "a command buffer presents one drawable of this device, once"));
            return;
        }
        // The drawable's acquire semaphore is reused once this command buffer has completed.
        retain(typed);
        drawable_ = std::move(typed);
    }

    void commit() override {
        if (status_ != CommandBufferStatus::notEnqueued) {
            throw GpuError(GpuStage::submission, "a command buffer can be committed only once");
        }
        // A handler of an earlier command buffer failed and nobody waited to hear it: reported once
        // this one is on its way.
        const std::exception_ptr earlierFailure = worker_->takeUndelivered();
        endOpenPass();
        VkPipelineStageFlags waitStage = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
        if (drawable_ && !drawn(drawable_->image())) waitStage = prepareUndrawn(drawable_->image());
        // A drawable must reach the window: what was recorded before a failure is submitted all the same.
        bool ended = false;
        if (!recordingError_ || drawable_) {
            if (VkResult result = vkEndCommandBuffer(frame_->commands); result != VK_SUCCESS) {
                fail(GpuError(GpuStage::recording, "vkEndCommandBuffer", result));
            } else {
                ended = true;
            }
        }
        if (ended) {
            auto submit = vkStruct<VkSubmitInfo>(VK_STRUCTURE_TYPE_SUBMIT_INFO);
            submit.commandBufferCount = 1;
            submit.pCommandBuffers = &frame_->commands;
            VkSemaphore acquired = VK_NULL_HANDLE;
            VkSemaphore rendered = VK_NULL_HANDLE;
            if (drawable_) {
                acquired = drawable_->acquired();
                rendered = drawable_->rendered();
                submit.waitSemaphoreCount = 1;
                submit.pWaitSemaphores = &acquired;
                submit.pWaitDstStageMask = &waitStage;
                submit.signalSemaphoreCount = 1;
                submit.pSignalSemaphores = &rendered;
            }
            std::lock_guard lock(core_->queueMutex);
            VkResult result = vkQueueSubmit(core_->queue, 1, &submit, frame_->fence);
            if (result == VK_SUCCESS) {
                submitted_ = true;
                if (drawable_) presentDrawable();
            } else {
                fail(GpuError(GpuStage::submission, "vkQueueSubmit", result));
            }
        }
        drawable_.reset(); // retained until completion
        {
            std::lock_guard lock(mutex_);
            status_ = CommandBufferStatus::committed;
        }
        if (!worker_->enqueue(shared_from_this())) {
            complete();
        }
        if (earlierFailure) {
            std::rethrow_exception(earlierFailure);
        }
    }

    void waitUntilCompleted() override {
        std::exception_ptr failure;
        {
            std::unique_lock lock(mutex_);
            if (status_ == CommandBufferStatus::notEnqueued) return;
            done_.wait(lock, [&] { return finished_; });
            failure = std::exchange(handlerFailure_, nullptr);
        }
        if (failure) {
            {
                std::lock_guard lock(worker_->mutex);
                if (worker_->undeliveredHandlerFailure == failure) worker_->undeliveredHandlerFailure = nullptr;
            }
            std::rethrow_exception(failure);
        }
    }

    CommandBufferStatus status() const override {
        std::lock_guard lock(mutex_);
        return status_;
    }

    const std::optional<GpuError>& error() const override { return error_; }

    // Runs on the completion thread: waits for the GPU, runs the handlers, recycles the resources.
    void complete() {
        bool gpuDone = true;
        if (submitted_) {
            VkResult result = vkWaitForFences(core_->device, 1, &frame_->fence, VK_TRUE,
                                              std::numeric_limits<std::uint64_t>::max());
            if (result != VK_SUCCESS) {
                gpuDone = false;
                fail(GpuError(GpuStage::execution, "waiting for " + (label_.empty() ? "a command buffer" : label_),
                              result));
            }
        }
        if (recordingError_) {
            error_ = *recordingError_;
        }
        std::vector<std::function<void()>> handlers;
        {
            std::lock_guard lock(mutex_);
            handlers.swap(handlers_);
            status_ = error_ ? CommandBufferStatus::error : CommandBufferStatus::completed;
        }
        // A handler's failure must not stop the other handlers nor later command buffers: it is kept
        // for waitUntilCompleted, or else the queue's next commit.
        std::exception_ptr failure;
        for (auto& handler : handlers) {
            try {
                handler();
            } catch (...) {
                if (!failure) {
                    failure = std::current_exception();
                    std::lock_guard lock(worker_->mutex);
                    if (!worker_->undeliveredHandlerFailure) worker_->undeliveredHandlerFailure = failure;
                }
            }
        }
        if (gpuDone) {
            pool_->give(std::move(frame_));
        } else {
            // The device is lost and may still hold these objects: destroying them would be invalid.
            static_cast<void>(frame_.release());
        }
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
            handlerFailure_ = failure;
        }
        done_.notify_all();
    }

    // Records a failure; the command buffer is then not submitted and completes with the error.
    void fail(GpuError error) {
        if (!recordingError_) recordingError_ = std::move(error);
    }
    bool failed() const { return recordingError_.has_value(); }

    FrameResources& frame() { return *frame_; }
    const std::shared_ptr<DeviceCore>& core() const { return core_; }
    void retain(std::shared_ptr<const void> object) { frame_->retained.push_back(std::move(object)); }
    void passEnded() { passOpen_ = false; }

    // A pass of this command buffer writes `texture` as its single-sample result.
    void markDrawn(const VulkanTexture& texture) { drawnTextures_.push_back(texture.id()); }

private:
    void endOpenPass();

    bool drawn(const VulkanTexture& texture) const {
        return std::find(drawnTextures_.begin(), drawnTextures_.end(), texture.id()) != drawnTextures_.end();
    }

    // Makes a drawable that no pass has drawn black (where its images allow copies) and ready to be
    // presented; returns the stage at which the batch must wait for the image.
    VkPipelineStageFlags prepareUndrawn(const VulkanTexture& texture) {
        auto barrier = vkStruct<VkImageMemoryBarrier>(VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER);
        barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
        barrier.image = texture.image();
        barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        barrier.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
        if (!drawable_->clearable()) {
            barrier.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
            vkCmdPipelineBarrier(frame_->commands, VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT,
                                 VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0, 0, nullptr, 0, nullptr, 1, &barrier);
            return VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
        }
        barrier.newLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
        barrier.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
        vkCmdPipelineBarrier(frame_->commands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0,
                             nullptr, 0, nullptr, 1, &barrier);
        VkClearColorValue black{};
        black.float32[3] = 1;
        vkCmdClearColorImage(frame_->commands, texture.image(), VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &black, 1,
                             &barrier.subresourceRange);
        barrier.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL;
        barrier.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
        barrier.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
        barrier.dstAccessMask = 0;
        vkCmdPipelineBarrier(frame_->commands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0,
                             0, nullptr, 0, nullptr, 1, &barrier);
        return VK_PIPELINE_STAGE_TRANSFER_BIT;
    }

    // Queues the drawable's presentation after the submitted batch; the queue's lock is held.
    void presentDrawable() {
        drawable_->submitted = true;
        VkSemaphore rendered = drawable_->rendered();
        VkSwapchainKHR swapchain = drawable_->swapchain();
        std::uint32_t index = drawable_->imageIndex();
        auto info = vkStruct<VkPresentInfoKHR>(VK_STRUCTURE_TYPE_PRESENT_INFO_KHR);
        info.waitSemaphoreCount = 1;
        info.pWaitSemaphores = &rendered;
        info.swapchainCount = 1;
        info.pSwapchains = &swapchain;
        info.pImageIndices = &index;
        VkResult result = vkQueuePresentKHR(core_->queue, &info);
        if (result == VK_SUBOPTIMAL_KHR || result == VK_ERROR_OUT_OF_DATE_KHR || result == VK_ERROR_SURFACE_LOST_KHR) {
            drawable_->markOutOfDate(); // the window changed: the next drawable comes from new images
        } else if (result != VK_SUCCESS) {
            fail(GpuError(GpuStage::presentation, "vkQueuePresentKHR", result));
        }
    }

    std::shared_ptr<DeviceCore> core_;
    std::shared_ptr<FramePool> pool_;
    std::shared_ptr<CompletionWorker> worker_;
    std::unique_ptr<FrameResources> frame_;
    std::string label_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::vector<std::function<void()>> handlers_;
    CommandBufferStatus status_ = CommandBufferStatus::notEnqueued;
    bool finished_ = false;
    bool submitted_ = false;
    bool passOpen_ = false;
    std::weak_ptr<VulkanRenderCommandEncoder> openEncoder_;
    std::shared_ptr<VulkanDrawable> drawable_;
    std::vector<std::uint64_t> drawnTextures_;
    std::optional<GpuError> recordingError_;
    std::optional<GpuError> error_;
    std::exception_ptr handlerFailure_;
};

void CompletionWorker::run() {
    while (true) {
        std::shared_ptr<VulkanCommandBuffer> next;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return stopping || !pending.empty(); });
            if (pending.empty()) {
                stopped = true;
                return;
            }
            next = std::move(pending.front());
            pending.pop_front();
        }
        next->complete();
    }
}

// The attachments of a render pass, as far as a pipeline must match them.
struct PassAttachments {
    VkFormat color = VK_FORMAT_UNDEFINED;
    bool resolve = false;
    VkFormat depth = VK_FORMAT_UNDEFINED;
};

class VulkanRenderCommandEncoder final : public RenderCommandEncoder {
public:
    VulkanRenderCommandEncoder(std::shared_ptr<VulkanCommandBuffer> owner, PassAttachments attachments,
                               std::size_t sampleCount)
        : owner_(std::move(owner)), attachments_(attachments), sampleCount_(sampleCount),
          commands_(owner_->frame().commands) {}

    void setLabel(std::string label) override {
        label_ = std::move(label);
        if (const auto& core = *owner_->core(); core.insertLabel && !ended_) {
            auto marker = vkStruct<VkDebugUtilsLabelEXT>(VK_STRUCTURE_TYPE_DEBUG_UTILS_LABEL_EXT);
            marker.pLabelName = label_.c_str();
            core.insertLabel(commands_, &marker);
        }
    }
    const std::string& label() const override { return label_; }

    void setRenderPipelineState(const std::shared_ptr<RenderPipelineState>& pipeline) override {
        if (ended_) return;
        auto typed = std::dynamic_pointer_cast<VulkanRenderPipeline>(pipeline);
        if (typed && typed != pipeline_) owner_->retain(typed);
        pipeline_ = std::move(typed);
    }

    void setDepthStencilState(const std::shared_ptr<DepthStencilState>& state) override {
        depthCompare_ = state ? state->depthCompareFunction() : CompareFunction::always;
        depthWrite_ = state ? state->depthWriteEnabled() : false;
    }

    void setVertexBuffer(const std::shared_ptr<Buffer>& buffer, std::size_t offset, std::size_t index) override {
        if (ended_) return;
        if (index != 0) {
            owner_->fail(GpuError(GpuStage::recording, "setVertexBuffer: only buffer index 0 exists"));
            return;
        }
        auto typed = std::dynamic_pointer_cast<VulkanBuffer>(buffer);
        const auto alignment = owner_->core()->properties.limits.minStorageBufferOffsetAlignment;
        if (typed && (offset >= typed->length() || offset % alignment != 0)) {
            owner_->fail(GpuError(GpuStage::recording, "setVertexBuffer: offset " + std::to_string(offset) +
                                                           " is out of range or misaligned"));
            return;
        }
        if (typed && typed != storage_) owner_->retain(typed);
        storage_ = std::move(typed);
        storageOffset_ = offset;
        descriptorsDirty_ = true;
    }

    void setVertexBytes(const void* bytes, std::size_t length, std::size_t index) override {
        if (ended_) return;
        if (index != 1 || length > uniformSlotSize) {
            owner_->fail(GpuError(GpuStage::recording, "setVertexBytes: only index 1 with at most 256 bytes exists"));
            return;
        }
        try {
            auto [arena, offset] = owner_->frame().uniformSlot();
            std::memcpy(static_cast<unsigned char*>(arena->contents()) + offset, bytes, length);
            if (arena != uniformArena_) descriptorsDirty_ = true;
            uniformArena_ = arena;
            uniformOffset_ = static_cast<std::uint32_t>(offset);
            offsetsDirty_ = true;
        } catch (const GpuError& error) {
            owner_->fail(error);
        }
    }

    void drawTriangles(std::size_t vertexStart, std::size_t vertexCount, std::size_t instanceCount,
                       std::size_t baseInstance) override {
        if (ended_ || owner_->failed()) return;
        if (!pipeline_) {
            owner_->fail(GpuError(GpuStage::recording, "drawTriangles: no render pipeline state is set"));
            return;
        }
        const RenderPipelineDescriptor& described = pipeline_->descriptor();
        if (described.rasterSampleCount != sampleCount_ ||
            toVkFormat(described.colorAttachments[0].pixelFormat) != attachments_.color) {
            owner_->fail(GpuError(GpuStage::recording, "drawTriangles: the colour format or sample count of " +
                                                           described.label + " differs from the render pass's"));
            return;
        }
        if (vertexCount == 0 || instanceCount == 0) return;
        try {
            VkPipeline pipeline =
                pipeline_->variant(attachments_.resolve, attachments_.depth, depthCompare_, depthWrite_);
            if (pipeline != boundPipeline_) {
                vkCmdBindPipeline(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
                boundPipeline_ = pipeline;
            }
            if (descriptorsDirty_ || offsetsDirty_) {
                bindDescriptors();
            }
        } catch (const GpuError& error) {
            owner_->fail(error);
            return;
        }
        vkCmdDraw(commands_, static_cast<std::uint32_t>(vertexCount), static_cast<std::uint32_t>(instanceCount),
                  static_cast<std::uint32_t>(vertexStart), static_cast<std::uint32_t>(baseInstance));
    }

    void endEncoding() override {
        if (ended_) return;
        ended_ = true;
        vkCmdEndRenderPass(commands_);
        owner_->passEnded();
    }

    bool ended() const { return ended_; }

private:
    void bindDescriptors() {
        DeviceCore& core = *owner_->core();
        VkBuffer storage = storage_ ? storage_->handle() : core.placeholderBuffer;
        VkDeviceSize storageSize = storage_ ? std::max<VkDeviceSize>(storage_->length(), 4) : 256;
        VkDeviceSize range = std::min<VkDeviceSize>(storageSize - storageOffset_,
                                                    core.properties.limits.maxStorageBufferRange);
        VkBuffer uniforms = uniformArena_ ? uniformArena_->handle() : core.placeholderBuffer;
        VkDescriptorSet set = owner_->frame().descriptorSet(storage_.get(), storage, storage_ ? storageOffset_ : 0,
                                                            range, uniformArena_, uniforms);
        std::uint32_t dynamicOffset = uniformArena_ ? uniformOffset_ : 0;
        vkCmdBindDescriptorSets(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS, core.pipelineLayout, 0, 1, &set, 1,
                                &dynamicOffset);
        descriptorsDirty_ = false;
        offsetsDirty_ = false;
    }

    std::shared_ptr<VulkanCommandBuffer> owner_;
    PassAttachments attachments_;
    std::size_t sampleCount_;
    VkCommandBuffer commands_;
    std::string label_;
    std::shared_ptr<VulkanRenderPipeline> pipeline_;
    CompareFunction depthCompare_ = CompareFunction::always;
    bool depthWrite_ = false;
    std::shared_ptr<VulkanBuffer> storage_;
    std::size_t storageOffset_ = 0;
    const VulkanBuffer* uniformArena_ = nullptr;
    std::uint32_t uniformOffset_ = 0;
    VkPipeline boundPipeline_ = VK_NULL_HANDLE;
    bool descriptorsDirty_ = true;
    bool offsetsDirty_ = true;
    bool ended_ = false;
};

void VulkanCommandBuffer::endOpenPass() {
    if (auto encoder = openEncoder_.lock(); encoder && passOpen_) {
        encoder->endEncoding();
    } else if (passOpen_) {
        vkCmdEndRenderPass(frame_->commands);
        passOpen_ = false;
    }
}

VkAttachmentLoadOp toLoadOp(LoadAction action) {
    switch (action) {
    case LoadAction::clear: return VK_ATTACHMENT_LOAD_OP_CLEAR;
    case LoadAction::load: return VK_ATTACHMENT_LOAD_OP_LOAD;
    case LoadAction::dontCare: break;
    }
    return VK_ATTACHMENT_LOAD_OP_DONT_CARE;
}

// Why the pass cannot be drawn with these attachments, or nothing when it can.
std::optional<std::string> attachmentProblem(const RenderPassDescriptor& pass, const VulkanTexture* color,
                                             const VulkanTexture* resolve, const VulkanTexture* depth,
                                             bool resolving) {
    if (!color) return "colour attachment 0 has no texture of this device";
    if (color->isDepth()) return "colour attachment 0 is a depth texture";
    if (resolving) {
        if (color->sampleCount() == 1) return "a single-sample colour texture cannot be resolved";
        if (!resolve) return "the multisample resolve has no resolve texture of this device";
        if (resolve->sampleCount() != 1 || resolve->isDepth()) {
            return "the resolve texture must be a single-sample colour texture";
        }
    }
    if (pass.depthAttachment.texture && !depth) return "the depth attachment is not a texture of this device";
    if (depth && !depth->isDepth()) return "the depth attachment is not a depth texture";
    if (depth && depth->sampleCount() != color->sampleCount()) {
        return "the depth texture has " + std::to_string(depth->sampleCount()) + " sample(s), the colour texture " +
               std::to_string(color->sampleCount());
    }
    auto sameSize = [&](const VulkanTexture* texture) {
        return !texture || (texture->width() == color->width() && texture->height() == color->height());
    };
    if (!sameSize(depth) || (resolving && !sameSize(resolve))) {
        return "the attachments differ in size from the " + std::to_string(color->width()) + "x" +
               std::to_string(color->height()) + " colour texture";
    }
    return std::nullopt;
}

std::shared_ptr<RenderCommandEncoder> VulkanCommandBuffer::makeRenderCommandEncoder(const RenderPassDescriptor& pass) {
    if (status_ != CommandBufferStatus::notEnqueued) {
        throw GpuError(GpuStage::renderPass, "the command buffer " + label_ + " is already committed");
    }
    if (recordingError_) {
        throw GpuError(GpuStage::renderPass, "the command buffer has already failed: " +
                                                 std::string(recordingError_->what()));
    }
    endOpenPass();
    auto color = std::dynamic_pointer_cast<VulkanTexture>(pass.colorAttachments[0].texture);
    auto resolve = std::dynamic_pointer_cast<VulkanTexture>(pass.colorAttachments[0].resolveTexture);
    auto depth = std::dynamic_pointer_cast<VulkanTexture>(pass.depthAttachment.texture);
    const bool resolving = pass.colorAttachments[0].storeAction == StoreAction::multisampleResolve;
    if (auto problem = attachmentProblem(pass, color.get(), resolve.get(), depth.get(), resolving)) {
        throw GpuError(GpuStage::renderPass, *problem);
    }
    const auto width = color->width();
    const auto height = color->height();

    DeviceCore::PassKey key{};
    key.colorFormat = toVkFormat(color->pixelFormat());
    key.samples = static_cast<VkSampleCountFlagBits>(color->sampleCount());
    key.resolve = resolving;
    key.depthFormat = depth ? toVkFormat(depth->pixelFormat()) : VK_FORMAT_UNDEFINED;
    key.colorLoad = toLoadOp(pass.colorAttachments[0].loadAction);
    key.colorStore = pass.colorAttachments[0].storeAction == StoreAction::store ? VK_ATTACHMENT_STORE_OP_STORE
                                                                                : VK_ATTACHMENT_STORE_OP_DONT_CARE;
    key.colorInitial = key.colorLoad == VK_ATTACHMENT_LOAD_OP_LOAD && color->written ? color->restingLayout()
                                                                                     : VK_IMAGE_LAYOUT_UNDEFINED;
    key.depthLoad = depth ? toLoadOp(pass.depthAttachment.loadAction) : VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    key.depthStore = depth && pass.depthAttachment.storeAction == StoreAction::store ? VK_ATTACHMENT_STORE_OP_STORE
                                                                                      : VK_ATTACHMENT_STORE_OP_DONT_CARE;
    key.depthInitial = depth && key.depthLoad == VK_ATTACHMENT_LOAD_OP_LOAD && depth->written
                           ? depth->restingLayout()
                           : VK_IMAGE_LAYOUT_UNDEFINED;
    const VulkanTexture* output = resolving ? resolve.get() : color->sampleCount() == 1 ? color.get() : nullptr;
    key.outputFinal = output && output->isDrawable() ? VK_IMAGE_LAYOUT_PRESENT_SRC_KHR
                                                     : VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;

    const VkRenderPass renderPass = core_->renderPass(key);
    const VkFramebuffer framebuffer =
        frame_->framebuffer(renderPass, *color, resolving ? resolve.get() : nullptr, depth.get());
    retain(color);
    if (resolving) retain(resolve);
    if (depth) retain(depth);

    const ClearColor& clear = pass.colorAttachments[0].clearColor;
    std::array<VkClearValue, 3> clearValues{};
    std::uint32_t clearCount = 0;
    clearValues[clearCount++].color = {{static_cast<float>(clear.red), static_cast<float>(clear.green),
                                        static_cast<float>(clear.blue), static_cast<float>(clear.alpha)}};
    if (resolving) clearValues[clearCount++].color = {{0, 0, 0, 0}};
    if (depth) clearValues[clearCount++].depthStencil = {static_cast<float>(pass.depthAttachment.clearDepth), 0};

    auto begin = vkStruct<VkRenderPassBeginInfo>(VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO);
    begin.renderPass = renderPass;
    begin.framebuffer = framebuffer;
    begin.renderArea = {{0, 0}, {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)}};
    begin.clearValueCount = clearCount;
    begin.pClearValues = clearValues.data();
    vkCmdBeginRenderPass(frame_->commands, &begin, VK_SUBPASS_CONTENTS_INLINE);
    passOpen_ = true;

    // A negative height turns Vulkan's y-down framebuffer into the y-up clip space the shader assumes,
    // while row 0 of the texture stays the top row of the picture.
    VkViewport viewport{0, static_cast<float>(height), static_cast<float>(width), -static_cast<float>(height), 0, 1};
    VkRect2D scissor{{0, 0}, {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)}};
    vkCmdSetViewport(frame_->commands, 0, 1, &viewport);
    vkCmdSetScissor(frame_->commands, 0, 1, &scissor);

    if (output && output->isDrawable()) markDrawn(*output);
    if (key.colorStore == VK_ATTACHMENT_STORE_OP_STORE) color->written = true;
    if (resolving) resolve->written = true;
    if (depth && key.depthStore == VK_ATTACHMENT_STORE_OP_STORE) depth->written = true;

    const PassAttachments attachments{key.colorFormat, resolving, key.depthFormat};
    auto encoder = std::make_shared<VulkanRenderCommandEncoder>(shared_from_this(), attachments, color->sampleCount());
    openEncoder_ = encoder;
    return encoder;
}

void VulkanCommandBuffer::copyToBuffer(const std::shared_ptr<Texture>& texture, Region region,
                                       const std::shared_ptr<Buffer>& buffer) {
    if (status_ != CommandBufferStatus::notEnqueued) {
        throw GpuError(GpuStage::readBack, "the command buffer " + label_ + " is already committed");
    }
    if (recordingError_) return;
    auto source = std::dynamic_pointer_cast<VulkanTexture>(texture);
    auto target = std::dynamic_pointer_cast<VulkanBuffer>(buffer);
    if (!source || !target || source->isDepth() || source->isDrawable() || source->sampleCount() != 1) {
        fail(GpuError(GpuStage::readBack, "only a single-sample colour texture of this device can be copied into a "
                                          "buffer of this device"));
        return;
    }
    if (region.width == 0 || region.height == 0) return;
    if (region.x + region.width > source->width() || region.y + region.height > source->height() ||
        target->length() / 4 / region.height < region.width) {
        fail(GpuError(GpuStage::readBack, "the region " + std::to_string(region.width) + "x" +
                                              std::to_string(region.height) + " does not fit the " +
                                              std::to_string(source->width()) + "x" +
                                              std::to_string(source->height()) + " texture and the buffer of " +
                                              std::to_string(target->length()) + " bytes"));
        return;
    }
    endOpenPass();
    retain(source);
    retain(target);
    recordCopyToBuffer(frame_->commands, *source, region, *target);
}

class VulkanCommandQueue final : public CommandQueue {
public:
    explicit VulkanCommandQueue(std::shared_ptr<DeviceCore> core)
        : core_(std::move(core)), pool_(std::make_shared<FramePool>()),
          worker_(std::make_shared<CompletionWorker>()) {
        pool_->core = core_;
        // Fail early if the platform objects of a command buffer cannot be made.
        pool_->give(pool_->take());
        try {
            thread_ = std::thread([worker = worker_] { worker->run(); });
        } catch (const std::system_error& error) {
            throw GpuError(GpuStage::commandQueue, std::string("the completion thread could not start: ") + error.what());
        }
    }

    ~VulkanCommandQueue() override {
        {
            std::lock_guard lock(worker_->mutex);
            worker_->stopping = true;
        }
        worker_->wake.notify_all();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    std::shared_ptr<CommandBuffer> commandBuffer() override {
        try {
            return std::make_shared<VulkanCommandBuffer>(core_, pool_, worker_);
        } catch (const GpuError& error) {
            if (outOfMemory(static_cast<VkResult>(error.result()))) return nullptr; // none to give
            throw;
        }
    }

private:
    std::shared_ptr<DeviceCore> core_;
    std::shared_ptr<FramePool> pool_;
    std::shared_ptr<CompletionWorker> worker_;
    std::thread thread_;
};

} // namespace

std::shared_ptr<CommandQueue> makeCommandQueue(const std::shared_ptr<DeviceCore>& core) {
    try {
        return std::make_shared<VulkanCommandQueue>(core);
    } catch (const GpuError& error) {
        if (outOfMemory(static_cast<VkResult>(error.result()))) return nullptr; // none to give
        throw GpuError(GpuStage::commandQueue, error.detail(), error.result());
    }
}

} // namespace drevik::gpu::vk

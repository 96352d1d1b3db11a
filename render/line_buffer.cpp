#include "render/line_buffer.hpp"

#include "core/scene_span.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>

namespace drevik {

namespace {

std::span<const PackedLine> frameSegments(const GraphicsTimeline& timeline, const VisualFrame& frame) {
    const auto first = static_cast<std::size_t>(frame.segmentRange.lowerBound);
    const auto count = static_cast<std::size_t>(frame.segmentRange.count());
    return std::span<const PackedLine>(timeline.segments).subspan(first, count);
}

bool frameIsEmpty(const GraphicsTimeline& timeline, std::int64_t index) {
    return timeline.frames[static_cast<std::size_t>(index)].segmentRange.empty();
}

} // namespace

std::int32_t quantizeEndpointCoordinate(float value) {
    const double scaled = std::round(static_cast<double>(value) * 65536.0);
    if (std::isnan(scaled)) {
        return 0;
    }
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp(scaled, lowest, highest));
}

EndpointOwnerKey EndpointOwnerKey::of(float px, float py) {
    return {quantizeEndpointCoordinate(px), quantizeEndpointCoordinate(py)};
}

void EndpointOwnerSet::reset(std::size_t keys) {
    std::size_t wanted = 16;
    while (wanted < keys * 2) {
        wanted *= 2;
    }
    if (slots_.size() < wanted) {
        slots_.assign(wanted, Slot{});
        generation_ = 0;
    }
    mask_ = slots_.size() - 1;
    if (++generation_ == 0) {
        // The generation counter wrapped: every slot must read as free again.
        for (auto& slot : slots_) {
            slot.generation = 0;
        }
        generation_ = 1;
    }
}

bool EndpointOwnerSet::insert(EndpointOwnerKey key) {
    std::uint64_t h = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(key.x)) << 32) |
                      static_cast<std::uint32_t>(key.y);
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    for (std::size_t i = static_cast<std::size_t>(h) & mask_;; i = (i + 1) & mask_) {
        Slot& slot = slots_[i];
        if (slot.generation != generation_) {
            slot.key = key;
            slot.generation = generation_;
            return true;
        }
        if (slot.key == key) {
            return false;
        }
    }
}

float strokeSeed(std::uint32_t position) {
    const std::uint32_t h = 0x9E3779B9u + position;
    const std::uint32_t h1 = (h ^ (h >> 16)) * 0x7FEB352Du;
    const std::uint32_t h2 = (h1 ^ (h1 >> 15)) * 0x846CA68Bu;
    const std::uint32_t bits = (h2 ^ (h2 >> 16)) & 0xFFFFFFu;
    return static_cast<float>(bits) / 16777216.0f;
}

std::int64_t frameSignature(const GraphicsTimeline& timeline, double t, std::span<const double> delays,
                            std::vector<BufferedFrame>& out) {
    out.clear();
    const std::optional<std::int64_t> onScreen = timeline.frameIndex(t);
    if (!onScreen || frameIsEmpty(timeline, *onScreen) || delays.empty()) {
        return 0;
    }
    const std::int64_t i0 = *onScreen;
    const double duration = timeline.durationSeconds;
    auto sampledFrame = [&](double delay) {
        double th = t - delay / duration;
        if (!(th >= 0)) {
            th = 0;
        }
        return timeline.frameIndex(th);
    };

    // The barrier is the newest empty frame below i0. Only candidates can fall behind it, so the
    // downward scan stops at the oldest candidate instead of running to frame 0.
    std::int64_t oldest = i0;
    for (const double delay : delays) {
        if (const auto i = sampledFrame(delay)) {
            oldest = std::min(oldest, *i);
        }
    }
    std::int64_t barrier = -1;
    for (std::int64_t j = i0 - 1; j >= std::max<std::int64_t>(oldest, 0); --j) {
        if (frameIsEmpty(timeline, j)) {
            barrier = j;
            break;
        }
    }
    if (const std::optional<SceneSpan> span = timeline.sceneSpanAt(t)) {
        barrier = std::max(barrier, span->firstFrameIndex - 1);
    }

    out.reserve(delays.size());
    const double largestDelay = delays.back();
    for (const double delay : delays) {
        const std::optional<std::int64_t> i = sampledFrame(delay);
        if (!i || *i <= barrier || frameIsEmpty(timeline, *i)) {
            continue;
        }
        const bool listed =
            std::any_of(out.begin(), out.end(), [&](const BufferedFrame& f) { return f.index == *i; });
        if (listed) {
            continue;
        }
        out.push_back({*i, static_cast<float>(delay / largestDelay)});
    }
    return timeline.frames[static_cast<std::size_t>(i0)].segmentRange.count();
}

std::int64_t signatureStrokeCount(const GraphicsTimeline& timeline, std::span<const BufferedFrame> frames) {
    std::int64_t total = 0;
    for (const BufferedFrame& entry : frames) {
        total += timeline.frames[static_cast<std::size_t>(entry.index)].segmentRange.count();
    }
    return total;
}

std::int64_t packStrokes(const GraphicsTimeline& timeline, std::span<const BufferedFrame> frames,
                         std::span<GPUStroke> out, EndpointOwnerSet& owners) {
    std::size_t w = 0;
    for (const BufferedFrame& entry : frames) {
        const VisualFrame& frame = timeline.frames[static_cast<std::size_t>(entry.index)];
        const std::span<const PackedLine> segments = frameSegments(timeline, frame);
        const float time = static_cast<float>(frame.time);
        // Ownership is decided within one frame only.
        owners.reset(segments.size() * 2);
        std::uint32_t position = 0;
        for (const PackedLine& segment : segments) {
            const Float4 e = segment.endpoints;
            const bool ownA = owners.insert(EndpointOwnerKey::of(e.x, e.y));
            const bool ownB = owners.insert(EndpointOwnerKey::of(e.z, e.w));
            const int ownership = (ownA ? 1 : 0) + (ownB ? 2 : 0);
            out[w] = GPUStroke{e, {entry.age, strokeSeed(position), time, static_cast<float>(ownership)}};
            ++w;
            ++position;
        }
    }
    return static_cast<std::int64_t>(w);
}

std::optional<std::int64_t> grownLineCapacity(std::int64_t current, std::int64_t required) {
    if (current >= required) {
        return current;
    }
    if (required > maximumStrokeRecords) {
        return std::nullopt;
    }
    std::int64_t n = current < 1024 ? 1024 : current;
    while (n < required) {
        n *= 2;
    }
    return std::min(n, maximumStrokeRecords);
}

LineBufferRing::Update LineBufferRing::updateLineBuffer(const GraphicsTimeline& timeline, double t, StrokeStorage& storage) {
    currentStrokeCount_ = frameSignature(timeline, t, historyDelays_, candidateSignature_);
    if (currentStrokeCount_ == 0) {
        strokeCount_ = 0;
        cachedFrameSignature_.clear();
        return Update::nothingOnScreen;
    }
    if (candidateSignature_ == cachedFrameSignature_) {
        return Update::unchanged;
    }
    const std::int64_t total = signatureStrokeCount(timeline, candidateSignature_);
    activeLineBufferIndex_ = (activeLineBufferIndex_ + 1) % ringSize;
    if (!ensureLineCapacity(total, activeLineBufferIndex_, storage)) {
        // The active slot no longer holds the cached frames; forgetting them makes the next
        // frame rebuild (and retry the allocation) instead of drawing that slot's old records.
        cachedFrameSignature_.clear();
        return Update::allocationFailed;
    }
    const std::span<GPUStroke> records = storage.records(activeLineBufferIndex_);
    if (total < 1 || records.empty() || static_cast<std::int64_t>(records.size()) < total) {
        strokeCount_ = 0;
        currentStrokeCount_ = 0;
        cachedFrameSignature_.clear();
        return Update::nothingOnScreen;
    }
    strokeCount_ = packStrokes(timeline, candidateSignature_, records, owners_);
    std::swap(cachedFrameSignature_, candidateSignature_);
    return Update::rebuilt;
}

bool LineBufferRing::ensureLineCapacity(std::int64_t required, int bufferIndex, StrokeStorage& storage) {
    const auto k = static_cast<std::size_t>(bufferIndex);
    const std::int64_t capacity = lineCapacities_[k];
    if (capacity >= required) {
        return true;
    }
    const std::optional<std::int64_t> grown = grownLineCapacity(capacity, required);
    if (!grown) {
        return false;
    }
    const std::string label = "Packed Graphics.csv lines " + std::to_string(bufferIndex + 1);
    if (!storage.replace(bufferIndex, *grown, label)) {
        return false;
    }
    lineCapacities_[k] = *grown;
    return true;
}

} // namespace drevik

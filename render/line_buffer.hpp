#pragma once
// Choosing the frames to draw (the frame on screen and its afterimages) and packing their
// segments into stroke records, with the bookkeeping of the ring of three stroke buffers.
// Nothing here touches the GPU: the buffers themselves are reached through StrokeStorage.
#include "core/graphics_timeline.hpp"
#include "render/gpu_records.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace drevik {

// One entry of the frame signature: a frame and its age (0 on screen, up to 1 for the oldest).
struct BufferedFrame {
    std::int64_t index = 0;
    float age = 0;
    friend bool operator==(const BufferedFrame&, const BufferedFrame&) = default;
};

// An endpoint quantised to 1/65536 of the drawing, used to decide which stroke owns a point.
struct EndpointOwnerKey {
    std::int32_t x = 0;
    std::int32_t y = 0;
    static EndpointOwnerKey of(float px, float py);
    friend bool operator==(const EndpointOwnerKey&, const EndpointOwnerKey&) = default;
};

// A coordinate times 65536, rounded half away from zero and clamped to 32 bits (NaN gives 0).
std::int32_t quantizeEndpointCoordinate(float value);

// The set of endpoints already owned within one frame. Open addressing over storage that is
// kept between frames, so packing does not allocate once the set has reached its size.
class EndpointOwnerSet {
public:
    // Empties the set and makes room for at least `keys` insertions.
    void reset(std::size_t keys);
    // True when the key was not yet in the set (and is now).
    bool insert(EndpointOwnerKey key);

private:
    struct Slot {
        EndpointOwnerKey key;
        std::uint32_t generation = 0;
    };
    std::vector<Slot> slots_;
    std::uint32_t generation_ = 0;
    std::size_t mask_ = 0;
};

// The seed of the stroke at `position` within its frame, in [0, 1).
float strokeSeed(std::uint32_t position);

// The delays behind the playback time, in seconds, at which afterimage frames are sampled.
inline constexpr std::array<double, 6> defaultHistoryDelays{0.0, 0.035, 0.08, 0.15, 0.25, 0.4};

// The frames to draw at time t, frame on screen first, into `out` (its storage is reused).
// Returns the segment count of the frame on screen; 0, with `out` empty, when none is on screen
// or it is empty.
std::int64_t frameSignature(const GraphicsTimeline& timeline, double t, std::span<const double> delays,
                            std::vector<BufferedFrame>& out);

// Segments of the listed frames in total.
std::int64_t signatureStrokeCount(const GraphicsTimeline& timeline, std::span<const BufferedFrame> frames);

// Writes one record per segment of the listed frames, in order, into `out`, which must hold at
// least signatureStrokeCount records. Returns the number written.
std::int64_t packStrokes(const GraphicsTimeline& timeline, std::span<const BufferedFrame> frames,
                         std::span<GPUStroke> out, EndpointOwnerSet& owners);

// The most records one stroke buffer may hold: 128 MiB of 32-byte records, the storage range every
// Vulkan device can bind, which also keeps the record count exact as the float the shader reads
// (exact up to 2^24).
inline constexpr std::int64_t maximumStrokeRecords = (std::int64_t{1} << 27) / 32;

// The capacity, in records, a ring slot of capacity `current` grows to for `required` records
// (`current` itself when it is enough); none when more than maximumStrokeRecords are required.
std::optional<std::int64_t> grownLineCapacity(std::int64_t current, std::int64_t required);

// The three stroke buffers as the ring sees them.
class StrokeStorage {
public:
    virtual ~StrokeStorage() = default;
    // Replaces slot `slot` with a new buffer of `records` records; false, leaving the slot as it
    // was, when it cannot be created.
    virtual bool replace(int slot, std::int64_t records, std::string_view label) = 0;
    // The slot's records (empty when the slot holds no buffer).
    virtual std::span<GPUStroke> records(int slot) = 0;
};

// The ring of three stroke buffers and what the active one holds.
class LineBufferRing {
public:
    static constexpr int ringSize = 3;

    enum class Update {
        nothingOnScreen, // no frame, or an empty one, is on screen: nothing to draw
        unchanged,       // the active buffer already holds these frames
        rebuilt,         // the next slot was written and is now active
        allocationFailed // a slot could not grow; the next update rebuilds and retries
    };

    // Brings the active buffer up to date for time t.
    Update updateLineBuffer(const GraphicsTimeline& timeline, double t, StrokeStorage& storage);
    // The drawing changed: the next update rebuilds even for the same frame numbers.
    void forgetFrames() { cachedFrameSignature_.clear(); }

    std::int64_t strokeCount() const { return strokeCount_; }
    std::int64_t currentStrokeCount() const { return currentStrokeCount_; }
    int activeLineBufferIndex() const { return activeLineBufferIndex_; }
    std::int64_t lineCapacity(int slot) const { return lineCapacities_.at(static_cast<std::size_t>(slot)); }
    const std::vector<BufferedFrame>& cachedFrameSignature() const { return cachedFrameSignature_; }
    std::span<const double> historyDelays() const { return historyDelays_; }

private:
    bool ensureLineCapacity(std::int64_t required, int bufferIndex, StrokeStorage& storage);

    std::array<double, 6> historyDelays_ = defaultHistoryDelays;
    std::array<std::int64_t, ringSize> lineCapacities_{0, 0, 0};
    int activeLineBufferIndex_ = -1;
    std::int64_t strokeCount_ = 0;
    std::int64_t currentStrokeCount_ = 0;
    std::vector<BufferedFrame> cachedFrameSignature_;
    std::vector<BufferedFrame> candidateSignature_; // scratch, reused every frame
    EndpointOwnerSet owners_;                       // scratch, reused every rebuild
};

} // namespace drevik

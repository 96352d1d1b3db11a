// Choosing afterimage frames, packing stroke records and the ring of stroke buffers.
#include "render/line_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace drevik {
namespace {

// Frames given as (time, segment count); segment k of a frame runs from (0.01 k, 0.2) to (0.01 k, 0.8),
// so no two segments of one frame share an endpoint.
GraphicsTimeline makeTimeline(std::vector<std::pair<double, int>> frames, double durationSeconds = 100,
                              std::vector<double> boundaries = {}) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = durationSeconds;
    timeline.sceneBoundaries = std::move(boundaries);
    for (const auto& [time, count] : frames) {
        const auto first = static_cast<std::int64_t>(timeline.segments.size());
        for (int k = 0; k < count; ++k) {
            const float x = 0.01f * static_cast<float>(k);
            timeline.segments.push_back(PackedLine::make(x, 0.2f, x, 0.8f));
        }
        timeline.frames.push_back({time, {first, first + count}});
    }
    return timeline;
}

// Stroke buffers in plain memory that can be told to refuse growth.
class MemoryStorage : public StrokeStorage {
public:
    bool replace(int slot, std::int64_t records, std::string_view label) override {
        ++replaceCalls;
        if (refuse) {
            return false;
        }
        slots[static_cast<std::size_t>(slot)].assign(static_cast<std::size_t>(records), GPUStroke{});
        labels[static_cast<std::size_t>(slot)] = std::string(label);
        return true;
    }
    std::span<GPUStroke> records(int slot) override {
        ++recordsCalls;
        return slots[static_cast<std::size_t>(slot)];
    }
    std::array<std::vector<GPUStroke>, 3> slots;
    std::array<std::string, 3> labels;
    int replaceCalls = 0;
    int recordsCalls = 0;
    bool refuse = false;
};

std::vector<std::int64_t> indices(const std::vector<BufferedFrame>& signature) {
    std::vector<std::int64_t> result;
    for (const auto& entry : signature) {
        result.push_back(entry.index);
    }
    return result;
}

TEST(StrokeRecords, SeedsDependOnlyOnThePositionWithinTheFrame) {
    EXPECT_FLOAT_EQ(strokeSeed(0), 0.98787415f);
    EXPECT_FLOAT_EQ(strokeSeed(1), 0.31381536f);
    EXPECT_FLOAT_EQ(strokeSeed(2), 0.62229621f);
    for (std::uint32_t k = 0; k < 5000; ++k) {
        const float seed = strokeSeed(k);
        ASSERT_GE(seed, 0.0f);
        ASSERT_LT(seed, 1.0f);
    }
}

TEST(StrokeRecords, EndpointKeysRoundHalfAwayFromZeroAndClamp) {
    const float half = 1.0f / 131072.0f; // half of 1/65536, exactly representable
    EXPECT_EQ(quantizeEndpointCoordinate(half), 1);
    EXPECT_EQ(quantizeEndpointCoordinate(-half), -1);
    EXPECT_EQ(quantizeEndpointCoordinate(0.49f * half), 0);
    EXPECT_EQ(quantizeEndpointCoordinate(1.0f), 65536);
    EXPECT_EQ(quantizeEndpointCoordinate(1e12f), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(quantizeEndpointCoordinate(-1e12f), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(quantizeEndpointCoordinate(std::numeric_limits<float>::infinity()),
              std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(quantizeEndpointCoordinate(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(StrokeRecords, OwnershipGoesToTheFirstStrokeAtAPointWithinEachFrame) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 100;
    const float nudge = 0.4f / 65536.0f; // less than half a quantum: the same endpoint
    timeline.segments = {
        PackedLine::make(0.1f, 0.1f, 0.2f, 0.2f),         // owns both: 3
        PackedLine::make(0.2f, 0.2f, 0.3f, 0.3f),         // A shared with the previous B: 2
        PackedLine::make(0.4f, 0.4f, 0.4f, 0.4f),         // both ends one point: 1
        PackedLine::make(0.5f, 0.5f, 0.1f, 0.1f),         // B shared with the first A: 1
        PackedLine::make(0.3f + nudge, 0.3f, 0.6f, 0.6f), // A within half a quantum of an owned point: 2
        // the next frame owns its points afresh
        PackedLine::make(0.2f, 0.2f, 0.1f, 0.1f),
        PackedLine::make(0.1f, 0.1f, 0.2f, 0.2f),
    };
    timeline.frames = {{0.1, {0, 5}}, {0.2, {5, 7}}};
    std::vector<GPUStroke> out(7);
    EndpointOwnerSet owners;
    const std::vector<BufferedFrame> frames{{1, 0.0f}, {0, 0.5f}};
    ASSERT_EQ(packStrokes(timeline, frames, out, owners), 7);
    std::vector<float> ownership;
    for (const auto& record : out) {
        ownership.push_back(record.metadata.w);
    }
    EXPECT_EQ(ownership, (std::vector<float>{3, 0, 3, 2, 1, 1, 2}));
    // Records carry the endpoints unchanged, the age, the seed by position and the frame time.
    EXPECT_EQ(out[0].endpoints, (Float4{0.2f, 0.2f, 0.1f, 0.1f}));
    EXPECT_EQ(out[2].metadata.x, 0.5f);
    EXPECT_EQ(out[2].metadata.y, strokeSeed(0));
    EXPECT_EQ(out[3].metadata.y, strokeSeed(1));
    EXPECT_EQ(out[2].metadata.z, 0.1f);
    EXPECT_EQ(out[0].metadata.z, 0.2f);
}

TEST(StrokeRecords, OwnerSetReusedAcrossManyFramesStillSeesEveryPointOnce) {
    EndpointOwnerSet owners;
    for (int frame = 0; frame < 300; ++frame) {
        const int keys = (frame % 7) * 40 + 1;
        owners.reset(static_cast<std::size_t>(keys));
        for (int k = 0; k < keys; ++k) {
            ASSERT_TRUE(owners.insert({k, -k}));
        }
        for (int k = 0; k < keys; ++k) {
            ASSERT_FALSE(owners.insert({k, -k}));
        }
    }
}

TEST(FrameSignature, FrameOnScreenFirstThenAfterimagesOnceEachWithTheSmallerDelaysAge) {
    // With 100 s, the delays 0.035 and 0.08 s both land on the frame at 0.4990, and 0.15 s on 0.4980.
    const auto timeline = makeTimeline({{0.4980, 4}, {0.4990, 2}, {0.5, 3}});
    std::vector<BufferedFrame> signature;
    EXPECT_EQ(frameSignature(timeline, 0.5, defaultHistoryDelays, signature), 3);
    ASSERT_EQ(signature.size(), 3u);
    EXPECT_EQ(signature[0], (BufferedFrame{2, 0.0f}));
    EXPECT_EQ(signature[1], (BufferedFrame{1, static_cast<float>(0.035 / 0.4)}));
    EXPECT_EQ(signature[2], (BufferedFrame{0, static_cast<float>(0.15 / 0.4)}));
}

TEST(FrameSignature, NothingOnScreenGivesAnEmptySignature) {
    const auto timeline = makeTimeline({{0.2, 2}, {0.3, 0}, {0.4, 1}});
    std::vector<BufferedFrame> signature{{7, 0.5f}};
    EXPECT_EQ(frameSignature(timeline, 0.1, defaultHistoryDelays, signature), 0);
    EXPECT_TRUE(signature.empty());
    EXPECT_EQ(frameSignature(timeline, 0.35, defaultHistoryDelays, signature), 0);
    EXPECT_TRUE(signature.empty());
    EXPECT_EQ(frameSignature(GraphicsTimeline{}, 0.5, defaultHistoryDelays, signature), 0);
    EXPECT_EQ(frameSignature(timeline, std::numeric_limits<double>::quiet_NaN(), defaultHistoryDelays, signature), 0);
}

TEST(FrameSignature, AfterimagesStopAtAClearedDrawingAndAtTheScenesFirstFrame) {
    // An empty frame at 0.4980 lies between the frame on screen and the frame at 0.4970.
    const auto cleared = makeTimeline({{0.4970, 4}, {0.4980, 0}, {0.4996, 2}, {0.5, 3}});
    std::vector<BufferedFrame> signature;
    frameSignature(cleared, 0.5, defaultHistoryDelays, signature);
    EXPECT_EQ(indices(signature), (std::vector<std::int64_t>{3, 2}));

    // Without the clear, the 0.25 s delay reaches the frame at 0.4970.
    const auto open = makeTimeline({{0.4970, 4}, {0.4996, 2}, {0.5, 3}});
    frameSignature(open, 0.5, defaultHistoryDelays, signature);
    EXPECT_EQ(indices(signature), (std::vector<std::int64_t>{2, 1, 0}));

    // A scene starting at 49.9 s with its first frame there: the older frame belongs to the previous scene.
    const auto scenes = makeTimeline({{0.4970, 4}, {0.499, 2}, {0.5, 3}}, 100, {0.0, 0.499, 1.0});
    frameSignature(scenes, 0.5, defaultHistoryDelays, signature);
    EXPECT_EQ(indices(signature), (std::vector<std::int64_t>{2, 1}));
}

TEST(FrameSignature, DelaysReachingBeforeTimeZeroSampleTimeZero) {
    const auto timeline = makeTimeline({{0.0, 2}, {0.0001, 1}, {0.002, 5}});
    std::vector<BufferedFrame> signature;
    EXPECT_EQ(frameSignature(timeline, 0.002, defaultHistoryDelays, signature), 5);
    // 0.035 s lands on 0.00165; 0.25 s and 0.4 s reach before 0 and sample the frame at 0.
    ASSERT_EQ(signature.size(), 3u);
    EXPECT_EQ(signature[1], (BufferedFrame{1, static_cast<float>(0.035 / 0.4)}));
    EXPECT_EQ(signature[2], (BufferedFrame{0, static_cast<float>(0.25 / 0.4)}));
}

TEST(LineCapacity, GrowsFrom1024ByDoublingAndNeverShrinks) {
    EXPECT_EQ(grownLineCapacity(0, 900), 1024);
    EXPECT_EQ(grownLineCapacity(0, 1500), 2048);
    EXPECT_EQ(grownLineCapacity(0, 0), 0);
    EXPECT_EQ(grownLineCapacity(1024, 1024), 1024);
    EXPECT_EQ(grownLineCapacity(2048, 5000), 8192);
    EXPECT_EQ(grownLineCapacity(4096, 100), 4096);
    EXPECT_EQ(grownLineCapacity(0, std::numeric_limits<std::int64_t>::max()), std::nullopt);
}

TEST(LineCapacity, StopsAtWhatEveryDeviceCanBindAndTheShaderCanCount) {
    EXPECT_EQ(maximumStrokeRecords, 4'194'304);
    EXPECT_LE(maximumStrokeRecords, std::int64_t{1} << 24);
    EXPECT_EQ(grownLineCapacity(0, maximumStrokeRecords), maximumStrokeRecords);
    EXPECT_EQ(grownLineCapacity(3'000'000, 3'500'000), maximumStrokeRecords);
    EXPECT_EQ(grownLineCapacity(1024, maximumStrokeRecords + 1), std::nullopt);
}

TEST(LineBufferRing, PacksTheFrameOnScreenFirstAndSkipsAnUnchangedSignature) {
    const auto timeline = makeTimeline({{0.4980, 4}, {0.4990, 2}, {0.5, 3}});
    MemoryStorage storage;
    LineBufferRing ring;
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.5, storage), LineBufferRing::Update::rebuilt);
    EXPECT_EQ(ring.strokeCount(), 9);
    EXPECT_EQ(ring.currentStrokeCount(), 3);
    EXPECT_EQ(ring.activeLineBufferIndex(), 0);
    EXPECT_EQ(ring.lineCapacity(0), 1024);
    EXPECT_EQ(storage.labels[0], "Packed Graphics.csv lines 1");
    const auto& records = storage.slots[0];
    // Records 0-2: the frame on screen (segments 6-8); then 2 of age 0.0875; then 4 of age 0.375.
    for (int k = 0; k < 9; ++k) {
        const auto expectedSegment = static_cast<std::size_t>(k < 3 ? 6 + k : k < 5 ? 4 + (k - 3) : k - 5);
        EXPECT_EQ(records[static_cast<std::size_t>(k)].endpoints, timeline.segments[expectedSegment].endpoints) << k;
    }
    EXPECT_EQ(records[2].metadata.x, 0.0f);
    EXPECT_EQ(records[3].metadata.x, 0.0875f);
    EXPECT_EQ(records[8].metadata.x, 0.375f);
    EXPECT_EQ(records[3].metadata.y, strokeSeed(0));

    // The same frames again: nothing is written and the ring stays put.
    const int writes = storage.recordsCalls;
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.5, storage), LineBufferRing::Update::unchanged);
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.50001, storage), LineBufferRing::Update::unchanged);
    EXPECT_EQ(storage.recordsCalls, writes);
    EXPECT_EQ(ring.activeLineBufferIndex(), 0);
    EXPECT_EQ(ring.strokeCount(), 9);

    // New frames go to the next slots in turn, wrapping after the third.
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.4997, storage), LineBufferRing::Update::rebuilt);
    EXPECT_EQ(ring.activeLineBufferIndex(), 1);
    EXPECT_EQ(ring.strokeCount(), 6);
    EXPECT_EQ(ring.currentStrokeCount(), 2);
    EXPECT_EQ(storage.labels[1], "Packed Graphics.csv lines 2");
    ring.updateLineBuffer(timeline, 0.4981, storage);
    EXPECT_EQ(ring.activeLineBufferIndex(), 2);
    EXPECT_EQ(storage.labels[2], "Packed Graphics.csv lines 3");
    ring.updateLineBuffer(timeline, 0.5, storage);
    EXPECT_EQ(ring.activeLineBufferIndex(), 0);
    EXPECT_EQ(storage.replaceCalls, 3); // each slot allocated once

    // Nothing on screen: counts and signature are cleared, and the same frames rebuild afterwards.
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.1, storage), LineBufferRing::Update::nothingOnScreen);
    EXPECT_EQ(ring.strokeCount(), 0);
    EXPECT_EQ(ring.currentStrokeCount(), 0);
    EXPECT_TRUE(ring.cachedFrameSignature().empty());
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.5, storage), LineBufferRing::Update::rebuilt);
    EXPECT_EQ(ring.activeLineBufferIndex(), 1);
}

TEST(LineBufferRing, CapacityFollowsTheStrokeCount) {
    MemoryStorage storage;
    LineBufferRing ring;
    ring.updateLineBuffer(makeTimeline({{0.5, 1500}}), 0.5, storage);
    EXPECT_EQ(ring.lineCapacity(0), 2048);
    EXPECT_EQ(storage.slots[0].size() * sizeof(GPUStroke), 65536u);
    LineBufferRing other;
    other.updateLineBuffer(makeTimeline({{0.5, 900}}), 0.5, storage);
    EXPECT_EQ(other.lineCapacity(0), 1024);
}

TEST(LineBufferRing, AFailedAllocationIsRetriedAndNeverLeavesStaleRecordsActive) {
    const auto timeline = makeTimeline({{0.3, 2}, {0.5, 3}});
    MemoryStorage storage;
    LineBufferRing ring;
    ASSERT_EQ(ring.updateLineBuffer(timeline, 0.3, storage), LineBufferRing::Update::rebuilt);

    storage.refuse = true;
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.5, storage), LineBufferRing::Update::allocationFailed);
    EXPECT_EQ(ring.activeLineBufferIndex(), 1);
    EXPECT_EQ(ring.lineCapacity(1), 0);
    EXPECT_EQ(ring.currentStrokeCount(), 3);
    EXPECT_TRUE(ring.cachedFrameSignature().empty());

    // Back at the frame packed in slot 0: slot 1 does not hold it, so it must be rebuilt, not reused.
    storage.refuse = false;
    EXPECT_EQ(ring.updateLineBuffer(timeline, 0.3, storage), LineBufferRing::Update::rebuilt);
    EXPECT_EQ(ring.activeLineBufferIndex(), 2);
    EXPECT_EQ(ring.strokeCount(), 2);
    EXPECT_EQ(storage.slots[2][1].endpoints, timeline.segments[1].endpoints);
}

} // namespace
} // namespace drevik

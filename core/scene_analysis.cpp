// Measures the representative frame of a scene and chooses its volume family and choreography.
#include "core/scene_analysis.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

namespace drevik {

namespace {

constexpr float kAspect = displayAspect;

constexpr std::array<std::string_view, 8> kFamilyNames = {
    "deep-prism", "inflated-hull", "axial-barrel", "folded-crystal",
    "torsion-cage", "radial-bloom", "strata-frame", "space-frame",
};

constexpr std::array<std::string_view, 10> kChoreographyNames = {
    "gallery-orbit", "pendulum-inspection", "crane-crown", "under-slung-crescent", "figure-eight",
    "parallax-rail", "dolly-probe", "barrel-helix", "five-stop-scan", "backside-eclipse",
};

using CC = CameraChoreography;
constexpr CC kChoreographyTable[3][10] = {
    {CC::dollyProbe, CC::craneCrown, CC::parallaxRail, CC::barrelHelix, CC::fiveStopScan,
     CC::underSlungCrescent, CC::pendulumInspection, CC::backsideEclipse, CC::figureEight, CC::galleryOrbit},
    {CC::barrelHelix, CC::backsideEclipse, CC::craneCrown, CC::underSlungCrescent, CC::figureEight,
     CC::parallaxRail, CC::galleryOrbit, CC::fiveStopScan, CC::dollyProbe, CC::pendulumInspection},
    {CC::figureEight, CC::craneCrown, CC::fiveStopScan, CC::parallaxRail, CC::backsideEclipse,
     CC::dollyProbe, CC::underSlungCrescent, CC::galleryOrbit, CC::pendulumInspection, CC::barrelHelix},
};

// Open-addressing map from endpoint key to node index; sized once for the frame's endpoints.
class EndpointIndex {
public:
    explicit EndpointIndex(std::size_t endpoints) {
        std::size_t capacity = 16;
        while (capacity < endpoints * 2) {
            capacity *= 2;
        }
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
    }

    // The node of `key`; an unseen key gets the next node of `sets` and a degree of 0.
    std::int64_t nodeIndex(EndpointKey key, UnionFind& sets, std::vector<std::int64_t>& degree) {
        std::size_t at = EndpointKeyHash{}(key) & mask_;
        while (true) {
            Slot& slot = slots_[at];
            if (slot.node < 0) {
                slot.key = key;
                slot.node = sets.append();
                degree.push_back(0);
                return slot.node;
            }
            if (slot.key == key) {
                return slot.node;
            }
            at = (at + 1) & mask_;
        }
    }

private:
    struct Slot {
        EndpointKey key;
        std::int64_t node = -1;
    };
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

template <typename T>
T clampValue(T v, T lo, T hi) {
    return std::min(std::max(v, lo), hi);
}

} // namespace

std::string_view name(VolumeFamily family) {
    const auto raw = static_cast<std::size_t>(family);
    return raw < kFamilyNames.size() ? kFamilyNames[raw] : std::string_view{};
}

std::string_view name(CameraChoreography choreography) {
    const auto raw = static_cast<std::size_t>(choreography);
    return raw < kChoreographyNames.size() ? kChoreographyNames[raw] : std::string_view{};
}

std::optional<VolumeFamily> volumeFamilyFromRaw(int raw) {
    if (raw < 0 || raw > 7) {
        return std::nullopt;
    }
    return static_cast<VolumeFamily>(raw);
}

std::optional<CameraChoreography> cameraChoreographyFromRaw(int raw) {
    if (raw < 0 || raw > 9) {
        return std::nullopt;
    }
    return static_cast<CameraChoreography>(raw);
}

EndpointKey EndpointKey::of(Float2 point) {
    // std::round rounds halves away from zero. Coordinates lie in 0...1; anything else (only a
    // hand-built timeline could hold it) is pinned to the 32-bit range rather than overflowing.
    auto quantise = [](float v) {
        const double q = std::round(static_cast<double>(v) * 65536.0);
        if (!(q >= -2147483648.0)) {
            return std::numeric_limits<std::int32_t>::min();
        }
        return q > 2147483647.0 ? std::numeric_limits<std::int32_t>::max() : static_cast<std::int32_t>(q);
    };
    return {quantise(point.x), quantise(point.y)};
}

std::int64_t UnionFind::append() {
    const auto index = static_cast<std::int64_t>(parent_.size());
    parent_.push_back(index);
    rank_.push_back(0);
    return index;
}

std::int64_t UnionFind::root(std::int64_t node) {
    std::int64_t top = node;
    while (parent_[static_cast<std::size_t>(top)] != top) {
        top = parent_[static_cast<std::size_t>(top)];
    }
    while (parent_[static_cast<std::size_t>(node)] != top) {
        const std::int64_t next = parent_[static_cast<std::size_t>(node)];
        parent_[static_cast<std::size_t>(node)] = top;
        node = next;
    }
    return top;
}

void UnionFind::unite(std::int64_t a, std::int64_t b) {
    const std::int64_t ra = root(a);
    const std::int64_t rb = root(b);
    if (ra == rb) {
        return;
    }
    const auto ia = static_cast<std::size_t>(ra);
    const auto ib = static_cast<std::size_t>(rb);
    if (rank_[ia] < rank_[ib]) {
        parent_[ia] = rb;
    } else {
        parent_[ib] = ra;
        if (rank_[ia] == rank_[ib]) {
            ++rank_[ia];
        }
    }
}

GeometrySeed geometrySeed(std::span<const PackedLine> lines, std::int64_t maximumLineCount) {
    GeometrySeed out;
    // Whole 32-bit words of the coordinates are mixed, not bytes.
    std::uint32_t hash = 2166136261u;
    for (const PackedLine& line : lines) {
        const Float4 e = line.endpoints;
        for (float c : {e.x, e.y, e.z, e.w}) {
            hash = (hash ^ std::bit_cast<std::uint32_t>(c)) * 16777619u;
        }
    }
    out.hash = hash;
    out.g = (hash ^ static_cast<std::uint32_t>(maximumLineCount)) * 16777619u;
    out.seed = static_cast<float>(out.g & 0xFFFFFFu) / 16777216.0f;
    std::uint32_t j = out.g ^ 0x4F5AA18Du;
    j = (j ^ (j >> 16)) * 0x7FEB352Du;
    out.jitter = static_cast<float>((j & 0xFFFFFFu) ^ (j >> 15)) / 16777216.0f;
    return out;
}

std::int64_t sceneIndexOf(const SceneSpan& span, const std::vector<SceneSpan>& spans) {
    // The list is in time order, so first frame indices never decrease along it.
    auto it = std::lower_bound(spans.begin(), spans.end(), span.firstFrameIndex,
                               [](const SceneSpan& s, std::int64_t first) { return s.firstFrameIndex < first; });
    if (it != spans.end() && it->firstFrameIndex == span.firstFrameIndex) {
        return static_cast<std::int64_t>(it - spans.begin());
    }
    return span.firstFrameIndex;
}

CameraChoreography choreographyForSceneIndex(std::int64_t sceneIndex) {
    // A scene index is never negative for a valid span; fold one that is into the table anyway.
    const std::int64_t row = ((sceneIndex / 10) % 3 + 3) % 3;
    const std::int64_t column = (sceneIndex % 10 + 10) % 10;
    return kChoreographyTable[row][column];
}

namespace {

// The steps of the analysis, in the order analyzeScene takes them. Each works in the precision
// and operation order the profile's values are defined in; nothing here may be reordered.

// Step 1: the non-empty frames of the span that may represent it. With declared scene
// boundaries only those in the first 40 % of the scene's time (at least the first frame); when
// none of those has lines, or without boundaries, every non-empty frame of the span.
std::vector<std::int64_t> candidateFrames(const GraphicsTimeline& timeline, const SceneSpan& span,
                                          std::int64_t first, std::int64_t after) {
    const auto& frames = timeline.frames;
    const auto nonEmpty = [&](std::int64_t i) { return !frames[static_cast<std::size_t>(i)].segmentRange.empty(); };
    std::vector<std::int64_t> candidates;
    if (timeline.sceneBoundaries.size() >= 2) {
        const double cutoff = span.startTime + (span.endTime - span.startTime) * 0.4;
        auto it = std::lower_bound(frames.begin(), frames.end(), cutoff,
                                   [](const VisualFrame& f, double value) { return f.time < value; });
        const auto k = static_cast<std::int64_t>(it - frames.begin());
        const std::int64_t limit = std::min(std::max(std::min(k, after), first + 1), after);
        for (std::int64_t i = first; i < limit; ++i) {
            if (nonEmpty(i)) {
                candidates.push_back(i);
            }
        }
    }
    if (candidates.empty()) {
        for (std::int64_t i = first; i < after; ++i) {
            if (nonEmpty(i)) {
                candidates.push_back(i);
            }
        }
    }
    return candidates;
}

// Steps 2 to 4: the busiest line count of the candidates, the frames with at least 90 % of it,
// and the middle one of those, whose lines are measured.
struct Representative {
    std::int64_t frameIndex = 0;
    std::int64_t maximumLineCount = 0;
    std::span<const PackedLine> lines;
};

Representative representativeFrame(const GraphicsTimeline& timeline, const SceneSpan& span,
                                   const std::vector<std::int64_t>& candidates) {
    const auto lineCount = [&](std::int64_t i) { return timeline.frames[static_cast<std::size_t>(i)].segmentRange.count(); };
    Representative chosen;
    for (std::int64_t i : candidates) {
        chosen.maximumLineCount = std::max(chosen.maximumLineCount, lineCount(i));
    }
    std::vector<std::int64_t> kept;
    for (std::int64_t i : candidates) {
        if (static_cast<double>(lineCount(i)) >= 0.9 * static_cast<double>(chosen.maximumLineCount)) {
            kept.push_back(i);
        }
    }
    if (kept.empty()) {
        chosen.frameIndex = span.firstFrameIndex;
        return chosen;
    }
    chosen.frameIndex = kept[kept.size() / 2];
    const IndexRange range = timeline.frames[static_cast<std::size_t>(chosen.frameIndex)].segmentRange;
    const auto segmentCount = static_cast<std::int64_t>(timeline.segments.size());
    const auto lo = static_cast<std::size_t>(clampValue<std::int64_t>(range.lowerBound, 0, segmentCount));
    const auto hi = static_cast<std::size_t>(
        clampValue<std::int64_t>(range.upperBound, static_cast<std::int64_t>(lo), segmentCount));
    chosen.lines = std::span<const PackedLine>(timeline.segments).subspan(lo, hi - lo);
    return chosen;
}

// Step 5: the centre and the extent (at least 0.001 each way) of the lines' bounding box.
struct Box {
    Float2 center;
    Float2 extent;
};

Box boundingBox(std::span<const PackedLine> lines) {
    constexpr float kMax = std::numeric_limits<float>::max();
    Float2 lo{kMax, kMax};
    Float2 hi{-kMax, -kMax};
    for (const PackedLine& line : lines) {
        const Float4 e = line.endpoints;
        lo.x = std::min(lo.x, std::min(e.x, e.z));
        lo.y = std::min(lo.y, std::min(e.y, e.w));
        hi.x = std::max(hi.x, std::max(e.x, e.z));
        hi.y = std::max(hi.y, std::max(e.y, e.w));
    }
    return {(hi + lo) * 0.5f, Float2{std::max(hi.x - lo.x, 0.001f), std::max(hi.y - lo.y, 0.001f)}};
}

// Step 6: everything one pass over the segments gathers, weighted by length.
struct SegmentSums {
    struct Offset {
        double rx, ry, length;
    };
    std::vector<Offset> offsets; // each midpoint from the centre, in aspect-corrected units
    std::array<double, 8> histogram{};
    UnionFind sets;                   // endpoints joined by segments
    std::vector<std::int64_t> degree; // segments meeting at each endpoint
    double horizontal = 0, vertical = 0, diagonal = 0, radial = 0;
    double offsetX = 0, offsetY = 0;
    double total = 0; // total length, at least 1e-6
};

SegmentSums measureSegments(std::span<const PackedLine> lines, Float2 center) {
    SegmentSums sums;
    sums.offsets.reserve(lines.size());
    EndpointIndex index(lines.size() * 2);
    sums.sets.reserve(lines.size() * 2);
    sums.degree.reserve(lines.size() * 2);
    const double pi = 3.141592653589793;

    for (const PackedLine& line : lines) {
        const Float4 e = line.endpoints;
        const Float2 d{(e.z - e.x) * kAspect, e.w - e.y};
        const double length = std::max(static_cast<double>(std::sqrt(d.x * d.x + d.y * d.y)), 1e-6);
        const float lengthF = static_cast<float>(length);
        const Float2 u{d.x / lengthF, d.y / lengthF};
        const double ux = u.x;
        const double uy = u.y;

        double theta = std::atan2(uy, ux);
        if (theta < 0) {
            theta += pi;
        }
        if (theta >= pi) {
            theta -= pi;
        }
        // Truncated and clamped to 0...7; compared before converting so that nothing out of range
        // (or NaN, from a hand-built timeline) reaches the integer conversion.
        const double binPosition = theta / pi * 8.0;
        const int bin = binPosition >= 7.0 ? 7 : (binPosition > 0.0 ? static_cast<int>(binPosition) : 0);
        sums.histogram[static_cast<std::size_t>(bin)] += length;

        const Float2 r{((e.x + e.z) * 0.5f - center.x) * kAspect, (e.y + e.w) * 0.5f - center.y};
        const float radius = std::sqrt(r.x * r.x + r.y * r.y);
        if (radius > 1e-6f) {
            const float along = u.x * (r.x / radius) + u.y * (r.y / radius);
            sums.radial += length * static_cast<double>(std::fabs(along));
        }
        sums.offsets.push_back({r.x, r.y, length});

        const std::int64_t a = index.nodeIndex(EndpointKey::of({e.x, e.y}), sums.sets, sums.degree);
        const std::int64_t b = index.nodeIndex(EndpointKey::of({e.z, e.w}), sums.sets, sums.degree);
        sums.degree[static_cast<std::size_t>(a)] += 1;
        sums.degree[static_cast<std::size_t>(b)] += 1;
        sums.sets.unite(a, b);

        const double ux2 = ux * ux;
        const double uy2 = uy * uy;
        sums.horizontal += length * (ux2 * ux2);
        sums.vertical += length * (uy2 * uy2);
        sums.diagonal += length * 4.0 * ux2 * uy2;
        sums.offsetX += length * static_cast<double>(r.x);
        sums.offsetY += length * static_cast<double>(r.y);
        sums.total += length;
    }
    if (sums.total < 1e-6) {
        sums.total = 1e-6;
    }
    return sums;
}

// Step 7: the entropy of the length-weighted orientation histogram, divided by ln 8.
double orientationEntropy(const SegmentSums& sums) {
    double entropy = 0;
    for (double binSum : sums.histogram) {
        if (binSum > 0) {
            const double p = binSum / sums.total;
            entropy -= p * std::log(p);
        }
    }
    return entropy / 2.0794415416798357;
}

// Step 8: the eigenvalues of the midpoints' length-weighted covariance and the principal axis.
struct Spread {
    double lambda1 = 0;
    double lambda2 = 0;
    double eigenTotal = 0;
    Float2 axis;
};

Spread midpointSpread(const SegmentSums& sums) {
    const double mx = sums.offsetX / sums.total;
    const double my = sums.offsetY / sums.total;
    double sxx = 0, sxy = 0, syy = 0;
    for (const SegmentSums::Offset& o : sums.offsets) {
        const double dx = o.rx - mx;
        const double dy = o.ry - my;
        sxx += o.length * dx * dx;
        sxy += o.length * dx * dy;
        syy += o.length * dy * dy;
    }
    const double cxx = sxx / sums.total;
    const double cxy = sxy / sums.total;
    const double cyy = syy / sums.total;
    const double half = (cxx + cyy) * 0.5;
    const double q = std::sqrt(std::max((cxx + cyy) * (cxx + cyy) * 0.25 - (cxx * cyy - cxy * cxy), 0.0));
    Spread spread;
    spread.lambda1 = std::max(half + q, 0.0);
    spread.lambda2 = std::max(half - q, 0.0);
    spread.eigenTotal = std::max(spread.lambda1 + spread.lambda2, 1e-6);
    const double phi = std::atan2(2.0 * cxy, cxx - cyy) * 0.5;
    Float2 axis{static_cast<float>(std::cos(phi)), static_cast<float>(std::sin(phi))};
    const float axisLength = std::sqrt(axis.x * axis.x + axis.y * axis.y);
    spread.axis = {axis.x / axisLength, axis.y / axisLength};
    return spread;
}

// Step 9: the shares of closed points (two segments meet), junctions (three or more) and
// independent cycles of the endpoint graph.
struct GraphRatios {
    float closure = 0;
    float junction = 0;
    float cycle = 0;
};

GraphRatios endpointGraph(SegmentSums& sums, std::int64_t edges) {
    const auto nodes = static_cast<std::int64_t>(sums.degree.size());
    std::int64_t closed = 0, junctions = 0, components = 0;
    for (std::int64_t n = 0; n < nodes; ++n) {
        const std::int64_t deg = sums.degree[static_cast<std::size_t>(n)];
        closed += deg == 2 ? 1 : 0;
        junctions += deg >= 3 ? 1 : 0;
        components += sums.sets.root(n) == n ? 1 : 0;
    }
    const auto nodeFloor = static_cast<double>(std::max<std::int64_t>(nodes, 1));
    const auto edgeFloor = static_cast<double>(std::max<std::int64_t>(edges, 1));
    const auto independentCycles = std::max<std::int64_t>(edges - std::max<std::int64_t>(nodes, 1) + components, 0);
    return {static_cast<float>(static_cast<double>(closed) / nodeFloor),
            static_cast<float>(static_cast<double>(junctions) / nodeFloor),
            static_cast<float>(static_cast<double>(independentCycles) / edgeFloor)};
}

// Step 12: the volume family, the first rule that holds.
VolumeFamily volumeFamily(const SceneProfile& profile) {
    if (profile.density < 0.55f) {
        return VolumeFamily::deepPrism;
    }
    if (profile.cycleRatio > 0.155f || profile.junctionRatio > 0.17f) {
        return VolumeFamily::foldedCrystal;
    }
    if (profile.elongation > 0.7f) {
        return profile.diagonalEnergy > 0.43f ? VolumeFamily::torsionCage : VolumeFamily::axialBarrel;
    }
    if (profile.radialAlignment > 0.72f) {
        return VolumeFamily::radialBloom;
    }
    if (profile.diagonalEnergy > 0.49f && profile.elongation > 0.43f) {
        return VolumeFamily::torsionCage;
    }
    if (profile.orientationEntropy > 0.965f) {
        return VolumeFamily::spaceFrame;
    }
    if (profile.horizontalEnergy > 0.58f || profile.verticalEnergy > 0.62f) {
        return VolumeFamily::strataFrame;
    }
    return VolumeFamily::inflatedHull;
}

} // namespace

SceneProfile analyzeScene(const GraphicsTimeline& timeline, const SceneSpan& span,
                          const std::vector<SceneSpan>& allSpans) {
    // Spans come from the span lookups; one that does not is kept inside the frames.
    const auto frameCount = static_cast<std::int64_t>(timeline.frames.size());
    const std::int64_t first = clampValue<std::int64_t>(span.firstFrameIndex, 0, frameCount);
    const std::int64_t after = clampValue<std::int64_t>(span.afterLastFrameIndex, first, frameCount);

    const Representative representative =
        representativeFrame(timeline, span, candidateFrames(timeline, span, first, after));
    const std::span<const PackedLine> lines = representative.lines;
    const std::int64_t maximumLineCount = representative.maximumLineCount;
    const Box box = boundingBox(lines);
    SegmentSums sums = measureSegments(lines, box.center);
    const double entropy = orientationEntropy(sums);
    const Spread spread = midpointSpread(sums);
    const auto edges = static_cast<std::int64_t>(lines.size());
    const GraphRatios graph = endpointGraph(sums, edges);

    // 10. Direction and size measures.
    const Float2 extent = box.extent;
    const double total = sums.total;
    const auto edgeFloor = static_cast<double>(std::max<std::int64_t>(edges, 1));
    const float diagonal =
        std::max(std::sqrt((extent.x * kAspect) * (extent.x * kAspect) + extent.y * extent.y), 0.001f);
    const auto meanLineLength = static_cast<float>((total / edgeFloor) / static_cast<double>(diagonal));
    const double busiest = static_cast<double>(std::max<std::int64_t>(maximumLineCount, 1));
    const auto density = static_cast<float>(clampValue((std::log2(busiest) - 3.5) / 6.5, 0.0, 1.0));
    const float shortLines = clampValue(1.0f - 9.0f * meanLineLength, 0.0f, 1.0f);

    // 11. Seed, depth and internal rate.
    const GeometrySeed seeds = geometrySeed(lines, maximumLineCount);
    const float jitter = seeds.jitter;
    const float halfDepth = (jitter * 0.16f + 0.92f) * ((density * 0.22f + 0.3f) + shortLines * 0.08f);
    const float internalRate =
        std::max(std::min(density * (-0.36f) + 0.5f + graph.junction * 0.1f, 0.42f), 0.1f);

    SceneProfile profile;
    profile.span = span;
    profile.representativeFrameIndex = representative.frameIndex;
    profile.center = box.center;
    profile.extent = extent;
    profile.principalAxis = spread.axis;
    profile.maximumLineCount = maximumLineCount;
    profile.seed = seeds.seed;
    profile.density = density;
    profile.horizontalEnergy = static_cast<float>(sums.horizontal / total);
    profile.verticalEnergy = static_cast<float>(sums.vertical / total);
    profile.diagonalEnergy = static_cast<float>(sums.diagonal / total);
    profile.orientationEntropy = static_cast<float>(entropy);
    profile.elongation = static_cast<float>((spread.lambda1 - spread.lambda2) / spread.eigenTotal);
    profile.radialAlignment = static_cast<float>(sums.radial / total);
    profile.closureRatio = graph.closure;
    profile.junctionRatio = graph.junction;
    profile.cycleRatio = graph.cycle;
    profile.meanLineLength = meanLineLength;
    profile.halfDepth = halfDepth;
    profile.internalRate = internalRate;
    profile.family = volumeFamily(profile);
    // 13. Choreography from the scene's position in the scene list.
    profile.camera = choreographyForSceneIndex(sceneIndexOf(span, allSpans));
    return profile;
}

SceneProfile GraphicsTimeline::analyzeScene(const SceneSpan& span) const {
    return drevik::analyzeScene(*this, span, nonEmptySceneSpans());
}

} // namespace drevik

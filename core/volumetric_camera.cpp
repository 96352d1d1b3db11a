// The camera of a scene: leaves home, performs the scene's choreography around the volume,
// and is back home before the cut. All arithmetic is single precision in the order written.
#include "core/volumetric_camera.hpp"
#include "core/volumetric_camera_detail.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace drevik::VolumetricCamera {

namespace {

constexpr float kAspect = displayAspect;
constexpr float kPi = 3.1415925f;     // 0x40490FDA
constexpr float kTwoPi = 6.283185f;   // 0x40C90FDA
constexpr float kTiny = 1e-6f;
constexpr float kWidestFocal = 1.55f;
const Float3 kHome{0, 0, -3.2f};
const Float3 kOrigin{0, 0, 0};

float clamp01(float u) { return std::min(std::max(u, 0.0f), 1.0f); }

// b − a is rounded to float before it scales t; that rounding is part of the constants.
float mix(float a, float b, float t) { return a + (b - a) * t; }

float fract(float x) { return x - std::floor(x); }

// Sine and cosine of a float angle, evaluated in double and rounded back.
float sinOf(float x) { return static_cast<float>(std::sin(static_cast<double>(x))); }
float cosOf(float x) { return static_cast<float>(std::cos(static_cast<double>(x))); }

Float3 normalise(Float3 v) {
    const float inverse = 1.0f / std::sqrt(dot(v, v));
    return v * inverse;
}

template <std::size_t N>
struct Keys {
    std::array<float, N> times;
    std::array<Float3, N> positions;
    std::array<Float3, N> targets;
    std::array<float, N> rolls{};
    std::array<float, N> focals{};

    Float3 position(float a) const { return sample(a, times, positions); }
    Float3 target(float a) const { return sample(a, times, targets); }
    float roll(float a) const { return sample(a, times, rolls); }
    float focal(float a) const { return sample(a, times, focals); }
};

} // namespace

float smootherstep(float u) {
    const float v = clamp01(u);
    return v * v * v * (v * (v * 6.0f - 15.0f) + 10.0f);
}

namespace {

// Keyframe interpolation shared by the float and the vector keys: each move starts and stops at rest.
template <typename Value>
Value sampleKeys(float t, std::span<const float> times, std::span<const Value> values) {
    if (t <= times[0]) {
        return values[0];
    }
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (t <= times[i]) {
            const float u = clamp01((t - times[i - 1]) / std::max(times[i] - times[i - 1], kTiny));
            return values[i - 1] + smootherstep(u) * (values[i] - values[i - 1]);
        }
    }
    return values.back();
}

} // namespace

float sample(float t, std::span<const float> times, std::span<const float> values) {
    return sampleKeys(t, times, values);
}

Float3 sample(float t, std::span<const float> times, std::span<const Float3> values) {
    return sampleKeys(t, times, values);
}

namespace {

// What every choreography reads: the phase a within the move, the direction d (−1 or 1), the
// travel hT and vT, the model's axes, the jitter, the ease E (0 at the ends of the move, 1 in
// its middle) and s = sin(πa).
struct MoveInputs {
    float a, d, hT, vT;
    Float3 axis, across, jitter;
    float E, s;
};

AuthoredCameraPose poseGalleryOrbit(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const float alpha = kTwoPi * d * smootherstep(a);
    const float R = mix(3.2f, mix(3.42f, 3.82f, jitter.z), E);
    const float sa = sinOf(alpha);
    pose.position = {-R * sa, 0.22f * vT * s * E, -R * cosOf(alpha)};
    pose.target = axis * (0.055f * sa);
    pose.roll = 0.06f * d * sa;
    pose.focalLength = mix(3.2f, 2.98f, E);
    return pose;
}

AuthoredCameraPose poseFigureEight(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const float s2 = sinOf(kTwoPi * a);
    const float X = 0.86f * d * hT * s2 * E;
    const float Y = 0.66f * vT * sinOf(2.0f * kTwoPi * a) * E;
    pose.position = {X, Y, 0.16f * E - 3.2f};
    pose.target = {X, Y, 0};
    pose.roll = -0.055f * d * s2 * E;
    pose.focalLength = mix(3.2f, 3.36f, E);
    return pose;
}

AuthoredCameraPose poseBarrelHelix(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const float W = s * s * E;
    const float s2 = sinOf(kTwoPi * a);
    const float c2 = cosOf(kTwoPi * a);
    pose.position = {0.18f * d * hT * c2 * W, 0.2f * vT * s2 * W, -(3.2f + E * (0.2f * s2 - 0.48f * s))};
    pose.target = axis * (0.07f * s2);
    pose.roll = 0.78f * d * s * E;
    pose.focalLength = mix(3.2f, 2.86f, E);
    return pose;
}

AuthoredCameraPose poseBacksideEclipse(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    static constexpr std::array<float, 6> times{0, 0.09f, 0.42f, 0.78f, 0.84f, 1.0f};
    static constexpr std::array<float, 6> yaws{0, 0, kPi, kPi, kPi, kTwoPi};
    static constexpr std::array<float, 6> focals{3.2f, 3.08f, 2.78f, 2.94f, 2.94f, 3.2f};
    const float alpha = d * sample(a, times, yaws);
    const float R = mix(3.2f, mix(3.38f, 3.72f, jitter.x), E);
    const float B = sinOf(kPi * clamp01((a - 0.42f) / 0.42f));
    const float sa = sinOf(alpha);
    pose.position = {-R * sa, 0.2f * vT * sa, -R * cosOf(alpha)};
    pose.target = axis * (0.065f * B) + across * (0.08f * sa);
    pose.roll = 0.05f * d * sa;
    pose.focalLength = sample(a, times, focals);
    return pose;
}

AuthoredCameraPose poseCraneCrown(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const Float3 low{-0.14f * d * hT, -0.68f * vT, -3.62f};
    const Float3 lowTarget{0, 0.15f * vT, 0};
    const Float3 high{0.18f * d * hT, 1.12f * vT, -2.72f};
    const Float3 highTarget{0, -0.18f * vT, 0};
    const Keys<6> keys{{0, 0.14f, 0.3f, 0.69f, 0.84f, 1.0f},
                       {kHome, low, low, high, high, kHome},
                       {kOrigin, lowTarget, lowTarget, highTarget, highTarget, kOrigin}};
    pose.position = keys.position(a);
    pose.target = keys.target(a);
    pose.roll = 0.045f * d * s * E;
    pose.focalLength = mix(3.2f, 2.76f, E);
    return pose;
}

AuthoredCameraPose poseUnderSlungCrescent(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const Keys<7> keys{{0, 0.12f, 0.3f, 0.55f, 0.79f, 0.9f, 1.0f},
                       {kHome,
                        {-0.82f * d * hT, -0.7f * vT, -3.42f},
                        {-0.82f * d * hT, -0.7f * vT, -3.18f},
                        {0, -1.08f * vT, -2.62f},
                        {0.76f * d * hT, -0.74f * vT, -3.12f},
                        {0.76f * d * hT, -0.74f * vT, -3.42f},
                        kHome},
                       {kOrigin,
                        {0, 0.15f * vT, 0},
                        {0, 0.15f * vT, 0},
                        {0, 0.22f * vT, 0},
                        {0, 0.12f * vT, 0},
                        {0, 0.12f * vT, 0},
                        kOrigin}};
    pose.position = keys.position(a);
    pose.target = keys.target(a);
    pose.roll = 0.11f * d * s * E;
    pose.focalLength = mix(3.2f, 2.92f, E);
    return pose;
}

AuthoredCameraPose posePendulumInspection(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const Float3 p1{-0.15f * d * hT, 0, -3.08f};
    const Float3 p3{0.10f * d * hT, 0, -3.08f};
    const Float3 p5{-0.08f * d * hT, 0, -3.16f};
    const Float3 t1 = -0.19f * axis;
    const Float3 t3 = 0.17f * axis;
    const Float3 t5 = -0.13f * across;
    const float r1 = -0.38f * d, r3 = 0.27f * d, r5 = -0.16f * d;
    const Keys<8> keys{{0, 0.13f, 0.32f, 0.43f, 0.58f, 0.72f, 0.87f, 1.0f},
                       {kHome, p1, p1, p3, p3, p5, p5, kHome},
                       {kOrigin, t1, t1, t3, t3, t5, t5, kOrigin},
                       {0, r1, r1, r3, r3, r5, r5, 0},
                       {3.2f, 3.52f, 3.52f, 3.36f, 3.36f, 3.62f, 3.62f, 3.2f}};
    pose.position = keys.position(a);
    pose.target = keys.target(a);
    pose.roll = keys.roll(a);
    pose.focalLength = keys.focal(a);
    return pose;
}

AuthoredCameraPose poseParallaxRail(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const float left = -d * hT;
    const float right = d * hT;
    const Float3 t1 = Float3{left, 0, 0} + 0.035f * axis;
    const Float3 t3 = Float3{right, 0, 0} - 0.035f * axis;
    const Keys<6> keys{{0, 0.1f, 0.25f, 0.72f, 0.87f, 1.0f},
                       {kHome, {left, 0, -3.52f}, {left, 0, -3.18f}, {right, 0, -3.18f}, {right, 0, -3.52f}, kHome},
                       {kOrigin, t1, t1, t3, t3, kOrigin},
                       {},
                       {3.2f, 3.04f, 3.28f, 3.28f, 3.04f, 3.2f}};
    pose.position = keys.position(a);
    pose.target = keys.target(a);
    pose.roll = 0;
    pose.focalLength = keys.focal(a);
    return pose;
}

AuthoredCameraPose poseDollyProbe(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    static constexpr std::array<float, 6> times{0, 0.15f, 0.36f, 0.57f, 0.79f, 1.0f};
    static constexpr std::array<float, 6> distances{3.2f, 2.42f, 2.42f, 4.18f, 4.18f, 3.2f};
    static constexpr std::array<float, 6> focals{3.2f, 2.78f, 2.78f, 3.52f, 3.52f, 3.2f};
    pose.position = {0, 0, -sample(a, times, distances)};
    pose.target = kOrigin;
    pose.roll = 0;
    pose.focalLength = sample(a, times, focals);
    return pose;
}

AuthoredCameraPose poseFiveStopScan(const MoveInputs& in) {
    const auto [a, d, hT, vT, axis, across, jitter, E, s] = in;
    AuthoredCameraPose pose;
    const Float3 p1{-0.72f * d * hT, 0.18f * vT, -3.28f};
    const Float3 p3{0.08f * d * hT, 0.88f * vT, -2.92f};
    const Float3 p5{0.72f * d * hT, -0.4f * vT, -2.84f};
    const Float3 p7{-0.16f * d * hT, -0.72f * vT, -3.58f};
    const Float3 t1 = 0.15f * axis;
    const Float3 t3 = 0.14f * across;
    const Float3 t5 = -0.16f * axis;
    const Float3 t7 = -0.13f * across;
    const float r1 = -0.12f * d, r3 = 0.18f * d, r5 = -0.22f * d, r7 = 0.08f * d;
    const Keys<10> keys{{0, 0.08f, 0.24f, 0.3f, 0.44f, 0.5f, 0.64f, 0.7f, 0.84f, 1.0f},
                        {kHome, p1, p1, p3, p3, p5, p5, p7, p7, kHome},
                        {kOrigin, t1, t1, t3, t3, t5, t5, t7, t7, kOrigin},
                        {0, r1, r1, r3, r3, r5, r5, r7, r7, 0},
                        {3.2f, 3.08f, 3.08f, 2.82f, 2.82f, 2.72f, 2.72f, 3.42f, 3.42f, 3.2f}};
    pose.position = keys.position(a);
    pose.target = keys.target(a);
    pose.roll = keys.roll(a);
    pose.focalLength = keys.focal(a);
    return pose;
}

} // namespace

AuthoredCameraPose authoredPose(CameraChoreography choreography, float a, float d, float hT, float vT,
                                Float3 axis, Float3 across, Float3 jitter) {
    const float E = smootherstep(a / 0.12f) * smootherstep((1.0f - a) / 0.12f);
    const float s = sinOf(kPi * a);
    const MoveInputs in{a, d, hT, vT, axis, across, jitter, E, s};
    switch (choreography) {
    case CameraChoreography::galleryOrbit: return poseGalleryOrbit(in);
    case CameraChoreography::figureEight: return poseFigureEight(in);
    case CameraChoreography::barrelHelix: return poseBarrelHelix(in);
    case CameraChoreography::backsideEclipse: return poseBacksideEclipse(in);
    case CameraChoreography::craneCrown: return poseCraneCrown(in);
    case CameraChoreography::underSlungCrescent: return poseUnderSlungCrescent(in);
    case CameraChoreography::pendulumInspection: return posePendulumInspection(in);
    case CameraChoreography::parallaxRail: return poseParallaxRail(in);
    case CameraChoreography::dollyProbe: return poseDollyProbe(in);
    case CameraChoreography::fiveStopScan: return poseFiveStopScan(in);
    }
    return {};
}

CameraBasis cameraBasis(Float3 directionFromTarget, float roll) {
    const Float3 forward = normalise(-directionFromTarget);
    const Float3 c = cross(Float3{0, 1, 0}, forward);
    const Float3 right = dot(c, c) < kTiny ? Float3{1, 0, 0} : normalise(c);
    const Float3 up = normalise(cross(forward, right));
    const float cr = cosOf(roll);
    const float sr = sinOf(roll);
    return {right * cr + up * sr, up * cr - right * sr, forward};
}

float safeFocalLength(const SceneProfile& profile, Float3 bounds, Float3 position, Float3 target, float roll) {
    const Float3 gap = target - position;
    if (dot(gap, gap) <= kTiny) {
        return kWidestFocal;
    }
    const CameraBasis basis = cameraBasis(normalise(position - target), roll);
    const float cx = profile.center.x;
    const float cy = profile.center.y;
    const float twoA = 2.0f * kAspect;
    const float roomLeft = twoA * std::max(cx - 0.018f, 0.04f);
    const float roomRight = twoA * std::max(0.982f - cx, 0.04f);
    const float roomBottom = 2.0f * std::max(cy - 0.018f, 0.04f);
    const float roomTop = 2.0f * std::max(0.982f - cy, 0.04f);

    float best = std::numeric_limits<float>::max();
    for (int corner = 0; corner < 8; ++corner) {
        const Float3 point{(corner & 1) ? bounds.x : -bounds.x, (corner & 2) ? bounds.y : -bounds.y,
                           (corner & 4) ? bounds.z : -bounds.z};
        const Float3 rel = point - position;
        const float depth = dot(rel, basis.forward);
        if (depth <= 0.08f) {
            return kWidestFocal;
        }
        const float x = dot(rel, basis.right);
        if (x > kTiny) {
            best = std::min(best, roomRight * depth / x);
        } else if (x < -kTiny) {
            best = std::min(best, roomLeft * depth / (-x));
        }
        const float y = dot(rel, basis.up);
        if (y > kTiny) {
            best = std::min(best, roomTop * depth / y);
        } else if (y < -kTiny) {
            best = std::min(best, roomBottom * depth / (-y));
        }
    }
    return std::isfinite(best) ? std::max(best, kWidestFocal) : 3.2f;
}

CameraPose pose(const SceneProfile& profile, double phase) {
    if (!std::isfinite(phase)) {
        return CameraPose::home();
    }
    const auto p = static_cast<float>(phase);
    if (!(p > 0.07f && p < 0.93f)) {
        return CameraPose::home();
    }
    const float a = clamp01((p - 0.07f) / 0.86f);
    if (!(a > 0.0f && a < 1.0f)) {
        return CameraPose::home();
    }

    float k = 1.06f;
    switch (profile.family) {
    case VolumeFamily::torsionCage: k = 1.18f; break;
    case VolumeFamily::radialBloom: k = 1.14f; break;
    case VolumeFamily::spaceFrame: k = 1.10f; break;
    default: break;
    }
    const Float3 bounds{std::max(kAspect * profile.extent.x * k, 0.001f), std::max(profile.extent.y * k, 0.001f),
                        std::max(profile.halfDepth * 1.12f, 0.02f)};

    const float q = profile.seed * 127.1f;
    const float j1 = fract(sinOf(q + 538.9f) * 43758.547f);
    const float j2 = fract(sinOf(q + 1363.1f) * 43758.547f);
    const float j3 = fract(sinOf(q + 2821.3f) * 43758.547f);
    const float direction = j1 < 0.5f ? -1.0f : 1.0f;
    const float horizontalTravel = std::min((0.31f * bounds.x + 0.4f) * mix(0.92f, 1.08f, j1), 1.02f);
    const float verticalTravel = std::min((0.3f * bounds.y + 0.28f) * mix(0.92f, 1.08f, j2), 0.78f);
    const Float3 axis{profile.principalAxis.x, profile.principalAxis.y, 0};
    const Float3 across{-profile.principalAxis.y, profile.principalAxis.x, 0};

    const AuthoredCameraPose authored = authoredPose(profile.camera, a, direction, horizontalTravel, verticalTravel,
                                                     axis, across, Float3{j1, j2, j3});
    const float safe = safeFocalLength(profile, bounds, authored.position, authored.target, authored.roll);

    float m = 1.01f;
    switch (profile.camera) {
    case CameraChoreography::underSlungCrescent:
    case CameraChoreography::backsideEclipse: m = 1.04f; break;
    case CameraChoreography::dollyProbe:
    case CameraChoreography::fiveStopScan: m = 1.08f; break;
    default: break;
    }
    const float framed = std::max(std::min(safe * m, authored.focalLength), kWidestFocal);
    const float w = smootherstep((p - 0.07f) / 0.13f) * smootherstep((0.93f - p) / 0.13f);

    CameraPose result;
    result.position = authored.position;
    result.target = authored.target;
    result.roll = authored.roll;
    result.focalLength = authored.focalLength + (framed - authored.focalLength) * w;
    result.nearPlane = 0.05f;
    result.farPlane = 16.0f;
    return result;
}

} // namespace drevik::VolumetricCamera

#include "core/volumetric_camera.hpp"
#include "core/volumetric_camera_detail.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace drevik {
namespace {

namespace vc = VolumetricCamera;

SceneProfile squareProfile(CameraChoreography camera, VolumeFamily family = VolumeFamily::deepPrism) {
    SceneProfile p;
    p.center = {0.5f, 0.5f};
    p.extent = {0.5f, 0.5f};
    p.principalAxis = {1.0f, 0.0f};
    p.seed = 0.8156507f;
    p.halfDepth = 0.3f;
    p.family = family;
    p.camera = camera;
    return p;
}

void expectNear(Float3 a, Float3 b, float tolerance) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

bool finite(const CameraPose& p) {
    for (float v : {p.position.x, p.position.y, p.position.z, p.target.x, p.target.y, p.target.z, p.roll,
                    p.focalLength, p.nearPlane, p.farPlane}) {
        if (!std::isfinite(v)) {
            return false;
        }
    }
    return true;
}

constexpr std::array<CameraChoreography, 10> kAllChoreographies{
    CameraChoreography::galleryOrbit, CameraChoreography::pendulumInspection, CameraChoreography::craneCrown,
    CameraChoreography::underSlungCrescent, CameraChoreography::figureEight, CameraChoreography::parallaxRail,
    CameraChoreography::dollyProbe, CameraChoreography::barrelHelix, CameraChoreography::fiveStopScan,
    CameraChoreography::backsideEclipse};

TEST(CameraPose, HomeOutsideTheActiveWindow) {
    const CameraPose home = CameraPose::home();
    EXPECT_EQ(home.position, (Float3{0, 0, -3.2f}));
    EXPECT_EQ(home.focalLength, 3.2f);
    EXPECT_EQ(home.nearPlane, 0.05f);
    EXPECT_EQ(home.farPlane, 16.0f);
    for (CameraChoreography c : kAllChoreographies) {
        const SceneProfile p = squareProfile(c);
        for (double phase : {0.0, 0.05, 0.07, 0.93, 0.95, 1.0, -0.3, 1.7, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
            EXPECT_EQ(vc::pose(p, phase), home) << static_cast<int>(c) << " at " << phase;
        }
    }
}

TEST(CameraPose, DollyProbeHalfway) {
    const vc::AuthoredCameraPose authored =
        vc::authoredPose(CameraChoreography::dollyProbe, 0.5f, 1.0f, 0.7f, 0.5f, {1, 0, 0}, {0, 1, 0}, {0.5f, 0.5f, 0.5f});
    expectNear(authored.position, {0, 0, -3.8106f}, 1e-4f);
    EXPECT_NEAR(authored.focalLength, 3.3647f, 1e-4f);
    EXPECT_EQ(authored.target, (Float3{0, 0, 0}));
    EXPECT_EQ(authored.roll, 0.0f);

    // Phase 0.5 is active phase 0.5, and the framing limit leaves the authored focal length.
    const CameraPose pose = vc::pose(squareProfile(CameraChoreography::dollyProbe), 0.5);
    EXPECT_EQ(pose.position, authored.position);
    EXPECT_LE(pose.focalLength, authored.focalLength);
}

TEST(CameraPose, GalleryOrbitHalfwayStandsBehindTheDrawing) {
    for (float direction : {-1.0f, 1.0f}) {
        const Float3 jitter{0.2f, 0.4f, 0.7f};
        const vc::AuthoredCameraPose a = vc::authoredPose(CameraChoreography::galleryOrbit, 0.5f, direction, 0.7f,
                                                          0.5f, {1, 0, 0}, {0, 1, 0}, jitter);
        const float radius = 3.42f + (3.82f - 3.42f) * jitter.z;
        EXPECT_NEAR(a.position.z, radius, 1e-5f);
        EXPECT_NEAR(a.position.x, 0.0f, 1e-5f);
        EXPECT_NEAR(a.focalLength, 2.98f, 1e-6f);
    }
}

TEST(CameraPose, FramingLimitOfTheHomeView) {
    const SceneProfile p = squareProfile(CameraChoreography::galleryOrbit);
    const Float3 bounds{displayAspect * 0.5f * 1.06f, 0.5f * 1.06f, 0.3f * 1.12f};
    EXPECT_NEAR(bounds.x, 0.9422f, 1e-4f);
    EXPECT_NEAR(bounds.z, 0.336f, 1e-6f);
    const float safe = vc::safeFocalLength(p, bounds, {0, 0, -3.2f}, {0, 0, 0}, 0.0f);
    EXPECT_NEAR(safe, 5.209f, 1e-3f);
    // Horizontal and vertical limits agree: shrinking the box in one direction keeps the limit.
    EXPECT_NEAR(vc::safeFocalLength(p, {bounds.x, 0.1f, bounds.z}, {0, 0, -3.2f}, {0, 0, 0}, 0.0f), safe, 1e-3f);
    EXPECT_NEAR(vc::safeFocalLength(p, {0.1f, bounds.y, bounds.z}, {0, 0, -3.2f}, {0, 0, 0}, 0.0f), safe, 1e-3f);

    // A corner too close along the view direction, or a camera on its target: widest lens.
    EXPECT_EQ(vc::safeFocalLength(p, {0.5f, 0.5f, 3.15f}, {0, 0, -3.2f}, {0, 0, 0}, 0.0f), 1.55f);
    EXPECT_EQ(vc::safeFocalLength(p, bounds, {0, 0, 0}, {0, 0, 0}, 0.0f), 1.55f);
}

TEST(CameraPose, ContinuousAtBothEndsOfTheActiveWindow) {
    const CameraPose home = CameraPose::home();
    struct Probe {
        double phase;
        float tolerance;
    };
    const std::array<Probe, 4> probes{Probe{std::nextafter(0.07f, 1.0f), 5e-5f}, Probe{0.072, 2e-3f},
                                      Probe{std::nextafter(0.93f, 0.0f), 5e-5f}, Probe{0.928, 2e-3f}};
    for (CameraChoreography c : kAllChoreographies) {
        const SceneProfile p = squareProfile(c);
        for (const Probe& probe : probes) {
            const CameraPose pose = vc::pose(p, probe.phase);
            SCOPED_TRACE(::testing::Message() << "choreography " << static_cast<int>(c) << " at " << probe.phase);
            expectNear(pose.position, home.position, probe.tolerance);
            expectNear(pose.target, home.target, probe.tolerance);
            EXPECT_NEAR(pose.roll, 0.0f, probe.tolerance);
            EXPECT_NEAR(pose.focalLength, 3.2f, probe.tolerance);
        }
        // Further in, every choreography has left home.
        EXPECT_NE(vc::pose(p, 0.3), home);
    }
}

TEST(CameraPose, FramingNarrowsTheLensOnlyDownToTheWidest) {
    for (CameraChoreography c : kAllChoreographies) {
        SceneProfile p = squareProfile(c);
        p.extent = {0.9f, 0.9f}; // a box larger than the home view can frame at 3.2
        p.halfDepth = 0.6f;
        float narrowest = 100.0f;
        for (int i = 1; i < 240; ++i) {
            const CameraPose pose = vc::pose(p, i / 240.0);
            ASSERT_TRUE(finite(pose)) << static_cast<int>(c) << " at " << i;
            EXPECT_LE(pose.focalLength, 3.62f);
            EXPECT_GE(pose.focalLength, 1.55f);
            narrowest = std::min(narrowest, pose.focalLength);
        }
        EXPECT_LT(narrowest, 2.7f) << static_cast<int>(c); // below every authored lens
    }
}

TEST(CameraPose, SampleHoldsEndsAndKeys) {
    const std::array<float, 4> times{0.1f, 0.4f, 0.6f, 0.9f};
    const std::array<float, 4> values{1.0f, 2.0f, 2.0f, 5.0f};
    EXPECT_EQ(vc::sample(0.0f, times, values), 1.0f);
    EXPECT_EQ(vc::sample(0.1f, times, values), 1.0f);
    EXPECT_EQ(vc::sample(0.4f, times, values), 2.0f);
    EXPECT_EQ(vc::sample(0.5f, times, values), 2.0f); // held between equal keys
    EXPECT_EQ(vc::sample(0.9f, times, values), 5.0f);
    EXPECT_EQ(vc::sample(1.0f, times, values), 5.0f);
    EXPECT_NEAR(vc::sample(0.75f, times, values), 3.5f, 1e-6f); // S(0.5) = 0.5
    const std::array<Float3, 4> points{Float3{0, 0, 0}, Float3{1, 2, 3}, Float3{1, 2, 3}, Float3{4, 4, 4}};
    EXPECT_EQ(vc::sample(-1.0f, times, points), (Float3{0, 0, 0}));
    EXPECT_EQ(vc::sample(2.0f, times, points), (Float3{4, 4, 4}));
    EXPECT_EQ(vc::sample(0.5f, times, points), (Float3{1, 2, 3}));
}

TEST(CameraPose, BasisIsOrthonormalAndRolls) {
    const vc::CameraBasis level = vc::cameraBasis({0, 0, -1}, 0.0f);
    EXPECT_EQ(level.forward, (Float3{0, 0, 1}));
    EXPECT_EQ(level.right, (Float3{1, 0, 0}));
    EXPECT_EQ(level.up, (Float3{0, 1, 0}));

    const vc::CameraBasis rolled = vc::cameraBasis({0, 0, -1}, 1.5707964f);
    expectNear(rolled.right, {0, 1, 0}, 1e-6f);
    expectNear(rolled.up, {-1, 0, 0}, 1e-6f);

    // Looking straight down the y axis falls back to the x axis for right.
    const vc::CameraBasis down = vc::cameraBasis({0, 1, 0}, 0.0f);
    EXPECT_EQ(down.right, (Float3{1, 0, 0}));
    expectNear(down.forward, {0, -1, 0}, 0.0f);
}

} // namespace
} // namespace drevik

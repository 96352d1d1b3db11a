// The line program's own functions, run on the GPU through compute kernels built from its source.
#include "render/shaders/shader_interface.h"
#include "tests/render/shader_kernel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace drevik::testing {
namespace {

constexpr float aspect = shader::drawingAspect;

// One vertex as the vertex stage would emit it.
struct VertexResult {
    Float4 position{};
    std::array<float, 3> color{};
    float alpha = 0;
    float side = 0;

    bool drawn() const { return !(position == Float4{2.0f, 2.0f, 2.0f, 1.0f}); }
    // Pixel position, origin at the bottom left.
    std::array<float, 2> pixel(float width, float height) const {
        return {(position[0] / position[3] + 1.0f) / 2.0f * width, (position[1] / position[3] + 1.0f) / 2.0f * height};
    }
};

class ShaderArithmetic : public ::testing::Test {
protected:
    void TearDown() override {
        std::vector<std::string> messages = ShaderKernelRunner::shared().takeValidationMessages();
        for (const std::string& message : messages) {
            ADD_FAILURE() << "validation: " << message;
        }
    }

    static std::vector<float> run(const std::string& kernel, const KernelUniforms& uniforms, std::size_t count,
                                  const std::vector<KernelStroke>& strokes = {}) {
        return ShaderKernelRunner::shared().run(kernel, uniforms, strokes, count);
    }

    // All six vertices of instances 0 ..< instanceCount, in instance order.
    static std::vector<VertexResult> expand(const KernelUniforms& uniforms, const std::vector<KernelStroke>& strokes,
                                            std::size_t instanceCount) {
        const std::string kernel = "void main() {\n"
                                   "    for (uint k = 0u; k < " + std::to_string(instanceCount) + "u; ++k) {\n"
                                   "        for (uint v = 0u; v < 6u; ++v) {\n"
                                   "            StrokeVertex o = expandStroke(v, k, uniforms);\n"
                                   "            uint at = (k * 6u + v) * 9u;\n"
                                   "            results[at + 0u] = o.position.x; results[at + 1u] = o.position.y;\n"
                                   "            results[at + 2u] = o.position.z; results[at + 3u] = o.position.w;\n"
                                   "            results[at + 4u] = o.color.r; results[at + 5u] = o.color.g;\n"
                                   "            results[at + 6u] = o.color.b; results[at + 7u] = o.alpha;\n"
                                   "            results[at + 8u] = o.side;\n"
                                   "        }\n"
                                   "    }\n"
                                   "}\n";
        std::vector<float> raw = run(kernel, uniforms, instanceCount * 6 * 9, strokes);
        std::vector<VertexResult> vertices(instanceCount * 6);
        for (std::size_t i = 0; i < vertices.size(); ++i) {
            const float* f = raw.data() + i * 9;
            vertices[i].position = {f[0], f[1], f[2], f[3]};
            vertices[i].color = {f[4], f[5], f[6]};
            vertices[i].alpha = f[7];
            vertices[i].side = f[8];
        }
        return vertices;
    }

    // A scene with some shape: off-centre model, seeded profile, full volume.
    static KernelUniforms shapedScene() {
        KernelUniforms u = KernelUniforms::home(1920.0f, 1080.0f);
        u.scene = {0.5f, 1.0f, 0.3f, 0.0f};
        u.model = {0.45f, 0.55f, 0.6f, 0.4f};
        u.profile = {0.37f, 0.4f, 0.2f, 0.0f};
        u.traits = {0.2f, 0.3f, 0.5f, 0.1f};
        u.axis = {0.6f, 0.8f, 0.3f, 0.2f};
        return u;
    }

    static KernelStroke stroke(float x1, float y1, float x2, float y2, float age = 0.0f, float seed = 0.0f,
                               float ownership = 3.0f) {
        return KernelStroke{{x1, y1, x2, y2}, {age, seed, 0.0f, ownership}};
    }
};

// Rates in float, in the program's order of operations.
std::array<float, 3> referenceRates(std::array<float, 3> base, float density, float internalRate) {
    const float densityScale = 1.12f - density * 0.28f;
    const float k = std::clamp(internalRate / 0.42f, 0.0f, 1.0f);
    const float analysisScale = 0.82f + (1.08f - 0.82f) * k;
    std::array<float, 3> r{};
    for (std::size_t i = 0; i < 3; ++i) {
        r[i] = std::clamp(base[i] * densityScale * analysisScale, 0.0f, 0.72f);
    }
    return r;
}

TEST_F(ShaderArithmetic, TopologyRatesScaleWithDensityAndInternalRateAndClampAt072) {
    const std::vector<float> r = run(R"(
void main() {
    vec3 rates[6] = vec3[6](topologyRates(1u, 0.0, 0.42), topologyRates(0u, 0.0, 0.9),
                            topologyRates(7u, 1.0, 0.0), topologyRates(4u, 0.5, 0.21),
                            topologyRates(familyIdentifier(9.0), 0.25, 0.1), topologyRates(6u, 0.0, 0.42));
    for (int i = 0; i < 6; ++i) {
        results[i * 3 + 0] = rates[i].x; results[i * 3 + 1] = rates[i].y; results[i * 3 + 2] = rates[i].z;
    }
}
)",
                                     KernelUniforms::home(1920, 1080), 18);
    // The documented cases: the inflated hull at density 0 and full internal rate, and the deep
    // prism whose connector rate 0.749952 is clamped.
    EXPECT_NEAR(r[0], 0.24192f, 1e-6f);
    EXPECT_NEAR(r[1], 0.108864f, 1e-6f);
    EXPECT_EQ(r[2], 0.0f);
    EXPECT_EQ(r[3], 0.72f);
    EXPECT_NEAR(r[4], 0.24192f, 1e-6f);
    EXPECT_NEAR(r[5], 0.338688f, 1e-6f);

    const std::array<std::array<float, 3>, 4> expected = {
        referenceRates({0.20f, 0.18f, 0.50f}, 1.0f, 0.0f), referenceRates({0.23f, 0.22f, 0.34f}, 0.5f, 0.21f),
        referenceRates({0.20f, 0.18f, 0.50f}, 0.25f, 0.1f), referenceRates({0.28f, 0.14f, 0.00f}, 0.0f, 0.42f)};
    for (std::size_t c = 0; c < expected.size(); ++c) {
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_NEAR(r[6 + c * 3 + i], expected[c][i], 2e-7f) << "case " << c << " component " << i;
        }
    }
}

TEST_F(ShaderArithmetic, FamilyFloatRoundsToNearestAndUnknownFamiliesTakeTheSpaceFrame) {
    // The same point evaluated with family floats 2.4 / 2.0, 2.6 / 3.0, 9.0 / 7.0 and 2.0 / 3.0.
    const std::vector<float> r = run(R"(
vec3 pointFor(float family, float side) {
    ShaderUniforms u = uniforms;
    u.scene.w = family;
    return volumePoint(vec2(0.31, 0.68), side, u);
}
void main() {
    float pairs[8] = float[8](2.4, 2.0, 2.6, 3.0, 9.0, 7.0, 2.0, 3.0);
    for (int i = 0; i < 8; ++i) {
        vec3 p = pointFor(pairs[i], -1.0);
        results[i * 3 + 0] = p.x; results[i * 3 + 1] = p.y; results[i * 3 + 2] = p.z;
    }
    results[24] = float(familyIdentifier(2.4));
    results[25] = float(familyIdentifier(2.6));
    results[26] = float(familyIdentifier(9.0));
    results[27] = float(familyIdentifier(-3.0));
}
)",
                                     shapedScene(), 28);
    for (std::size_t pair = 0; pair < 3; ++pair) {
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(r[pair * 6 + i], r[pair * 6 + 3 + i]) << "pair " << pair << " component " << i;
        }
    }
    // Families 2 and 3 really give different shapes, so the comparisons above mean something.
    EXPECT_NE(r[20], r[23]);
    EXPECT_EQ(r[24], 2.0f);
    EXPECT_EQ(r[25], 3.0f);
    EXPECT_EQ(r[26], 8.0f);
    EXPECT_EQ(r[27], 0.0f);
}

TEST_F(ShaderArithmetic, VolumeZeroGivesTheFlatPointForEveryFamilySideAndPoint) {
    KernelUniforms u = shapedScene();
    u.scene[1] = 0.0f;
    // Points inside the model and far outside its clamp range; families 0 to 7 and 9.
    const std::vector<float> r = run(R"(
void main() {
    vec2 points[3] = vec2[3](vec2(0.31, 0.68), vec2(1.7, -0.4), vec2(0.45, 0.55));
    int at = 0;
    for (int f = 0; f < 9; ++f) {
        ShaderUniforms u = uniforms;
        u.scene.w = f == 8 ? 9.0 : float(f);
        for (int s = -1; s <= 1; ++s) {
            for (int p = 0; p < 3; ++p) {
                vec3 world = volumePoint(points[p], float(s), u);
                results[at++] = world.x; results[at++] = world.y; results[at++] = world.z;
            }
        }
    }
}
)",
                                     u, 9 * 3 * 3 * 3);
    const std::array<std::array<float, 2>, 3> points = {{{0.31f, 0.68f}, {1.7f, -0.4f}, {0.45f, 0.55f}}};
    std::size_t at = 0;
    for (int family = 0; family < 9; ++family) {
        for (int side = -1; side <= 1; ++side) {
            for (const auto& p : points) {
                const float x = (p[0] - 0.45f) * (2.0f * aspect);
                const float y = (p[1] - 0.55f) * 2.0f;
                EXPECT_EQ(r[at], x) << "family " << family << " side " << side;
                EXPECT_EQ(r[at + 1], y) << "family " << family << " side " << side;
                EXPECT_EQ(r[at + 2], 0.0f) << "family " << family << " side " << side;
                at += 3;
            }
        }
    }
}

TEST_F(ShaderArithmetic, ShellsKeepTheMinimumThicknessAndTheHullCentreItsHalfDepth) {
    KernelUniforms flat = shapedScene();
    flat.profile[1] = 0.0f;
    // With half depth 0 every family puts the front shell at -0.075, the back at +0.075 and the
    // middle surface at 0, wherever the point lies.
    const std::vector<float> thin = run(R"(
void main() {
    int at = 0;
    for (int f = 0; f < 8; ++f) {
        ShaderUniforms u = uniforms;
        u.scene.w = float(f);
        results[at++] = volumePoint(vec2(0.31, 0.68), -1.0, u).z;
        results[at++] = volumePoint(vec2(0.31, 0.68), 0.0, u).z;
        results[at++] = volumePoint(vec2(0.31, 0.68), 1.0, u).z;
    }
}
)",
                                        flat, 24);
    for (std::size_t f = 0; f < 8; ++f) {
        EXPECT_EQ(thin[f * 3 + 0], -0.075f) << "family " << f;
        EXPECT_EQ(std::abs(thin[f * 3 + 1]), 0.0f) << "family " << f;
        EXPECT_EQ(thin[f * 3 + 2], 0.075f) << "family " << f;
    }

    // The inflated hull's centre: the dome is 1, so the shells sit at the full half depth.
    KernelUniforms hull = shapedScene();
    hull.scene[3] = 1.0f;
    hull.profile[1] = 0.3f;
    const std::vector<float> centre = run(R"(
void main() {
    vec3 front = volumePoint(uniforms.model.xy, -1.0, uniforms);
    vec3 back = volumePoint(uniforms.model.xy, 1.0, uniforms);
    results[0] = front.x; results[1] = front.y; results[2] = front.z;
    results[3] = back.x; results[4] = back.y; results[5] = back.z;
}
)",
                                          hull, 6);
    EXPECT_EQ(centre[0], 0.0f);
    EXPECT_EQ(centre[1], 0.0f);
    EXPECT_EQ(centre[2], -0.3f);
    EXPECT_EQ(centre[3], 0.0f);
    EXPECT_EQ(centre[4], 0.0f);
    EXPECT_EQ(centre[5], 0.3f);
}

TEST_F(ShaderArithmetic, RadialBloomAtTheExactCentreStaysFinite) {
    KernelUniforms bloom = shapedScene();
    bloom.scene[3] = 5.0f;
    const std::vector<float> r = run(R"(
void main() {
    vec3 front = volumePoint(uniforms.model.xy, -1.0, uniforms);
    results[0] = front.x; results[1] = front.y; results[2] = front.z;
}
)",
                                     bloom, 3);
    for (float v : r) {
        EXPECT_TRUE(std::isfinite(v));
    }
    EXPECT_EQ(r[0], 0.0f);
    EXPECT_EQ(r[1], 0.0f);
}

TEST_F(ShaderArithmetic, HomeCameraReproducesTheFlatDrawingAndDepthMapsNearToZeroFarToOne) {
    KernelUniforms u = shapedScene();
    u.scene[1] = 0.0f;
    const std::vector<float> r = run(R"(
void main() {
    vec2 points[3] = vec2[3](vec2(0.31, 0.68), vec2(0.9, 0.1), vec2(0.45, 0.55));
    for (int i = 0; i < 3; ++i) {
        vec3 p = projectWorldPoint(volumePoint(points[i], -1.0, uniforms), uniforms);
        results[i * 3 + 0] = p.x; results[i * 3 + 1] = p.y; results[i * 3 + 2] = p.z;
    }
    results[9] = cameraDepthToNDC(0.05, uniforms);
    results[10] = cameraDepthToNDC(16.0, uniforms);
    results[11] = cameraDepthToNDC(3.2, uniforms);
    // Straight down: the z axis stands in as the reference up.
    ShaderUniforms down = uniforms;
    down.camera = vec4(0.0, 4.0, 0.0, 0.3);
    vec3 q = projectWorldPoint(vec3(0.5, 0.0, 0.25), down);
    results[12] = q.x; results[13] = q.y; results[14] = q.z;
}
)",
                                     u, 15);
    const std::array<std::array<float, 2>, 3> points = {{{0.31f, 0.68f}, {0.9f, 0.1f}, {0.45f, 0.55f}}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(r[i * 3 + 0], points[i][0], 1e-6f);
        EXPECT_NEAR(r[i * 3 + 1], points[i][1], 1e-6f);
        EXPECT_NEAR(r[i * 3 + 2], 3.2f, 1e-6f);
    }
    EXPECT_EQ(r[9], 0.0f);
    EXPECT_NEAR(r[10], 1.0f, 1e-7f);
    EXPECT_NEAR(r[11], 16.0f * (3.2f - 0.05f) / (3.2f * 15.95f), 1e-7f);
    for (std::size_t i = 12; i < 15; ++i) {
        EXPECT_TRUE(std::isfinite(r[i]));
    }
    EXPECT_NEAR(r[14], 4.0f, 1e-6f);
}

TEST_F(ShaderArithmetic, ContentAreaAndSparkleRadiusForThreeViewports) {
    const std::vector<float> r = run(R"(
void main() {
    vec2 viewports[3] = vec2[3](vec2(1920.0, 1080.0), vec2(1080.0, 1080.0), vec2(1280.0, 400.0));
    for (int i = 0; i < 3; ++i) {
        vec4 area = contentArea(viewports[i]);
        results[i * 5 + 0] = area.x; results[i * 5 + 1] = area.y;
        results[i * 5 + 2] = area.z; results[i * 5 + 3] = area.w;
        results[i * 5 + 4] = sparkleRadius(area.w);
    }
}
)",
                                     KernelUniforms::home(1920, 1080), 15);
    EXPECT_EQ(r[0], 0.0f);
    EXPECT_EQ(r[1], 0.0f);
    EXPECT_EQ(r[2], 1920.0f);
    EXPECT_EQ(r[3], 1080.0f);
    EXPECT_NEAR(r[4], 1.782f, 1e-6f);

    EXPECT_EQ(r[5], 0.0f);
    EXPECT_EQ(r[6], 236.25f);
    EXPECT_EQ(r[7], 1080.0f);
    EXPECT_EQ(r[8], 607.5f);
    EXPECT_NEAR(r[9], 1.002375f, 1e-6f);

    EXPECT_NEAR(r[10], (1280.0f - 400.0f * aspect) / 2.0f, 1e-4f);
    EXPECT_EQ(r[11], 0.0f);
    EXPECT_NEAR(r[12], 711.1111f, 1e-3f);
    EXPECT_EQ(r[13], 400.0f);
    EXPECT_EQ(r[14], 1.0f);
}

TEST_F(ShaderArithmetic, FlatSegmentAtTheHomeCameraLandsInPlaceInTheFrontShellAndGlowsOnly) {
    // One record, line count 1: instance k is role k.
    const KernelUniforms u = KernelUniforms::home(1920, 1080);
    const std::vector<VertexResult> v = expand(u, {stroke(0.25f, 0.5f, 0.75f, 0.5f, 0.0f, 0.3f)}, 16);

    // Role 0: the quad runs from pixel 480 to 1440 on row 540, 2 x 1.85 pixels wide.
    const auto a0 = v[0].pixel(1920, 1080);
    const auto b1 = v[1].pixel(1920, 1080);
    const auto a2 = v[2].pixel(1920, 1080);
    const auto b5 = v[5].pixel(1920, 1080);
    EXPECT_NEAR(a0[0], 480.0f, 1e-3f);
    EXPECT_NEAR(b1[0], 1440.0f, 1e-3f);
    EXPECT_NEAR(a0[1], 540.0f - 1.85f, 1e-3f);
    EXPECT_NEAR(a2[1], 540.0f + 1.85f, 1e-3f);
    EXPECT_NEAR(b5[1], 540.0f + 1.85f, 1e-3f);
    EXPECT_NEAR(v[0].position[3], 3.2f, 1e-6f);
    EXPECT_NEAR(v[0].position[2] / v[0].position[3], 16.0f * (3.2f - 0.05f) / (3.2f * 15.95f), 1e-6f);
    EXPECT_EQ(v[0].side, -1.0f);
    EXPECT_EQ(v[2].side, 1.0f);
    EXPECT_NEAR(v[0].alpha, 0.96f, 1e-7f);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_TRUE(v[i].drawn());
        EXPECT_EQ(v[i].alpha, v[0].alpha);
    }

    // Without volume: roles 1 to 8 and role 15 are moved out of the clip volume with alpha 0.
    for (std::size_t role = 1; role <= 15; ++role) {
        const bool expectDrawn = role == 9 || role == 10 || (role >= 11 && role <= 14 && v[role * 6].drawn());
        for (std::size_t i = 0; i < 6; ++i) {
            const VertexResult& vertex = v[role * 6 + i];
            EXPECT_EQ(vertex.drawn(), expectDrawn) << "role " << role;
            if (!expectDrawn) {
                EXPECT_EQ(vertex.position, (Float4{2.0f, 2.0f, 2.0f, 1.0f})) << "role " << role;
                EXPECT_EQ(vertex.alpha, 0.0f) << "role " << role;
            }
        }
    }
    // The glows lie on the flat drawing, the back one at the near-shell alpha.
    EXPECT_NEAR(v[9 * 6].pixel(1920, 1080)[0], 480.0f, 1e-3f);
    EXPECT_NEAR(v[10 * 6].pixel(1920, 1080)[0], 480.0f, 1e-3f);
    EXPECT_NEAR(v[9 * 6].alpha, 0.085f, 1e-7f);
    EXPECT_NEAR(v[10 * 6].alpha, 0.05f, 1e-7f);
    // Sparkles have no alpha without volume.
    for (std::size_t role = 11; role <= 14; ++role) {
        EXPECT_EQ(v[role * 6].alpha, 0.0f);
    }
}

TEST_F(ShaderArithmetic, InstanceSplitsIntoRoleAndRecordByTheLineCount) {
    KernelUniforms u = KernelUniforms::home(1920, 1080);
    const std::vector<KernelStroke> strokes = {stroke(0.25f, 0.5f, 0.75f, 0.5f), stroke(0.1f, 0.2f, 0.3f, 0.2f)};

    // Two records per role block: instance 1 is record 1 in role 0, instance 3 record 1 in role 1.
    u.dynamics[2] = 2.0f;
    std::vector<VertexResult> v = expand(u, strokes, 2 * 10);
    EXPECT_NEAR(v[0].pixel(1920, 1080)[0], 480.0f, 1e-3f);
    EXPECT_NEAR(v[6].pixel(1920, 1080)[0], 192.0f, 1e-3f);
    EXPECT_FALSE(v[3 * 6].drawn()); // role 1 without volume
    EXPECT_NEAR(v[19 * 6].pixel(1920, 1080)[0], 192.0f, 1e-3f); // role 9, record 1

    // A line count of 0 reads as 1: every instance is record 0.
    u.dynamics[2] = 0.0f;
    v = expand(u, strokes, 10);
    EXPECT_NEAR(v[9 * 6].pixel(1920, 1080)[0], 480.0f, 1e-3f);

    // A line count past the bound records never reads beyond them: that instance is not drawn.
    u.dynamics[2] = 3.0f;
    v = expand(u, strokes, 3);
    EXPECT_TRUE(v[6].drawn());
    EXPECT_FALSE(v[12].drawn());
}

TEST_F(ShaderArithmetic, TrussRolesFollowTheFamilyRatesAndTheTorsionCageRunsOneWay) {
    KernelUniforms u = shapedScene();
    std::vector<KernelStroke> strokes;
    for (int i = 0; i < 48; ++i) {
        const float x = 0.2f + 0.012f * static_cast<float>(i);
        strokes.push_back(stroke(x, 0.4f, x + 0.05f, 0.62f, 0.0f, static_cast<float>(i) / 48.0f));
    }
    u.dynamics[2] = static_cast<float>(strokes.size());
    auto countDrawn = [&](float family, std::size_t role) {
        KernelUniforms f = u;
        f.scene[3] = family;
        const std::vector<VertexResult> v = expand(f, strokes, strokes.size() * (role + 1));
        int drawn = 0;
        for (std::size_t i = 0; i < strokes.size(); ++i) {
            drawn += v[(role * strokes.size() + i) * 6].drawn() ? 1 : 0;
        }
        return drawn;
    };
    EXPECT_EQ(countDrawn(4.0f, 8), 0);
    EXPECT_GT(countDrawn(4.0f, 7), 0);
    EXPECT_GT(countDrawn(3.0f, 8), 0);
    // Zero diagonal rate: no diagonals for the inflated hull.
    EXPECT_EQ(countDrawn(1.0f, 7), 0);
    // The shells are always drawn with volume.
    EXPECT_EQ(countDrawn(1.0f, 1), static_cast<int>(strokes.size()));
}

TEST_F(ShaderArithmetic, OnsetsWidenOnlyTheShellsOnScreenAndAfterimagesFade) {
    KernelUniforms u = KernelUniforms::home(1920, 1080);
    u.dynamics = {0.0f, 0.95f, 2.0f, 15.0f};
    const std::vector<VertexResult> v =
        expand(u, {stroke(0.25f, 0.5f, 0.75f, 0.5f, 0.0f), stroke(0.25f, 0.3f, 0.75f, 0.3f, 0.5f)}, 2);
    auto width = [&](std::size_t instance) {
        return v[instance * 6 + 2].pixel(1920, 1080)[1] - v[instance * 6].pixel(1920, 1080)[1];
    };
    const float base = 1.85f + 0.95f * 0.65f;
    EXPECT_NEAR(width(0), base * 2.75f, 2e-3f);
    EXPECT_NEAR(width(1), base * 2.0f, 2e-3f);
    EXPECT_NEAR(v[0].alpha, 0.96f, 1e-7f);
    EXPECT_NEAR(v[6].alpha, 0.96f * 0.16f * (1.0f - 0.5f * 0.72f), 1e-6f);
}

TEST_F(ShaderArithmetic, TheShellNearerTheCameraIsBrightAndCarriesTheSparkles) {
    // Seed 0 and scene seed 0 so that record 0 flashes at 0.03 s.
    KernelUniforms u = shapedScene();
    u.profile[0] = 0.0f;
    u.viewportTime[2] = 0.03f;
    const std::vector<KernelStroke> strokes = {stroke(0.3f, 0.45f, 0.62f, 0.6f)};
    auto maxChannel = [](const VertexResult& v) { return std::max({v.color[0], v.color[1], v.color[2]}); };
    auto midpoint = [](const VertexResult& a, const VertexResult& b) {
        const auto pa = a.pixel(1920, 1080);
        const auto pb = b.pixel(1920, 1080);
        return std::array<float, 2>{(pa[0] + pb[0]) / 2.0f, (pa[1] + pb[1]) / 2.0f};
    };
    // Where the sparkle's anchor lies relative to the shell drawn by glow role `glow`: the anchor is
    // 22 % of the way from the shell's first endpoint to its second.
    auto expectSparkleOn = [&](const std::vector<VertexResult>& v, std::size_t glow) {
        const auto a = midpoint(v[glow * 6 + 0], v[glow * 6 + 2]);
        const auto b = midpoint(v[glow * 6 + 1], v[glow * 6 + 5]);
        const auto anchor = midpoint(v[11 * 6 + 0], v[11 * 6 + 2]);
        ASSERT_TRUE(v[11 * 6].drawn());
        EXPECT_NEAR(anchor[0], a[0] + (b[0] - a[0]) * 0.22f, 1e-2f);
        EXPECT_NEAR(anchor[1], a[1] + (b[1] - a[1]) * 0.22f, 1e-2f);
    };

    // Home camera: the front shell is nearer.
    std::vector<VertexResult> v = expand(u, strokes, 15);
    EXPECT_NEAR(v[0].alpha, 0.96f, 1e-6f);
    EXPECT_NEAR(v[6].alpha, 0.88f * 0.46f, 1e-6f);
    EXPECT_NEAR(v[10 * 6].alpha, 0.05f * 0.46f, 1e-6f);
    EXPECT_NEAR(maxChannel(v[0]), 1.0f, 1e-6f);
    EXPECT_NEAR(maxChannel(v[6]), 0.62f, 1e-6f);
    expectSparkleOn(v, 9);

    // Seen from behind, the back shell is nearer and takes over.
    u.camera = {0.0f, 0.0f, 3.4f, 0.0f};
    v = expand(u, strokes, 15);
    EXPECT_NEAR(v[0].alpha, 0.96f * 0.46f, 1e-6f);
    EXPECT_NEAR(v[6].alpha, 0.88f, 1e-6f);
    EXPECT_NEAR(v[9 * 6].alpha, 0.085f * 0.46f, 1e-6f);
    EXPECT_NEAR(v[10 * 6].alpha, 0.05f, 1e-6f);
    EXPECT_NEAR(maxChannel(v[0]), 0.62f + (1.0f - 0.62f) * 0.08f, 1e-6f);
    EXPECT_NEAR(maxChannel(v[6]), 1.0f, 1e-6f);
    expectSparkleOn(v, 10);
    // Sparkles are nearly white.
    for (float channel : v[11 * 6].color) {
        EXPECT_GE(channel, 0.88f);
    }
}

TEST_F(ShaderArithmetic, SparkleRaysSitOnTheStrokeWithTheViewportsRadiusWhileTheyFlash) {
    // Seed 0 and scene seed 0: interval 0.75 s, offset 0, flash 0.06 s long, anchor at 0.22.
    KernelUniforms u = KernelUniforms::home(1080, 1080);
    u.viewportTime[2] = 0.03f;
    const std::vector<KernelStroke> strokes = {stroke(0.25f, 0.5f, 0.75f, 0.5f), stroke(0.5f, 0.5f, 0.5f, 0.5f)};
    u.dynamics[2] = 2.0f;
    std::vector<VertexResult> v = expand(u, strokes, 2 * 15);
    const float radius = 1.002375f;
    const std::array<std::array<float, 2>, 4> directions = {{{1, 1}, {1, -1}, {-1, -1}, {-1, 1}}};
    for (std::size_t ray = 0; ray < 4; ++ray) {
        const std::size_t instance = (11 + ray) * 2;
        ASSERT_TRUE(v[instance * 6].drawn()) << "ray " << ray;
        // Corners 0 and 1 share a side, so they differ by the ray itself.
        const auto p0 = v[instance * 6].pixel(1080, 1080);
        const auto p1 = v[instance * 6 + 1].pixel(1080, 1080);
        EXPECT_NEAR(p1[0] - p0[0], directions[ray][0] * radius, 1e-3f) << "ray " << ray;
        EXPECT_NEAR(p1[1] - p0[1], directions[ray][1] * radius, 1e-3f) << "ray " << ray;
        // The anchor: 22 % along the stroke from pixel 270 to 810 on row 540 of the content area.
        const auto a0 = v[instance * 6 + 0].pixel(1080, 1080);
        const auto a2 = v[instance * 6 + 2].pixel(1080, 1080);
        EXPECT_NEAR((a0[0] + a2[0]) / 2.0f, 270.0f + 540.0f * 0.22f, 1e-3f) << "ray " << ray;
        EXPECT_NEAR((a0[1] + a2[1]) / 2.0f, 540.0f, 1e-3f) << "ray " << ray;
        // A stroke of no length never sparkles.
        EXPECT_FALSE(v[(instance + 1) * 6].drawn()) << "ray " << ray;
    }

    // Outside the flash window nothing is drawn.
    u.viewportTime[2] = 0.1f;
    v = expand(u, strokes, 2 * 15);
    for (std::size_t role = 11; role <= 14; ++role) {
        EXPECT_FALSE(v[role * 2 * 6].drawn()) << "role " << role;
    }
}

} // namespace
} // namespace drevik::testing

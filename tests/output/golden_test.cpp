// The demo show's pictures, one for each volume family, against approved golden images
// (tests/golden/; scripts/approve-goldens.sh renders new ones after a deliberate change).
#include "tests/render/gpu_test_support.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "core/scene_profile.hpp"
#include "core/scene_span.hpp"
#include "output/snapshot.hpp"
#include "tests/support/temporary_folder.hpp"
#include "tools/picture_difference.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace drevik {
namespace {

using Path = std::filesystem::path;

constexpr int kWidth = 320;
constexpr int kHeight = 180;

using pictures::Image;
using pictures::readPng;

struct GoldenCase {
    std::string family;
    double seconds = 0;
};

std::vector<GoldenCase> goldenCases() {
    std::vector<GoldenCase> cases;
    std::ifstream file(Path(DREVIK_SOURCE_DIR) / "tests/golden/cases.txt");
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        GoldenCase entry;
        words >> entry.family >> entry.seconds;
        cases.push_back(entry);
    }
    return cases;
}

class GoldenImages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testing::preferSoftwareDriver();
        const Path demo = DREVIK_DEMO_DIR;
        graphics_ = new GraphicsTimeline(GraphicsTimeline::fromCsvFile(demo / "Graphics.csv"));
        music_ = new MusicTimeline(MusicTimeline::fromCsvFile(demo / "Music.csv", 48000, 120));
    }
    static void TearDownTestSuite() {
        delete graphics_;
        delete music_;
    }
    static GraphicsTimeline* graphics_;
    static MusicTimeline* music_;
    testing::TemporaryFolder scratch_{"drevik-golden"};
    const Path& folder_ = scratch_.path();
};

GraphicsTimeline* GoldenImages::graphics_ = nullptr;
MusicTimeline* GoldenImages::music_ = nullptr;

TEST_F(GoldenImages, EveryFamilyMatchesItsApprovedPicture) {
    const std::vector<GoldenCase> cases = goldenCases();
    ASSERT_EQ(cases.size(), 8u);
    for (const GoldenCase& entry : cases) {
        SCOPED_TRACE(entry.family);
        const double t = entry.seconds / graphics_->durationSeconds;

        // The moment still shows the family it stands for.
        const auto span = graphics_->sceneSpanAt(t);
        ASSERT_TRUE(span.has_value());
        EXPECT_EQ(name(graphics_->analyzeScene(*span).family), entry.family);

        gpu::setDefaultDeviceOptions(testing::validatedDeviceOptions());
        gpu::takeValidationMessages();
        const Path rendered = folder_ / (entry.family + ".png");
        MetalSnapshot::write(rendered, kWidth, kHeight, t, *graphics_, *music_);
        gpu::setDefaultDeviceOptions({});
        for (const auto& message : gpu::takeValidationMessages()) ADD_FAILURE() << "validation: " << message;

        const Image golden = readPng(Path(DREVIK_SOURCE_DIR) / "tests/golden" / (entry.family + ".png"));
        const Image image = readPng(rendered);
        ASSERT_EQ(golden.width, kWidth);
        ASSERT_EQ(golden.height, kHeight);
        ASSERT_EQ(image.width, kWidth);
        ASSERT_EQ(image.height, kHeight);
        ASSERT_EQ(image.rgba.size(), golden.rgba.size());

        const pictures::Difference difference = pictures::compare(image, golden);
        EXPECT_LE(difference.meanPerChannel, 1.0);
        EXPECT_LE(difference.largeShare, 0.005);
        std::size_t lit = 0;
        for (std::size_t i = 0; i < golden.rgba.size(); ++i) {
            if (i % 4 != 3 && golden.rgba[i] > 40) ++lit;
        }
        EXPECT_GT(lit, 300u) << "the golden picture itself is nearly black";
    }
}

} // namespace
} // namespace drevik

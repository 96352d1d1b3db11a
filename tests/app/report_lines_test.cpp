#include "app/scene_report.hpp"
#include "tests/core/scene_test_support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace drevik {
namespace {

using testing::kLine;
using testing::makeTimeline;

std::string reportOf(const GraphicsTimeline& timeline) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    printSceneReport(timeline, file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(SceneReport, NothingForATimelineWithoutScenes) {
    EXPECT_EQ(reportOf(GraphicsTimeline{}), "");
    EXPECT_EQ(reportOf(makeTimeline({{0.0, {}}, {0.5, {}}})), "");
}

TEST(SceneReport, DeclaredScenesInSecondsAndHomeInEveryRange) {
    const GraphicsTimeline timeline = makeTimeline(
        {{0.0, {kLine}}, {0.3, {{0.1f, 0.1f, 0.9f, 0.9f}, {0.1f, 0.9f, 0.9f, 0.1f}}}, {0.6, {kLine}}},
        {0.0, 54.0 / 180.0, 1.0}, 180);
    const std::vector<std::string> lines = linesOf(reportOf(timeline));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(" 1    0.00\u2013 54.00s     1 lines  deep-prism  dolly-probe den ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with(" 2   54.00\u2013180.00s     2 lines  deep-prism  crane-crown den ")) << lines[1];
    for (const std::string& line : lines) {
        // Phases 0 and 1 are sampled, so home (distance 3.2, lens 3.2) lies inside both ranges.
        float camLo = 0, camHi = 0, lensLo = 0, lensHi = 0;
        const auto cam = line.find(" cam ");
        const auto lens = line.find(" lens ");
        ASSERT_NE(cam, std::string::npos);
        ASSERT_NE(lens, std::string::npos);
        ASSERT_EQ(std::sscanf(line.c_str() + cam, " cam %f\u2013%f", &camLo, &camHi), 2) << line;
        ASSERT_EQ(std::sscanf(line.c_str() + lens, " lens %f\u2013%f", &lensLo, &lensHi), 2) << line;
        EXPECT_LE(camLo, 3.2f);
        EXPECT_GE(camHi, 3.2f);
        EXPECT_LE(lensLo, 3.2f);
        EXPECT_GE(lensHi, 3.2f);
    }
}

TEST(SceneReport, SceneNumbersWidenPastNinetyNine) {
    std::vector<testing::FrameSpec> frames;
    for (int i = 0; i < 101; ++i) {
        frames.push_back({i / 256.0, {kLine}});
        frames.push_back({(i + 0.5) / 256.0, {}});
    }
    const std::vector<std::string> lines = linesOf(reportOf(makeTimeline(frames)));
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_TRUE(lines[8].starts_with(" 9    "));
    EXPECT_TRUE(lines[99].starts_with("100  116.02\u2013"));
    EXPECT_TRUE(lines[100].starts_with("101  117.19\u2013"));
    // Choreographies cycle with the scene index: scene 11 (index 10) opens the second ordering.
    EXPECT_NE(lines[10].find("  barrel-helix den "), std::string::npos) << lines[10];
}

} // namespace
} // namespace drevik

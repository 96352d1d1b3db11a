// The --describe-scenes report: its lines for timelines made here and read from Graphics.csv text,
// and the same lines from the built program.
#include "app/scene_report.hpp"
#include "core/graphics_timeline.hpp"
#include "tests/core/scene_test_support.hpp"
#include "tests/support/process.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// The report of a Graphics.csv text, as --describe-scenes prints it.
std::string describe(const std::string& graphics) {
    return reportOf(GraphicsTimeline::fromCsvData(graphics, "Graphics.csv"));
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

TEST(SceneReport, OneSegmentOneScene) {
    const std::string r = describe("time,x1,y1,x2,y2\n0,0.25,0.5,0.75,0.5\n");
    EXPECT_EQ(r, " 1    0.00\u2013300.00s     1 lines  deep-prism  dolly-probe den 0.00 elong 0.00 H/V/D "
                     "1.00/0.00/0.00 entropy 0.00 radial 0.00 cycles 0.00 junction 0.00 mean 1.000 depth 0.29 "
                     "internal 0.42 cam 2.42\u20134.18 xyz 0.00/0.00/1.76 target 0.00 lens 2.78\u20133.52\n");
}

TEST(SceneReport, NoScenesPrintsNothing) {
    std::string r = describe("time,x1,y1,x2,y2\n");
    EXPECT_EQ(r, "");
    r = describe("time,x1,y1,x2,y2\n0.2,,,,\n0.4,,,,\n");
    EXPECT_EQ(r, "");
}

// A row written at "0.3" reads as 0.30000000000000004 while the boundary 54 s of 180 s is
// 0.29999999999999999: the first frame stays on screen across the boundary, so the second
// scene starts at frame 0 too and shares the first scene's index and choreography.
TEST(SceneReport, RowAtABoundaryStartsJustAfterIt) {
    const std::string r = describe("# duration_seconds=180\n"
                                   "# scene_boundaries_seconds=0,54,180\n"
                                   "time,x1,y1,x2,y2\n"
                                   "0,0.25,0.5,0.75,0.5\n"
                                   "0.3,0.1,0.1,0.9,0.9\n"
                                   "0.3,0.1,0.9,0.9,0.1\n"
                                   "0.6,0.25,0.5,0.75,0.5\n");
    EXPECT_EQ(r,
              " 1    0.00\u2013 54.00s     1 lines  deep-prism  dolly-probe den 0.00 elong 0.00 H/V/D 1.00/0.00/0.00 "
              "entropy 0.00 radial 0.00 cycles 0.00 junction 0.00 mean 1.000 depth 0.29 internal 0.42 "
              "cam 2.42\u20134.18 xyz 0.00/0.00/1.76 target 0.00 lens 2.78\u20133.52\n"
              " 2   54.00\u2013180.00s     2 lines  deep-prism  dolly-probe den 0.00 elong 0.00 H/V/D 0.58/0.06/0.73 "
              "entropy 0.33 radial 0.00 cycles 0.00 junction 0.00 mean 1.000 depth 0.28 internal 0.42 "
              "cam 2.42\u20134.18 xyz 0.00/0.00/1.76 target 0.00 lens 2.59\u20133.52\n");
}

TEST(SceneReport, RunsSeparatedByClearRows) {
    const std::string r = describe("# duration_seconds=60\n"
                                   "time,x1,y1,x2,y2\n"
                                   "0.0,0.2,0.2,0.8,0.2\n"
                                   "0.0,0.8,0.2,0.8,0.8\n"
                                   "0.0,0.8,0.8,0.2,0.8\n"
                                   "0.0,0.2,0.8,0.2,0.2\n"
                                   "0.25,,,,\n"
                                   "0.5,0.5,0.5,0.2,0.5\n"
                                   "0.5,0.5,0.5,0.8,0.5\n"
                                   "0.5,0.5,0.5,0.5,0.2\n"
                                   "0.5,0.5,0.5,0.5,0.8\n");
    // Square then star: cycles 0.25 for the closed square, junction 0.20 for the star's hub.
    std::string first, second;
    const auto newline = r.find('\n');
    ASSERT_NE(newline, std::string::npos);
    first = r.substr(0, newline);
    second = r.substr(newline + 1);
    EXPECT_TRUE(first.starts_with(" 1    0.00\u2013 15.00s     4 lines  deep-prism  dolly-probe den 0.00 "))
        << first;
    EXPECT_NE(first.find(" cycles 0.25 junction 0.00 "), std::string::npos) << first;
    EXPECT_TRUE(second.starts_with(" 2   30.00\u2013 60.00s     4 lines  deep-prism  crane-crown den 0.00 "))
        << second;
    EXPECT_NE(second.find(" cycles 0.00 junction 0.20 "), std::string::npos) << second;
    EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), 2);
}

// The program prints exactly these lines, without reading a Music.csv (there is none here), and
// nothing else.
TEST(SceneReport, TheProgramPrintsTheSameLines) {
    const std::string graphics = "# duration_seconds=60\n"
                                 "# scene_boundaries_seconds=0,20,60\n"
                                 "time,x1,y1,x2,y2\n"
                                 "0,0.25,0.5,0.75,0.5\n"
                                 "0.5,0.1,0.1,0.9,0.9\n";
    const testing::TemporaryFolder folder("drevik-report");
    testing::writeText(folder.path() / "Graphics.csv", graphics);
    const testing::ProcessOutcome run =
        testing::runDrevik({"--describe-scenes", "--graphics", "Graphics.csv"}, testing::ProcessOptions().in(folder.path()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, describe(graphics));
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2);
}

} // namespace
} // namespace drevik

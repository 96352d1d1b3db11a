// --describe-scenes through the built program: Graphics.csv in, report lines out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result {
    int status = -1;
    std::string out;
};

class DescribeScenes : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("drevik-report-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    Result describe(const std::string& graphics) {
        const auto path = dir_ / "Graphics.csv";
        std::ofstream(path, std::ios::binary) << graphics;
        // No Music.csv exists here: the report must not need one.
        const std::string command = "cd '" + dir_.string() + "' && '" + DREVIK_BINARY +
                                    "' --describe-scenes --graphics Graphics.csv 2>/dev/null";
        Result result;
        std::FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return result;
        }
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            result.out.append(buffer, n);
        }
        const int status = ::pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    std::filesystem::path dir_;
};

TEST_F(DescribeScenes, OneSegmentOneScene) {
    const Result r = describe("time,x1,y1,x2,y2\n0,0.25,0.5,0.75,0.5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, " 1    0.00\u2013300.00s     1 lines  deep-prism  dolly-probe den 0.00 elong 0.00 H/V/D "
                     "1.00/0.00/0.00 entropy 0.00 radial 0.00 cycles 0.00 junction 0.00 mean 1.000 depth 0.29 "
                     "internal 0.42 cam 2.42\u20134.18 xyz 0.00/0.00/1.76 target 0.00 lens 2.78\u20133.52\n");
}

TEST_F(DescribeScenes, NoScenesPrintsNothing) {
    Result r = describe("time,x1,y1,x2,y2\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = describe("time,x1,y1,x2,y2\n0.2,,,,\n0.4,,,,\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

// A row written at "0.3" reads as 0.30000000000000004 while the boundary 54 s of 180 s is
// 0.29999999999999999: the first frame stays on screen across the boundary, so the second
// scene starts at frame 0 too and shares the first scene's index and choreography.
TEST_F(DescribeScenes, RowAtABoundaryStartsJustAfterIt) {
    const Result r = describe("# duration_seconds=180\n"
                              "# scene_boundaries_seconds=0,54,180\n"
                              "time,x1,y1,x2,y2\n"
                              "0,0.25,0.5,0.75,0.5\n"
                              "0.3,0.1,0.1,0.9,0.9\n"
                              "0.3,0.1,0.9,0.9,0.1\n"
                              "0.6,0.25,0.5,0.75,0.5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              " 1    0.00\u2013 54.00s     1 lines  deep-prism  dolly-probe den 0.00 elong 0.00 H/V/D 1.00/0.00/0.00 "
              "entropy 0.00 radial 0.00 cycles 0.00 junction 0.00 mean 1.000 depth 0.29 internal 0.42 "
              "cam 2.42\u20134.18 xyz 0.00/0.00/1.76 target 0.00 lens 2.78\u20133.52\n"
              " 2   54.00\u2013180.00s     2 lines  deep-prism  dolly-probe den 0.00 elong 0.00 H/V/D 0.58/0.06/0.73 "
              "entropy 0.33 radial 0.00 cycles 0.00 junction 0.00 mean 1.000 depth 0.28 internal 0.42 "
              "cam 2.42\u20134.18 xyz 0.00/0.00/1.76 target 0.00 lens 2.59\u20133.52\n");
}

TEST_F(DescribeScenes, RunsSeparatedByClearRows) {
    const Result r = describe("# duration_seconds=60\n"
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
    EXPECT_EQ(r.status, 0);
    // Square then star: cycles 0.25 for the closed square, junction 0.20 for the star's hub.
    std::string first, second;
    const auto newline = r.out.find('\n');
    ASSERT_NE(newline, std::string::npos);
    first = r.out.substr(0, newline);
    second = r.out.substr(newline + 1);
    EXPECT_TRUE(first.starts_with(" 1    0.00\u2013 15.00s     4 lines  deep-prism  dolly-probe den 0.00 "))
        << first;
    EXPECT_NE(first.find(" cycles 0.25 junction 0.00 "), std::string::npos) << first;
    EXPECT_TRUE(second.starts_with(" 2   30.00\u2013 60.00s     4 lines  deep-prism  crane-crown den 0.00 "))
        << second;
    EXPECT_NE(second.find(" cycles 0.00 junction 0.20 "), std::string::npos) << second;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
}

} // namespace

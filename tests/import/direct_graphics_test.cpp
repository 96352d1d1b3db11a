// `drevik --graphics` given an SVG file or a folder of them: the real program, read by content.
#include "import_test_support.hpp"

#include <gtest/gtest.h>

namespace drevik::testing {
namespace {

const char* const kLavapipe = "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";

CommandResult runDrevik(const std::string& arguments) {
    return runCommand("VK_DRIVER_FILES=" + std::string(kLavapipe) + " " + quoted(DREVIK_BINARY) + " " + arguments);
}

class DirectGraphics : public ::testing::Test {
protected:
    void SetUp() override {
        icon = "/usr/share/icons/Adwaita/scalable/places/user-home-symbolic.svg";
        ASSERT_TRUE(std::filesystem::exists(icon)) << "adwaita-icon-theme is missing (scripts/install-deps.sh)";
        music = folder.path() / "Music.csv";
        writeText(music, "# duration_seconds=7\ntime,lead\n0,0.7\n0.5,0.3\n");
    }
    TemporaryFolder folder;
    std::filesystem::path icon, music;
};

TEST_F(DirectGraphics, AnSvgFileIsTheDrawingTheConverterWouldWrite) {
    // The same scenes, measures and choices as from the converter's Graphics.csv.
    const auto csv = folder.path() / "Graphics.csv";
    ASSERT_EQ(runImport("svg " + quoted(icon) + " -o " + quoted(csv)).status, 0);
    const CommandResult direct = runDrevik("--graphics " + quoted(icon) + " --describe-scenes");
    const CommandResult converted = runDrevik("--graphics " + quoted(csv) + " --describe-scenes");
    ASSERT_EQ(direct.status, 0) << direct.output;
    EXPECT_EQ(direct.output, converted.output);

    // With a soundtrack, the drawing lasts as long as it (no duration mismatch), and a snapshot is drawn.
    const auto png = folder.path() / "home.png";
    const CommandResult snapshot = runDrevik("--graphics " + quoted(icon) + " --music " + quoted(music) +
                                             " --snapshot " + quoted(png) + " --width 320 --height 180 --time 0.01");
    ASSERT_EQ(snapshot.status, 0) << snapshot.output;
    const GraphicsTimeline written = GraphicsTimeline::fromCsvFile(csv);
    EXPECT_NE(snapshot.output.find("Loaded 1 frames / " + std::to_string(written.segments.size()) + " lines;"),
              std::string::npos)
        << snapshot.output;
    EXPECT_GT(readPngAlpha(png).width, 0);
}

TEST_F(DirectGraphics, AFolderOfSvgFilesIsScenesInTheOrderOfTheirNames) {
    const auto drawings = folder.path() / "drawings";
    std::filesystem::create_directory(drawings);
    std::filesystem::copy_file(icon, drawings / "b.svg");
    writeText(drawings / "a.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><path d="M1 1 L9 9" stroke="#000"/></svg>)");
    writeText(drawings / "notes.txt", "not a drawing");
    const CommandResult report = runDrevik("--graphics " + quoted(drawings) + " --music " + quoted(music) + " --describe-scenes");
    ASSERT_EQ(report.status, 0) << report.output;
    EXPECT_EQ(report.output.substr(0, 32), " 1    0.00–150.00s     1 lines") << report.output;
    EXPECT_NE(report.output.find("\n 2  150.00–300.00s"), std::string::npos) << report.output;

    const auto empty = folder.path() / "empty";
    std::filesystem::create_directory(empty);
    const CommandResult none = runDrevik("--graphics " + quoted(empty) + " --describe-scenes");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.output, "Drevik: " + empty.string() + " holds no SVG files, pictures or videos to draw.\n");
}

TEST_F(DirectGraphics, ABrokenSvgIsRefusedAndAGraphicsCsvIsReadAsAlways) {
    const auto broken = folder.path() / "logo.svg";
    writeText(broken, "<svg xmlns=\"http://www.w3.org/2000/svg\"><path d=\"M0 0 L1 1\"></svg>");
    const CommandResult refused = runDrevik("--graphics " + quoted(broken) + " --describe-scenes");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, "Drevik: logo.svg:1:67: broken SVG: Opening and ending tag mismatch: path line 1 and svg\n");
    // A file that only looks like markup further down is still a (broken) Graphics.csv.
    const auto csv = folder.path() / "Graphics.csv";
    writeText(csv, "time,x1,y1,x2,y2\n<svg>\n");
    const CommandResult read = runDrevik("--graphics " + quoted(csv) + " --describe-scenes");
    EXPECT_EQ(read.output, "Drevik: Graphics.csv:2: expected five normalized fields\n");
}

} // namespace
} // namespace drevik::testing

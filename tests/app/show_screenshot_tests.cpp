// Names of screenshots and their writer, without a window.
#include "app/show_screenshot.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <png.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace drevik {
namespace {

namespace fs = std::filesystem;

// 2026-03-04 05:06:07.089 UTC.
const std::chrono::system_clock::time_point moment =
    std::chrono::system_clock::time_point(std::chrono::milliseconds(1772600767089));

class UtcTimeZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* zone = std::getenv("TZ");
        if (zone != nullptr) saved_ = zone;
        hadZone_ = zone != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (hadZone_) setenv("TZ", saved_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    testing::TemporaryFolder scratch{"drevik-screenshot-names"};
    const fs::path& folder = scratch.path();

private:
    std::string saved_;
    bool hadZone_ = false;
};

TEST_F(UtcTimeZone, NamesSortByLocalTimeToTheMillisecond) {
    EXPECT_EQ(screenshotFileName(moment), "drevik-20260304-050607-089.png");
    EXPECT_EQ(screenshotFileName(moment + std::chrono::milliseconds(911)), "drevik-20260304-050608-000.png");
}

TEST_F(UtcTimeZone, ATakenNameGetsTheNextFreeSuffix) {
    EXPECT_EQ(freeScreenshotLocation(folder, moment), folder / "drevik-20260304-050607-089.png");
    std::ofstream(folder / "drevik-20260304-050607-089.png") << "x";
    fs::create_symlink("nowhere", folder / "drevik-20260304-050607-089-1.png"); // dangling, still taken
    EXPECT_EQ(freeScreenshotLocation(folder, moment), folder / "drevik-20260304-050607-089-2.png");
}

TEST_F(UtcTimeZone, TheWriterAnnouncesEachFileInOrderAndFinishesBeforeItGoes) {
    ShowPicture picture;
    picture.width = 3;
    picture.height = 2;
    picture.bgra = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 0, 0, 0, 255, 9, 9, 9, 255, 255, 255, 255, 255};
    const fs::path outName = folder / "out.txt";
    std::FILE* out = std::fopen(outName.c_str(), "w");
    ASSERT_NE(out, nullptr);
    {
        ScreenshotWriter writer(out, stderr);
        writer.write(picture, folder, moment);
        writer.write(picture, folder, moment); // the same millisecond: a suffix
    }
    std::fclose(out);
    std::ifstream lines(outName);
    std::string first;
    std::string second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(first, "Wrote " + (folder / "drevik-20260304-050607-089.png").string());
    EXPECT_EQ(second, "Wrote " + (folder / "drevik-20260304-050607-089-1.png").string());

    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, (folder / "drevik-20260304-050607-089.png").c_str()));
    png.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr));
    EXPECT_EQ(png.width, 3u);
    EXPECT_EQ(png.height, 2u);
    EXPECT_EQ(rgb, (std::vector<std::uint8_t>{0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0, 9, 9, 9, 255, 255, 255}));
    for (const auto& entry : fs::directory_iterator(folder))
        EXPECT_NE(entry.path().filename().string().front(), '.') << "a temporary was left: " << entry.path();
}

TEST_F(UtcTimeZone, WithoutAFolderTheWorkingFolderIsNamedInFull) {
    const fs::path before = fs::current_path();
    fs::current_path(folder);
    const fs::path outName = folder / "out.txt";
    std::FILE* out = std::fopen(outName.c_str(), "w");
    ASSERT_NE(out, nullptr);
    {
        ScreenshotWriter writer(out, stderr);
        writer.write(ShowPicture{2, 2, std::vector<std::uint8_t>(16, 255)}, {}, moment);
    }
    std::fclose(out);
    fs::current_path(before);
    std::ifstream lines(outName);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Wrote " + (fs::canonical(folder) / "drevik-20260304-050607-089.png").string());
}

} // namespace
} // namespace drevik

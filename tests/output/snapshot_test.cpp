// The PNG snapshot end to end on the software driver with validation on, and its file handling.
#include "output/png_writer.hpp"
#include "output/snapshot.hpp"
#include "render/gpu/gpu.hpp"
#include "render/scene_renderer.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace drevik {
namespace {

namespace fs = std::filesystem;

struct Image {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::uint8_t> rgba;
    const std::uint8_t* at(std::size_t x, std::size_t y) const { return &rgba[(y * width + x) * 4]; }
};

Image readPng(const fs::path& location) {
    Image image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, location.c_str())) {
        ADD_FAILURE() << "not a PNG: " << location;
        return image;
    }
    png.format = PNG_FORMAT_RGBA;
    image.width = png.width;
    image.height = png.height;
    image.rgba.resize(PNG_IMAGE_SIZE(png));
    EXPECT_TRUE(png_image_finish_read(&png, nullptr, image.rgba.data(), 0, nullptr));
    return image;
}

GraphicsTimeline horizontalLine(double frameTime) {
    GraphicsTimeline timeline;
    timeline.durationSeconds = 20;
    timeline.segments.push_back(PackedLine::make(0.25f, 0.9f, 0.75f, 0.9f));
    timeline.frames.push_back({frameTime, {0, 1}});
    return timeline;
}

class SnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::preferSoftwareDriver();
        gpu::setDefaultDeviceOptions(testing::validatedDeviceOptions());
        gpu::takeValidationMessages();
        music.durationSeconds = 20;
    }
    void TearDown() override {
        gpu::setDefaultDeviceOptions({});
        for (const auto& message : gpu::takeValidationMessages()) {
            ADD_FAILURE() << "validation: " << message;
        }
    }

    testing::TemporaryFolder scratch{"drevik-snapshot"};
    const fs::path& folder = scratch.path();
    MusicTimeline music;
};

TEST_F(SnapshotTest, AnExistingFileIsRefusedAndLeftUntouched) {
    const fs::path target = folder / "taken.png";
    std::ofstream(target) << "precious";
    try {
        MetalSnapshot::write(target, 64, 32, 0.5, horizontalLine(0.0), music);
        FAIL() << "expected an error";
    } catch (const SnapshotError& error) {
        EXPECT_EQ(error.kind(), SnapshotError::Kind::outputExists);
        EXPECT_EQ(std::string(error.what()), "Snapshot already exists: " + target.string());
    }
    std::ifstream in(target);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "precious");
    EXPECT_EQ(testing::namesIn(folder).size(), 1u);
}

TEST_F(SnapshotTest, NothingOnScreenGivesAnOpaqueBlackImageInNewFolders) {
    const fs::path target = folder / "a" / "b" / "empty.png";
    GraphicsTimeline timeline = horizontalLine(0.5);   // its only frame starts after t
    MetalSnapshot::write(target, 48, 20, 0.25, timeline, music);
    Image image = readPng(target);
    ASSERT_EQ(image.width, 48u);
    ASSERT_EQ(image.height, 20u);
    for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
        ASSERT_EQ(image.rgba[i] + image.rgba[i + 1] + image.rgba[i + 2], 0) << i;
        ASSERT_EQ(image.rgba[i + 3], 255) << i;
    }
    EXPECT_EQ(testing::namesIn(target.parent_path()), std::vector<std::string>{"empty.png"});
}

TEST_F(SnapshotTest, ANameOfMaximalLengthIsWritten) {
    const fs::path target = folder / (std::string(251, 'n') + ".png");
    MetalSnapshot::write(target, 8, 8, 0.5, horizontalLine(0.0), music);
    EXPECT_EQ(readPng(target).width, 8u);
    EXPECT_EQ(testing::namesIn(folder).size(), 1u);
}

TEST_F(SnapshotTest, ADrawingNearTheTopLandsNearTheTopOfTheFile) {
    const fs::path target = folder / "line.png";
    MetalSnapshot::write(target, 96, 54, 0.5, horizontalLine(0.0), music);
    Image image = readPng(target);
    ASSERT_EQ(image.width, 96u);
    auto rowLight = [&](std::size_t y) {
        int sum = 0;
        for (std::size_t x = 0; x < image.width; ++x) sum += image.at(x, y)[0] + image.at(x, y)[1] + image.at(x, y)[2];
        return sum;
    };
    int top = 0;
    int bottom = 0;
    for (std::size_t y = 0; y < image.height / 2; ++y) top += rowLight(y);
    for (std::size_t y = image.height / 2; y < image.height; ++y) bottom += rowLight(y);
    EXPECT_GT(top, 0);
    EXPECT_GT(top, 4 * bottom);
    for (std::size_t i = 3; i < image.rgba.size(); i += 4) ASSERT_EQ(image.rgba[i], 255);
}

TEST_F(SnapshotTest, SizesTheDeviceCannotRenderWriteNothing) {
    const fs::path target = folder / "huge.png";
    for (auto [width, height] : {std::pair<std::int64_t, std::int64_t>{1'000'000, 4},
                                 {std::int64_t{1} << 40, std::int64_t{1} << 40},
                                 {0, 10}}) {
        try {
            MetalSnapshot::write(target, width, height, 0.5, horizontalLine(0.0), music);
            FAIL() << width << "x" << height;
        } catch (const SnapshotError& error) {
            EXPECT_EQ(error.kind(), SnapshotError::Kind::cannotCreateTexture) << width << "x" << height;
            EXPECT_EQ(std::string(error.what()), "Metal could not allocate the snapshot texture.");
        }
    }
    EXPECT_TRUE(testing::namesIn(folder).empty());
}

TEST_F(SnapshotTest, AnUnwritableFolderLeavesNoFileAndNoTemporary) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    const fs::path locked = folder / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path target = locked / "frame.png";
    try {
        MetalSnapshot::write(target, 16, 16, 0.5, horizontalLine(0.0), music);
        FAIL() << "expected an error";
    } catch (const SnapshotError& error) {
        EXPECT_EQ(std::string(error.what()), "Could not write snapshot: " + target.string());
    }
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_TRUE(testing::namesIn(locked).empty());
}

TEST_F(SnapshotTest, NoVulkanDeviceIsReportedAsNoDevice) {
    const std::string saved = std::getenv("VK_DRIVER_FILES") ? std::getenv("VK_DRIVER_FILES") : "";
    ::setenv("VK_DRIVER_FILES", (folder / "no-such-driver.json").c_str(), 1);
    try {
        MetalSnapshot::write(folder / "frame.png", 16, 16, 0.5, horizontalLine(0.0), music);
        ADD_FAILURE() << "expected an error";
    } catch (const SnapshotError& error) {
        EXPECT_EQ(std::string(error.what()), "This Mac does not provide a Metal device.");
    }
    if (saved.empty()) ::unsetenv("VK_DRIVER_FILES");
    else ::setenv("VK_DRIVER_FILES", saved.c_str(), 1);
    gpu::takeValidationMessages();   // the loader's complaint about the missing driver file
    EXPECT_TRUE(testing::namesIn(folder).empty());
}

// A name that is taken by the time the finished image is moved into place (here a dangling link,
// which the up-front existence check does not see) is never replaced, and the temporary file goes.
TEST_F(SnapshotTest, ANameTakenMeanwhileIsNotReplaced) {
    const fs::path target = folder / "late.png";
    fs::create_symlink(folder / "nowhere", target);
    try {
        MetalSnapshot::write(target, 16, 16, 0.5, horizontalLine(0.0), music);
        FAIL() << "expected an error";
    } catch (const SnapshotError& error) {
        EXPECT_EQ(error.kind(), SnapshotError::Kind::outputExists);
    }
    EXPECT_TRUE(fs::is_symlink(target));
    EXPECT_EQ(testing::namesIn(folder), std::vector<std::string>{"late.png"});
}

// The image is encoded, but the file system refuses the final name: the temporary file goes too.
TEST_F(SnapshotTest, AFileThatCannotBeCreatedLeavesNothing) {
    const fs::path target = folder / (std::string(260, 'n') + ".png");   // longer than a name may be
    try {
        MetalSnapshot::write(target, 16, 16, 0.5, horizontalLine(0.0), music);
        FAIL() << "expected an error";
    } catch (const SnapshotError& error) {
        EXPECT_EQ(std::string(error.what()), "Could not write snapshot: " + target.string());
    }
    EXPECT_TRUE(testing::namesIn(folder).empty());
}

TEST_F(SnapshotTest, AFolderThatCannotBeMadeIsReportedAndTheFileInItsWayKept) {
    const fs::path blocker = folder / "plain-file";
    std::ofstream(blocker) << "x";
    const fs::path target = blocker / "sub" / "frame.png";
    try {
        MetalSnapshot::write(target, 16, 16, 0.5, horizontalLine(0.0), music);
        FAIL() << "expected an error";
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Could not create the folder " + target.parent_path().string(), 0), 0u)
            << error.what();
    }
    EXPECT_TRUE(fs::is_regular_file(blocker));
    EXPECT_EQ(testing::namesIn(folder), std::vector<std::string>{"plain-file"});
}

// The full-size frame: the read-back is width × 4 bytes per row, and the file has that size.
TEST_F(SnapshotTest, FullHdReadsBackEveryRow) {
    const fs::path target = folder / "hd.png";
    MetalSnapshot::write(target, 1920, 1080, 0.5, horizontalLine(0.0), music);
    Image image = readPng(target);
    EXPECT_EQ(image.width, 1920u);
    EXPECT_EQ(image.height, 1080u);
    EXPECT_EQ(image.rgba.size(), 8'294'400u);
}

// Encoding alone: a write error surfaces as such, and the colour order is RGB from BGRA.
TEST(PngWriterTest, SwapsBgraToRgbaAndReportsWriteErrors) {
    const std::vector<std::uint8_t> bgra{10, 20, 30, 255, 40, 50, 60, 7};
    const testing::TemporaryFolder folder("drevik-png");
    const fs::path path = folder.path() / "two.png";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(writeBgraAsPng(file, bgra.data(), 2, 1, 8), PngWriteResult::written);
    std::fclose(file);
    Image image = readPng(path);
    ASSERT_EQ(image.rgba.size(), 8u);
    EXPECT_EQ(image.rgba, (std::vector<std::uint8_t>{30, 20, 10, 255, 60, 50, 40, 255}));

    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full) {
        std::vector<std::uint8_t> big(256 * 256 * 4, 0x5a);
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
        EXPECT_EQ(writeBgraAsPng(full, big.data(), 256, 256, 1024), PngWriteResult::cannotWrite);
        std::fclose(full);
    }
}

} // namespace
} // namespace drevik

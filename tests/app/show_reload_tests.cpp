// Live reload of the show's input files: the reloader on its own (which saves it sees, what it reads,
// what it reports), and the show in a real window on a private X server following the saves.
#include "app/show_reload.hpp"
#include "app/show_inputs.hpp"
#include "app/show_view.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/temporary_folder.hpp"
#include "tests/virtual_display.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drevik {
namespace {

using namespace std::chrono_literals;

void writeFile(const std::filesystem::path& location, const std::string& text) {
    std::ofstream out(location, std::ios::binary | std::ios::trunc);
    out << text;
}

// Saves as editors do: in place, by writing a temporary file and renaming it over, or by deleting the
// file and creating it again.
enum class Save { inPlace, renameOver, deleteAndCreate };

void save(const std::filesystem::path& location, const std::string& text, Save how) {
    switch (how) {
    case Save::inPlace: writeFile(location, text); break;
    case Save::renameOver: {
        std::filesystem::path temporary = location;
        temporary += ".tmp";
        writeFile(temporary, text);
        std::filesystem::rename(temporary, location);
        break;
    }
    case Save::deleteAndCreate:
        std::filesystem::remove(location);
        std::this_thread::sleep_for(50ms);
        writeFile(location, text);
        break;
    }
}

// `lines` parallel lines at a slant chosen by `slant`, all in one frame at time 0.
std::string drawing(double seconds, int lines, double slant) {
    std::string csv = "# duration_seconds=" + std::to_string(seconds) + "\ntime,x1,y1,x2,y2\n";
    for (int i = 0; i < lines; ++i) {
        double y = 0.1 + 0.8 * i / std::max(lines - 1, 1);
        csv += "0,0.1," + std::to_string(y) + ",0.9," + std::to_string(std::clamp(y + slant, 0.0, 1.0)) + "\n";
    }
    return csv;
}

std::string soundtrack(double seconds) {
    return "# duration_seconds=" + std::to_string(seconds) + "\ntime,lead\n0,0.7\n0.5,0.3\n";
}

std::string readingError(const std::filesystem::path& location) {
    try {
        GraphicsTimeline::fromCsvFile(location);
    } catch (const std::exception& error) {
        return error.what();
    }
    return {};
}

class Reloader : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(graphicsLocation(), drawing(2, 3, 0));
        writeFile(musicLocation(), soundtrack(2));
        graphics = std::make_shared<const GraphicsTimeline>(GraphicsTimeline::fromCsvFile(graphicsLocation()));
        music = std::make_shared<const MusicTimeline>(readMusic(musicLocation()));
        reloader = std::make_unique<ShowReloader>(graphicsLocation(), musicLocation(), graphics, music, [this] {
            std::lock_guard lock(mutex);
            ++wakeUps;
            changed.notify_all();
        });
    }

    std::filesystem::path graphicsLocation() const { return folder.path() / "Graphics.csv"; }
    std::filesystem::path musicLocation() const { return folder.path() / "Music.csv"; }

    // The next result, or none when nothing comes within `seconds`.
    std::optional<ShowReload> next(std::chrono::milliseconds wait = 3000ms) {
        {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, wait, [this] { return wakeUps > taken; });
            taken = wakeUps;
        }
        return reloader->take();
    }

    testing::TemporaryFolder folder{"drevik-reload"};
    std::shared_ptr<const GraphicsTimeline> graphics;
    std::shared_ptr<const MusicTimeline> music;
    std::unique_ptr<ShowReloader> reloader;
    std::mutex mutex;
    std::condition_variable changed;
    int wakeUps = 0;
    int taken = 0;
};

TEST_F(Reloader, EverySaveOfTheDrawingIsReadOnceAndPairedWithTheSoundtrack) {
    ASSERT_TRUE(reloader->watching());
    writeFile(folder.path() / "Notes.txt", "not a show file");
    EXPECT_FALSE(next(600ms)) << "a file beside the show's was taken for one of them";

    int lines = 4;
    for (Save how : {Save::inPlace, Save::renameOver, Save::deleteAndCreate}) {
        SCOPED_TRACE(static_cast<int>(how));
        save(graphicsLocation(), drawing(2, lines, 0.1), how);
        auto saved = std::chrono::steady_clock::now();
        std::optional<ShowReload> reload = next();
        ASSERT_TRUE(reload) << "the save was not seen";
        EXPECT_EQ(reload->error, "");
        ASSERT_TRUE(reload->graphics);
        EXPECT_EQ(reload->graphics->segments.size(), static_cast<std::size_t>(lines));
        EXPECT_EQ(reload->music, music) << "the soundtrack was read again although it was not saved";
        EXPECT_LT(std::chrono::steady_clock::now() - saved, 500ms);
        EXPECT_FALSE(next(500ms)) << "one save was read more than once";
        ++lines;
    }
}

// A file written in pieces, with pauses shorter than the quiet time, is read once, when complete.
TEST_F(Reloader, AFileWrittenInPiecesIsReadOnceComplete) {
    const std::string text = drawing(2, 40, 0.2);
    {
        std::ofstream out(graphicsLocation(), std::ios::binary | std::ios::trunc);
        for (std::size_t at = 0; at < text.size(); at += text.size() / 4 + 1) {
            out << text.substr(at, text.size() / 4 + 1) << std::flush;
            std::this_thread::sleep_for(100ms);
        }
    }
    std::optional<ShowReload> reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, "");
    ASSERT_TRUE(reload->graphics);
    EXPECT_EQ(reload->graphics->segments.size(), 40u);
    EXPECT_FALSE(next(500ms));
}

TEST_F(Reloader, AFailureIsReportedUntilASaveMendsIt) {
    // A broken drawing: its contract error, as the launch driver reports it.
    save(graphicsLocation(), "# duration_seconds=2\ntime,x1,y1,x2,y2\n0,0.1,0.2\n", Save::renameOver);
    std::optional<ShowReload> reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, readingError(graphicsLocation()));
    EXPECT_NE(reload->error, "");
    EXPECT_FALSE(reload->graphics);

    // Mended, but of another length than the soundtrack: the launch driver's mismatch.
    save(graphicsLocation(), drawing(3, 2, 0), Save::inPlace);
    reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, LaunchError(3, 2).what());

    // The soundtrack follows: the pair is good again, both read anew.
    save(musicLocation(), soundtrack(3), Save::inPlace);
    reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, "");
    ASSERT_TRUE(reload->graphics && reload->music);
    EXPECT_EQ(reload->graphics->durationSeconds, 3);
    EXPECT_EQ(reload->music->durationSeconds, 3);
    EXPECT_NE(reload->music, music);
}

// Both files saved for a new length of show are read as one pair, not reported as a mismatch between
// the first one saved and the other's old version.
TEST_F(Reloader, FilesSavedTogetherAreReadTogether) {
    save(graphicsLocation(), drawing(5, 2, 0), Save::inPlace);
    std::this_thread::sleep_for(100ms);
    save(musicLocation(), soundtrack(5), Save::renameOver);
    std::optional<ShowReload> reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, "");
    ASSERT_TRUE(reload->graphics && reload->music);
    EXPECT_EQ(reload->music->durationSeconds, 5);
    EXPECT_FALSE(next(500ms));
}

TEST(ReloaderWithoutAFolder, WatchesNothingAndReportsNothing) {
    ShowReloader reloader("/nonexistent-drevik-folder/Graphics.csv", "/nonexistent-drevik-folder/Music.csv",
                          nullptr, nullptr, [] {});
    EXPECT_FALSE(reloader.watching());
    EXPECT_FALSE(reloader.take());
}

} // namespace
} // namespace drevik

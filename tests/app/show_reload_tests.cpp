// Live reload of the show's input files: the reloader on its own (which saves it sees, what it reads,
// what it reports), and the show in a real window on a private X server following the saves.
#include "app/show_reload.hpp"
#include "app/inputs.hpp"
#include "app/show_view.hpp"
#include "import/drawing_source.hpp"
#include "tests/render/gpu_test_support.hpp"
#include "tests/support/temporary_folder.hpp"
#include "tests/support/virtual_display.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drevik {
namespace {

using namespace std::chrono_literals;

const auto& writeFile = testing::writeText;

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
        // A closed file is read after the quiet time, not after the silence that ends an open writer.
        EXPECT_LT(std::chrono::steady_clock::now() - saved,
                  std::chrono::milliseconds(static_cast<int>(ShowReloader::openWriterSeconds * 1000)));
        EXPECT_FALSE(next(500ms)) << "one save was read more than once";
        ++lines;
    }
}

// A file written in pieces is read once, when complete: through one open file, however long the pauses
// between the pieces (up to the silence taken as the end), and opened again for each piece, when the
// pauses are shorter than the quiet time.
TEST_F(Reloader, AFileWrittenInPiecesIsReadOnceComplete) {
    for (bool reopened : {false, true}) {
        SCOPED_TRACE(reopened ? "reopened for each piece" : "one open file");
        const int lines = reopened ? 50 : 40;
        const std::string text = drawing(2, lines, 0.2);
        const std::size_t piece = text.size() / 4 + 1;
        // Through one open file, pauses of twice the quiet time; reopened, a third of it.
        const auto quiet = std::chrono::milliseconds(static_cast<int>(ShowReloader::quietSeconds * 1000));
        const auto pause = reopened ? quiet / 3 : quiet * 2;
        if (reopened) std::filesystem::remove(graphicsLocation());
        std::ofstream out(graphicsLocation(), std::ios::binary | std::ios::trunc);
        for (std::size_t at = 0; at < text.size(); at += piece) {
            if (reopened && !out.is_open()) out.open(graphicsLocation(), std::ios::binary | std::ios::app);
            out << text.substr(at, piece) << std::flush;
            if (reopened) out.close();
            std::this_thread::sleep_for(pause);
        }
        out.close();
        std::optional<ShowReload> reload = next();
        ASSERT_TRUE(reload);
        EXPECT_EQ(reload->error, "");
        ASSERT_TRUE(reload->graphics);
        EXPECT_EQ(reload->graphics->segments.size(), static_cast<std::size_t>(lines));
        EXPECT_FALSE(next(500ms));
    }
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

// A recording saved as the soundtrack is read again like a Music.csv, and a drawing without a declared
// duration takes its length, each time from the drawing as it was read.
TEST_F(Reloader, ARecordingSavedAsTheSoundtrackSetsTheLengthOfAnUndeclaredDrawing) {
    save(graphicsLocation(), "time,x1,y1,x2,y2\n0,0.1,0.1,0.9,0.9\n", Save::inPlace);
    std::optional<ShowReload> reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, LaunchError(300, 2).what()); // with a Music.csv, as ever
    for (const double seconds : {3.0, 4.5}) {
        const std::filesystem::path made = folder.path() / ".made.flac";
        const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=f=220:d=" +
                                    std::to_string(seconds) + " '" + made.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::filesystem::rename(made, musicLocation());
        reload = next();
        ASSERT_TRUE(reload);
        EXPECT_EQ(reload->error, "");
        ASSERT_TRUE(reload->graphics && reload->music);
        EXPECT_EQ(reload->music->soundName, "Music.csv");
        EXPECT_NEAR(reload->music->durationSeconds, seconds, 0.01);
        EXPECT_EQ(reload->graphics->durationSeconds, reload->music->durationSeconds);
    }
}

// A drawing from an SVG file is read again when saved, and laid out again over a soundtrack saved
// with a new length (it lasts as long as the soundtrack, so that is no mismatch).
TEST(ReloaderOfAnSvgDrawing, ReadsTheSavedDrawingAndFollowsTheSoundtracksLength) {
    testing::TemporaryFolder folder{"drevik-reload"};
    const auto svg = folder.path() / "logo.svg", musicFile = folder.path() / "Music.csv";
    const auto square = [](int size) {
        return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\"><rect width=\"" +
               std::to_string(size) + "\" height=\"" + std::to_string(size) + "\"/></svg>";
    };
    writeFile(svg, square(50));
    writeFile(musicFile, soundtrack(2));
    auto music = std::make_shared<const MusicTimeline>(readMusic(musicFile));
    auto graphics = std::make_shared<const GraphicsTimeline>(loadDrawing(svg, music->durationSeconds));
    ShowReloader reloader(svg, musicFile, graphics, music, [] {});
    ASSERT_TRUE(reloader.watching());
    const auto next = [&reloader] {
        for (int i = 0; i < 60; ++i) {
            if (auto reload = reloader.take()) return reload;
            std::this_thread::sleep_for(50ms);
        }
        return std::optional<ShowReload>();
    };

    save(svg, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\"><path d=\"M0 0 L50 50\" stroke=\"#000\"/></svg>",
         Save::renameOver);
    std::optional<ShowReload> reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, "");
    ASSERT_TRUE(reload->graphics);
    EXPECT_EQ(reload->graphics->segments.size(), 1u);

    save(musicFile, soundtrack(5), Save::inPlace);
    reload = next();
    ASSERT_TRUE(reload);
    EXPECT_EQ(reload->error, "");
    ASSERT_TRUE(reload->graphics);
    EXPECT_EQ(reload->graphics->durationSeconds, 5);
    EXPECT_EQ(reload->graphics->segments.size(), 1u);
}

TEST(ReloaderWithoutAFolder, WatchesNothingAndReportsNothing) {
    ShowReloader reloader("/nonexistent-drevik-folder/Graphics.csv", "/nonexistent-drevik-folder/Music.csv",
                          nullptr, nullptr, [] {});
    EXPECT_FALSE(reloader.watching());
    EXPECT_FALSE(reloader.take());
}

} // namespace
} // namespace drevik

namespace drevik {
namespace {


using testing::pushKey;

// Pixels of two pictures of the same size that differ clearly.
std::size_t differingPixels(const std::vector<std::array<int, 3>>& a, const std::vector<std::array<int, 3>>& b) {
    std::size_t differing = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        int largest = 0;
        for (int c = 0; c < 3; ++c) largest = std::max(largest, std::abs(a[i][c] - b[i][c]));
        if (largest > 40) ++differing;
    }
    return differing;
}

std::size_t litPixels(const std::vector<std::array<int, 3>>& picture) {
    std::size_t lit = 0;
    for (const auto& pixel : picture)
        if (pixel[0] + pixel[1] + pixel[2] > 30) ++lit;
    return lit;
}

// The show, with the real renderer on the software Vulkan driver, in a 192 × 108 window, on files in a
// temporary folder that the test saves while the show runs.
class ReloadingShow : public testing::WindowDisplaySuite {
protected:
    static constexpr int width = 192;
    static constexpr int height = 108;

    void SetUp() override {
        WindowDisplaySuite::SetUp();
        if (IsSkipped()) return;
        writeFile(graphicsLocation(), drawing(20, 12, 0));
        writeFile(musicLocation(), soundtrack(20));
        graphics = GraphicsTimeline::fromCsvFile(graphicsLocation());
        music = readMusic(musicLocation());
        configuration.graphicsURL = graphicsLocation();
        configuration.musicURL = musicLocation();
        hooks.width = width;
        hooks.height = height;
        errors = std::tmpfile();
        hooks.reloadErrors = errors;
        gpu::setDefaultDeviceOptions(testing::validatedDeviceOptions());
        gpu::takeValidationMessages();
    }
    void TearDown() override {
        if (errors != nullptr) std::fclose(errors);
        gpu::setDefaultDeviceOptions({});
        for (const auto& message : gpu::takeValidationMessages()) ADD_FAILURE() << "validation: " << message;
    }

    std::filesystem::path graphicsLocation() const { return folder.path() / "Graphics.csv"; }
    std::filesystem::path musicLocation() const { return folder.path() / "Music.csv"; }

    // Runs the show; `step` is called after every frame shown and ends the show by returning false. A
    // key that the show does not use is pressed every 50 ms, so that a paused show draws and steps too;
    // the show is ended after 20 seconds whatever happens.
    void runShow(const std::function<bool(MetalShowView&, SDL_Window*)>& step) {
        std::atomic<bool> ended = false;
        hooks.afterFrame = [&](MetalShowView& view, SDL_Window* window) {
            if (ended || view.framesShown() == 0) return;
            if (!step(view, window)) {
                ended = true;
                pushKey(SDL_SCANCODE_ESCAPE);
            }
        };
        std::thread ticker([&] {
            auto deadline = std::chrono::steady_clock::now() + 20s;
            while (!ended) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ADD_FAILURE() << "the show did not finish in time";
                    ended = true;
                    pushKey(SDL_SCANCODE_ESCAPE);
                    break;
                }
                pushKey(SDL_SCANCODE_A);
                std::this_thread::sleep_for(50ms);
            }
        });
        DrevikAppDelegate delegate(graphics, music, configuration, hooks);
        delegate.run();
        ended = true;
        ticker.join();
    }

    // The window's picture once the frames on it have settled.
    static std::vector<std::array<int, 3>> settledPicture(SDL_Window* window) {
        std::vector<std::array<int, 3>> picture = testing::screenPixels(window, 0, 0, width, height);
        for (int i = 0; i < 50 && litPixels(picture) < 100; ++i) {
            SDL_Delay(10);
            picture = testing::screenPixels(window, 0, 0, width, height);
        }
        return picture;
    }

    std::string errorsWritten() {
        std::fflush(errors);
        std::rewind(errors);
        std::string text;
        for (int c = std::fgetc(errors); c != EOF; c = std::fgetc(errors)) text += static_cast<char>(c);
        return text;
    }

    testing::TemporaryFolder folder{"drevik-reload-show"};
    GraphicsTimeline graphics;
    MusicTimeline music;
    Configuration configuration;
    ShowHooks hooks;
    std::FILE* errors = nullptr;
};

// Each way of saving changes the picture of a paused show; its time and pause stay as they were.
TEST_F(ReloadingShow, EachWayOfSavingChangesThePictureOfAPausedShow) {
    configuration.normalizedTime = 0.25;
    configuration.autoplay = false;
    const std::vector<Save> saves = {Save::inPlace, Save::renameOver, Save::deleteAndCreate};
    std::size_t saved = 0;
    const GraphicsTimeline* before = nullptr;
    std::vector<std::array<int, 3>> picture;
    std::vector<std::size_t> changed;
    runShow([&](MetalShowView& view, SDL_Window* window) {
        EXPECT_FALSE(view.transport().playing());
        EXPECT_EQ(view.transport().currentSeconds(), 5);
        if (view.shownTimeline() == before) return true; // the save has not reached the screen yet
        std::vector<std::array<int, 3>> now = settledPicture(window);
        if (saved > 0) changed.push_back(differingPixels(picture, now));
        picture = std::move(now);
        if (saved == saves.size()) return false;
        before = view.shownTimeline();
        save(graphicsLocation(), drawing(20, 6 + 3 * static_cast<int>(saved), 0.3 * (saved % 2 == 0 ? 1 : -1)),
             saves[saved]);
        ++saved;
        return true;
    });
    ASSERT_EQ(changed.size(), saves.size());
    for (std::size_t i = 0; i < changed.size(); ++i) EXPECT_GT(changed[i], 200u) << "save " << i;
    EXPECT_EQ(errorsWritten(), "");
}

// A playing show goes on from the same moment; a shorter show clamps the time into it.
TEST_F(ReloadingShow, APlayingShowGoesOnAndAShorterShowClampsItsTime) {
    configuration.normalizedTime = 0.5; // 10 s
    configuration.autoplay = true;
    int stage = 0;
    double secondsBefore = 0;
    const GraphicsTimeline* before = nullptr;
    runShow([&](MetalShowView& view, SDL_Window*) {
        const ShowTransport& transport = view.transport();
        switch (stage) {
        case 0:
            secondsBefore = transport.currentSeconds();
            before = view.shownTimeline();
            save(graphicsLocation(), drawing(20, 5, 0.2), Save::renameOver);
            ++stage;
            return true;
        case 1:
            if (view.shownTimeline() == before) return true;
            EXPECT_TRUE(transport.playing());
            EXPECT_GE(transport.currentSeconds(), secondsBefore);
            EXPECT_LT(transport.currentSeconds(), secondsBefore + 3);
            before = view.shownTimeline();
            save(graphicsLocation(), drawing(4, 5, 0.2), Save::inPlace);
            save(musicLocation(), soundtrack(4), Save::inPlace);
            ++stage;
            return true;
        default:
            if (view.shownTimeline() == before) return true;
            EXPECT_EQ(transport.durationSeconds(), 4);
            EXPECT_EQ(transport.currentSeconds(), 4); // past the new end: the show stops on its last frame
            ++stage;
            return false;
        }
    });
    EXPECT_EQ(stage, 3);
    EXPECT_EQ(errorsWritten(), "");
}

// A broken save keeps the picture and names its error in the title and, once, on standard error; the
// next good save brings the picture and the title back.
TEST_F(ReloadingShow, ABrokenSaveIsNamedInTheTitleAndTheNextGoodSaveRecovers) {
    configuration.normalizedTime = 0.25;
    configuration.autoplay = false;
    const std::string broken = "# duration_seconds=20\ntime,x1,y1,x2,y2\n0,0.1,oops,0.9,0.5\n";
    int stage = 0;
    std::string expected;
    std::string errorTitle;
    const GraphicsTimeline* first = nullptr;
    std::vector<std::array<int, 3>> picture;
    std::size_t changed = 0;
    std::size_t framesAtError = 0;
    runShow([&](MetalShowView& view, SDL_Window* window) {
        const std::string title = SDL_GetWindowTitle(window);
        switch (stage) {
        case 0:
            first = view.shownTimeline();
            picture = settledPicture(window);
            save(graphicsLocation(), broken, Save::inPlace);
            expected = readingError(graphicsLocation());
            ++stage;
            return true;
        case 1:
            if (title == "VELMORA — METAL VESPERINE") return true;
            errorTitle = title;
            EXPECT_EQ(view.shownTimeline(), first);
            EXPECT_EQ(differingPixels(picture, settledPicture(window)), 0u);
            framesAtError = view.framesShown();
            ++stage;
            return true;
        case 2:
            if (view.framesShown() < framesAtError + 10) return true; // the error stays, written once
            EXPECT_EQ(title, errorTitle);
            save(graphicsLocation(), drawing(20, 7, 0.3), Save::renameOver);
            ++stage;
            return true;
        default:
            if (view.shownTimeline() == first) return true;
            EXPECT_EQ(title, "VELMORA — METAL VESPERINE");
            changed = differingPixels(picture, settledPicture(window));
            ++stage;
            return false;
        }
    });
    EXPECT_EQ(stage, 4);
    EXPECT_NE(expected, "");
    EXPECT_EQ(errorTitle, "VELMORA — " + expected);
    EXPECT_EQ(errorsWritten(), "Drevik: " + expected + "\n");
    EXPECT_GT(changed, 200u);
}

TEST_F(ReloadingShow, WithoutReloadSavesAreIgnored) {
    configuration.normalizedTime = 0.25;
    configuration.autoplay = false;
    configuration.reload = false;
    const GraphicsTimeline* first = nullptr;
    std::chrono::steady_clock::time_point saved;
    std::vector<std::array<int, 3>> picture;
    std::size_t changed = 1;
    runShow([&](MetalShowView& view, SDL_Window* window) {
        if (first == nullptr) {
            first = view.shownTimeline();
            picture = settledPicture(window);
            save(graphicsLocation(), drawing(20, 7, 0.3), Save::inPlace);
            saved = std::chrono::steady_clock::now();
            return true;
        }
        EXPECT_EQ(view.shownTimeline(), first);
        if (std::chrono::steady_clock::now() - saved < 1s) return true;
        changed = differingPixels(picture, settledPicture(window));
        return false;
    });
    EXPECT_EQ(changed, 0u);
}

} // namespace
} // namespace drevik

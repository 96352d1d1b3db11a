// A reload's way through the show's threads: the reloader reads a saved file on its own thread and
// hands the new timelines over; the show's thread takes them, gives the drawing to the frame worker,
// whose thread reads it while rendering, and the soundtrack to the sound output, whose callback reads
// it; each old timeline is freed by whichever thread lets go of it last.
#include "app/audio_player.hpp"
#include "app/show_frames.hpp"
#include "app/inputs.hpp"
#include "app/show_reload.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace drevik {
namespace {

// Reads every segment of the drawing it was last given, as a renderer would.
class ReadingSource final : public ShowFrameSource {
public:
    explicit ReadingSource(const GraphicsTimeline& timeline) : timeline_(&timeline) {}
    void changeTimeline(const GraphicsTimeline& timeline) override { timeline_ = &timeline; }
    bool render(ShowPicture& into, std::size_t width, std::size_t height, double, const AudioFeatures&) override {
        float sum = 0;
        for (const PackedLine& line : timeline_->segments) {
            sum += line.endpoints.x + line.endpoints.y + line.endpoints.z + line.endpoints.w;
        }
        into.width = width;
        into.height = height;
        into.bgra.assign(width * height * 4, static_cast<std::uint8_t>(sum));
        return true;
    }

private:
    const GraphicsTimeline* timeline_;
};

std::string drawing(int lines) {
    std::string csv = "# duration_seconds=2\ntime,x1,y1,x2,y2\n";
    for (int i = 0; i < lines; ++i) csv += "0,0.1," + std::to_string(i % 100 / 100.0) + ",0.9,0.5\n";
    return csv;
}

const auto& writeFile = testing::writeText;

TEST(ReloadThreads, NewTimelinesPassFromTheReloaderToTheFrameWorkerAndTheSound) {
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    testing::TemporaryFolder folder("drevik-tsan-reload");
    const std::filesystem::path graphicsLocation = folder.path() / "Graphics.csv";
    const std::filesystem::path musicLocation = folder.path() / "Music.csv";
    writeFile(graphicsLocation, drawing(10));
    writeFile(musicLocation, "# duration_seconds=2\ntime,lead\n0,0.8\n");
    auto graphics = std::make_shared<const GraphicsTimeline>(GraphicsTimeline::fromCsvFile(graphicsLocation));
    auto music = std::make_shared<const MusicTimeline>(readMusic(musicLocation));

    CSVAudioPlayer player(*music);
    player.play(0);
    ShowFrameWorker worker(std::make_unique<ReadingSource>(*graphics), [] {});
    ShowReloader reloader(graphicsLocation, musicLocation, graphics, music, [] {});
    ASSERT_TRUE(reloader.watching());

    int reloads = 0;
    int saves = 0;
    auto nextSave = std::chrono::steady_clock::now();
    const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    ShowPicture picture;
    while (reloads < 4 && std::chrono::steady_clock::now() < patience) {
        if (saves == reloads && std::chrono::steady_clock::now() >= nextSave) {
            ++saves;
            writeFile(graphicsLocation, drawing(10 + saves * 50));
            if (saves % 2 == 0) writeFile(musicLocation, "# duration_seconds=2\ntime,lead\n0,0.2\n");
        }
        if (std::optional<ShowReload> reload = reloader.take()) {
            ASSERT_EQ(reload->error, "");
            ++reloads;
            player.replaceSignal(*reload->music);
            music = std::move(reload->music); // the sound output no longer reads the old one
            graphics = std::move(reload->graphics);
            nextSave = std::chrono::steady_clock::now();
        }
        ShowFrameRequest request;
        request.width = 4;
        request.height = 4;
        request.timeline = graphics;
        worker.submit(request);
        worker.collect(picture);
        static_cast<void>(player.playbackPosition());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(reloads, 4);
    worker.waitForFrame();
    player.stopPlayback();
    ::unsetenv("SDL_AUDIODRIVER");
}

} // namespace
} // namespace drevik

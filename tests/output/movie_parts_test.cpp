// A movie in parts, inside the process: how the frames are shared out, what a part records, and
// that the pictures a part renders are those of the one-process export, byte for byte.
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "output/movie_gpu_frames.hpp"
#include "output/movie_parts.hpp"
#include "tests/render/gpu_test_support.hpp"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace drevik::MetalMovieRenderer {
namespace {

namespace fs = std::filesystem;

MoviePlan plan(std::int64_t fps, double seconds) { return planMovie(64, 36, fps, seconds, 48000); }

TEST(MovieParts, PartsCoverEveryFrameOnceInEvenRunsOfWholeGroups) {
    struct Case {
        std::int64_t fps;
        double seconds;
        std::int64_t parts;
    };
    // Groups divide evenly, unevenly, a short last group, one part, more parts than groups.
    for (const Case c : {Case{4, 6, 3}, Case{4, 6, 4}, Case{30, 20, 4}, Case{60, 180, 16}, Case{5, 7.3, 3},
                         Case{60, 1, 1}, Case{60, 1, 5}}) {
        const MoviePlan movie = plan(c.fps, c.seconds);
        const std::int64_t group = 2 * c.fps;
        std::int64_t next = 0, smallest = movie.frameCount, largest = 0;
        for (std::int64_t k = 0; k < c.parts; ++k) {
            const FrameRange range = partFrames(movie, k, c.parts);
            SCOPED_TRACE(::testing::Message() << c.fps << " fps, " << c.seconds << " s, part " << k << "/" << c.parts);
            ASSERT_EQ(range.first, next);
            ASSERT_GE(range.count(), 0);
            if (range.count() > 0) {
                EXPECT_EQ(range.first % group, 0);
            }
            next = range.end;
            if (range.end < movie.frameCount) {
                smallest = std::min(smallest, range.count());
                largest = std::max(largest, range.count());
            }
        }
        EXPECT_EQ(next, movie.frameCount);
        if (largest > 0) {
            EXPECT_LE(largest - smallest, group);
        }
    }
    // 180 s at 60 fps on 16 machines: 90 groups of 120 frames, 5 or 6 groups each.
    EXPECT_EQ(partFrames(plan(60, 180), 0, 16), (FrameRange{0, 600}));
    EXPECT_EQ(partFrames(plan(60, 180), 15, 16), (FrameRange{10'080, 10'800}));
    // More parts than groups: the extra parts are empty.
    EXPECT_EQ(partFrames(plan(60, 1), 0, 5).count(), 0);
    EXPECT_EQ(partFrames(plan(60, 1), 4, 5), (FrameRange{0, 60}));
}

TEST(MovieParts, PartNamesSortAndTellWhatTheyAre) {
    EXPECT_EQ(partLocation("/a/show.mp4", 3, 16), fs::path("/a/show.mp4.part-03-of-16.mp4"));
    EXPECT_EQ(partLocation("/a/show.mp4", 0, 2), fs::path("/a/show.mp4.part-00-of-02.mp4"));
    EXPECT_EQ(partLocation("show.mp4", 7, 1000), fs::path("show.mp4.part-007-of-1000.mp4"));
    // Parts are written in the movie's own container; other extensions hold MP4.
    EXPECT_EQ(partLocation("/a/show.webm", 1, 2), fs::path("/a/show.webm.part-01-of-02.webm"));
    EXPECT_EQ(partLocation("/a/show.MOV", 1, 2), fs::path("/a/show.MOV.part-01-of-02.mov"));
    EXPECT_EQ(partLocation("/a/show.avi", 1, 2), fs::path("/a/show.avi.part-01-of-02.mp4"));
}

TEST(MovieParts, FactsSurviveTheirTagAndOtherTextIsNoPart) {
    PartFacts facts = expectedPartFacts(plan(30, 0.1 * 3), 2, 5, std::string(64, 'a'), std::string(64, 'b'));
    facts.durationSeconds = 0.1 * 3; // not exactly 0.3: the tag keeps every bit
    facts.encoderSettings = "h264 encoder=libx264 profile=high; odd=text";
    EXPECT_EQ(PartFacts::fromTag(facts.toTag()), facts);

    const std::string tag = facts.toTag();
    EXPECT_EQ(PartFacts::fromTag(""), std::nullopt);
    EXPECT_EQ(PartFacts::fromTag("made by hand"), std::nullopt);
    EXPECT_EQ(PartFacts::fromTag(tag.substr(0, tag.find("; fps="))), std::nullopt);
    std::string damaged = tag;
    damaged.replace(damaged.find("size=64x36"), 10, "size=64y36");
    EXPECT_EQ(PartFacts::fromTag(damaged), std::nullopt);
}

TEST(MovieParts, EachDifferenceIsNamed) {
    const PartFacts expected = expectedPartFacts(plan(4, 6), 1, 3, "g", "m");
    const auto why = [&](auto change) {
        PartFacts found = expected;
        change(found);
        return partMismatch(found, expected).value_or("(accepted)");
    };
    EXPECT_EQ(why([](PartFacts&) {}), "(accepted)");
    EXPECT_EQ(why([](PartFacts& f) { f.part = 2; }), "is part 2 of 3, not part 1 of 3");
    EXPECT_EQ(why([](PartFacts& f) { f.graphicsHash = "x"; }), "was rendered from another Graphics.csv");
    EXPECT_EQ(why([](PartFacts& f) { f.musicHash = "x"; }), "was rendered from another Music.csv");
    EXPECT_EQ(why([](PartFacts& f) { f.width = 80; }), "was rendered at 80\u00d736, not 64\u00d736");
    EXPECT_EQ(why([](PartFacts& f) { f.framesPerSecond = 5; }), "was rendered at 5 frames per second, not 4");
    EXPECT_EQ(why([](PartFacts& f) { f.durationSeconds = 7; }),
              "belongs to a movie of 7 s (24 frames), not 6 s (24 frames)");
    EXPECT_EQ(why([](PartFacts& f) { f.frames = {8, 15}; }), "holds frames 8 to 15, not 8 to 16");
}

// Keeps every picture it is given, by frame number.
class PictureStore final : public MovieFrameSink {
public:
    std::map<std::int64_t, std::vector<std::uint8_t>> pictures;
    std::int64_t height = 0;
    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) override {
        pictures[frameIndex].assign(bgra, bgra + stride * height);
    }
    void appendAudio(std::span<const float>) override {}
    void finish() override {}
};

class MoviePartPictures : public testing::ValidatedGpuTest {};

// The demo squeezed into 20 s at 3 fps: 60 frames across its scene changes, its afterimages and
// the boundaries of 4 parts (frames 12, 30, 42), each part rendered by a renderer of its own as a
// process of its own would.
TEST_F(MoviePartPictures, PartsRenderTheOneProcessPicturesByteForByte) {
    const fs::path demo = DREVIK_DEMO_DIR;
    const GraphicsTimeline graphics = GraphicsTimeline::fromCsvFile(demo / "Graphics.csv");
    const MusicTimeline music = MusicTimeline::fromCsvFile(demo / "Music.csv", 48000, 120);
    const MoviePlan movie = planMovie(64, 36, 3, 20, music.sampleRate);
    MovieExportOptions options;
    options.progress = nullptr;

    PictureStore whole;
    whole.height = movie.height;
    {
        GpuMovieFrames frames(device, movie, graphics);
        renderAndEncode(movie, music, frames, whole, options);
    }
    ASSERT_EQ(whole.pictures.size(), 60u);

    PictureStore parts;
    parts.height = movie.height;
    for (std::int64_t k = 0; k < 4; ++k) {
        GpuMovieFrames frames(device, movie, graphics);
        options.frames = partFrames(movie, k, 4);
        renderAndEncode(movie, music, frames, parts, options);
    }
    ASSERT_EQ(parts.pictures.size(), 60u);
    int lit = 0;
    for (const auto& [index, picture] : whole.pictures) {
        EXPECT_TRUE(parts.pictures[index] == picture) << "frame " << index;
        for (std::size_t i = 0; i < picture.size(); i += 4) lit += picture[i] + picture[i + 1] + picture[i + 2] > 60;
    }
    EXPECT_GT(lit, 1000) << "the pictures compared are (nearly) black";
}

} // namespace
} // namespace drevik::MetalMovieRenderer

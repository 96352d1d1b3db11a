// Tracing real pictures from Debian packages and videos made from them with ffmpeg: outlines
// against the picture's own thresholded edges, the decoder against ffmpeg's luminance, frame
// times, cuts, empty frames, and the files that are no pictures.
#include "import/trace_media.hpp"
#include "tests/import/drawing_match.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace drevik {
namespace {

const std::string wallpaper = "/usr/share/desktop-base/joy-theme/grub/grub-16x9.png";         // 1920 × 1080
const std::string photo = "/usr/share/plasma/look-and-feel/org.debian.desktop/contents/previews/fullscreenpreview.jpg";
const std::string softWaves = "/usr/share/desktop-base/softwaves-theme/grub/grub-16x9.png";
const std::string logo = "/usr/share/desktop-base/debian-logos/logo-256.png";                // palette, transparent

void ffmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -nostdin -loglevel error -y " + arguments;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

LuminanceFrame firstFrame(const std::string& file) {
    PictureSource source(file);
    return *source.next();
}

TEST(TracePicture, OutlinesLieOnTheThresholdedPicturesEdgesAndCoverThem) {
    for (const std::string& file : {wallpaper, photo, softWaves, logo}) {
        SCOPED_TRACE(file);
        const LuminanceFrame frame = firstFrame(file);
        const Threshold threshold = otsuThreshold(frame);
        ASSERT_TRUE(threshold.separates);
        const std::vector<Point2> edges =
            testing::maskEdges(frame.width, frame.height, foregroundPixels(frame, threshold), true);
        const VectorDrawing drawing = tracePicture(frame, {});
        EXPECT_EQ(drawing.box.width, frame.width);
        EXPECT_EQ(drawing.box.height, frame.height);
        const double diagonal = std::hypot(frame.width, frame.height);
        const testing::Match judged = testing::match(
            testing::sampledPoints(drawing, [](Point2 p) { return p; }, 0.5), edges, 0.005 * diagonal);
        const testing::Match close = testing::match(
            testing::sampledPoints(drawing, [](Point2 p) { return p; }, 0.5), edges, 1.5);
        std::printf("%s: within 0.5%% of the diagonal %.4f on edges, %.4f of edges drawn; within 1.5 px %.4f, %.4f\n",
                    file.c_str(), judged.drawnOnEdges, judged.edgesDrawn, close.drawnOnEdges, close.edgesDrawn);
        EXPECT_GE(judged.drawnOnEdges, 0.95);
        EXPECT_GE(judged.edgesDrawn, 0.90);
        EXPECT_GE(close.drawnOnEdges, 0.95);
        EXPECT_GE(close.edgesDrawn, 0.90);
    }
}

TEST(TracePicture, LuminanceMatchesFfmpegsOwnConversion) {
    testing::TemporaryFolder folder;
    for (const std::string& file : {wallpaper, photo}) {
        const auto gray = folder.path() / "gray.raw";
        ffmpeg("-i " + file + " -pix_fmt gray -f rawvideo " + gray.string());
        std::ifstream in(gray, std::ios::binary);
        const std::vector<char> reference((std::istreambuf_iterator<char>(in)), {});
        const LuminanceFrame frame = firstFrame(file);
        ASSERT_EQ(reference.size(), frame.pixels.size());
        double difference = 0;
        for (std::size_t k = 0; k < reference.size(); ++k)
            difference += std::abs(int(static_cast<unsigned char>(reference[k])) - int(frame.pixels[k]));
        EXPECT_LT(difference / double(reference.size()), 2.0) << file;
    }
}

TEST(TracePicture, ThresholdsSplitWhereAskedAndAnEvenPictureTracesToNothing) {
    LuminanceFrame even{64, 36, std::vector<std::uint8_t>(64 * 36, 90), 0};
    EXPECT_FALSE(otsuThreshold(even).separates);
    EXPECT_TRUE(tracePicture(even, {}).paths.empty());
    EXPECT_TRUE(tracePicture(even, {0.5}).paths.empty());

    // A dark square on a light ground, a faint one inside it: the threshold decides which shows.
    LuminanceFrame squares{64, 64, std::vector<std::uint8_t>(64 * 64, 220), 0};
    for (int y = 16; y < 48; ++y)
        for (int x = 16; x < 48; ++x) squares.pixels[std::size_t(y * 64 + x)] = (x >= 24 && x < 40 && y >= 24 && y < 40) ? 60 : 100;
    EXPECT_EQ(fixedThreshold(squares, 0.5).level, 127);
    EXPECT_EQ(tracePicture(squares, {0.5}).paths.size(), 1u);  // the outer square
    EXPECT_EQ(tracePicture(squares, {0.3}).paths.size(), 1u);  // the inner one alone
    const VectorDrawing inner = tracePicture(squares, {0.3});
    for (const Point2& p : inner.paths[0].points) {
        EXPECT_TRUE(p.x >= 23.5 && p.x <= 40.5 && p.y >= 23.5 && p.y <= 40.5);
    }
    EXPECT_TRUE(tracePicture(squares, {0.0}).paths.empty()); // nothing that dark
    EXPECT_EQ(tracePicture(squares, {}).paths.size(), 1u);

    // A speck a few pixels large is dropped; the square stays.
    squares.pixels[2 * 64 + 2] = 0;
    EXPECT_EQ(tracePicture(squares, {0.5}).paths.size(), 1u);
}

// A video of 6 black frames, 12 of one picture slowly zooming and 12 of another, at 24 per second.
std::filesystem::path makeVideo(const std::filesystem::path& folder) {
    const auto video = folder / "clip.mp4";
    ffmpeg("-f lavfi -i color=black:s=480x270:r=24:d=0.25 "
           "-loop 1 -framerate 24 -t 0.5 -i " + wallpaper + " -loop 1 -framerate 24 -t 0.5 -i " + softWaves +
           " -filter_complex \"[1]scale=480:270,zoompan=z='1+0.004*on':d=1:s=480x270:fps=24[a];"
           "[2]scale=480:270,setsar=1[b];[0]setsar=1[k];[k][a][b]concat=n=3:v=1[v]\" -map \"[v]\" "
           "-c:v libx264 -pix_fmt yuv420p -r 24 " + video.string());
    return video;
}

TEST(TraceMedia, AVideoKeepsItsFrameTimesAndItsCutsStartScenes) {
    testing::TemporaryFolder folder;
    const auto video = makeVideo(folder.path());
    const TracedMedia media = traceMedia(video.string(), {});
    ASSERT_EQ(media.frames.size(), 30u);
    EXPECT_FALSE(media.still);
    EXPECT_NEAR(media.durationSeconds, 30 / 24.0, 1e-6);
    for (std::size_t k = 0; k < media.frames.size(); ++k) {
        EXPECT_NEAR(media.frames[k].seconds, double(k) / 24, 1e-6);
        EXPECT_EQ(media.frames[k].drawing.paths.empty(), k < 6) << "frame " << k;
    }
    ASSERT_EQ(media.cutSeconds.size(), 2u);
    EXPECT_NEAR(media.cutSeconds[0], 6 / 24.0, 1e-6);
    EXPECT_NEAR(media.cutSeconds[1], 18 / 24.0, 1e-6);

    // At 10 frames a second: each slot shows the frame on screen at its time, the cuts move with it.
    TraceMediaSettings slower;
    slower.framesPerSecond = 10;
    const TracedMedia resampled = traceMedia(video.string(), slower);
    ASSERT_EQ(resampled.frames.size(), 13u);
    for (std::size_t k = 0; k < resampled.frames.size(); ++k) EXPECT_NEAR(resampled.frames[k].seconds, double(k) / 10, 1e-9);
    EXPECT_EQ(resampled.frames[3].drawing.paths.size(), media.frames[7].drawing.paths.size()); // 0.3 s shows frame 7
    ASSERT_EQ(resampled.cutSeconds.size(), 2u);
    EXPECT_NEAR(resampled.cutSeconds[0], 0.3, 1e-9);
    EXPECT_NEAR(resampled.cutSeconds[1], 0.8, 1e-9);

    // Traced on one thread or on several, the drawings are the same and in the same order.
    TraceMediaSettings oneThread, manyThreads;
    oneThread.threads = 1, manyThreads.threads = 5;
    const TracedMedia a = traceMedia(video.string(), oneThread), b = traceMedia(video.string(), manyThreads);
    ASSERT_EQ(a.frames.size(), b.frames.size());
    for (std::size_t k = 0; k < a.frames.size(); ++k) {
        ASSERT_EQ(a.frames[k].drawing.paths.size(), b.frames[k].drawing.paths.size());
        for (std::size_t p = 0; p < a.frames[k].drawing.paths.size(); ++p)
            EXPECT_EQ(a.frames[k].drawing.paths[p].points, b.frames[k].drawing.paths[p].points);
    }
}

TEST(TraceMedia, APictureIsOneStillFrame) {
    const TracedMedia media = traceMedia(logo, {});
    ASSERT_EQ(media.frames.size(), 1u);
    EXPECT_TRUE(media.still);
    EXPECT_EQ(media.durationSeconds, 0);
    EXPECT_TRUE(media.cutSeconds.empty());
    EXPECT_FALSE(media.frames[0].drawing.paths.empty());
}

TEST(TraceMedia, FilesThatAreNoPicturesAreRefusedByName) {
    testing::TemporaryFolder folder;
    const auto text = folder.path() / "notes.txt";
    std::ofstream(text) << "time,x1,y1,x2,y2\n0,0.1,0.1,0.2,0.2\n";
    EXPECT_EQ(testing::errorOf([&] { traceMedia(text.string(), {}); }), "notes.txt is no picture or video");
    const auto empty = folder.path() / "empty.png";
    std::ofstream{empty};
    EXPECT_EQ(testing::errorOf([&] { traceMedia(empty.string(), {}); }), "empty.png is no picture or video");
    const auto sound = folder.path() / "sound.m4a";
    ffmpeg("-f lavfi -i sine=d=0.5 -c:a aac " + sound.string());
    EXPECT_EQ(testing::errorOf([&] { traceMedia(sound.string(), {}); }), "sound.m4a is a video without pictures (sound only)");
    const auto missing = folder.path() / "missing.mp4";
    EXPECT_EQ(testing::errorOf([&] { traceMedia(missing.string(), {}); }),
              "Could not read " + missing.string() + ": No such file or directory");
    // Pictures cut short are refused rather than traced in part.
    for (const std::string& file : {wallpaper, photo}) {
        std::ifstream in(file, std::ios::binary);
        std::string head(50000, '\0');
        in.read(head.data(), std::streamsize(head.size()));
        const auto cut = folder.path() / ("cut" + std::filesystem::path(file).extension().string());
        std::ofstream(cut, std::ios::binary) << head;
        EXPECT_EQ(testing::errorOf([&] { traceMedia(cut.string(), {}); }), cut.filename().string() + " is damaged: its pictures cannot be decoded");
    }
}

} // namespace
} // namespace drevik

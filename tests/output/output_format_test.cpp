// The export format chosen from the options and the movie's path, the straight alpha of transparent
// frames, the progress bar's line and the frame sequence's names and soundtrack.
#include "output/frame_sequence.hpp"
#include "output/output_format.hpp"
#include "app/progress_bar.hpp"
#include "output/straight_alpha.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace drevik {
namespace {

using MetalMovieRenderer::frameFileName;
using MetalMovieRenderer::WavWriter;

OutputFormatRequest request(std::optional<std::string> codec = {}, bool transparent = false) {
    OutputFormatRequest r;
    r.codec = std::move(codec);
    r.transparent = transparent;
    return r;
}

std::string refusal(const OutputFormatRequest& r, const char* movie) {
    try {
        chooseMovieFormat(r, movie);
    } catch (const OutputFormatError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(OutputFormat, ContainerFollowsTheExtensionAndWebmDefaultsToVp9) {
    const OutputFormat plain = chooseMovieFormat(request(), "/out/show.mp4");
    EXPECT_EQ(plain, OutputFormat{});
    EXPECT_EQ(plain.description(), "h264 in mp4");
    EXPECT_EQ(chooseMovieFormat(request(), "/out/show.avi"), OutputFormat{}) << "other extensions stay MP4";
    EXPECT_EQ(chooseMovieFormat(request(), "/out/show").container, Container::mp4);
    EXPECT_EQ(chooseMovieFormat(request(), "/out/SHOW.MKV").container, Container::mkv);

    const OutputFormat webm = chooseMovieFormat(request(), "/out/show.webm");
    EXPECT_EQ(webm.codec, VideoCodec::vp9);
    EXPECT_EQ(webm.container, Container::webm);
    EXPECT_EQ(chooseMovieFormat(request("AV1"), "a.webm").codec, VideoCodec::av1);
    // A transparent .mov without --codec takes the one codec there that carries alpha.
    EXPECT_EQ(chooseMovieFormat(request({}, true), "a.mov").codec, VideoCodec::prores);

    OutputFormatRequest full = request("hevc");
    full.quality = "18";
    full.preset = "SlOw";
    const OutputFormat chosen = chooseMovieFormat(full, "a.mov");
    EXPECT_EQ(chosen.quality, 18);
    EXPECT_EQ(chosen.preset, EncoderPreset::slow);
    EXPECT_EQ(chosen.description(), "hevc in mov, quality 18, preset slow");
    EXPECT_NE(chosen, chooseMovieFormat(request("hevc"), "a.mov"));
}

TEST(OutputFormat, EveryContainerHoldsExactlyItsCodecs) {
    const std::map<std::string, std::vector<std::string>> held = {
        {"a.mp4", {"h264", "hevc", "av1"}},
        {"a.mkv", {"h264", "hevc", "av1", "vp9", "prores"}},
        {"a.webm", {"vp9", "av1"}},
        {"a.mov", {"h264", "hevc", "prores"}},
    };
    for (const auto& [movie, codecs] : held) {
        for (const char* codec : {"h264", "hevc", "av1", "vp9", "prores"}) {
            const bool holds = std::find(codecs.begin(), codecs.end(), codec) != codecs.end();
            EXPECT_EQ(refusal(request(codec), movie.c_str()) == "accepted", holds) << codec << " in " << movie;
        }
    }
    for (const char* movie : {"a.mkv", "a.webm"}) EXPECT_EQ(refusal(request("vp9", true), movie), "accepted");
    for (const char* movie : {"a.mkv", "a.mov"}) EXPECT_EQ(refusal(request("prores", true), movie), "accepted");
}

TEST(OutputFormat, RefusalsNameWhatIsPossible) {
    EXPECT_EQ(refusal(request("mpeg2"), "a.mp4"), "Unknown --codec mpeg2; choose h264, hevc, av1, vp9 or prores.");
    EXPECT_EQ(refusal(request("prores"), "a.mp4"),
              "A .mp4 movie cannot hold prores; use h264, hevc or av1, or .mkv, which holds every codec.");
    EXPECT_EQ(refusal(request("h264"), "a.webm"),
              "A .webm movie cannot hold h264; use vp9 or av1, or .mkv, which holds every codec.");
    EXPECT_EQ(refusal(request({}, true), "a.mp4"),
              "--transparent needs a codec with alpha: prores in .mov or .mkv, or vp9 in .webm or .mkv (h264 has "
              "none).");
    EXPECT_EQ(refusal(request("av1", true), "a.webm"),
              "--transparent needs a codec with alpha: prores in .mov or .mkv, or vp9 in .webm or .mkv (av1 has "
              "none).");
    for (const char* quality : {"52", "-1", "", "20.5", "1e1", " 3"}) {
        OutputFormatRequest r;
        r.quality = quality;
        EXPECT_EQ(refusal(r, "a.mp4"), std::string("--quality takes a whole number from 0 (best) to 51 (smallest), got ") +
                                           quality + ".");
    }
    OutputFormatRequest preset;
    preset.preset = "fastest";
    EXPECT_EQ(refusal(preset, "a.mp4"), "Unknown --preset fastest; choose ultrafast, superfast, veryfast, faster, "
                                        "fast, medium, slow, slower or veryslow.");
    OutputFormatRequest frames = request("vp9");
    frames.frameSequence = true;
    EXPECT_EQ(refusal(frames, "/out/frames"),
              "A frame sequence is written as PNG files; leave out --codec, --quality and --preset, or name a movie "
              "file instead of a folder.");
    EXPECT_THROW(chooseSnapshotFormat(request("hevc")), OutputFormatError);
}

TEST(OutputFormat, FrameSequencesAndSnapshotsArePngWithOrWithoutAlpha) {
    OutputFormatRequest frames = request({}, true);
    frames.frameSequence = true;
    const OutputFormat sequence = chooseMovieFormat(frames, "/out/frames");
    EXPECT_TRUE(sequence.isFrameSequence());
    EXPECT_EQ(sequence.description(), "png frames, transparent");
    EXPECT_TRUE(chooseSnapshotFormat(request({}, true)).transparent);
    EXPECT_FALSE(chooseSnapshotFormat(request()).transparent);
}

// Over black, a straight-alpha pixel shows colour × alpha / 255.
int overBlack(int colour, int alpha) { return (colour * alpha + 127) / 255; }

TEST(StraightAlpha, EveryColourAndCoverageCompositesBackOverBlack) {
    // Every accumulated value of one channel against every coverage, the other channels dark.
    std::vector<std::uint8_t> pixels;
    for (int alpha = 0; alpha < 256; ++alpha) {
        for (int colour = 0; colour < 256; ++colour) {
            pixels.insert(pixels.end(), {static_cast<std::uint8_t>(colour), static_cast<std::uint8_t>(colour / 3), 0,
                                         static_cast<std::uint8_t>(alpha)});
        }
    }
    const std::vector<std::uint8_t> rendered = pixels;
    std::vector<std::uint16_t> wide(pixels.size());
    straightenAdditiveAlphaWide(rendered.data(), 256, 256, 256 * 4, wide);
    straightenAdditiveAlpha(pixels, 256, 256, 256 * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        const int alpha = pixels[i + 3];
        // Coverage is kept unless the light exceeds it; then alpha is the brightest channel.
        EXPECT_EQ(alpha, std::max<int>(rendered[i + 3], rendered[i])) << i;
        ASSERT_EQ(wide[i + 3], alpha * 257);
        for (int c = 0; c < 3; ++c) {
            // At 16 bits the composite rounds back to exactly the rendered value.
            ASSERT_EQ(std::lround(wide[i + c] * (wide[i + 3] / 65535.0) / 257.0), rendered[i + c]) << i;
            ASSERT_LE(std::abs(overBlack(pixels[i + c], alpha) - rendered[i + c]), 1)
                << "channel " << c << " of " << int(rendered[i + c]) << " at coverage " << int(rendered[i + 3]);
        }
    }
}

TEST(StraightAlpha, CoverageWithoutLightStaysAndRowPaddingIsLeftAlone) {
    std::array<std::uint8_t, 24> rows = {0, 0, 0, 90, 255, 255, 255, 10, 7, 7, 7, 7, // row 0 and padding
                                         0, 0, 0, 0,  12,  0,   0,   0,  7, 7, 7, 7};
    straightenAdditiveAlpha(rows, 2, 2, 12);
    EXPECT_EQ((std::array<std::uint8_t, 24>{0, 0, 0, 90, 255, 255, 255, 255, 7, 7, 7, 7,
                                            0, 0, 0, 0, 255, 0,   0,   12,  7, 7, 7, 7}),
              rows);
}

TEST(ProgressBar, LineShowsBarFramesRateAndTimesAndFitsTheTerminal) {
    EXPECT_EQ(progressBarLine(150, 300, 10.0, 100),
              "[####################--------------------]  150/300 frames  15.0 fps  0:10 elapsed  0:10 left");
    EXPECT_EQ(progressBarLine(0, 300, 0.0, 80).substr(0, 1), "[");
    EXPECT_NE(progressBarLine(0, 300, 0.0, 80).find("--:-- left"), std::string::npos);
    for (std::size_t columns : {20u, 40u, 60u, 79u, 200u}) {
        EXPECT_LT(progressBarLine(7, 5000, 3.5, columns).size(), columns) << columns;
    }
    EXPECT_EQ(clockText(59.6), "1:00");
    EXPECT_EQ(clockText(3725), "1:02:05");
}

TEST(FrameSequence, FilesAreNumberedFromOneWithAtLeastSixDigits) {
    EXPECT_EQ(frameFileName(0, 30), "000001.png");
    EXPECT_EQ(frameFileName(999'998, 999'999), "999999.png");
    EXPECT_EQ(frameFileName(0, 1'000'000), "0000001.png");
}

TEST(FrameSequence, SoundtrackIsA16BitMonoWavOfTheAnnouncedLength) {
    testing::TemporaryFolder folder;
    const auto file = folder.path() / "a.wav";
    {
        WavWriter wav(file, 48000, 4);
        const float samples[] = {0.0f, 1.5f, -1.0f, 0.5f};
        wav.append(samples);
        wav.finish();
    }
    std::ifstream stream(file, std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(stream), {}};
    ASSERT_EQ(bytes.size(), 44u + 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(bytes[22], 1) << "mono";
    EXPECT_EQ(bytes[24] | bytes[25] << 8 | bytes[26] << 16, 48000);
    EXPECT_EQ(bytes[34], 16) << "bits";
    EXPECT_EQ(bytes[40], 8) << "data bytes";
    const std::vector<unsigned char> data(bytes.begin() + 44, bytes.end());
    EXPECT_EQ(data, (std::vector<unsigned char>{0, 0, 0xFF, 0x7F, 0x01, 0x80, 0x00, 0x40}));

    WavWriter shortOne(folder.path() / "b.wav", 48000, 10);
    EXPECT_THROW(shortOne.finish(), Error) << "fewer samples than announced is a failure";
    EXPECT_THROW(WavWriter(file, 48000, 1), Error) << "an existing file is not replaced";
}

} // namespace
} // namespace drevik

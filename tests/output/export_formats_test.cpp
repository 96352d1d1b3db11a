// The export formats through the built program: every codec and container read back by ffprobe,
// transparent pictures composited over black against the opaque ones, frame sequence folders,
// refusals before anything is read, and the live progress bar on a terminal only.
#include "output/frame_sequence.hpp"
#include "output/movie_export.hpp"
#include "tests/output/movie_probe.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace drevik {
namespace {

namespace fs = std::filesystem;
using testing::probeMovie;
using testing::quoted;
using testing::runCommand;

std::string contents(const fs::path& file) { return testing::readText(file); }

using Outcome = testing::ProcessOutcome;

// A one-second show of four lines; every export is 64×36 at 12 frames per second.
class ExportFormats : public ::testing::Test {
protected:
    void SetUp() override {
        testing::writeFourLineShow(folder());
    }

    fs::path folder() const { return root_.path(); }

    static std::string command(const std::string& arguments) {
        // See movie_cli_test.cpp: the software driver's shader memory reads as leaks at exit.
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        return "ASAN_OPTIONS='" + std::string(sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0' " +
               DREVIK_BINARY + " --width 64 --height 36 --fps 12 " + arguments;
    }

    Outcome run(const std::string& arguments) const {
        return testing::runShell(command(arguments), testing::ProcessOptions().in(folder()));
    }

    std::vector<std::string> entries(const fs::path& where) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(where)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The movie's pictures composited over black, as 8-bit RGB, frame after frame (from the first
    // picture: WebM starts the video a few milliseconds late, after the Opus encoder's delay).
    std::string overBlack(const fs::path& movie, const std::string& decoder = "") const {
        return runCommand("ffmpeg -v error -f lavfi -i color=black:s=64x36:r=12 " + decoder + " -i " + quoted(movie) +
                          " -filter_complex '[0]format=rgba[b];[1]format=rgba,setpts=PTS-STARTPTS[g];[b][g]overlay=shortest=1:"
                          "format=rgb'"
                          " -pix_fmt rgb24 -f rawvideo -");
    }

    testing::TemporaryFolder root_{"drevik-formats"};
};

int largestDifference(const std::string& a, const std::string& b) {
    int largest = a.size() == b.size() ? 0 : 256;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        largest = std::max(largest, std::abs(static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i])));
    }
    return largest;
}

struct Expected {
    const char* file;
    const char* options;
    const char* codec;
    const char* profile;
    const char* pixelFormat;
    const char* audio;
    const char* alphaMode; // the WebM/Matroska tag that marks VP9 with alpha
};

TEST_F(ExportFormats, EveryCodecAndContainerIsReadBackAsAsked) {
    const Expected cases[] = {
        {"hevc.mp4", "--codec hevc", "hevc", "Main", "yuv420p", "aac", ""},
        {"av1.mp4", "--codec av1 --quality 40 --preset ultrafast", "av1", "Main", "yuv420p", "aac", ""},
        {"vp9.webm", "", "vp9", "Profile 0", "yuv420p", "opus", ""},
        {"prores.mov", "--codec prores", "prores", "HQ", "yuv422p10le", "aac", ""},
        {"h264.mkv", "--quality 23 --preset veryfast", "h264", "High", "yuv420p", "aac", ""},
        {"hevc.mov", "--codec hevc --preset ultrafast", "hevc", "Main", "yuv420p", "aac", ""},
        {"alpha.mov", "--transparent", "prores", "4444", "yuva444p12le", "aac", ""},
        {"alpha.webm", "--transparent", "vp9", "Profile 0", "yuv420p", "opus", "1"},
        {"alpha.mkv", "--codec vp9 --transparent --quality 10", "vp9", "Profile 0", "yuv420p", "aac", "1"},
    };
    for (const Expected& expected : cases) {
        SCOPED_TRACE(expected.file);
        const Outcome outcome = run("--movie " + std::string(expected.file) + " " + expected.options);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        const auto probe = probeMovie(folder() / expected.file);
        ASSERT_EQ(probe.streams.size(), 2u);
        for (const auto& stream : probe.streams) {
            if (stream.at("codec_type") == "video") {
                EXPECT_EQ(stream.at("codec_name"), expected.codec);
                EXPECT_EQ(stream.at("profile"), expected.profile);
                EXPECT_EQ(stream.at("pix_fmt"), expected.pixelFormat);
                EXPECT_EQ(stream.at("width"), "64");
                EXPECT_EQ(stream.at("height"), "36");
                EXPECT_EQ(stream.at("nb_read_frames"), "12");
                EXPECT_EQ(stream.at("avg_frame_rate"), "12/1");
            } else {
                EXPECT_EQ(stream.at("codec_name"), expected.audio);
                EXPECT_EQ(stream.at("channels"), "1");
                EXPECT_EQ(stream.at("sample_rate"), "48000");
                // MP4 and MOV give each stream's length; Matroska and WebM only the file's (below).
                if (stream.count("duration") && stream.at("duration") != "N/A") {
                    EXPECT_NEAR(std::stod(stream.at("duration")), 1.0, 0.025);
                }
            }
        }
        EXPECT_NEAR(std::stod(probe.format.at("duration")), 1.0, 0.03);
        const std::string alphaMode = runCommand("ffprobe -v error -select_streams v -show_entries "
                                                 "stream_tags=alpha_mode -of csv=p=0 " +
                                                 quoted(folder() / expected.file));
        EXPECT_EQ(alphaMode, std::string(expected.alphaMode) + "\n");
    }
}

TEST_F(ExportFormats, TransparentPicturesCompositeOverBlackIntoTheOpaqueOnes) {
    // The opaque pictures, lossless: a frame sequence and a snapshot.
    ASSERT_EQ(run("--movie opaque/").status, 0);
    ASSERT_EQ(run("--movie clear/ --transparent").status, 0);
    ASSERT_EQ(run("--movie clear.mov --transparent").status, 0);
    ASSERT_EQ(run("--movie clear.webm --transparent").status, 0);
    const std::string opaque = runCommand("ffmpeg -v error -framerate 12 -i " + quoted(folder() / "opaque/%06d.png") +
                                          " -pix_fmt rgb24 -f rawvideo -");
    ASSERT_EQ(opaque.size(), 64u * 36 * 3 * 12);
    EXPECT_NE(opaque.find_first_not_of('\0'), std::string::npos) << "the show draws something";

    // PNG: straight alpha, within 1 of 255 per channel (the compositor's rounding).
    EXPECT_LE(largestDifference(overBlack(folder() / "clear/%06d.png", "-framerate 12"), opaque), 1);
    EXPECT_EQ(runCommand("ffprobe -v error -show_entries stream=pix_fmt -of csv=p=0 " +
                         quoted(folder() / "clear/000001.png")),
              "rgba\n");
    // ProRes 4444, decoded at 16 bits a channel and laid over black here: within 1 but for the odd
    // value its lossy 10-bit YUV moves one level further.
    const std::string wide = runCommand("ffmpeg -v error -i " + quoted(folder() / "clear.mov") +
                                        " -pix_fmt rgba64le -f rawvideo -");
    ASSERT_EQ(wide.size(), opaque.size() / 3 * 8);
    std::size_t withinOne = 0;
    int largest = 0;
    for (std::size_t pixel = 0; pixel < opaque.size() / 3; ++pixel) {
        std::uint16_t value[4];
        std::memcpy(value, wide.data() + pixel * 8, sizeof value);
        for (int c = 0; c < 3; ++c) {
            const double composited = value[c] / 65535.0 * (value[3] / 65535.0) * 255.0;
            const int difference = std::abs(static_cast<int>(std::lround(composited)) -
                                            static_cast<unsigned char>(opaque[pixel * 3 + c]));
            largest = std::max(largest, difference);
            withinOne += difference <= 1 ? 1 : 0;
        }
    }
    EXPECT_LE(largest, 2);
    EXPECT_GE(static_cast<double>(withinOne), 0.9999 * static_cast<double>(opaque.size()));
    // VP9 4:2:0 loses colour on lines this thin (about 4 levels on average); with its alpha lost or
    // misread the glow would vanish (about 17).
    const std::string vp9 = overBlack(folder() / "clear.webm", "-c:v libvpx-vp9");
    ASSERT_EQ(vp9.size(), opaque.size());
    double error = 0;
    for (std::size_t i = 0; i < vp9.size(); ++i) {
        error += std::abs(static_cast<unsigned char>(vp9[i]) - static_cast<unsigned char>(opaque[i]));
    }
    EXPECT_LT(error / static_cast<double>(vp9.size()), 6.0);
}

TEST_F(ExportFormats, FrameSequenceFolderHoldsNumberedPngsAndTheSoundtrack) {
    const Outcome outcome = run("--movie frames/ --duration 0.5");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(outcome.out.ends_with("frames\n")) << outcome.out;
    const std::vector<std::string> names = entries(folder() / "frames");
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names.front(), "000001.png");
    EXPECT_EQ(names[5], "000006.png");
    EXPECT_EQ(names.back(), "soundtrack.wav");
    EXPECT_EQ(runCommand("ffprobe -v error -show_entries stream=width,height,pix_fmt -of csv=p=0 " +
                         quoted(folder() / "frames/000006.png")),
              "64,36,rgba\n");
    EXPECT_EQ(runCommand("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,duration_ts -of "
                         "csv=p=0 " + quoted(folder() / "frames/soundtrack.wav")),
              "pcm_s16le,48000,1,24000\n");
    // Nothing else beside it: the temporary folder was moved into place.
    EXPECT_EQ(entries(folder()), (std::vector<std::string>{"Graphics.csv", "Music.csv", "frames"}));

    const Outcome again = run("--movie frames/");
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(again.err.starts_with("Drevik: Movie already exists: ")) << again.err;
    EXPECT_EQ(entries(folder() / "frames").size(), 7u);
}

// Renders black frames and fails at one of them.
class FailingFrames : public MetalMovieRenderer::MovieFrameRenderer {
public:
    explicit FailingFrames(std::int64_t failAt) : failAt_(failAt) {}
    void renderFrame(std::int64_t frameIndex, double, const AudioFeatures&, std::span<std::uint8_t> bgra,
                     std::int64_t) override {
        if (frameIndex == failAt_) throw Error("the GPU went away");
        std::fill(bgra.begin(), bgra.end(), std::uint8_t{0});
    }

private:
    std::int64_t failAt_;
};

TEST_F(ExportFormats, AFrameSequenceThatFailsHalfWayLeavesNothing) {
    using namespace MetalMovieRenderer;
    MusicTimeline music;
    music.durationSeconds = 1;
    music.sampleRate = 48000;
    music.samples.assign(48000, 0.25f);
    const MoviePlan plan = planMovie(64, 36, 12, 1, 48000);
    MovieExportOptions options;
    options.progress = nullptr;
    FailingFrames renderer(6);
    const fs::path target = folder() / "out" / "frames";
    EXPECT_THROW(exportFrameSequence(target, plan, music, renderer, options), Error);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(entries(folder() / "out").empty()) << "no hidden temporary folder is left";

    FailingFrames working(-1);
    exportFrameSequence(target, plan, music, working, options);
    EXPECT_EQ(entries(target).size(), 13u);
}

TEST_F(ExportFormats, RefusalsComeBeforeAnythingIsReadOrWritten) {
    const std::pair<const char*, const char*> refused[] = {
        {"--movie a.mp4 --codec prores",
         "Drevik: A .mp4 movie cannot hold prores; use h264, hevc or av1, or .mkv, which holds every codec.\n"},
        {"--movie a.mp4 --transparent", "Drevik: --transparent needs a codec with alpha: prores in .mov or .mkv, or "
                                        "vp9 in .webm or .mkv (h264 has none).\n"},
        {"--movie a.webm --quality best",
         "Drevik: --quality takes a whole number from 0 (best) to 51 (smallest), got best.\n"},
        {"--snapshot a.png --preset fast", "Drevik: --codec, --quality and --preset apply to --movie only; a "
                                           "snapshot is a PNG.\n"},
    };
    for (const auto& [arguments, line] : refused) {
        // The inputs are missing too: the format is refused first.
        const Outcome outcome = run(std::string(arguments) + " --graphics missing.csv");
        EXPECT_EQ(outcome.status, 1) << arguments;
        EXPECT_EQ(outcome.out, "") << arguments;
        EXPECT_EQ(outcome.err, line) << arguments;
    }
    EXPECT_EQ(entries(folder()), (std::vector<std::string>{"Graphics.csv", "Music.csv"}));
}

TEST_F(ExportFormats, TransparentSnapshotIsAnRgbaPngOverBlackAsTheOpaqueOne) {
    ASSERT_EQ(run("--snapshot opaque.png --time 0.6").status, 0);
    ASSERT_EQ(run("--snapshot clear.png --time 0.6 --transparent").status, 0);
    const std::string opaque =
        runCommand("ffmpeg -v error -i " + quoted(folder() / "opaque.png") + " -pix_fmt rgb24 -f rawvideo -");
    const std::string composited = runCommand(
        "ffmpeg -v error -f lavfi -i color=black:s=64x36 -i " + quoted(folder() / "clear.png") +
        " -filter_complex '[0]format=rgba[b];[1]format=rgba[g];[b][g]overlay=format=rgb' -frames:v 1 -pix_fmt rgb24 "
        "-f rawvideo -");
    ASSERT_EQ(opaque.size(), 64u * 36 * 3);
    EXPECT_LE(largestDifference(composited, opaque), 1);
}

// Runs the program with standard error on a pseudo-terminal and standard output into a file;
// returns what the terminal showed.
std::string runOnTerminal(const std::string& command, const fs::path& output, int& status) {
    int terminal = -1;
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 24;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
    if (child == 0) {
        const int file = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(file, STDOUT_FILENO);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(terminal, buffer, sizeof buffer);
        if (count <= 0) break; // EIO once the child has gone
        shown.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(terminal);
    ::waitpid(child, &status, 0);
    return shown;
}

TEST_F(ExportFormats, ProgressBarOnATerminalOnlyAndStandardOutputUnchanged) {
    int status = -1;
    const fs::path output = folder() / ".stdout";
    const std::string shown =
        runOnTerminal("cd " + quoted(folder()) + " && " + command("--movie bar.mp4"), output, status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    const std::string expected = "Loaded 2 frames / 4 lines; 48000 audio samples at 48000 Hz.\n"
                                 "Metal movie   8.3% (1 / 12 frames)\n"
                                 "Metal movie 100.0% (12 / 12 frames)\n"
                                 "Wrote ";
    EXPECT_EQ(contents(output).substr(0, expected.size()), expected);
    EXPECT_NE(shown.find("\r[##########"), std::string::npos) << shown;
    EXPECT_NE(shown.find("12/12 frames"), std::string::npos) << shown;
    EXPECT_NE(shown.find(" fps  0:00 elapsed"), std::string::npos) << shown;
    EXPECT_TRUE(shown.ends_with("\r\033[K")) << "the bar is cleared at the end: " << shown;

    // Standard error into a pipe or file: not a character of it.
    const Outcome piped = run("--movie piped.mp4");
    ASSERT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
}

} // namespace
} // namespace drevik

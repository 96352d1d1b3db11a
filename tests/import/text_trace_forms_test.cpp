// drevik-import text and drevik-import trace as processes: what they write reads back as the
// drawing asked for, notes go to standard error, and every bad input is one line, status 1 and
// no file.
#include "core/graphics_timeline.hpp"
#include "import/drawing_source.hpp"
#include "tests/import/import_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace drevik {
namespace {

const std::string wallpaper = "/usr/share/desktop-base/joy-theme/grub/grub-16x9.png";
const std::string softWaves = "/usr/share/desktop-base/softwaves-theme/grub/grub-16x9.png";
const std::string dejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct ProcessResult {
    int status = -1;
    std::string out, err;
};

class ImportForms : public ::testing::Test {
protected:
    // The program run with its standard output and standard error apart.
    ProcessResult start(const std::string& program, const std::vector<std::string>& arguments) {
        std::string command = testing::quoted(program);
        for (const std::string& argument : arguments) command += " " + testing::quoted(argument);
        const auto err = folder.path() / ".err";
        const testing::CommandResult result = testing::runCommand(command + " 2>" + testing::quoted(err) + " </dev/null");
        ProcessResult out{result.status, result.output, testing::readText(err)};
        std::filesystem::remove(err);
        return out;
    }
    ProcessResult run(const std::vector<std::string>& arguments) { return start(DREVIK_IMPORT_BINARY, arguments); }
    std::string at(const std::string& name) const { return (folder.path() / name).string(); }

    // A run that must fail: one "Drevik: " line on standard error, status 1, nothing written.
    void expectRefused(const std::vector<std::string>& arguments, const std::string& message) {
        SCOPED_TRACE(message);
        const ProcessResult result = run(arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Drevik: " + message + "\n");
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(std::filesystem::exists(at("out.csv")));
    }

    // 6 black frames, then 12 of one picture and 12 of another, 480 × 270 at 24 per second.
    std::string video() {
        const std::string file = at("clip.mp4");
        const std::string command =
            "ffmpeg -nostdin -loglevel error -y -f lavfi -i color=black:s=480x270:r=24:d=0.25 -loop 1 -framerate 24 "
            "-t 0.5 -i " + wallpaper + " -loop 1 -framerate 24 -t 0.5 -i " + softWaves +
            " -filter_complex \"[1]scale=480:270,setsar=1[a];[2]scale=480:270,setsar=1[b];[0]setsar=1[k];"
            "[k][a][b]concat=n=3:v=1[v]\" -map \"[v]\" -c:v libx264 -pix_fmt yuv420p -r 24 " + file;
        EXPECT_EQ(std::system(command.c_str()), 0);
        return file;
    }

    testing::TemporaryFolder folder;
};

TEST_F(ImportForms, TextBecomesOneUprightFrameAndMissingCharactersMakeOneNote) {
    const ProcessResult result = run({"text", "T\\nGrüße", "-o", at("out.csv"), "--duration", "12"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Wrote " + at("out.csv") + "\n");
    EXPECT_EQ(result.err, "Note: futural.jhf has no characters for \"ü\", \"ß\"; they are left out\n");
    const GraphicsTimeline drawing = GraphicsTimeline::fromCsvFile(at("out.csv"));
    EXPECT_EQ(drawing.durationSeconds, 12);
    ASSERT_EQ(drawing.frames.size(), 1u);
    // The T's bar is the highest line of the drawing: y counts upwards in Graphics.csv.
    float top = 0;
    for (const PackedLine& line : drawing.segments) top = std::max({top, line.endpoints.y, line.endpoints.w});
    const auto bar = std::find_if(drawing.segments.begin(), drawing.segments.end(), [&](const PackedLine& line) {
        return line.endpoints.y == top && line.endpoints.w == top;
    });
    EXPECT_NE(bar, drawing.segments.end());
    EXPECT_NE(testing::readText(at("out.csv")).find("# Made by drevik-import text from T\\nGrüße\n"), std::string::npos);

    // An outline font draws the same words as closed outlines: more lines, no note.
    const ProcessResult outlined = run({"text", "T\\nGrüße", "-o", at("outline.csv"), "--font", dejaVu});
    ASSERT_EQ(outlined.status, 0) << outlined.err;
    EXPECT_EQ(outlined.err, "");
    const GraphicsTimeline outline = GraphicsTimeline::fromCsvFile(at("outline.csv"));
    EXPECT_FALSE(outline.durationDeclared);
    EXPECT_GT(outline.segments.size(), drawing.segments.size());
}

TEST_F(ImportForms, TextWithAMissingOrBrokenFontOrNothingToDrawIsRefused) {
    expectRefused({"text", "Hi", "-o", at("out.csv"), "--font", at("none.ttf")},
                  "Could not read " + at("none.ttf") + ": No such file or directory");
    std::ofstream(at("words.ttf")) << "no font\n";
    expectRefused({"text", "Hi", "-o", at("out.csv"), "--font", at("words.ttf")}, "words.ttf is not a font that can be read");
    expectRefused({"text", "€ ", "-o", at("out.csv")}, "The text draws nothing in futural.jhf.");
}

TEST_F(ImportForms, APictureIsOneFrameAndAVideoKeepsItsRateEmptyFramesAndCuts) {
    ASSERT_EQ(run({"trace", wallpaper, "-o", at("picture.csv")}).status, 0);
    const GraphicsTimeline picture = GraphicsTimeline::fromCsvFile(at("picture.csv"));
    EXPECT_FALSE(picture.durationDeclared);
    ASSERT_EQ(picture.frames.size(), 1u);
    EXPECT_GT(picture.segments.size(), 100u);

    const std::string clip = video();
    ASSERT_EQ(run({"trace", clip, "-o", at("video.csv")}).status, 0);
    const GraphicsTimeline traced = GraphicsTimeline::fromCsvFile(at("video.csv"));
    EXPECT_TRUE(traced.durationDeclared);
    EXPECT_NEAR(traced.durationSeconds, 30 / 24.0, 1e-9);
    ASSERT_EQ(traced.frames.size(), 30u);
    for (std::size_t k = 0; k < 30; ++k) {
        EXPECT_NEAR(traced.frames[k].time * traced.durationSeconds, double(k) / 24, 1e-6);
        EXPECT_EQ(traced.frames[k].segmentRange.empty(), k < 6) << "frame " << k;
    }
    ASSERT_EQ(traced.sceneBoundaries.size(), 4u);
    EXPECT_NEAR(traced.sceneBoundaries[1] * traced.durationSeconds, 0.25, 1e-6);
    EXPECT_NEAR(traced.sceneBoundaries[2] * traced.durationSeconds, 0.75, 1e-6);

    // --fps picks the frames on screen at its own rate; --duration stretches the show, not the video.
    ASSERT_EQ(run({"trace", clip, "-o", at("slow.csv"), "--fps", "8", "--duration", "20"}).status, 0);
    const GraphicsTimeline slow = GraphicsTimeline::fromCsvFile(at("slow.csv"));
    EXPECT_EQ(slow.durationSeconds, 20);
    ASSERT_EQ(slow.frames.size(), 10u);
    EXPECT_NEAR(slow.frames[9].time * 20, 9 / 8.0, 1e-6);
}

TEST_F(ImportForms, TracingWhatIsNoPictureOrAskingABadThresholdIsRefused) {
    std::ofstream(at("notes.txt")) << "some words\n";
    expectRefused({"trace", at("notes.txt"), "-o", at("out.csv")}, "notes.txt is no picture or video");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i sine=d=0.3 -c:a aac " + at("tone.m4a")).c_str()), 0);
    expectRefused({"trace", at("tone.m4a"), "-o", at("out.csv")}, "tone.m4a is a video without pictures (sound only)");
    expectRefused({"trace", at("gone.png"), "-o", at("out.csv")}, "Could not read " + at("gone.png") + ": No such file or directory");
    expectRefused({"trace", wallpaper, "-o", at("out.csv"), "--threshold", "1.5"}, "--threshold needs a number from 0 to 1, not \"1.5\".");
    expectRefused({"trace", folder.path().string(), "-o", at("out.csv")}, "Could not read " + folder.path().string() + ": Is a directory");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i color=white:s=10240x10240 -frames:v 1 " + at("huge.png")).c_str()), 0);
    expectRefused({"trace", at("huge.png"), "-o", at("out.csv")}, "huge.png is too large to trace (10240×10240 pixels; at most 100000000)");
    // A taken output stays as it was.
    std::ofstream(at("taken.csv")) << "mine\n";
    EXPECT_EQ(run({"trace", wallpaper, "-o", at("taken.csv")}).status, 1);
    EXPECT_EQ(testing::readText(at("taken.csv")), "mine\n");
}

// The lines of drevik --describe-scenes for a drawing source: one per scene.
std::vector<std::string> sceneLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(ImportForms, GraphicsTakesAPictureAVideoAndAFolderOfPicturesByContent) {
    auto describe = [&](const std::string& source) {
        return start(DREVIK_BINARY, {"--graphics", source, "--describe-scenes"});
    };
    const ProcessResult picture = describe(wallpaper);
    ASSERT_EQ(picture.status, 0) << picture.err;
    ASSERT_EQ(sceneLines(picture.out).size(), 1u);
    EXPECT_NE(picture.out.find("0.00–300.00s"), std::string::npos) << picture.out;

    // The video's cuts are its scenes; its black opening is an empty scene the report leaves out.
    const ProcessResult clip = describe(video());
    ASSERT_EQ(clip.status, 0) << clip.err;
    const std::vector<std::string> scenes = sceneLines(clip.out);
    ASSERT_EQ(scenes.size(), 2u) << clip.out;
    EXPECT_NE(scenes[0].find("0.25–  0.75s"), std::string::npos) << clip.out;

    // A folder: its pictures in the order of their names, other files passed over; a picture's
    // name does not matter, its content does.
    std::filesystem::create_directory(at("pictures"));
    std::filesystem::copy_file(wallpaper, at("pictures/b.png"));
    std::filesystem::copy_file(softWaves, at("pictures/a-picture-without-extension"));
    std::ofstream(at("pictures/readme.txt")) << "time,x1,y1,x2,y2\n";
    const ProcessResult pictures = describe(at("pictures"));
    ASSERT_EQ(pictures.status, 0) << pictures.err;
    EXPECT_EQ(sceneLines(pictures.out).size(), 2u) << pictures.out;
    const std::optional<ImportedSource> folderSource = readDrawingSource(at("pictures"));
    ASSERT_TRUE(folderSource);
    EXPECT_EQ(folderSource->names, (std::vector<std::string>{"a-picture-without-extension", "b.png"}));

    // Text files that begin like no picture stay Graphics.csv files, read as always.
    std::ofstream(at("looks.png")) << "GIF8 is not how a picture starts\n";
    const ProcessResult text = describe(at("looks.png"));
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.err, "Drevik: looks.png is missing its CSV header.\n");
}

} // namespace
} // namespace drevik

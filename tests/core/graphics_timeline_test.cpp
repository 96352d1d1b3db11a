#include "core/graphics_timeline.hpp"

#include "core/csv_bytes.hpp"
#include "tests/core/contract_error_support.hpp"
#include "tests/support/temporary_folder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

namespace drevik {
namespace {

using testing::contractErrorText;

GraphicsTimeline read(const std::string& text) { return GraphicsTimeline::fromCsvData(text, "Graphics.csv"); }

std::string errorOf(const std::string& text) {
    return contractErrorText([&] { read(text); });
}

const std::string kHeader = "time,x1,y1,x2,y2\n";

TEST(GraphicsTimelineReading, GroupsRowsOfOneTimeIntoFrames) {
    const auto timeline = read("# duration_seconds=180\n" + kHeader +
                               "0.1,0.1,0.2,0.3,0.4\n"
                               "0.1,0.5,0.6,0.7,0.8\n"
                               "\n"
                               "# a comment\n" +
                               kHeader + // repeated headers are allowed between rows
                               "0.2,0,0,1,1\n");
    EXPECT_EQ(timeline.durationSeconds, 180.0);
    EXPECT_TRUE(timeline.sceneBoundaries.empty());
    ASSERT_EQ(timeline.frames.size(), 2u);
    EXPECT_EQ(timeline.frames[0], (VisualFrame{0.1, {0, 2}}));
    EXPECT_EQ(timeline.frames[1], (VisualFrame{0.2, {2, 3}}));
    ASSERT_EQ(timeline.segments.size(), 3u);
    EXPECT_EQ(timeline.segments[0], PackedLine::make(0.1f, 0.2f, 0.3f, 0.4f));
    EXPECT_EQ(timeline.segments[1], PackedLine::make(0.5f, 0.6f, 0.7f, 0.8f));
    EXPECT_EQ(timeline.segments[2], PackedLine::make(0.0f, 0.0f, 1.0f, 1.0f));
}

TEST(GraphicsTimelineReading, ValuesFollowTheFieldNumberSyntax) {
    const auto timeline = read(kHeader + "0.3, 0.3 ,1e-1,\t-0,1\n");
    ASSERT_EQ(timeline.frames.size(), 1u);
    EXPECT_EQ(timeline.frames[0].time, 0.30000000000000004);
    EXPECT_EQ(timeline.segments[0], PackedLine::make(static_cast<float>(0.30000000000000004), 0.1f, -0.0f, 1.0f));
}

TEST(GraphicsTimelineReading, ClearRowsDropTheFramesLinesSoFar) {
    const auto timeline = read(kHeader +
                               "0.1,0.1,0.1,0.2,0.2\n"
                               "0.3,0.1,0.1,0.2,0.2\n" // A
                               "0.3,0.2,0.2,0.3,0.3\n" // B
                               "0.3, , ,\t, \n"        // clear
                               "0.3,0.4,0.4,0.5,0.5\n" // C
                               "0.5,,,,\n"             // a frame of only a clear row
                               "0.7,0.1,0.1,0.2,0.2\n"
                               "0.7,,,,\n"); // a frame whose rows were all cleared
    ASSERT_EQ(timeline.frames.size(), 4u);
    EXPECT_EQ(timeline.frames[1], (VisualFrame{*CSVBytes::number("0.3"), {1, 2}}));
    EXPECT_EQ(timeline.segments[1], PackedLine::make(0.4f, 0.4f, 0.5f, 0.5f));
    EXPECT_EQ(timeline.frames[2], (VisualFrame{0.5, {2, 2}}));
    EXPECT_EQ(timeline.frames[3], (VisualFrame{*CSVBytes::number("0.7"), {2, 2}}));
    EXPECT_EQ(timeline.segments.size(), 2u);
    EXPECT_EQ(timeline.frameIndex(0.6), 2);
    EXPECT_TRUE(timeline.lines(0.6).empty());
}

TEST(GraphicsTimelineReading, LineEndingsAndAMissingFinalLineFeedReadAlike) {
    const std::string text = "# duration_seconds=10\n" + kHeader + "0,0,0,1,1\n0.5,,,,\n0.5,1,1,0,0";
    const auto plain = read(text);
    std::string windows;
    for (char c : text) {
        if (c == '\n') {
            windows += '\r';
        }
        windows += c;
    }
    const auto crlf = read(windows + "\r\n");
    EXPECT_EQ(plain.frames, crlf.frames);
    EXPECT_EQ(plain.segments, crlf.segments);
    EXPECT_EQ(plain.durationSeconds, crlf.durationSeconds);
    EXPECT_EQ(plain.segments.size(), 2u);
    // Two carriage returns: one stays and spoils the last field.
    EXPECT_EQ(errorOf(kHeader + "0.5,0.1,0.1,0.2,0.2\r\r\n"),
              "Graphics.csv:2: coordinates must be all empty (clear) or normalized numbers from 0 to 1");
}

TEST(GraphicsTimelineReading, HeaderOnlyAndMissingHeader) {
    const auto timeline = read("# only a comment\n" + kHeader);
    EXPECT_TRUE(timeline.frames.empty());
    EXPECT_TRUE(timeline.segments.empty());
    EXPECT_EQ(timeline.durationSeconds, 300.0);
    EXPECT_FALSE(timeline.frameIndex(0.5));
    EXPECT_TRUE(timeline.lines(0.5).empty());

    EXPECT_EQ(errorOf(""), "Graphics.csv is missing its CSV header.");
    EXPECT_EQ(errorOf("# duration_seconds=5\n\n"), "Graphics.csv is missing its CSV header.");
    // A row before the header fails at once, before a later broken row.
    EXPECT_EQ(errorOf("0.1,0,0,1,1\n" + kHeader + "bad\n"), "Graphics.csv is missing its CSV header.");
    // A byte-order mark is part of the first line, so that line is no header.
    EXPECT_EQ(errorOf("\xEF\xBB\xBF" + kHeader + "0,0,0,1,1\n"), "Graphics.csv is missing its CSV header.");
}

TEST(GraphicsTimelineReading, RowErrorsNameTheirLine) {
    const std::string fields = "expected five normalized fields";
    const std::string coordinates = "coordinates must be all empty (clear) or normalized numbers from 0 to 1";
    const std::string prefix = "# c\n\n" + kHeader; // the row under test is line 4
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,0.1,0.2\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,0.1,0.2,0.2,0.3\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,0.1,0.2,0.2,\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + "1.5,0.1,0.1,0.2,0.2\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + ",0.1,0.1,0.2,0.2\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + "0.5\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + "-0.1,,,,\n"), "Graphics.csv:4: " + fields);
    // The field count is checked before the time, the time before the coordinates.
    EXPECT_EQ(errorOf(prefix + "x,1,1,1\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + "x,7,7,7,7\n"), "Graphics.csv:4: " + fields);
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,,0.2,0.2\n"), "Graphics.csv:4: " + coordinates);
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,0.1,0.2,1.2\n"), "Graphics.csv:4: " + coordinates);
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,0.1,0.2,-0.01\n"), "Graphics.csv:4: " + coordinates);
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,0.1,0.2,0.2x\n"), "Graphics.csv:4: " + coordinates);
    EXPECT_EQ(errorOf(prefix + "0.5,0.1,0.1,0.2,1e999\n"), "Graphics.csv:4: " + coordinates);
}

TEST(GraphicsTimelineReading, HeaderMustBeExact) {
    const std::string reason = ": expected header time,x1,y1,x2,y2";
    EXPECT_EQ(errorOf("time,x1,y1,x2\n"), "Graphics.csv:1" + reason);
    EXPECT_EQ(errorOf("time, x1,y1,x2,y2\n"), "Graphics.csv:1" + reason);
    EXPECT_EQ(errorOf("time,x1,y1,x2,y2,\n"), "Graphics.csv:1" + reason);
    EXPECT_EQ(errorOf(kHeader + "0,0,0,1,1\ntime,X1,Y1,X2,Y2\n"), "Graphics.csv:3" + reason);
    EXPECT_NO_THROW(read("  time,x1,y1,x2,y2\t\r\n"));
}

TEST(GraphicsTimelineReading, TimesMustNotDecrease) {
    EXPECT_EQ(errorOf(kHeader + "0.2,0,0,1,1\n0.1,0,0,1,1\n"), "Graphics.csv:3: timestamps must be in nondecreasing order.");
    // The order is checked before the coordinates of the offending row.
    EXPECT_EQ(errorOf(kHeader + "0.2,0,0,1,1\n0.1,,,x,\n"), "Graphics.csv:3: timestamps must be in nondecreasing order.");
    // Negative zero is the same time as zero.
    const auto timeline = read(kHeader + "0,0,0,1,1\n-0,1,1,0,0\n");
    ASSERT_EQ(timeline.frames.size(), 1u);
    EXPECT_EQ(timeline.frames[0].segmentRange, (IndexRange{0, 2}));
}

TEST(GraphicsTimelineReading, DurationDeclarations) {
    EXPECT_EQ(read("# duration_seconds = 180\n# duration_seconds=12.5\n" + kHeader).durationSeconds, 12.5);
    EXPECT_EQ(read("#duration_seconds=5\n" + kHeader).durationSeconds, 300.0); // an ordinary comment
    for (const char* bad : {"# duration_seconds=0", "# duration_seconds=-5", "# duration_seconds",
                            "# duration_seconds: 180", "# duration_secondsX=5", "# duration_seconds=nan"}) {
        EXPECT_EQ(errorOf(kHeader + bad + "\n"), "Graphics.csv has an invalid duration_seconds declaration.") << bad;
    }
    // Errors come in line order: a bad declaration before a bad row wins, and the other way round.
    EXPECT_EQ(errorOf(kHeader + "# duration_seconds=0\n0.5,1,1\n"), "Graphics.csv has an invalid duration_seconds declaration.");
    EXPECT_EQ(errorOf(kHeader + "0.5,1,1\n# duration_seconds=0\n"), "Graphics.csv:2: expected five normalized fields");
}

TEST(GraphicsTimelineBoundaries, AreNormalisedByTheFinalDuration) {
    const auto timeline = read("# scene_boundaries_seconds=0, 90 ,180\n# duration_seconds=180\n" + kHeader);
    EXPECT_EQ(timeline.sceneBoundaries, (std::vector<double>{0.0, 0.5, 1.0}));
    EXPECT_EQ(read("# scene_boundaries_seconds=0,150\n" + kHeader).sceneBoundaries, (std::vector<double>{0.0, 0.5}));
    // The standard literal syntax: signs, exponents, hexadecimal, Unicode spaces around pieces.
    const auto literal = read("# duration_seconds=100\n# scene_boundaries_seconds=+0x1p3,\xC2\xA0" "2.5e1\xE3\x80\x80,1E2\n" + kHeader);
    EXPECT_EQ(literal.sceneBoundaries, (std::vector<double>{0.08, 0.25, 1.0}));
    // The last declaration wins.
    EXPECT_EQ(read("# scene_boundaries_seconds=0,400\n# scene_boundaries_seconds=0,30\n" + kHeader).sceneBoundaries,
              (std::vector<double>{0.0, 0.1}));
}

TEST(GraphicsTimelineBoundaries, RejectsBadLists) {
    const std::string reason = "Graphics.csv:2: scene boundaries must be two or more finite seconds";
    for (const char* bad : {"10", "0,,180", "0,inf", "0,nan", "0,1e999", "", "0,10,", "0,1 0", "0,10s",
                            "0,\v10", "0,0x", "0,10\r\r"}) {
        EXPECT_EQ(errorOf(kHeader + "# scene_boundaries_seconds=" + bad + "\n"), reason) << bad;
    }
    EXPECT_NO_THROW(read(kHeader + "# scene_boundaries_seconds= 0,10 \n"));
    // Without the space after "#", or with one before "=", it is an ordinary comment.
    EXPECT_NO_THROW(read(kHeader + "#scene_boundaries_seconds=x\n# scene_boundaries_seconds =x\n"));
}

TEST(GraphicsTimelineBoundaries, OrderIsCheckedAtTheEndAtTheDeclarationsLine) {
    const std::string reason = ": scene boundaries must increase within the declared duration";
    EXPECT_EQ(errorOf("# duration_seconds=180\n# scene_boundaries_seconds=0,200\n" + kHeader), "Graphics.csv:2" + reason);
    EXPECT_EQ(errorOf(kHeader + "# scene_boundaries_seconds=5,5\n"), "Graphics.csv:2" + reason);
    EXPECT_EQ(errorOf(kHeader + "# scene_boundaries_seconds=-1,10\n"), "Graphics.csv:2" + reason);
    EXPECT_EQ(errorOf(kHeader + "# scene_boundaries_seconds=0,20,10\n"), "Graphics.csv:2" + reason);
    // A later duration declaration decides.
    EXPECT_EQ(errorOf(kHeader + "# scene_boundaries_seconds=0,200\n\n# duration_seconds=100\n"), "Graphics.csv:2" + reason);
    EXPECT_NO_THROW(read("# duration_seconds=100\n" + kHeader + "# scene_boundaries_seconds=0,200\n# duration_seconds=200\n"));
    // Row errors anywhere come before the end-of-file check; so does the missing header.
    EXPECT_EQ(errorOf(kHeader + "# scene_boundaries_seconds=5,5\n0.5,1\n"), "Graphics.csv:3: expected five normalized fields");
    EXPECT_EQ(errorOf("# scene_boundaries_seconds=5,5\n"), "Graphics.csv is missing its CSV header.");
}

TEST(GraphicsTimelineLookup, FrameOnScreen) {
    const auto timeline = read(kHeader + "0.2,0.1,0.1,0.2,0.2\n0.2,0.3,0.3,0.4,0.4\n0.5,0.5,0.5,0.6,0.6\n");
    EXPECT_FALSE(timeline.frameIndex(0.1));
    EXPECT_EQ(timeline.frameIndex(0.2), 0);
    EXPECT_EQ(timeline.frameIndex(0.49), 0);
    EXPECT_EQ(timeline.frameIndex(0.5), 1);
    EXPECT_EQ(timeline.frameIndex(1.0), 1);
    EXPECT_EQ(timeline.frameIndex(7.0), 1);
    EXPECT_FALSE(timeline.frameIndex(-1.0));
    EXPECT_FALSE(timeline.frameIndex(std::numeric_limits<double>::quiet_NaN()));

    const auto first = timeline.lines(0.3);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first.data(), timeline.segments.data());
    EXPECT_EQ(first[1], PackedLine::make(0.3f, 0.3f, 0.4f, 0.4f));
    const auto second = timeline.lines(0.9);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second.data(), timeline.segments.data() + 2);
    EXPECT_TRUE(timeline.lines(0.0).empty());
}

class GraphicsTimelineFile : public ::testing::Test {
protected:
    std::filesystem::path write(const std::string& text) {
        const auto path = folder_.path() / "Graphics.csv";
        testing::writeText(path, text);
        return path;
    }
    std::string readError(const std::filesystem::path& path) {
        try {
            GraphicsTimeline::fromCsvFile(path);
        } catch (const CSVContractError&) {
            ADD_FAILURE() << "a file error was reported as a contract error";
        } catch (const Error& error) {
            return error.what();
        }
        ADD_FAILURE() << "expected an error";
        return {};
    }
    testing::TemporaryFolder folder_{"drevik-graphics-test"};
    const std::filesystem::path& directory_ = folder_.path();
};

TEST_F(GraphicsTimelineFile, ReadsTheFileAndNamesItByItsLastComponent) {
    const auto path = write("# duration_seconds=60\n" + kHeader + "0.5,0,0,1,1\n");
    const auto timeline = GraphicsTimeline::fromCsvFile(path);
    EXPECT_EQ(timeline.durationSeconds, 60.0);
    EXPECT_EQ(timeline.segments.size(), 1u);
    write(kHeader + "0.5,0,0,1\n");
    EXPECT_EQ(contractErrorText([&] { GraphicsTimeline::fromCsvFile(path); }),
              "Graphics.csv:2: expected five normalized fields");
    write("");
    EXPECT_EQ(contractErrorText([&] { GraphicsTimeline::fromCsvFile(path); }), "Graphics.csv is missing its CSV header.");
}

TEST_F(GraphicsTimelineFile, LargeFilesReadLikeTheSameBytesInMemory) {
    // Several megabytes: lines cross the reader's piece boundaries, one comment is longer than
    // a piece, line endings are mixed and the last line has no line feed.
    std::string text = "# duration_seconds=30\r\n" + kHeader + "# " + std::string(3u << 20, 'c') + "\n";
    for (int row = 0; row < 120000; ++row) {
        text += std::to_string(row / 7 / 20000.0) + "," + std::to_string((row % 13) / 13.0) + ", 0.5 ,0.25," +
                (row % 5 == 0 ? "1\r\n" : "0.75\n");
        if (row % 1000 == 999) {
            text += std::to_string(row / 7 / 20000.0) + ",,,,\n\n"; // a clear row and a blank line
        }
    }
    text += "1,0,0,1,1";
    const auto path = write(text);
    const auto fromFile = GraphicsTimeline::fromCsvFile(path);
    const auto fromMemory = read(text);
    EXPECT_EQ(fromFile.frames, fromMemory.frames);
    EXPECT_EQ(fromFile.segments, fromMemory.segments);
    EXPECT_EQ(fromFile.durationSeconds, 30.0);
    EXPECT_EQ(fromFile.segments.back(), PackedLine::make(0, 0, 1, 1));

    // An error far into the file names the same line either way.
    const std::string broken = text + "\n1,0,0,1\n";
    write(broken);
    const std::string expected = errorOf(broken);
    EXPECT_NE(expected.find(": expected five normalized fields"), std::string::npos);
    EXPECT_EQ(contractErrorText([&] { GraphicsTimeline::fromCsvFile(path); }), expected);
}

TEST_F(GraphicsTimelineFile, UnreadableFilesGiveOneClearLine) {
    const auto missing = directory_ / "nothing.csv";
    EXPECT_EQ(readError(missing), "Could not read " + missing.string() + ": No such file or directory");
    EXPECT_EQ(readError(directory_), "Could not read " + directory_.string() + ": Is a directory");
    if (::geteuid() != 0) { // root reads files regardless of their permissions
        const auto locked = write(kHeader);
        std::filesystem::permissions(locked, std::filesystem::perms::none);
        EXPECT_EQ(readError(locked), "Could not read " + locked.string() + ": Permission denied");
    }
}

} // namespace
} // namespace drevik

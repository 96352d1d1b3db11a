// drevik-import as people run it: what it writes, how the show is timed, and every refusal.
#include "import_test_support.hpp"

#include "core/graphics_timeline.hpp"
#include "core/scene_span.hpp"
#include "import/imported_show.hpp"

#include <gtest/gtest.h>

#include <set>

namespace drevik::testing {
namespace {

const std::string kSquare = R"(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100"><rect x="10" y="10" width="80" height="80"/></svg>)";

class ImportCommand : public ::testing::Test {
protected:
    std::filesystem::path file(const std::string& name, const std::string& text) {
        const auto location = folder.path() / name;
        writeText(location, text);
        return location;
    }
    std::filesystem::path output() const { return folder.path() / "Graphics.csv"; }
    GraphicsTimeline written() const { return GraphicsTimeline::fromCsvFile(output()); }

    // Status 1, one line on standard error, nothing written and nothing left beside it.
    void expectRefusal(const std::string& arguments, const std::string& line) {
        SCOPED_TRACE(arguments);
        const auto before = listing();
        const CommandResult result = runImport(arguments + " -o " + quoted(output()));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, "Drevik: " + line + "\n");
        EXPECT_FALSE(std::filesystem::exists(output()));
        EXPECT_EQ(listing(), before);
    }

    // A second conversion to the same place is refused and leaves the file as it was.
    void expectRefusalKeeping(const std::filesystem::path& svg, const std::string& text) {
        const CommandResult again = runImport("svg " + quoted(svg) + " -o " + quoted(output()));
        EXPECT_EQ(again.status, 1);
        EXPECT_EQ(again.output, "Drevik: Output already exists: " + output().string() + "\n");
        EXPECT_EQ(readText(output()), text);
        EXPECT_EQ(listing().size(), 2u) << "nothing beside the file";
    }

    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    TemporaryFolder folder;
};

TEST_F(ImportCommand, WritesAGraphicsCsvNamingItsSourceThatReadsBackAsConverted) {
    const auto svg = file("logo.svg", kSquare);
    const CommandResult result = runImport(quoted(svg) + " -o " + quoted(output()));
    EXPECT_EQ(result.status, 1) << "the form comes first";
    const CommandResult converted = runImport("svg " + quoted(svg) + " -o " + quoted(output()));
    ASSERT_EQ(converted.status, 0) << converted.output;
    EXPECT_EQ(converted.output, "Wrote " + output().string() + "\n");
    const std::string text = readText(output());
    EXPECT_EQ(text.substr(0, text.find('\n')), "# Made by drevik-import svg from logo.svg");
    EXPECT_EQ(text.find("# duration_seconds"), std::string::npos) << "no duration given, none declared";

    const GraphicsTimeline timeline = written();
    const GraphicsTimeline direct = buildImportedTimeline(readSvgSources({svg}, std::nullopt), std::nullopt);
    EXPECT_FALSE(timeline.durationDeclared);
    ASSERT_EQ(timeline.frames.size(), 1u);
    ASSERT_EQ(timeline.segments.size(), direct.segments.size());
    for (std::size_t i = 0; i < direct.segments.size(); ++i) {
        const Float4 a = timeline.segments[i].endpoints, b = direct.segments[i].endpoints;
        EXPECT_NEAR(a.x, b.x, 1e-6f);
        EXPECT_NEAR(a.y, b.y, 1e-6f);
        EXPECT_NEAR(a.z, b.z, 1e-6f);
        EXPECT_NEAR(a.w, b.w, 1e-6f);
    }

    // The file is never replaced: a second run is refused and leaves it as it was.
    expectRefusalKeeping(svg, text);
}

TEST_F(ImportCommand, DurationFromTheOptionOrTheSoundtrack) {
    const auto svg = file("logo.svg", kSquare);
    ASSERT_EQ(runImport("svg " + quoted(svg) + " --duration 12.5 -o " + quoted(output())).status, 0);
    EXPECT_EQ(written().durationSeconds, 12.5);
    std::filesystem::remove(output());
    const auto music = file("Music.csv", "# duration_seconds=7\ntime,lead\n0,0.7\n");
    ASSERT_EQ(runImport("svg " + quoted(svg) + " --music " + quoted(music) + " -o " + quoted(output())).status, 0);
    EXPECT_EQ(written().durationSeconds, 7);
    EXPECT_TRUE(written().durationDeclared);
    std::filesystem::remove(output());
    expectRefusal("svg " + quoted(svg) + " --duration 3 --music " + quoted(music), "Give --duration or --music, not both.");
    expectRefusal("svg " + quoted(svg) + " --duration -3", "--duration needs a number greater than 0, not \"-3\".");
}

TEST_F(ImportCommand, SeveralFilesAreScenesOfEqualLengthOrTheFramesOfAnAnimation) {
    const auto a = quoted(file("a.svg", kSquare)), b = quoted(file("b.svg", kSquare)), c = quoted(file("c.svg", kSquare));
    // Scenes: a drawing four times as large, with its square as large within it, fills the picture as much.
    const auto large = quoted(file("large.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="400" height="400"><rect x="40" y="40" width="320" height="320"/></svg>)"));
    ASSERT_EQ(runImport("svg " + a + " " + large + " " + c + " --duration 10 -o " + quoted(output())).status, 0);
    GraphicsTimeline scenes = written();
    ASSERT_EQ(scenes.sceneBoundaries.size(), 4u);
    EXPECT_NE(readText(output()).find("\n# scene_boundaries_seconds=0,3.33"), std::string::npos);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(scenes.sceneBoundaries[i], static_cast<double>(i) / 3, 1e-12);
    ASSERT_EQ(scenes.frames.size(), 3u);
    EXPECT_NE(readText(output()).find("# Made by drevik-import svg from 3 sources: a.svg ... c.svg"), std::string::npos);
    std::filesystem::remove(output());
    // Each scene holds its own drawing and no other, also where the boundary and the frame's time, read
    // back by their two parsers, could round apart (five scenes over 12 s did).
    ASSERT_EQ(runImport("svg " + a + " " + a + " " + a + " " + a + " " + a + " --duration 12 -o " + quoted(output())).status, 0);
    const GraphicsTimeline fifths = written();
    ASSERT_EQ(fifths.frames.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(fifths.frames[i].time, fifths.sceneBoundaries[i]) << "scene " << i;
        const auto span = fifths.declaredSceneSpan(fifths.sceneBoundaries[i], fifths.sceneBoundaries[i + 1]);
        ASSERT_TRUE(span) << "scene " << i;
        EXPECT_EQ(span->firstFrameIndex, static_cast<std::int64_t>(i));
        EXPECT_EQ(span->afterLastFrameIndex, static_cast<std::int64_t>(i) + 1);
    }
    std::filesystem::remove(output());
    const auto widthIn = [](const GraphicsTimeline& timeline, std::size_t frame) {
        float low = 1, high = 0;
        for (auto i = timeline.frames[frame].segmentRange.lowerBound; i < timeline.frames[frame].segmentRange.upperBound; ++i) {
            low = std::min({low, timeline.segments[i].endpoints.x, timeline.segments[i].endpoints.z});
            high = std::max({high, timeline.segments[i].endpoints.x, timeline.segments[i].endpoints.z});
        }
        return high - low;
    };
    EXPECT_NEAR(widthIn(scenes, 1) / widthIn(scenes, 0), 1, 1e-4) << "each scene is its own picture";

    // An animation: frames at 1/fps seconds, fitted together (the larger drawing stays larger).
    ASSERT_EQ(runImport("svg " + a + " " + large + " " + c + " --fps 2 --duration 10 -o " + quoted(output())).status, 0);
    GraphicsTimeline animation = written();
    EXPECT_TRUE(animation.sceneBoundaries.empty());
    ASSERT_EQ(animation.frames.size(), 3u);
    EXPECT_NEAR(animation.frames[1].time, 0.05, 1e-12);
    EXPECT_NEAR(widthIn(animation, 1) / widthIn(animation, 0), 4, 1e-3) << "the frames share one fit";
    std::filesystem::remove(output());
    // Without a duration an animation lasts its own frames.
    ASSERT_EQ(runImport("svg " + a + " " + b + " --fps 4 -o " + quoted(output())).status, 0);
    EXPECT_EQ(written().durationSeconds, 0.5);
    std::filesystem::remove(output());

    expectRefusal("svg " + a + " " + b, "Scenes of equal length need the length of the show: give --duration or --music.");
}

TEST_F(ImportCommand, TextIsLeftOutWithOneNote) {
    const auto svg = file("words.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100"><rect width="50" height="50"/><text x="10" y="90">Hi</text><text>there</text></svg>)");
    const CommandResult result = runImport("svg " + quoted(svg) + " -o " + quoted(output()));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "Note: words.svg: text left out; convert it to paths, or use drevik-import text.\nWrote " +
                                 output().string() + "\n");
}

TEST_F(ImportCommand, BadInputsAreRefusedWithOneLine) {
    const auto png = file("logo.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    expectRefusal("svg " + quoted(png), "logo.png is not an SVG file.");
    const auto html = file("page.svg", "<?xml version=\"1.0\"?>\n<html><body/></html>");
    expectRefusal("svg " + quoted(html), "page.svg is not an SVG file.");
    const auto broken = file("broken.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\">\n  <g>\n</svg>\n");
    expectRefusal("svg " + quoted(broken), "broken.svg:3:7: broken SVG: Opening and ending tag mismatch: g line 2 and svg");
    const auto hidden = file("hidden.svg", R"(<svg xmlns="http://www.w3.org/2000/svg"><defs><rect width="5" height="5"/></defs><rect width="5" height="5" display="none"/></svg>)");
    expectRefusal("svg " + quoted(hidden), "hidden.svg has nothing visible to draw.");
    const auto words = file("words.svg", R"(<svg xmlns="http://www.w3.org/2000/svg"><text>Hi</text></svg>)");
    expectRefusal("svg " + quoted(words),
                  "words.svg has nothing visible to draw but text; convert the text to paths, or use drevik-import text.");
    expectRefusal("svg " + quoted(folder.path() / "missing.svg"),
                  "Could not read " + (folder.path() / "missing.svg").string() + ": No such file or directory");

    // Five levels of sixteen copies of a ten-piece star: a small file that is millions of segments.
    std::string many = R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="10" height="10"><defs>)"
                       R"(<path id="l0" d="M0,-1 L.3,-.3 1,-.3 .4,.2 .6,1 0,.5 -.6,1 -.4,.2 -1,-.3 -.3,-.3z"/>)";
    for (int level = 1; level <= 5; ++level) {
        many += "<g id=\"l" + std::to_string(level) + "\">";
        for (int i = 0; i < 16; ++i) many += "<use xlink:href=\"#l" + std::to_string(level - 1) + "\"/>";
        many += "</g>";
    }
    many += R"(</defs><use xlink:href="#l5"/></svg>)";
    const auto crowd = file("many.svg", many);
    expectRefusal("svg " + quoted(crowd), "many.svg gives more segments than the 4194304 Drevik can draw at once.");

    const auto svg = quoted(file("logo.svg", kSquare));
    expectRefusal("svg " + svg + " --threshold 0.5", "drevik-import svg has no option --threshold (see drevik-import --help).");
    expectRefusal("paint " + svg, "drevik-import has no form paint (see drevik-import --help).");
}

TEST(ImportedShow, AFrameOfMoreSegmentsThanDrevikDrawsIsRefused) {
    ImportedSource source;
    source.names = {"huge.svg"};
    VectorDrawing drawing;
    VectorPath path;
    path.start = {1, -1};
    for (std::int64_t i = 0; i <= maximumSegmentsPerFrame; ++i) {
        path.lineTo({static_cast<double>(i % 2), static_cast<double>(i) / static_cast<double>(maximumSegmentsPerFrame)});
    }
    drawing.paths.push_back(std::move(path));
    source.drawings.push_back(std::move(drawing));
    try {
        buildImportedTimeline(source, std::nullopt);
        FAIL() << "accepted";
    } catch (const ImportError& error) {
        EXPECT_STREQ(error.what(), "huge.svg gives 4194305 segments in one frame, more than the 4194304 Drevik can draw at once.");
    }
}

} // namespace
} // namespace drevik::testing

// Text in fonts: the argument's lines, missing characters, bad fonts, and the laid-out shapes
// against independent renderings: FreeType's own rasteriser for an outline font, and the
// strokes of the font file drawn pixel by pixel for the single-stroke font.
#include "import/hershey_font.hpp"
#include "import/outline_font.hpp"
#include "import/text_layout.hpp"
#include "tests/import/drawing_match.hpp"
#include "tests/support/temporary_folder.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace drevik {
namespace {

const std::string dejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const std::string futural = "/usr/share/hershey-fonts/futural.jhf";

// The reference pictures are 1920 × 1080 with the text's widest line 1600 pixels wide.
constexpr int pictureWidth = 1920, pictureHeight = 1080;
constexpr double textWidth = 1600;
// Far below the judged 0.5 % of the diagonal (11 pixels here): a misplaced character shows.
constexpr double tolerance = 1.5;

TEST(TextLines, BackslashNAndLineBreaksStartLinesAndBadBytesReadAsReplacement) {
    EXPECT_EQ(textLines("one\\ntwo\nthree"), (std::vector<std::u32string>{U"one", U"two", U"three"}));
    EXPECT_EQ(textLines("a\\\\nb\\x"), (std::vector<std::u32string>{U"a\\nb\\x"}));
    EXPECT_EQ(textLines("gr\xC3\xBC\xC3\x9F\xFF" "e\xE2\x82"), (std::vector<std::u32string>{U"grüß\uFFFDe\uFFFD\uFFFD"}));
    EXPECT_EQ(textLines(""), (std::vector<std::u32string>{U""}));
}

TEST(TextLayout, CharactersTheFontLacksAreNamedOnceAndLeftOut) {
    const std::unique_ptr<Font> font = defaultFont();
    const TextLayout layout = layOutText(textLines("Grüße €\\nü\t"), *font);
    EXPECT_EQ(layout.missingCharacters, U"üß€\t");
    EXPECT_EQ(missingCharactersNote(layout.missingCharacters, font->name()),
              "futural.jhf has no characters for \"ü\", \"ß\", \"€\", U+0009; they are left out");
    EXPECT_FALSE(layout.drawing.paths.empty());
    EXPECT_TRUE(layOutText(textLines("abc"), *font).missingCharacters.empty());
}

TEST(Fonts, AMissingOrBrokenFontIsRefusedWithItsNameAndReason) {
    testing::TemporaryFolder folder;
    EXPECT_EQ(testing::errorOf([&] { loadFont((folder.path() / "none.ttf").string()); }),
              "Could not read " + (folder.path() / "none.ttf").string() + ": No such file or directory");
    const auto notAFont = folder.path() / "notes.otf";
    std::ofstream(notAFont) << "just some words\n";
    EXPECT_EQ(testing::errorOf([&] { loadFont(notAFont.string()); }), "notes.otf is not a font that can be read");
    const auto brokenStrokes = folder.path() / "broken.jhf";
    std::ofstream(brokenStrokes) << "12345  2NVRR\n12345 xyNV\n";
    EXPECT_EQ(testing::errorOf([&] { loadFont(brokenStrokes.string()); }), "broken.jhf:2: not a single-stroke font record");
    EXPECT_EQ(testing::errorOf([&] { loadFont(folder.path().string()); }),
              "Could not read " + folder.path().string() + ": Is a directory");
}

// --- single-stroke font against the file's strokes drawn pixel by pixel ---------------------

struct Strokes {
    int left = 0, right = 0;
    std::vector<std::vector<Point2>> lines;
};

// The .jhf records read afresh, record k being character 32 + k.
std::vector<Strokes> readStrokes(const std::string& file) {
    std::ifstream in(file);
    std::vector<Strokes> out;
    for (std::string line; std::getline(in, line);) {
        Strokes glyph;
        const int pairs = std::stoi(line.substr(5, 3));
        glyph.left = line[8] - 'R', glyph.right = line[9] - 'R';
        glyph.lines.emplace_back();
        for (int k = 1; k < pairs; ++k) {
            const char x = line[8 + 2 * k], y = line[9 + 2 * k];
            if (x == ' ') {
                glyph.lines.emplace_back();
            } else {
                glyph.lines.back().push_back({double(x - 'R'), double(y - 'R')});
            }
        }
        out.push_back(glyph);
    }
    return out;
}

TEST(TextLayout, SingleStrokeTextLiesOnTheFontsStrokesDrawnAsPixels) {
    const std::vector<std::string> lines = {"Drevik", "Hello, world!"};
    const std::vector<Strokes> font = readStrokes(futural);
    auto width = [&](const std::string& text) {
        int w = 0;
        for (const char c : text) w += font[std::size_t(c - 32)].right - font[std::size_t(c - 32)].left;
        return w;
    };
    const double scale = textWidth / width(lines[1]);
    const double middleY = 32.0 / 2; // two lines, baselines 32 apart
    auto toPicture = [&](Point2 p) {
        return Point2{pictureWidth / 2.0 + p.x * scale, pictureHeight / 2.0 + (p.y - middleY) * scale};
    };

    std::vector<bool> ink(std::size_t(pictureWidth) * pictureHeight, false);
    for (std::size_t row = 0; row < lines.size(); ++row) {
        double pen = -width(lines[row]) / 2.0;
        for (const char c : lines[row]) {
            const Strokes& glyph = font[std::size_t(c - 32)];
            for (const std::vector<Point2>& stroke : glyph.lines) {
                for (std::size_t k = 1; k < stroke.size(); ++k) {
                    const Point2 a = toPicture({pen + stroke[k - 1].x - glyph.left, stroke[k - 1].y + 32.0 * double(row)});
                    const Point2 b = toPicture({pen + stroke[k].x - glyph.left, stroke[k].y + 32.0 * double(row)});
                    const int n = int(std::hypot(b.x - a.x, b.y - a.y)) + 1;
                    for (int s = 0; s <= n; ++s) {
                        const double t = double(s) / n;
                        const auto x = int(a.x + (b.x - a.x) * t), y = int(a.y + (b.y - a.y) * t);
                        ink[std::size_t(y) * pictureWidth + std::size_t(x)] = true;
                    }
                }
            }
            pen += glyph.right - glyph.left;
        }
    }
    std::vector<Point2> reference;
    for (int y = 0; y < pictureHeight; ++y)
        for (int x = 0; x < pictureWidth; ++x)
            if (ink[std::size_t(y) * pictureWidth + std::size_t(x)]) reference.push_back({x + 0.5, y + 0.5});

    const TextLayout layout = layOutText(textLines("Drevik\\nHello, world!"), *defaultFont());
    for (const VectorPath& path : layout.drawing.paths) {
        EXPECT_FALSE(path.closed) << "strokes are lines, not outlines";
    }
    const testing::Match figures = testing::match(testing::sampledPoints(layout.drawing, toPicture, 0.5), reference, tolerance);
    std::printf("single-stroke text within %.1f px: %.4f on the strokes, %.4f of the strokes drawn\n", tolerance,
                figures.drawnOnEdges, figures.edgesDrawn);
    EXPECT_GE(figures.drawnOnEdges, 0.99);
    EXPECT_GE(figures.edgesDrawn, 0.99);
}

// --- outline font against FreeType's own rendering -------------------------------------------

struct FreeTypeFace {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    explicit FreeTypeFace(const std::string& file) {
        FT_Init_FreeType(&library);
        FT_New_Face(library, file.c_str(), 0, &face);
    }
    ~FreeTypeFace() {
        FT_Done_Face(face);
        FT_Done_FreeType(library);
    }
};

TEST(TextLayout, OutlineTextLiesOnTheEdgesOfFreeTypesRendering) {
    const std::vector<std::u32string> lines = textLines("WAVE To\\nDrevik, yes!");
    FreeTypeFace ft(dejaVu);
    FT_Face face = ft.face;
    const double em = face->units_per_EM;
    // The widest line's unhinted width in font units, advances and kerning from FreeType.
    auto lineWidth = [&](const std::u32string& line) {
        double w = 0;
        for (std::size_t k = 0; k < line.size(); ++k) {
            FT_Load_Char(face, line[k], FT_LOAD_NO_SCALE);
            w += double(face->glyph->advance.x);
            if (k + 1 < line.size()) {
                FT_Vector kern{};
                FT_Get_Kerning(face, FT_Get_Char_Index(face, line[k]), FT_Get_Char_Index(face, line[k + 1]), FT_KERNING_UNSCALED, &kern);
                w += double(kern.x);
            }
        }
        return w;
    };
    const double widest = std::max(lineWidth(lines[0]), lineWidth(lines[1]));
    const double pixelsPerEm = textWidth / widest * em;
    const double scale = pixelsPerEm / em, lineHeight = double(face->height) * scale;
    FT_Set_Char_Size(face, FT_F26Dot6(std::lround(pixelsPerEm * 64)), 0, 0, 0);

    // Each glyph rendered at its exact sub-pixel pen position; covered at half coverage or more.
    std::vector<bool> ink(std::size_t(pictureWidth) * pictureHeight, false);
    const double firstBaseline = pictureHeight / 2.0 - lineHeight / 2;
    for (std::size_t row = 0; row < lines.size(); ++row) {
        double pen = pictureWidth / 2.0 - lineWidth(lines[row]) * scale / 2;
        const double baseline = firstBaseline + lineHeight * double(row);
        for (std::size_t k = 0; k < lines[row].size(); ++k) {
            FT_Load_Char(face, lines[row][k], FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP);
            const int ix = int(std::floor(pen)), iy = int(std::floor(baseline));
            FT_Outline_Translate(&face->glyph->outline, FT_Pos(std::lround((pen - ix) * 64)), -FT_Pos(std::lround((baseline - iy) * 64)));
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL);
            const FT_Bitmap& bitmap = face->glyph->bitmap;
            for (unsigned y = 0; y < bitmap.rows; ++y) {
                for (unsigned x = 0; x < bitmap.width; ++x) {
                    const int px = ix + face->glyph->bitmap_left + int(x), py = iy - face->glyph->bitmap_top + int(y);
                    if (bitmap.buffer[y * unsigned(bitmap.pitch) + x] >= 128 && px >= 0 && py >= 0 && px < pictureWidth && py < pictureHeight)
                        ink[std::size_t(py) * pictureWidth + std::size_t(px)] = true;
                }
            }
            pen += double(face->glyph->linearHoriAdvance) / 65536.0;
            if (k + 1 < lines[row].size()) {
                FT_Vector kern{};
                FT_Get_Kerning(face, FT_Get_Char_Index(face, lines[row][k]), FT_Get_Char_Index(face, lines[row][k + 1]), FT_KERNING_UNFITTED, &kern);
                pen += double(kern.x) / 64.0;
            }
        }
    }
    const std::vector<Point2> edges = testing::maskEdges(pictureWidth, pictureHeight, ink);

    const OutlineFont font(dejaVu);
    const TextLayout layout = layOutText(lines, font);
    EXPECT_TRUE(layout.missingCharacters.empty());
    auto toPicture = [&](Point2 p) { return Point2{pictureWidth / 2.0 + p.x * scale, firstBaseline + p.y * scale}; };
    const testing::Match figures = testing::match(testing::sampledPoints(layout.drawing, toPicture, 0.5), edges, tolerance);
    std::printf("outline text within %.1f px: %.4f on FreeType's edges, %.4f of the edges drawn\n", tolerance,
                figures.drawnOnEdges, figures.edgesDrawn);
    EXPECT_GE(figures.drawnOnEdges, 0.95);
    EXPECT_GE(figures.edgesDrawn, 0.95);
}

} // namespace
} // namespace drevik

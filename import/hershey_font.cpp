// Reading .jhf single-stroke fonts; see hershey_font.hpp for the form.
#include "import/hershey_font.hpp"

#include "platform/file_bytes.hpp"

#include <charconv>
#include <filesystem>

namespace drevik {
namespace {

constexpr char32_t firstCharacter = 32;

// The file's lines one after the other, with the number of the line being read.
class LineCursor {
public:
    explicit LineCursor(std::string_view bytes) : rest_(bytes) {}

    bool atEnd() const { return rest_.empty(); }
    int lineNumber() const { return number_; }

    std::string_view next() {
        const std::size_t end = rest_.find('\n');
        std::string_view line = rest_.substr(0, end);
        rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        ++number_;
        return line;
    }

private:
    std::string_view rest_;
    int number_ = 0;
};

[[noreturn]] void malformed(const std::string& name, int line) {
    throw FontError(name + ":" + std::to_string(line) + ": not a single-stroke font record");
}

int countField(std::string_view field) {
    while (!field.empty() && field.front() == ' ') {
        field.remove_prefix(1);
    }
    int value = -1;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc{} || end != field.data() + field.size()) {
        return -1;
    }
    return value;
}

// One record: its header line, then as many following lines as its pairs need.
HersheyGlyph readRecord(std::string_view header, LineCursor& lines, const std::string& name) {
    const int line = lines.lineNumber();
    if (header.size() < 10) {
        malformed(name, line);
    }
    const int pairs = countField(header.substr(5, 3));
    if (pairs < 1) {
        malformed(name, line);
    }
    std::string data(header.substr(8));
    while (data.size() < std::size_t(pairs) * 2 && !lines.atEnd()) {
        data += lines.next();
    }
    if (data.size() < std::size_t(pairs) * 2) {
        malformed(name, line);
    }
    HersheyGlyph glyph;
    glyph.left = data[0] - 'R';
    glyph.right = data[1] - 'R';
    std::vector<Point2> stroke;
    auto finishStroke = [&] {
        if (stroke.size() >= 2) {
            glyph.strokes.push_back(std::move(stroke));
        }
        stroke.clear();
    };
    for (int k = 1; k < pairs; ++k) {
        const char x = data[std::size_t(k) * 2], y = data[std::size_t(k) * 2 + 1];
        if (x == ' ' && y == 'R') {
            finishStroke();
        } else {
            stroke.push_back({double(x - 'R'), double(y - 'R')});
        }
    }
    finishStroke();
    return glyph;
}

} // namespace

HersheyFont HersheyFont::fromData(std::string_view bytes, std::string name) {
    HersheyFont font;
    font.name_ = std::move(name);
    LineCursor lines(bytes);
    while (!lines.atEnd()) {
        const std::string_view header = lines.next();
        if (header.find_first_not_of(" \t") == std::string_view::npos) {
            continue;
        }
        font.glyphs_.push_back(readRecord(header, lines, font.name_));
    }
    if (font.glyphs_.empty()) {
        throw FontError(font.name_ + " holds no single-stroke characters");
    }
    return font;
}

HersheyFont HersheyFont::fromFile(const std::string& location) {
    const std::string bytes = readFileBytes(location, std::size_t{64} << 20);
    return fromData(bytes, std::filesystem::path(location).filename().string());
}

std::optional<GlyphShape> HersheyFont::glyph(char32_t character) const {
    if (character < firstCharacter || character - firstCharacter >= glyphs_.size()) {
        return std::nullopt;
    }
    const HersheyGlyph& source = glyphs_[character - firstCharacter];
    GlyphShape shape;
    shape.advance = source.right - source.left;
    for (const std::vector<Point2>& stroke : source.strokes) {
        VectorPath path;
        path.start = {stroke.front().x - source.left, stroke.front().y};
        for (std::size_t k = 1; k < stroke.size(); ++k) {
            path.lineTo({stroke[k].x - source.left, stroke[k].y});
        }
        shape.paths.push_back(std::move(path));
    }
    return shape;
}

} // namespace drevik

// The Graphics.csv writer (see graphics_csv_writer.hpp).
#include "import/graphics_csv_writer.hpp"

#include "platform/atomic_output.hpp"
#include "platform/file_bytes.hpp"
#include "core/csv_bytes.hpp"
#include "import/imported_show.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace drevik {

namespace {

template <typename Number>
void appendNumber(std::string& out, Number value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// A comment stays one line: control characters become spaces.
std::string commentText(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return line;
}

class RowWriter {
public:
    RowWriter(std::FILE* stream, const std::filesystem::path& location) : stream_(stream), location_(location) {}

    std::string& line() { return buffer_; }

    // Queues the line built in line() plus a line feed; writes in large pieces.
    void endLine() {
        buffer_ += '\n';
        pending_ += buffer_;
        buffer_.clear();
        if (pending_.size() >= 1 << 16) flush();
    }

    void flush() {
        written_ += pending_.size();
        if (written_ > maximumInputFileBytes) {
            throw ImportError("The drawing would make a Graphics.csv larger than the " +
                              std::to_string(maximumInputFileBytes) + " bytes (2 GiB) Drevik reads.");
        }
        if (!pending_.empty() && std::fwrite(pending_.data(), 1, pending_.size(), stream_) != pending_.size()) {
            throw ImportError("Could not write " + location_.string() + ": " + std::strerror(errno));
        }
        pending_.clear();
    }

private:
    std::FILE* stream_;
    const std::filesystem::path& location_;
    std::string buffer_, pending_;
    std::size_t written_ = 0;
};

// The seconds a scene boundary is declared at (the ends exactly, so that rounding never moves them
// outside the duration).
double boundarySeconds(const GraphicsTimeline& timeline, double boundary) {
    return boundary <= 0 ? 0.0 : boundary >= 1 ? timeline.durationSeconds : boundary * timeline.durationSeconds;
}

// The text of a time that the reader's number parser reads as exactly target. Its digits are
// accumulated as written, so the nearest decimal may read back an ulp away: the neighbours are tried.
std::string timeReadingAs(double target) {
    double below = target, above = target;
    for (int step = 0; step < 64; ++step) {
        for (const double candidate : {above, below}) {
            for (const int digits : {0, 17, 18, 19, 20}) {
                char buffer[40];
                const auto written = digits == 0
                                         ? std::to_chars(buffer, buffer + sizeof buffer, candidate)
                                         : std::to_chars(buffer, buffer + sizeof buffer, candidate,
                                                         std::chars_format::fixed, digits);
                const std::string text(buffer, written.ptr);
                if (CSVBytes::number(text) == target) return text;
            }
        }
        above = std::nextafter(above, 2.0);
        below = std::nextafter(below, -1.0);
    }
    std::string text;
    appendNumber(text, target);
    return text;
}

// Times of the frames as written. A frame that begins a scene is written at exactly the time the
// reader makes of the scene's declared boundary, so that it belongs to its own scene and not also
// to the one before (a scene holds the frame on screen at its start and those before its end).
class FrameTimes {
public:
    FrameTimes(const GraphicsTimeline& timeline, const std::string& declarations) : timeline_(timeline) {
        if (timeline.sceneBoundaries.empty() || !timeline.durationDeclared) return;
        read_ = GraphicsTimeline::fromCsvData(declarations + "time,x1,y1,x2,y2\n", "Graphics.csv").sceneBoundaries;
    }

    std::string text(double time) const {
        const auto& boundaries = timeline_.sceneBoundaries;
        const auto at = std::lower_bound(boundaries.begin(), boundaries.end(), time);
        if (at != boundaries.end() && *at == time && read_.size() == boundaries.size()) {
            return timeReadingAs(read_[static_cast<std::size_t>(at - boundaries.begin())]);
        }
        std::string out;
        appendNumber(out, time);
        return out;
    }

private:
    const GraphicsTimeline& timeline_;
    std::vector<double> read_;
};

void writeRows(RowWriter& rows, const GraphicsTimeline& timeline, std::string_view sourceNote) {
    rows.line() = "# " + commentText(sourceNote);
    rows.endLine();
    std::string declarations;
    if (timeline.durationDeclared) {
        declarations = "# duration_seconds=";
        appendNumber(declarations, timeline.durationSeconds);
        declarations += '\n';
    }
    if (!timeline.sceneBoundaries.empty()) {
        declarations += "# scene_boundaries_seconds=";
        for (std::size_t i = 0; i < timeline.sceneBoundaries.size(); ++i) {
            if (i > 0) declarations += ',';
            appendNumber(declarations, boundarySeconds(timeline, timeline.sceneBoundaries[i]));
        }
        declarations += '\n';
    }
    if (!declarations.empty()) {
        declarations.pop_back();
        rows.line() = declarations;
        rows.endLine();
        declarations += '\n';
    }
    const FrameTimes times(timeline, declarations);
    rows.line() = "time,x1,y1,x2,y2";
    rows.endLine();
    for (const VisualFrame& frame : timeline.frames) {
        const std::string time = times.text(frame.time);
        if (frame.segmentRange.empty()) {
            rows.line() = time + ",,,,";
            rows.endLine();
            continue;
        }
        for (std::int64_t i = frame.segmentRange.lowerBound; i < frame.segmentRange.upperBound; ++i) {
            const Float4& e = timeline.segments[static_cast<std::size_t>(i)].endpoints;
            std::string& line = rows.line();
            line = time;
            for (const float value : {e.x, e.y, e.z, e.w}) {
                line += ',';
                appendNumber(line, value);
            }
            rows.endLine();
        }
    }
    rows.flush();
}

} // namespace

void writeGraphicsCsv(const std::filesystem::path& location, const GraphicsTimeline& timeline,
                      std::string_view sourceNote) {
    if (!timeline.sceneBoundaries.empty() && !timeline.durationDeclared) {
        throw ImportError("Scenes of equal length need the length of the show: give --duration or --music.");
    }
    if (outputLocationTaken(location)) throw ImportError("Output already exists: " + location.string());
    try {
        AtomicFile file(location);
        std::FILE* stream = file.stream();
        if (!stream) throw ImportError("Could not write " + location.string() + ": " + std::strerror(errno));
        RowWriter rows(stream, location);
        writeRows(rows, timeline, sourceNote);
        file.commit();
    } catch (const AtomicOutputError& error) {
        if (error.targetExists()) throw ImportError("Output already exists: " + location.string());
        throw ImportError(error.what());
    }
}

} // namespace drevik

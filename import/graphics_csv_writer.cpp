// The Graphics.csv writer (see graphics_csv_writer.hpp).
#include "import/graphics_csv_writer.hpp"

#include "platform/atomic_output.hpp"
#include "platform/file_bytes.hpp"
#include "import/imported_show.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

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

void writeRows(RowWriter& rows, const GraphicsTimeline& timeline, std::string_view sourceNote) {
    rows.line() = "# " + commentText(sourceNote);
    rows.endLine();
    if (timeline.durationDeclared) {
        rows.line() = "# duration_seconds=";
        appendNumber(rows.line(), timeline.durationSeconds);
        rows.endLine();
    }
    if (!timeline.sceneBoundaries.empty()) {
        std::string& line = rows.line();
        line = "# scene_boundaries_seconds=";
        for (std::size_t i = 0; i < timeline.sceneBoundaries.size(); ++i) {
            if (i > 0) line += ',';
            // The ends are written exactly, so that rounding never moves them outside the duration.
            const double b = timeline.sceneBoundaries[i];
            appendNumber(line, b <= 0 ? 0.0 : b >= 1 ? timeline.durationSeconds : b * timeline.durationSeconds);
        }
        rows.endLine();
    }
    rows.line() = "time,x1,y1,x2,y2";
    rows.endLine();
    for (const VisualFrame& frame : timeline.frames) {
        std::string time;
        appendNumber(time, frame.time);
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

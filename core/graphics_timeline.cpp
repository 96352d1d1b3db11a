// Graphics.csv reader and the frame lookups.
#include "core/graphics_timeline.hpp"

#include "core/csv_bytes.hpp"
#include "core/csv_contract_error.hpp"
#include "platform/file_bytes.hpp"
#include "platform/huge_pages.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <locale.h>
#include <stdlib.h>

namespace drevik {
namespace {

constexpr std::string_view kHeader = "time,x1,y1,x2,y2";
constexpr std::string_view kReasonHeader = "expected header time,x1,y1,x2,y2";
constexpr std::string_view kReasonFields = "expected five normalized fields";
constexpr std::string_view kReasonCoordinates =
    "coordinates must be all empty (clear) or normalized numbers from 0 to 1";
constexpr std::string_view kReasonBoundaryValues = "scene boundaries must be two or more finite seconds";
constexpr std::string_view kReasonBoundaryOrder = "scene boundaries must increase within the declared duration";

bool isNormalized(double value) { return value >= 0.0 && value <= 1.0; }

// Length of the Unicode space separator (or tab) encoded at the start of bytes, or 0.
std::size_t leadingSpaceLength(std::string_view bytes) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.empty()) {
        return 0;
    }
    if (at(0) == 0x20 || at(0) == 0x09) {
        return 1;
    }
    if (bytes.size() >= 2 && at(0) == 0xC2 && at(1) == 0xA0) {
        return 2; // no-break space
    }
    if (bytes.size() >= 3) {
        const unsigned a = at(0), b = at(1), c = at(2);
        if ((a == 0xE1 && b == 0x9A && c == 0x80) ||                    // ogham space mark
            (a == 0xE2 && b == 0x80 && ((c >= 0x80 && c <= 0x8A) || c == 0xAF)) || // en quad ... hair space, narrow nbsp
            (a == 0xE2 && b == 0x81 && c == 0x9F) ||                    // medium mathematical space
            (a == 0xE3 && b == 0x80 && c == 0x80)) {                    // ideographic space
            return 3;
        }
    }
    return 0;
}

// The same for a space separator that ends bytes.
std::size_t trailingSpaceLength(std::string_view bytes) {
    for (std::size_t length = 1; length <= 3 && length <= bytes.size(); ++length) {
        if (leadingSpaceLength(bytes.substr(bytes.size() - length)) == length) {
            return length;
        }
    }
    return 0;
}

std::string_view trimUnicodeSpaces(std::string_view bytes) {
    while (std::size_t n = leadingSpaceLength(bytes)) {
        bytes.remove_prefix(n);
    }
    while (std::size_t n = trailingSpaceLength(bytes)) {
        bytes.remove_suffix(n);
    }
    return bytes;
}

class CLocale {
public:
    CLocale() : locale_(::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr))) {}
    CLocale(const CLocale&) = delete;
    CLocale& operator=(const CLocale&) = delete;
    ~CLocale() {
        if (locale_ != static_cast<locale_t>(nullptr)) {
            ::freelocale(locale_);
        }
    }
    locale_t get() const { return locale_; }

private:
    locale_t locale_;
};

// One scene boundary piece: a standard floating-point literal in the C locale (decimal or
// hexadecimal), surrounded by nothing but Unicode spaces. None when it is anything else.
std::optional<double> boundarySeconds(std::string_view piece, const CLocale& cLocale) {
    piece = trimUnicodeSpaces(piece);
    if (piece.empty()) {
        return std::nullopt;
    }
    for (char c : piece) {
        // Any other non-ASCII character (or an invalid byte) cannot be part of a literal;
        // leading control white space would be skipped by strtod but is not a literal either.
        if (static_cast<unsigned char>(c) >= 0x80) {
            return std::nullopt;
        }
    }
    const char first = piece.front();
    if (first == '\n' || first == '\v' || first == '\f' || first == '\r') {
        return std::nullopt;
    }
    if (cLocale.get() == static_cast<locale_t>(nullptr)) {
        return std::nullopt;
    }
    const std::string text(piece);
    char* end = nullptr;
    const double value = ::strtod_l(text.c_str(), &end, cLocale.get());
    if (end != text.c_str() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The list after the first "=" of a "# scene_boundaries_seconds=" line: two or more finite
// seconds, else none. Values are neither ordered nor range-checked here.
std::optional<std::vector<double>> parseBoundaryList(std::string_view line) {
    const std::size_t equals = line.find('=');
    std::string_view list = equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
    const CLocale cLocale;
    std::vector<double> values;
    for (;;) {
        const std::size_t comma = list.find(',');
        const auto value = boundarySeconds(list.substr(0, comma), cLocale);
        if (!value || !std::isfinite(*value)) {
            return std::nullopt;
        }
        values.push_back(*value);
        if (comma == std::string_view::npos) {
            break;
        }
        list.remove_prefix(comma + 1);
    }
    if (values.size() < 2) {
        return std::nullopt;
    }
    return values;
}

} // namespace

namespace {

// The state of one reading pass; line() takes the file's trimmed lines in order.
class GraphicsReader {
public:
    GraphicsReader(const std::string& name, std::size_t sizeHint) : fileName(name) {
        segments.reserve(sizeHint / 32); // most rows are longer; files of shorter rows grow the array
        preferHugePages(segments.data(), segments.capacity() * sizeof(PackedLine));
    }

    void handleLine(std::string_view line, std::int64_t lineNumber) {
        if (line.empty()) {
            return;
        }
        if (line.front() == '#') {
            handleComment(line, lineNumber);
        } else if (CSVBytes::hasPrefix(line, "time,")) {
            handleHeader(line, lineNumber);
        } else {
            handleRow(line, lineNumber);
        }
    }

    GraphicsTimeline finish() && {
        if (!headerSeen) {
            throw CSVContractError::missingHeader(fileName);
        }
        finishFrame();
        if (!boundaries.empty()) {
            bool valid = boundaries.front() >= 0.0 && boundaries.back() <= duration;
            for (std::size_t i = 0; valid && i + 1 < boundaries.size(); ++i) {
                valid = boundaries[i] < boundaries[i + 1];
            }
            if (!valid) {
                throw CSVContractError::invalidRow(fileName, boundaryLine, std::string(kReasonBoundaryOrder));
            }
        }
        timeline.sceneBoundaries.reserve(boundaries.size());
        for (double seconds : boundaries) {
            timeline.sceneBoundaries.push_back(seconds / duration);
        }
        timeline.durationSeconds = duration;
        timeline.durationDeclared = durationDeclared;
        timeline.frames = std::move(frames);
        timeline.segments = std::move(segments);
        return std::move(timeline);
    }

private:
    // A duration or scene boundary declaration; any other comment says nothing.
    void handleComment(std::string_view line, std::int64_t lineNumber) {
        if (CSVBytes::hasPrefix(line, "# duration_seconds")) {
            duration = declaredDuration(line, fileName);
            durationDeclared = true;
        } else if (CSVBytes::hasPrefix(line, "# scene_boundaries_seconds=")) {
            auto list = parseBoundaryList(line);
            if (!list) {
                throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonBoundaryValues));
            }
            boundaries = std::move(*list);
            boundaryLine = lineNumber;
        }
    }

    void handleHeader(std::string_view line, std::int64_t lineNumber) {
        if (line != kHeader) {
            throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonHeader));
        }
        headerSeen = true;
    }

    // A data row: exactly five comma-separated fields. The common shape, five bare numbers, is
    // parsed in the pass that finds the commas; anything else (blanks, clear rows, broken rows)
    // takes the field-by-field path, which also reports errors in their order.
    void handleRow(std::string_view line, std::int64_t lineNumber) {
        if (!headerSeen) {
            throw CSVContractError::missingHeader(fileName);
        }
        double values[5];
        if (scanFiveNumbers(line, values)) {
            startRow(values[0], lineNumber);
            addSegment({values[1], values[2], values[3], values[4]}, lineNumber);
        } else {
            handleRowByFields(line, lineNumber);
        }
    }

    // True when line is exactly five numbers separated by single commas, with nothing around them.
    static bool scanFiveNumbers(std::string_view line, double (&values)[5]) {
        const char* cursor = line.data();
        const char* const end = cursor + line.size();
        for (int parsed = 0; parsed < 5; ++parsed) {
            cursor = CSVBytes::scanNumber(cursor, end, values[parsed]);
            if (cursor == nullptr) {
                return false;
            }
            if (parsed < 4) {
                if (cursor == end || *cursor != ',') {
                    return false;
                }
                ++cursor;
            }
        }
        return cursor == end;
    }

    void handleRowByFields(std::string_view line, std::int64_t lineNumber) {
        std::string_view fields[5];
        splitFiveFields(line, lineNumber, fields);
        const auto time = CSVBytes::number(fields[0]);
        startRow(time ? *time : -1.0, lineNumber);

        bool allBlank = true;
        for (int i = 1; i < 5; ++i) {
            fields[i] = CSVBytes::trim(fields[i]);
            allBlank = allBlank && fields[i].empty();
        }
        if (allBlank) {
            segments.resize(static_cast<std::size_t>(frameStart)); // clear: drop this frame's lines so far
            return;
        }
        double coordinates[4];
        for (int i = 0; i < 4; ++i) {
            const auto value = CSVBytes::number(fields[i + 1]);
            coordinates[i] = value ? *value : -1.0; // not a number: refused like a value out of range
        }
        addSegment(coordinates, lineNumber);
    }

    // The five fields of a row, untrimmed; exactly four commas or the row is refused.
    void splitFiveFields(std::string_view line, std::int64_t lineNumber, std::string_view (&fields)[5]) const {
        const char* cursor = line.data();
        const char* const end = cursor + line.size();
        for (int i = 0; i < 5; ++i) {
            const auto* comma =
                static_cast<const char*>(std::memchr(cursor, ',', static_cast<std::size_t>(end - cursor)));
            if ((comma == nullptr) != (i == 4)) {
                throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonFields));
            }
            const char* fieldEnd = comma != nullptr ? comma : end;
            fields[i] = std::string_view(cursor, static_cast<std::size_t>(fieldEnd - cursor));
            if (comma != nullptr) {
                cursor = comma + 1;
            }
        }
    }

    // Groups the row into the current frame, or finishes that frame and starts the next.
    void startRow(double time, std::int64_t lineNumber) {
        if (!isNormalized(time)) {
            throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonFields));
        }
        if (!haveFrame) {
            haveFrame = true;
            frameTime = time;
            frameStart = segmentCount();
        } else if (time < frameTime) {
            throw CSVContractError::unorderedTime(fileName, lineNumber);
        } else if (time > frameTime) {
            finishFrame();
            frameTime = time;
            frameStart = segmentCount();
        }
    }

    void addSegment(const double (&coordinates)[4], std::int64_t lineNumber) {
        for (double value : coordinates) {
            if (!isNormalized(value)) {
                throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonCoordinates));
            }
        }
        segments.push_back(PackedLine::make(static_cast<float>(coordinates[0]), static_cast<float>(coordinates[1]),
                                            static_cast<float>(coordinates[2]), static_cast<float>(coordinates[3])));
    }

    std::int64_t segmentCount() const { return static_cast<std::int64_t>(segments.size()); }

    void finishFrame() {
        if (haveFrame) {
            frames.push_back(VisualFrame{frameTime, IndexRange{frameStart, segmentCount()}});
        }
    }

    const std::string& fileName;
    GraphicsTimeline timeline;
    double duration = 300.0;
    bool durationDeclared = false;
    std::vector<double> boundaries;
    std::int64_t boundaryLine = 0;
    bool headerSeen = false;
    bool haveFrame = false;
    double frameTime = 0.0;
    std::int64_t frameStart = 0;
    std::vector<VisualFrame> frames;
    std::vector<PackedLine> segments;
};

} // namespace

GraphicsTimeline GraphicsTimeline::fromCsvFile(const std::filesystem::path& location) {
    // The file is read in pieces and its complete lines are handed on as they arrive, which
    // reads exactly like the whole file at once without holding all of it in memory.
    FileReader file(location);
    const std::string fileName = location.filename().string();
    GraphicsReader reader(fileName, file.sizeHint());
    std::string buffer(std::size_t{1} << 20, '\0');
    std::size_t carried = 0; // bytes of an unfinished line at the start of buffer
    std::int64_t linesDone = 0;
    const auto handOn = [&](std::string_view lines) {
        std::int64_t count = 0;
        CSVBytes::forEachLine(lines, [&](std::string_view line, std::int64_t lineNumber) {
            reader.handleLine(line, linesDone + lineNumber);
            count = lineNumber;
        });
        linesDone += count;
    };
    for (;;) {
        if (carried == buffer.size()) {
            buffer.resize(buffer.size() * 2); // a line longer than the buffer
        }
        const std::size_t got = file.read(buffer.data() + carried, buffer.size() - carried);
        if (got == 0) {
            break;
        }
        const auto* lastFeed = static_cast<const char*>(::memrchr(buffer.data() + carried, '\n', got));
        const std::size_t filled = carried + got;
        if (lastFeed == nullptr) {
            carried = filled;
            continue;
        }
        const auto complete = static_cast<std::size_t>(lastFeed - buffer.data());
        handOn(std::string_view(buffer.data(), complete));
        carried = filled - complete - 1;
        std::memmove(buffer.data(), lastFeed + 1, carried);
    }
    handOn(std::string_view(buffer.data(), carried)); // the last line, perhaps empty
    return std::move(reader).finish();
}

GraphicsTimeline GraphicsTimeline::fromCsvData(std::string_view bytes, const std::string& fileName) {
    GraphicsReader reader(fileName, bytes.size());
    CSVBytes::forEachLine(bytes, [&](std::string_view line, std::int64_t lineNumber) { reader.handleLine(line, lineNumber); });
    return std::move(reader).finish();
}

std::optional<std::int64_t> GraphicsTimeline::frameIndex(double t) const {
    if (frames.empty() || std::isnan(t) || t < frames.front().time) {
        return std::nullopt;
    }
    const auto after = std::upper_bound(frames.begin(), frames.end(), t,
                                        [](double time, const VisualFrame& frame) { return time < frame.time; });
    return static_cast<std::int64_t>(after - frames.begin()) - 1;
}

std::span<const PackedLine> GraphicsTimeline::lines(double t) const {
    const auto index = frameIndex(t);
    if (!index) {
        return {};
    }
    const IndexRange range = frames[static_cast<std::size_t>(*index)].segmentRange;
    return std::span<const PackedLine>(segments).subspan(static_cast<std::size_t>(range.lowerBound),
                                                         static_cast<std::size_t>(range.count()));
}

} // namespace drevik

// Feeds arbitrary bytes to the SVG reader and lays out what it accepts. A refusal must be a
// drevik::Error of one line; an accepted drawing must become segments inside the picture. Any other
// exception, a broken promise or a sanitizer report is a finding.
#include "platform/error.hpp"
#include "import/imported_show.hpp"
#include "import/svg_import.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require(bool condition, const char* promise) {
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", promise);
        std::abort();
    }
}

bool normalized(float value) { return value >= 0.0f && value <= 1.0f; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        drevik::ImportedSource source;
        source.drawings.push_back(drevik::readSvg(bytes, "fuzz.svg").drawing);
        source.names.push_back("fuzz.svg");
        require(!source.drawings.front().paths.empty(), "an accepted drawing has something to draw");
        const drevik::GraphicsTimeline timeline = drevik::buildImportedTimeline(source, std::nullopt);
        require(timeline.frames.size() == 1, "one drawing is one frame");
        for (const auto& line : timeline.segments) {
            const auto& e = line.endpoints;
            require(normalized(e.x) && normalized(e.y) && normalized(e.z) && normalized(e.w), "segments in the picture");
        }
    } catch (const drevik::Error& error) {
        const std::string_view text = error.what();
        require(!text.empty() && text.find('\n') == std::string_view::npos, "a refusal is one line");
    }
    return 0;
}

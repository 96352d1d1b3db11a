// The trace form (see trace_form.hpp).
#include "import/trace_form.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>

namespace drevik {
namespace {

std::optional<double> thresholdOption(const ImportRequest& request) {
    const std::string* text = request.option("--threshold");
    if (!text) {
        return std::nullopt;
    }
    double value = 0;
    const char* end = text->data() + text->size();
    const auto result = std::from_chars(text->data(), end, value);
    if (result.ec != std::errc() || result.ptr != end || !(value >= 0 && value <= 1)) {
        throw ImportError("--threshold needs a number from 0 to 1, not \"" + *text + "\".");
    }
    return value;
}

// A video's frames at `rate`: slot k shows the frame on screen at k / rate seconds, until the
// video's end; cuts move to the first slot that shows them.
void appendAsAnimation(const TracedMedia& media, double rate, ImportedSource& out) {
    const auto first = out.drawings.size();
    const auto slots = media.still ? std::size_t{1}
                                   : std::max<std::size_t>(1, std::size_t(std::ceil(media.durationSeconds * rate - 1e-6)));
    std::size_t frame = 0, cut = 0;
    for (std::size_t slot = 0; slot < slots; ++slot) {
        const double seconds = double(slot) / rate;
        bool cutHere = false;
        while (frame + 1 < media.frames.size() && media.frames[frame + 1].seconds <= seconds + 1e-6) {
            ++frame;
        }
        while (cut < media.cutSeconds.size() && media.cutSeconds[cut] <= seconds + 1e-6) {
            cutHere = true;
            ++cut;
        }
        if (cutHere && slot > 0) {
            out.cuts.push_back(out.drawings.size());
        }
        out.drawings.push_back(media.frames[frame].drawing);
    }
    if (first > 0) {
        out.cuts.push_back(first); // a new source, a new scene
    }
}

} // namespace

ImportedSource traceSources(const std::vector<std::string>& sources, const TraceMediaSettings& settings) {
    std::vector<TracedMedia> traced;
    std::vector<std::string> names;
    std::optional<double> rate;
    if (settings.framesPerSecond > 0) {
        rate = settings.framesPerSecond;
    }
    for (const std::string& source : sources) {
        traced.push_back(traceMedia(source, settings));
        names.push_back(std::filesystem::path(source).filename().string());
        if (!traced.back().still) {
            if (!rate) {
                rate = traced.back().framesPerSecond;
            }
        }
    }

    ImportedSource out;
    auto sameSize = [&] {
        for (const TracedMedia& media : traced) {
            const SourceBox& a = media.frames.front().drawing.box;
            const SourceBox& b = traced.front().frames.front().drawing.box;
            if (a.width != b.width || a.height != b.height) return false;
        }
        return true;
    };
    out.fitTogether = sameSize();
    if (!rate) {
        for (std::size_t k = 0; k < traced.size(); ++k) {
            out.drawings.push_back(std::move(traced[k].frames.front().drawing));
            out.names.push_back(names[k]);
        }
        return out;
    }
    out.framesPerSecond = rate;
    for (std::size_t k = 0; k < traced.size(); ++k) {
        const std::size_t before = out.drawings.size();
        appendAsAnimation(traced[k], *rate, out);
        out.names.insert(out.names.end(), out.drawings.size() - before, names[k]);
    }
    std::sort(out.cuts.begin(), out.cuts.end());
    return out;
}

ImportedSource readTraceForm(const ImportRequest& request) {
    TraceMediaSettings settings;
    settings.trace.threshold = thresholdOption(request);
    if (const std::optional<double> fps = request.positiveNumber("--fps")) {
        settings.framesPerSecond = *fps;
    }
    return traceSources(request.sources, settings);
}

} // namespace drevik

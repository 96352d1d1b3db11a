// Thresholding and outline tracing of one picture with potrace.
#include "import/trace.hpp"

#include <potracelib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <memory>

namespace drevik {
namespace {

using Histogram = std::array<std::uint64_t, 256>;

Histogram histogramOf(const LuminanceFrame& frame) {
    Histogram counts{};
    for (const std::uint8_t v : frame.pixels) {
        ++counts[v];
    }
    return counts;
}

// True when the dark pixels are the picture's ground (they hold most of its border), so the
// bright ones are outlined.
bool darkIsGround(const LuminanceFrame& frame, int level) {
    const int w = frame.width, h = frame.height;
    std::uint64_t dark = 0, all = 0;
    auto count = [&](int x, int y) {
        dark += frame.pixels[std::size_t(y) * std::size_t(w) + std::size_t(x)] <= level;
        ++all;
    };
    for (int x = 0; x < w; ++x) {
        count(x, 0);
        count(x, h - 1);
    }
    for (int y = 1; y + 1 < h; ++y) {
        count(0, y);
        count(w - 1, y);
    }
    return dark * 2 > all;
}

struct PotraceBitmap {
    potrace_bitmap_t bitmap{};
    std::vector<potrace_word> words;
};

constexpr int wordBits = int(sizeof(potrace_word) * CHAR_BIT);

// Row y of the picture is potrace's line y, so its coordinates come out with y downwards.
PotraceBitmap bitmapOf(const LuminanceFrame& frame, const std::array<bool, 256>& foreground) {
    PotraceBitmap out;
    const int perRow = (frame.width + wordBits - 1) / wordBits;
    out.words.assign(std::size_t(perRow) * std::size_t(frame.height), 0);
    for (int y = 0; y < frame.height; ++y) {
        const std::uint8_t* row = frame.pixels.data() + std::size_t(y) * std::size_t(frame.width);
        potrace_word* target = out.words.data() + std::size_t(y) * std::size_t(perRow);
        for (int word = 0; word < perRow; ++word) {
            potrace_word bits = 0;
            const int first = word * wordBits, last = std::min(frame.width, first + wordBits);
            for (int x = first; x < last; ++x) {
                bits |= potrace_word(foreground[row[x]]) << (wordBits - 1 - (x - first));
            }
            target[word] = bits;
        }
    }
    out.bitmap.w = frame.width;
    out.bitmap.h = frame.height;
    out.bitmap.dy = perRow;
    out.bitmap.map = out.words.data();
    return out;
}

Point2 point(const potrace_dpoint_t& p) { return {p.x, p.y}; }

VectorPath pathOf(const potrace_curve_t& curve) {
    VectorPath path;
    const int n = curve.n;
    path.start = point(curve.c[n - 1][2]);
    for (int k = 0; k < n; ++k) {
        if (curve.tag[k] == POTRACE_CORNER) {
            path.lineTo(point(curve.c[k][1]));
            path.lineTo(point(curve.c[k][2]));
        } else {
            path.cubicTo(point(curve.c[k][0]), point(curve.c[k][1]), point(curve.c[k][2]));
        }
    }
    return path; // its last piece ends at its start
}

struct ParamFreer {
    void operator()(potrace_param_t* p) const { potrace_param_free(p); }
};
struct StateFreer {
    void operator()(potrace_state_t* s) const { potrace_state_free(s); }
};

} // namespace

int speckArea(int width, int height) {
    return std::max(2, int(std::lround(double(width) * double(height) / 500000.0)));
}

Threshold otsuThreshold(const LuminanceFrame& frame) {
    const Histogram counts = histogramOf(frame);
    double total = 0, weightedTotal = 0;
    for (int v = 0; v < 256; ++v) {
        total += double(counts[std::size_t(v)]);
        weightedTotal += double(v) * double(counts[std::size_t(v)]);
    }
    double below = 0, weightedBelow = 0, best = -1;
    Threshold chosen;
    double meanGap = 0;
    for (int v = 0; v < 255; ++v) {
        below += double(counts[std::size_t(v)]);
        weightedBelow += double(v) * double(counts[std::size_t(v)]);
        const double above = total - below;
        if (below == 0 || above == 0) {
            continue;
        }
        const double meanBelow = weightedBelow / below, meanAbove = (weightedTotal - weightedBelow) / above;
        const double between = below * above * (meanAbove - meanBelow) * (meanAbove - meanBelow);
        if (between > best) {
            best = between;
            chosen.level = v;
            meanGap = meanAbove - meanBelow;
        }
    }
    chosen.separates = best >= 0 && meanGap >= 256.0 / 16.0;
    return chosen;
}

Threshold fixedThreshold(const LuminanceFrame& frame, double threshold) {
    Threshold chosen;
    chosen.level = int(std::floor(std::clamp(threshold, 0.0, 1.0) * 255.0 + 1e-9));
    bool dark = false, bright = false;
    for (const std::uint8_t v : frame.pixels) {
        (v <= chosen.level ? dark : bright) = true;
        if (dark && bright) {
            break;
        }
    }
    chosen.separates = dark && bright;
    return chosen;
}

std::vector<bool> foregroundPixels(const LuminanceFrame& frame, const Threshold& threshold) {
    std::vector<bool> out(frame.pixels.size(), false);
    if (!threshold.separates) {
        return out;
    }
    const bool bright = darkIsGround(frame, threshold.level);
    for (std::size_t k = 0; k < out.size(); ++k) {
        out[k] = (frame.pixels[k] <= threshold.level) != bright;
    }
    return out;
}

VectorDrawing tracePicture(const LuminanceFrame& frame, const TraceSettings& settings) {
    VectorDrawing drawing;
    drawing.box = {0, 0, double(frame.width), double(frame.height)};
    const Threshold threshold =
        settings.threshold ? fixedThreshold(frame, *settings.threshold) : otsuThreshold(frame);
    if (!threshold.separates || frame.width <= 0 || frame.height <= 0) {
        return drawing;
    }
    const bool bright = darkIsGround(frame, threshold.level);
    std::array<bool, 256> foreground{};
    for (int v = 0; v < 256; ++v) {
        foreground[std::size_t(v)] = (v <= threshold.level) != bright;
    }
    const PotraceBitmap bitmap = bitmapOf(frame, foreground);

    std::unique_ptr<potrace_param_t, ParamFreer> parameters(potrace_param_default());
    if (!parameters) {
        throw PictureSourceError("Could not trace a picture: out of memory");
    }
    parameters->turdsize = speckArea(frame.width, frame.height);
    std::unique_ptr<potrace_state_t, StateFreer> state(potrace_trace(parameters.get(), &bitmap.bitmap));
    if (!state || state->status != POTRACE_STATUS_OK) {
        throw PictureSourceError("Could not trace a picture: out of memory");
    }
    for (const potrace_path_t* path = state->plist; path != nullptr; path = path->next) {
        if (path->curve.n > 0) {
            drawing.paths.push_back(pathOf(path->curve));
        }
    }
    return drawing;
}

} // namespace drevik

#pragma once
// Tracing one picture into outlines: the luminance is split at a threshold into two kinds of
// pixel, the kind that is not the ground (the ground being the kind that holds most of the
// picture's border) is traced with potrace, specks are dropped and the curves are kept as
// curves, in pixel units with y downwards.
#include "import/picture_source.hpp"
#include "import/vector_drawing.hpp"

#include <optional>

namespace drevik {

struct TraceSettings {
    // 0...1 of the luminance; none: chosen for each picture by Otsu's method.
    std::optional<double> threshold;
};

struct Threshold {
    int level = 0;          // pixels up to this luminance are dark, the others bright
    bool separates = false; // false: nothing in the picture stands out, it traces to nothing
};

// Otsu's method: the level that best separates the histogram into two classes; it does not
// separate when the two classes' means are closer than a sixteenth of the range.
Threshold otsuThreshold(const LuminanceFrame& frame);
// The level for a threshold given as 0...1 (pixels at or below it are dark).
Threshold fixedThreshold(const LuminanceFrame& frame, double threshold);

// Closed outlines in the picture's pixels, box = the whole picture. A picture whose pixels are
// all of one kind gives no paths. Throws PictureSourceError when potrace fails (out of memory).
VectorDrawing tracePicture(const LuminanceFrame& frame, const TraceSettings& settings);

// The foreground a threshold gives: true for the pixels that tracePicture outlines.
std::vector<bool> foregroundPixels(const LuminanceFrame& frame, const Threshold& threshold);

// Specks smaller than this many pixels are dropped: about a half-millionth of the picture, at
// least 2.
int speckArea(int width, int height);

} // namespace drevik

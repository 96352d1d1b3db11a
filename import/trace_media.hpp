#pragma once
// A picture or a whole video traced frame by frame: one thread decodes, the others trace frames
// side by side, and the drawings come back in the video's order with their times. A frame very
// unlike the one before it (a cut) starts a new scene.
#include "import/trace.hpp"

#include <string>
#include <vector>

namespace drevik {

struct TraceMediaSettings {
    TraceSettings trace;
    double framesPerSecond = 0; // 0: the video's own frame times
    int threads = 0;            // tracing threads; 0: one per core
};

struct TracedFrame {
    double seconds = 0;
    VectorDrawing drawing;
};

struct TracedMedia {
    std::vector<TracedFrame> frames;  // times increasing from 0
    std::vector<double> cutSeconds;   // where a cut starts a new scene, increasing, above 0
    double durationSeconds = 0;       // to the end of the last frame; 0 for a single picture
    bool still = false;               // a picture rather than a video
    double framesPerSecond = 0;       // the source's own rate
};

// Throws PictureSourceError (no picture or video, a video without pictures, a broken stream)
// or drevik::Error when the file cannot be read.
TracedMedia traceMedia(const std::string& location, const TraceMediaSettings& settings);

// How unlike two frames are, 0 (equal) to 1, measured on small copies of their luminance so that
// motion and noise count little; frames of different sizes are entirely unlike.
struct FrameSignature {
    int width = 0, height = 0;
    std::vector<float> cells; // 32 × 18 mean luminances, 0...1
};
FrameSignature signatureOf(const LuminanceFrame& frame);
double frameDifference(const FrameSignature& a, const FrameSignature& b);
// A difference above this is a cut.
inline constexpr double cutDifference = 0.15;

} // namespace drevik

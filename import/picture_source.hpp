#pragma once
// Pictures and videos decoded with FFmpeg into luminance frames, one after the other, for
// tracing. PNG, JPEG and the other still pictures read as a video of one frame. Transparent
// pixels are laid over a ground that sets the opaque ones apart: black under light pictures,
// white under dark ones.
#include "platform/error.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drevik {

// The largest picture traced: 100 million pixels (a 1920×1080 frame has about 2 million).
inline constexpr long long maximumPicturePixels = 100'000'000;

// A source that cannot be read as pictures: one line naming the file and the reason.
class PictureSourceError : public Error {
public:
    using Error::Error;
};

// Luminance 0 (black) to 255 (white), full range, rows from the top.
struct LuminanceFrame {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels; // width × height
    double seconds = 0;               // from the source's first frame
};

// True when the first bytes of a file are those of a picture or video container FFmpeg reads:
// PNG, JPEG, GIF, WebP, TIFF, BMP with its header, MP4 and QuickTime, Matroska and WebM, AVI,
// Ogg, FLV, MPEG program and transport streams. Only signatures no text file begins with count,
// so a Graphics.csv, even a broken one, never looks like a picture.
bool looksLikePictureOrVideo(std::string_view bytes);

// FFmpeg's own messages off: the programs say what went wrong in their one line. For the start-up
// of a program, never inside the library.
void silenceMediaLog();

class PictureSource {
public:
    // Opens the file and its first video stream. Throws PictureSourceError: the file is no
    // picture or video, or holds no pictures (sound only); drevik::Error when it cannot be read.
    explicit PictureSource(const std::string& location);
    ~PictureSource();
    PictureSource(const PictureSource&) = delete;
    PictureSource& operator=(const PictureSource&) = delete;

    // The stream's frame rate (the container's guess for a still picture).
    double framesPerSecond() const { return framesPerSecond_; }
    const std::string& name() const { return name_; }

    // The next frame; none at the end. A broken stream or a picture larger than
    // maximumPicturePixels throws PictureSourceError.
    std::optional<LuminanceFrame> next();

private:
    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
    std::string name_;
    double framesPerSecond_ = 0;
};

} // namespace drevik

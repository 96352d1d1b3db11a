#pragma once
// Which FFmpeg encoder writes an export format and how it is set up: the software encoders of each
// codec, whether one is usable in this process (present, and not a stand-in of the portable bundle),
// the pixel format it is fed and its options for quality and speed. Used by the movie encoder.
#include "output/output_format.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string_view>
#include <vector>

namespace drevik {

// The encoder is in this FFmpeg and its codec library is not a stand-in that does nothing.
bool encoderUsable(const char* name);
// The software encoders of the codec, preferred first.
std::vector<const char*> softwareEncoders(VideoCodec codec);

// Encoders that take their options the same way.
enum class EncoderFamily { x26x, nvenc, vaapi, svtav1, aom, vpx, prores };
EncoderFamily familyOf(std::string_view name);

// The pixel format the encoder is fed for the format (VAAPI: frames on the device).
AVPixelFormat encodedPixelFormat(const OutputFormat& format, EncoderFamily family);

// The encoder's private options for the format's quality and preset. Without either, H.264 and HEVC
// keep the fixed bit rate and the encoders' own speed; see README.md for the mapped scales.
void applyQualityAndPreset(AVCodecContext& context, const OutputFormat& format, EncoderFamily family,
                           AVDictionary** options);

} // namespace drevik

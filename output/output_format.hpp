#pragma once
// What an export writes: the video codec, the container, the quality and speed settings, whether the
// picture keeps an alpha channel, and whether a movie or a folder of numbered PNG files is made. One
// value decided from the command line before anything renders; everything after only reads it.
#include "platform/error.hpp"

#include <compare>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace drevik {

enum class VideoCodec { h264, hevc, av1, vp9, prores };
// frames: numbered PNG files and a WAV soundtrack in a folder instead of a movie.
enum class Container { mp4, mkv, webm, mov, frames };

// The x264 speed presets, fastest first; the other encoders get mapped equivalents.
enum class EncoderPreset { ultrafast, superfast, veryfast, faster, fast, medium, slow, slower, veryslow };

std::string_view codecName(VideoCodec codec);
std::string_view containerName(Container container);
std::string_view presetName(EncoderPreset preset);

// A choice that cannot be written; the message is the one line shown to the user.
class OutputFormatError : public Error {
public:
    using Error::Error;
};

struct OutputFormat {
    VideoCodec codec = VideoCodec::h264;
    Container container = Container::mp4;
    // Constant quality on the CRF scale, 0 best to 51 worst; the fixed bit rate when absent.
    std::optional<int> quality;
    std::optional<EncoderPreset> preset;
    // Straight (not premultiplied) alpha: PNG, ProRes 4444, VP9 with alpha.
    bool transparent = false;

    bool isFrameSequence() const { return container == Container::frames; }
    // "h264 in mp4", "prores in mov, quality 20, preset fast, transparent", "png frames, transparent".
    std::string description() const;

    friend bool operator==(const OutputFormat&, const OutputFormat&) = default;
};

// The raw texts of the options that choose the format, as given on the command line.
struct OutputFormatRequest {
    std::optional<std::string> codec;
    std::optional<std::string> quality;
    std::optional<std::string> preset;
    bool transparent = false;
    // The --movie argument ended in a path separator: a frame sequence folder.
    bool frameSequence = false;

    friend bool operator==(const OutputFormatRequest&, const OutputFormatRequest&) = default;
};

// Decides the format of a movie at `movie` (container from its extension; anything but .mkv, .webm
// and .mov is MP4; a .webm without --codec takes vp9). Throws OutputFormatError, naming what is
// possible, for an unknown codec or preset, a quality outside 0...51, a codec the container cannot
// hold, or transparency the codec cannot carry. Nothing is looked up in FFmpeg here.
OutputFormat chooseMovieFormat(const OutputFormatRequest& request, const std::filesystem::path& movie);

// The format of a snapshot: a PNG, with alpha when asked. Movie-only options are refused.
OutputFormat chooseSnapshotFormat(const OutputFormatRequest& request);

} // namespace drevik

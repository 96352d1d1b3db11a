#include "output/output_format.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <utility>
#include <vector>

namespace drevik {

namespace {

constexpr std::array codecs = {VideoCodec::h264, VideoCodec::hevc, VideoCodec::av1, VideoCodec::vp9,
                               VideoCodec::prores};
constexpr std::array presets = {EncoderPreset::ultrafast, EncoderPreset::superfast, EncoderPreset::veryfast,
                                EncoderPreset::faster,    EncoderPreset::fast,      EncoderPreset::medium,
                                EncoderPreset::slow,      EncoderPreset::slower,    EncoderPreset::veryslow};

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "a, b or c"
template <typename List, typename Name>
std::string alternatives(const List& list, Name name) {
    std::string text;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0) text += i + 1 == list.size() ? " or " : ", ";
        text += name(list[i]);
    }
    return text;
}

std::vector<VideoCodec> codecsOf(Container container) {
    switch (container) {
    case Container::mp4: return {VideoCodec::h264, VideoCodec::hevc, VideoCodec::av1};
    case Container::mkv: return {codecs.begin(), codecs.end()};
    case Container::webm: return {VideoCodec::vp9, VideoCodec::av1};
    case Container::mov: return {VideoCodec::h264, VideoCodec::hevc, VideoCodec::prores};
    case Container::frames: return {};
    }
    return {};
}

bool carriesAlpha(VideoCodec codec) { return codec == VideoCodec::prores || codec == VideoCodec::vp9; }

Container containerOf(const std::filesystem::path& movie) {
    const std::string extension = lowerCase(movie.extension().string());
    if (extension == ".mkv") return Container::mkv;
    if (extension == ".webm") return Container::webm;
    if (extension == ".mov") return Container::mov;
    return Container::mp4;
}

VideoCodec parseCodec(const std::string& text) {
    const std::string name = lowerCase(text);
    for (VideoCodec codec : codecs) {
        if (name == codecName(codec)) return codec;
    }
    throw OutputFormatError("Unknown --codec " + text + "; choose " +
                            alternatives(codecs, [](VideoCodec c) { return std::string(codecName(c)); }) + ".");
}

int parseQuality(const std::string& text) {
    int quality = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), quality);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || quality < 0 || quality > 51) {
        throw OutputFormatError("--quality takes a whole number from 0 (best) to 51 (smallest), got " + text + ".");
    }
    return quality;
}

EncoderPreset parsePreset(const std::string& text) {
    const std::string name = lowerCase(text);
    for (EncoderPreset preset : presets) {
        if (name == presetName(preset)) return preset;
    }
    throw OutputFormatError("Unknown --preset " + text + "; choose " +
                            alternatives(presets, [](EncoderPreset p) { return std::string(presetName(p)); }) +
                            ".");
}

} // namespace

std::string_view codecName(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::h264: return "h264";
    case VideoCodec::hevc: return "hevc";
    case VideoCodec::av1: return "av1";
    case VideoCodec::vp9: return "vp9";
    case VideoCodec::prores: return "prores";
    }
    return "h264";
}

std::string_view containerName(Container container) {
    switch (container) {
    case Container::mp4: return "mp4";
    case Container::mkv: return "mkv";
    case Container::webm: return "webm";
    case Container::mov: return "mov";
    case Container::frames: return "frames";
    }
    return "mp4";
}

std::string_view presetName(EncoderPreset preset) {
    switch (preset) {
    case EncoderPreset::ultrafast: return "ultrafast";
    case EncoderPreset::superfast: return "superfast";
    case EncoderPreset::veryfast: return "veryfast";
    case EncoderPreset::faster: return "faster";
    case EncoderPreset::fast: return "fast";
    case EncoderPreset::medium: return "medium";
    case EncoderPreset::slow: return "slow";
    case EncoderPreset::slower: return "slower";
    case EncoderPreset::veryslow: return "veryslow";
    }
    return "medium";
}

std::string OutputFormat::description() const {
    std::string text = isFrameSequence() ? std::string("png frames")
                                         : std::string(codecName(codec)) + " in " + std::string(containerName(container));
    if (quality) text += ", quality " + std::to_string(*quality);
    if (preset) text += ", preset " + std::string(presetName(*preset));
    if (transparent) text += ", transparent";
    return text;
}

OutputFormat chooseMovieFormat(const OutputFormatRequest& request, const std::filesystem::path& movie) {
    OutputFormat format;
    format.transparent = request.transparent;
    if (request.frameSequence) {
        if (request.codec || request.quality || request.preset) {
            throw OutputFormatError("A frame sequence is written as PNG files; leave out --codec, --quality and "
                                    "--preset, or name a movie file instead of a folder.");
        }
        format.container = Container::frames;
        return format;
    }
    format.container = containerOf(movie);
    if (request.codec) {
        format.codec = parseCodec(*request.codec);
    } else if (format.container == Container::webm) {
        format.codec = VideoCodec::vp9;
    } else if (request.transparent && format.container == Container::mov) {
        format.codec = VideoCodec::prores;
    }
    if (request.quality) format.quality = parseQuality(*request.quality);
    if (request.preset) format.preset = parsePreset(*request.preset);

    const std::vector<VideoCodec> held = codecsOf(format.container);
    if (std::find(held.begin(), held.end(), format.codec) == held.end()) {
        throw OutputFormatError("A ." + std::string(containerName(format.container)) + " movie cannot hold " +
                                std::string(codecName(format.codec)) + "; use " +
                                alternatives(held, [](VideoCodec c) { return std::string(codecName(c)); }) +
                                ", or .mkv, which holds every codec.");
    }
    if (format.transparent && !carriesAlpha(format.codec)) {
        throw OutputFormatError("--transparent needs a codec with alpha: prores in .mov or .mkv, or vp9 in .webm "
                                "or .mkv (" + std::string(codecName(format.codec)) + " has none).");
    }
    return format;
}

OutputFormat chooseSnapshotFormat(const OutputFormatRequest& request) {
    if (request.codec || request.quality || request.preset) {
        throw OutputFormatError("--codec, --quality and --preset apply to --movie only; a snapshot is a PNG.");
    }
    OutputFormat format;
    format.container = Container::frames;
    format.transparent = request.transparent;
    return format;
}

} // namespace drevik

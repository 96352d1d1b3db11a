#include "output/encoder_choice.hpp"

#include "output/movie_encoder.hpp"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <dlfcn.h>
#include <link.h>
#include <string>

namespace drevik {

namespace {

// The shared library an external encoder lives in, by the start of its soname.
const char* libraryOfEncoder(std::string_view encoder) {
    if (encoder == "libx264") return "libx264.so";
    if (encoder == "libx265") return "libx265.so";
    if (encoder == "libsvtav1") return "libSvtAv1Enc.so";
    if (encoder == "libaom-av1") return "libaom.so";
    if (encoder == "libvpx-vp9") return "libvpx.so";
    if (encoder == "libopus") return "libopus.so";
    return nullptr;
}

struct LibrarySearch {
    const char* prefix;
    bool stub = false;
};

// A library loaded in this process whose file name starts with the prefix and that carries the mark
// of a stand-in (packaging/bundle/make_bundle.py writes it into every stub).
int markStubs(dl_phdr_info* info, std::size_t, void* data) {
    auto& search = *static_cast<LibrarySearch*>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
    const std::string_view path(info->dlpi_name);
    const std::string_view file = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    if (!file.starts_with(search.prefix)) return 0;
    if (void* handle = ::dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD)) {
        if (::dlsym(handle, "drevik_stub_library") != nullptr) search.stub = true;
        ::dlclose(handle);
    }
    return 0;
}

// The quality 0...51 on a scale of 0...top, rounded.
int scaledQuality(int quality, int top) { return (quality * top + 25) / 51; }

void setOption(AVDictionary** options, const char* key, int value) {
    av_dict_set(options, key, std::to_string(value).c_str(), 0);
}

// The usable codecs, for the refusal's "this FFmpeg writes ..." list.
std::string usableCodecs() {
    std::string text;
    for (VideoCodec codec : {VideoCodec::h264, VideoCodec::hevc, VideoCodec::av1, VideoCodec::vp9, VideoCodec::prores}) {
        if (softwareVideoEncoder(codec).empty()) continue;
        text += (text.empty() ? "" : ", ") + std::string(codecName(codec));
    }
    return text.empty() ? "none" : text;
}

} // namespace

bool encoderUsable(const char* name) {
    if (avcodec_find_encoder_by_name(name) == nullptr) return false;
    const char* library = libraryOfEncoder(name);
    if (library == nullptr) return true;
    LibrarySearch search{library};
    ::dl_iterate_phdr(markStubs, &search);
    return !search.stub;
}

std::vector<const char*> softwareEncoders(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::h264: return {"libx264"};
    case VideoCodec::hevc: return {"libx265"};
    case VideoCodec::av1: return {"libsvtav1", "libaom-av1"};
    case VideoCodec::vp9: return {"libvpx-vp9"};
    case VideoCodec::prores: return {"prores_ks"};
    }
    return {};
}

EncoderFamily familyOf(std::string_view name) {
    if (name.ends_with("_nvenc")) return EncoderFamily::nvenc;
    if (name.ends_with("_vaapi")) return EncoderFamily::vaapi;
    if (name == "libsvtav1") return EncoderFamily::svtav1;
    if (name == "libaom-av1") return EncoderFamily::aom;
    if (name == "libvpx-vp9") return EncoderFamily::vpx;
    if (name == "prores_ks") return EncoderFamily::prores;
    return EncoderFamily::x26x;
}

AVPixelFormat encodedPixelFormat(const OutputFormat& format, EncoderFamily family) {
    if (family == EncoderFamily::vaapi) return AV_PIX_FMT_VAAPI;
    if (format.codec == VideoCodec::prores) {
        return format.transparent ? AV_PIX_FMT_YUVA444P10LE : AV_PIX_FMT_YUV422P10LE;
    }
    if (format.codec == VideoCodec::vp9 && format.transparent) return AV_PIX_FMT_YUVA420P;
    return AV_PIX_FMT_YUV420P;
}

void applyQualityAndPreset(AVCodecContext& context, const OutputFormat& format, EncoderFamily family,
                           AVDictionary** options) {
    const int speed = format.preset ? static_cast<int>(*format.preset) : -1; // 0 ultrafast ... 8 veryslow
    if (format.quality) context.bit_rate = 0;
    switch (family) {
    case EncoderFamily::x26x:
        if (format.quality) setOption(options, "crf", *format.quality);
        if (format.preset) av_dict_set(options, "preset", std::string(presetName(*format.preset)).c_str(), 0);
        if (format.codec == VideoCodec::hevc) av_dict_set(options, "x265-params", "log-level=none", 0);
        break;
    case EncoderFamily::nvenc:
        if (format.quality) {
            av_dict_set(options, "rc", "vbr", 0);
            setOption(options, "cq", std::max(1, *format.quality));
        }
        if (format.preset) av_dict_set(options, "preset", ("p" + std::to_string(1 + (speed * 6 + 4) / 8)).c_str(), 0);
        break;
    case EncoderFamily::vaapi:
        if (format.quality) {
            av_dict_set(options, "rc_mode", "CQP", 0);
            context.global_quality = *format.quality;
        }
        break;
    case EncoderFamily::svtav1:
        if (format.quality) setOption(options, "crf", scaledQuality(*format.quality, 63));
        if (format.preset) setOption(options, "preset", 12 - speed);
        break;
    case EncoderFamily::aom:
        if (format.quality) setOption(options, "crf", scaledQuality(*format.quality, 63));
        setOption(options, "cpu-used", format.preset ? 8 - speed : 6);
        setOption(options, "row-mt", 1);
        break;
    case EncoderFamily::vpx: {
        if (format.quality) setOption(options, "crf", scaledQuality(*format.quality, 63));
        // ultrafast to veryfast use the real-time mode, the rest the good-quality one.
        static constexpr int cpuUsed[] = {8, 7, 6, 5, 4, 3, 2, 1, 0};
        av_dict_set(options, "deadline", speed >= 0 && speed <= 2 ? "realtime" : "good", 0);
        setOption(options, "cpu-used", speed >= 0 ? cpuUsed[speed] : 4);
        setOption(options, "row-mt", 1);
        break;
    }
    case EncoderFamily::prores:
        // ProRes has no speed settings; quality is a fixed quantiser of 1 (best) to 64.
        if (format.quality) {
            context.flags |= AV_CODEC_FLAG_QSCALE;
            context.global_quality = (1 + scaledQuality(*format.quality, 63)) * FF_QP2LAMBDA;
        }
        av_dict_set(options, "profile", format.transparent ? "4444" : "hq", 0);
        break;
    }
}

std::string softwareVideoEncoder(VideoCodec codec) {
    for (const char* name : softwareEncoders(codec)) {
        if (encoderUsable(name)) return name;
    }
    return {};
}

std::string audioEncoderFor(Container container) {
    const char* name = container == Container::webm ? "libopus" : "aac";
    return encoderUsable(name) ? name : std::string();
}

void requireEncoders(const OutputFormat& format) {
    if (format.isFrameSequence()) return;
    if (softwareVideoEncoder(format.codec).empty()) {
        throw OutputFormatError("The " + std::string(codecName(format.codec)) +
                                " encoder is missing from this FFmpeg; it writes " + usableCodecs() + ".");
    }
    if (audioEncoderFor(format.container).empty()) {
        throw OutputFormatError(std::string(format.container == Container::webm ? "The Opus" : "The AAC") +
                                " audio encoder that a ." + std::string(containerName(format.container)) +
                                " movie needs is missing from this FFmpeg; use .mkv or .mp4.");
    }
}

} // namespace drevik

// FFmpeg decoding of pictures and videos into luminance; every FFmpeg handle is owned here.
#include "import/picture_source.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace drevik {
namespace {

struct FormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScaleFreer {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// Codecs that turn text into pictures; a text file is not a picture.
bool drawsText(AVCodecID codec) {
    return codec == AV_CODEC_ID_ANSI || codec == AV_CODEC_ID_BINTEXT || codec == AV_CODEC_ID_XBIN ||
           codec == AV_CODEC_ID_IDF;
}

// Planar luminance formats whose first plane is the luminance itself.
bool lumaPlaneFirst(AVPixelFormat format) {
    const AVPixFmtDescriptor* description = av_pix_fmt_desc_get(format);
    return description != nullptr && !(description->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) &&
           !(description->flags & AV_PIX_FMT_FLAG_ALPHA) && (description->flags & AV_PIX_FMT_FLAG_PLANAR || description->nb_components == 1) &&
           description->comp[0].depth == 8 && description->comp[0].plane == 0 && description->comp[0].step == 1;
}

bool hasAlpha(AVPixelFormat format) {
    const AVPixFmtDescriptor* description = av_pix_fmt_desc_get(format);
    return description != nullptr && (description->flags & (AV_PIX_FMT_FLAG_ALPHA | AV_PIX_FMT_FLAG_PAL));
}

bool fullRange(const AVFrame& frame) {
    return frame.color_range == AVCOL_RANGE_JPEG || frame.format == AV_PIX_FMT_YUVJ420P ||
           frame.format == AV_PIX_FMT_YUVJ422P || frame.format == AV_PIX_FMT_YUVJ444P ||
           frame.format == AV_PIX_FMT_GRAY8;
}

} // namespace

bool looksLikePictureOrVideo(std::string_view bytes) {
    auto at = [&](std::size_t offset, std::string_view signature) {
        return bytes.size() >= offset + signature.size() && bytes.substr(offset, signature.size()) == signature;
    };
    using namespace std::string_view_literals;
    if (at(0, "\x89PNG\r\n\x1a\n"sv) || at(0, "\xFF\xD8\xFF"sv) || at(0, "GIF87a"sv) || at(0, "GIF89a"sv) ||
        at(0, "II*\0"sv) || at(0, "MM\0*"sv) || at(0, "\x1A\x45\xDF\xA3"sv) || at(0, "OggS\0"sv) ||
        at(0, "FLV\x01"sv) || at(0, "\0\0\x01\xBA"sv)) {
        return true;
    }
    if (at(0, "RIFF"sv) && (at(8, "WEBP"sv) || at(8, "AVI "sv))) {
        return true;
    }
    // MP4 and QuickTime: a box size, then "ftyp" (or an old file's first "moov"/"mdat" box).
    if (at(4, "ftyp"sv) || (bytes.size() >= 8 && bytes[0] == 0 && (at(4, "moov"sv) || at(4, "mdat"sv)))) {
        return true;
    }
    // BMP: "BM", then a header whose size field is one of the known ones.
    auto byte = [&](std::size_t k) { return std::uint32_t(static_cast<unsigned char>(bytes[k])); };
    if (at(0, "BM"sv) && bytes.size() >= 18) {
        const std::uint32_t header = byte(14) | byte(15) << 8 | byte(16) << 16 | byte(17) << 24;
        return header == 12 || header == 40 || header == 52 || header == 56 || header == 108 || header == 124;
    }
    // MPEG transport stream: binary packets of 188 bytes, each starting with the sync byte.
    if (bytes.size() < 188 * 5) {
        return false;
    }
    for (std::size_t packet = 0; packet < 5; ++packet) {
        if (byte(packet * 188) != 0x47) {
            return false;
        }
    }
    for (std::size_t k = 0; k < 188; ++k) {
        if (byte(k) == 0 || byte(k) >= 0x80) {
            return true;
        }
    }
    return false;
}

void silenceMediaLog() { av_log_set_level(AV_LOG_QUIET); }

struct PictureSource::Decoder {
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVFrame, FrameFreer> frame{av_frame_alloc()};
    std::unique_ptr<AVPacket, PacketFreer> packet{av_packet_alloc()};
    std::unique_ptr<SwsContext, ScaleFreer> scaler;
    int stream = -1;
    bool draining = false;
    std::int64_t firstTimestamp = AV_NOPTS_VALUE;
    std::int64_t framesOut = 0;
    std::vector<std::uint8_t> withAlpha; // gray and alpha pairs
};

PictureSource::PictureSource(const std::string& location)
    : decoder_(std::make_unique<Decoder>()), name_(std::filesystem::path(location).filename().string()) {
    std::error_code status;
    if (!std::filesystem::is_regular_file(location, status)) {
        const std::string reason = std::filesystem::is_directory(location, status) ? std::strerror(EISDIR)
                                   : std::filesystem::exists(location, status)         ? "not a regular file"
                                                                                       : std::strerror(ENOENT);
        throw Error("Could not read " + location + ": " + reason);
    }
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, location.c_str(), nullptr, nullptr) < 0) {
        throw PictureSourceError(name_ + " is no picture or video");
    }
    decoder_->format.reset(opened);
    if (avformat_find_stream_info(opened, nullptr) < 0) {
        throw PictureSourceError(name_ + " is no picture or video");
    }
    bool anyStream = false;
    for (unsigned k = 0; k < opened->nb_streams; ++k) {
        const AVCodecParameters* parameters = opened->streams[k]->codecpar;
        anyStream = anyStream || parameters->codec_type == AVMEDIA_TYPE_AUDIO;
        if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && drawsText(parameters->codec_id)) {
            throw PictureSourceError(name_ + " is no picture or video");
        }
    }
    decoder_->stream = av_find_best_stream(opened, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (decoder_->stream < 0) {
        throw PictureSourceError(anyStream ? name_ + " is a video without pictures (sound only)"
                                           : name_ + " is no picture or video");
    }
    AVStream* stream = opened->streams[decoder_->stream];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        throw PictureSourceError(name_ + ": no decoder for its pictures (" +
                                 avcodec_get_name(stream->codecpar->codec_id) + ")");
    }
    decoder_->codec.reset(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder_->codec.get(), stream->codecpar);
    decoder_->codec->thread_count = 1; // decoding has one thread; the tracing uses the others
    decoder_->codec->err_recognition |= AV_EF_EXPLODE; // a damaged picture is refused, not traced in part
    if (avcodec_open2(decoder_->codec.get(), codec, nullptr) < 0) {
        throw PictureSourceError(name_ + ": its pictures cannot be decoded");
    }
    AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    framesPerSecond_ = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0;
}

PictureSource::~PictureSource() = default;

std::optional<LuminanceFrame> PictureSource::next() {
    Decoder& d = *decoder_;
    AVFrame* frame = d.frame.get();
    for (;;) {
        const int received = avcodec_receive_frame(d.codec.get(), frame);
        if (received == 0 && (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT))) {
            throw PictureSourceError(name_ + " is damaged: its pictures cannot be decoded");
        }
        if (received == 0) {
            break;
        }
        if (received == AVERROR_EOF) {
            return std::nullopt;
        }
        if (received != AVERROR(EAGAIN)) {
            throw PictureSourceError(name_ + " is damaged: its pictures cannot be decoded");
        }
        if (d.draining) {
            return std::nullopt;
        }
        const int read = av_read_frame(d.format.get(), d.packet.get());
        if (read < 0) {
            d.draining = true;
            avcodec_send_packet(d.codec.get(), nullptr);
            continue;
        }
        const int sent = d.packet->stream_index == d.stream ? avcodec_send_packet(d.codec.get(), d.packet.get()) : 0;
        av_packet_unref(d.packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN)) {
            throw PictureSourceError(name_ + " is damaged: its pictures cannot be decoded");
        }
    }

    if (double(frame->width) * double(frame->height) > double(maximumPicturePixels)) {
        throw PictureSourceError(name_ + " is too large to trace (" + std::to_string(frame->width) + "×" +
                                 std::to_string(frame->height) + " pixels; at most " +
                                 std::to_string(maximumPicturePixels) + ")");
    }
    LuminanceFrame out;
    out.width = frame->width;
    out.height = frame->height;
    out.pixels.resize(std::size_t(out.width) * std::size_t(out.height));
    const auto format = AVPixelFormat(frame->format);
    const AVRational base = d.format->streams[d.stream]->time_base;
    const std::int64_t timestamp = frame->best_effort_timestamp;
    if (timestamp != AV_NOPTS_VALUE && d.firstTimestamp == AV_NOPTS_VALUE) {
        d.firstTimestamp = timestamp;
    }
    out.seconds = timestamp != AV_NOPTS_VALUE ? double(timestamp - d.firstTimestamp) * av_q2d(base)
                                              : double(d.framesOut) / framesPerSecond_;
    ++d.framesOut;

    if (lumaPlaneFirst(format)) {
        // The luminance plane as it is, stretched to full range where the video uses studio range.
        std::uint8_t table[256];
        const bool full = fullRange(*frame);
        for (int v = 0; v < 256; ++v) {
            table[v] = full ? std::uint8_t(v) : std::uint8_t(std::clamp((v - 16) * 255 / 219, 0, 255));
        }
        for (int y = 0; y < out.height; ++y) {
            const std::uint8_t* row = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
            std::uint8_t* target = out.pixels.data() + std::size_t(y) * std::size_t(out.width);
            for (int x = 0; x < out.width; ++x) {
                target[x] = table[row[x]];
            }
        }
        av_frame_unref(frame);
        return out;
    }

    // Everything else through the scaler: to gray, or to gray with alpha for transparent pictures.
    const bool alpha = hasAlpha(format);
    const AVPixelFormat target = alpha ? AV_PIX_FMT_YA8 : AV_PIX_FMT_GRAY8;
    d.scaler.reset(sws_getCachedContext(d.scaler.release(), out.width, out.height, format, out.width,
                                        out.height, target, SWS_POINT, nullptr, nullptr, nullptr));
    if (!d.scaler) {
        throw PictureSourceError(name_ + ": its pictures cannot be converted");
    }
    int* table = nullptr;
    int* inverse = nullptr;
    int sourceRange = 0, targetRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(d.scaler.get(), &inverse, &sourceRange, &table, &targetRange, &brightness,
                                 &contrast, &saturation) >= 0) {
        sws_setColorspaceDetails(d.scaler.get(), inverse, fullRange(*frame) ? 1 : sourceRange, table, 1,
                                 brightness, contrast, saturation);
    }
    const int components = alpha ? 2 : 1;
    std::vector<std::uint8_t>& buffer = alpha ? d.withAlpha : out.pixels;
    buffer.resize(std::size_t(out.width) * std::size_t(out.height) * std::size_t(components));
    std::uint8_t* planes[4] = {buffer.data(), nullptr, nullptr, nullptr};
    int strides[4] = {out.width * components, 0, 0, 0};
    sws_scale(d.scaler.get(), frame->data, frame->linesize, 0, out.height, planes, strides);
    av_frame_unref(frame);
    if (alpha) {
        // The ground: white under a dark picture, black under a light one.
        double sum = 0, weight = 0;
        for (std::size_t k = 0; k < out.pixels.size(); ++k) {
            sum += double(buffer[2 * k]) * buffer[2 * k + 1];
            weight += buffer[2 * k + 1];
        }
        const int ground = weight > 0 && sum / weight < 128 ? 255 : 0;
        for (std::size_t k = 0; k < out.pixels.size(); ++k) {
            const int a = buffer[2 * k + 1];
            out.pixels[k] = std::uint8_t((buffer[2 * k] * a + ground * (255 - a) + 127) / 255);
        }
    }
    return out;
}

} // namespace drevik

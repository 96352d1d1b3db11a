#include "output/movie_encoder.hpp"

#include "output/encoder_choice.hpp"
#include "output/movie_error.hpp"
#include "output/straight_alpha.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

namespace drevik {

namespace {

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

[[noreturn]] void fail(const std::string& what, int code) {
    throw MovieRendererError::writerFailed(what + ": " + avErrorText(code));
}

[[noreturn]] void fail(const std::string& what) { throw MovieRendererError::writerFailed(what); }

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScaleDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct FormatDeleter {
    void operator()(AVFormatContext* format) const {
        if (format->pb != nullptr && !(format->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&format->pb);
        }
        avformat_free_context(format);
    }
};

using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

int toInt(std::int64_t value, const char* what) {
    if (value <= 0 || value > INT_MAX) {
        fail(std::string(what) + " is out of range: " + std::to_string(value));
    }
    return static_cast<int>(value);
}

// A VAAPI device and a pool of frames on it that the encoder takes; the pictures are uploaded there.
struct HardwareFrames {
    AVBufferRef* device = nullptr;
    AVBufferRef* frames = nullptr;
    HardwareFrames() = default;
    HardwareFrames(const HardwareFrames&) = delete;
    HardwareFrames& operator=(const HardwareFrames&) = delete;
    ~HardwareFrames() {
        av_buffer_unref(&frames);
        av_buffer_unref(&device);
    }
};

// Opens the named video encoder with the movie's settings, or returns null (with the reason in
// `error`) when it is missing or refuses to open.
CodecContext openVideoEncoder(const char* name, const MovieEncoderSettings& settings, bool globalHeader,
                              HardwareFrames& hardware, std::string& error) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        error = std::string("no ") + name + " encoder";
        return nullptr;
    }
    const OutputFormat& format = settings.format;
    const EncoderFamily family = familyOf(name);
    CodecContext context(avcodec_alloc_context3(codec));
    if (!context) {
        error = "cannot allocate the video encoder";
        return nullptr;
    }
    const int fps = toInt(settings.framesPerSecond, "frame rate");
    context->width = toInt(settings.width, "width");
    context->height = toInt(settings.height, "height");
    context->time_base = AVRational{1, fps};
    context->framerate = AVRational{fps, 1};
    context->pix_fmt = encodedPixelFormat(format, family);
    context->bit_rate = movieVideoBitRate(settings.width, settings.height);
    context->gop_size = toInt(2 * settings.framesPerSecond, "key frame interval");
    if (format.codec == VideoCodec::h264) {
        context->profile = FF_PROFILE_H264_HIGH;
    }
    context->color_range = AVCOL_RANGE_MPEG;
    context->colorspace = AVCOL_SPC_BT709;
    context->color_primaries = AVCOL_PRI_BT709;
    context->color_trc = AVCOL_TRC_BT709;
    context->sample_aspect_ratio = AVRational{1, 1};
    if (globalHeader) {
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (format.codec != VideoCodec::h264) {
        context->thread_count = 0; // as many as the encoder likes
    }
    if (family == EncoderFamily::vaapi) {
        if (const int status = av_hwdevice_ctx_create(&hardware.device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
            status < 0) {
            error = std::string("no VAAPI device for ") + name + ": " + avErrorText(status);
            return nullptr;
        }
        hardware.frames = av_hwframe_ctx_alloc(hardware.device);
        if (hardware.frames == nullptr) {
            error = "cannot allocate VAAPI frames";
            return nullptr;
        }
        auto* pool = reinterpret_cast<AVHWFramesContext*>(hardware.frames->data);
        pool->format = AV_PIX_FMT_VAAPI;
        pool->sw_format = AV_PIX_FMT_NV12;
        pool->width = context->width;
        pool->height = context->height;
        pool->initial_pool_size = 4;
        if (const int status = av_hwframe_ctx_init(hardware.frames); status < 0) {
            error = std::string("cannot set up VAAPI frames: ") + avErrorText(status);
            return nullptr;
        }
        context->hw_frames_ctx = av_buffer_ref(hardware.frames);
    }
    AVDictionary* rawOptions = nullptr;
    if (format.codec == VideoCodec::h264) {
        av_dict_set(&rawOptions, "profile", "high", 0);
    } else if (format.codec == VideoCodec::hevc) {
        av_dict_set(&rawOptions, "profile", "main", 0);
    }
    applyQualityAndPreset(*context, format, family, &rawOptions);
    const int status = avcodec_open2(context.get(), codec, &rawOptions);
    av_dict_free(&rawOptions);
    if (status < 0) {
        error = std::string("cannot open ") + name + ": " + avErrorText(status);
        return nullptr;
    }
    return context;
}

} // namespace

std::string describeEncoderSettings(const MovieEncoderSettings& settings, std::string_view encoderName) {
    // Everything openVideoEncoder sets, then the encoder chosen (last, so the rest can be compared alone).
    return settings.format.description() + "; colour=bt709-limited size=" + std::to_string(settings.width) + "x" +
           std::to_string(settings.height) + " fps=" + std::to_string(settings.framesPerSecond) +
           " bitrate=" + std::to_string(movieVideoBitRate(settings.width, settings.height)) +
           " keyint=" + std::to_string(2 * settings.framesPerSecond) + " sar=1:1 encoder=" + std::string(encoderName);
}

std::int64_t movieVideoBitRate(std::int64_t width, std::int64_t height) {
    return std::max<std::int64_t>(width * height * 10, 12'000'000);
}

struct MovieEncoder::State {
    MovieEncoderSettings settings;
    MovieContainerOptions container;
    std::unique_ptr<AVFormatContext, FormatDeleter> format;
    CodecContext video;
    CodecContext audio;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    std::unique_ptr<SwsContext, ScaleDeleter> scaler;
    HardwareFrames hardware;
    Frame picture;
    Frame uploaded; // the picture on the VAAPI device
    AVPixelFormat pictureFormat = AV_PIX_FMT_YUV420P;
    Frame sound;
    std::unique_ptr<AVPacket, PacketDeleter> packet;
    std::vector<float> pendingAudio; // samples from pendingStart on are not encoded yet
    std::size_t pendingStart = 0;
    std::vector<std::uint16_t> straight; // a transparent frame with straight alpha, 16 bits a channel
    std::int64_t audioPosition = 0;
    int audioFrameSize = 1024;
    bool finished = false;

    void writePackets(AVCodecContext* codec, AVStream* stream) {
        for (;;) {
            const int status = avcodec_receive_packet(codec, packet.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
                return;
            }
            if (status < 0) {
                fail(codec == video.get() ? MovieWriterReason::videoWriterFailed : MovieWriterReason::couldNotAppendAudio,
                     status);
            }
            if (codec == audio.get() && container.audioPackets) {
                container.audioPackets(capturedPacket(*packet));
                av_packet_unref(packet.get());
                continue;
            }
            av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            const int written = av_interleaved_write_frame(format.get(), packet.get());
            if (written < 0) {
                fail("cannot write to the movie file", written);
            }
        }
    }

    static EncodedAudioPacket capturedPacket(const AVPacket& source) {
        EncodedAudioPacket captured;
        captured.data.assign(source.data, source.data + source.size);
        captured.pts = source.pts;
        captured.dts = source.dts;
        captured.duration = source.duration;
        captured.flags = source.flags;
        for (int i = 0; i < source.side_data_elems; ++i) {
            const AVPacketSideData& side = source.side_data[i];
            captured.sideData.emplace_back(static_cast<int>(side.type),
                                           std::vector<std::uint8_t>(side.data, side.data + side.size));
        }
        return captured;
    }

    // The muxer for path; nothing is written yet.
    void createContainer(const std::string& path) {
        const char* muxer = "mp4";
        switch (settings.format.container) {
        case Container::mkv: muxer = "matroska"; break;
        case Container::webm: muxer = "webm"; break;
        case Container::mov: muxer = "mov"; break;
        default: break;
        }
        AVFormatContext* rawFormat = nullptr;
        if (const int status = avformat_alloc_output_context2(&rawFormat, nullptr, muxer, path.c_str());
            status < 0 || rawFormat == nullptr) {
            fail(std::string("cannot create a ") + muxer + " writer", status);
        }
        format.reset(rawFormat);
    }

    // HEVC in MP4 and QuickTime files takes the tag their players expect (parameter sets in the header).
    void tagVideoForPlayers() {
        const Container kind = settings.format.container;
        if (settings.format.codec == VideoCodec::hevc && (kind == Container::mp4 || kind == Container::mov)) {
            videoStream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
        }
    }

    // Video whose packets are copied in: the stream takes the source's parameters.
    void addCopiedVideoStream() {
        videoStream = avformat_new_stream(format.get(), nullptr);
        if (videoStream == nullptr) {
            fail(MovieWriterReason::cannotAddVideoInput);
        }
        if (const int status = avcodec_parameters_copy(videoStream->codecpar, container.copiedVideo.get());
            status < 0) {
            fail(MovieWriterReason::cannotAddVideoInput, status);
        }
        // The parts are in the movie's own container, so the source's tag is valid here (it tells
        // ProRes 4444 from HQ, say).
        if (settings.format.codec == VideoCodec::vp9 && settings.format.transparent) {
            av_dict_set(&videoStream->metadata, "alpha_mode", "1", 0);
        }
        tagVideoForPlayers();
        const int fps = toInt(settings.framesPerSecond, "frame rate");
        videoStream->time_base = AVRational{1, fps};
        videoStream->avg_frame_rate = AVRational{fps, 1};
        videoStream->r_frame_rate = AVRational{fps, 1};
    }

    // Video: a hardware encoder when one opens (h264 and hevc), the software one otherwise.
    void addVideoStream(bool globalHeader) {
        std::string error;
        const VideoCodec codec = settings.format.codec;
        if (settings.allowHardwareEncoder && (codec == VideoCodec::h264 || codec == VideoCodec::hevc)) {
            const std::string prefix(codecName(codec));
            for (const char* kind : {"_nvenc", "_vaapi"}) {
                HardwareFrames attempt;
                video = openVideoEncoder((prefix + kind).c_str(), settings, globalHeader, attempt, error);
                if (video) {
                    std::swap(hardware.device, attempt.device);
                    std::swap(hardware.frames, attempt.frames);
                    break;
                }
            }
        }
        // The usable software encoders in turn (SVT-AV1 refuses pictures under 64 rows, libaom takes them).
        error = "no " + std::string(codecName(codec)) + " encoder";
        for (const char* software : softwareEncoders(codec)) {
            if (video || !encoderUsable(software)) continue;
            video = openVideoEncoder(software, settings, globalHeader, hardware, error);
        }
        if (!video) {
            if (codec == VideoCodec::h264) fail(MovieWriterReason::cannotAddVideoInput + (": " + error));
            fail("cannot add " + std::string(codecName(codec)) + " video input: " + error);
        }
        pictureFormat = video->pix_fmt == AV_PIX_FMT_VAAPI ? AV_PIX_FMT_NV12 : video->pix_fmt;
        videoStream = avformat_new_stream(format.get(), nullptr);
        if (videoStream == nullptr) {
            fail(MovieWriterReason::cannotAddVideoInput);
        }
        if (const int status = avcodec_parameters_from_context(videoStream->codecpar, video.get()); status < 0) {
            fail(MovieWriterReason::cannotAddVideoInput, status);
        }
        tagVideoForPlayers();
        videoStream->time_base = video->time_base;
        videoStream->avg_frame_rate = video->framerate;
        videoStream->r_frame_rate = video->framerate;
    }

    // Audio: native AAC, mono at 192 kb/s, 128 kb/s a channel for more; Opus in WebM, mono at
    // 128 kb/s, 96 kb/s a channel for more.
    void addAudioStream(int sampleRate, bool globalHeader) {
        const bool opus = settings.format.container == Container::webm;
        const AVCodec* aac = avcodec_find_encoder_by_name(opus ? "libopus" : "aac");
        if (aac == nullptr) {
            if (opus) fail("cannot add Opus audio input: no libopus encoder");
            fail(std::string(MovieWriterReason::cannotAddAudioInput) + ": no aac encoder");
        }
        audio.reset(avcodec_alloc_context3(aac));
        if (!audio) {
            fail(MovieWriterReason::cannotAddAudioInput);
        }
        audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
        if (opus) {
            // Mono float samples lie the same way planar or interleaved.
            audio->sample_fmt = AV_SAMPLE_FMT_FLT;
            for (const AVSampleFormat* offered = aac->sample_fmts; offered && *offered != AV_SAMPLE_FMT_NONE; ++offered) {
                if (*offered == AV_SAMPLE_FMT_FLTP) audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
            }
        }
        audio->sample_rate = sampleRate;
        const auto channels = static_cast<int>(settings.audioChannels);
        audio->bit_rate = channels == 1 ? (opus ? 128'000 : 192'000) : (opus ? 96'000 : 128'000) * channels;
        audio->time_base = AVRational{1, sampleRate};
        av_channel_layout_default(&audio->ch_layout, channels);
        if (globalHeader) {
            audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        if (const int status = avcodec_open2(audio.get(), aac, nullptr); status < 0) {
            fail(std::string(MovieWriterReason::cannotAddAudioInput) + ": cannot open " + aac->name, status);
        }
        audioFrameSize = audio->frame_size > 0 ? audio->frame_size : 1024;
        audioStream = avformat_new_stream(format.get(), nullptr);
        if (audioStream == nullptr) {
            fail(MovieWriterReason::cannotAddAudioInput);
        }
        if (const int status = avcodec_parameters_from_context(audioStream->codecpar, audio.get()); status < 0) {
            fail(MovieWriterReason::cannotAddAudioInput, status);
        }
        audioStream->time_base = audio->time_base;
    }

    // Conversion BGRA (full range) -> the encoder's YUV (4:2:0 unless ProRes), BT.709, limited range;
    // alpha, when kept, goes through unchanged.
    // A transparent movie takes the frames as rendered over transparent black and converts them to
    // straight alpha at 16 bits a channel first (output/straight_alpha.hpp).
    void createConverter(int width, int height) {
        const AVPixelFormat source = settings.format.transparent ? AV_PIX_FMT_BGRA64 : AV_PIX_FMT_BGRA;
        scaler.reset(sws_getContext(width, height, source, width, height, pictureFormat,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scaler) {
            fail("cannot create the BGRA to YUV converter");
        }
        sws_setColorspaceDetails(scaler.get(), sws_getCoefficients(SWS_CS_ITU709), 1,
                                 sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    }

    // The reusable picture and sound frames and the packet.
    void allocateFrames(int width, int height, int sampleRate) {
        packet.reset(av_packet_alloc());
        if (!packet) {
            fail("cannot allocate encoder frames");
        }
        if (video) {
            allocatePicture(width, height);
        }
        if (audio) {
            allocateSound(sampleRate);
        }
    }

    void allocatePicture(int width, int height) {
        picture.reset(av_frame_alloc());
        if (!picture) {
            fail("cannot allocate encoder frames");
        }
        picture->format = pictureFormat;
        picture->width = width;
        picture->height = height;
        picture->color_range = AVCOL_RANGE_MPEG;
        picture->colorspace = AVCOL_SPC_BT709;
        picture->color_primaries = AVCOL_PRI_BT709;
        picture->color_trc = AVCOL_TRC_BT709;
        if (const int status = av_frame_get_buffer(picture.get(), 0); status < 0) {
            fail("cannot allocate a video frame", status);
        }
    }

    void allocateSound(int sampleRate) {
        sound.reset(av_frame_alloc());
        if (!sound) {
            fail("cannot allocate encoder frames");
        }
        sound->format = audio->sample_fmt;
        sound->sample_rate = sampleRate;
        sound->nb_samples = audioFrameSize;
        av_channel_layout_default(&sound->ch_layout, static_cast<int>(settings.audioChannels));
        if (const int status = av_frame_get_buffer(sound.get(), 0); status < 0) {
            fail(MovieWriterReason::cannotAllocateAudioBlock, status);
        }
    }

    // Creates the file and writes the container header. The index goes to the front when the
    // file is complete, so the movie plays while it streams.
    void openFileAndWriteHeader(const std::string& path) {
        if (const int status = avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE); status < 0) {
            fail("cannot create " + path, status);
        }
        AVDictionary* options = nullptr;
        const Container kind = settings.format.container;
        if (kind == Container::mp4 || kind == Container::mov) {
            av_dict_set(&options, "movflags", "+faststart", 0);
        }
        const int status = avformat_write_header(format.get(), &options);
        av_dict_free(&options);
        if (status < 0) {
            fail("cannot start writing the movie", status);
        }
    }

    // Encodes the samples left over and drains the audio encoder.
    void finishAudio();

    void encodeSound(int sampleCount) {
        if (const int status = av_frame_make_writable(sound.get()); status < 0) {
            fail("cannot prepare an audio frame", status);
        }
        sound->nb_samples = sampleCount;
        const auto channels = static_cast<std::size_t>(settings.audioChannels);
        const auto frames = static_cast<std::size_t>(sampleCount);
        const float* pending = pendingAudio.data() + pendingStart;
        if (channels == 1 || !av_sample_fmt_is_planar(static_cast<AVSampleFormat>(sound->format))) {
            std::copy_n(pending, frames * channels, reinterpret_cast<float*>(sound->data[0]));
        } else {
            for (std::size_t c = 0; c < channels; ++c) {
                auto* plane = reinterpret_cast<float*>(sound->extended_data[c]);
                for (std::size_t f = 0; f < frames; ++f) {
                    plane[f] = pending[f * channels + c];
                }
            }
        }
        sound->pts = audioPosition;
        audioPosition += sampleCount;
        pendingStart += frames * channels;
        if (const int status = avcodec_send_frame(audio.get(), sound.get()); status < 0) {
            fail(MovieWriterReason::couldNotAppendAudio, status);
        }
        writePackets(audio.get(), audioStream);
    }
};

MovieEncoder::MovieEncoder(const std::filesystem::path& file, const MovieEncoderSettings& settings,
                           const MovieContainerOptions& container)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.settings = settings;
    s.container = container;
    const std::string path = file.string();
    const int width = toInt(settings.width, "width");
    const int height = toInt(settings.height, "height");
    const int sampleRate = toInt(settings.sampleRate, "sample rate");
    if (width % 2 != 0 || height % 2 != 0) {
        fail("H.264 needs an even width and height, got " + std::to_string(width) + "\u00d7" +
             std::to_string(height));
    }

    s.createContainer(path);
    const bool globalHeader = (s.format->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    if (!container.video) {
        // a soundtrack alone
    } else if (container.copiedVideo) {
        s.addCopiedVideoStream();
    } else {
        s.addVideoStream(globalHeader);
        s.createConverter(width, height);
    }
    if (container.audio) {
        s.addAudioStream(sampleRate, globalHeader);
    }
    s.allocateFrames(width, height, sampleRate);
    if (container.comment) {
        const std::string comment = container.comment(settingsDescription());
        if (const int status = av_dict_set(&s.format->metadata, "comment", comment.c_str(), 0); status < 0) {
            fail("cannot tag the movie", status);
        }
    }
    if (!container.audioPackets) s.openFileAndWriteHeader(path);
}

MovieEncoder::~MovieEncoder() = default;

std::string MovieEncoder::videoEncoderName() const {
    return state_->video ? state_->video->codec->name : "copy";
}

std::string MovieEncoder::settingsDescription() const {
    return describeEncoderSettings(state_->settings, videoEncoderName());
}

void MovieEncoder::appendVideoPacket(const EncodedVideoPacket& packet) {
    State& s = *state_;
    if (s.video || packet.data.size() > INT_MAX) {
        throw MovieRendererError::cannotAppendFrame();
    }
    av_packet_unref(s.packet.get());
    if (const int status = av_new_packet(s.packet.get(), static_cast<int>(packet.data.size())); status < 0) {
        fail("cannot allocate a video packet", status);
    }
    std::copy(packet.data.begin(), packet.data.end(), s.packet->data);
    s.packet->pts = packet.pts;
    s.packet->dts = packet.dts;
    s.packet->duration = packet.duration;
    s.packet->flags = packet.key ? AV_PKT_FLAG_KEY : 0;
    s.packet->stream_index = s.videoStream->index;
    if (!packet.blockAdditional.empty()) {
        std::uint8_t* side = av_packet_new_side_data(s.packet.get(), AV_PKT_DATA_MATROSKA_BLOCKADDITIONAL,
                                                     packet.blockAdditional.size());
        if (side == nullptr) fail("cannot allocate a video packet", AVERROR(ENOMEM));
        std::copy(packet.blockAdditional.begin(), packet.blockAdditional.end(), side);
    }
    av_packet_rescale_ts(s.packet.get(), AVRational{1, static_cast<int>(s.settings.framesPerSecond)},
                         s.videoStream->time_base);
    if (const int written = av_interleaved_write_frame(s.format.get(), s.packet.get()); written < 0) {
        fail("cannot write to the movie file", written);
    }
}

void MovieEncoder::appendAudioPacket(const EncodedAudioPacket& packet) {
    State& s = *state_;
    if (!s.audio || !s.container.copiedAudio || packet.data.size() > INT_MAX) {
        fail(MovieWriterReason::couldNotAppendAudio);
    }
    av_packet_unref(s.packet.get());
    if (const int status = av_new_packet(s.packet.get(), static_cast<int>(packet.data.size())); status < 0) {
        fail("cannot allocate an audio packet", status);
    }
    std::copy(packet.data.begin(), packet.data.end(), s.packet->data);
    s.packet->pts = packet.pts;
    s.packet->dts = packet.dts;
    s.packet->duration = packet.duration;
    s.packet->flags = packet.flags;
    for (const auto& [type, bytes] : packet.sideData) {
        std::uint8_t* side = av_packet_new_side_data(s.packet.get(), static_cast<AVPacketSideDataType>(type),
                                                     bytes.size());
        if (side == nullptr) fail("cannot allocate an audio packet", AVERROR(ENOMEM));
        std::copy(bytes.begin(), bytes.end(), side);
    }
    // As the encoded packets are written (writePackets).
    av_packet_rescale_ts(s.packet.get(), s.audio->time_base, s.audioStream->time_base);
    s.packet->stream_index = s.audioStream->index;
    if (const int written = av_interleaved_write_frame(s.format.get(), s.packet.get()); written < 0) {
        fail("cannot write to the movie file", written);
    }
}

void MovieEncoder::appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) {
    State& s = *state_;
    if (!s.video) {
        throw MovieRendererError::cannotAppendFrame();
    }
    if (const int status = av_frame_make_writable(s.picture.get()); status < 0) {
        fail("cannot prepare a video frame", status);
    }
    const std::uint8_t* sourcePlanes[1] = {bgra};
    int sourceStrides[1] = {static_cast<int>(stride)};
    if (s.settings.format.transparent) {
        const auto width = static_cast<std::size_t>(s.picture->width);
        s.straight.resize(width * 4 * static_cast<std::size_t>(s.picture->height));
        straightenAdditiveAlphaWide(bgra, width, static_cast<std::size_t>(s.picture->height),
                                    static_cast<std::size_t>(stride), s.straight);
        sourcePlanes[0] = reinterpret_cast<const std::uint8_t*>(s.straight.data());
        sourceStrides[0] = static_cast<int>(width * 8);
    }
    sws_scale(s.scaler.get(), sourcePlanes, sourceStrides, 0, s.picture->height, s.picture->data,
              s.picture->linesize);
    s.picture->pts = frameIndex;
    AVFrame* sent = s.picture.get();
    if (s.hardware.frames != nullptr) {
        if (!s.uploaded) s.uploaded.reset(av_frame_alloc());
        if (s.uploaded) av_frame_unref(s.uploaded.get());
        if (!s.uploaded) fail("cannot upload frame " + std::to_string(frameIndex), AVERROR(ENOMEM));
        int status = av_hwframe_get_buffer(s.hardware.frames, s.uploaded.get(), 0);
        if (status >= 0) status = av_hwframe_transfer_data(s.uploaded.get(), s.picture.get(), 0);
        if (status < 0) fail("cannot upload frame " + std::to_string(frameIndex), status);
        s.uploaded->pts = frameIndex;
        sent = s.uploaded.get();
    }
    if (const int status = avcodec_send_frame(s.video.get(), sent); status < 0) {
        fail("cannot encode frame " + std::to_string(frameIndex), status);
    }
    s.writePackets(s.video.get(), s.videoStream);
}

void MovieEncoder::appendAudio(std::span<const float> samples) {
    State& s = *state_;
    if (!s.audio) {
        return; // a file without sound
    }
    s.pendingAudio.erase(s.pendingAudio.begin(), s.pendingAudio.begin() + static_cast<std::ptrdiff_t>(s.pendingStart));
    s.pendingStart = 0;
    s.pendingAudio.insert(s.pendingAudio.end(), samples.begin(), samples.end());
    const auto channels = static_cast<std::size_t>(s.settings.audioChannels);
    while (static_cast<int>(std::min<std::size_t>((s.pendingAudio.size() - s.pendingStart) / channels, INT_MAX)) >=
           s.audioFrameSize) {
        s.encodeSound(s.audioFrameSize);
    }
}

void MovieEncoder::finish() {
    State& s = *state_;
    if (s.finished) {
        return;
    }
    s.finished = true;
    if (s.audio && !s.container.copiedAudio) {
        s.finishAudio();
    }
    if (s.video) {
        if (const int status = avcodec_send_frame(s.video.get(), nullptr); status < 0) {
            fail("cannot finish the video", status);
        }
        s.writePackets(s.video.get(), s.videoStream);
    }
    if (s.container.audioPackets) return; // no file
    if (const int status = av_write_trailer(s.format.get()); status < 0) {
        fail("cannot complete the movie", status);
    }
    if (const int status = avio_closep(&s.format->pb); status < 0) {
        fail("cannot close the movie file", status);
    }
}

void MovieEncoder::State::finishAudio() {
    State& s = *this;
    // The last, shorter audio frame; encoders that need whole frames get silence at the end.
    s.pendingAudio.erase(s.pendingAudio.begin(), s.pendingAudio.begin() + static_cast<std::ptrdiff_t>(s.pendingStart));
    s.pendingStart = 0;
    if (!s.pendingAudio.empty()) {
        const auto channels = static_cast<std::size_t>(s.settings.audioChannels);
        const int left = static_cast<int>(s.pendingAudio.size() / channels);
        if (!(s.audio->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME)) {
            s.pendingAudio.resize(static_cast<std::size_t>(s.audioFrameSize) * channels, 0.0f);
            s.encodeSound(s.audioFrameSize);
        } else {
            s.encodeSound(left);
        }
    }
    if (const int status = avcodec_send_frame(s.audio.get(), nullptr); status < 0) {
        fail("cannot finish the audio", status);
    }
    s.writePackets(s.audio.get(), s.audioStream);
}

} // namespace drevik

// Decoding a recording with FFmpeg: the best audio stream, resampled to the program's rate as 32-bit
// float frames with the recording's own channels, plus its mono mix, handed on as it is made. Every
// way a recording can fail to be the whole soundtrack is refused with its reason.
#include "sound/sound_file.hpp"

#include "platform/huge_pages.hpp"
#include "platform/system_memory.hpp"
#include "core/music_timeline.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <new>


namespace drevik {
namespace {

struct FormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecFreer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ResamplerFreer {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

std::string errorText(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return text;
}

std::string secondsText(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2fs", seconds);
    return text;
}

// How long the container says the sound is, when it knows rather than guesses from the bit rate.
double declaredSeconds(const AVFormatContext& format, const AVStream& stream) {
    if (format.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
        return 0.0;
    }
    if (stream.duration > 0 && stream.duration != AV_NOPTS_VALUE) {
        return static_cast<double>(stream.duration) * av_q2d(stream.time_base);
    }
    if (format.duration > 0 && format.duration != AV_NOPTS_VALUE) {
        return static_cast<double>(format.duration) / AV_TIME_BASE;
    }
    return 0.0;
}

// Refuses a recording longer than the soundtrack limits, before its samples are decoded.
void checkLength(double seconds, std::int64_t channels, std::int64_t sampleRate, const std::string& name) {
    if (seconds > static_cast<double>(maxSoundtrackSeconds)) {
        throw SoundFileError(name + " lasts " + secondsText(seconds) + ", more than the " +
                             std::to_string(maxSoundtrackSeconds) + " seconds Drevik can play.");
    }
    const double bytes = seconds * static_cast<double>(sampleRate) * static_cast<double>(channels + 1) * sizeof(float);
    if (!(bytes <= physicalMemoryBytes() / 2)) {
        throw SoundFileError(name + " lasts " + secondsText(seconds) +
                             ", too long a soundtrack for the memory of this machine.");
    }
}

std::uint32_t littleEndian(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// A WAV file cut off before the end of its data chunk. FFmpeg reads such a file as far as it goes,
// so a recording interrupted while being written would play shorter without a word; its header
// still says how much sound there should be.
void checkWavComplete(const std::filesystem::path& location, const std::string& name) {
    std::ifstream file(location, std::ios::binary);
    unsigned char header[12] = {};
    if (!file.read(reinterpret_cast<char*>(header), sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        return;
    }
    std::error_code error;
    const auto fileBytes = static_cast<std::uint64_t>(std::filesystem::file_size(location, error));
    if (error) {
        return;
    }
    std::uint64_t offset = 12;
    std::uint32_t byteRate = 0, blockAlign = 1;
    for (int chunks = 0; chunks < 64; ++chunks) {
        unsigned char chunk[16] = {};
        file.seekg(static_cast<std::streamoff>(offset));
        if (!file.read(reinterpret_cast<char*>(chunk), 8)) {
            return;
        }
        const std::uint32_t size = littleEndian(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && file.read(reinterpret_cast<char*>(chunk), 16)) {
            byteRate = littleEndian(chunk + 8);
            blockAlign = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(chunk[12]) | static_cast<std::uint32_t>(chunk[13]) << 8);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            // 0 and 0xFFFFFFFF mark a size that was never filled in (a stream, or a 64-bit WAV).
            const std::uint64_t held = fileBytes - std::min(fileBytes, offset + 8);
            if (size != 0 && size != 0xFFFFFFFFu && byteRate > 0 && size > held + blockAlign) {
                throw SoundFileError(name + " is truncated: it declares " + secondsText(size / double(byteRate)) +
                                     " of sound but holds " + secondsText(static_cast<double>(held) / byteRate) + ".");
            }
            return;
        }
        offset += 8 + size + (size & 1);
    }
}

// Decoder and resampler of one stream, filling the decoded sound as frames arrive.
class StreamDecoder {
public:
    StreamDecoder(AVFormatContext& format, int streamIndex, std::int64_t sampleRate, std::string name,
                  const MonoPieceHandler& onMono)
        : stream_(*format.streams[streamIndex]), sampleRate_(sampleRate), name_(std::move(name)), onMono_(onMono) {
        const AVCodecParameters& parameters = *stream_.codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
        if (codec == nullptr) {
            throw SoundFileError(name_ + " holds sound in a codec this FFmpeg cannot decode (" +
                                 avcodec_get_name(parameters.codec_id) + ").");
        }
        codec_.reset(avcodec_alloc_context3(codec));
        if (!codec_ || avcodec_parameters_to_context(codec_.get(), &parameters) < 0) {
            throw std::bad_alloc();
        }
        // Damage is an error, not something to hide.
        codec_->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE;
        codec_->pkt_timebase = stream_.time_base;
        // One thread: the analysis runs beside the decoder already, and decoder threads hand over
        // every frame of a few milliseconds, which costs more than it saves.
        codec_->thread_count = 1;
        if (const int status = avcodec_open2(codec_.get(), codec, nullptr); status < 0) {
            throw SoundFileError(name_ + " holds sound in a codec this FFmpeg cannot decode (" + codec->name + ": " +
                                 errorText(status) + ").");
        }
        if (codec_->ch_layout.nb_channels < 1 || codec_->sample_rate < 1) {
            throw SoundFileError(name_ + " is damaged: its sound has no channels or no sample rate.");
        }
        sound_.channels = codec_->ch_layout.nb_channels;
        frame_.reset(av_frame_alloc());
        if (!frame_) {
            throw std::bad_alloc();
        }
    }

    std::int64_t channels() const { return sound_.channels; }
    void reserve(double seconds) {
        const auto frames = static_cast<std::size_t>(seconds * static_cast<double>(sampleRate_) * 1.01) + 4096;
        sound_.interleaved.reserve(frames * static_cast<std::size_t>(sound_.channels));
        sound_.mono.reserve(frames);
        preferHugePages(sound_.interleaved.data(), sound_.interleaved.capacity() * sizeof(float));
        preferHugePages(sound_.mono.data(), sound_.mono.capacity() * sizeof(float));
    }

    // Decodes one packet (nullptr drains the decoder at the end).
    void decode(const AVPacket* packet) {
        int status = avcodec_send_packet(codec_.get(), packet);
        if (status == AVERROR(EAGAIN)) {
            // The decoder is full: take its frames, then it takes the packet.
            receiveFrames();
            status = avcodec_send_packet(codec_.get(), packet);
        }
        if (status < 0 && status != AVERROR_EOF) {
            throw damaged(status);
        }
        receiveFrames();
    }

    void receiveFrames() {
        for (;;) {
            const int status = avcodec_receive_frame(codec_.get(), frame_.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
                return;
            }
            if (status < 0) {
                throw damaged(status);
            }
            if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
                throw SoundFileError(name_ + " is damaged: part of its sound cannot be decoded.");
            }
            convert(frame_.get());
            av_frame_unref(frame_.get());
        }
    }

    // Drains the resampler and hands over the rest of the mix.
    DecodedSound finish() {
        if (resampler_) {
            convert(nullptr);
        }
        handOver(0);
        return std::move(sound_);
    }

private:
    SoundFileError damaged(int status) const {
        return SoundFileError(name_ + " is damaged: its sound cannot be decoded (" + errorText(status) + ").");
    }

    void openResampler(const AVFrame& frame) {
        SwrContext* context = nullptr;
        AVChannelLayout layout = frame.ch_layout;
        if (swr_alloc_set_opts2(&context, &layout, AV_SAMPLE_FMT_FLT, static_cast<int>(sampleRate_), &layout,
                                static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr) < 0 ||
            context == nullptr) {
            throw SoundFileError(name_ + " holds sound this FFmpeg cannot resample.");
        }
        resampler_.reset(context);
        if (const int status = swr_init(resampler_.get()); status < 0) {
            throw SoundFileError(name_ + " holds sound this FFmpeg cannot resample (" + errorText(status) + ").");
        }
        inputRate_ = frame.sample_rate;
    }

    // Resamples one decoded frame (nullptr: what the resampler still holds) and appends it.
    void convert(const AVFrame* frame) {
        if (frame != nullptr) {
            if (frame->ch_layout.nb_channels != sound_.channels ||
                (resampler_ && frame->sample_rate != inputRate_)) {
                throw SoundFileError(name_ + " is damaged: its sound changes its channels or rate midway.");
            }
            if (!resampler_) {
                openResampler(*frame);
            }
        }
        const int inputFrames = frame != nullptr ? frame->nb_samples : 0;
        const int room = swr_get_out_samples(resampler_.get(), inputFrames);
        if (room < 0) {
            throw SoundFileError(name_ + " holds sound this FFmpeg cannot resample.");
        }
        const std::size_t channels = static_cast<std::size_t>(sound_.channels);
        const std::size_t start = sound_.interleaved.size();
        // Into a small buffer that stays in the cache, then appended: the samples are written once.
        scratch_.resize(static_cast<std::size_t>(room) * channels);
        auto* out = reinterpret_cast<std::uint8_t*>(scratch_.data());
        const int made = swr_convert(resampler_.get(), &out, room,
                                     frame != nullptr ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
                                     inputFrames);
        if (made < 0) {
            throw SoundFileError(name_ + " holds sound this FFmpeg cannot resample (" + errorText(made) + ").");
        }
        sound_.interleaved.insert(sound_.interleaved.end(), scratch_.begin(),
                                  scratch_.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(made) * channels));
        mix(start / channels, static_cast<std::size_t>(made));
    }

    void mix(std::size_t firstFrame, std::size_t frames) {
        const std::size_t channels = static_cast<std::size_t>(sound_.channels);
        const float* in = sound_.interleaved.data() + firstFrame * channels;
        if (channels == 1) {
            sound_.mono.insert(sound_.mono.end(), in, in + frames);
        } else {
            const float scale = 1.0f / static_cast<float>(channels);
            for (std::size_t f = 0; f < frames; ++f) {
                float sum = 0.0f;
                for (std::size_t c = 0; c < channels; ++c) {
                    sum += in[f * channels + c];
                }
                sound_.mono.push_back(sum * scale);
            }
        }
        handOver(1 << 16);
    }

    // Passes the mix made since the last piece on once it is at least `least` frames long.
    void handOver(std::size_t least) {
        const std::size_t made = sound_.mono.size() - handed_;
        if (onMono_ && made > 0 && made >= least) {
            onMono_(std::span<const float>(sound_.mono.data() + handed_, made));
        }
        if (made >= least) {
            handed_ = sound_.mono.size();
        }
    }

    AVStream& stream_;
    std::int64_t sampleRate_;
    std::string name_;
    std::unique_ptr<AVCodecContext, CodecFreer> codec_;
    std::unique_ptr<AVFrame, FrameFreer> frame_;
    std::unique_ptr<SwrContext, ResamplerFreer> resampler_;
    const MonoPieceHandler& onMono_;
    int inputRate_ = 0;
    std::size_t handed_ = 0;
    std::vector<float> scratch_;
    DecodedSound sound_;
};

} // namespace

DecodedSound decodeSoundFile(const std::filesystem::path& location, std::int64_t sampleRate,
                             const MonoPieceHandler& onMono) {
    const std::string name = location.filename().string();
    checkWavComplete(location, name);
    AVFormatContext* opened = nullptr;
    if (const int status = avformat_open_input(&opened, location.c_str(), nullptr, nullptr); status < 0) {
        throw SoundFileError("Could not read " + location.string() + ": " + errorText(status));
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(opened);
    format->error_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_EXPLODE;
    if (const int status = avformat_find_stream_info(format.get(), nullptr); status < 0) {
        throw SoundFileError(name + " is damaged: " + errorText(status) + ".");
    }
    const int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (streamIndex == AVERROR_STREAM_NOT_FOUND) {
        throw SoundFileError(name + " has no sound: it holds no audio stream.");
    }
    if (streamIndex < 0) {
        throw SoundFileError(name + " holds sound in a codec this FFmpeg cannot decode.");
    }
    StreamDecoder decoder(*format, streamIndex, sampleRate, name, onMono);
    const double declared = declaredSeconds(*format, *format->streams[streamIndex]);
    checkLength(declared, decoder.channels(), sampleRate, name);
    decoder.reserve(declared);

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) {
        throw std::bad_alloc();
    }
    for (;;) {
        const int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) {
            break;
        }
        if (status < 0) {
            throw SoundFileError(name + " is damaged: " + errorText(status) + ".");
        }
        if (packet->stream_index == streamIndex) {
            decoder.decode(packet.get());
        }
        av_packet_unref(packet.get());
    }
    decoder.decode(nullptr);
    DecodedSound sound = decoder.finish();

    const double decoded = static_cast<double>(sound.mono.size()) / static_cast<double>(sampleRate);
    if (sound.mono.empty()) {
        throw SoundFileError(name + " has no sound: its audio stream holds no samples.");
    }
    checkLength(decoded, sound.channels, sampleRate, name);
    // Encoder delay and padding differ by a few milliseconds; a cut-off file misses far more.
    if (declared > 0.0 && decoded < declared - std::max(0.1, declared * 0.002)) {
        throw SoundFileError(name + " is truncated: it declares " + secondsText(declared) + " of sound but holds " +
                             secondsText(decoded) + ".");
    }
    return sound;
}

bool looksLikeSoundFile(const std::filesystem::path& location) {
    // Text never holds a zero byte; every recording's container does within its first few kilobytes.
    constexpr std::size_t kHead = 1 << 16;
    // Pipes and devices are read once, by the Music.csv reader, as ever.
    std::error_code error;
    if (!std::filesystem::is_regular_file(location, error)) {
        return false;
    }
    std::ifstream file(location, std::ios::binary);
    if (!file) {
        return false;
    }
    std::vector<unsigned char> head(kHead + AVPROBE_PADDING_SIZE, 0);
    file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(kHead));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (std::find(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(got), 0) ==
        head.begin() + static_cast<std::ptrdiff_t>(got)) {
        return false;
    }
    // Recognised by its bytes alone: no file name is given to the probe.
    AVProbeData probe{};
    probe.filename = "";
    probe.buf = head.data();
    probe.buf_size = static_cast<int>(got);
    int score = 0;
    const AVInputFormat* found = av_probe_input_format3(&probe, 1, &score);
    return found != nullptr && score > AVPROBE_SCORE_MAX / 4;
}

} // namespace drevik

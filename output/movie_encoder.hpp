#pragma once
// Movie writer on FFmpeg's libraries: video converted from BGRA frames (H.264 High in MP4 unless the
// output format says otherwise) and audio from interleaved 32-bit float samples, mono or with the
// soundtrack's channels (AAC, or Opus in WebM),
// interleaved by the muxer; MP4 and MOV get their index moved to the front on finish.
// One thread at a time may use an encoder; it knows nothing of the GPU.
#include "output/output_format.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct AVCodecParameters;

namespace drevik {

struct MovieEncoderSettings {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t framesPerSecond = 0;
    std::int64_t sampleRate = 48000;
    std::int64_t audioChannels = 1; // the soundtrack's channels, interleaved in appendAudio
    // Try the hardware encoders first (NVENC, then VAAPI, for h264 and hevc); the software encoder is
    // used when they are absent or fail to open.
    bool allowHardwareEncoder = true;
    // Codec, container, quality, preset and alpha; a frame sequence is not written by this class.
    OutputFormat format;
};

// The encoder and every setting that shapes the video stream, as one line. Two movies whose
// pictures are encoded under equal descriptions can have their packets joined into one stream.
std::string describeEncoderSettings(const MovieEncoderSettings& settings, std::string_view encoderName);

// The parameters of a compressed video stream read from a file (codec, size, profile, headers).
using VideoStreamParameters = std::shared_ptr<const AVCodecParameters>;

// One compressed video packet; times in frames (1 / framesPerSecond).
struct EncodedVideoPacket {
    std::vector<std::uint8_t> data;
    std::int64_t pts = 0;
    std::int64_t dts = 0;
    std::int64_t duration = 1;
    bool key = false;
    // Matroska's block addition, where VP9 keeps the alpha plane; empty when there is none.
    std::vector<std::uint8_t> blockAdditional;
};

// One packet of the encoded soundtrack as the audio encoder gave it: times in samples
// (1 / sampleRate), with the packet's side data (type, bytes), so that copying it into a movie
// later writes exactly what encoding it there would have written.
struct EncodedAudioPacket {
    std::vector<std::uint8_t> data;
    std::int64_t pts = 0;
    std::int64_t dts = 0;
    std::int64_t duration = 0;
    int flags = 0;
    std::vector<std::pair<int, std::vector<std::uint8_t>>> sideData;
};

// What goes into the file besides the encoded pictures.
struct MovieContainerOptions {
    bool audio = true;       // the soundtrack stream; without it the file holds video only
    // When set, the video is not encoded: packets of a stream with these parameters are copied in
    // with appendVideoPacket.
    VideoStreamParameters copiedVideo;
    // When set, the container's comment tag: called with describeEncoderSettings of the encoder
    // chosen, before the header is written (some containers keep their tags there).
    std::function<std::string(const std::string& encoderSettings)> comment;
    // Video only when set (the default): a soundtrack alone has no video stream.
    bool video = true;
    // With audio: when set, no file is written; each encoded audio packet is handed here instead.
    std::function<void(const EncodedAudioPacket&)> audioPackets;
    // With audio: the audio encoder only describes the stream; its packets, encoded earlier with
    // the same settings (audioPackets), are copied in with appendAudioPacket.
    bool copiedAudio = false;
};
// The software encoder that writes the codec ("libx264", "libx265", "libsvtav1", ...), the first one
// usable in this process; empty when none is. An encoder whose codec library is a stand-in that does
// nothing (the portable bundle's stubs) counts as missing.
std::string softwareVideoEncoder(VideoCodec codec);
// "aac" or "libopus", when usable; empty otherwise.
std::string audioEncoderFor(Container container);

// Throws OutputFormatError, naming the codecs this FFmpeg can write, when the format's video or audio
// encoder is missing. Checked before anything renders.
void requireEncoders(const OutputFormat& format);

// Average video bit rate: the larger of width × height × 10 and 12,000,000 bits per second.
std::int64_t movieVideoBitRate(std::int64_t width, std::int64_t height);

class MovieEncoder {
public:
    // Creates the file and writes the container header. Failures throw MovieRendererError::writerFailed.
    MovieEncoder(const std::filesystem::path& file, const MovieEncoderSettings& settings,
                 const MovieContainerOptions& container = {});
    ~MovieEncoder();
    MovieEncoder(const MovieEncoder&) = delete;
    MovieEncoder& operator=(const MovieEncoder&) = delete;

    // Converts one BGRA frame (rows `stride` bytes apart) to YUV 4:2:0 and encodes it with
    // presentation time frameIndex / framesPerSecond. A transparent movie takes the frame as rendered
    // over transparent black (colour added up, alpha the coverage) and stores straight alpha.
    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex);
    // Writes a packet of the copied video stream (see MovieContainerOptions::copiedVideo).
    void appendVideoPacket(const EncodedVideoPacket& packet);
    // Writes a packet of the copied soundtrack (see MovieContainerOptions::copiedAudio).
    void appendAudioPacket(const EncodedAudioPacket& packet);
    // Queues interleaved samples of settings.audioChannels channels (whole frames); whole encoder
    // frames are encoded as they fill up.
    void appendAudio(std::span<const float> samples);
    // Encodes what is left, drains both encoders and completes the file. Nothing may follow.
    void finish();

    // "libx264", "h264_nvenc", "prores_ks", ...; "copy" for copied video.
    std::string videoEncoderName() const;
    // describeEncoderSettings of this encoder.
    std::string settingsDescription() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace drevik

#pragma once
// MP4 writer on FFmpeg's libraries: H.264 High video converted from BGRA frames and AAC mono audio
// from 32-bit float samples, interleaved by the muxer, with the index moved to the front on finish.
// One thread at a time may use an encoder; it knows nothing of the GPU.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct AVCodecParameters;

namespace drevik {

struct MovieEncoderSettings {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t framesPerSecond = 0;
    std::int64_t sampleRate = 48000;
    // Try the NVIDIA hardware encoder first; libx264 is used when it is absent or fails to open.
    bool allowHardwareEncoder = true;
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
};

// What goes into the file besides the encoded pictures.
struct MovieContainerOptions {
    bool audio = true;       // the soundtrack stream; without it the file holds video only
    // When set, the video is not encoded: packets of a stream with these parameters are copied in
    // with appendVideoPacket.
    VideoStreamParameters copiedVideo;
};

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
    // presentation time frameIndex / framesPerSecond.
    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex);
    // Writes a packet of the copied video stream (see MovieContainerOptions::copiedVideo).
    void appendVideoPacket(const EncodedVideoPacket& packet);
    // Queues mono samples; whole encoder frames are encoded as they fill up.
    void appendAudio(std::span<const float> samples);
    // Encodes what is left, drains both encoders and completes the file. Nothing may follow.
    void finish();

    // "libx264" or "h264_nvenc"; "copy" for copied video.
    std::string videoEncoderName() const;
    // The container's comment tag, written when the file is completed.
    void setComment(const std::string& comment);
    // describeEncoderSettings of this encoder.
    std::string settingsDescription() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace drevik

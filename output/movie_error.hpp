#pragma once
// Errors of the movie export. Each kind has one fixed description; writerFailed carries a reason.
#include "platform/error.hpp"

#include <filesystem>
#include <string>

namespace drevik {

class MovieRendererError : public Error {
public:
    enum class Kind {
        outputExists,
        writerFailed,
        noMetalDevice,
        cannotCreateTextureCache,
        cannotCreatePixelBuffer,
        cannotWrapPixelBuffer,
        cannotAppendFrame,
    };

    static MovieRendererError outputExists(const std::filesystem::path& location) {
        return {Kind::outputExists, "Movie already exists: " + location.string()};
    }
    static MovieRendererError writerFailed(const std::string& reason) {
        return {Kind::writerFailed, "Movie writer failed: " + reason};
    }
    static MovieRendererError noMetalDevice() {
        return {Kind::noMetalDevice, "This Mac does not provide a Metal device."};
    }
    static MovieRendererError cannotCreateTextureCache() {
        return {Kind::cannotCreateTextureCache, "Could not create the Core Video / Metal texture cache."};
    }
    static MovieRendererError cannotCreatePixelBuffer() {
        return {Kind::cannotCreatePixelBuffer, "Could not allocate an encoded video frame."};
    }
    static MovieRendererError cannotWrapPixelBuffer() {
        return {Kind::cannotWrapPixelBuffer, "Could not expose the encoded frame to Metal."};
    }
    static MovieRendererError cannotAppendFrame() {
        return {Kind::cannotAppendFrame, "Could not append a Metal frame to the movie."};
    }

    Kind kind() const { return kind_; }

private:
    MovieRendererError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind_;
};

// Fixed reasons carried by writerFailed.
namespace MovieWriterReason {
inline constexpr const char* cannotAddVideoInput = "cannot add H.264 video input";
inline constexpr const char* cannotAddAudioInput = "cannot add AAC audio input";
inline constexpr const char* unknownStartError = "unknown start error";
inline constexpr const char* videoWriterFailed = "video writer failed";
inline constexpr const char* unknownCompletionError = "unknown completion error";
inline constexpr const char* cannotDescribeAudio = "cannot describe PCM audio";
inline constexpr const char* cannotAllocateAudioBlock = "cannot allocate an audio block";
inline constexpr const char* cannotFillAudioBlock = "cannot fill an audio block";
inline constexpr const char* cannotCreateAudioSampleBuffer = "cannot create an audio sample buffer";
inline constexpr const char* couldNotAppendAudio = "could not append audio";
} // namespace MovieWriterReason

} // namespace drevik

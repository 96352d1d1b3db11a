#pragma once
// The export loop of the movie writer, apart from the GPU: checks the request, renders frame after
// frame through a MovieFrameRenderer, encodes on a second thread while the next frame renders,
// writes into a temporary file beside the target and moves it into place only when complete.
#include "core/music_timeline.hpp"
#include "output/movie_encoder.hpp"
#include "output/output_format.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace drevik::MetalMovieRenderer {

// Longest movie accepted, in seconds (one day).
inline constexpr double maximumDurationSeconds = 86'400;
// Highest frame rate accepted.
inline constexpr std::int64_t maximumFramesPerSecond = 1000;
// Largest width or height the encoders accept.
inline constexpr std::int64_t maximumEncoderDimension = 16'384;

struct MoviePlan {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t framesPerSecond = 0;
    double durationSeconds = 0;
    std::int64_t frameCount = 0;       // max(1, round(fps × duration))
    std::int64_t sampleRate = 0;       // the music's
    std::int64_t audioSampleCount = 0; // max(1, round(duration × sampleRate))
};

// Checks that the request can be rendered and encoded and computes the frame and sample counts.
// Failures throw MovieRendererError::writerFailed with the reason; nothing is touched on disk.
// maximumDimension is the largest texture side the device can render.
MoviePlan planMovie(std::int64_t width, std::int64_t height, std::int64_t framesPerSecond,
                    double durationSeconds, std::int64_t sampleRate,
                    std::int64_t maximumDimension = maximumEncoderDimension);

// True after frames 0, 5 × fps, 10 × fps, ... and after the last frame.
bool isProgressFrame(std::int64_t frameIndex, std::int64_t frameCount, std::int64_t framesPerSecond);
// "Metal movie %5.1f%% (%d / %d frames)" for frameIndex + 1 of frameCount frames written.
std::string progressLine(std::int64_t framesWritten, std::int64_t frameCount);

// Supplies the pictures: renders the frame at normalised time t into a BGRA buffer of
// height rows, `stride` bytes apart.
class MovieFrameRenderer {
public:
    virtual ~MovieFrameRenderer() = default;
    virtual void renderFrame(std::int64_t frameIndex, double normalizedTime, const AudioFeatures& features,
                             std::span<std::uint8_t> bgra, std::int64_t stride) = 0;
};

// Frames first, first + 1, ..., end − 1 of a movie.
struct FrameRange {
    std::int64_t first = 0;
    std::int64_t end = 0;
    std::int64_t count() const { return end - first; }
    friend bool operator==(const FrameRange&, const FrameRange&) = default;
};

struct MovieExportOptions {
    std::FILE* progress = stdout;       // progress lines, flushed per line; null for none
    std::FILE* progressBar = nullptr;   // a terminal to draw the live bar on (output/progress_bar.hpp)
    bool allowHardwareEncoder = true;   // see MovieEncoderSettings
    int queuedFrames = 2;               // rendered frames waiting for the encoder at most
    // Only these frames, and no soundtrack (a part of the movie); the progress lines count them.
    std::optional<FrameRange> frames;
    OutputFormat format;                // codec, container, quality, preset, alpha
};

// Takes the rendered frames and the soundtrack in presentation order; the movie encoder is one.
// Used by one thread at a time.
class MovieFrameSink {
public:
    virtual ~MovieFrameSink() = default;
    virtual void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) = 0;
    virtual void appendAudio(std::span<const float> samples) = 0;
    // Everything has been appended.
    virtual void finish() = 0;
};

// Renders every frame of the plan and hands the frames, with the soundtrack resampled to the plan's
// rate in step with them, to sink; with options.queuedFrames above 0 the sink is fed on a second
// thread while the next frames render. The sink is finished at the end.
void renderAndEncode(const MoviePlan& plan, const MusicTimeline& music, MovieFrameRenderer& renderer,
                     MovieFrameSink& sink, const MovieExportOptions& options = {});

// Refuses an existing location (MovieRendererError::outputExists), then writes the movie through an
// AtomicFile (platform/atomic_output.hpp). On any failure, and on SIGINT or SIGTERM meanwhile (with the
// program's installSignalCleanup), the temporary file is removed and the location is left as it was.
void exportMovie(const std::filesystem::path& location, const MoviePlan& plan, const MusicTimeline& music,
                 MovieFrameRenderer& renderer, const MovieExportOptions& options = {});

// Writes frames `range` of the plan, video only, through an AtomicFile as exportMovie does: the
// first frame is a key frame and frame range.first has presentation time 0. The file's comment
// tag is describePart(the encoder's settings description).
void exportPart(const std::filesystem::path& location, const MoviePlan& plan, FrameRange range,
                const MusicTimeline& music, MovieFrameRenderer& renderer,
                const std::function<std::string(const std::string& encoderSettings)>& describePart,
                const MovieExportOptions& options = {});

// The encoder settings of a movie of this plan: one place for the export, its parts and their join.
MovieEncoderSettings movieEncoderSettings(const MoviePlan& plan, bool allowHardwareEncoder, const OutputFormat& format);

// Writes the frames as numbered PNG files (output/frame_sequence.hpp) with the soundtrack as a WAV
// file beside them, into a hidden temporary folder that is moved to location when complete. Refuses
// an existing location like exportMovie. Straight alpha when options.format.transparent.
void exportFrameSequence(const std::filesystem::path& location, const MoviePlan& plan, const MusicTimeline& music,
                         MovieFrameRenderer& renderer, const MovieExportOptions& options = {});

// Throws outputExists when anything (also a dangling link) is at location.
void requireFreeLocation(const std::filesystem::path& location);

} // namespace drevik::MetalMovieRenderer

#pragma once
// The export loop of the movie writer, apart from the GPU: checks the request, renders frame after
// frame through a MovieFrameRenderer, encodes on a second thread while the next frame renders,
// writes into a temporary file beside the target and moves it into place only when complete.
#include "platform/atomic_output.hpp"
#include "core/music_timeline.hpp"
#include "output/movie_encoder.hpp"
#include "output/output_format.hpp"

#include <cstdint>
#include <cstdio>
#include <deque>
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

// Supplies the pictures. A source may have several frames on their way at once: the export loop
// submits frame after frame, at most framesInFlight() not yet collected, and collects them in the
// order submitted. A source that renders one frame at a time overrides renderFrame only.
class MovieFrameRenderer {
public:
    virtual ~MovieFrameRenderer() = default;
    // Renders the frame at normalised time t into a BGRA buffer of height rows, `stride` bytes apart.
    virtual void renderFrame(std::int64_t frameIndex, double normalizedTime, const AudioFeatures& features,
                             std::span<std::uint8_t> bgra, std::int64_t stride) = 0;

    virtual std::size_t framesInFlight() const { return 1; }
    // Starts the frame; by default it is only remembered and rendered when collected.
    virtual void submitFrame(std::int64_t frameIndex, double normalizedTime, const AudioFeatures& features);
    // The oldest submitted frame, as renderFrame gives it.
    virtual void collectFrame(std::span<std::uint8_t> bgra, std::int64_t stride);

private:
    struct Submitted {
        std::int64_t frameIndex;
        double normalizedTime;
        AudioFeatures features;
    };
    std::deque<Submitted> submitted_;
};

// Frames first, first + 1, ..., end − 1 of a movie.
struct FrameRange {
    std::int64_t first = 0;
    std::int64_t end = 0;
    std::int64_t count() const { return end - first; }
    friend bool operator==(const FrameRange&, const FrameRange&) = default;
};

// What an export reports after each frame it has handed to its target.
struct ExportProgress {
    std::int64_t framesDone = 0;  // of this run (a part counts its own)
    std::int64_t frameCount = 0;  // of this run
    bool milestone = false;       // after frames 0, 5 × fps, 10 × fps, ... and after the last one
};

struct MovieExportOptions {
    // Called on the rendering thread after each frame; the caller draws its progress lines and bar
    // (app/export_progress.hpp). None by default.
    std::function<void(const ExportProgress&)> progress;
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

// Where an export goes: a movie file, a part file, a frame folder or a part of one. It takes the
// frames and the soundtrack in order and, once they are all in, moves the output into place.
class ExportTarget : public MovieFrameSink {
public:
    // After finish(): the output appears at its location, whole, or the call throws and nothing does.
    virtual void commit() = 0;
};

// Renders every frame of the plan and hands the frames, with the soundtrack resampled to the plan's
// rate in step with them, to sink; with options.queuedFrames above 0 the sink is fed on a second
// thread while the next frames render. The sink is finished at the end.
void renderAndEncode(const MoviePlan& plan, const MusicTimeline& music, MovieFrameRenderer& renderer,
                     MovieFrameSink& sink, const MovieExportOptions& options = {});

// The one export loop: renderAndEncode into the target, then the target's commit.
void exportInto(const MoviePlan& plan, const MusicTimeline& music, MovieFrameRenderer& renderer, ExportTarget& target,
                const MovieExportOptions& options = {});

// The one translation of an atomic output's failure for every target: something that appeared at
// location meanwhile is outputExists; otherwise writerFailed naming what failed ("cannot create
// <what> in <folder>", "cannot write <what>", "cannot move <what> to <location>") with the
// system's reason.
[[noreturn]] void throwOutputFailure(const AtomicOutputError& error, const std::filesystem::path& location,
                                     const std::string& what);
// An AtomicFile for location, its failure translated.
AtomicFile openAtomicFile(const std::filesystem::path& location);
void commitAtomicFile(AtomicFile& file, const std::filesystem::path& location, const std::string& what);

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

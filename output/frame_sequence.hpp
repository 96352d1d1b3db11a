#pragma once
// A frame sequence: the export's pictures as numbered PNG files in a folder, frame 1 in 000001.png
// (six digits, more when the count needs them), and its soundtrack beside them in soundtrack.wav
// (16-bit PCM, mono, at the plan's sample rate), so that an editor can put them back together.
#include "platform/atomic_output.hpp"
#include "output/movie_export.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace drevik::MetalMovieRenderer {

inline constexpr const char* soundtrackFileName = "soundtrack.wav";

// "000001.png" for frame index 0 of frameCount frames.
std::string frameFileName(std::int64_t frameIndex, std::int64_t frameCount);

// Writes a 16-bit PCM WAV of sampleCount frames of `channels` interleaved channels (mono unless said),
// fed in order; samples are clipped to -1...1.
class WavWriter {
public:
    // create: a new file, refused when one is there; overwrite: an existing (empty temporary) file.
    enum class FileMode { create, overwrite };
    // Opens the file; throws MovieRendererError::writerFailed when it cannot.
    WavWriter(const std::filesystem::path& file, std::int64_t sampleRate, std::int64_t sampleCount,
              FileMode mode = FileMode::create, std::int64_t channels = 1);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    void append(std::span<const float> samples);
    // Checks that every announced sample came and closes the file.
    void finish();

private:
    std::filesystem::path file_;
    std::FILE* stream_;
    std::int64_t expected_; // samples, all channels together
    std::int64_t written_ = 0;
};

// A frame sequence written into a hidden temporary folder beside location and moved there when
// complete. Transparent frames come as rendered over transparent black and are written with
// straight alpha. Each frame file is on the disk before the folder is moved into place.
class FrameFolderTarget final : public ExportTarget {
public:
    FrameFolderTarget(const std::filesystem::path& location, const MoviePlan& plan, bool transparent,
                      std::int64_t audioChannels = 1);
    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) override;
    void appendAudio(std::span<const float> samples) override;
    void finish() override;
    void commit() override;

private:
    std::filesystem::path location_;
    AtomicFolder folder_;
    MoviePlan plan_;
    bool transparent_;
    std::vector<std::uint8_t> straight_; // a transparent frame with straight alpha
    WavWriter soundtrack_;
};

// Whether every file of frames `range` (and the soundtrack, with soundtrack) is in the folder at location.
bool frameSequencePartComplete(const std::filesystem::path& location, const MoviePlan& plan, FrameRange range,
                               bool soundtrack);

// Writes frames `range` of a frame sequence straight into the folder at location, which the parts of
// the sequence share and which is made when missing: each file appears complete or not at all, and a
// file already there (from an earlier run) is kept. With soundtrack, the WAV is written too.
void exportFrameSequencePart(const std::filesystem::path& location, const MoviePlan& plan, FrameRange range,
                             bool soundtrack, const MusicTimeline& music, MovieFrameRenderer& renderer,
                             const MovieExportOptions& options = {});

} // namespace drevik::MetalMovieRenderer

#include "output/frame_sequence.hpp"

#include "platform/atomic_output.hpp"
#include "output/movie_audio.hpp"
#include "output/movie_error.hpp"
#include "output/png_writer.hpp"
#include "output/straight_alpha.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace drevik::MetalMovieRenderer {

namespace {

[[noreturn]] void failWriting(const std::filesystem::path& file) {
    throw MovieRendererError::writerFailed("cannot write " + file.string() + ": " + std::strerror(errno));
}

void putLittleEndian(std::vector<std::uint8_t>& bytes, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Writes one frame as a PNG into stream; transparent frames get straight alpha (made in scratch).
// Returns false, with errno set, when the PNG could not be written.
bool writeFrame(std::FILE* stream, const std::uint8_t* bgra, std::int64_t stride, const MoviePlan& plan,
                bool transparent, std::vector<std::uint8_t>& scratch) {
    const auto width = static_cast<std::size_t>(plan.width);
    const auto height = static_cast<std::size_t>(plan.height);
    const auto rowBytes = static_cast<std::size_t>(stride);
    PngWriteResult result = PngWriteResult::written;
    if (transparent) {
        scratch.assign(bgra, bgra + rowBytes * height);
        straightenAdditiveAlpha(scratch, width, height, rowBytes);
        result = writeBgraAsPngWithAlpha(stream, scratch.data(), width, height, rowBytes);
    } else {
        result = writeBgraAsPng(stream, bgra, width, height, rowBytes);
    }
    return result == PngWriteResult::written;
}

// Moves a finished file of a shared folder into place; one there already (the same file, written by
// another run of the same part) is kept.
void commitShared(AtomicFile& temporary, const std::filesystem::path& file) {
    try {
        temporary.commit();
    } catch (const AtomicOutputError& error) {
        if (!error.targetExists()) throwOutputFailure(error, file, file.string());
    }
}

// The frames of a part of a frame sequence, each file written atomically into the shared folder.
class FrameFolderPartTarget final : public ExportTarget {
public:
    FrameFolderPartTarget(const std::filesystem::path& folder, const MoviePlan& plan, bool transparent)
        : folder_(folder), plan_(plan), transparent_(transparent) {}

    void appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) override {
        const std::filesystem::path file = folder_ / frameFileName(frameIndex, plan_.frameCount);
        if (outputLocationTaken(file)) return; // written by an earlier run
        const std::uint8_t* picture = bgra;
        if (transparent_) {
            straight_.assign(bgra, bgra + stride * plan_.height);
            straightenAdditiveAlpha(straight_, static_cast<std::size_t>(plan_.width),
                                    static_cast<std::size_t>(plan_.height), static_cast<std::size_t>(stride));
            picture = straight_.data();
        }
        try {
            if (writePngFile(file, picture, static_cast<std::size_t>(plan_.width), static_cast<std::size_t>(plan_.height),
                             static_cast<std::size_t>(stride), transparent_) != PngWriteResult::written) {
                failWriting(file);
            }
        } catch (const AtomicOutputError& error) {
            // One there already (the same file, written by another run of the same part) is kept.
            if (!error.targetExists()) throwOutputFailure(error, file, file.string());
        }
    }
    void appendAudio(std::span<const float>) override {}
    void finish() override {}
    void commit() override {} // each file is in place once written

private:
    std::filesystem::path folder_;
    MoviePlan plan_;
    bool transparent_;
    std::vector<std::uint8_t> straight_;
};

} // namespace

std::string frameFileName(std::int64_t frameIndex, std::int64_t frameCount) {
    const int digits = std::max<int>(6, static_cast<int>(std::to_string(std::max<std::int64_t>(frameCount, 1)).size()));
    std::string number = std::to_string(frameIndex + 1);
    return std::string(static_cast<std::size_t>(std::max<int>(0, digits - static_cast<int>(number.size()))), '0') +
           number + ".png";
}

WavWriter::WavWriter(const std::filesystem::path& file, std::int64_t sampleRate, std::int64_t sampleCount,
                     FileMode mode, std::int64_t channels)
    : file_(file), stream_(std::fopen(file.c_str(), mode == FileMode::create ? "wbx" : "wb")),
      expected_(sampleCount * channels) {
    if (stream_ == nullptr) failWriting(file_);
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(sampleCount) * 2 * static_cast<std::uint64_t>(channels);
    if (dataBytes > 0xFFFFFFFFu - 36) {
        std::fclose(stream_);
        throw MovieRendererError::writerFailed("the soundtrack is too long for a WAV file");
    }
    // The 44-byte header of a PCM WAV file: RIFF, the format chunk, the data chunk's size.
    std::vector<std::uint8_t> header;
    header.reserve(44);
    const auto put = [&](std::string_view tag) {
        for (char c : tag) header.push_back(static_cast<std::uint8_t>(c));
    };
    put("RIFF");
    putLittleEndian(header, static_cast<std::uint32_t>(36 + dataBytes), 4);
    put("WAVEfmt ");
    putLittleEndian(header, 16, 4);                                          // chunk size
    putLittleEndian(header, 1, 2);                                           // PCM
    putLittleEndian(header, static_cast<std::uint32_t>(channels), 2);                  // channels
    putLittleEndian(header, static_cast<std::uint32_t>(sampleRate), 4);                // frames per second
    putLittleEndian(header, static_cast<std::uint32_t>(sampleRate * 2 * channels), 4); // bytes per second
    putLittleEndian(header, static_cast<std::uint32_t>(2 * channels), 2);              // block size
    putLittleEndian(header, 16, 2);                                          // bits per sample
    put("data");
    putLittleEndian(header, static_cast<std::uint32_t>(dataBytes), 4);
    if (std::fwrite(header.data(), 1, header.size(), stream_) != header.size()) failWriting(file_);
}

WavWriter::~WavWriter() {
    if (stream_ != nullptr) std::fclose(stream_);
}

void WavWriter::append(std::span<const float> samples) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(samples.size() * 2);
    for (float sample : samples) {
        const float clipped = std::isnan(sample) ? 0.0f : std::clamp(sample, -1.0f, 1.0f);
        const auto value = static_cast<std::int16_t>(std::lround(clipped * 32767.0f));
        putLittleEndian(bytes, static_cast<std::uint16_t>(value), 2);
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) failWriting(file_);
    written_ += static_cast<std::int64_t>(samples.size());
}

void WavWriter::finish() {
    if (written_ != expected_) {
        throw MovieRendererError::writerFailed("the soundtrack has " + std::to_string(written_) + " samples, not " +
                                               std::to_string(expected_));
    }
    std::FILE* stream = std::exchange(stream_, nullptr);
    if (std::fflush(stream) != 0 || ::fsync(::fileno(stream)) != 0) {
        std::fclose(stream);
        failWriting(file_);
    }
    if (std::fclose(stream) != 0) failWriting(file_);
}

namespace {

AtomicFolder openAtomicFolder(const std::filesystem::path& location) {
    try {
        return AtomicFolder(location);
    } catch (const AtomicOutputError& error) {
        throwOutputFailure(error, location, "a folder");
    }
}

} // namespace

FrameFolderTarget::FrameFolderTarget(const std::filesystem::path& location, const MoviePlan& plan, bool transparent,
                                     std::int64_t audioChannels)
    : location_(location), folder_(openAtomicFolder(location)), plan_(plan), transparent_(transparent),
      soundtrack_(folder_.path() / soundtrackFileName, plan.sampleRate, plan.audioSampleCount,
                  WavWriter::FileMode::create, audioChannels) {}

void FrameFolderTarget::appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) {
    const std::filesystem::path file = folder_.path() / frameFileName(frameIndex, plan_.frameCount);
    std::FILE* stream = std::fopen(file.c_str(), "wbx");
    if (stream == nullptr) failWriting(file);
    // On the disk before the folder is moved into place, as each file of a part is.
    const bool written = writeFrame(stream, bgra, stride, plan_, transparent_, straight_) &&
                         std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
    const int savedError = errno;
    const bool closed = std::fclose(stream) == 0;
    if (!written || !closed) {
        errno = written ? errno : savedError;
        failWriting(file);
    }
}

void FrameFolderTarget::appendAudio(std::span<const float> samples) { soundtrack_.append(samples); }

void FrameFolderTarget::finish() { soundtrack_.finish(); }

void FrameFolderTarget::commit() {
    try {
        folder_.commit();
    } catch (const AtomicOutputError& error) {
        throwOutputFailure(error, location_, "the finished frames");
    }
}

void exportFrameSequence(const std::filesystem::path& location, const MoviePlan& plan, const MusicTimeline& music,
                         MovieFrameRenderer& renderer, const MovieExportOptions& options) {
    requireFreeLocation(location);
    FrameFolderTarget target(location, plan, options.format.transparent, music.playbackChannels);
    exportInto(plan, music, renderer, target, options);
}

bool frameSequencePartComplete(const std::filesystem::path& location, const MoviePlan& plan, FrameRange range,
                               bool soundtrack) {
    if (soundtrack && !outputLocationTaken(location / soundtrackFileName)) return false;
    for (std::int64_t i = range.first; i < range.end; ++i) {
        if (!outputLocationTaken(location / frameFileName(i, plan.frameCount))) return false;
    }
    return true;
}

void exportFrameSequencePart(const std::filesystem::path& location, const MoviePlan& plan, FrameRange range,
                             bool soundtrack, const MusicTimeline& music, MovieFrameRenderer& renderer,
                             const MovieExportOptions& options) {
    std::error_code error;
    std::filesystem::create_directories(location, error);
    std::error_code ignored;
    if (outputLocationTaken(location) && !std::filesystem::is_directory(location, ignored)) {
        throw MovieRendererError::outputExists(location); // a file, not the sequence's folder
    }
    if (error) {
        throw MovieRendererError::writerFailed("cannot create the folder " + location.string() + ": " +
                                               error.message());
    }
    if (soundtrack && !outputLocationTaken(location / soundtrackFileName)) {
        const std::filesystem::path file = location / soundtrackFileName;
        AtomicFile temporary = openAtomicFile(file);
        {
            WavWriter wav(temporary.path(), plan.sampleRate, plan.audioSampleCount, WavWriter::FileMode::overwrite,
                          music.playbackChannels);
            SoundtrackFeeder feeder(music, plan.audioSampleCount, plan.sampleRate, plan.framesPerSecond);
            feeder.feedAll([&](std::span<const float> samples) { wav.append(samples); });
            wav.finish();
        }
        commitShared(temporary, file);
    }
    if (range.count() == 0) return;
    FrameFolderPartTarget target(location, plan, options.format.transparent);
    MovieExportOptions partOptions = options;
    partOptions.frames = range;
    exportInto(plan, music, renderer, target, partOptions);
}

} // namespace drevik::MetalMovieRenderer

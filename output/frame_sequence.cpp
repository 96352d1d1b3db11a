#include "output/frame_sequence.hpp"

#include "core/atomic_output.hpp"
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

} // namespace

std::string frameFileName(std::int64_t frameIndex, std::int64_t frameCount) {
    const int digits = std::max<int>(6, static_cast<int>(std::to_string(std::max<std::int64_t>(frameCount, 1)).size()));
    std::string number = std::to_string(frameIndex + 1);
    return std::string(static_cast<std::size_t>(std::max<int>(0, digits - static_cast<int>(number.size()))), '0') +
           number + ".png";
}

WavWriter::WavWriter(const std::filesystem::path& file, std::int64_t sampleRate, std::int64_t sampleCount)
    : file_(file), stream_(std::fopen(file.c_str(), "wbx")), expected_(sampleCount) {
    if (stream_ == nullptr) failWriting(file_);
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(sampleCount) * 2;
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
    putLittleEndian(header, 1, 2);                                           // mono
    putLittleEndian(header, static_cast<std::uint32_t>(sampleRate), 4);      // samples per second
    putLittleEndian(header, static_cast<std::uint32_t>(sampleRate * 2), 4);  // bytes per second
    putLittleEndian(header, 2, 2);                                           // block size
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

FrameSequenceSink::FrameSequenceSink(const std::filesystem::path& folder, const MoviePlan& plan, bool transparent)
    : folder_(folder), plan_(plan), transparent_(transparent),
      soundtrack_(folder / soundtrackFileName, plan.sampleRate, plan.audioSampleCount) {}

void FrameSequenceSink::appendVideoFrame(const std::uint8_t* bgra, std::int64_t stride, std::int64_t frameIndex) {
    const std::filesystem::path file = folder_ / frameFileName(frameIndex, plan_.frameCount);
    std::FILE* stream = std::fopen(file.c_str(), "wbx");
    if (stream == nullptr) failWriting(file);
    const auto width = static_cast<std::size_t>(plan_.width);
    const auto height = static_cast<std::size_t>(plan_.height);
    const auto rowBytes = static_cast<std::size_t>(stride);
    PngWriteResult result = PngWriteResult::written;
    if (transparent_) {
        straight_.assign(bgra, bgra + rowBytes * height);
        straightenAdditiveAlpha(straight_, width, height, rowBytes);
        result = writeBgraAsPngWithAlpha(stream, straight_.data(), width, height, rowBytes);
    } else {
        result = writeBgraAsPng(stream, bgra, width, height, rowBytes);
    }
    const int savedError = errno;
    const bool closed = std::fclose(stream) == 0;
    if (result != PngWriteResult::written || !closed) {
        errno = result == PngWriteResult::written ? errno : savedError;
        failWriting(file);
    }
}

void FrameSequenceSink::appendAudio(std::span<const float> samples) { soundtrack_.append(samples); }

void FrameSequenceSink::finish() { soundtrack_.finish(); }

void exportFrameSequence(const std::filesystem::path& location, const MoviePlan& plan, const MusicTimeline& music,
                         MovieFrameRenderer& renderer, const MovieExportOptions& options) {
    requireFreeLocation(location);
    std::optional<AtomicFolder> folder;
    try {
        folder.emplace(location);
    } catch (const AtomicOutputError& error) {
        throw MovieRendererError::writerFailed("cannot create a folder beside " + location.string() + ": " +
                                               std::strerror(error.code().value()));
    }
    FrameSequenceSink sink(folder->path(), plan, options.format.transparent);
    renderAndEncode(plan, music, renderer, sink, options);
    try {
        folder->commit();
    } catch (const AtomicOutputError& error) {
        if (error.targetExists()) throw MovieRendererError::outputExists(location);
        throw MovieRendererError::writerFailed("cannot move the finished frames to " + location.string() + ": " +
                                               std::strerror(error.code().value()));
    }
}

} // namespace drevik::MetalMovieRenderer

#include "output/movie.hpp"

#include "output/movie_error.hpp"
#include "output/movie_export.hpp"
#include "platform/atomic_output.hpp"
#include "output/movie_encoder.hpp"
#include "output/frame_sequence.hpp"
#include "output/movie_gpu_frames.hpp"
#include "render/gpu/gpu.hpp"

#include <memory>
#include <utility>

namespace drevik::MetalMovieRenderer {

namespace {

constexpr std::int64_t frameSequenceSampleRate = 48000;

std::shared_ptr<gpu::Device> openDevice(const ExportServices& services) {
    std::shared_ptr<gpu::Device> device = services.device ? services.device() : nullptr;
    if (!device) {
        throw MovieRendererError::noMetalDevice();
    }
    return device;
}

PartOutcome writeFrameSequencePart(const PartedMovie& movie, std::int64_t part, std::int64_t parts,
                                   const GraphicsTimeline& timeline, const MusicTimeline& music,
                                   const ExportServices& services) {
    const MoviePlan request = planMovie(movie.width, movie.height, movie.framesPerSecond, movie.durationSeconds,
                                        frameSequenceSampleRate);
    const FrameRange range = partFrames(request, part, parts);
    const bool soundtrack = part == 0;
    if (range.count() == 0 && !soundtrack) {
        return PartOutcome::empty;
    }
    if (frameSequencePartComplete(movie.location, request, range, soundtrack)) {
        return PartOutcome::alreadyComplete;
    }
    std::shared_ptr<gpu::Device> device = openDevice(services);
    const MoviePlan plan = planMovie(movie.width, movie.height, movie.framesPerSecond, movie.durationSeconds,
                                     frameSequenceSampleRate,
                                     static_cast<std::int64_t>(device->maxTextureDimension2D()));
    GpuMovieFrames frames(std::move(device), plan, timeline, movie.format.transparent);
    MovieExportOptions exportOptions;
    exportOptions.progress = services.progress;
    exportOptions.format = movie.format;
    exportFrameSequencePart(movie.location, plan, range, soundtrack, music, frames, exportOptions);
    return PartOutcome::written;
}

} // namespace

void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           std::int64_t framesPerSecond, double durationSeconds, const GraphicsTimeline& timeline,
           const MusicTimeline& music, const ExportServices& services, const OutputFormat& format) {
    requireFreeLocation(location);
    // Everything that can be refused is refused before the GPU is touched. A frame sequence's
    // soundtrack is written at 48 kHz whatever the music's rate.
    const std::int64_t sampleRate = format.isFrameSequence() ? frameSequenceSampleRate : music.sampleRate;
    planMovie(width, height, framesPerSecond, durationSeconds, sampleRate);
    requireEncoders(format);
    std::shared_ptr<gpu::Device> device = openDevice(services);
    const MoviePlan plan = planMovie(width, height, framesPerSecond, durationSeconds, sampleRate,
                                     static_cast<std::int64_t>(device->maxTextureDimension2D()));
    GpuMovieFrames frames(std::move(device), plan, timeline, format.transparent);
    MovieExportOptions exportOptions;
    exportOptions.progress = services.progress;
    exportOptions.format = format;
    if (format.isFrameSequence()) {
        exportFrameSequence(location, plan, music, frames, exportOptions);
    } else {
        exportMovie(location, plan, music, frames, exportOptions);
    }
}

PartOutcome writePart(const PartedMovie& movie, std::int64_t part, std::int64_t parts,
                      const GraphicsTimeline& timeline, const MusicTimeline& music,
                      const ExportServices& services) {
    if (movie.format.isFrameSequence()) {
        return writeFrameSequencePart(movie, part, parts, timeline, music, services);
    }
    requireFreeLocation(movie.location);
    const MoviePlan request = planMovie(movie.width, movie.height, movie.framesPerSecond, movie.durationSeconds,
                                        music.sampleRate);
    const PartFacts expected = expectedPartFacts(request, part, parts, movie.graphicsHash, movie.musicHash);
    if (expected.frames.count() == 0) {
        return PartOutcome::empty;
    }
    const std::filesystem::path location = partLocation(movie.location, part, parts);
    // Resubmitted work: a finished part stays, anything else is left for a person to look at.
    const auto requireSamePart = [&] {
        try {
            const PartReader existing = PartReader::open(location);
            if (const auto why = partMismatch(existing.facts(), expected)) throw MoviePartError(*why);
        } catch (const MoviePartError& why) {
            throw MoviePartError("Part " + location.string() + " already exists and " + why.what() +
                                 "; remove it to render the part again.");
        }
    };
    if (outputLocationTaken(location)) {
        requireSamePart();
        return PartOutcome::alreadyComplete;
    }
    std::shared_ptr<gpu::Device> device = openDevice(services);
    const MoviePlan plan = planMovie(movie.width, movie.height, movie.framesPerSecond, movie.durationSeconds,
                                     music.sampleRate, static_cast<std::int64_t>(device->maxTextureDimension2D()));
    GpuMovieFrames frames(std::move(device), plan, timeline, movie.format.transparent);
    MovieExportOptions exportOptions;
    exportOptions.progress = services.progress;
    exportOptions.format = movie.format;
    try {
        exportPart(
            location, plan, expected.frames, music, frames,
            [&](const std::string& encoderSettings) {
                PartFacts facts = expected;
                facts.encoderSettings = encoderSettings;
                return facts.toTag();
            },
            exportOptions);
    } catch (const MovieRendererError& error) {
        // Another run of the same part (a task started twice) finished first.
        if (error.kind() != MovieRendererError::Kind::outputExists) throw;
        requireSamePart();
        return PartOutcome::alreadyComplete;
    }
    return PartOutcome::written;
}

bool writePartSoundtrack(const PartedMovie& movie, std::int64_t parts, const MusicTimeline& music) {
    requireFreeLocation(movie.location);
    const MoviePlan plan = planMovie(movie.width, movie.height, movie.framesPerSecond, movie.durationSeconds,
                                     music.sampleRate);
    return writeSoundtrack(soundtrackLocation(movie.location), plan, music,
                           expectedSoundtrackFacts(plan, parts, movie.format, movie.graphicsHash, movie.musicHash),
                           movie.format);
}

void joinPartsOf(const PartedMovie& movie, std::int64_t parts, const MusicTimeline& music, bool keepParts) {
    requireFreeLocation(movie.location);
    const MoviePlan plan = planMovie(movie.width, movie.height, movie.framesPerSecond, movie.durationSeconds,
                                     music.sampleRate);
    JoinOptions options;
    options.keepParts = keepParts;
    options.format = movie.format;
    joinParts(movie.location, plan, parts, music, expectedPartFacts(plan, 0, parts, movie.graphicsHash, movie.musicHash),
              options);
}

} // namespace drevik::MetalMovieRenderer

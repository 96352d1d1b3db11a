#pragma once
// The movie modes: the whole show in one process, one part of it, or the join of the parts.
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "output/output_format.hpp"

#include "output/movie_parts.hpp"
#include "render/gpu/gpu.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace drevik::MetalMovieRenderer {

// What the application lends an export: its GPU device, opened once by the application when first
// asked for (nullptr when the system has none; asked only once nothing cheaper can refuse the
// export), and where the progress goes (nowhere when empty).
struct ExportServices {
    std::function<std::shared_ptr<gpu::Device>()> device;
    std::function<void(const ExportProgress&)> progress;
};

// Renders the whole show, compressed or stretched into durationSeconds, as an MP4 at location (or in
// the format given: another codec and container, or a frame sequence folder with a 48 kHz WAV).
void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           std::int64_t framesPerSecond, double durationSeconds, const GraphicsTimeline& timeline,
           const MusicTimeline& music, const ExportServices& services, const OutputFormat& format = {});

// The movie's size, rate and duration, and the inputs it is made of, for its parts and their join.
struct PartedMovie {
    std::filesystem::path location;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t framesPerSecond = 0;
    double durationSeconds = 0;
    std::string graphicsHash; // fileHash of the inputs
    std::string musicHash;
    OutputFormat format;      // codec, container, quality, preset and alpha, or a frame sequence
};

// Renders part `part` of `parts` of the movie into partLocation(movie.location, part, parts). A part
// already there that is complete and made from the same inputs and settings is left as it is
// (alreadyComplete); one that is not is refused with MoviePartError. A part without frames
// writes nothing (empty). A movie already at movie.location is refused (outputExists).
// A frame sequence has no part files: its parts write their own frames straight into the folder at
// movie.location, shared by all of them (exportFrameSequencePart); part 0 also writes the soundtrack.
PartOutcome writePart(const PartedMovie& movie, std::int64_t part, std::int64_t parts,
                      const GraphicsTimeline& timeline, const MusicTimeline& music, const ExportServices& services);

// Part 0's second file: the movie's whole soundtrack (soundtrackLocation), encoded once, which the
// join copies. True when it was written now, false when a complete one was there already (one that
// is not is refused with MoviePartError). A movie already at movie.location is refused.
bool writePartSoundtrack(const PartedMovie& movie, std::int64_t parts, const MusicTimeline& music);

// Joins the parts into the movie (joinParts); no GPU is needed.
void joinPartsOf(const PartedMovie& movie, std::int64_t parts, const MusicTimeline& music, bool keepParts);

} // namespace drevik::MetalMovieRenderer

#pragma once
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include "output/movie_parts.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace drevik::MetalMovieRenderer {

// Renders the whole show, compressed or stretched into durationSeconds, as an MP4 at location. The
// GPU device keeps compiled shaders in cacheFolder (nowhere when empty).
void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           std::int64_t framesPerSecond, double durationSeconds, const GraphicsTimeline& timeline,
           const MusicTimeline& music, const std::filesystem::path& cacheFolder = {});

// The movie's size, rate and duration, and the inputs it is made of, for its parts and their join.
struct PartedMovie {
    std::filesystem::path location;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t framesPerSecond = 0;
    double durationSeconds = 0;
    std::string graphicsHash; // fileHash of the inputs
    std::string musicHash;
};

// Renders part `part` of `parts` of the movie into partLocation(movie.location, part, parts). A part
// already there that is complete and made from the same inputs and settings is left as it is
// (alreadyComplete); one that is not is refused with MoviePartError. A part without frames
// writes nothing (empty). A movie already at movie.location is refused (outputExists).
PartOutcome writePart(const PartedMovie& movie, std::int64_t part, std::int64_t parts,
                      const GraphicsTimeline& timeline, const MusicTimeline& music,
                      const std::filesystem::path& cacheFolder = {});

// Joins the parts into the movie (joinParts); no GPU is needed.
void joinPartsOf(const PartedMovie& movie, std::int64_t parts, const MusicTimeline& music, bool keepParts);

} // namespace drevik::MetalMovieRenderer

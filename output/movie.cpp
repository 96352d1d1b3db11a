#include "output/movie.hpp"

#include "core/error.hpp"

namespace drevik::MetalMovieRenderer {

void write(const std::filesystem::path&, std::int64_t, std::int64_t, std::int64_t, double,
           const GraphicsTimeline&, const MusicTimeline&) {
    throw Error("The movie mode is not built yet.");
}

} // namespace drevik::MetalMovieRenderer

#include "output/snapshot.hpp"

#include "core/error.hpp"

namespace drevik::MetalSnapshot {

void write(const std::filesystem::path&, std::int64_t, std::int64_t, double, const GraphicsTimeline&,
           const MusicTimeline&) {
    throw Error("The snapshot mode is not built yet.");
}

} // namespace drevik::MetalSnapshot

#include "app/show.hpp"

#include "core/error.hpp"

namespace drevik {

void runShow(const GraphicsTimeline&, const MusicTimeline&, const Configuration&) {
    throw Error("The interactive show is not built yet; use --snapshot, --movie or --describe-scenes.");
}

} // namespace drevik

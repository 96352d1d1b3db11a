#pragma once
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

namespace drevik {

struct Configuration;

// Opens the interactive show and runs its event loop until the user quits.
void runShow(const GraphicsTimeline& timeline, const MusicTimeline& music, const Configuration& configuration);

} // namespace drevik

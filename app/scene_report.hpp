#pragma once
#include "core/graphics_timeline.hpp"

#include <cstdio>

namespace drevik {

// Prints one line per scene: span, measures, volume family, choreography and camera ranges.
void printSceneReport(const GraphicsTimeline& timeline, std::FILE* out = stdout);

} // namespace drevik

#pragma once
// The soundtrack's analysis as text (--describe-music): a header line, then one line per analysis
// step with its start in seconds and the four lane levels, the energy and the pulse.
#include "core/music_timeline.hpp"

#include <cstdio>

namespace drevik {

void printMusicReport(const MusicTimeline& music, std::FILE* out = stdout);

} // namespace drevik

#include "app/scene_report.hpp"

namespace drevik {

void printSceneReport(const GraphicsTimeline&, std::FILE*) {}

} // namespace drevik

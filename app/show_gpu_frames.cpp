#include "app/show_view.hpp"

namespace drevik {

std::unique_ptr<ShowFrameSource> makeGpuFrameSource(const GraphicsTimeline&) { throw ShowViewError(); }

} // namespace drevik

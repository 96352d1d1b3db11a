#include "app/show.hpp"

#include "app/configuration.hpp"
#include "app/show_view.hpp"

namespace drevik {

void runShow(const GraphicsTimeline& timeline, const MusicTimeline& music, const Configuration& configuration) {
    DrevikAppDelegate delegate(timeline, music, configuration);
    delegate.run();
}

} // namespace drevik

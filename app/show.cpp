#include "app/show.hpp"

#include "app/configuration.hpp"
#include "app/show_view.hpp"

namespace drevik {

void runShow(const GraphicsTimeline& timeline, const MusicTimeline& music, const Configuration& configuration) {
    ShowStart start;
    start.normalizedTime = configuration.normalizedTime;
    start.autoplay = configuration.autoplay;
    start.fullscreen = configuration.fullscreen;
    DrevikAppDelegate delegate(timeline, music, start);
    delegate.run();
}

} // namespace drevik

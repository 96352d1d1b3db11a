#include "app/show.hpp"

#include "app/show_view.hpp"

#if __has_include("app/configuration.hpp")
#include "app/configuration.hpp"
#define DREVIK_HAS_CONFIGURATION 1
#endif

namespace drevik {

void runShow(const GraphicsTimeline& timeline, const MusicTimeline& music, const Configuration& configuration) {
    ShowStart start;
#ifdef DREVIK_HAS_CONFIGURATION
    start.normalizedTime = configuration.normalizedTime;
    start.autoplay = configuration.autoplay;
    start.fullscreen = configuration.fullscreen;
#else
    (void)configuration;
#endif
    DrevikAppDelegate delegate(timeline, music, start);
    delegate.run();
}

} // namespace drevik

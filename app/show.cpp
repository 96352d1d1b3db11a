#include "app/show.hpp"

#include "app/configuration.hpp"
#include "app/show_view.hpp"

#include <utility>

namespace drevik {

void runShow(const GraphicsTimeline& timeline, const MusicTimeline& music, const Configuration& configuration,
             const std::filesystem::path& cacheFolder) {
    ShowHooks hooks;
    hooks.makeSource = [&timeline, cacheFolder](SDL_Window* window) {
        return makeGpuFrameSource(timeline, window, cacheFolder);
    };
    DrevikAppDelegate delegate(timeline, music, configuration, std::move(hooks));
    delegate.run();
}

} // namespace drevik

#include "app/show_reload.hpp"

#include "app/inputs.hpp"
#include "import/drawing_source.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace drevik {

namespace {

// Everything that can tell that a file got new contents: written (in place), closed after writing,
// renamed onto (a save by rename), created or removed (a save by delete and create), touched.
constexpr std::uint32_t watchedEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The description of whatever stopped a reading, as the launch driver would report it.
template <typename Read>
std::string failureOf(Read&& read) {
    try {
        read();
    } catch (const std::bad_alloc&) {
        return "Not enough memory to continue.";
    } catch (const std::exception& error) {
        return error.what();
    }
    return {};
}

void closeDescriptor(int& descriptor) {
    if (descriptor >= 0) ::close(descriptor);
    descriptor = -1;
}

} // namespace

ShowReloader::ShowReloader(std::filesystem::path graphicsLocation, std::filesystem::path musicLocation,
                           std::shared_ptr<const GraphicsTimeline> graphics, std::shared_ptr<const MusicTimeline> music,
                           std::function<void()> changed)
    : graphics_(std::move(graphics)), music_(std::move(music)), changed_(std::move(changed)) {
    graphicsFile_.location = std::move(graphicsLocation);
    musicFile_.location = std::move(musicLocation);
    notifications_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool any = false;
    for (WatchedFile* file : {&graphicsFile_, &musicFile_}) {
        file->name = file->location.filename().string();
        if (notifications_ < 0 || file->name.empty()) continue;
        std::filesystem::path folder = file->location.parent_path();
        if (folder.empty()) folder = ".";
        file->watch = ::inotify_add_watch(notifications_, folder.c_str(), watchedEvents);
        any = any || file->watch >= 0;
    }
    if (!any || stop_ < 0) {
        closeDescriptor(notifications_);
        closeDescriptor(stop_);
        return;
    }
    thread_ = std::thread([this] { loop(); });
}

ShowReloader::~ShowReloader() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(stop_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    closeDescriptor(notifications_);
    closeDescriptor(stop_);
}

std::optional<ShowReload> ShowReloader::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(latest_, std::nullopt);
}

void ShowReloader::publish(ShowReload reload) {
    {
        std::lock_guard lock(mutex_);
        latest_ = std::move(reload);
    }
    if (changed_) changed_();
}

void ShowReloader::loop() {
    for (;;) {
        // Sleep until a notification arrives, the loop is stopped, or a changed file has been quiet long enough.
        int timeoutMs = -1;
        const double now = steadySeconds();
        for (const WatchedFile* file : {&graphicsFile_, &musicFile_}) {
            if (!file->changed) continue;
            const int wait = static_cast<int>(std::ceil(std::max(file->due - now, 0.0) * 1000));
            timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
        }
        std::array<pollfd, 2> waiting{{{notifications_, POLLIN, 0}, {stop_, POLLIN, 0}}};
        const int ready = ::poll(waiting.data(), waiting.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) return;
        if (waiting[1].revents != 0) return;
        if (waiting[0].revents != 0 && !readNotifications()) return;
        readDueFiles(steadySeconds()); // notifications that arrive meanwhile wait for the next turn
    }
}

bool ShowReloader::readNotifications() {
    alignas(inotify_event) std::array<char, 64 * 1024> buffer;
    for (;;) {
        const ssize_t length = ::read(notifications_, buffer.data(), buffer.size());
        if (length < 0) return errno == EAGAIN || errno == EINTR;
        if (length == 0) return false;
        const double now = steadySeconds();
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const bool overflow = (event->mask & IN_Q_OVERFLOW) != 0; // events were lost: read both again
            const std::string_view name = event->len > 0 ? std::string_view(event->name) : std::string_view();
            for (WatchedFile* file : {&graphicsFile_, &musicFile_}) {
                if (!overflow && (event->wd != file->watch || name != file->name)) continue;
                file->changed = true;
                // Written to and not yet closed: one long write, or pieces written through one open file,
                // may pause for longer than the quiet time, so the file's closing is waited for (or a
                // longer silence, for a writer that keeps it open).
                if ((event->mask & IN_MODIFY) != 0) file->writing = true;
                else if ((event->mask & IN_ATTRIB) == 0) file->writing = false;
                file->due = now + (file->writing ? openWriterSeconds : quietSeconds);
            }
        }
    }
}

bool ShowReloader::readDueFiles(double now) {
    // Two files saved together are read together, so that a new length of show is not first reported
    // as a mismatch between a new file and an old one.
    for (const WatchedFile* file : {&graphicsFile_, &musicFile_}) {
        if (file->changed && file->due > now) return false;
    }
    bool read = false;
    const double started = steadySeconds();
    const auto readChanged = [&read](WatchedFile& file, const auto& load) {
        if (!file.changed) return;
        file.changed = false;
        // A file that is not there (yet) is the middle of a save by delete and create: wait for it.
        std::error_code ignored;
        if (!std::filesystem::exists(file.location, ignored)) return;
        read = true;
        file.error = failureOf(load);
    };
    // The soundtrack first: a drawing imported from another source than a Graphics.csv lasts as long
    // as it, so it is laid out again when the soundtrack changes.
    if (musicFile_.changed && drawingSourceKind(graphicsFile_.location) != DrawingSourceKind::graphicsCsv) {
        graphicsFile_.changed = true;
    }
    readChanged(musicFile_, [this] { music_ = std::make_shared<const MusicTimeline>(readMusic(musicFile_.location)); });
    readChanged(graphicsFile_, [this] {
        graphics_ = std::make_shared<const GraphicsTimeline>(loadDrawing(graphicsFile_.location, music_->durationSeconds));
    });
    if (!read) return false;
    ShowReload reload;
    reload.readSeconds = steadySeconds() - started;
    // A file that fails is named before a mismatch, the drawing before the soundtrack, as at launch.
    reload.error = !graphicsFile_.error.empty() ? graphicsFile_.error : musicFile_.error;
    if (reload.error.empty()) {
        reload.error = failureOf([&] {
            if (music_->soundName.empty()) {
                checkDurations(graphics_->durationSeconds, music_->durationSeconds);
                reload.graphics = graphics_;
                return;
            }
            // A recording may set the drawing's length: the drawing as read stays for the next reload.
            auto fitted = std::make_shared<GraphicsTimeline>(*graphics_);
            fitToSoundtrack(*fitted, *music_);
            reload.graphics = std::move(fitted);
        });
    }
    if (reload.error.empty()) {
        reload.music = music_;
    }
    publish(std::move(reload));
    return true;
}

} // namespace drevik

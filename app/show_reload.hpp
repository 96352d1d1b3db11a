#pragma once
// Live reload: the show's two input files are read again when they are saved. The folders that hold
// them are watched through the kernel's file notifications (nothing is polled); a file is read once it
// has been quiet for a short while, so that one written in pieces is read once, complete. Reading and
// analysis happen on the reloader's own thread; the show takes the result on its event loop.
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace drevik {

// What the files on disk give the show: a pair to play, or why they cannot be played.
struct ShowReload {
    std::shared_ptr<const GraphicsTimeline> graphics; // both set when error is empty
    std::shared_ptr<const MusicTimeline> music;
    std::string error; // the description of the failure (a contract error or a duration mismatch)
    double readSeconds = 0; // how long reading the saved files took
};

class ShowReloader {
public:
    // Seconds a file must stay unchanged after its last write (and close) before it is read.
    static constexpr double quietSeconds = 0.3;
    // Seconds of silence after which a file written to but not closed is read all the same.
    static constexpr double openWriterSeconds = 2;

    // Watches the folders of both files. `graphics` and `music` are what the show plays now: a save of
    // one file is paired with the last good reading of the other. `changed` runs on the reloader's thread
    // whenever take() has something new. Watching that cannot be set up (no such folder, no notification
    // slots left) leaves the show as it is: nothing is reloaded.
    ShowReloader(std::filesystem::path graphicsLocation, std::filesystem::path musicLocation,
                 std::shared_ptr<const GraphicsTimeline> graphics, std::shared_ptr<const MusicTimeline> music,
                 std::function<void()> changed);
    // Stops watching; waits for a reading under way to finish.
    ~ShowReloader();
    ShowReloader(const ShowReloader&) = delete;
    ShowReloader& operator=(const ShowReloader&) = delete;

    // Whether the files are being watched.
    bool watching() const { return thread_.joinable(); }
    // The latest result not yet taken (an older one not taken in time is replaced).
    std::optional<ShowReload> take();

private:
    struct WatchedFile {
        std::filesystem::path location;
        std::string name;  // the last component, as notifications name it
        int watch = -1;    // the watch of its folder
        bool changed = false;
        bool writing = false; // written to since it was last closed, created or renamed
        double due = 0;    // steady-clock seconds at which it has been quiet long enough
        std::string error; // why the last reading failed
    };

    void loop();
    // Drains the notifications waiting; false when the notification descriptor broke.
    bool readNotifications();
    // Reads the files whose quiet time is over; true when any was read.
    bool readDueFiles(double now);
    void publish(ShowReload reload);

    WatchedFile graphicsFile_;
    WatchedFile musicFile_;
    // The last good reading of each file (used only on the reloader's thread).
    std::shared_ptr<const GraphicsTimeline> graphics_;
    std::shared_ptr<const MusicTimeline> music_;
    std::function<void()> changed_;
    int notifications_ = -1;
    int stop_ = -1; // an event descriptor that ends the loop

    std::mutex mutex_;
    std::optional<ShowReload> latest_;
    std::thread thread_;
};

} // namespace drevik

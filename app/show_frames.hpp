#pragma once
// Pictures of the show, made one at a time off the main thread so that the window stays responsive
// even when a frame takes far longer than a display refresh.
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace drevik {

// One finished picture: rows top to bottom, 4 bytes per pixel in B, G, R, A order.
struct ShowPicture {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::uint8_t> bgra;
};

// Makes the picture of one moment. Called from one thread at a time (the frame worker's).
class ShowFrameSource {
public:
    virtual ~ShowFrameSource() = default;
    // Renders the show at normalised time n at the given size (the window's drawable size in pixels)
    // into `into`, or, for a source that presentsItself(), straight onto the window, setting only the
    // size of `into`. Returns false when the frame had to be skipped (nothing to draw with or into). A
    // failure that leaves the source usable (for example a buffer that could not be allocated) is thrown
    // as an Error.
    virtual bool render(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                        const AudioFeatures& features) = 0;
    // Renders like render() but always into `into`, never onto the window: the picture of a screenshot.
    virtual bool capture(ShowPicture& into, std::size_t width, std::size_t height, double normalizedTime,
                         const AudioFeatures& features) {
        return render(into, width, height, normalizedTime, features);
    }
    // Later frames draw `timeline` (kept alive by the worker while the source may use it).
    virtual void changeTimeline(const GraphicsTimeline&) {}
    // Whether frames go to the window without passing through a picture.
    virtual bool presentsItself() const { return false; }
    // The window has changed size (called from the window's thread).
    virtual void drawableSizeChanged() {}
};

// What one frame asks of the worker.
struct ShowFrameRequest {
    std::size_t width = 0;
    std::size_t height = 0;
    double normalizedTime = 0;
    AudioFeatures features;
    bool capture = false; // a screenshot's picture (ShowFrameSource::capture), not a frame for the window
    // The drawing to render; none keeps the one of the frame before (the source's own at first).
    std::shared_ptr<const GraphicsTimeline> timeline;
};

// What came back: the picture, nothing (a skipped frame), or the description of why encoding failed.
struct ShowFrameResult {
    bool skipped = false;
    bool failed = false;
    std::string failure;
    double renderSeconds = 0;
    bool capture = false;
};

// Runs a frame source on its own thread, one frame at a time: a new frame is accepted only when the
// previous one has been collected, so frames never queue up.
class ShowFrameWorker {
public:
    // `finished` runs on the worker thread after each frame (used to wake the event loop).
    ShowFrameWorker(std::unique_ptr<ShowFrameSource> source, std::function<void()> finished);
    ~ShowFrameWorker();
    ShowFrameWorker(const ShowFrameWorker&) = delete;
    ShowFrameWorker& operator=(const ShowFrameWorker&) = delete;

    // True when no frame is being made and none waits to be collected.
    bool idle() const;
    // Starts a frame; ignored unless idle().
    void submit(const ShowFrameRequest& request);
    // The finished frame, once: the picture is swapped into `picture`.
    std::optional<ShowFrameResult> collect(ShowPicture& picture);
    // Blocks until the frame under way (if any) has finished.
    void waitForFrame();
    ShowFrameSource& source() { return *source_; }

private:
    void loop();

    std::unique_ptr<ShowFrameSource> source_;
    std::function<void()> finished_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<ShowFrameRequest> pending_;
    std::optional<ShowFrameResult> result_;
    bool busy_ = false;
    bool quitting_ = false;
    ShowPicture picture_;
    std::shared_ptr<const GraphicsTimeline> timeline_; // the source's drawing once a request changed it
    std::thread thread_;
};

} // namespace drevik

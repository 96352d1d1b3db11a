#pragma once
// The interactive show: the application delegate that opens the window, and the view that keeps the
// show clock, handles keys and draws one frame per display refresh.
#include "app/configuration.hpp"
#include "app/live_sound.hpp"
#include "app/show_frames.hpp"
#include "app/show_reload.hpp"
#include "app/show_screenshot.hpp"
#include "app/show_transport.hpp"
#include "platform/error.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <SDL2/SDL.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace drevik {

class ShowViewError : public Error {
public:
    enum class Kind { noMetalDevice };
    explicit ShowViewError(Kind kind = Kind::noMetalDevice)
        : Error("This Mac does not provide a Metal device."), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// No window can be opened at all (no display server); reported on standard error like any other failure.
class NoDisplayError : public Error {
public:
    explicit NoDisplayError(const std::string& reason)
        : Error("There is no display to open the show window on (" + reason +
                "); render a picture with --snapshot PATH or a movie with --movie PATH instead.") {}
};

// --display names a display the machine does not have.
class NoSuchDisplayError : public Error {
public:
    NoSuchDisplayError(std::int64_t display, int displays);
};

inline constexpr const char* showWindowTitle = "VELMORA — METAL VESPERINE";
inline constexpr const char* showFailedFrameTitlePrefix = "VELMORA — ";
inline constexpr const char* showStartFailureMessage = "Drevik could not start";

// The show key at a key position; other positions give ShowKey::other.
ShowKey showKeyForScancode(SDL_Scancode scancode);

// Makes the frame source of a view for its window: the GPU renderer in the program, a stand-in in tests.
using ShowFrameSourceFactory = std::function<std::unique_ptr<ShowFrameSource>(SDL_Window*)>;
// The GPU renderer, drawing straight into the window where the window can present through Vulkan (it
// must then outlive the source), else off screen; fails with ShowViewError when there is no GPU, or
// with the renderer's error.
std::unique_ptr<ShowFrameSource> makeGpuFrameSource(const GraphicsTimeline& timeline, SDL_Window* window = nullptr,
                                                    const std::filesystem::path& cacheFolder = {});

class MetalShowView {
public:
    static constexpr int defaultWidth = 1280;
    static constexpr int defaultHeight = 720;
    static constexpr double maximumFramesPerSecond = 60;
    // Frames drawn after a change when the show is paused: the changed moment, and one more so that a
    // window that was still settling (mapped, resized) shows the settled picture.
    static constexpr int settleFrames = 2;

    // Keeps references to both timelines, which must outlive the view, whatever replaceShow() brings.
    // Without an audio output the show runs silently on the steady clock. Frames are made for `window`
    // (which must outlive the view) once the view has moved to it. With `live` (which must outlive the
    // view) the show listens: the music is neither played nor read, the features are the live input's,
    // and the drawing loops on the show's own clock.
    MetalShowView(int width, int height, const GraphicsTimeline& timeline, const MusicTimeline& music,
                  double startTime, bool autoplay, SDL_Window* window, const ShowFrameSourceFactory& makeSource,
                  LiveSound* live = nullptr);
    ~MetalShowView();
    MetalShowView(const MetalShowView&) = delete;
    MetalShowView& operator=(const MetalShowView&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    bool autoplay() const { return autoplay_; }
    ShowTransport& transport() { return transport_; }
    const ShowTransport& transport() const { return transport_; }
    bool hasAudioPlayer() const { return audioPlayer_ != nullptr; }
    bool cursorHidden() const { return cursorHidden_; }
    SDL_Window* window() const { return window_; }

    void play() { transport_.play(); }
    void pause() { transport_.pause(); }

    // Plays a new pair from now on: the transport keeps its position (clamped into a shorter show) and
    // whether it plays, the sound goes on from the same moment, and the picture is drawn again.
    void replaceShow(std::shared_ptr<const GraphicsTimeline> graphics, std::shared_ptr<const MusicTimeline> music);
    const GraphicsTimeline& timeline() const { return *graphics_; }
    // The drawing of the picture on screen; null before the first frame.
    const GraphicsTimeline* shownTimeline() const { return shown_ ? shown_->timeline.get() : nullptr; }

    // Attaches the view to its window (or detaches it with nullptr).
    void viewDidMoveToWindow(SDL_Window* window);
    // Handles one key press or repeat; returns what the window has to do. P and Print Screen ask for a
    // screenshot of the picture on screen.
    ShowKeyResult keyDown(SDL_Scancode scancode);
    void mouseMoved();
    void didEnterFullScreen();
    void didExitFullScreen();

    // True when a new frame can be started (the previous one is finished and shown).
    bool readyForFrame() const { return worker_->idle(); }
    // Whether there is anything new to draw: the show plays or hears its input, something changed the
    // picture since it was last drawn, or a screenshot waits. A paused show with nothing new draws nothing.
    bool needsFrame() const {
        return transport_.playing() || (live_ != nullptr && live_->listening()) || redrawFrames_ > 0 ||
               screenshotWanted_;
    }
    // Something may have changed the picture (a size, an expose, new show data): draw it again.
    void setNeedsDisplay() { redrawFrames_ = settleFrames; }
    // Where screenshots go (the working folder when empty) and who writes them (none: P does nothing).
    void setScreenshotFolder(std::filesystem::path folder) { screenshotFolder_ = std::move(folder); }
    void setScreenshotWriter(ScreenshotWriter* writer) { screenshotWriter_ = writer; }
    // Starts the frame of this moment: the clock is read now and the picture is made in the background.
    // A screenshot that waits goes first: the picture on screen is made again off screen.
    void draw();
    // The window changed size.
    void drawableSizeChanged();
    // Whether frames are rendered straight into the window's swapchain (else their pictures are copied
    // to the window's own surface).
    bool presentsThroughSwapchain() const { return presentsItself_; }
    // Finishes a frame: shows its picture on the window (unless it is already there), or its failure in
    // the title. True when a frame was finished.
    bool presentFinishedFrame();
    // Blocks until the frame under way is done.
    void waitForFrame() { worker_->waitForFrame(); }

    std::size_t framesShown() const { return framesShown_; }
    double lastRenderSeconds() const { return lastRenderSeconds_; }
    // The last frame's picture; only its size when the frame went straight to the window.
    const ShowPicture& lastPicture() const { return picture_; }
    // The show time of the picture last requested, and the features it was drawn with.
    double lastFrameSeconds() const { return lastFrameSeconds_; }
    const AudioFeatures& lastFrameFeatures() const { return requested_.features; }

private:
    void blitToWindowSurface();
    void showCursor();
    void hideCursor();

    int width_;
    int height_;
    std::shared_ptr<const GraphicsTimeline> graphics_;
    std::shared_ptr<const MusicTimeline> music_;
    bool autoplay_;
    SteadyShowClock clock_;
    std::unique_ptr<ShowAudio> audioPlayer_;
    LiveSound* live_;
    ShowTransport transport_;
    std::unique_ptr<ShowFrameWorker> worker_;
    bool presentsItself_ = false;
    SDL_Window* window_ = nullptr;
    bool cursorHidden_ = false;
    ShowPicture picture_;
    std::size_t framesShown_ = 0;
    double lastRenderSeconds_ = 0;
    double expectedLatency_ = 0; // how long a frame takes from request to screen, smoothed
    double lastFrameSeconds_ = 0;
    int redrawFrames_ = settleFrames; // frames still to draw while paused
    ShowFrameRequest requested_;        // the frame being made
    std::optional<ShowFrameRequest> shown_; // the frame on screen
    bool screenshotWanted_ = false;
    std::chrono::system_clock::time_point screenshotMoment_;
    std::filesystem::path screenshotFolder_;
    ScreenshotWriter* screenshotWriter_ = nullptr;
};

// Ways for tests to look into a running show.
struct ShowHooks {
    int width = MetalShowView::defaultWidth;
    int height = MetalShowView::defaultHeight;
    ShowFrameSourceFactory makeSource;                        // the GPU renderer when empty
    std::function<void(const std::string&)> reportStartFailure; // the message box when empty
    // Runs on the event loop after each frame has been shown (and once right after launch with 0).
    std::function<void(MetalShowView&, SDL_Window*)> afterFrame;
    // Where screenshots go (the working folder when empty), and what runs on the writer's thread after
    // each (its location; empty when it failed).
    std::filesystem::path screenshotFolder;
    std::function<void(const std::filesystem::path&)> screenshotWritten;
    // Where reload failures are written (standard error when null), and what runs on the event loop
    // after each reload has been taken (a good one is then playing).
    std::FILE* reloadErrors = nullptr;
    std::function<void(const ShowReload&)> reloaded;
};

class DrevikAppDelegate {
public:
    // Uses the configuration's normalizedTime (where the show opens), autoplay and fullscreen.
    DrevikAppDelegate(const GraphicsTimeline& timeline, const MusicTimeline& music, Configuration configuration,
                      ShowHooks hooks = {});
    ~DrevikAppDelegate();
    DrevikAppDelegate(const DrevikAppDelegate&) = delete;
    DrevikAppDelegate& operator=(const DrevikAppDelegate&) = delete;

    // Opens the window (on the configuration's display, when it names one) and runs the event loop until
    // Escape or the window is closed. A view that cannot be created is reported in a message box and ends
    // the loop normally. Throws NoDisplayError when no display can be reached, NoSuchDisplayError before
    // opening a window when the configuration names a display that does not exist.
    void run();

private:
    bool applicationDidFinishLaunching();
    // Takes what the reloader read: a new pair to play, or its failure for the title and standard error.
    void applyReload();
    // Names a new problem of the live input in the title and on standard error.
    void reportLiveSound();
    void toggleFullScreen();
    void constrainAspect();

    const GraphicsTimeline& timeline_;
    const MusicTimeline& music_;
    Configuration configuration_;
    ShowHooks hooks_;
    SDL_Window* window_ = nullptr;
    std::unique_ptr<ScreenshotWriter> screenshots_; // outlives the view, which queues on it
    std::unique_ptr<MetalShowView> view_;
    std::unique_ptr<ShowReloader> reloader_; // none with --no-reload, or while listening
    std::string reloadError_;                // the reload failure named in the title, if any
    std::unique_ptr<LiveSound> live_;        // the input the show listens to (--listen)
    std::string liveProblem_;                // why it is silent, as named in the title
};

} // namespace drevik

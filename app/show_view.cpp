#include "app/show_view.hpp"

#include "app/audio_player.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace drevik {

namespace {

std::unique_ptr<ShowAudio> makeAudioPlayer(const MusicTimeline& music) {
    try {
        return std::make_unique<CSVAudioPlayer>(music);
    } catch (const std::exception&) {
        return nullptr; // a silent show on the steady clock
    }
}

bool inFullScreen(SDL_Window* window) {
    return window != nullptr && (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) != 0;
}

void wakeEventLoop() {
    SDL_Event event{};
    event.type = SDL_USEREVENT;
    SDL_PushEvent(&event);
}

// A shared pointer to a value that someone else keeps alive for longer.
template <typename T>
std::shared_ptr<const T> borrowed(const T& value) {
    return std::shared_ptr<const T>(std::shared_ptr<const T>(), &value);
}

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether a display server could be reached at all. Without one, the video layer would fall back to
// drawing off screen, and the show would run where nobody can see or stop it.
void requireDisplay() {
    if (environmentSet("SDL_VIDEODRIVER")) return; // the user chose the driver
    bool wayland = environmentSet("WAYLAND_DISPLAY");
    if (!wayland && environmentSet("XDG_RUNTIME_DIR"))
        wayland = std::filesystem::exists(std::filesystem::path(std::getenv("XDG_RUNTIME_DIR")) / "wayland-0");
    if (!environmentSet("DISPLAY") && !wayland) throw NoDisplayError("neither DISPLAY nor WAYLAND_DISPLAY is set");
}

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds between frames: the display's refresh, but never more than the show's maximum rate.
double frameInterval(SDL_Window* window) {
    double rate = MetalShowView::maximumFramesPerSecond;
    SDL_DisplayMode mode{};
    int display = SDL_GetWindowDisplayIndex(window);
    if (display >= 0 && SDL_GetCurrentDisplayMode(display, &mode) == 0 && mode.refresh_rate > 0)
        rate = std::min(rate, static_cast<double>(mode.refresh_rate));
    return 1.0 / rate;
}

bool isScreenshotKey(SDL_Scancode scancode) {
    return scancode == SDL_SCANCODE_P || scancode == SDL_SCANCODE_PRINTSCREEN;
}

std::string displayCountText(int displays) {
    if (displays <= 0) return "no display";
    if (displays == 1) return "1 display (0)";
    if (displays == 2) return "2 displays (0 and 1)";
    return std::to_string(displays) + " displays (0 to " + std::to_string(displays - 1) + ")";
}

} // namespace

NoSuchDisplayError::NoSuchDisplayError(std::int64_t display, int displays)
    : Error("There is no display " + std::to_string(display) + "; this machine has " + displayCountText(displays) +
            ".") {}

ShowKey showKeyForScancode(SDL_Scancode scancode) {
    switch (scancode) {
    case SDL_SCANCODE_ESCAPE: return ShowKey::escape;
    case SDL_SCANCODE_SPACE: return ShowKey::space;
    case SDL_SCANCODE_R: return ShowKey::r;
    case SDL_SCANCODE_F: return ShowKey::f;
    case SDL_SCANCODE_LEFT: return ShowKey::leftArrow;
    case SDL_SCANCODE_RIGHT: return ShowKey::rightArrow;
    default: return ShowKey::other;
    }
}

// ---------------------------------------------------------------------------------------------------
// MetalShowView

MetalShowView::MetalShowView(int width, int height, const GraphicsTimeline& timeline, const MusicTimeline& music,
                             double startTime, bool autoplay, SDL_Window* window,
                             const ShowFrameSourceFactory& makeSource, LiveSound* live)
    : width_(width),
      height_(height),
      graphics_(borrowed(timeline)),
      music_(borrowed(music)),
      autoplay_(autoplay),
      audioPlayer_(live != nullptr ? nullptr : makeAudioPlayer(music)),
      live_(live),
      transport_(timeline.durationSeconds, startTime, audioPlayer_.get(), clock_) {
    transport_.setLooping(live_ != nullptr);
    std::unique_ptr<ShowFrameSource> source = makeSource ? makeSource(window) : makeGpuFrameSource(*graphics_, window);
    presentsItself_ = source->presentsItself();
    worker_ = std::make_unique<ShowFrameWorker>(std::move(source), &wakeEventLoop);
}

MetalShowView::~MetalShowView() {
    worker_.reset(); // finishes the frame under way
    if (audioPlayer_) audioPlayer_->stopPlayback();
    if (cursorHidden_) showCursor();
}

void MetalShowView::viewDidMoveToWindow(SDL_Window* window) { window_ = window; }

void MetalShowView::replaceShow(std::shared_ptr<const GraphicsTimeline> graphics,
                                std::shared_ptr<const MusicTimeline> music) {
    // The sound output stops reading the old signal before the old timeline may go.
    if (audioPlayer_ && music != music_) audioPlayer_->replaceSignal(*music);
    music_ = std::move(music);
    graphics_ = std::move(graphics); // the frame under way keeps the old drawing alive until it is done
    transport_.changeDuration(graphics_->durationSeconds);
    setNeedsDisplay();
}

void MetalShowView::drawableSizeChanged() {
    worker_->source().drawableSizeChanged();
    setNeedsDisplay();
}

ShowKeyResult MetalShowView::keyDown(SDL_Scancode scancode) {
    if (isScreenshotKey(scancode)) {
        if (screenshotWriter_ != nullptr && !screenshotWanted_) {
            screenshotWanted_ = true;
            screenshotMoment_ = std::chrono::system_clock::now();
        }
        return ShowKeyResult::handled;
    }
    setNeedsDisplay();
    ShowKeyResult result = transport_.handleKey(showKeyForScancode(scancode));
    if (result == ShowKeyResult::toggleFullScreen && window_ == nullptr) return ShowKeyResult::handled;
    return result;
}

void MetalShowView::hideCursor() {
    SDL_ShowCursor(SDL_DISABLE);
    cursorHidden_ = true;
}

void MetalShowView::showCursor() {
    SDL_ShowCursor(SDL_ENABLE);
    cursorHidden_ = false;
}

void MetalShowView::mouseMoved() {
    if (inFullScreen(window_) && !cursorHidden_) hideCursor();
}

void MetalShowView::didEnterFullScreen() {
    if (!cursorHidden_) hideCursor();
    setNeedsDisplay();
}

void MetalShowView::didExitFullScreen() {
    if (cursorHidden_) showCursor();
    setNeedsDisplay();
}

void MetalShowView::draw() {
    if (!worker_->idle()) return;
    if (screenshotWanted_ && shown_) {
        // The moment on screen, at its size, made again off screen: the window's own frames go on after it.
        requested_ = *shown_;
        requested_.capture = true;
        worker_->submit(requested_);
        return;
    }
    if (redrawFrames_ > 0) --redrawFrames_;
    double t = transport_.frameSeconds();
    // A playing show draws the moment at which the picture will reach the screen, so that on a slow
    // device the picture keeps up with the sound instead of trailing it by a frame's making.
    if (transport_.playing()) t = std::min(t + expectedLatency_, transport_.durationSeconds());
    double n = transport_.normalizedTime(t);
    ShowFrameRequest request;
    int pixelWidth = width_;
    int pixelHeight = height_;
    if (window_ != nullptr) SDL_GetWindowSizeInPixels(window_, &pixelWidth, &pixelHeight);
    request.width = static_cast<std::size_t>(std::max(pixelWidth, 1));
    request.height = static_cast<std::size_t>(std::max(pixelHeight, 1));
    request.normalizedTime = n;
    request.features = live_ != nullptr ? live_->features(clock_.nowSeconds()) : music_->features(n);
    request.timeline = graphics_;
    lastFrameSeconds_ = t;
    requested_ = request;
    worker_->submit(request);
}

bool MetalShowView::presentFinishedFrame() {
    ShowPicture captured;
    std::optional<ShowFrameResult> result = worker_->collect(requested_.capture ? captured : picture_);
    if (!result) return false;
    if (result->capture) {
        screenshotWanted_ = false;
        if (result->failed || result->skipped || screenshotWriter_ == nullptr) {
            std::fprintf(stderr, "Drevik: The screenshot could not be made%s%s\n", result->failed ? ": " : ".",
                         result->failure.c_str());
            std::fflush(stderr);
        } else {
            screenshotWriter_->write(std::move(captured), screenshotFolder_, screenshotMoment_);
        }
        return false;
    }
    if (result->failed || result->skipped) redrawFrames_ = std::max(redrawFrames_, 1); // try again
    else shown_ = requested_;
    lastRenderSeconds_ = result->renderSeconds;
    expectedLatency_ = framesShown_ == 0 ? lastRenderSeconds_ : 0.5 * (expectedLatency_ + lastRenderSeconds_);
    ++framesShown_;
    if (window_ == nullptr || result->skipped) return true;
    if (result->failed) {
        SDL_SetWindowTitle(window_, (std::string(showFailedFrameTitlePrefix) + result->failure).c_str());
        return true;
    }
    if (presentsItself_ || picture_.width == 0 || picture_.height == 0) return true;
    blitToWindowSurface();
    return true;
}

void MetalShowView::blitToWindowSurface() {
    SDL_Surface* target = SDL_GetWindowSurface(window_);
    if (target == nullptr) return;
    SDL_Surface* source = SDL_CreateRGBSurfaceWithFormatFrom(
        picture_.bgra.data(), static_cast<int>(picture_.width), static_cast<int>(picture_.height), 32,
        static_cast<int>(picture_.width * 4), SDL_PIXELFORMAT_BGRA32);
    if (source == nullptr) return;
    SDL_SetSurfaceBlendMode(source, SDL_BLENDMODE_NONE);
    if (source->w == target->w && source->h == target->h) SDL_BlitSurface(source, nullptr, target, nullptr);
    else SDL_BlitScaled(source, nullptr, target, nullptr); // the window changed size while the frame was made
    SDL_FreeSurface(source);
    SDL_UpdateWindowSurface(window_);
}

// ---------------------------------------------------------------------------------------------------
// DrevikAppDelegate

DrevikAppDelegate::DrevikAppDelegate(const GraphicsTimeline& timeline, const MusicTimeline& music,
                                     Configuration configuration, ShowHooks hooks)
    : timeline_(timeline), music_(music), configuration_(std::move(configuration)), hooks_(std::move(hooks)) {}

DrevikAppDelegate::~DrevikAppDelegate() {
    reloader_.reset();
    view_.reset();
    live_.reset();
    screenshots_.reset();
    if (window_ != nullptr) SDL_DestroyWindow(window_);
}

bool DrevikAppDelegate::applicationDidFinishLaunching() {
    // The window comes first, hidden, since the renderer draws into it; it is shown once the view exists.
    constexpr Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_HIDDEN;
    const int position = configuration_.display
                             ? static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(static_cast<int>(*configuration_.display)))
                             : static_cast<int>(SDL_WINDOWPOS_CENTERED);
    window_ = SDL_CreateWindow(showWindowTitle, position, position, hooks_.width, hooks_.height,
                               flags | SDL_WINDOW_VULKAN);
    if (window_ == nullptr) // no Vulkan presentation for this window: draw through its own surface
        window_ = SDL_CreateWindow(showWindowTitle, position, position, hooks_.width, hooks_.height, flags);
    if (window_ == nullptr) throw NoDisplayError(SDL_GetError());
    try {
        if (configuration_.listen) live_ = std::make_unique<LiveSound>(*configuration_.listen);
        view_ = std::make_unique<MetalShowView>(hooks_.width, hooks_.height, timeline_, music_, configuration_.normalizedTime,
                                                configuration_.autoplay, window_, hooks_.makeSource, live_.get());
    } catch (const std::exception& error) {
        SDL_DestroyWindow(window_);
        window_ = nullptr;
        if (hooks_.reportStartFailure) hooks_.reportStartFailure(error.what());
        else if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, showStartFailureMessage, error.what(), nullptr) != 0)
            throw; // the box could not be shown: report the failure on standard error instead
        return false;
    }
    screenshots_ = std::make_unique<ScreenshotWriter>(stdout, stderr, hooks_.screenshotWritten);
    view_->setScreenshotWriter(screenshots_.get());
    view_->setScreenshotFolder(hooks_.screenshotFolder);
    SDL_ShowWindow(window_);
    SDL_RaiseWindow(window_);
    view_->viewDidMoveToWindow(window_);
    if (configuration_.reload && !live_ && !configuration_.graphicsURL.empty() && !configuration_.musicURL.empty()) {
        reloader_ = std::make_unique<ShowReloader>(configuration_.graphicsURL, configuration_.musicURL,
                                                   borrowed(timeline_), borrowed(music_), &wakeEventLoop);
    }
    return true;
}

void DrevikAppDelegate::applyReload() {
    std::optional<ShowReload> reload = reloader_ ? reloader_->take() : std::nullopt;
    if (!reload) return;
    if (hooks_.reloaded) hooks_.reloaded(*reload);
    if (reload->error.empty()) {
        view_->replaceShow(std::move(reload->graphics), std::move(reload->music));
        reloadError_.clear();
        SDL_SetWindowTitle(window_, showWindowTitle);
        return;
    }
    if (reload->error == reloadError_) return; // already in the title and written out
    reloadError_ = reload->error;
    SDL_SetWindowTitle(window_, (std::string(showFailedFrameTitlePrefix) + reloadError_).c_str());
    std::FILE* errors = hooks_.reloadErrors != nullptr ? hooks_.reloadErrors : stderr;
    const std::string line = "Drevik: " + reloadError_ + "\n";
    std::fwrite(line.data(), 1, line.size(), errors);
    std::fflush(errors);
}

void DrevikAppDelegate::reportLiveSound() {
    if (!live_) return;
    const std::string& problem = live_->problem();
    if (problem == liveProblem_) return;
    liveProblem_ = problem;
    if (problem.empty()) return;
    view_->setNeedsDisplay(); // a paused picture falls silent too
    SDL_SetWindowTitle(window_, (std::string(showFailedFrameTitlePrefix) + problem).c_str());
    const std::string line = "Drevik: " + problem + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void DrevikAppDelegate::toggleFullScreen() {
    bool full = inFullScreen(window_);
    if (SDL_SetWindowFullscreen(window_, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP) != 0) return;
    if (full) view_->didExitFullScreen();
    else view_->didEnterFullScreen();
}

void DrevikAppDelegate::constrainAspect() {
    Uint32 flags = SDL_GetWindowFlags(window_);
    if ((flags & (SDL_WINDOW_FULLSCREEN | SDL_WINDOW_MAXIMIZED)) != 0) return;
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window_, &width, &height);
    int wanted = static_cast<int>(std::lround(width * 9.0 / 16.0));
    if (std::abs(height - wanted) > 1) SDL_SetWindowSize(window_, width, std::max(wanted, 1));
}

void DrevikAppDelegate::run() {
    requireDisplay();
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) throw NoDisplayError(SDL_GetError());
    struct VideoGuard {
        ~VideoGuard() { SDL_QuitSubSystem(SDL_INIT_VIDEO); }
    } videoGuard;
    std::string driver = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
    if (!environmentSet("SDL_VIDEODRIVER") && (driver == "offscreen" || driver == "dummy"))
        throw NoDisplayError("only an off-screen video driver is available");
    // On X11, pictures copied to a window's own surface go straight to the X server; otherwise the video
    // layer would remake a window made for Vulkan as one for OpenGL to copy them.
    if (driver == "x11") SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (configuration_.display) {
        const int displays = SDL_GetNumVideoDisplays();
        if (*configuration_.display < 0 || *configuration_.display >= displays)
            throw NoSuchDisplayError(*configuration_.display, displays);
    }
    struct Teardown {
        DrevikAppDelegate& delegate;
        ~Teardown() {
            delegate.reloader_.reset(); // no more wake-ups for an event loop that is ending
            delegate.view_.reset();
            delegate.live_.reset();
            delegate.screenshots_.reset(); // writes the screenshots still waiting
            if (delegate.window_ != nullptr) SDL_DestroyWindow(delegate.window_);
            delegate.window_ = nullptr;
        }
    } teardown{*this};

    if (!applicationDidFinishLaunching()) return;
    // What the platform would run right after launching: full screen on request, then autoplay.
    if (configuration_.fullscreen) toggleFullScreen();
    if (view_->autoplay()) view_->play();
    if (hooks_.afterFrame) hooks_.afterFrame(*view_, window_);

    double interval = frameInterval(window_);
    double nextFrame = 0;
    bool quitting = false;
    while (!quitting) {
        double now = secondsNow();
        // A frame under way wakes the loop when it is done; a paused show with nothing new to draw sleeps
        // until an event arrives.
        int timeoutMs = 100;
        if (view_->readyForFrame()) {
            timeoutMs = view_->needsFrame()
                            ? std::clamp(static_cast<int>(std::ceil((nextFrame - now) * 1000)), 0, 100)
                            : 1000;
        }
        SDL_Event event;
        bool any = SDL_WaitEventTimeout(&event, timeoutMs) != 0;
        while (any && !quitting) {
            switch (event.type) {
            case SDL_QUIT: quitting = true; break;
            case SDL_WINDOWEVENT:
                if (event.window.event == SDL_WINDOWEVENT_CLOSE) quitting = true;
                else if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
                    constrainAspect();
                    view_->drawableSizeChanged();
                }
                else if (event.window.event == SDL_WINDOWEVENT_DISPLAY_CHANGED) {
                    interval = frameInterval(window_);
                    view_->setNeedsDisplay();
                }
                else if (event.window.event == SDL_WINDOWEVENT_EXPOSED || event.window.event == SDL_WINDOWEVENT_SHOWN ||
                         event.window.event == SDL_WINDOWEVENT_RESTORED)
                    view_->setNeedsDisplay();
                break;
            case SDL_KEYDOWN:
                if (event.key.repeat != 0 && isScreenshotKey(event.key.keysym.scancode)) break; // one per press
                switch (view_->keyDown(event.key.keysym.scancode)) {
                case ShowKeyResult::quit: quitting = true; break;
                case ShowKeyResult::toggleFullScreen: toggleFullScreen(); break;
                default: break;
                }
                break;
            case SDL_MOUSEMOTION: view_->mouseMoved(); break;
            default: break;
            }
            any = SDL_PollEvent(&event) != 0;
        }
        if (quitting) break;
        applyReload();
        reportLiveSound();
        if (view_->presentFinishedFrame() && hooks_.afterFrame) hooks_.afterFrame(*view_, window_);
        now = secondsNow();
        if (view_->readyForFrame() && view_->needsFrame() && now >= nextFrame) {
            nextFrame = nextFrame + interval > now ? nextFrame + interval : now + interval; // keep the cadence unless late
            view_->draw();
        }
    }
}

} // namespace drevik

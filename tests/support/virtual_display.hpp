#pragma once
// A private X server (Xvfb) for tests that open windows, the environment that points SDL at it, and
// a look at the pixels it shows.

// gtest comes before Xlib (through SDL_syswm.h), whose macros (None) would break it.
#include "tests/render/gpu_test_support.hpp"

#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>

#include <array>
#include <chrono>
#include <vector>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace drevik::testing {

// Starts Xvfb on a free display; stops it on destruction.
class VirtualDisplay {
public:
    VirtualDisplay() {
        for (int number = 90 + getpid() % 50; number < 200 && pid_ <= 0; ++number) {
            std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (std::filesystem::exists(socket) || std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock"))
                continue;
            std::string name = ":" + std::to_string(number);
            pid_t child = fork();
            if (child == 0) {
                execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset",
                       static_cast<char*>(nullptr));
                _exit(127);
            }
            for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!std::filesystem::exists(socket)) {
                kill(child, SIGTERM);
                waitpid(child, nullptr, 0);
                continue;
            }
            pid_ = child;
            name_ = name;
        }
    }
    ~VirtualDisplay() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;
    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

// The pixels of a rectangle of the window as the X server shows them (red, green, blue), row by row;
// empty when they cannot be read.
inline std::vector<std::array<int, 3>> screenPixels(SDL_Window* window, int x, int y, int width, int height) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return {};
    static void* xlib = dlopen("libX11.so.6", RTLD_NOW);
    if (xlib == nullptr) return {};
    using Sync = int (*)(Display*, int);
    using GetImage = XImage* (*)(Display*, Drawable, int, int, unsigned, unsigned, unsigned long, int);
    auto sync = reinterpret_cast<Sync>(dlsym(xlib, "XSync"));
    auto getImage = reinterpret_cast<GetImage>(dlsym(xlib, "XGetImage"));
    sync(info.info.x11.display, 0);
    XImage* image = getImage(info.info.x11.display, info.info.x11.window, x, y, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), ~0ul, ZPixmap);
    if (image == nullptr) return {};
    std::vector<std::array<int, 3>> pixels;
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            unsigned long pixel = image->f.get_pixel(image, column, row);
            pixels.push_back({static_cast<int>((pixel >> 16) & 255), static_cast<int>((pixel >> 8) & 255),
                              static_cast<int>(pixel & 255)});
        }
    }
    image->f.destroy_image(image);
    return pixels;
}

// Queues a key press for the window, as the keyboard would.
inline void pushKey(SDL_Scancode scancode) {
    SDL_Event event{};
    event.type = SDL_KEYDOWN;
    event.key.keysym.scancode = scancode;
    event.key.state = SDL_PRESSED;
    SDL_PushEvent(&event);
}

// One pixel of the window as the X server shows it; -1s when it cannot be read.
inline std::array<int, 3> screenPixel(SDL_Window* window, int x, int y) {
    std::vector<std::array<int, 3>> pixels = screenPixels(window, x, y, 1, 1);
    return pixels.empty() ? std::array<int, 3>{-1, -1, -1} : pixels[0];
}

// The display of tests that open windows: a new Xvfb, named in DISPLAY while it runs, and SDL's X11
// video driver (and, unless told otherwise, its dummy audio driver). The destructor undoes it all.
class WindowDisplay {
public:
    explicit WindowDisplay(bool dummyAudio = true) : dummyAudio_(dummyAudio) {
        if (display_.running()) setenv("DISPLAY", display_.name().c_str(), 1);
        if (dummyAudio_) setenv("SDL_AUDIODRIVER", "dummy", 1);
        setenv("SDL_VIDEODRIVER", "x11", 1);
    }
    ~WindowDisplay() {
        if (dummyAudio_) unsetenv("SDL_AUDIODRIVER");
        unsetenv("SDL_VIDEODRIVER");
    }
    WindowDisplay(const WindowDisplay&) = delete;
    WindowDisplay& operator=(const WindowDisplay&) = delete;
    bool running() const { return display_.running(); }

private:
    VirtualDisplay display_;
    bool dummyAudio_;
};

// A suite whose tests share one WindowDisplay on the software GPU driver; each test is skipped
// where Xvfb cannot be started.
class WindowDisplaySuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        preferSoftwareDriver();
        display_ = new WindowDisplay();
    }
    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }
    void SetUp() override {
        if (!display_->running()) GTEST_SKIP() << "Xvfb could not be started";
    }

private:
    inline static WindowDisplay* display_ = nullptr;
};

} // namespace drevik::testing

#pragma once
// Everything Drevik does to the process as a whole, in one place, done first thing in main() before
// any library runs. The libraries themselves set no environment variables, install no log handlers
// and leave the file descriptors alone, so tests and benchmarks use them without hidden effects and
// set what they need themselves.
//
// What the program's start-up does, in this order:
//   1. Software Vulkan driver notice: MESA_VK_IGNORE_CONFORMANCE_WARNING=1 (unless the environment
//      already says otherwise), or Mesa's software driver prints on standard error that it is not a
//      conformant implementation each time a device is made. A normal run prints nothing there.
//   2. FFmpeg's log: quiet. A movie's failures reach the user as one error line; the encoders' own
//      chatter (statistics, warnings) is not wanted.
//   3. ALSA's error handler: drops the sound library's reports. Without a sound card, opening the
//      default output prints a dozen lines; the show then runs silently, which needs no telling.
//      The sound library also lists the monitors of outputs among the inputs (what the machine
//      plays, for --listen).
//   4. GPU options for the whole run: DREVIK_GPU_VALIDATION=1 (a developer switch, read here and
//      nowhere else) turns on the Vulkan validation layer for every device the program makes.
//   5. Signal handling for output files being written: installed by the launch driver for the
//      snapshot and the movie only (platform/atomic_output.hpp), because the show's window library
//      installs its own handler only while none is installed, and quits cleanly through it.
//   6. The cache folder, $XDG_CACHE_HOME/drevik (else ~/.cache/drevik), created if missing, where
//      GPU devices keep compiled shaders and pipeline caches; the software driver is pointed at it
//      for its own shader cache (MESA_SHADER_CACHE_DIR, unless the user chose a place already).
#include <filesystem>

namespace drevik {

// What start-up reads from the environment.
struct ProcessSettings {
    bool gpuValidation = false;
    std::filesystem::path cacheFolder; // empty when there is no home to keep a cache in
};

// Reads the settings from the environment.
ProcessSettings processSettingsFromEnvironment();

// Step 1 alone (tests that make devices without the rest of the program use it).
void quietGpuDriverNotices();

// Steps 1 to 6, with the settings read from the environment; returns them.
ProcessSettings setUpProcess();

} // namespace drevik

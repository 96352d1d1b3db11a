#include "app/process_setup.hpp"

#include "app/cache_folder.hpp"
#include "app/live_sound.hpp"
#include "render/gpu/gpu.hpp"

#include <alsa/asoundlib.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdlib>
#include <cstring>

namespace drevik {

namespace {

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool environmentFlag(const char* name) {
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

} // namespace

ProcessSettings processSettingsFromEnvironment() {
    ProcessSettings settings;
    settings.gpuValidation = environmentFlag("DREVIK_GPU_VALIDATION");
    return settings;
}

void quietGpuDriverNotices() { ::setenv("MESA_VK_IGNORE_CONFORMANCE_WARNING", "1", 0); }

ProcessSettings setUpProcess() {
    ProcessSettings settings = processSettingsFromEnvironment();
    quietGpuDriverNotices();
    av_log_set_level(AV_LOG_QUIET);
    // The AV1 encoder library prints its banner and notices itself; only fatal errors, which reach
    // the user as the movie writer's failure anyway.
    ::setenv("SVT_LOG", "0", 0);
    snd_lib_error_set_handler(&ignoreAlsaError);
    includeMonitorInputs();
    gpu::DeviceOptions device;
    device.validation = settings.gpuValidation;
    gpu::setDefaultDeviceOptions(device);
    // 5. is the launch driver's (see the header).
    settings.cacheFolder = prepareCacheFolder();
    return settings;
}

} // namespace drevik

// The program's entry: the process-wide set-up (app/process_setup.hpp), then the launch driver.
#include "app/launch.hpp"
#include "app/process_setup.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>
#endif

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
    // Sanitizer builds only: keep the software GPU driver mapped until the process ends. The
    // Vulkan loader unloads it with each instance, and the leak checker could then no longer name
    // it (tests/lsan.supp) for the memory it keeps inside itself.
    static_cast<void>(::dlopen("libvulkan_lvp.so", RTLD_NOW | RTLD_NODELETE));
#endif
    const drevik::ProcessSettings settings = drevik::setUpProcess();
    return drevik::launchMain(argc, argv, settings.cacheFolder);
}

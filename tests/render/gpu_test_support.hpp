#pragma once
// Shared by the GPU layer's tests: a validated device on the software driver, and small helpers.
#include "render/gpu/gpu.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace drevik::testing {

// Points the Vulkan loader at the software driver unless the environment already chose a driver,
// so the tests see the same device on every machine, and keeps the driver's notice that it is not
// conformant off standard error (as the program's start-up does). Also keeps the driver and the validation layer
// mapped for the life of the process: the loader unloads them with each instance, and the leak
// checker can then no longer name them for what they leak inside themselves (tests/lsan.supp).
inline void preferSoftwareDriver() {
    const char* lavapipe = "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";
    if (!std::getenv("VK_DRIVER_FILES") && !std::getenv("VK_ICD_FILENAMES") && std::filesystem::exists(lavapipe)) {
        ::setenv("VK_DRIVER_FILES", lavapipe, 0);
    }
    ::setenv("MESA_VK_IGNORE_CONFORMANCE_WARNING", "1", 0);
    static const bool kept = [] {
        for (const char* library : {"libvulkan_lvp.so", "libVkLayer_khronos_validation.so"}) {
            static_cast<void>(::dlopen(library, RTLD_NOW | RTLD_NODELETE));
        }
        return true;
    }();
    static_cast<void>(kept);
}

// Options with the validation layer on, for tests that make devices through code that asks for the
// default options (gpu::setDefaultDeviceOptions).
inline gpu::DeviceOptions validatedDeviceOptions() {
    gpu::DeviceOptions options;
    options.validation = true;
    return options;
}

// Every test of this fixture runs with the validation layer on and fails on any message it reports.
class ValidatedGpuTest : public ::testing::Test {
protected:
    void SetUp() override {
        preferSoftwareDriver();
        gpu::takeValidationMessages();
        gpu::DeviceOptions options;
        options.validation = std::getenv("DREVIK_TEST_NO_VALIDATION") == nullptr;
        device = gpu::Device::systemDefault(options);
        ASSERT_NE(device, nullptr) << "no Vulkan device";
    }

    void TearDown() override {
        device.reset();
        for (const auto& message : gpu::takeValidationMessages()) {
            ADD_FAILURE() << "validation: " << message;
        }
    }

    std::shared_ptr<gpu::Device> device;
};

} // namespace drevik::testing

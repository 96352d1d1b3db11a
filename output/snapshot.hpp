#pragma once
#include "platform/error.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"
#include "render/gpu/gpu.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace drevik {

class SnapshotError : public Error {
public:
    enum class Kind { outputExists, cannotWrite, noMetalDevice, cannotCreateTexture, cannotCreateImage };

    static SnapshotError outputExists(const std::filesystem::path& location) {
        return {Kind::outputExists, "Snapshot already exists: " + location.string()};
    }
    static SnapshotError cannotWrite(const std::filesystem::path& location) {
        return {Kind::cannotWrite, "Could not write snapshot: " + location.string()};
    }
    static SnapshotError noMetalDevice() { return {Kind::noMetalDevice, "This Mac does not provide a Metal device."}; }
    static SnapshotError cannotCreateTexture() {
        return {Kind::cannotCreateTexture, "Metal could not allocate the snapshot texture."};
    }
    static SnapshotError cannotCreateImage() {
        return {Kind::cannotCreateImage, "Could not turn the Metal frame into a PNG image."};
    }

    Kind kind() const noexcept { return kind_; }

private:
    SnapshotError(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind_;
};

} // namespace drevik

namespace drevik::MetalSnapshot {

// Renders the frame at normalizedTime off screen and writes it as a PNG at location. `device` gives
// the application's GPU device (nullptr when there is none), asked for once the location is known
// to be free; without it the system's default device is opened. A transparent snapshot keeps the picture's alpha (straight, output/straight_alpha.hpp)
// instead of its black background.
void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           double normalizedTime, const GraphicsTimeline& timeline, const MusicTimeline& music,
           const std::function<std::shared_ptr<gpu::Device>()>& device = {}, bool transparent = false);

} // namespace drevik::MetalSnapshot

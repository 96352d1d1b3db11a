#pragma once
#include "platform/error.hpp"
#include "core/graphics_timeline.hpp"
#include "core/music_timeline.hpp"

#include <cstdint>
#include <filesystem>
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

// Renders the frame at normalizedTime off screen and writes it as a PNG at location. The GPU device
// keeps compiled shaders in cacheFolder (nowhere when empty). A transparent snapshot keeps the
// picture's alpha (straight, output/straight_alpha.hpp) instead of its black background.
void write(const std::filesystem::path& location, std::int64_t width, std::int64_t height,
           double normalizedTime, const GraphicsTimeline& timeline, const MusicTimeline& music,
           const std::filesystem::path& cacheFolder = {}, bool transparent = false);

} // namespace drevik::MetalSnapshot

#pragma once
// How far a rendered picture is from a reference one, and whether it is the same picture: shared by
// the golden-picture tests and drevik-gpu-check, so both judge a picture by one tolerance. Another
// driver may round differently at the edges of strokes, so small differences are allowed everywhere
// and large ones on a few samples, never another picture.
#include <png.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace drevik::pictures {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

// The PNG as 8-bit RGBA; an image without pixels when it cannot be read.
inline Image readPng(const std::filesystem::path& path) {
    Image image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
    png.format = PNG_FORMAT_RGBA;
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.rgba.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.rgba.data(), 0, nullptr)) image.rgba.clear();
    return image;
}

struct Difference {
    double meanPerChannel = 0;
    double largeShare = 0; // share of channel samples off by more than 32
    bool matches() const { return meanPerChannel <= 1.0 && largeShare <= 0.005; }
};

// Both images of the same size.
inline Difference compare(const Image& image, const Image& reference) {
    Difference difference;
    double total = 0;
    std::size_t large = 0;
    const std::size_t count = std::min(image.rgba.size(), reference.rgba.size());
    for (std::size_t i = 0; i < count; ++i) {
        const int d = std::abs(int(image.rgba[i]) - int(reference.rgba[i]));
        total += d;
        if (d > 32) ++large;
    }
    const double channels = static_cast<double>(std::max<std::size_t>(count, 1));
    difference.meanPerChannel = total / channels;
    difference.largeShare = static_cast<double>(large) / channels;
    return difference;
}

} // namespace drevik::pictures

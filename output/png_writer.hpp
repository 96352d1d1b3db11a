#pragma once
// PNG encoding of rendered frames.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace drevik {

enum class PngWriteResult { written, cannotEncode, cannotWrite };

// Writes an opaque 8-bit RGBA PNG of width × height pixels to `file`, from pixels in BGRA byte order
// (row 0 the top row, rows bytesPerRow apart), with fast settings chosen for frames of lines over black.
// `cannotEncode` when the encoder cannot be set up, `cannotWrite` when writing the file fails.
PngWriteResult writeBgraAsPng(std::FILE* file, const std::uint8_t* bgra, std::size_t width, std::size_t height,
                              std::size_t bytesPerRow);

// The same keeping the pixels' alpha (straight, as PNG stores it) instead of writing them opaque.
PngWriteResult writeBgraAsPngWithAlpha(std::FILE* file, const std::uint8_t* bgra, std::size_t width,
                                       std::size_t height, std::size_t bytesPerRow);

} // namespace drevik

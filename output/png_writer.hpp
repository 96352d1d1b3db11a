#pragma once
// PNG encoding of rendered frames, into a stream or atomically into a file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
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

// The one PNG target of every picture written alone (the snapshot, the show's screenshots, each frame
// of a part of a frame sequence): encoded into a temporary file beside location (its folder made
// first), flushed and moved there unless something has appeared there meanwhile. cannotEncode when
// the encoder cannot be set up; every failure of the file itself throws AtomicOutputError
// (targetExists() for a location taken meanwhile), and no temporary is left.
PngWriteResult writePngFile(const std::filesystem::path& location, const std::uint8_t* bgra, std::size_t width,
                            std::size_t height, std::size_t bytesPerRow, bool keepAlpha);

} // namespace drevik

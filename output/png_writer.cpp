#include "output/png_writer.hpp"

#include "platform/atomic_output.hpp"

#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <csetjmp>
#include <system_error>
#include <vector>

namespace drevik {
namespace {

struct ErrorState {
    std::jmp_buf jump;
};

[[noreturn]] void onPngError(png_structp png, png_const_charp) {
    auto* state = static_cast<ErrorState*>(png_get_error_ptr(png));
    std::longjmp(state->jump, 1);
}

void onPngWarning(png_structp, png_const_charp) {
    // Warnings stay silent: standard error carries only the program's own failure line.
}

// Everything between setjmp and longjmp lives in plain C data, so the jump skips no destructor.
bool encodeRows(png_structp png, png_infop info, ErrorState& state, const std::uint8_t* bgra, std::size_t width,
                std::size_t height, std::size_t bytesPerRow, std::uint8_t* row, bool keepAlpha) {
    if (setjmp(state.jump)) {
        return false;
    }
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // The left-neighbour filter with run-length deflate: on frames of glowing lines over black this
    // encoded fastest and smallest of the cheap settings (unfiltered default deflate took about 1.5×
    // as long on dense frames and made larger files; both tie on sparse ones).
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(png, 1);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* source = bgra + y * bytesPerRow;
        for (std::size_t x = 0; x < width; ++x) {
            row[4 * x + 0] = source[4 * x + 2];
            row[4 * x + 1] = source[4 * x + 1];
            row[4 * x + 2] = source[4 * x + 0];
            row[4 * x + 3] = keepAlpha ? source[4 * x + 3] : 255;
        }
        png_write_row(png, row);
    }
    png_write_end(png, info);
    return true;
}

PngWriteResult writePng(std::FILE* file, const std::uint8_t* bgra, std::size_t width, std::size_t height,
                        std::size_t bytesPerRow, bool keepAlpha) {
    if (width == 0 || height == 0 || width > PNG_UINT_31_MAX || height > PNG_UINT_31_MAX) {
        return PngWriteResult::cannotEncode;
    }
    ErrorState state;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, onPngError, onPngWarning);
    if (!png) {
        return PngWriteResult::cannotEncode;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return PngWriteResult::cannotEncode;
    }
    // Large frames exceed libpng's default limits on nothing we write, but allow any width it accepts.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    std::vector<std::uint8_t> row(width * 4);
    png_init_io(png, file);
    const bool encoded = encodeRows(png, info, state, bgra, width, height, bytesPerRow, row.data(), keepAlpha);
    png_destroy_write_struct(&png, &info);
    if (!encoded || std::fflush(file) != 0 || std::ferror(file)) {
        return PngWriteResult::cannotWrite;
    }
    return PngWriteResult::written;
}

} // namespace

PngWriteResult writeBgraAsPng(std::FILE* file, const std::uint8_t* bgra, std::size_t width, std::size_t height,
                              std::size_t bytesPerRow) {
    return writePng(file, bgra, width, height, bytesPerRow, false);
}

PngWriteResult writeBgraAsPngWithAlpha(std::FILE* file, const std::uint8_t* bgra, std::size_t width,
                                       std::size_t height, std::size_t bytesPerRow) {
    return writePng(file, bgra, width, height, bytesPerRow, true);
}

PngWriteResult writePngFile(const std::filesystem::path& location, const std::uint8_t* bgra, std::size_t width,
                            std::size_t height, std::size_t bytesPerRow, bool keepAlpha) {
    AtomicFile file(location);
    std::FILE* stream = file.stream();
    const PngWriteResult result = stream == nullptr ? PngWriteResult::cannotWrite
                                                    : writePng(stream, bgra, width, height, bytesPerRow, keepAlpha);
    if (result == PngWriteResult::cannotWrite) {
        const int error = errno != 0 ? errno : EIO;
        throw AtomicOutputError(AtomicOutputError::Stage::write, std::error_code(error, std::generic_category()),
                                "Could not write " + location.string() + ": " + std::strerror(error));
    }
    if (result == PngWriteResult::written) file.commit();
    return result;
}

} // namespace drevik

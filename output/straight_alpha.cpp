#include "output/straight_alpha.hpp"

#include <algorithm>

namespace drevik {

void straightenAdditiveAlpha(std::span<std::uint8_t> bgra, std::size_t width, std::size_t height,
                             std::size_t bytesPerRow) {
    for (std::size_t y = 0; y < height; ++y) {
        std::uint8_t* pixel = bgra.data() + y * bytesPerRow;
        for (std::size_t x = 0; x < width; ++x, pixel += 4) {
            const unsigned brightest = std::max({pixel[0], pixel[1], pixel[2]});
            const unsigned alpha = std::max<unsigned>(pixel[3], brightest);
            pixel[3] = static_cast<std::uint8_t>(alpha);
            if (alpha == 255) continue; // already straight
            if (brightest == 0) continue; // black, whatever its coverage
            for (int c = 0; c < 3; ++c) {
                pixel[c] = static_cast<std::uint8_t>((pixel[c] * 255u + alpha / 2) / alpha);
            }
        }
    }
}

void straightenAdditiveAlphaWide(const std::uint8_t* bgra, std::size_t width, std::size_t height,
                                 std::size_t bytesPerRow, std::span<std::uint16_t> out) {
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* pixel = bgra + y * bytesPerRow;
        std::uint16_t* wide = out.data() + y * width * 4;
        for (std::size_t x = 0; x < width; ++x, pixel += 4, wide += 4) {
            const unsigned alpha = std::max<unsigned>({pixel[3], pixel[0], pixel[1], pixel[2]});
            wide[3] = static_cast<std::uint16_t>(alpha * 257u);
            for (int c = 0; c < 3; ++c) {
                wide[c] = static_cast<std::uint16_t>(alpha == 0 ? 0u : (pixel[c] * 65535u + alpha / 2) / alpha);
            }
        }
    }
}

} // namespace drevik

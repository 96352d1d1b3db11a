#pragma once
// Turns a frame rendered over transparent black into one with straight (not premultiplied) alpha.
// The renderer's light is additive: the colour is the sum of every layer's light and the alpha the
// layers' accumulated coverage, so a bright pixel can carry more light than its coverage allows in
// straight form. Its alpha is raised to its brightest channel instead of clipping the colour; the
// result composited "over" black gives back the rendered colour, within rounding.
#include <cstddef>
#include <cstdint>
#include <span>

namespace drevik {

// In place, on height rows of width BGRA pixels, bytesPerRow apart: alpha becomes
// max(alpha, B, G, R) and each channel channel × 255 / alpha, rounded (0 where alpha is 0).
void straightenAdditiveAlpha(std::span<std::uint8_t> bgra, std::size_t width, std::size_t height,
                             std::size_t bytesPerRow);

// The same into 16 bits a channel (B, G, R, A, native byte order, rows of width × 4 values), so that
// the straight colour of a faint pixel keeps its precision for the 10-bit video encoders.
void straightenAdditiveAlphaWide(const std::uint8_t* bgra, std::size_t width, std::size_t height,
                                 std::size_t bytesPerRow, std::span<std::uint16_t> out);

} // namespace drevik

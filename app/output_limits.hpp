#pragma once
// Upper bounds on what the offline writers are asked to produce. The command line only raises
// sizes and frame rates to their minimum; these checks refuse, with one line, requests that
// could never be rendered or encoded, before any GPU or encoder work starts.
#include "app/configuration.hpp"
#include "core/error.hpp"

#include <cstdint>

namespace drevik {

struct OutputLimits {
    // Widest and tallest picture rendered (the largest texture side Vulkan devices commonly
    // offer, and the encoders' limit).
    static constexpr std::int64_t maximumDimension = 16384;
    // Highest movie frame rate.
    static constexpr std::int64_t maximumFramesPerSecond = 1000;
    // Longest movie, in seconds (one day; at most 86.4 million frames).
    static constexpr double maximumMovieSeconds = 86400;
};

// A request beyond OutputLimits.
class OutputLimitError : public Error {
public:
    using Error::Error;
};

// Checks the size of a snapshot or movie and the frame rate and length of a movie; the length is
// the --duration override or else showSeconds. Does nothing when neither output is asked for,
// since the show and the scene report ignore these options.
void checkOutputLimits(const Configuration& configuration, double showSeconds);

} // namespace drevik

// Feeds arbitrary bytes to the Music.csv reader. A refusal must be a drevik::Error; an accepted
// soundtrack must keep every promise the player, the movie and the renderer rely on.
//
// The reader builds the whole sample buffer, so the declared duration decides how much each run
// allocates (300 s without a declaration: 14.4 million samples at 48000 Hz). To keep every run
// fast and small, the rates are the program's own (48000 and 120 per second) only while the
// buffer stays under 4096 samples and the analysis under 256 steps; longer soundtracks are read
// at proportionally lower rates, which exercises the same code with odd rates as a bonus.
#include "core/csv_bytes.hpp"
#include "platform/error.hpp"
#include "core/music_timeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr double kSampleBudget = 1 << 12;
constexpr double kAnalysisBudget = 1 << 8;

void require(bool condition, const char* promise) {
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", promise);
        std::abort();
    }
}

bool unit(float value) { return value >= 0.0f && value <= 1.0f; }

// The duration the reader will use: the last valid declaration, else 300 seconds. Invalid
// declarations make the reader refuse the file, so their value does not matter.
double declaredDuration(std::string_view bytes) {
    double duration = 300.0;
    drevik::CSVBytes::forEachLine(bytes, [&](std::string_view line, std::int64_t) {
        if (drevik::CSVBytes::hasPrefix(line, "# duration_seconds")) {
            if (const auto value = drevik::CSVBytes::duration(line); value && *value > 0.0) {
                duration = *value;
            }
        }
    });
    return duration;
}

std::int64_t rateWithin(double duration, std::int64_t rate, double budget) {
    if (duration * static_cast<double>(rate) <= budget) {
        return rate;
    }
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(budget / duration));
}

void checkTimeline(const drevik::MusicTimeline& music, std::int64_t sampleRate, std::int64_t analysisRate) {
    const double duration = music.durationSeconds;
    require(std::isfinite(duration) && duration > 0, "positive finite duration");
    require(!music.channelNames.empty(), "at least one channel");
    for (const auto& name : music.channelNames) {
        require(!name.empty(), "channel names are not empty");
    }
    require(music.sampleRate == sampleRate && music.analysisRate == analysisRate, "rates kept");
    const double samples = std::max(1.0, std::round(duration * static_cast<double>(sampleRate)));
    require(static_cast<double>(music.samples.size()) == samples, "one sample per sample period");
    const double steps = std::max(1.0, std::ceil(duration * static_cast<double>(analysisRate)) + 1.0);
    require(static_cast<double>(music.analysis.size()) == steps, "one analysis step per period and one more");
    for (float sample : music.samples) {
        require(sample >= -1.0f && sample <= 1.0f, "samples in -1...1");
    }
    for (const auto& step : music.analysis) {
        const auto& c = step.channels;
        require(unit(c.x) && unit(c.y) && unit(c.z) && unit(c.w), "channel levels in 0...1");
        require(unit(step.energy) && unit(step.pulse), "energy and pulse in 0...1");
    }
    const double moments[] = {0.0, 0.5, 1.0, -3.0, 7.0, std::nan(""), HUGE_VAL};
    for (double t : moments) {
        const auto features = music.features(t);
        require(unit(features.energy) && unit(features.pulse), "features in range");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const double duration = declaredDuration(bytes);
    const std::int64_t sampleRate = rateWithin(duration, 48000, kSampleBudget);
    const std::int64_t analysisRate = rateWithin(duration, 120, kAnalysisBudget);
    try {
        checkTimeline(drevik::MusicTimeline::fromCsvData(bytes, "Music.csv", sampleRate, analysisRate), sampleRate,
                      analysisRate);
    } catch (const drevik::Error& error) {
        const std::string_view text = error.what();
        require(!text.empty() && text.find('\n') == std::string_view::npos, "a refusal is one line");
    }
    return 0;
}

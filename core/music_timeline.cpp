// Music.csv reader: renders the channel transitions into a mono sample buffer and computes
// the audio features per analysis step.
#include "core/music_timeline.hpp"

#include "core/csv_bytes.hpp"
#include "core/csv_contract_error.hpp"
#include "platform/file_bytes.hpp"
#include "platform/huge_pages.hpp"
#include "platform/system_memory.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

namespace drevik {
namespace {

// The longest soundtrack Drevik accepts: 24 hours. At 48000 samples per second that is a
// 16.6 GB sample buffer; a longer declaration is refused before anything is allocated, so a
// mistyped duration cannot exhaust memory. (A 6-hour show needs about 4.1 GB.)
constexpr std::int64_t kMaxMusicSeconds = maxSoundtrackSeconds;
// The most channels a header may name. Every channel costs a name and a value, and every row
// must carry a field for each, so the count is bounded to keep memory proportional to sense.
constexpr std::size_t kMaxChannels = 65536;

constexpr std::string_view kReasonEmptyName = "channel names may not be empty";
constexpr std::string_view kReasonTime = "invalid normalized transition time";
constexpr std::string_view kReasonTooFew = "too few channel fields";
constexpr std::string_view kReasonValue = "channel values must be empty or normalized numbers";
constexpr std::string_view kReasonTooMany = "too many channel fields";

bool isNormalized(double value) { return value >= 0.0 && value <= 1.0; }

// Decodes UTF-8, replacing each maximal ill-formed subsequence with U+FFFD.
std::string decodeUtf8(std::string_view bytes) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    const auto byteAt = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i < bytes.size()) {
        const unsigned lead = byteAt(i);
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        std::size_t valid = 1; // bytes of the sequence found well-formed so far
        if (length != 0) {
            while (valid < length && i + valid < bytes.size()) {
                const unsigned next = byteAt(i + valid);
                const bool ok = valid == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
                if (!ok) {
                    break;
                }
                ++valid;
            }
        }
        if (length != 0 && valid == length) {
            text.append(bytes.substr(i, length));
        } else {
            text.append(kReplacement);
        }
        i += valid;
    }
    return text;
}

// Shortest text that reads back as the same double, with ".0" added to whole numbers.
std::string formatSeconds(double value) {
    char buffer[64];
    const auto format = std::fabs(value) < 1e16 ? std::chars_format::fixed : std::chars_format::general;
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    std::string text(buffer, result.ec == std::errc() ? result.ptr : buffer);
    if (text.find_first_of(".en") == std::string::npos) {
        text += ".0";
    }
    return text;
}

// The signal and analysis contribution of one set of channel values.
struct ChannelState {
    float mix = 0;                      // clamped sum of the bipolar values
    std::array<double, 4> squared = {}; // squared lane values
};

ChannelState channelState(const std::vector<float>& values) {
    ChannelState state;
    float mix = 0.0f;
    std::array<double, 4> lanes = {0.0, 0.0, 0.0, 0.0};
    double combined = 0.0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        const float centred = values[k] + -0.5f;
        const float bipolar = centred + centred;
        mix = mix + bipolar;
        if (k < 3) {
            lanes[k] = static_cast<double>(bipolar);
        } else {
            combined = combined + static_cast<double>(bipolar);
        }
    }
    if (values.size() > 3) {
        lanes[3] = combined;
    }
    state.mix = std::clamp(mix, -1.0f, 1.0f);
    for (std::size_t lane = 0; lane < 4; ++lane) {
        state.squared[lane] = lanes[lane] * lanes[lane];
    }
    return state;
}

// The analysis of one step after another, each from the sums of its samples' squared lanes.
class StepAnalyser {
public:
    explicit StepAnalyser(std::int64_t analysisCount) { analysis_.reserve(static_cast<std::size_t>(analysisCount)); }

    std::int64_t stepsDone() const { return static_cast<std::int64_t>(analysis_.size()); }

    void addStep(const std::array<double, 4>& sums, std::int64_t count) {
        const double n = static_cast<double>(std::max<std::int64_t>(count, 1));
        std::array<float, 4> levels;
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double meanSquare = sums[lane] / n;
            if (meanSquare != lastMeanSquare_[lane]) {
                const double base = std::sqrt(meanSquare) * 1.9;
                // pow(0, y) is 0 and pow(x >= 1, y > 0) is at least 1: skip the call there.
                const double level = base == 0.0 ? 0.0 : base >= 1.0 ? 1.0 : std::min(std::pow(base, 0.62), 1.0);
                lastMeanSquare_[lane] = meanSquare;
                lastLevel_[lane] = static_cast<float>(level);
            }
            levels[lane] = lastLevel_[lane];
        }
        const float energy = std::max(std::max(levels[0], levels[1]), std::max(levels[2], levels[3]));
        const float onset = energy - envelope_;
        const float impulse = onset >= 0.0f ? std::min(onset * 5.5f, 1.0f) : 0.0f;
        const float pulse = std::max(previousPulse_ * 0.86f, impulse);
        analysis_.push_back(AudioFeatures{Float4{levels[0], levels[1], levels[2], levels[3]}, energy, pulse});
        envelope_ = envelope_ * 0.7f + energy * 0.3f;
        previousPulse_ = pulse;
    }

    std::vector<AudioFeatures> take() && { return std::move(analysis_); }

private:
    std::vector<AudioFeatures> analysis_;
    float envelope_ = 0.0f;
    float previousPulse_ = 0.0f;
    // Held channel values give the same mean square step after step; the level of an unchanged
    // mean square is reused instead of being computed again.
    std::array<double, 4> lastMeanSquare_ = {0.0, 0.0, 0.0, 0.0};
    std::array<float, 4> lastLevel_ = {0.0f, 0.0f, 0.0f, 0.0f};
};

// Sample buffer and analysis under construction. Every sample is written exactly once, in order,
// by appending spans of one value. Spans reach the steps in order too, so only the step being
// filled keeps sums; each earlier step is analysed as soon as the fill has passed it.
class SignalBuilder {
public:
    SignalBuilder(std::int64_t sampleCount, std::int64_t analysisCount, std::int64_t sampleRate,
                  std::int64_t analysisRate, std::vector<float>& samples)
        : analysisCount_(analysisCount), sampleRate_(sampleRate), analysisRate_(analysisRate), samples_(samples),
          steps_(analysisCount) {
        samples_.reserve(static_cast<std::size_t>(sampleCount));
        preferHugePages(samples_.data(), samples_.capacity() * sizeof(float));
    }

    std::int64_t filled() const { return static_cast<std::int64_t>(samples_.size()); }

    // Writes state's mix up to (not including) sample end, and adds the span to the steps.
    void fillTo(std::int64_t end, const ChannelState& state) {
        std::int64_t start = filled();
        if (start >= end) {
            return;
        }
        samples_.insert(samples_.end(), static_cast<std::size_t>(end - start), state.mix);
        do {
            const std::int64_t step = std::min(start * analysisRate_ / sampleRate_, analysisCount_ - 1);
            const std::int64_t stepEnd = ((step + 1) * sampleRate_ + analysisRate_ - 1) / analysisRate_;
            // The last step takes whatever remains, so the loop always ends.
            const std::int64_t pieceEnd = step == analysisCount_ - 1 ? end : std::min(stepEnd, end);
            const std::int64_t n = std::max<std::int64_t>(pieceEnd - start, 1);
            finishStepsBefore(step);
            for (std::size_t lane = 0; lane < 4; ++lane) {
                sum_[lane] += state.squared[lane] * static_cast<double>(n);
            }
            count_ += n;
            start = pieceEnd;
        } while (start < end);
    }

    // The features of every step; call once the last sample is written.
    std::vector<AudioFeatures> analyse() && {
        finishStepsBefore(analysisCount_);
        return std::move(steps_).take();
    }

private:
    // Analyses the step being filled and any empty steps after it, up to (not including) step.
    void finishStepsBefore(std::int64_t step) {
        while (steps_.stepsDone() < step) {
            steps_.addStep(sum_, count_);
            sum_ = {0.0, 0.0, 0.0, 0.0};
            count_ = 0;
        }
    }

    std::int64_t analysisCount_;
    std::int64_t sampleRate_;
    std::int64_t analysisRate_;
    std::vector<float>& samples_;
    StepAnalyser steps_;
    std::array<double, 4> sum_ = {0.0, 0.0, 0.0, 0.0}; // of the step being filled
    std::int64_t count_ = 0;
};

// What the first pass finds: the declared duration and the channel names (the last header
// line wins).
struct MusicHeader {
    double duration = 300.0;
    std::vector<std::string> channelNames;
};

// The channel names after "time," of a header line; an empty name is refused.
std::vector<std::string> channelNames(std::string_view line, std::int64_t lineNumber, const std::string& fileName) {
    std::vector<std::string> names;
    std::string_view rest = line.substr(5);
    for (;;) {
        const std::size_t comma = rest.find(',');
        const std::string_view name = CSVBytes::trim(rest.substr(0, comma));
        if (name.empty()) {
            throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonEmptyName));
        }
        if (names.size() == kMaxChannels) {
            throw Error(fileName + " line " + std::to_string(lineNumber) + " names more than the " +
                        std::to_string(kMaxChannels) + " channels Drevik can mix.");
        }
        names.push_back(decodeUtf8(name));
        if (comma == std::string_view::npos) {
            return names;
        }
        rest.remove_prefix(comma + 1);
    }
}

// Pass 1: the duration and the channel names; rows are not looked at.
MusicHeader readHeader(std::string_view bytes, const std::string& fileName) {
    MusicHeader header;
    CSVBytes::forEachLine(bytes, [&](std::string_view line, std::int64_t lineNumber) {
        if (line.empty()) {
            return;
        }
        if (line.front() == '#') {
            if (CSVBytes::hasPrefix(line, "# duration_seconds")) {
                header.duration = declaredDuration(line, fileName);
            }
            return;
        }
        if (CSVBytes::hasPrefix(line, "time,")) {
            header.channelNames = channelNames(line, lineNumber, fileName);
        }
    });
    if (header.channelNames.empty()) {
        throw CSVContractError::missingHeader(fileName);
    }
    return header;
}

// The number of samples and of analysis steps of a duration; a duration Drevik cannot play is refused.
struct SignalSize {
    std::int64_t samples = 1;
    std::int64_t steps = 1;
};

SignalSize signalSize(double duration, std::int64_t sampleRate, std::int64_t analysisRate, const std::string& fileName) {
    const double sampleProduct = std::round(duration * static_cast<double>(sampleRate));
    const double analysisProduct = std::ceil(duration * static_cast<double>(analysisRate));
    if (!(duration <= static_cast<double>(kMaxMusicSeconds)) || !(sampleProduct < 0x1p53) || !(analysisProduct < 0x1p53)) {
        throw Error(fileName + " declares " + formatSeconds(duration) + " seconds, more than the " +
                    std::to_string(kMaxMusicSeconds) + " seconds Drevik can play.");
    }
    return {std::max<std::int64_t>(1, static_cast<std::int64_t>(sampleProduct)),
            std::max<std::int64_t>(1, static_cast<std::int64_t>(analysisProduct) + 1)};
}

// The sample buffer and the per-step sums, or the refusal of a soundtrack too long for this
// machine. The system grants a buffer that it cannot back and then runs out of memory while it
// is being filled, so the samples and their analysis may take at most half the machine's memory
// (the drawing, the GPU and the movie need the rest); a larger soundtrack is refused up front,
// like one that cannot be allocated at all.
std::optional<SignalBuilder> allocateSignal(const SignalSize& size, double duration, std::int64_t sampleRate,
                                            std::int64_t analysisRate, std::vector<float>& samples,
                                            const std::string& fileName) {
    const auto tooLongForMemory = [&] {
        return Error(fileName + " declares " + formatSeconds(duration) +
                     " seconds, too long a soundtrack for the memory of this machine.");
    };
    const double neededBytes = static_cast<double>(size.samples) * sizeof(float) +
                               static_cast<double>(size.steps) * (sizeof(AudioFeatures) + 5 * sizeof(double));
    if (!(neededBytes <= physicalMemoryBytes() / 2)) {
        throw tooLongForMemory();
    }
    std::optional<SignalBuilder> signal;
    try {
        signal.emplace(size.samples, size.steps, sampleRate, analysisRate, samples);
    } catch (const std::bad_alloc&) {
        throw tooLongForMemory();
    }
    return signal;
}

// A transition row's time: the bytes before the first comma, a normalised time.
double transitionTime(std::string_view line, const char* comma, std::int64_t lineNumber, const std::string& fileName) {
    const char* const end = line.data() + line.size();
    const auto time = CSVBytes::number(
        std::string_view(line.data(), static_cast<std::size_t>((comma != nullptr ? comma : end) - line.data())));
    if (!time || !isNormalized(*time)) {
        throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonTime));
    }
    return *time;
}

// A transition row's channel fields after the time's comma: exactly one per channel; a blank
// field keeps the channel's value.
void readChannelValues(std::string_view line, const char* comma, std::vector<float>& values,
                       std::int64_t lineNumber, const std::string& fileName) {
    const char* const end = line.data() + line.size();
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (comma == nullptr) {
            throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonTooFew));
        }
        const char* fieldStart = comma + 1;
        comma = static_cast<const char*>(std::memchr(fieldStart, ',', static_cast<std::size_t>(end - fieldStart)));
        const std::string_view field = CSVBytes::trim(
            std::string_view(fieldStart, static_cast<std::size_t>((comma != nullptr ? comma : end) - fieldStart)));
        if (field.empty()) {
            continue;
        }
        const auto value = CSVBytes::number(field);
        if (!value || !isNormalized(*value)) {
            throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonValue));
        }
        values[k] = static_cast<float>(*value);
    }
    if (comma != nullptr) {
        throw CSVContractError::invalidRow(fileName, lineNumber, std::string(kReasonTooMany));
    }
}

// Pass 2: the transitions. Each row's values take effect from its time on; the samples before
// it get the values that held until then, and the last row's values hold to the end.
void renderTransitions(std::string_view bytes, std::size_t channelCount, std::int64_t sampleCount,
                       SignalBuilder& signal, const std::string& fileName) {
    std::vector<float> values(channelCount, 0.5f);
    ChannelState state = channelState(values);
    double lastTime = -std::numeric_limits<double>::infinity();
    bool headerSeen = false;
    CSVBytes::forEachLine(bytes, [&](std::string_view line, std::int64_t lineNumber) {
        if (line.empty() || line.front() == '#') {
            return;
        }
        if (CSVBytes::hasPrefix(line, "time,")) {
            headerSeen = true;
            return;
        }
        if (!headerSeen) {
            throw CSVContractError::missingHeader(fileName);
        }
        const auto* comma = static_cast<const char*>(std::memchr(line.data(), ',', line.size()));
        const double time = transitionTime(line, comma, lineNumber, fileName);
        if (lastTime > time) {
            throw CSVContractError::unorderedTime(fileName, lineNumber);
        }
        lastTime = time;

        const double target = std::clamp(std::ceil(time * static_cast<double>(sampleCount) - 1e-12), 0.0,
                                          static_cast<double>(sampleCount));
        signal.fillTo(std::min(std::max(static_cast<std::int64_t>(target), signal.filled()), sampleCount), state);
        readChannelValues(line, comma, values, lineNumber, fileName);
        state = channelState(values);
    });
    signal.fillTo(sampleCount, state);
}

} // namespace

MusicTimeline MusicTimeline::fromCsvFile(const std::filesystem::path& location, std::int64_t sampleRate,
                                         std::int64_t analysisRate) {
    const std::string bytes = readFileBytes(location);
    return fromCsvData(bytes, location.filename().string(), sampleRate, analysisRate);
}

MusicTimeline MusicTimeline::fromCsvData(std::string_view bytes, const std::string& fileName,
                                         std::int64_t sampleRate, std::int64_t analysisRate) {
    MusicHeader header = readHeader(bytes, fileName);
    const SignalSize size = signalSize(header.duration, sampleRate, analysisRate, fileName);

    MusicTimeline timeline;
    timeline.durationSeconds = header.duration;
    timeline.channelNames = std::move(header.channelNames);
    timeline.sampleRate = sampleRate;
    timeline.analysisRate = analysisRate;
    std::optional<SignalBuilder> signal =
        allocateSignal(size, header.duration, sampleRate, analysisRate, timeline.samples, fileName);
    renderTransitions(bytes, timeline.channelNames.size(), size.samples, *signal, fileName);
    timeline.analysis = std::move(*signal).analyse();
    return timeline;
}

AudioFeatures MusicTimeline::features(double t) const {
    if (analysis.empty()) {
        return AudioFeatures::silence();
    }
    const double clamped = std::isnan(t) ? 0.0 : std::clamp(t, 0.0, 1.0);
    const double position = static_cast<double>(analysisRate) * (clamped * durationSeconds);
    const auto last = static_cast<std::int64_t>(analysis.size()) - 1;
    const auto index = position > 0.0 ? static_cast<std::int64_t>(std::min(position, static_cast<double>(last))) : 0;
    return analysis[static_cast<std::size_t>(index)];
}

} // namespace drevik

// The soundtrack reader every mode uses: a Music.csv as it has always been read, or a recording
// decoded, measured and analysed into the same timeline.
#include "core/sound_analysis.hpp"
#include "sound/sound_file.hpp"

#include <algorithm>
#include <cmath>

namespace drevik {

MusicTimeline soundTimeline(DecodedSound sound, const std::string& name, std::int64_t sampleRate,
                            std::int64_t analysisRate) {
    MusicTimeline timeline;
    const auto frames = static_cast<std::int64_t>(sound.mono.size());
    timeline.durationSeconds = static_cast<double>(frames) / static_cast<double>(sampleRate);
    timeline.channelNames = {"0-250 Hz", "250-2000 Hz", "2000-6000 Hz", "6000+ Hz"};
    timeline.sampleRate = sampleRate;
    timeline.analysisRate = analysisRate;
    timeline.soundName = name;

    const auto steps = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::ceil(timeline.durationSeconds * static_cast<double>(analysisRate))) + 1);
    timeline.analysis.reserve(static_cast<std::size_t>(steps));
    SoundAnalyser analyser(sampleRate, analysisRate, SoundLoudness::fixed, soundAnalysisGain(sound.integratedLufs));
    analyser.push(sound.mono, timeline.analysis);
    analyser.finish(steps, timeline.analysis);

    timeline.samples = std::move(sound.mono);
    if (sound.channels > 1) {
        timeline.playbackSamples = std::move(sound.interleaved);
        timeline.playbackChannels = sound.channels;
    }
    return timeline;
}

MusicTimeline readSoundtrack(const std::filesystem::path& location, std::int64_t sampleRate,
                             std::int64_t analysisRate) {
    if (!looksLikeSoundFile(location)) {
        return MusicTimeline::fromCsvFile(location, sampleRate, analysisRate);
    }
    return soundTimeline(decodeSoundFile(location, sampleRate), location.filename().string(), sampleRate,
                         analysisRate);
}

double soundtrackDurationSeconds(const std::filesystem::path& location) {
    return readSoundtrack(location, 48000, 120).durationSeconds;
}

} // namespace drevik

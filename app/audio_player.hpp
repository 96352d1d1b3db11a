#pragma once
// Plays the soundtrack through the default sound output: a Music.csv's mono signal, a recording with
// its own channels.
#include "app/show_transport.hpp"
#include "platform/error.hpp"
#include "core/music_timeline.hpp"

#include <SDL2/SDL_audio.h>

#include <cstdint>
#include <optional>
#include <span>

namespace drevik {

class AudioPlayerError : public Error {
public:
    enum class Kind { cannotCreateFormat };
    explicit AudioPlayerError(Kind kind = Kind::cannotCreateFormat)
        : Error("Could not create the Music.csv playback format."), kind_(kind) {}
    Kind kind() const { return kind_; }
    friend bool operator==(const AudioPlayerError& a, const AudioPlayerError& b) { return a.kind_ == b.kind_; }

private:
    Kind kind_;
};

// Opens the output device at once (playing silence) and plays the signal from a chosen position on demand.
// The samples are read in place from the timeline, which must outlive the player. All operations belong to
// one thread; the device's own thread reads the shared state only under the device lock.
class CSVAudioPlayer final : public ShowAudio {
public:
    // Fails with AudioPlayerError when the sample rate cannot be played, or with the device's own error.
    explicit CSVAudioPlayer(const MusicTimeline& music);
    ~CSVAudioPlayer() override;
    CSVAudioPlayer(const CSVAudioPlayer&) = delete;
    CSVAudioPlayer& operator=(const CSVAudioPlayer&) = delete;

    void play(double fromSeconds) override;
    void stopPlayback() override;
    std::optional<double> playbackPosition() const override;
    // Swaps in the new signal under the device lock; playback goes on from the same frame. A signal at
    // another sample rate or with other channels cannot continue the same moment: the player then falls silent.
    void replaceSignal(const MusicTimeline& music) override;

    // The position of the first frame of the current playback.
    double scheduledFromSeconds() const { return scheduledFromSeconds_; }
    // Whether a playback is under way (false after stop, or when play started at or past the end).
    bool scheduled() const;
    double sampleRate() const { return rate_; }

    // The first frame played from a position: floor(seconds × rate) clamped to 0...count.
    static std::int64_t startFrame(double seconds, double rate, std::int64_t count);

private:
    static void SDLCALL render(void* user, Uint8* stream, int length);
    void fill(float* out, std::int64_t frames);

    std::span<const float> samples_; // interleaved frames; written on the owner's thread under the device lock
    std::int64_t channels_ = 1;
    double rate_ = 0;
    double scheduledFromSeconds_ = 0;
    SDL_AudioDeviceID device_ = 0;

    // Shared with the device thread, guarded by the device lock.
    std::int64_t startFrame_ = 0;
    std::int64_t framesPlayed_ = 0;
    bool active_ = false;
    bool rendered_ = false;
};

} // namespace drevik

#include "app/audio_player.hpp"

#include <SDL2/SDL.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

namespace drevik {

namespace {

// Holds the locked device for one scope.
class DeviceLock {
public:
    explicit DeviceLock(SDL_AudioDeviceID device) : device_(device) { SDL_LockAudioDevice(device_); }
    ~DeviceLock() { SDL_UnlockAudioDevice(device_); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

private:
    SDL_AudioDeviceID device_;
};


} // namespace

std::int64_t CSVAudioPlayer::startFrame(double seconds, double rate, std::int64_t count) {
    double frame = std::floor(seconds * rate);
    if (!(frame > 0)) return 0; // negative positions and NaN start at the beginning
    if (frame >= static_cast<double>(count)) return count;
    return static_cast<std::int64_t>(frame);
}

CSVAudioPlayer::CSVAudioPlayer(const MusicTimeline& music) : samples_(music.playback()), channels_(music.playbackChannels) {
    if (channels_ < 1 || channels_ > 8) throw AudioPlayerError();
    if (music.sampleRate <= 0 || music.sampleRate > INT_MAX) throw AudioPlayerError();
    rate_ = static_cast<double>(music.sampleRate);

    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) throw Error(SDL_GetError());
    SDL_AudioSpec wanted{};
    wanted.freq = static_cast<int>(music.sampleRate);
    wanted.format = AUDIO_F32SYS;
    wanted.channels = static_cast<Uint8>(channels_);
    wanted.samples = 1024;
    wanted.callback = &CSVAudioPlayer::render;
    wanted.userdata = this;
    // No changes allowed: the device layer converts our float signal, mono or with the recording's
    // own channels, to whatever the hardware wants.
    SDL_AudioSpec obtained{};
    device_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (device_ == 0) {
        std::string reason = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        throw Error(reason);
    }
    SDL_PauseAudioDevice(device_, 0); // running from now on, silent until play
}

CSVAudioPlayer::~CSVAudioPlayer() {
    SDL_CloseAudioDevice(device_);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void CSVAudioPlayer::play(double fromSeconds) {
    auto count = static_cast<std::int64_t>(samples_.size()) / channels_;
    std::int64_t start = startFrame(fromSeconds, rate_, count);
    DeviceLock lock(device_);
    active_ = false;
    rendered_ = false;
    framesPlayed_ = 0;
    if (start >= count) return; // at or past the end: nothing plays
    startFrame_ = start;
    scheduledFromSeconds_ = static_cast<double>(start) / rate_;
    active_ = true;
}

void CSVAudioPlayer::stopPlayback() {
    DeviceLock lock(device_);
    active_ = false;
    rendered_ = false;
}

void CSVAudioPlayer::replaceSignal(const MusicTimeline& music) {
    const bool sameFormat = static_cast<double>(music.sampleRate) == rate_ && music.playbackChannels == channels_;
    DeviceLock lock(device_);
    samples_ = sameFormat ? music.playback() : std::span<const float>();
}

bool CSVAudioPlayer::scheduled() const {
    DeviceLock lock(device_);
    return active_;
}

std::optional<double> CSVAudioPlayer::playbackPosition() const {
    DeviceLock lock(device_);
    if (!active_ || !rendered_) return std::nullopt;
    return scheduledFromSeconds_ + static_cast<double>(framesPlayed_) / rate_;
}

void SDLCALL CSVAudioPlayer::render(void* user, Uint8* stream, int length) {
    auto* player = static_cast<CSVAudioPlayer*>(user);
    player->fill(reinterpret_cast<float*>(stream), length / static_cast<int>(sizeof(float)) / player->channels_);
}

// Runs on the device thread with the device lock held.
void CSVAudioPlayer::fill(float* out, std::int64_t frames) {
    std::int64_t written = 0;
    if (active_) {
        auto count = static_cast<std::int64_t>(samples_.size()) / channels_;
        std::int64_t from = std::min(startFrame_ + framesPlayed_, count);
        written = std::min(frames, count - from);
        if (written > 0) {
            std::memcpy(out, samples_.data() + from * channels_,
                        static_cast<std::size_t>(written * channels_) * sizeof(float));
        }
        // The clock keeps running through the silence after the signal, so the show still reaches its end.
        framesPlayed_ += frames;
        rendered_ = true;
    }
    std::fill(out + std::max<std::int64_t>(written, 0) * channels_, out + frames * channels_, 0.0f);
}

} // namespace drevik

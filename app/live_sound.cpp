#include "app/live_sound.hpp"

#include "platform/error.hpp"

#include <SDL2/SDL.h>

#include <algorithm>
#include <chrono>

namespace drevik {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Starts the sound library's audio part for one owner; false (with SDL's reason) when it cannot.
bool startAudio() { return SDL_InitSubSystem(SDL_INIT_AUDIO) == 0; }

std::vector<std::string> captureDeviceNames() {
    std::vector<std::string> names;
    const int count = SDL_GetNumAudioDevices(1);
    for (int i = 0; i < count; ++i) {
        if (const char* name = SDL_GetAudioDeviceName(i, 1)) names.emplace_back(name);
    }
    return names;
}

} // namespace

void includeMonitorInputs() { SDL_SetHint(SDL_HINT_AUDIO_INCLUDE_MONITORS, "1"); }

std::vector<std::string> soundInputNames() {
    if (!startAudio()) throw Error(std::string("The sound inputs cannot be listed: ") + SDL_GetError());
    std::vector<std::string> names = captureDeviceNames();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return names;
}

LiveSound::LiveSound(std::string device, std::int64_t sampleRate, std::int64_t analysisRate)
    : device_(std::move(device)),
      blockFrames_(static_cast<int>(std::clamp<std::int64_t>(sampleRate / std::max<std::int64_t>(analysisRate, 1) / 2,
                                                             16, 4096))),
      analyser_(sampleRate, analysisRate, SoundLoudness::adaptive) {
    // A block never completes more than a couple of steps; the device thread then never allocates.
    steps_.reserve(static_cast<std::size_t>(blockFrames_) + 2);
    open(sampleRate);
}

LiveSound::~LiveSound() {
    if (id_ != 0) SDL_CloseAudioDevice(id_); // waits for the device thread to leave receive()
    if (audioStarted_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

std::string LiveSound::nameInText() const {
    return device_ == defaultSoundInput ? std::string("The default sound input") : "The sound input \"" + device_ + "\"";
}

void LiveSound::open(std::int64_t sampleRate) {
    audioStarted_ = startAudio();
    if (!audioStarted_) {
        problem_ = nameInText() + " cannot be opened (" + SDL_GetError() + "); the show goes on silent.";
        return;
    }
    const bool byName = device_ != defaultSoundInput;
    if (byName) {
        // Checked here: for a name it does not know, a sound server may hand out its default input instead.
        const std::vector<std::string> names = captureDeviceNames();
        if (std::find(names.begin(), names.end(), device_) == names.end()) {
            problem_ = "There is no sound input named \"" + device_ +
                       "\" (--list-inputs prints them); the show goes on silent.";
            return;
        }
    }
    SDL_AudioSpec wanted{};
    wanted.freq = static_cast<int>(std::clamp<std::int64_t>(sampleRate, 1, 1'000'000));
    wanted.format = AUDIO_F32SYS;
    wanted.channels = 1;
    wanted.samples = static_cast<Uint16>(blockFrames_);
    wanted.callback = &LiveSound::capture;
    wanted.userdata = this;
    // No changes allowed: the sound library mixes the input down to mono and resamples it for us.
    SDL_AudioSpec obtained{};
    id_ = SDL_OpenAudioDevice(byName ? device_.c_str() : nullptr, 1, &wanted, &obtained, 0);
    if (id_ == 0) {
        problem_ = nameInText() + " cannot be opened (" + SDL_GetError() + "); the show goes on silent.";
        return;
    }
    blockFrames_ = obtained.samples;
    SDL_PauseAudioDevice(id_, 0);
}

const std::string& LiveSound::problem() {
    if (id_ != 0 && SDL_GetAudioDeviceStatus(id_) == SDL_AUDIO_STOPPED) {
        SDL_CloseAudioDevice(id_);
        id_ = 0;
        problem_ = nameInText() + " has gone; the show goes on silent.";
    }
    return problem_;
}

AudioFeatures LiveSound::features(double nowSeconds) {
    if (id_ == 0) return AudioFeatures::silence();
    const Published& newest = latest_.read();
    if (!(nowSeconds - newest.seconds <= staleSeconds)) return AudioFeatures::silence();
    return newest.features;
}

void LiveSound::receive(std::span<const float> block, double nowSeconds) {
    steps_.clear();
    analyser_.push(block, steps_);
    if (!steps_.empty()) latest_.publish({steps_.back(), nowSeconds});
}

void SDLCALL LiveSound::capture(void* user, Uint8* stream, int length) {
    auto* sound = static_cast<LiveSound*>(user);
    const auto frames = static_cast<std::size_t>(std::max(length, 0)) / sizeof(float);
    sound->receive(std::span<const float>(reinterpret_cast<const float*>(stream), frames), steadySeconds());
}

} // namespace drevik

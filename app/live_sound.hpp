#pragma once
// The show's live sound: a capture device (a microphone, a line-in, the monitor of an output) read
// in small blocks, analysed step by step on the device's own thread as each block arrives, and the
// newest step's features handed to the show without the device thread ever waiting for it.
//
// An input that does not exist, cannot be opened or goes away never stops the show: the features
// fall silent and problem() says why in one line.
#include "app/latest_value.hpp"
#include "core/music_timeline.hpp"
#include "core/sound_analysis.hpp"

#include <SDL2/SDL_audio.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace drevik {

// The name --listen takes for the system's default input.
inline constexpr const char* defaultSoundInput = "default";

// Lets the sound library list and open the monitors of outputs as inputs. Set once at start-up,
// before the sound library starts.
void includeMonitorInputs();

// The capture devices the sound library offers, in its order, named as --listen takes them. Throws
// Error when the sound library cannot be started.
std::vector<std::string> soundInputNames();

class LiveSound {
public:
    // Features older than this are no longer the room's: an input that stalls counts as silent.
    static constexpr double staleSeconds = 0.25;

    // Opens `device` (defaultSoundInput for the system's default input) for mono samples at
    // `sampleRate`, in blocks of half an analysis step, and starts listening.
    explicit LiveSound(std::string device, std::int64_t sampleRate = 48000, std::int64_t analysisRate = 120);
    ~LiveSound();
    LiveSound(const LiveSound&) = delete;
    LiveSound& operator=(const LiveSound&) = delete;

    // The newest analysis step's features at `nowSeconds` (steady clock); silence when the input is
    // gone or has delivered nothing for staleSeconds.
    AudioFeatures features(double nowSeconds);
    // Why the show is silent, in one line; empty while the input is open. Notices an input that has
    // gone since the last call.
    const std::string& problem();
    // Whether the input is open (as far as the last problem() call knows).
    bool listening() const { return id_ != 0; }
    // Samples in each block the device delivers: half an analysis step when it takes what is asked.
    int blockFrames() const { return blockFrames_; }

private:
    struct Published {
        AudioFeatures features;
        double seconds = -std::numeric_limits<double>::infinity();
    };

    static void SDLCALL capture(void* user, Uint8* stream, int length);
    // Analyses one captured block received at `nowSeconds` and publishes the newest step: what the
    // device thread does with each block.
    void receive(std::span<const float> block, double nowSeconds);
    void open(std::int64_t sampleRate);
    std::string nameInText() const;

    std::string device_;
    int blockFrames_ = 0;
    // The device thread's own.
    SoundAnalyser analyser_;
    std::vector<AudioFeatures> steps_;
    LatestValue<Published> latest_;
    // The owner's thread's own.
    bool audioStarted_ = false;
    SDL_AudioDeviceID id_ = 0;
    std::string problem_;
};

} // namespace drevik

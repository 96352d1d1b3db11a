#pragma once
// The show's transport and clock: play, pause, seek and the position on screen, independent of any window.
#include "core/music_timeline.hpp"

#include <chrono>
#include <optional>

namespace drevik {

// What the transport needs of the sound output.
class ShowAudio {
public:
    virtual ~ShowAudio() = default;
    // Starts playback at a position in seconds, replacing whatever played before.
    virtual void play(double fromSeconds) = 0;
    virtual void stopPlayback() = 0;
    // Seconds from the start of the show of the sample being played, or none when the output has not
    // rendered anything since playback started (or nothing plays).
    virtual std::optional<double> playbackPosition() const = 0;
    // Plays `music` from now on, from the same moment; the old signal is no longer read once this returns.
    // `music` must outlive the output or the next replacement. Outputs without a signal ignore it.
    virtual void replaceSignal(const MusicTimeline&) {}
};

// A monotonic clock in seconds.
class ShowClock {
public:
    virtual ~ShowClock() = default;
    virtual double nowSeconds() const = 0;
};

class SteadyShowClock final : public ShowClock {
public:
    double nowSeconds() const override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};

// Keys of the show, chosen by key position.
enum class ShowKey { escape, space, r, f, leftArrow, rightArrow, other };

// What a key asks of the window once the transport has done its part.
enum class ShowKeyResult { handled, quit, toggleFullScreen, notHandled };

class ShowTransport {
public:
    static constexpr double seekStepSeconds = 5;

    // startTime is normalised (clamped to 0...1, NaN as 0). audio may be null: the show then runs on the clock.
    // Both audio and clock must outlive the transport.
    ShowTransport(double durationSeconds, double startTime, ShowAudio* audio, const ShowClock& clock);

    double durationSeconds() const { return duration_; }
    bool playing() const { return playing_; }
    // Position while stopped; while playing, where the current playback started.
    double positionSeconds() const { return positionSeconds_; }

    // The show position now, in 0...duration.
    double currentSeconds() const;
    void play();
    void pause();
    void seek(double seconds, bool resume);
    ShowKeyResult handleKey(ShowKey key);
    // The show now lasts `durationSeconds`: the position stays where it is (clamped into a shorter show),
    // and a playing show goes on playing.
    void changeDuration(double durationSeconds);

    // A looping show (one on its own clock, without a sound output) starts again from the top when
    // it reaches its end, keeping the time it ran past the end; others stop on the last frame.
    void setLooping(bool looping) { looping_ = looping; }
    bool looping() const { return looping_; }

    // The position to draw now. A playing show that has reached its end stops there, on the last
    // frame, or loops.
    double frameSeconds();
    // seconds as a fraction of the duration; 0 when the duration is not positive.
    double normalizedTime(double seconds) const;

private:
    double clampToShow(double seconds) const;

    double duration_;
    ShowAudio* audio_;
    const ShowClock& clock_;
    double positionSeconds_ = 0;
    double hostAnchor_ = 0;
    bool playing_ = false;
    bool looping_ = false;
};

} // namespace drevik

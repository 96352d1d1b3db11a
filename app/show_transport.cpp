#include "app/show_transport.hpp"

#include <algorithm>
#include <cmath>

namespace drevik {

namespace {

double clampUnitOrZero(double value, double upper) {
    if (std::isnan(value)) return 0;
    return std::clamp(value, 0.0, upper);
}

double usableDuration(double seconds) { return std::isfinite(seconds) && seconds > 0 ? seconds : 0; }

} // namespace

ShowTransport::ShowTransport(double durationSeconds, double startTime, ShowAudio* audio, const ShowClock& clock)
    : duration_(usableDuration(durationSeconds)),
      audio_(audio),
      clock_(clock) {
    positionSeconds_ = clampUnitOrZero(startTime, 1.0) * duration_;
}

double ShowTransport::clampToShow(double seconds) const { return clampUnitOrZero(seconds, duration_); }

double ShowTransport::currentSeconds() const {
    if (!playing_) return positionSeconds_;
    std::optional<double> heard = audio_ ? audio_->playbackPosition() : std::nullopt;
    double t = heard ? *heard : positionSeconds_ + (clock_.nowSeconds() - hostAnchor_);
    return clampToShow(t);
}

void ShowTransport::play() {
    if (playing_) return;
    if (positionSeconds_ >= duration_) positionSeconds_ = 0;
    if (audio_) audio_->play(positionSeconds_);
    hostAnchor_ = clock_.nowSeconds();
    playing_ = true;
}

void ShowTransport::pause() {
    if (!playing_) return;
    positionSeconds_ = currentSeconds();
    if (audio_) audio_->stopPlayback();
    playing_ = false;
}

void ShowTransport::seek(double seconds, bool resume) {
    if (audio_) audio_->stopPlayback();
    playing_ = false;
    positionSeconds_ = clampToShow(seconds);
    if (resume) play();
}

ShowKeyResult ShowTransport::handleKey(ShowKey key) {
    switch (key) {
    case ShowKey::escape: return ShowKeyResult::quit;
    case ShowKey::space:
        if (playing_) pause();
        else play();
        return ShowKeyResult::handled;
    case ShowKey::r: seek(0, true); return ShowKeyResult::handled;
    case ShowKey::f: return ShowKeyResult::toggleFullScreen;
    case ShowKey::leftArrow: seek(currentSeconds() - seekStepSeconds, playing_); return ShowKeyResult::handled;
    case ShowKey::rightArrow: seek(currentSeconds() + seekStepSeconds, playing_); return ShowKeyResult::handled;
    case ShowKey::other: break;
    }
    return ShowKeyResult::notHandled;
}

void ShowTransport::changeDuration(double durationSeconds) {
    const double now = currentSeconds();
    duration_ = usableDuration(durationSeconds);
    positionSeconds_ = clampToShow(now);
    // The steady clock goes on from here; a sound output keeps its own position.
    if (playing_) hostAnchor_ = clock_.nowSeconds();
}

double ShowTransport::frameSeconds() {
    double t = currentSeconds();
    if (playing_ && t >= duration_ && looping_ && audio_ == nullptr && duration_ > 0) {
        const double now = clock_.nowSeconds();
        positionSeconds_ = std::fmod(std::max(0.0, positionSeconds_ + (now - hostAnchor_)), duration_);
        hostAnchor_ = now;
        return positionSeconds_;
    }
    if (playing_ && t >= duration_) {
        positionSeconds_ = duration_;
        if (audio_) audio_->stopPlayback();
        playing_ = false;
        t = duration_;
    }
    return t;
}

double ShowTransport::normalizedTime(double seconds) const { return duration_ > 0 ? seconds / duration_ : 0; }

} // namespace drevik

#include "app/show_transport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace drevik {
namespace {

class FakeClock final : public ShowClock {
public:
    double now = 1000;
    double nowSeconds() const override { return now; }
};

// Records what the transport asks of the sound output; the position is set by the test.
class FakeAudio final : public ShowAudio {
public:
    std::vector<double> plays;
    int stops = 0;
    std::optional<double> position;
    void play(double fromSeconds) override {
        plays.push_back(fromSeconds);
        position.reset(); // nothing rendered yet
    }
    void stopPlayback() override {
        ++stops;
        position.reset();
    }
    std::optional<double> playbackPosition() const override { return position; }
};

TEST(ShowTransport, OpensAtTheStartTimeAndOnlyPlaysWhenAsked) {
    FakeClock clock;
    FakeAudio audio;
    ShowTransport transport(180, 0.5, &audio, clock);
    EXPECT_EQ(transport.currentSeconds(), 90);
    EXPECT_FALSE(transport.playing());
    clock.now += 30; // a paused show holds its still frame
    EXPECT_EQ(transport.frameSeconds(), 90);
    EXPECT_TRUE(audio.plays.empty());

    transport.handleKey(ShowKey::space);
    EXPECT_TRUE(transport.playing());
    ASSERT_EQ(audio.plays.size(), 1u);
    EXPECT_EQ(audio.plays[0], 90);
}

TEST(ShowTransport, StartTimeIsClampedAndNaNOpensAtZero) {
    FakeClock clock;
    EXPECT_EQ(ShowTransport(180, -0.5, nullptr, clock).currentSeconds(), 0);
    EXPECT_EQ(ShowTransport(180, 7, nullptr, clock).currentSeconds(), 180);
    EXPECT_EQ(ShowTransport(180, std::nan(""), nullptr, clock).currentSeconds(), 0);
}

TEST(ShowTransport, FollowsTheAudioPositionOnceItHasOneAndTheClockBefore) {
    FakeClock clock;
    FakeAudio audio;
    ShowTransport transport(180, 0, &audio, clock);
    transport.play();
    clock.now += 0.25;
    EXPECT_DOUBLE_EQ(transport.currentSeconds(), 0.25); // no render yet: the steady clock, not 0
    audio.position = 0.2;
    EXPECT_DOUBLE_EQ(transport.currentSeconds(), 0.2);
    audio.position = -3; // positions out of the show are clamped
    EXPECT_EQ(transport.currentSeconds(), 0);
    audio.position = 500;
    EXPECT_EQ(transport.currentSeconds(), 180);
    audio.position = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(transport.currentSeconds(), 0);
}

TEST(ShowTransport, WithoutAudioTheClockDrivesAndPauseKeepsThePosition) {
    FakeClock clock;
    ShowTransport transport(180, 0, nullptr, clock);
    transport.play();
    clock.now += 10;
    EXPECT_DOUBLE_EQ(transport.currentSeconds(), 10);
    transport.handleKey(ShowKey::space);
    EXPECT_FALSE(transport.playing());
    clock.now += 100;
    EXPECT_DOUBLE_EQ(transport.currentSeconds(), 10);
    transport.handleKey(ShowKey::space);
    clock.now += 2;
    EXPECT_DOUBLE_EQ(transport.currentSeconds(), 12);
}

TEST(ShowTransport, PauseTakesThePositionFromTheAudioAndStopsIt) {
    FakeClock clock;
    FakeAudio audio;
    ShowTransport transport(180, 0, &audio, clock);
    transport.play();
    audio.position = 42.5;
    transport.pause();
    EXPECT_EQ(transport.positionSeconds(), 42.5);
    EXPECT_EQ(audio.stops, 1);
    transport.pause(); // already paused: nothing more
    EXPECT_EQ(audio.stops, 1);
}

TEST(ShowTransport, StopsOnTheLastFrameAndSpaceThenStartsAgainFromZero) {
    FakeClock clock;
    FakeAudio audio;
    ShowTransport transport(180, 0.99, &audio, clock);
    transport.play();
    audio.position = 180.01;
    EXPECT_EQ(transport.frameSeconds(), 180);
    EXPECT_FALSE(transport.playing());
    EXPECT_EQ(transport.positionSeconds(), 180);
    EXPECT_EQ(audio.stops, 1);
    clock.now += 60;
    EXPECT_EQ(transport.frameSeconds(), 180); // holds the last frame
    transport.handleKey(ShowKey::space);
    EXPECT_TRUE(transport.playing());
    EXPECT_EQ(audio.plays.back(), 0);
}

TEST(ShowTransport, ALoopingShowStartsAgainKeepingTheTimePastTheEnd) {
    FakeClock clock;
    ShowTransport transport(10, 0.9, nullptr, clock);
    transport.setLooping(true);
    transport.play();
    clock.now += 1.5;
    EXPECT_DOUBLE_EQ(transport.frameSeconds(), 0.5);
    EXPECT_TRUE(transport.playing());
    clock.now += 2;
    EXPECT_DOUBLE_EQ(transport.frameSeconds(), 2.5);
    clock.now += 25; // a long stall wraps as often as it needs
    EXPECT_DOUBLE_EQ(transport.frameSeconds(), 7.5);
    transport.handleKey(ShowKey::rightArrow); // to the end, playing: the top again
    EXPECT_DOUBLE_EQ(transport.frameSeconds(), 0);
    transport.handleKey(ShowKey::space);
    clock.now += 30;
    EXPECT_DOUBLE_EQ(transport.frameSeconds(), 0) << "a paused looping show stays put";
}

TEST(ShowTransport, ArrowsSeekFiveSecondsAndKeepThePlayState) {
    FakeClock clock;
    FakeAudio audio;
    ShowTransport transport(180, 0, &audio, clock);

    transport.seek(177, false); // 3 s left, paused: to the end, still paused
    transport.handleKey(ShowKey::rightArrow);
    EXPECT_EQ(transport.currentSeconds(), 180);
    EXPECT_FALSE(transport.playing());

    transport.seek(177, true); // 3 s left, playing: to the end, which starts the show again
    audio.position = 177;
    transport.handleKey(ShowKey::rightArrow);
    EXPECT_TRUE(transport.playing());
    EXPECT_EQ(transport.positionSeconds(), 0);
    EXPECT_EQ(audio.plays.back(), 0);

    transport.seek(2, false); // left arrow at 2 s goes to 0
    transport.handleKey(ShowKey::leftArrow);
    EXPECT_EQ(transport.currentSeconds(), 0);
    EXPECT_FALSE(transport.playing());

    transport.seek(60, true);
    audio.position = 61;
    transport.handleKey(ShowKey::leftArrow);
    EXPECT_TRUE(transport.playing());
    EXPECT_EQ(audio.plays.back(), 56);
}

TEST(ShowTransport, RStartsFromZeroEvenWhenPaused) {
    FakeClock clock;
    FakeAudio audio;
    ShowTransport transport(180, 0.5, &audio, clock);
    EXPECT_EQ(transport.handleKey(ShowKey::r), ShowKeyResult::handled);
    EXPECT_TRUE(transport.playing());
    EXPECT_EQ(audio.plays.back(), 0);
}

TEST(ShowTransport, WindowKeysAreLeftToTheWindow) {
    FakeClock clock;
    ShowTransport transport(180, 0, nullptr, clock);
    EXPECT_EQ(transport.handleKey(ShowKey::escape), ShowKeyResult::quit);
    EXPECT_EQ(transport.handleKey(ShowKey::f), ShowKeyResult::toggleFullScreen);
    EXPECT_EQ(transport.handleKey(ShowKey::other), ShowKeyResult::notHandled);
    EXPECT_FALSE(transport.playing());
}

TEST(ShowTransport, SeekClampsAndTreatsNaNAsZero) {
    FakeClock clock;
    ShowTransport transport(180, 0.5, nullptr, clock);
    transport.seek(std::nan(""), false);
    EXPECT_EQ(transport.currentSeconds(), 0);
    transport.seek(1e9, false);
    EXPECT_EQ(transport.currentSeconds(), 180);
}

TEST(ShowTransport, ZeroDurationAlwaysGivesNormalisedTimeZero) {
    FakeClock clock;
    ShowTransport transport(0, 0.7, nullptr, clock);
    transport.play();
    clock.now += 5;
    double t = transport.frameSeconds();
    EXPECT_EQ(t, 0);
    EXPECT_EQ(transport.normalizedTime(t), 0);
    EXPECT_FALSE(transport.playing()); // at its end at once
}

// A show read again with another length keeps its moment and its playing state; the sound is not
// restarted (it goes on from the same moment by itself).
TEST(ShowTransport, ANewLengthKeepsThePositionClampedAndThePlayingState) {
    FakeClock clock;
    FakeAudio audio;
    ShowTransport paused(180, 0.5, &audio, clock);
    paused.changeDuration(200);
    EXPECT_EQ(paused.currentSeconds(), 90);
    EXPECT_FALSE(paused.playing());
    paused.changeDuration(60);
    EXPECT_EQ(paused.currentSeconds(), 60);
    EXPECT_EQ(paused.normalizedTime(paused.currentSeconds()), 1);

    ShowTransport playing(180, 0.5, &audio, clock);
    playing.play();
    clock.now += 2; // on the clock: the sound has not rendered yet
    playing.changeDuration(100);
    EXPECT_TRUE(playing.playing());
    EXPECT_EQ(playing.currentSeconds(), 92);
    clock.now += 1;
    EXPECT_EQ(playing.currentSeconds(), 93);
    audio.position = 95; // and on the sound once it plays
    EXPECT_EQ(playing.currentSeconds(), 95);
    playing.changeDuration(94);
    EXPECT_EQ(playing.frameSeconds(), 94); // past the new end: stopped on the last frame
    EXPECT_FALSE(playing.playing());
    EXPECT_EQ(audio.plays.size(), 1u);
}

TEST(ShowTransport, NormalisedTimeIsTheFractionOfTheDuration) {
    FakeClock clock;
    ShowTransport transport(180, 0, nullptr, clock);
    EXPECT_DOUBLE_EQ(transport.normalizedTime(45), 0.25);
}

} // namespace
} // namespace drevik

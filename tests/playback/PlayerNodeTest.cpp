// The player node driven by hand: what the device callback receives and when completions run.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "playback/AudioEngine.hpp"

namespace corvaline::playback {
namespace {

std::shared_ptr<const AudioBuffer> stereo(std::vector<float> left, std::vector<float> right) {
    auto buffer = std::make_shared<AudioBuffer>(2, uint32_t(left.size()));
    buffer->setFrameLength(uint32_t(left.size()));
    std::copy(left.begin(), left.end(), buffer->channel(0));
    std::copy(right.begin(), right.end(), buffer->channel(1));
    return buffer;
}

std::vector<float> render(PlayerNode& player, uint32_t frames) {
    std::vector<float> out(frames * 2, -7.0f);
    player.render(out.data(), frames, 2);
    return out;
}

template <class T>
bool ready(std::future<T>& future, int ms = 2000) {
    return future.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

TEST(PlayerNode, PlaysBuffersBackToBackAcrossCallbackBoundaries) {
    PlayerNode player(48000, 2);
    std::promise<std::thread::id> consumed;
    auto consumedOn = consumed.get_future();
    std::promise<void> played;
    auto playedBack = played.get_future();
    player.schedule(stereo({1, 2, 3}, {-1, -2, -3}), CompletionType::dataConsumed,
                    [&] { consumed.set_value(std::this_thread::get_id()); });
    player.schedule(stereo({4, 5}, {-4, -5}), CompletionType::dataPlayedBack,
                    [&] { played.set_value(); });

    // Nothing plays before play(), and nothing is consumed.
    EXPECT_EQ(render(player, 2), (std::vector<float>{0, 0, 0, 0}));
    EXPECT_FALSE(player.playerTime());
    player.play();
    EXPECT_FALSE(player.playerTime());  // nothing rendered yet since play()

    EXPECT_EQ(render(player, 2), (std::vector<float>{1, -1, 2, -2}));
    EXPECT_EQ(render(player, 2), (std::vector<float>{3, -3, 4, -4}));
    ASSERT_TRUE(ready(consumedOn));
    // Completions never run on the thread that renders.
    EXPECT_NE(consumedOn.get(), std::this_thread::get_id());
    EXPECT_EQ(render(player, 3), (std::vector<float>{5, -5, 0, 0, 0, 0}));
    // Played back: due only once the device has taken the last frame, at the next callback.
    EXPECT_FALSE(ready(playedBack, 50));
    render(player, 1);
    EXPECT_TRUE(ready(playedBack));
    ASSERT_TRUE(player.playerTime());
    EXPECT_EQ(player.playerTime()->sampleTime, 5);
    EXPECT_EQ(player.playerTime()->sampleRate, 48000);
    // Silence after the programme is not starvation.
    EXPECT_EQ(player.underrunFrames(), 0);
}

TEST(PlayerNode, StarvationBetweenBuffersIsCounted) {
    PlayerNode player(48000, 2);
    player.play();
    player.schedule(stereo({1, 1}, {1, 1}), CompletionType::dataConsumed, {});
    render(player, 4);  // 2 frames of data, 2 of silence
    render(player, 3);  // 3 more of silence
    player.schedule(stereo({2}, {2}), CompletionType::dataConsumed, {});
    EXPECT_EQ(render(player, 1), (std::vector<float>{2, 2}));
    EXPECT_EQ(player.underrunFrames(), 5);
}

TEST(PlayerNode, StopDiscardsScheduledBuffersWithoutCompletingThem) {
    PlayerNode player(48000, 2);
    std::atomic<int> completions = 0;
    for (int i = 0; i < 3; ++i) {
        player.schedule(stereo({1, 2}, {3, 4}), CompletionType::dataConsumed,
                        [&] { ++completions; });
    }
    player.play();
    render(player, 1);
    player.stop();
    EXPECT_FALSE(player.isPlaying());
    EXPECT_FALSE(player.playerTime());
    EXPECT_EQ(render(player, 2), (std::vector<float>{0, 0, 0, 0}));
    player.play();
    EXPECT_EQ(render(player, 2), (std::vector<float>{0, 0, 0, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(completions.load(), 0);
}

}  // namespace
}  // namespace corvaline::playback

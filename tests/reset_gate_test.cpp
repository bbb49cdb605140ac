// The hand-over around a buffer reset: a reset never runs while the
// playback thread is inside a delivery call, waits (500 ms at most) for the
// frames the host still holds and goes on as soon as they are released, and
// a frame it had to write off does not disturb the refilled stream when it
// is finally released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "NodeBuilder.h"
#include "TestAccess.h"

using A = MsspTestAccess;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

class ResetGate : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 2; ++i) {
            for (int k = 0; k < 3; ++k) Push(i, k == 0 ? MSSP_FRAME_I : MSSP_FRAME_P, 1000 + 40 * k + i);
        }
    }
    CMultiStreamSyncParser& P() { return *t_; }
    void Push(int i, uint8_t type, uint64_t pts) { t_.Push(i, {.frameType = type, .pts = pts, .time = {26, 12, 6, 10, 0, 0}}); }
    // Delivers the next frame (earliest forwards, latest backwards) and holds it.
    int Take(int direction = 1) { return t_.Get(direction).rc; }
    uint32_t GetNum(int i) { return A::Head(P(), i)->getNum; }

    msspt::TestParser t_{"gate", 2, 3 * 65536, 16};
};

TEST_F(ResetGate, ResetWaitsForTheFrameTheHostHolds_AndGoesOnAtItsRelease) {
    // The last stream's frame: a reset of all streams waits for every one.
    ASSERT_EQ(Take(-1), 1);
    std::atomic<bool> cleared{false};
    Clock::time_point clearedAt;
    std::thread control([&] {
        P().ClearBuffer();
        clearedAt = Clock::now();
        cleared = true;
    });
    // Once the reset has begun, delivery hands out nothing (before that,
    // GetFrame hands out the same held frame again).
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Take(-1) >= 0 && Clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(Take(-1), -1);
    // The host keeps its frame for a known time, well inside the reset's wait.
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(cleared.load()) << "the reset did not wait for the held frame";
    const Clock::time_point releasedAt = Clock::now();
    EXPECT_EQ(P().ReleaseFrame(1), 0);
    control.join();
    EXPECT_LT(clearedAt - releasedAt, milliseconds(250)) << "the release did not wake the reset";
    for (int i = 0; i < 2; ++i) EXPECT_EQ(A::Head(P(), i)->parseNum + GetNum(i), 0u);
}

TEST_F(ResetGate, FrameNeverReleasedIsWrittenOffAfter500ms_ItsLateReleaseTouchesNothing) {
    ASSERT_EQ(Take(), 0);
    // The host does not release during the reset (same thread).
    testing::internal::CaptureStdout();
    const Clock::time_point start = Clock::now();
    P().ClearBuffer();
    const Clock::duration took = Clock::now() - start;
    EXPECT_NE(testing::internal::GetCapturedStdout().find("frames still held at reset, written off: mask=0x00000001"),
              std::string::npos);
    EXPECT_GE(took, milliseconds(500));
    EXPECT_LT(took, milliseconds(5000));
    Push(0, MSSP_FRAME_I, 5000);
    ASSERT_EQ(A::Head(P(), 0)->parseNum, 1u);
    EXPECT_EQ(P().ReleaseFrame(0), 0);  // the old frame: the new one stays
    EXPECT_EQ(GetNum(0), 0u);
    EXPECT_EQ(A::Cursor(P(), 0)->getIndex, 0u);
    EXPECT_EQ(P().ReleaseFrame(0), 0);  // the hold is gone: an ordinary release
    EXPECT_EQ(GetNum(0), 1u);
}

TEST_F(ResetGate, WrittenOffHoldOutlivesAFrameThrownAwayByDelivery) {
    ASSERT_EQ(Take(), 0);
    testing::internal::CaptureStdout();
    P().ClearBuffer();  // the held frame is written off
    A::Head(P(), 1)->state = MSSP_STATUS_OVER;
    Push(0, MSSP_FRAME_I, 0);  // thrown away by GetFrame
    Push(0, MSSP_FRAME_I, 5040);
    EXPECT_EQ(Take(), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(GetNum(0), 1u);
    // The late release still touches nothing: the frame behind is not lost.
    EXPECT_EQ(P().ReleaseFrame(0), 0);
    EXPECT_EQ(GetNum(0), 1u);
}

TEST_F(ResetGate, ChannelClearWaitsOnlyForItsOwnStream) {
    ASSERT_EQ(Take(), 0);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(P().ClearBuffer(1), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(400));
    EXPECT_EQ(A::Head(P(), 1)->parseNum, 0u);
    EXPECT_EQ(A::Head(P(), 0)->parseNum, 3u);
    EXPECT_EQ(P().ReleaseFrame(0), 0);
    EXPECT_EQ(GetNum(0), 1u);
}

}  // namespace

// The hand-over around a buffer reset: a reset never runs while the
// playback thread is inside a delivery call, waits for frames the host still
// holds, and a frame it had to write off does not disturb the refilled
// stream when it is finally released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "NodeBuilder.h"
#include "TestAccess.h"

using A = MsspTestAccess;

namespace {

class ResetGate : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = msspt::UniqueName("gate");
        parser_ = std::make_unique<CMultiStreamSyncParser>(1, 2, name_.data(), 3 * 65536, 16, nullptr, nullptr, 0);
        for (int i = 0; i < 2; ++i) {
            A::Head(*parser_, i)->channel = i;
            A::Head(*parser_, i)->state = MSSP_STATUS_PLAY;
            A::ChnMask(*parser_) |= 1u << i;
        }
        for (int i = 0; i < 2; ++i) {
            msspt::StreamFiller fill(*parser_, i);
            for (int k = 0; k < 3; ++k) {
                msspt::FrameSpec spec;
                spec.frameType = k == 0 ? MSSP_FRAME_I : MSSP_FRAME_P;
                spec.pts = 1000 + 40 * k + i;
                spec.time = {26, 12, 6, 10, 0, 0};
                fill.Push(spec, msspt::NewFormatPack(spec, static_cast<uint8_t>(i)));
            }
        }
    }
    void TearDown() override {
        parser_.reset();
        msspt::RemoveKeyFile(name_, 1);
    }

    int Take(unsigned char** p1 = nullptr) {
        unsigned char *d1, *d2;
        int l1, l2, type;
        unsigned long long pts;
        unsigned int flags;
        const int s = parser_->GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flags, nullptr, 1, 0);
        if (p1) *p1 = d1;
        return s;
    }

    std::string name_;
    std::unique_ptr<CMultiStreamSyncParser> parser_;
};

}  // namespace

TEST_F(ResetGate, ClearWaitsForTheHeldFrameToBeReleased) {
    ASSERT_EQ(Take(), 0);
    std::atomic<bool> released{false};
    std::atomic<bool> clearDone{false};
    std::thread control([&] {
        parser_->ClearBuffer();
        // The clear may only finish after the host let go of its frame.
        EXPECT_TRUE(released.load());
        clearDone = true;
    });
    // Once the reset has begun, delivery hands out nothing (before that,
    // GetFrame hands out the same held frame again).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Take() >= 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(Take(), -1);
    EXPECT_FALSE(clearDone.load());
    released = true;
    EXPECT_EQ(parser_->ReleaseFrame(0), 0);
    control.join();
    EXPECT_TRUE(clearDone.load());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(A::Head(*parser_, i)->parseNum, 0u);
        EXPECT_EQ(A::Head(*parser_, i)->getNum, 0u);
    }
}

TEST_F(ResetGate, FrameStillHeldIsWrittenOffAndItsReleaseTouchesNothing) {
    ASSERT_EQ(Take(), 0);
    // The host never releases during the reset (same thread): the reset waits
    // its bounded time, then writes the frame off.
    parser_->ClearBuffer();
    msspt::StreamFiller fill(*parser_, 0);
    msspt::FrameSpec spec;
    spec.pts = 5000;
    spec.time = {26, 12, 6, 11, 0, 0};
    fill.Push(spec, msspt::NewFormatPack(spec, 0));
    ASSERT_EQ(A::Head(*parser_, 0)->parseNum, 1u);

    // The late release of the old frame must not consume the new one.
    EXPECT_EQ(parser_->ReleaseFrame(0), 0);
    EXPECT_EQ(A::Head(*parser_, 0)->getNum, 0u);
    EXPECT_EQ(A::Cursor(*parser_, 0)->getIndex, 0u);
    // The hold is gone: the next release is an ordinary one.
    EXPECT_EQ(parser_->ReleaseFrame(0), 0);
    EXPECT_EQ(A::Head(*parser_, 0)->getNum, 1u);
}

TEST_F(ResetGate, WrittenOffHoldOutlivesAFrameThrownAwayByDelivery) {
    ASSERT_EQ(Take(), 0);
    parser_->ClearBuffer();  // the held frame is written off
    A::Head(*parser_, 1)->state = MSSP_STATUS_OVER;
    msspt::StreamFiller fill(*parser_, 0);
    msspt::FrameSpec bad, good;
    bad.pts = 0;  // thrown away by GetFrame
    good.pts = 5040;
    bad.time = good.time = {26, 12, 6, 11, 0, 0};
    fill.Push(bad, msspt::NewFormatPack(bad, 0));
    fill.Push(good, msspt::NewFormatPack(good, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Take(), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(A::Head(*parser_, 0)->getNum, 1u);
    // The host's late release of the written-off frame still touches
    // nothing: the frame behind the thrown-away one is not lost.
    EXPECT_EQ(parser_->ReleaseFrame(0), 0);
    EXPECT_EQ(A::Head(*parser_, 0)->getNum, 1u);
}

TEST_F(ResetGate, ChannelClearWaitsOnlyForItsOwnStream) {
    // A frame held on stream 0 does not hold up the reset of stream 1.
    ASSERT_EQ(Take(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(parser_->ClearBuffer(1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_EQ(A::Head(*parser_, 1)->parseNum, 0u);
    EXPECT_EQ(A::Head(*parser_, 0)->parseNum, 3u);
    EXPECT_EQ(parser_->ReleaseFrame(0), 0);
    EXPECT_EQ(A::Head(*parser_, 0)->getNum, 1u);
}

// Frame-jump levels: which reference positions each level shows (the two
// mask tables through CheckSend), the frame rate a level leaves
// (GetFrameRateByLevel), and SetFrameJumpLevel on buffered frames.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "MsspInternal.h"
#include "NodeBuilder.h"
#include "TestAccess.h"

using A = MsspTestAccess;
using msspt::FrameSpec;

namespace {

// Positions 0..31 that CheckSend shows at `level` for `refType`.
std::set<int> Shown(unsigned char level, unsigned char refType) {
    std::set<int> shown;
    for (int p = 0; p < 32; ++p) {
        if (CheckSend(level, refType, static_cast<unsigned char>(p))) shown.insert(p);
    }
    return shown;
}
std::set<int> EveryNth(int n, int below = 32) {
    std::set<int> s;
    for (int p = 0; p < below; p += n) s.insert(p);
    return s;
}

TEST(FrameJumpTables, LevelsShowTheDescribedPositions) {
    // 4X: levels 0..2 every fourth position but 28, level 3 every fourth,
    // level 7 every second; 2X: every second position up to level 7.
    for (unsigned char level : {0, 1, 2}) EXPECT_EQ(Shown(level, 5), EveryNth(4, 28)) << int(level);
    EXPECT_EQ(Shown(3, 5), EveryNth(4));
    EXPECT_EQ(Shown(7, 5), EveryNth(2));
    for (unsigned char level = 0; level <= 7; ++level) EXPECT_EQ(Shown(level, 2), EveryNth(2)) << int(level);
    for (unsigned char level = 8; level <= 13; ++level) {
        EXPECT_EQ(Shown(level, 2), Shown(level, 5)) << int(level);
        EXPECT_EQ(REF_JUMP_MASK_2X_30fps_BIT[level], REF_JUMP_MASK_4X_30fps_BIT[level]);
    }
    // No level shows fewer positions than the one below it.
    for (unsigned char refType : {2, 5}) {
        for (unsigned char level = 1; level <= 13; ++level) {
            EXPECT_GE(Shown(level, refType).size(), Shown(level - 1, refType).size())
                << int(refType) << " level " << int(level);
        }
    }
    EXPECT_EQ(REF_JUMP_MASK_4X_30fps_BIT[14], 0xFFFFFFFFu);
    EXPECT_EQ(REF_JUMP_MASK_2X_30fps_BIT[14], 0xFFFFFFFFu);
    EXPECT_EQ(REF_JUMP_MASK_4X_30fps_BIT[4], 0x88A88A88u);  // position 10 (bit 21) and 22 join at level 4
    EXPECT_EQ(Shown(4, 5), (std::set<int>{0, 4, 8, 10, 12, 16, 20, 22, 24, 28}));
}

TEST(FrameJumpCheckSend, ShownRegardlessAndFoldedPositions) {
    for (unsigned char p : {0, 1, 2, 3, 31, 45, 60, 61, 200}) {
        EXPECT_EQ(CheckSend(14, 5, p), 1);  // level 14: everything
        EXPECT_EQ(CheckSend(0, 0, p), 1);   // no reference structure
        EXPECT_EQ(CheckSend(0, 1, p), 1);
        EXPECT_EQ(CheckSend(0, 3, p), 1);   // unknown reference type
    }
    for (unsigned char level = 0; level <= 13; ++level) {
        for (unsigned char refType : {2, 5}) {
            for (unsigned char p = 32; p <= 60; ++p) EXPECT_EQ(CheckSend(level, refType, p), CheckSend(level, refType, p - 32));
            EXPECT_EQ(CheckSend(level, refType, 61), 1);
        }
    }
    EXPECT_EQ(CheckSend(0, 2, 1), 0);
    EXPECT_EQ(CheckSend(0, 2, 33), 0);
    EXPECT_EQ(CheckSend(0, 5, 28), 0);
    EXPECT_EQ(CheckSend(13, 5, 7), 0);  // 0xFEFEFEFE: every eighth position from 7 is skipped
    EXPECT_EQ(CheckSend(13, 5, 6), 1);
}

TEST(FrameJumpRate, ByLevelRows) {
    const std::vector<int> type5f30{7, 7, 7, 8, 10, 11, 13, 15, 17, 19, 21, 22, 25, 27, 30};
    const std::vector<int> type2f30{15, 15, 15, 15, 15, 15, 15, 15, 17, 19, 21, 22, 25, 27, 30};
    const std::vector<int> type5f0{1, 1, 1, 0, 0, 0, 1, 1, 1, 2, 0, 1, 0, 0, 0};
    for (unsigned char level = 0; level <= 14; ++level) {
        EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, 5, 30), type5f30[level]) << int(level);
        EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, 2, 30), type2f30[level]) << int(level);
        EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, 5, 0), type5f0[level]) << int(level);
        for (unsigned char refType : {0, 1, 3, 7}) EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, refType, 25), 25);
    }
    EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(15, 5, 30), 30);
    EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(0, 5, 28), 7);  // (28 - 1) / 4 + 1
    EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(3, 5, 25), 7);  // 25 / 4 + 1
}

// A parser whose streams are filled directly, without reader threads.
class SetLevel : public ::testing::Test {
protected:
    static constexpr int kFrames = 12;
    void SetUp() override {
        name_ = msspt::UniqueName("jmp");
        parser_ = std::make_unique<CMultiStreamSyncParser>(4, 2, name_.data(), 3 * 65536, kFrames, nullptr, nullptr, 0);
        fill_ = std::make_unique<msspt::StreamFiller>(*parser_, 1);
    }
    void TearDown() override {
        parser_.reset();
        msspt::RemoveKeyFile(name_, 4);
    }
    CMultiStreamSyncParser& P() { return *parser_; }
    void Push(uint8_t type, uint8_t refType, uint8_t frameRate) {
        FrameSpec s;
        s.frameType = type;
        s.refType = refType;
        s.frameRate = frameRate;
        s.pts = 1000;
        fill_->Push(s, msspt::NewFormatPack(s, 1));
    }
    template <class F>
    std::string Printed(F&& f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }

    std::string name_;
    std::unique_ptr<CMultiStreamSyncParser> parser_;
    std::unique_ptr<msspt::StreamFiller> fill_;
};

TEST_F(SetLevel, RejectsBadIndexOrLevel) {
    std::string out = Printed([&] { EXPECT_EQ(P().SetFrameJumpLevel(2, 3), 255); });
    EXPECT_NE(out.find("SetFrameJumpLevel error, because index=2 max=2 level=3 max=14"), std::string::npos);
    EXPECT_EQ(P().SetFrameJumpLevel(1, 15), 255);
    EXPECT_EQ(A::JumpLevel(P(), 0), 14);
    EXPECT_EQ(A::JumpLevel(P(), 1), 14);
}

TEST_F(SetLevel, EmptyStreamTakesLevelAndGives255) {
    std::string out = Printed([&] { EXPECT_EQ(P().SetFrameJumpLevel(1, 5), 255); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(A::JumpLevel(P(), 1), 5);
    EXPECT_EQ(A::JumpLevel(P(), 0), 14);
}

TEST_F(SetLevel, RateRowsForThirtyFps) {
    const std::vector<int> type5{7, 7, 7, 8, 10, 11, 13, 15, 18, 18, 19, 22, 24, 27, 30};
    const std::vector<int> type2{15, 15, 15, 15, 15, 15, 15, 15, 18, 18, 19, 22, 24, 27, 30};
    Push(MSSP_FRAME_I, 5, 30);
    for (unsigned char level = 0; level <= 14; ++level) {
        EXPECT_EQ(P().SetFrameJumpLevel(1, level), type5[level]) << int(level);
        EXPECT_EQ(A::JumpLevel(P(), 1), level);
    }
    std::string out = Printed([&] { P().SetFrameJumpLevel(1, 9); });
    EXPECT_NE(out.find("SetFrameJumpLevel index=1 ref=5 level=9 realFr=30"), std::string::npos);
    P().ReleaseFrame(1);
    Push(MSSP_FRAME_P, 2, 30);
    for (unsigned char level = 0; level <= 14; ++level) EXPECT_EQ(P().SetFrameJumpLevel(1, level), type2[level]) << int(level);
    P().ReleaseFrame(1);
    Push(MSSP_FRAME_P, 0, 25);
    EXPECT_EQ(P().SetFrameJumpLevel(1, 0), 25);  // no reference structure: the recorded rate
}

TEST_F(SetLevel, FindsVideoBehindAudio_ReportsUnknownType) {
    Push(MSSP_FRAME_AUDIO, 0, 0);
    Push(MSSP_FRAME_P, 9, 30);
    std::string out = Printed([&] { EXPECT_EQ(P().SetFrameJumpLevel(1, 3), 255); });
    EXPECT_NE(out.find("SetFrameJumpLevel unknown ref type 9"), std::string::npos);
    EXPECT_EQ(A::JumpLevel(P(), 1), 3);
    P().ReleaseFrame(1);
    P().ReleaseFrame(1);
    Push(MSSP_FRAME_AUDIO, 0, 0);
    out = Printed([&] { EXPECT_EQ(P().SetFrameJumpLevel(1, 4), 255); });
    EXPECT_NE(out.find("SetFrameJumpLevel failed, because frame is not video\n"), std::string::npos);
}

TEST_F(SetLevel, SearchCirclesAndStaysOnWaitingFrames) {
    // Read position at the last node: the search goes on at node 0.
    A::Cursor(P(), 1)->getIndex = kFrames - 1;
    A::Cursor(P(), 1)->lastIndex = kFrames - 2;
    Push(MSSP_FRAME_AUDIO, 0, 0);
    Push(MSSP_FRAME_P, 5, 30);
    std::string out = Printed([&] { EXPECT_EQ(P().SetFrameJumpLevel(1, 3), 8); });
    EXPECT_NE(out.find("SetFrameJumpLevel index 1 circling, firt=11 next=1 max=12"), std::string::npos) << out;

    // A video node right after the last waiting frame is not a waiting frame.
    P().ReleaseFrame(1);
    P().ReleaseFrame(1);
    Push(MSSP_FRAME_AUDIO, 0, 0);
    FrameSpec v;
    v.frameType = MSSP_FRAME_P;
    v.refType = 5;
    v.frameRate = 30;
    fill_->WriteUnpublished(v, msspt::NewFormatPack(v, 1));
    EXPECT_EQ(P().SetFrameJumpLevel(1, 3), 255);
}

TEST_F(SetLevel, FrameRateIgnoresCompletionMark) {
    Push(MSSP_FRAME_I, 5, 30);
    ASSERT_NE(fill_->Node(0).frameRate & 0x80, 0);
    EXPECT_EQ(P().SetFrameJumpLevel(1, 14), 30);
}

}  // namespace

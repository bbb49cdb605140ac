// Frame-jump levels: which reference positions a level shows (CheckSend),
// the frame rate a level leaves (GetFrameRateByLevel), and SetFrameJumpLevel
// on buffered frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MsspInternal.h"
#include "NodeBuilder.h"
#include "TestAccess.h"

using A = MsspTestAccess;

namespace {

TEST(FrameJump, CheckSendRows) {
    struct Row {
        unsigned char level, refType;
        std::vector<int> positions;
        int shown;
    };
    const Row rows[] = {
        // 4X: levels 0..2 every fourth position but 28, level 3 every fourth,
        // level 7 every second; 2X every second up to level 7.
        {0, 5, {0, 4, 24, 32, 36}, 1}, {2, 5, {1, 2, 3, 28, 60, 33}, 0}, {3, 5, {28}, 1}, {3, 5, {2, 6}, 0},
        {4, 5, {10, 22}, 1}, {7, 5, {2, 30}, 1}, {7, 5, {1, 31}, 0}, {0, 2, {0, 2, 28, 30, 34}, 1},
        {7, 2, {1, 3, 33}, 0}, {13, 5, {6, 0}, 1}, {13, 5, {7, 15, 39}, 0}, {13, 2, {7}, 0},
        // Level 14, no or unknown reference structure, positions past 60: shown.
        {14, 5, {1, 7, 31}, 1}, {0, 0, {1, 3}, 1}, {0, 1, {1}, 1}, {0, 3, {1}, 1}, {0, 2, {61, 200}, 1}};
    for (const Row& r : rows) {
        for (int p : r.positions) {
            EXPECT_EQ(CheckSend(r.level, r.refType, static_cast<unsigned char>(p)), r.shown)
                << "level " << int(r.level) << " ref " << int(r.refType) << " position " << p;
        }
    }
    for (unsigned char level = 0; level <= 13; ++level) {
        for (unsigned char p = 32; p <= 60; ++p) EXPECT_EQ(CheckSend(level, 5, p), CheckSend(level, 5, p - 32));
    }
}

TEST(FrameJump, RateByLevelRows) {
    const std::vector<int> type5f30{7, 7, 7, 8, 10, 11, 13, 15, 17, 19, 21, 22, 25, 27, 30};
    const std::vector<int> type2f30{15, 15, 15, 15, 15, 15, 15, 15, 17, 19, 21, 22, 25, 27, 30};
    const std::vector<int> type5f0{1, 1, 1, 0, 0, 0, 1, 1, 1, 2, 0, 1, 0, 0, 0};
    for (unsigned char level = 0; level <= 14; ++level) {
        EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, 5, 30), type5f30[level]) << int(level);
        EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, 2, 30), type2f30[level]) << int(level);
        EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, 5, 0), type5f0[level]) << int(level);
        for (unsigned char refType : {0, 1, 3}) EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(level, refType, 25), 25);
    }
    EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(15, 5, 30), 30);
    EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(0, 5, 28), 7);  // (28 - 1) / 4 + 1
    EXPECT_EQ(CMultiStreamSyncParser::GetFrameRateByLevel(3, 5, 25), 7);  // 25 / 4 + 1
}

class SetLevel : public ::testing::Test {
protected:
    static constexpr int kFrames = 12;
    void Push(uint8_t type, uint8_t refType, uint8_t frameRate, bool publish = true) {
        // With the completion mark, which the rate leaves out.
        t_.Push(1, {.frameType = type, .pts = 1000, .refType = refType, .frameRate = frameRate}, 64, {}, publish);
    }
    std::string Set(unsigned char index, unsigned char level, int rc) {
        return msspt::Printed([&] { EXPECT_EQ(P().SetFrameJumpLevel(index, level), rc) << "level " << int(level); });
    }
    CMultiStreamSyncParser& P() { return *t_; }

    msspt::TestParser t_{"jmp", 2, 3 * 65536, kFrames};
};

TEST_F(SetLevel, RefusesBadIndexOrLevel_EmptyStreamTakesTheLevel) {
    EXPECT_NE(Set(2, 3, 255).find("SetFrameJumpLevel error, because index=2 max=2 level=3 max=14"), std::string::npos);
    Set(1, 15, 255);
    EXPECT_EQ(A::JumpLevel(P(), 1), 14);
    EXPECT_EQ(Set(1, 5, 255), "");
    EXPECT_EQ(A::JumpLevel(P(), 1), 5);
    EXPECT_EQ(A::JumpLevel(P(), 0), 14);
}

TEST_F(SetLevel, RateRowsOfTheNextVideoFrame) {
    const std::vector<int> type5{7, 7, 7, 8, 10, 11, 13, 15, 18, 18, 19, 22, 24, 27, 30};
    const std::vector<int> type2{15, 15, 15, 15, 15, 15, 15, 15, 18, 18, 19, 22, 24, 27, 30};
    Push(MSSP_FRAME_I, 5, 30);
    for (unsigned char level = 0; level <= 14; ++level) {
        Set(1, level, type5[level]);
        EXPECT_EQ(A::JumpLevel(P(), 1), level);
    }
    EXPECT_NE(Set(1, 9, 18).find("SetFrameJumpLevel index=1 ref=5 level=9 realFr=30"), std::string::npos);
    P().ReleaseFrame(1);
    Push(MSSP_FRAME_P, 2, 30);
    for (unsigned char level = 0; level <= 14; ++level) Set(1, level, type2[level]);
    P().ReleaseFrame(1);
    Push(MSSP_FRAME_P, 0, 25);
    Set(1, 0, 25);  // no reference structure: the recorded rate
    P().ReleaseFrame(1);
    // Video behind audio is found (at the ring's end the search goes on at
    // node 0); an unknown reference type is reported.
    A::Cursor(P(), 1)->getIndex = kFrames - 1;
    A::Cursor(P(), 1)->lastIndex = kFrames - 2;
    Push(MSSP_FRAME_AUDIO, 0, 0);
    Push(MSSP_FRAME_P, 9, 30);
    EXPECT_NE(Set(1, 3, 255).find("SetFrameJumpLevel unknown ref type 9"), std::string::npos);
    P().ReleaseFrame(1);
    P().ReleaseFrame(1);
    Push(MSSP_FRAME_AUDIO, 0, 0);
    Push(MSSP_FRAME_P, 5, 30, false);  // a node after the last waiting frame is not one
    EXPECT_NE(Set(1, 4, 255).find("SetFrameJumpLevel failed, because frame is not video\n"), std::string::npos);
}

}  // namespace

// Frame delivery on the consumer side, driven directly without reader
// threads: timestamp conversion onto the wall-clock timeline, the baseline
// choice, stream time, GetFrame/GetFrameEx ordering, key-frame wait, channel
// check, frame-jump thinning, discontinuity flag, release, the buffer
// queries, bounds on bad indexes and corrupt nodes, and no heap use on the
// delivery path.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "NodeBuilder.h"
#include "TestAccess.h"

using A = MsspTestAccess;
using msspt::FrameSpec;
using packwriter::Bytes;

// ---------------------------------------------------------------------------
// Heap-use counting for the whole test binary: operator new / new[] always,
// and malloc on glibc builds without a sanitizer (which brings its own).
namespace {
std::atomic<bool> g_countAllocs{false};
std::atomic<long> g_allocs{0};
void NoteAlloc() {
    if (g_countAllocs.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

void* operator new(std::size_t n) {
    NoteAlloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    NoteAlloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    NoteAlloc();
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    NoteAlloc();
    return std::malloc(n ? n : 1);
}
// Kept out of line: once inlined, the compiler pairs free() with a
// new-expression and warns of a mismatch.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define MSSP_TEST_COUNTS_MALLOC 1
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* malloc(std::size_t n) noexcept {
    NoteAlloc();
    return __libc_malloc(n);
}
#else
#define MSSP_TEST_COUNTS_MALLOC 0
#endif

namespace {

constexpr int kBuf = 8192;
constexpr int kFrames = 16;
constexpr std::array<uint8_t, 6> kTen{21, 3, 4, 10, 0, 0};  // 2021-03-04 10:00:00

// Seconds since 1970 of a date-time taken as UTC, independent of mktime.
int64_t UtcSeconds(const std::array<uint8_t, 6>& t) {
    std::tm tm{};
    tm.tm_year = t[0] + 100;
    tm.tm_mon = t[1] - 1;
    tm.tm_mday = t[2];
    tm.tm_hour = t[3];
    tm.tm_min = t[4];
    tm.tm_sec = t[5];
    return static_cast<int64_t>(timegm(&tm));
}

FrameSpec Frame(uint8_t type, uint64_t pts, std::array<uint8_t, 6> time = kTen) {
    FrameSpec s;
    s.frameType = type;
    s.pts = pts;
    s.time = time;
    return s;
}
FrameSpec Audio(uint64_t pts, bool audioSegment = false) {
    FrameSpec s = Frame(MSSP_FRAME_AUDIO, pts);
    s.audioSegment = audioSegment;
    return s;
}

void SetTz(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

struct Delivered {
    int rc = -9;
    unsigned char* data1 = nullptr;
    int len1 = -1;
    unsigned char* data2 = nullptr;
    int len2 = -1;
    int type = -1;
    unsigned long long pts = 0;
    unsigned int flag = 0xFFFF;
    int channel = -9;
};

class Delivery : public ::testing::Test {
protected:
    void SetUp() override { SetTz("UTC0"); }
    void TearDown() override {
        parser_.reset();
        if (!name_.empty()) msspt::RemoveKeyFile(name_, kGroup);
        Kelto_SetSpecInfo(Json::Value(Json::objectValue));
        SetTz("UTC0");
    }

    // Streams 0..n-1 on channels 0..n-1 (or `channels`), all reading.
    void Make(int streams, bool oldDevice = false, std::vector<int> channels = {}) {
        if (oldDevice) {
            Json::Value spec(Json::objectValue);
            spec["PRODUCT_GROUP"] = "ANT";
            Kelto_SetSpecInfo(spec);
        }
        name_ = msspt::UniqueName("dlv");
        parser_ = std::make_unique<CMultiStreamSyncParser>(kGroup, streams, name_.data(), kBuf, kFrames, nullptr,
                                                           nullptr, 0);
        ASSERT_EQ(g_DeviceGroup, oldDevice ? 3 : 0);
        fill_.clear();
        for (int i = 0; i < streams; ++i) {
            A::Head(P(), i)->channel = channels.empty() ? i : channels[i];
            A::Head(P(), i)->state = MSSP_STATUS_PLAY;
            A::Head(P(), i)->playStatus = MSSP_STATUS_PLAY;
            fill_.emplace_back(P(), i);
        }
    }
    CMultiStreamSyncParser& P() { return *parser_; }

    // A frame of stream i with a real pack on the stream's channel.
    int Push(int i, const FrameSpec& s, size_t payload = 64) {
        const uint8_t chn = static_cast<uint8_t>(A::Head(P(), i)->channel);
        const Bytes pack = g_DeviceGroup == 3 ? msspt::OldFormatPack(s, chn, payload)
                                              : msspt::NewFormatPack(s, chn, payload);
        return fill_[i].Push(s, pack);
    }
    int Waiting(int i) { return static_cast<int>(A::Head(P(), i)->parseNum - A::Head(P(), i)->getNum); }

    Delivered Get(int direction = 1, unsigned char convert = 0) {
        Delivered d;
        d.rc = P().GetFrame(&d.data1, &d.len1, &d.data2, &d.len2, &d.type, &d.pts, &d.flag, &d.channel, direction,
                            convert);
        return d;
    }
    Delivered GetEx(int i, tag_MSSP_GetFrameInfo* info, unsigned char convert = 0) {
        Delivered d;
        d.rc = P().GetFrameEx(i, &d.data1, &d.len1, &d.data2, &d.len2, info, convert);
        return d;
    }
    // Runs `f` with standard output captured and returns what it printed.
    template <class F>
    std::string Printed(F&& f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }

    static constexpr int kGroup = 5;
    std::string name_;
    std::unique_ptr<CMultiStreamSyncParser> parser_;
    std::vector<msspt::StreamFiller> fill_;
};

// ---------------------------------------------------------------------------
// Timestamp conversion

// Converts stream 0's read node and releases it, as delivery does.
unsigned long long ConvertAndRelease(CMultiStreamSyncParser& p) {
    MSSP_FrameNode_t* node = &A::Nodes(p, 0)[A::Cursor(p, 0)->getIndex];
    const unsigned long long v = p.GetCovertedPts(0, node);
    p.ReleaseFrame(0);
    return v;
}

TEST_F(Delivery, Conversion_FortyMsStepsFromTenOClock) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 100000));
    Push(0, Frame(MSSP_FRAME_P, 100040));
    Push(0, Frame(MSSP_FRAME_P, 100080));
    const unsigned long long base = static_cast<unsigned long long>(UtcSeconds(kTen)) * 1000;
    std::string out = Printed([&] { EXPECT_EQ(ConvertAndRelease(P()), base); });
    EXPECT_NE(out.find("index=0 inti iframe 10:0:0 base=" + std::to_string(base)), std::string::npos) << out;
    EXPECT_EQ(ConvertAndRelease(P()), base + 40);
    MSSP_FrameNode_t* last = &A::Nodes(P(), 0)[2];
    EXPECT_EQ(P().GetCovertedPts(0, last), base + 80);
    EXPECT_EQ(A::PtsAdjust(P(), 0)->span, 40u);
    // The same node again: same value, record untouched.
    const MSSP_PtsAdjust_t before = *A::PtsAdjust(P(), 0);
    EXPECT_EQ(P().GetCovertedPts(0, last), base + 80);
    EXPECT_EQ(std::memcmp(&before, A::PtsAdjust(P(), 0), sizeof(before)), 0);
}

TEST_F(Delivery, Conversion_StepOf2000IsNormal_2001IsJump) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    Push(0, Frame(MSSP_FRAME_P, 3000));
    Push(0, Frame(MSSP_FRAME_P, 5001));
    const unsigned long long base = ConvertAndRelease(P());
    EXPECT_EQ(ConvertAndRelease(P()), base + 2000);
    EXPECT_EQ(A::PtsAdjust(P(), 0)->span, 2000u);
    // 2001 ms: a jump, spaced span - 3 after the last value; lastPts stays.
    EXPECT_EQ(ConvertAndRelease(P()), base + 2000 + 1997);
    EXPECT_EQ(A::PtsAdjust(P(), 0)->lastPts, 3000u);
}

TEST_F(Delivery, Conversion_PFramesAfterJumpThenRebaseAtIFrame) {
    Make(1);
    const std::array<uint8_t, 6> later{21, 3, 4, 10, 0, 7};
    Push(0, Frame(MSSP_FRAME_I, 50000));
    Push(0, Frame(MSSP_FRAME_P, 50040));
    Push(0, Frame(MSSP_FRAME_P, 60000));  // jump
    Push(0, Frame(MSSP_FRAME_P, 60040));  // still measured from 50040: a jump too
    Push(0, Frame(MSSP_FRAME_I, 60080, later));
    const unsigned long long base = ConvertAndRelease(P());
    const unsigned long long before = ConvertAndRelease(P());
    EXPECT_EQ(before, base + 40);
    EXPECT_EQ(ConvertAndRelease(P()), before + 37);
    EXPECT_EQ(ConvertAndRelease(P()), before + 74);
    const unsigned long long rebased = static_cast<unsigned long long>(UtcSeconds(later)) * 1000;
    std::string out = Printed([&] { EXPECT_EQ(ConvertAndRelease(P()), rebased); });
    // The message gives the I-frame's own jump from the last normal step.
    EXPECT_NE(out.find("reset=0 inti iframe 10:0:7 base=" + std::to_string(rebased) + " span=10040"),
              std::string::npos)
        << out;
    EXPECT_EQ(A::PtsAdjust(P(), 0)->span, 40u);
    EXPECT_EQ(A::PtsAdjust(P(), 0)->basePts, 60080u);
}

TEST_F(Delivery, Conversion_BackwardStepOfOneMsIsJump) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 5000));
    Push(0, Frame(MSSP_FRAME_P, 5040));
    Push(0, Frame(MSSP_FRAME_P, 5039));
    ConvertAndRelease(P());
    const unsigned long long v = ConvertAndRelease(P());
    EXPECT_EQ(ConvertAndRelease(P()), v + 37);
}

TEST_F(Delivery, Conversion_AudioKeepsTimeline_AudioSegmentStartsIt) {
    Make(2);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    Push(0, Audio(9000));
    Push(0, Frame(MSSP_FRAME_P, 1040));
    const unsigned long long base = ConvertAndRelease(P());
    EXPECT_EQ(ConvertAndRelease(P()), base);  // audio: current value, nothing moves
    EXPECT_EQ(ConvertAndRelease(P()), base + 40);

    // In an audio segment the first audio frame is a key frame.
    Push(1, Audio(7000, true));
    const unsigned long long v = P().GetCovertedPts(1, &A::Nodes(P(), 1)[0]);
    EXPECT_EQ(v, static_cast<unsigned long long>(UtcSeconds(kTen)) * 1000);
}

TEST_F(Delivery, Conversion_NonKeyFirstGivesZero_ReArmAfterReset) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_P, 1000));
    std::string out = Printed([&] { EXPECT_EQ(P().GetCovertedPts(0, &A::Nodes(P(), 0)[0]), 0u); });
    EXPECT_NE(out.find(" index[0] !!!!First adjust, but not I frame!!!"), std::string::npos);
    EXPECT_EQ(A::PtsAdjust(P(), 0), nullptr);

    P().ReleaseFrame(0);
    Push(0, Frame(MSSP_FRAME_I, 2000));
    Push(0, Frame(MSSP_FRAME_P, 2040));
    EXPECT_NE(ConvertAndRelease(P()), 0u);
    EXPECT_NE(ConvertAndRelease(P()), 0u);
    // A buffer reset (getNum 0) re-arms the record: a P-frame can't restart it.
    msspt::ResetStream(P(), 0);
    fill_[0].SetWritePos(0);
    Push(0, Frame(MSSP_FRAME_P, 2080));
    EXPECT_EQ(P().GetCovertedPts(0, &A::Nodes(P(), 0)[0]), 0u);
    EXPECT_EQ(A::PtsAdjust(P(), 0)->lastNode, nullptr);
}

TEST_F(Delivery, Conversion_BadIndexGivesZero) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    EXPECT_EQ(P().GetCovertedPts(1, &A::Nodes(P(), 0)[0]), 0u);
    EXPECT_EQ(P().GetCovertedPts(-1, &A::Nodes(P(), 0)[0]), 0u);
    EXPECT_EQ(A::PtsAdjust(P(), 0), nullptr);
}

// Recorded times are taken as standard time in every season, so a summer
// time and the repeated autumn hour map to one instant each.
TEST_F(Delivery, Conversion_LocalTimeIsStandardTimeAllYear) {
    SetTz("CET-1CEST,M3.5.0,M10.5.0/3");
    Make(1);
    const std::array<uint8_t, 6> summer{21, 7, 1, 10, 0, 0};
    const std::array<uint8_t, 6> repeated{21, 10, 31, 2, 30, 0};
    const std::array<uint8_t, 6> winter{21, 1, 15, 10, 0, 0};
    uint64_t pts = 1000;
    for (const auto& t : {summer, repeated, winter}) {
        msspt::ResetStream(P(), 0);
        Push(0, Frame(MSSP_FRAME_I, pts += 1000, t));
        EXPECT_EQ(P().GetCovertedPts(0, &A::Nodes(P(), 0)[0]),
                  static_cast<unsigned long long>(UtcSeconds(t) - 3600) * 1000);
    }
}

// ---------------------------------------------------------------------------
// GetStreamPTS and GetBaselinePts

TEST_F(Delivery, StreamPts_TimingFrameOrVideoBehindAudio) {
    Make(3);
    Push(0, Frame(MSSP_FRAME_P, 700));
    Push(1, Audio(100));
    Push(1, Audio(140));
    Push(1, Frame(MSSP_FRAME_P, 900));
    Push(2, Audio(300, true));
    unsigned long long pts = 1;
    EXPECT_EQ(P().GetStreamPTS(0, &pts), 0);
    EXPECT_EQ(pts, 700u);
    EXPECT_EQ(P().GetStreamPTS(1, &pts), 0);
    EXPECT_EQ(pts, 900u);
    EXPECT_EQ(P().GetStreamPTS(2, &pts), 0);  // audio of an audio segment times itself
    EXPECT_EQ(pts, 300u);
}

TEST_F(Delivery, StreamPts_AllAudioEmptyOrBadIndexFail) {
    Make(2);
    Push(0, Audio(100));
    Push(0, Audio(140));
    unsigned long long pts = 1;
    std::string out = Printed([&] { EXPECT_EQ(P().GetStreamPTS(0, &pts), -1); });
    EXPECT_EQ(pts, 0u);
    EXPECT_NE(out.find("CMultiStreamSyncParser::GetStreamPTS failed, index=0 num=2"), std::string::npos);
    pts = 1;
    EXPECT_EQ(P().GetStreamPTS(1, &pts), -1);
    EXPECT_EQ(pts, 0u);
    pts = 1;
    EXPECT_EQ(P().GetStreamPTS(2, &pts), -1);
    EXPECT_EQ(pts, 0u);
    EXPECT_EQ(P().GetStreamPTS(-1, &pts), -1);
}

TEST_F(Delivery, Baseline_DirectionTiesAndEmptyStreams) {
    Make(3);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    Push(1, Frame(MSSP_FRAME_I, 900));
    A::Head(P(), 2)->state = MSSP_STATUS_OVER;  // over and empty: ignored
    unsigned long long best = 0;
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 1);
    EXPECT_EQ(best, 900u);
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, -1, 0), 0);
    EXPECT_EQ(best, 1000u);
    best = 5;
    std::string out = Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 0, 0), -1); });
    EXPECT_EQ(best, 5u);
    EXPECT_NE(out.find("========================1124 -GetBaselinePts"), std::string::npos);

    // Equal timestamps: the lower index, both ways.
    P().ReleaseFrame(1);
    Push(1, Frame(MSSP_FRAME_I, 1000));
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 0);
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, -1, 0), 0);

    // A live stream with nothing buffered holds the choice back.
    A::Head(P(), 2)->state = MSSP_STATUS_PLAY;
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), -1);
}

TEST_F(Delivery, Baseline_DropsToKeyFrameAndMarksIt) {
    Make(1);
    FrameSpec first = Frame(MSSP_FRAME_P, 100);
    first.flags = 1;
    Push(0, first);
    Push(0, Frame(MSSP_FRAME_P, 140));
    FrameSpec key = Frame(MSSP_FRAME_I, 180);
    key.flags = 2;  // last before a new segment, set by the reader meanwhile
    Push(0, key);
    unsigned long long best = 0;
    std::string out = Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 0); });
    EXPECT_EQ(best, 180u);
    EXPECT_NE(out.find("drop a frame index:0 type:1 pts:100 getNum=0 parNum=3 frameType=1"), std::string::npos);
    EXPECT_NE(out.find("drop a frame index:0 type:1 pts:140 getNum=1 parNum=3"), std::string::npos);
    EXPECT_EQ(A::Head(P(), 0)->getNum, 2u);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 0);
    EXPECT_EQ(A::Nodes(P(), 0)[2].flags, 3);  // start of a new sequence, reader's bit kept
}

TEST_F(Delivery, Baseline_LastWaitingNonKeyFrameStaysWhileLive) {
    Make(1);
    FrameSpec first = Frame(MSSP_FRAME_P, 100);
    first.flags = 1;
    Push(0, first);
    unsigned long long best = 0;
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), -1);
    EXPECT_EQ(Waiting(0), 1);
    A::Head(P(), 0)->state = MSSP_STATUS_OVER;  // nothing more comes: drop it
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), -1);
    EXPECT_EQ(Waiting(0), 0);
}

TEST_F(Delivery, Baseline_FailedConversionGivesMinusOne) {
    Make(1);
    FrameSpec p = Frame(MSSP_FRAME_P, 100);
    p.complete = false;
    Push(0, p);
    unsigned long long best = 7;
    std::string out = Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 1), -1); });
    EXPECT_EQ(best, 7u);
    EXPECT_NE(out.find("index=0 GetBaselinePts covet pts failed"), std::string::npos);
    EXPECT_EQ(Waiting(0), 1);
}

// ---------------------------------------------------------------------------
// GetStreamTime

TEST_F(Delivery, StreamTime_FromIFrameKeptForPFrames) {
    Make(1);
    unsigned int s = 0;
    Push(0, Frame(MSSP_FRAME_P, 100, {21, 1, 1, 9, 9, 9}));
    EXPECT_EQ(P().GetStreamTime(0, &s), -1);
    EXPECT_EQ(s, 90000u);
    P().ReleaseFrame(0);
    Push(0, Frame(MSSP_FRAME_I, 140, {21, 1, 1, 1, 2, 3}));
    EXPECT_EQ(P().GetStreamTime(0, &s), 0);
    EXPECT_EQ(s, 3723u);
    P().ReleaseFrame(0);
    Push(0, Frame(MSSP_FRAME_P, 180, {21, 1, 1, 5, 5, 5}));
    EXPECT_EQ(P().GetStreamTime(0, &s), 0);
    EXPECT_EQ(s, 3723u);
    EXPECT_EQ(P().GetStreamTime(1, &s), -1);
    EXPECT_EQ(s, 90000u);
}

TEST_F(Delivery, StreamTime_WrappedFramesAndAudioSegment) {
    Make(1);
    unsigned int s = 0;
    // Time bytes 39..41 on both sides of the wrap point.
    for (uint32_t before : {20u, 40u, 44u}) {
        msspt::ResetStream(P(), 0);
        fill_[0].SetWritePos(kBuf - before);
        Push(0, Frame(MSSP_FRAME_I, 100, {21, 1, 1, 23, 59, 58}));
        ASSERT_GT(A::Nodes(P(), 0)[0].length2, 0u);
        EXPECT_EQ(P().GetStreamTime(0, &s), 0) << before;
        EXPECT_EQ(s, 23u * 3600 + 59 * 60 + 58) << before;
    }
    msspt::ResetStream(P(), 0);
    FrameSpec audio = Audio(100, true);
    audio.time = {21, 1, 1, 0, 0, 30};
    Push(0, audio);
    A::Nodes(P(), 0)[0].time[3] = 9;  // the pack's bytes are read, not the node's copy
    EXPECT_EQ(P().GetStreamTime(0, &s), 0);
    EXPECT_EQ(s, 30u);
}

TEST_F(Delivery, StreamTime_OldDeviceReads120Bytes) {
    Make(1, true, {3});
    unsigned int s = 0;
    for (uint32_t before : {0u, 50u, 116u}) {  // contiguous, wrapped early, wrapped inside the time
        msspt::ResetStream(P(), 0);
        fill_[0].SetWritePos(before == 0 ? 0 : kBuf - before);
        Push(0, Frame(MSSP_FRAME_I, 100, {21, 1, 1, 2, 3, 4}));
        EXPECT_EQ(P().GetStreamTime(0, &s), 0) << before;
        EXPECT_EQ(s, 2u * 3600 + 3 * 60 + 4) << before;
    }
    // Old audio headers carry no time: the stored one stays.
    msspt::ResetStream(P(), 0);
    Push(0, Audio(100, true));
    EXPECT_EQ(P().GetStreamTime(0, &s), 0);
    EXPECT_EQ(s, 2u * 3600 + 3 * 60 + 4);
}

TEST_F(Delivery, StreamTime_ShortCorruptOrUnpublishedFramesAreNotRead) {
    Make(1);
    unsigned int s = 0;
    // A frame of 30 bytes followed by bytes that look like a time at 39..41.
    Push(0, Frame(MSSP_FRAME_I, 100, {21, 1, 1, 1, 1, 1}));
    A::Nodes(P(), 0)[0].length1 = 30;
    EXPECT_EQ(P().GetStreamTime(0, &s), -1);
    EXPECT_EQ(s, 90000u);
    // A place outside the ring.
    A::Nodes(P(), 0)[0].length1 = 100;
    A::Nodes(P(), 0)[0].offset1 = kBuf;
    EXPECT_EQ(P().GetStreamTime(0, &s), -1);
    // Nothing waiting: the node at the read position is not looked at.
    msspt::ResetStream(P(), 0);
    fill_[0].SetWritePos(0);
    fill_[0].WriteUnpublished(Frame(MSSP_FRAME_I, 100, {21, 1, 1, 1, 1, 1}),
                              msspt::NewFormatPack(Frame(MSSP_FRAME_I, 100, {21, 1, 1, 1, 1, 1}), 0));
    EXPECT_EQ(P().GetStreamTime(0, &s), -1);
    EXPECT_EQ(s, 90000u);
}

// ---------------------------------------------------------------------------
// GetFrame

TEST_F(Delivery, GetFrame_OrderByTimestampBothDirections) {
    Make(2);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    Push(1, Frame(MSSP_FRAME_I, 900));
    Delivered d = Get(1);
    EXPECT_EQ(d.rc, 1);
    EXPECT_EQ(d.pts, 900u);
    EXPECT_EQ(d.channel, 1);
    EXPECT_EQ(d.data1, A::Ring(P(), 1) + A::Nodes(P(), 1)[0].offset1);
    EXPECT_EQ(d.data2, nullptr);
    EXPECT_EQ(d.len2, 0);
    EXPECT_EQ(Get(1).rc, 1);  // not released: the same frame again
    d = Get(-1);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.pts, 1000u);
    EXPECT_EQ(Get(0).rc, -1);
    EXPECT_EQ(Waiting(0) + Waiting(1), 2);
}

// The largest timestamp is a timestamp like any other: forward it comes
// last but it comes, ties go to the lower index, and backward it comes first.
TEST_F(Delivery, GetFrame_LargestTimestampIsChosen) {
    constexpr uint64_t kMax = UINT64_MAX;
    Make(3);
    Push(0, Frame(MSSP_FRAME_I, kMax));
    Push(1, Frame(MSSP_FRAME_I, kMax));
    A::Head(P(), 2)->state = MSSP_STATUS_OVER;
    Delivered d = Get(1);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.pts, kMax);
    EXPECT_EQ(Get(-1).rc, 0);
    unsigned long long best = 0;
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 0);
    EXPECT_EQ(best, kMax);
    P().ReleaseFrame(0);
    Push(0, Frame(MSSP_FRAME_I, 5));
    EXPECT_EQ(Get(1).pts, 5u);
    d = Get(-1);
    EXPECT_EQ(d.rc, 1);
    EXPECT_EQ(d.pts, kMax);
}

TEST_F(Delivery, GetFrame_LiveEmptyStreamBlocks_OverEmptyIgnored) {
    Make(2);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    EXPECT_EQ(Get().rc, -1);
    A::Head(P(), 1)->state = MSSP_STATUS_OVER;
    EXPECT_EQ(Get().rc, 0);
    A::Head(P(), 1)->state = MSSP_STATUS_STOP;
    EXPECT_EQ(Get().rc, 0);
}

TEST_F(Delivery, GetFrame_WrappedFrameComesInTwoPieces) {
    Make(1);
    fill_[0].SetWritePos(kBuf - 50);
    const FrameSpec s = Frame(MSSP_FRAME_I, 1000);
    const Bytes pack = msspt::NewFormatPack(s, 0, 200);
    fill_[0].Push(s, pack);
    Delivered d = Get();
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.len1, 50);
    EXPECT_EQ(d.data1, A::Ring(P(), 0) + kBuf - 50);
    EXPECT_EQ(d.data2, A::Ring(P(), 0));
    ASSERT_EQ(d.len1 + d.len2, static_cast<int>(pack.size()));
    Bytes joined(d.data1, d.data1 + d.len1);
    joined.insert(joined.end(), d.data2, d.data2 + d.len2);
    EXPECT_EQ(joined, pack);
}

TEST_F(Delivery, GetFrame_JumpLevelThinsByReferencePosition) {
    struct Case {
        uint8_t refIndex;
        bool shown;
    };
    // Level 0, 2X table 0xAAAAAAAA: even positions shown; 32..60 fold onto 0..28.
    for (const Case c : {Case{0, true}, Case{1, false}, Case{32, true}, Case{33, false}, Case{61, true}}) {
        Make(1);
        A::JumpLevel(P(), 0) = 0;
        FrameSpec s = Frame(MSSP_FRAME_P, 1000);
        s.refType = 2;
        s.refIndex = c.refIndex;
        Push(0, s);
        Push(0, Frame(MSSP_FRAME_I, 1040));  // refType 0: always shown
        Delivered d = Get();
        EXPECT_EQ(d.rc, 0);
        EXPECT_EQ(d.pts, c.shown ? 1000u : 1040u) << int(c.refIndex);
        EXPECT_EQ(A::Head(P(), 0)->getNum, c.shown ? 0u : 1u);
        TearDown();
    }
    // Only the skipped frame was waiting: nothing to deliver, and it is gone.
    Make(1);
    A::JumpLevel(P(), 0) = 0;
    FrameSpec s = Frame(MSSP_FRAME_P, 1000);
    s.refType = 2;
    s.refIndex = 1;
    Push(0, s);
    EXPECT_EQ(Get().rc, -1);
    EXPECT_EQ(Waiting(0), 0);
}

TEST_F(Delivery, GetFrame_OldDeviceNoThinningAsciiChannel) {
    Make(1, true, {3});
    A::JumpLevel(P(), 0) = 0;
    FrameSpec s = Frame(MSSP_FRAME_P, 1000);
    s.refType = 2;
    s.refIndex = 1;
    Push(0, s);
    Delivered d = Get();
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.data1[0], '3');
    EXPECT_EQ(d.channel, 3);
}

TEST_F(Delivery, GetFrame_KeyFrameWaitDropsPFrames) {
    Make(1);
    FrameSpec first = Frame(MSSP_FRAME_P, 1000);
    first.flags = 1;
    Push(0, first);
    Push(0, Frame(MSSP_FRAME_P, 1040));
    FrameSpec key = Frame(MSSP_FRAME_I, 1080);
    Push(0, key);
    for (int n = 0; n < 2; ++n) {
        std::string out = Printed([&] { EXPECT_EQ(Get().rc, -1); });
        EXPECT_NE(out.find("CH drop a frame index:0 type:1..."), std::string::npos);
    }
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
    Delivered d = Get();
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.pts, 1080u);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 0);

    // A segment's first frame that is an I-frame goes out at once with its flag.
    P().ReleaseFrame(0);
    FrameSpec seg = Frame(MSSP_FRAME_I, 1120);
    seg.flags = 1;
    Push(0, seg);
    d = Get();
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.flag & 1u, 1u);
}

TEST_F(Delivery, GetFrame_DiscontinuityFlag) {
    struct Case {
        uint64_t second;
        uint8_t playStatus;
        bool flagged;
    };
    for (const Case c : {Case{12500, 1, false}, Case{12501, 1, true}, Case{9960, 1, true}, Case{9960, 4, false}}) {
        Make(1);
        A::Head(P(), 0)->playStatus = c.playStatus;
        Push(0, Frame(MSSP_FRAME_I, 10000));
        Push(0, Frame(MSSP_FRAME_P, c.second));
        ASSERT_EQ(Get().rc, 0);
        P().ReleaseFrame(0);
        std::string out;
        Delivered d;
        out = Printed([&] { d = Get(); });
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.flag & 1u, c.flagged ? 1u : 0u) << c.second << " status " << int(c.playStatus);
        EXPECT_EQ(A::LastPts(P())[0], c.second);
        EXPECT_EQ(out.find("big pts jump") != std::string::npos, c.second == 12501) << out;
        TearDown();
    }
}

TEST_F(Delivery, GetFrame_ChannelMismatchDropsAndWaits) {
    Make(1, false, {1});
    const FrameSpec s = Frame(MSSP_FRAME_I, 1000);
    fill_[0].Push(s, msspt::NewFormatPack(s, 2));
    std::string out = Printed([&] { EXPECT_EQ(Get().rc, -1); });
    EXPECT_NE(out.find("invalid frame:index:1 type:0 0x2 FrameNum:1"), std::string::npos) << out;
    EXPECT_EQ(Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
}

TEST_F(Delivery, GetFrame_AudioWaitsForItsVideoWhileLive_ThrownOnceNoneCanCome) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 4960));
    ASSERT_EQ(Get().rc, 0);
    P().ReleaseFrame(0);
    // Ordinary-segment audio with no video behind it yet: the reader may
    // still store that video, so the audio waits instead of being thrown
    // away (which would also drop every P-frame up to the next I-frame).
    Push(0, Audio(5000));
    std::string out = Printed([&] { EXPECT_EQ(Get().rc, -1); });
    EXPECT_EQ(out.find("throw it"), std::string::npos) << out;
    EXPECT_EQ(Waiting(0), 1);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 0);
    Push(0, Frame(MSSP_FRAME_P, 5040));
    Delivered audio = Get();
    EXPECT_EQ(audio.rc, 0);
    EXPECT_EQ(audio.pts, 5040u);  // timed by the video frame behind it
    P().ReleaseFrame(0);
    ASSERT_EQ(Get().rc, 0);  // the P-frame itself is not lost
    P().ReleaseFrame(0);

    // Once the stream is over no video can come: the audio is thrown away.
    Push(0, Audio(5100));
    A::Head(P(), 0)->state = MSSP_STATUS_OVER;
    out = Printed([&] { EXPECT_EQ(Get().rc, -1); });
    EXPECT_NE(out.find("ch0 pts is 0 throw it"), std::string::npos);
    EXPECT_EQ(Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
    A::Head(P(), 0)->state = MSSP_STATUS_PLAY;
    A::WaitIFrame(P(), 0) = 0;

    // With the node ring nearly full the reader pauses: waiting could never
    // end, so the audio at the read position is thrown away as well.
    for (int k = 0; k < kFrames - 6; ++k) Push(0, Audio(5200 + k));
    out = Printed([&] { EXPECT_EQ(Get().rc, -1); });
    EXPECT_NE(out.find("ch0 pts is 0 throw it"), std::string::npos);
    EXPECT_EQ(Waiting(0), kFrames - 7);
    for (int k = 0; k < kFrames - 7; ++k) P().ReleaseFrame(0);

    A::WaitIFrame(P(), 0) = 0;
    Push(0, Audio(5000));
    tag_MSSP_GetFrameInfo info{};
    Delivered d = GetEx(0, &info);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(info.pts, 5000u);
    EXPECT_EQ(info.frameType, MSSP_FRAME_AUDIO);
}

TEST_F(Delivery, GetFrame_CorruptNodePlaceIsRefused) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    A::Nodes(P(), 0)[0].offset1 = 10;  // the first piece runs past the ring's end
    A::Nodes(P(), 0)[0].length1 = kBuf;
    std::string out = Printed([&] { EXPECT_EQ(Get().rc, -1); });
    EXPECT_NE(out.find("invalid frame place:index:0 offset1:10 length1:8192"), std::string::npos) << out;
    EXPECT_EQ(Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
    Push(0, Frame(MSSP_FRAME_I, 1040));
    A::Nodes(P(), 0)[1].length1 = 0;  // empty first piece: no channel byte to read
    tag_MSSP_GetFrameInfo info{};
    EXPECT_EQ(GetEx(0, &info).rc, -1);
    EXPECT_EQ(Waiting(0), 0);
}

// ---------------------------------------------------------------------------
// GetFrameEx

TEST_F(Delivery, GetFrameEx_FillsInfoAndFlagsDiscontinuity) {
    Make(2);
    FrameSpec s = Frame(MSSP_FRAME_I, 10000, {21, 12, 24, 18, 30, 15});
    s.flags = 2;
    Push(1, s);
    Push(1, Frame(MSSP_FRAME_P, 12501));
    tag_MSSP_GetFrameInfo info{};
    info.width = 1234;  // not GetFrameEx's field
    Delivered d = GetEx(1, &info);
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(info.pts, 10000u);
    EXPECT_EQ(info.channel, 1);
    EXPECT_EQ(info.frameType, 0);
    EXPECT_EQ(info.flags, 3);  // node's bit 1, and bit 0: 10000 ms after 0
    EXPECT_EQ(info.year, 21);
    EXPECT_EQ(info.month, 12);
    EXPECT_EQ(info.day, 24);
    EXPECT_EQ(info.hour, 18);
    EXPECT_EQ(info.minute, 30);
    EXPECT_EQ(info.second, 15);
    EXPECT_EQ(info.width, 1234);
    P().ReleaseFrame(1);
    d = GetEx(1, &info);
    EXPECT_EQ(info.flags, 1);
    EXPECT_EQ(GetEx(1, nullptr).rc, 0);  // no info record: still delivered
    std::string out = Printed([&] { EXPECT_EQ(GetEx(2, &info).rc, -1); });
    EXPECT_NE(out.find("invalid stream index:2"), std::string::npos);
    EXPECT_EQ(GetEx(0, &info).rc, -1);  // empty: silent
}

TEST_F(Delivery, GetFrameEx_WaitDropsAndReportsCounts) {
    Make(1);
    FrameSpec first = Frame(MSSP_FRAME_P, 1000);
    first.flags = 1;
    Push(0, first);
    Push(0, Frame(MSSP_FRAME_P, 1040));
    tag_MSSP_GetFrameInfo info{};
    std::string out = Printed([&] { EXPECT_EQ(GetEx(0, &info).rc, -1); });
    EXPECT_NE(out.find("drop a frame index:0 type:1..."), std::string::npos);
    EXPECT_NE(out.find("Request I frame not stream index:0, FrameNum=2 frameType=1 parseNum=2 getNum=1"),
              std::string::npos)
        << out;
}

TEST_F(Delivery, GetFrameEx_FailedConversionKeepsFrame) {
    Make(1);
    FrameSpec p = Frame(MSSP_FRAME_P, 1000);
    p.complete = false;
    Push(0, p);
    tag_MSSP_GetFrameInfo info{};
    std::string out = Printed([&] { EXPECT_EQ(GetEx(0, &info, 1).rc, -1); });
    EXPECT_NE(out.find("get pts failed, covert pts is 0\n"), std::string::npos);
    EXPECT_EQ(Waiting(0), 1);
    EXPECT_EQ(info.pts, 0u);
}

// ---------------------------------------------------------------------------
// ReleaseFrame

TEST_F(Delivery, Release_WrapsAndRefusesWithoutWaitingFrame) {
    Make(1);
    A::Cursor(P(), 0)->getIndex = kFrames - 1;
    A::Cursor(P(), 0)->lastIndex = kFrames - 1;
    A::Head(P(), 0)->getNum = 0xFFFFFFFFu;  // counters about to wrap
    A::Head(P(), 0)->parseNum = 0;
    EXPECT_EQ(P().ReleaseFrame(0), 0);
    EXPECT_EQ(A::Cursor(P(), 0)->getIndex, 0u);
    EXPECT_EQ(A::Head(P(), 0)->getNum, 0u);
    // Nothing waiting: refused, nothing moves.
    std::string out = Printed([&] { EXPECT_EQ(P().ReleaseFrame(0), -1); });
    EXPECT_EQ(A::Head(P(), 0)->getNum, 0u);
    EXPECT_EQ(A::Cursor(P(), 0)->getIndex, 0u);
    out = Printed([&] {
        EXPECT_EQ(P().ReleaseFrame(1), -1);
        EXPECT_EQ(P().ReleaseFrame(-1), -1);
    });
    EXPECT_NE(out.find("invalid stream index:-1"), std::string::npos);
}

// ---------------------------------------------------------------------------
// GetFrameInfo and GetChnStatusEx

TEST_F(Delivery, FrameInfo_DescribesNextVideoFrame) {
    Make(1);
    Push(0, Audio(100));
    FrameSpec v = Frame(MSSP_FRAME_P, 140);
    v.refType = 5;
    v.frameRate = 30;
    v.width = 1920;
    v.height = 1080;
    Push(0, v);
    tag_MSSP_GetFrameInfo info{};
    info.channel = 77;  // not GetFrameInfo's field
    EXPECT_EQ(P().GetFrameInfo(0, &info), 0);
    EXPECT_EQ(info.frameType, 1);
    EXPECT_EQ(info.pts, 140u);
    EXPECT_EQ(info.refType, 5);
    EXPECT_EQ(info.frameRate, 30);  // completion mark not copied
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.height, 1080);
    EXPECT_EQ(info.channel, 77);
    EXPECT_EQ(Waiting(0), 2);
}

TEST_F(Delivery, FrameInfo_NoVideoEmptyAndWrap) {
    Make(1);
    tag_MSSP_GetFrameInfo info{};
    std::string out = Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), -1); });
    EXPECT_NE(out.find("GetFrameInfo index 0 no frame framenum=0 flag=1"), std::string::npos);
    Push(0, Audio(100));
    out = Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), -1); });
    EXPECT_NE(out.find("GetFrameInfo index 0 run heer parse=1 get=0 num=1 next=1"), std::string::npos) << out;

    // Read position at the last node: the scan goes on at node 0 once.
    msspt::ResetStream(P(), 0);
    A::Cursor(P(), 0)->lastIndex = kFrames - 2;
    A::Cursor(P(), 0)->getIndex = kFrames - 1;
    A::Head(P(), 0)->parseNum = A::Head(P(), 0)->getNum = 100;
    Push(0, Audio(100));
    Push(0, Audio(140));
    Push(0, Frame(MSSP_FRAME_P, 180));
    out = Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), 0); });
    EXPECT_EQ(info.pts, 180u);
    const std::string wrap = "GetFrameInfo index 0 circling, firt=15 next=1 max=16";
    EXPECT_NE(out.find(wrap), std::string::npos) << out;
    EXPECT_EQ(out.find(wrap, out.find(wrap) + 1), std::string::npos);

    A::Head(P(), 0)->getNum = A::Head(P(), 0)->parseNum;
    A::Head(P(), 0)->state = MSSP_STATUS_OVER;
    out = Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), -2); });
    EXPECT_NE(out.find("GetFrameInfo @@@@@index 0 run heer, so playback over, flag5"), std::string::npos);
    EXPECT_EQ(P().GetFrameInfo(1, &info), -2);
}

TEST_F(Delivery, ChnStatus_WaitingLiveOver) {
    Make(2);
    Push(0, Frame(MSSP_FRAME_I, 100));
    A::Head(P(), 0)->state = MSSP_STATUS_OVER;
    EXPECT_EQ(P().GetChnStatusEx(0, 0), 2);  // frames still waiting
    EXPECT_EQ(P().GetChnStatusEx(1, 0), 1);
    P().ReleaseFrame(0);
    EXPECT_EQ(P().GetChnStatusEx(0, 0), 0);
    A::Head(P(), 1)->state = MSSP_STATUS_STOP;
    EXPECT_EQ(P().GetChnStatusEx(1, 0), 0);
    std::string out = Printed([&] { EXPECT_EQ(P().GetChnStatusEx(2, 0), 0); });
    EXPECT_NE(out.find("index 2 is invalid, stream num:2"), std::string::npos);
    EXPECT_EQ(P().GetChnStatusEx(-1, 0), 0);
}

// ---------------------------------------------------------------------------
// No heap use while frames are delivered and released.

TEST_F(Delivery, NoAllocationOnDeliveryPath) {
    Make(2);
    auto refill = [&](bool complete, uint64_t from) {
        for (int i = 0; i < 2; ++i) {
            for (int k = 0; k < kFrames - 2; ++k) {
                FrameSpec s = Frame(k == 0 ? MSSP_FRAME_I : MSSP_FRAME_P, from + 40u * k + static_cast<uint64_t>(i));
                s.complete = complete;
                Push(i, s, 256);
            }
        }
    };
    auto drain = [&](unsigned char convert, int& delivered) {
        Delivered d;
        tag_MSSP_GetFrameInfo info{};
        unsigned int seconds = 0;
        for (int n = 0; n < 200; ++n) {
            P().GetFrameInfo(0, &info);
            P().GetStreamTime(0, &seconds);
            d.rc = P().GetFrame(&d.data1, &d.len1, &d.data2, &d.len2, &d.type, &d.pts, &d.flag, &d.channel, 1, convert);
            if (d.rc < 0) break;
            P().ReleaseFrame(d.rc);
            ++delivered;
        }
    };
    // Warm-up: the conversion records, the time zone and stdout's buffer.
    refill(false, 100000);
    int warm = 0;
    testing::internal::CaptureStdout();
    drain(1, warm);
    testing::internal::GetCapturedStdout();
    ASSERT_GT(warm, 0);
    for (int i = 0; i < 2; ++i) msspt::ResetStream(P(), i);

    refill(true, 200000);
    int plain = 0, converted = 0;
    testing::internal::CaptureStdout();
    g_allocs = 0;
    g_countAllocs = true;
    drain(0, plain);
    g_countAllocs = false;
    const long plainAllocs = g_allocs.load();
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 2; ++i) msspt::ResetStream(P(), i);
    refill(false, 300000);
    testing::internal::CaptureStdout();
    g_allocs = 0;
    g_countAllocs = true;
    drain(1, converted);
    g_countAllocs = false;
    const long convertedAllocs = g_allocs.load();
    testing::internal::GetCapturedStdout();

    // Both streams drained down to the last frame of one of them (the other live one blocks).
    EXPECT_GE(plain, kFrames);
    EXPECT_GE(converted, kFrames);
    EXPECT_EQ(plainAllocs, 0) << (MSSP_TEST_COUNTS_MALLOC ? "malloc and new" : "new only");
    EXPECT_EQ(convertedAllocs, 0);
}

TEST(DeliveryHeapCounter, CountsAllocations) {
    // The counter itself must see both kinds of allocation it is meant to catch.
    g_allocs = 0;
    g_countAllocs = true;
    int* volatile v = new int(3);
    g_countAllocs = false;
    delete v;
    EXPECT_GE(g_allocs.load(), 1);
    g_allocs = 0;
    g_countAllocs = true;
    void* volatile m = std::malloc(16);
    g_countAllocs = false;
    std::free(m);
    EXPECT_EQ(g_allocs.load(), MSSP_TEST_COUNTS_MALLOC);
}

}  // namespace

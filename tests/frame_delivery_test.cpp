// Frame delivery on the consumer side, driven directly without reader
// threads: timestamp conversion onto the wall-clock timeline, stream time,
// the baseline choice, GetFrame/GetFrameEx rules (order, key-frame wait,
// channel check, jump-level thinning, discontinuity flag, bad places),
// release, the buffer queries, and no heap use on the delivery path.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
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
using msspt::Delivered;
using msspt::FrameSpec;
using msspt::Printed;
using packwriter::Bytes;

// Heap use of the whole test binary while counting is on (operator new).
namespace {
std::atomic<bool> g_countAllocs{false};
std::atomic<long> g_allocs{0};
}  // namespace
// Every form is replaced, so that whatever new allocates our delete frees.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (g_countAllocs.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new(std::size_t n) {
    if (void* p = operator new(n, std::nothrow)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr int kBuf = 3 * 65536;  // the smallest ring
constexpr int kFrames = 16;
constexpr unsigned kNoTime = 90000;
using Time = std::array<uint8_t, 6>;
constexpr Time kTen{21, 3, 4, 10, 0, 0};  // 2021-03-04 10:00:00

int64_t UtcMs(const Time& t) {
    std::tm tm{0, t[4], t[3], t[2], t[1] - 1, t[0] + 100, 0, 0, 0, 0, nullptr};
    tm.tm_sec = t[5];
    return static_cast<int64_t>(timegm(&tm)) * 1000;
}
FrameSpec F(uint8_t type, uint64_t pts, uint8_t flags = 0, Time time = kTen) {
    return {.frameType = type, .pts = pts, .time = time, .flags = flags};
}
FrameSpec SegAudio(uint64_t pts, Time time = kTen) {
    return {.frameType = MSSP_FRAME_AUDIO, .pts = pts, .time = time, .audioSegment = true};
}
bool Says(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

class Delivery : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override { Kelto_SetSpecInfo(Json::Value(Json::objectValue)); }
    // A new parser of `streams` streams; on an old device (group 3) when `old`.
    msspt::TestParser& Make(int streams, bool old = false, std::vector<int> channels = {}) {
        t_.reset();
        Json::Value spec(Json::objectValue);
        if (old) spec["PRODUCT_GROUP"] = "ANT";
        Kelto_SetSpecInfo(spec);
        t_ = std::make_unique<msspt::TestParser>("dlv", streams, kBuf, kFrames, channels);
        EXPECT_EQ(g_DeviceGroup, old ? 3 : 0);
        return *t_;
    }
    CMultiStreamSyncParser& P() { return **t_; }
    void Reset(int i) {
        msspt::ResetStream(P(), i);
        t_->Filler(i).SetWritePos(0);
    }
    unsigned long long ConvertAndRelease() {  // stream 0's read node, as delivery does
        const unsigned long long v = P().GetCovertedPts(0, &t_->Node(0, static_cast<int>(A::Cursor(P(), 0)->getIndex)));
        P().ReleaseFrame(0);
        return v;
    }
    int Baseline(unsigned long long* best, int direction, unsigned char convert = 0) {
        return P().GetBaselinePts(nullptr, best, direction, convert);
    }

    std::unique_ptr<msspt::TestParser> t_;
};

// Conversion steps: frames in order -> converted values as offsets from
// 10:00:00 of the first frame's day (kZero: the conversion fails with 0).
constexpr int64_t kZero = INT64_MIN;

TEST_F(Delivery, ConversionSteps) {
    const int64_t base = UtcMs(kTen);
    struct Row {
        std::vector<FrameSpec> frames;
        std::vector<int64_t> values;
        std::string message;
    };
    const Row rows[] = {
        {{F(0, 100000), F(1, 100040), F(1, 100080)}, {0, 40, 80}, "index=0 inti iframe 10:0:0 base=" + std::to_string(base)},
        // A step of 2000 ms is normal, 2001 a jump: span - 3 after the last value.
        {{F(0, 1000), F(1, 3000), F(1, 5001)}, {0, 2000, 3997}, ""},
        // After a jump P-frames still measure from the last normal frame; an
        // I-frame starts the timeline again from its date and time.
        {{F(0, 50000), F(1, 50040), F(1, 60000), F(1, 60040), F(0, 60080, 0, {21, 3, 4, 10, 0, 7})},
         {0, 40, 77, 114, 7000},
         "reset=0 inti iframe 10:0:7 base=" + std::to_string(base + 7000) + " span=10040"},
        {{F(0, 5000), F(1, 5040), F(1, 5039)}, {0, 40, 77}, ""},  // backwards by 1 ms: a jump
        {{F(0, 1000), F(2, 9000), F(1, 1040)}, {0, 0, 40}, ""},   // audio: the current value
        {{SegAudio(7000)}, {0}, ""},  // in an audio segment the first audio frame is a key frame
        {{F(1, 1000)}, {kZero}, " index[0] !!!!First adjust, but not I frame!!!"},
    };
    for (const Row& r : rows) {
        Make(1);
        for (const FrameSpec& f : r.frames) t_->Push(0, f);
        std::vector<int64_t> got;
        const std::string out = Printed([&] {
            for (size_t n = 0; n < r.frames.size(); ++n) {
                const unsigned long long v = ConvertAndRelease();
                got.push_back(v == 0 ? kZero : static_cast<int64_t>(v) - base);
            }
        });
        EXPECT_EQ(got, r.values) << r.message;
        EXPECT_TRUE(Says(out, r.message)) << out;
    }
    // A buffer reset (getNum 0) re-arms the record: a P-frame can't restart it.
    Make(1);
    t_->Push(0, F(0, 2000));
    EXPECT_NE(Printed([&] { ConvertAndRelease(); }), "");
    Reset(0);
    t_->Push(0, F(1, 2080));
    EXPECT_EQ(Printed([&] { EXPECT_EQ(ConvertAndRelease(), 0u); }), " index[0] !!!!First adjust, but not I frame!!!\n");
    // Recorded times are standard time in every season: a summer time and
    // the repeated autumn hour map to one instant each.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    uint64_t pts = 3000;
    for (const Time& t : {Time{21, 7, 1, 10, 0, 0}, Time{21, 10, 31, 2, 30, 0}, Time{21, 1, 15, 10, 0, 0}}) {
        Reset(0);
        t_->Push(0, F(0, pts += 1000, 0, t));
        unsigned long long v = 0;
        Printed([&] { v = P().GetCovertedPts(0, &t_->Node(0, 0)); });
        EXPECT_EQ(v, static_cast<unsigned long long>(UtcMs(t) - 3600000));
    }
}

// Stream time: frames delivered in turn -> result and seconds of the day.
// New packs carry the time of day at frame bytes 39..41, old ones at 115..117.

// A new-format I-frame whose records put bytes `b39`..`b41` of an unknown
// record where the time of day is read from.
Bytes IFrameWithoutTimeAt39(uint8_t b39, uint8_t b40, uint8_t b41) {
    packwriter::NewPack p;
    p.pts = 1000;
    p.extraExtension = {0x42, 20, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, b39, b40, b41, 12, 13};
    p.recordCount = 2;
    return packwriter::MakeNewPack(p, packwriter::PatternPayload(300, 5));
}

TEST_F(Delivery, StreamTimeOfDeliveredFrames) {
    struct Step {
        FrameSpec frame;
        Bytes pack;  // empty: the pack for `frame`
        int rc;
        unsigned seconds;
    };
    struct Row {
        bool old;
        uint32_t beforeEnd;  // the first pack starts so many bytes before the ring's end (0: at 0)
        std::vector<Step> steps;
    };
    const FrameSpec i0 = F(0, 100, 0, {21, 1, 1, 1, 2, 3});
    const FrameSpec late = F(0, 100, 0, {21, 1, 1, 23, 59, 58});
    packwriter::OldVideoPack layout35{packwriter::kIFrame, 0, 35, 40, 5000000, {}, 0, 0};
    Bytes payload = packwriter::PatternPayload(400, 9);
    payload[115 - 64] = 130;  // an hour where layout 1087 has its time: payload for layout 35
    const Row rows[] = {
        {false, 0, {{F(1, 100, 0, {21, 1, 1, 9, 9, 9}), {}, -1, kNoTime}, {i0, {}, 0, 3723},
                    {F(1, 180, 0, {21, 1, 1, 5, 5, 5}), {}, 0, 3723}}},
        {false, 20, {{late, {}, 0, 86398}}},  // on both sides of the ring's end, and the day's last hour
        {false, 40, {{late, {}, 0, 86398}}},
        {false, 44, {{late, {}, 0, 86398}}},
        {false, 0, {{SegAudio(100, {21, 1, 1, 0, 0, 30}), {}, 0, 30}}},
        {true, 0, {{i0, {}, 0, 3723}, {SegAudio(140), {}, 0, 3723}}},  // old audio carries no time
        {true, 50, {{i0, {}, 0, 3723}}},
        {true, 116, {{i0, {}, 0, 3723}}},
        // Bytes that are no time of day keep the last time (found by the pipeline fuzz target).
        {false, 0, {{i0, {}, 0, 3723}, {i0, IFrameWithoutTimeAt39(117, 18, 44), 0, 3723},
                    {i0, IFrameWithoutTimeAt39(23, 60, 0), 0, 3723}, {i0, IFrameWithoutTimeAt39(2, 3, 4), 0, 7384}}},
        {false, 0, {{i0, IFrameWithoutTimeAt39(200, 0, 0), -1, kNoTime}}},
        {true, 0, {{i0, packwriter::MakeOldVideoPack(layout35, payload), -1, kNoTime}}},
    };
    for (size_t k = 0; k < std::size(rows); ++k) {
        Make(1, rows[k].old);
        t_->Filler(0).SetWritePos(rows[k].beforeEnd == 0 ? 0 : kBuf - rows[k].beforeEnd);
        for (const Step& s : rows[k].steps) {
            t_->Push(0, s.frame, 64, s.pack);
            unsigned seconds = 1;
            EXPECT_EQ(P().GetStreamTime(0, &seconds), s.rc) << k;
            EXPECT_EQ(seconds, s.seconds) << k;
            P().ReleaseFrame(0);
        }
    }
    // A frame too short for its time, or outside the ring, is not read; nor
    // is a node not yet published.
    Make(1);
    t_->Push(0, i0);
    unsigned seconds = 1;
    t_->Node(0, 0).length1 = 30;
    EXPECT_EQ(P().GetStreamTime(0, &seconds), -1);
    t_->Node(0, 0).length1 = 100;
    t_->Node(0, 0).offset1 = kBuf;
    EXPECT_EQ(P().GetStreamTime(0, &seconds), -1);
    Reset(0);
    t_->Push(0, i0, 64, {}, false);
    EXPECT_EQ(P().GetStreamTime(0, &seconds), -1);
    EXPECT_EQ(seconds, kNoTime);
}

// GetStreamPTS and GetBaselinePts

TEST_F(Delivery, StreamPtsAndBaseline) {
    Make(4);
    t_->Push(0, F(1, 1000));
    t_->Push(1, F(2, 100));
    t_->Push(1, F(1, 900));    // video behind audio times the audio
    t_->Push(2, F(2, 50));     // no timestamp known (0): never the earliest
    A::Head(P(), 3)->state = MSSP_STATUS_OVER;  // over and empty: ignored
    unsigned long long pts = 1, best = 5;
    EXPECT_EQ(P().GetStreamPTS(1, &pts), 0);
    EXPECT_EQ(pts, 900u);
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetStreamPTS(2, &pts), -1); }),
                     "CMultiStreamSyncParser::GetStreamPTS failed, index=2 num=1"));
    EXPECT_EQ(pts, 0u);
    Printed([&] {
        EXPECT_EQ(Baseline(&best, 1), 1);
        EXPECT_EQ(best, 900u);
        EXPECT_EQ(Baseline(&best, -1), 0);
        EXPECT_EQ(best, 1000u);
        EXPECT_EQ(Baseline(&best, 0), -1);
        P().ReleaseFrame(1);
        P().ReleaseFrame(1);
        t_->Push(1, SegAudio(1000));  // audio of an audio segment times itself; a tie: the lower index
        EXPECT_EQ(Baseline(&best, 1), 0);
        EXPECT_EQ(Baseline(&best, -1), 0);
        A::Head(P(), 3)->state = MSSP_STATUS_PLAY;  // live with nothing buffered: no choice yet
        EXPECT_EQ(Baseline(&best, 1), -1);
    });
    // Waiting for a key frame drops to it and marks it; the reader's "last
    // before a new segment" bit stays.
    Make(1);
    t_->Push(0, F(1, 100, 1));
    t_->Push(0, F(1, 140));
    t_->Push(0, F(0, 180, 2));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(Baseline(&best, 1), 0); }),
                     "drop a frame index:0 type:1 pts:100 getNum=0 parNum=3 frameType=1"));
    EXPECT_EQ(best, 180u);
    EXPECT_EQ(t_->Waiting(0), 1);
    EXPECT_EQ(t_->Node(0, 2).flags, 3);
    // The last waiting non-key frame stays while the stream is live.
    Make(1);
    t_->Push(0, F(1, 100, 1));
    EXPECT_EQ(Baseline(&best, 1), -1);
    EXPECT_EQ(t_->Waiting(0), 1);
    A::Head(P(), 0)->state = MSSP_STATUS_OVER;
    Printed([&] { EXPECT_EQ(Baseline(&best, 1), -1); });
    EXPECT_EQ(t_->Waiting(0), 0);
    // A failed conversion gives -1 and keeps the frame.
    Make(1);
    FrameSpec incomplete = F(1, 100);
    incomplete.complete = false;
    t_->Push(0, incomplete);
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(Baseline(&best, 1, 1), -1); }), "index=0 GetBaselinePts covet pts failed"));
    EXPECT_EQ(t_->Waiting(0), 1);
}

// GetFrame

TEST_F(Delivery, GetFrame_OrderTiesAndPlace) {
    Make(3);
    t_->Push(0, F(0, 1000));
    t_->Push(2, F(0, 1000));
    EXPECT_EQ(t_->Get().rc, -1);  // a live stream with nothing buffered holds delivery back
    t_->Push(1, F(0, 900));
    Delivered d = t_->Get(1);
    EXPECT_EQ(d.rc, 1);
    EXPECT_EQ(d.pts, 900u);
    EXPECT_EQ(d.channel, 1);
    EXPECT_EQ(d.data1, A::Ring(P(), 1) + t_->Node(1, 0).offset1);
    EXPECT_EQ(d.data2, nullptr);
    EXPECT_EQ(t_->Get(1).rc, 1);  // not released: the same frame again
    EXPECT_EQ(t_->Get(-1).rc, 0);  // a tie: the lower index, both ways
    EXPECT_EQ(t_->Get(0).rc, -1);
    P().ReleaseFrame(1);
    A::Head(P(), 1)->state = MSSP_STATUS_OVER;  // over and empty: ignored
    EXPECT_EQ(t_->Get().rc, 0);
    // A frame across the ring's end comes in two pieces, the first up to the end.
    Make(1);
    t_->Filler(0).SetWritePos(kBuf - 50);
    const Bytes pack = msspt::NewFormatPack(F(0, 1000), 0, 200);
    t_->Push(0, F(0, 1000), 64, pack);
    d = t_->Get();
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.data1, A::Ring(P(), 0) + kBuf - 50);
    ASSERT_EQ(d.data2, A::Ring(P(), 0));
    Bytes joined(d.data1, d.data1 + d.len1);
    joined.insert(joined.end(), d.data2, d.data2 + d.len2);
    EXPECT_EQ(joined, pack);
    // A place outside the ring is refused, the frame dropped and a key frame awaited.
    t_->Push(0, F(0, 1040));
    t_->Node(0, 1).offset1 = 10;
    t_->Node(0, 1).length1 = kBuf;
    P().ReleaseFrame(0);
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(t_->Get().rc, -1); }), "invalid frame place:index:0 offset1:10 length1:" + std::to_string(kBuf)));
    EXPECT_EQ(t_->Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
}

// The largest timestamp is a timestamp like any other: forward it comes
// last but it comes, ties go to the lower index, and backward it comes first.
TEST_F(Delivery, GetFrame_LargestTimestampIsChosen) {
    constexpr uint64_t kMax = UINT64_MAX;
    Make(3);
    t_->Push(0, F(0, kMax));
    t_->Push(1, F(0, kMax));
    A::Head(P(), 2)->state = MSSP_STATUS_OVER;
    Delivered d = t_->Get(1);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.pts, kMax);
    EXPECT_EQ(t_->Get(-1).rc, 0);
    unsigned long long best = 0;
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 0);
    EXPECT_EQ(best, kMax);
    P().ReleaseFrame(0);
    t_->Push(0, F(0, 5));
    EXPECT_EQ(t_->Get(1).pts, 5u);
    d = t_->Get(-1);
    EXPECT_EQ(d.rc, 1);
    EXPECT_EQ(d.pts, kMax);
}

TEST_F(Delivery, GetFrame_JumpLevelKeyFrameWaitAndChannel) {
    // Level 0, 2X table: even positions shown; 32..60 fold onto 0..28.
    for (const auto& [refIndex, shown] : {std::pair{0, true}, {1, false}, {32, true}, {33, false}, {61, true}}) {
        Make(1);
        A::JumpLevel(P(), 0) = 0;
        t_->Push(0, {.frameType = 1, .pts = 1000, .refType = 2, .refIndex = static_cast<uint8_t>(refIndex)});
        t_->Push(0, F(0, 1040));  // no reference structure: always shown
        EXPECT_EQ(t_->Get().pts, shown ? 1000u : 1040u) << refIndex;
        EXPECT_EQ(t_->Waiting(0), shown ? 2 : 1);
    }
    // An old device does not thin, and its channel byte is an ASCII digit.
    Make(1, true, {3});
    A::JumpLevel(P(), 0) = 0;
    t_->Push(0, {.frameType = 1, .pts = 1000, .refType = 2, .refIndex = 1});
    EXPECT_EQ(t_->Get().rc, 0);
    // A new segment opening with P-frames: they are dropped up to the key frame.
    Make(1);
    t_->Push(0, F(1, 1000, 1));
    t_->Push(0, F(1, 1040));
    t_->Push(0, F(0, 1080));
    for (int n = 0; n < 2; ++n) {
        EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(t_->Get().rc, -1); }), "CH drop a frame index:0 type:1..."));
    }
    EXPECT_EQ(t_->Get().pts, 1080u);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 0);
    // Another channel's bytes: dropped, and the stream waits for a key frame.
    Make(1, false, {1});
    t_->Push(0, F(0, 1000), 64, msspt::NewFormatPack(F(0, 1000), 2));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(t_->Get().rc, -1); }), "invalid frame:index:1 type:0 0x2 FrameNum:1"));
    EXPECT_EQ(t_->Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
}

TEST_F(Delivery, GetFrame_DiscontinuityFlag) {
    struct Row {
        uint64_t second;
        uint8_t playStatus;
        bool flagged;
    };
    for (const Row r : {Row{12500, 1, false}, Row{12501, 1, true}, Row{9960, 1, true}, Row{9960, 4, false}}) {
        Make(1);
        A::Head(P(), 0)->playStatus = r.playStatus;
        t_->Push(0, F(0, 10000));
        t_->Push(0, F(1, r.second));
        Delivered d;
        const std::string out = Printed([&] {
            t_->Get();
            P().ReleaseFrame(0);
            d = t_->Get();
        });
        EXPECT_EQ(d.flag & 1u, r.flagged ? 1u : 0u) << r.second << " status " << int(r.playStatus);
        EXPECT_EQ(A::LastPts(P())[0], r.second);
        EXPECT_EQ(Says(out, "big pts jump 10000->12501 span=2501"), r.second == 12501) << out;
    }
    // A segment's first frame, an I-frame, goes out at once with its flag.
    Make(1);
    t_->Push(0, F(0, 1000, 1));
    EXPECT_EQ(t_->Get().flag & 1u, 1u);
}

TEST_F(Delivery, GetFrame_AudioWaitsForItsVideoWhileLive_ThrownOnceNoneCanCome) {
    Make(1);
    t_->Push(0, F(0, 4960));
    Printed([&] { t_->Get(); });
    P().ReleaseFrame(0);
    // Ordinary-segment audio with no video behind it yet waits: the reader
    // may still store that video.
    t_->Push(0, F(2, 5000));
    EXPECT_FALSE(Says(Printed([&] { EXPECT_EQ(t_->Get().rc, -1); }), "throw it"));
    t_->Push(0, F(1, 5040));
    EXPECT_EQ(t_->Get().pts, 5040u);  // timed by the video frame behind it
    P().ReleaseFrame(0);
    EXPECT_EQ(t_->Get().pts, 5040u);  // the P-frame itself is not lost
    P().ReleaseFrame(0);
    // Once the stream is over no video can come: the audio is thrown away.
    t_->Push(0, F(2, 5100));
    A::Head(P(), 0)->state = MSSP_STATUS_OVER;
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(t_->Get().rc, -1); }), "ch0 pts is 0 throw it"));
    EXPECT_EQ(t_->Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
    A::Head(P(), 0)->state = MSSP_STATUS_PLAY;
    A::WaitIFrame(P(), 0) = 0;
    // A reader paused on its 16 nodes (at 12 waiting frames) resumes below
    // 9: with 8 audio frames waiting the video may still come; with 9 waiting
    // could never end, so the audio at the read position is thrown away.
    for (int k = 0; k < 8; ++k) t_->Push(0, F(2, 5200 + k));
    EXPECT_FALSE(Says(Printed([&] { EXPECT_EQ(t_->Get().rc, -1); }), "throw it"));
    t_->Push(0, F(2, 5208));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(t_->Get().rc, -1); }), "ch0 pts is 0 throw it"));
    EXPECT_EQ(t_->Waiting(0), 8);
}

// GetFrameEx, ReleaseFrame, GetFrameInfo, GetChnStatusEx

TEST_F(Delivery, GetFrameExReleaseAndQueries) {
    Make(2);
    t_->Push(1, F(0, 10000, 2, {21, 12, 24, 18, 30, 15}));
    FrameSpec v = {.frameType = 1, .pts = 12501, .time = kTen, .refType = 5, .frameRate = 30, .width = 1920};
    t_->Push(1, v);
    tag_MSSP_GetFrameInfo info{};
    unsigned char *d1, *d2;
    int l1, l2;
    Printed([&] { ASSERT_EQ(P().GetFrameEx(1, &d1, &l1, &d2, &l2, &info, 0), 0); });
    EXPECT_EQ(info.pts, 10000u);
    EXPECT_EQ(info.channel, 1);
    EXPECT_EQ(info.flags, 3);  // node's bit 1, and bit 0: 10000 ms after 0
    EXPECT_EQ(std::vector<int>({info.year, info.month, info.day, info.hour, info.minute, info.second}),
              (std::vector<int>{21, 12, 24, 18, 30, 15}));
    P().ReleaseFrame(1);
    EXPECT_EQ(P().GetFrameInfo(1, &info), 0);
    EXPECT_EQ(info.refType, 5);
    EXPECT_EQ(info.frameRate, 30);  // completion mark not copied
    EXPECT_EQ(info.width, 1920);
    Printed([&] { EXPECT_EQ(P().GetFrameEx(1, &d1, &l1, &d2, &l2, &info, 0), 0); });
    EXPECT_EQ(info.flags, 1);
    EXPECT_EQ(P().GetFrameEx(0, &d1, &l1, &d2, &l2, &info, 0), -1);  // empty
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetFrameEx(2, &d1, &l1, &d2, &l2, &info, 0), -1); }),
                     "invalid stream index:2"));
    // Channel status: 2 frames waiting, 1 live, 0 over or stopped, or a bad index.
    A::Head(P(), 1)->state = MSSP_STATUS_OVER;
    EXPECT_EQ(P().GetChnStatusEx(1, 0), 2);
    EXPECT_EQ(P().GetChnStatusEx(0, 0), 1);
    P().ReleaseFrame(1);
    EXPECT_EQ(P().GetChnStatusEx(1, 0), 0);
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetFrameInfo(1, &info), -2); }),
                     "GetFrameInfo @@@@@index 1 run heer, so playback over, flag5"));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetChnStatusEx(2, 0), 0); }), "index 2 is invalid, stream num:2"));
    // Release moves on past the ring's end, refuses with nothing waiting.
    A::Cursor(P(), 0)->getIndex = A::Cursor(P(), 0)->lastIndex = kFrames - 1;
    A::Head(P(), 0)->getNum = 0xFFFFFFFFu;  // counters about to wrap
    EXPECT_EQ(P().ReleaseFrame(0), 0);
    EXPECT_EQ(A::Cursor(P(), 0)->getIndex, 0u);
    EXPECT_EQ(A::Head(P(), 0)->getNum, 0u);
    Printed([&] { EXPECT_EQ(P().ReleaseFrame(0) + P().ReleaseFrame(-1) + P().ReleaseFrame(2), -3); });
    EXPECT_EQ(A::Head(P(), 0)->getNum, 0u);
    EXPECT_EQ(A::Cursor(P(), 0)->getIndex, 0u);
}

TEST_F(Delivery, NoHeapUseWhileFramesAreDeliveredAndReleased) {
    Make(2);
    tag_MSSP_GetFrameInfo info{};
    unsigned int seconds = 0;
    for (int round = 0; round < 3; ++round) {  // the first round warms the conversion records up
        const unsigned char convert = round != 1;
        for (int i = 0; i < 2; ++i) {
            Reset(i);
            for (int k = 0; k < kFrames - 2; ++k) {
                FrameSpec s = F(k == 0 ? 0 : 1, 100000u * (convert + 1) + 40u * k + i);
                s.complete = convert == 0;
                t_->Push(i, s, 256);
            }
        }
        int delivered = 0;
        g_allocs = 0;
        Printed([&] {
            g_countAllocs = true;
            for (Delivered d; (d = t_->Get(1, convert)).rc >= 0; ++delivered) {
                P().GetFrameInfo(0, &info);
                P().GetStreamTime(0, &seconds);
                P().ReleaseFrame(d.rc);
            }
            g_countAllocs = false;
        });
        EXPECT_GE(delivered, kFrames);  // down to the last frame of one stream (the other, live, blocks)
        EXPECT_TRUE(round == 0 || g_allocs.load() == 0) << g_allocs.load() << " in round " << round;
    }
}

}  // namespace

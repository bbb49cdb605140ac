// Frame delivery on the consumer side, driven directly without reader
// threads: timestamp conversion onto the wall-clock timeline, stream time,
// the baseline choice, GetFrame/GetFrameEx rules (order, key-frame wait,
// channel check, jump-level thinning, discontinuity flag, bad places),
// release, the buffer queries, and no heap use on the delivery path.
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

// Heap use of the whole test binary while counting is on (operator new).
namespace {
std::atomic<bool> g_countAllocs{false};
std::atomic<long> g_allocs{0};
}  // namespace
void* operator new(std::size_t n) {
    if (g_countAllocs.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr int kBuf = 8192;
constexpr int kFrames = 16;
using Time = std::array<uint8_t, 6>;
constexpr Time kTen{21, 3, 4, 10, 0, 0};  // 2021-03-04 10:00:00

// Seconds since 1970 of a date-time taken as UTC.
int64_t UtcSeconds(const Time& t) {
    std::tm tm{};
    tm.tm_year = t[0] + 100;
    tm.tm_mon = t[1] - 1;
    tm.tm_mday = t[2];
    tm.tm_hour = t[3];
    tm.tm_min = t[4];
    tm.tm_sec = t[5];
    return static_cast<int64_t>(timegm(&tm));
}

FrameSpec Frame(uint8_t type, uint64_t pts, Time time = kTen, uint8_t flags = 0) {
    FrameSpec s;
    s.frameType = type;
    s.pts = pts;
    s.time = time;
    s.flags = flags;
    s.audioSegment = false;
    return s;
}
FrameSpec SegAudio(uint64_t pts, Time time = kTen) {
    FrameSpec s = Frame(MSSP_FRAME_AUDIO, pts, time);
    s.audioSegment = true;
    return s;
}
FrameSpec Ref(uint8_t type, uint64_t pts, uint8_t refType, uint8_t refIndex) {
    FrameSpec s = Frame(type, pts);
    s.refType = refType;
    s.refIndex = refIndex;
    return s;
}
FrameSpec Incomplete(uint8_t type, uint64_t pts) {
    FrameSpec s = Frame(type, pts);
    s.complete = false;
    return s;
}

void SetTz(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

struct Delivered {
    int rc = -9;
    unsigned char* data1 = nullptr;
    unsigned char* data2 = nullptr;
    int len1 = -1, len2 = -1, type = -1, channel = -9;
    unsigned long long pts = 0;
    unsigned int flag = 0xFFFF;
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
        TearDown();
        Json::Value spec(Json::objectValue);
        if (oldDevice) spec["PRODUCT_GROUP"] = "ANT";
        Kelto_SetSpecInfo(spec);
        name_ = msspt::UniqueName("dlv");
        parser_ = std::make_unique<CMultiStreamSyncParser>(kGroup, streams, name_.data(), kBuf, kFrames, nullptr,
                                                           nullptr, 0);
        ASSERT_EQ(g_DeviceGroup, oldDevice ? 3 : 0);
        fill_.clear();
        for (int i = 0; i < streams; ++i) {
            A::Head(P(), i)->channel = channels.empty() ? i : channels[i];
            A::Head(P(), i)->state = A::Head(P(), i)->playStatus = MSSP_STATUS_PLAY;
            fill_.emplace_back(P(), i);
        }
    }
    CMultiStreamSyncParser& P() { return *parser_; }
    MSSP_FrameNode_t& Node(int i, int n) { return A::Nodes(P(), i)[n]; }
    void SetState(int i, uint8_t state) { A::Head(P(), i)->state = state; }

    // A frame of stream i with a real pack on the stream's channel (or `pack`).
    int Push(int i, const FrameSpec& s, size_t payload = 64, Bytes pack = {}) {
        const auto chn = static_cast<uint8_t>(A::Head(P(), i)->channel);
        if (pack.empty()) {
            pack = g_DeviceGroup == 3 ? msspt::OldFormatPack(s, chn, payload) : msspt::NewFormatPack(s, chn, payload);
        }
        return fill_[i].Push(s, pack);
    }
    int Waiting(int i) { return static_cast<int>(A::Head(P(), i)->parseNum - A::Head(P(), i)->getNum); }
    void Reset(int i) {
        msspt::ResetStream(P(), i);
        fill_[i].SetWritePos(0);
    }
    unsigned long long Convert(int i, int node) { return P().GetCovertedPts(i, &Node(i, node)); }
    // Converts stream 0's read node and releases it, as delivery does.
    unsigned long long ConvertAndRelease() {
        const unsigned long long v = Convert(0, static_cast<int>(A::Cursor(P(), 0)->getIndex));
        P().ReleaseFrame(0);
        return v;
    }

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
    template <class F>
    std::string Printed(F&& f) {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }
    bool Says(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

    static constexpr int kGroup = 5;
    std::string name_;
    std::unique_ptr<CMultiStreamSyncParser> parser_;
    std::vector<msspt::StreamFiller> fill_;
};

// ---------------------------------------------------------------------------
// Timestamp conversion: frames in order -> converted values, as offsets from
// 10:00:00 of the first frame's day (kZero: the conversion fails with 0).

constexpr int64_t kZero = INT64_MIN;

TEST_F(Delivery, ConversionSteps) {
    const Time later{21, 3, 4, 10, 0, 7};
    const int64_t base = UtcSeconds(kTen) * 1000;
    struct Row {
        std::vector<FrameSpec> frames;
        std::vector<int64_t> values;
        std::string message;
    };
    const Row rows[] = {
        {{Frame(0, 100000), Frame(1, 100040), Frame(1, 100080)}, {0, 40, 80},
         "index=0 inti iframe 10:0:0 base=" + std::to_string(base) + "\n"},
        // A step of 2000 ms is normal, 2001 a jump: span - 3 after the last value.
        {{Frame(0, 1000), Frame(1, 3000), Frame(1, 5001)}, {0, 2000, 3997}, ""},
        // After a jump P-frames still measure from the last normal frame; an
        // I-frame starts the timeline again from its date and time.
        {{Frame(0, 50000), Frame(1, 50040), Frame(1, 60000), Frame(1, 60040), Frame(0, 60080, later)},
         {0, 40, 77, 114, 7000},
         "reset=0 inti iframe 10:0:7 base=" + std::to_string(base + 7000) + " span=10040"},
        {{Frame(0, 5000), Frame(1, 5040), Frame(1, 5039)}, {0, 40, 77}, ""},  // backwards by 1 ms: a jump
        {{Frame(0, 1000), Frame(2, 9000), Frame(1, 1040)}, {0, 0, 40}, ""},   // audio: the current value
        {{SegAudio(7000)}, {0}, ""},  // in an audio segment the first audio frame is a key frame
        {{Frame(1, 1000)}, {kZero}, " index[0] !!!!First adjust, but not I frame!!!"},
    };
    for (size_t k = 0; k < std::size(rows); ++k) {
        SCOPED_TRACE(k);
        Make(1);
        for (const FrameSpec& f : rows[k].frames) Push(0, f);
        std::vector<int64_t> got;
        const std::string out = Printed([&] {
            for (size_t n = 0; n < rows[k].frames.size(); ++n) {
                const unsigned long long v = ConvertAndRelease();
                got.push_back(v == 0 ? kZero : static_cast<int64_t>(v) - base);
            }
        });
        EXPECT_EQ(got, rows[k].values);
        EXPECT_TRUE(Says(out, rows[k].message)) << out;
    }
}

TEST_F(Delivery, Conversion_ReArmedByAResetAndRefusedForBadIndexes) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 2000));
    Printed([&] { EXPECT_EQ(P().GetCovertedPts(1, &Node(0, 0)) + P().GetCovertedPts(-1, &Node(0, 0)), 0u); });
    EXPECT_EQ(A::PtsAdjust(P(), 0), nullptr);
    EXPECT_NE(ConvertAndRelease(), 0u);
    // A buffer reset (getNum 0) re-arms the record: a P-frame can't restart it.
    Reset(0);
    Push(0, Frame(MSSP_FRAME_P, 2080));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Convert(0, 0), 0u);
    testing::internal::GetCapturedStdout();
    // Recorded times are standard time in every season: a summer time and
    // the repeated autumn hour map to one instant each.
    SetTz("CET-1CEST,M3.5.0,M10.5.0/3");
    uint64_t pts = 1000;
    for (const Time& t : {Time{21, 7, 1, 10, 0, 0}, Time{21, 10, 31, 2, 30, 0}, Time{21, 1, 15, 10, 0, 0}}) {
        Reset(0);
        Push(0, Frame(MSSP_FRAME_I, pts += 1000, t));
        testing::internal::CaptureStdout();
        EXPECT_EQ(Convert(0, 0), static_cast<unsigned long long>(UtcSeconds(t) - 3600) * 1000);
        testing::internal::GetCapturedStdout();
    }
}

// ---------------------------------------------------------------------------
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
// An old layout-35 I-frame: its date lies early, frame bytes 115..117 are payload.
Bytes OldLayout35WithPayloadAt115(uint8_t hour) {
    packwriter::OldVideoPack v;
    v.layoutCode = 35;
    v.extLen = 40;
    v.ptsUs = 5000000;
    Bytes payload = packwriter::PatternPayload(400, 9);
    payload[115 - 64] = hour;
    return packwriter::MakeOldVideoPack(v, payload);
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
        uint32_t beforeEnd;  // where the first pack starts: so many bytes before the ring's end (0: at 0)
        std::vector<Step> steps;
    };
    constexpr unsigned kNone = 90000;
    const FrameSpec i0 = Frame(MSSP_FRAME_I, 100, {21, 1, 1, 1, 2, 3});
    const Row rows[] = {
        {false, 0, {{Frame(1, 100, {21, 1, 1, 9, 9, 9}), {}, -1, kNone}, {i0, {}, 0, 3723},
                    {Frame(1, 180, {21, 1, 1, 5, 5, 5}), {}, 0, 3723}}},
        // The time on both sides of the ring's end, and at its last second.
        {false, 20, {{Frame(0, 100, {21, 1, 1, 23, 59, 58}), {}, 0, 86398}}},
        {false, 40, {{Frame(0, 100, {21, 1, 1, 23, 59, 58}), {}, 0, 86398}}},
        {false, 44, {{Frame(0, 100, {21, 1, 1, 23, 59, 58}), {}, 0, 86398}}},
        {false, 0, {{SegAudio(100, {21, 1, 1, 0, 0, 30}), {}, 0, 30}}},
        {true, 0, {{i0, {}, 0, 3723}, {SegAudio(140), {}, 0, 3723}}},  // old audio carries no time
        {true, 50, {{i0, {}, 0, 3723}}},
        {true, 116, {{i0, {}, 0, 3723}}},
        // Bytes that are no time of day keep the last time.
        {false, 0, {{i0, {}, 0, 3723}, {i0, IFrameWithoutTimeAt39(117, 18, 44), 0, 3723},
                    {i0, IFrameWithoutTimeAt39(23, 60, 0), 0, 3723}, {i0, IFrameWithoutTimeAt39(2, 3, 4), 0, 7384}}},
        {false, 0, {{i0, IFrameWithoutTimeAt39(200, 0, 0), -1, kNone}}},
        {true, 0, {{i0, OldLayout35WithPayloadAt115(130), -1, kNone}}},
    };
    for (size_t k = 0; k < std::size(rows); ++k) {
        const Row& r = rows[k];
        Make(1, r.old);
        fill_[0].SetWritePos(r.beforeEnd == 0 ? 0 : kBuf - r.beforeEnd);
        for (size_t n = 0; n < r.steps.size(); ++n) {
            Push(0, r.steps[n].frame, 64, r.steps[n].pack);
            unsigned s = 1;
            EXPECT_EQ(P().GetStreamTime(0, &s), r.steps[n].rc) << k << "/" << n;
            EXPECT_EQ(s, r.steps[n].seconds) << k << "/" << n;
            P().ReleaseFrame(0);
        }
    }
    // A frame too short for its time, or placed outside the ring, is not
    // read; nor is a node not yet published; nor a bad index.
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 100, {21, 1, 1, 1, 1, 1}));
    unsigned s = 1;
    Node(0, 0).length1 = 30;
    EXPECT_EQ(P().GetStreamTime(0, &s), -1);
    Node(0, 0).length1 = 100;
    Node(0, 0).offset1 = kBuf;
    EXPECT_EQ(P().GetStreamTime(0, &s), -1);
    Reset(0);
    fill_[0].Push(Frame(0, 100, kTen), msspt::NewFormatPack(Frame(0, 100, kTen), 0), false);
    EXPECT_EQ(P().GetStreamTime(0, &s), -1);
    EXPECT_EQ(s, 90000u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(P().GetStreamTime(1, &s), -1);
    testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------------------
// GetStreamPTS and GetBaselinePts

TEST_F(Delivery, StreamPts_TimingFrameOrVideoBehindAudio) {
    Make(4);
    Push(0, Frame(MSSP_FRAME_P, 700));
    Push(1, Frame(MSSP_FRAME_AUDIO, 100));
    Push(1, Frame(MSSP_FRAME_P, 900));
    Push(2, SegAudio(300));  // audio of an audio segment times itself
    Push(3, Frame(MSSP_FRAME_AUDIO, 100));
    Push(3, Frame(MSSP_FRAME_AUDIO, 140));
    const unsigned long long want[] = {700, 900, 300};
    for (int i = 0; i < 3; ++i) {
        unsigned long long pts = 1;
        EXPECT_EQ(P().GetStreamPTS(i, &pts), 0);
        EXPECT_EQ(pts, want[i]);
    }
    unsigned long long pts = 1;
    const std::string out = Printed([&] { EXPECT_EQ(P().GetStreamPTS(3, &pts), -1); });
    EXPECT_EQ(pts, 0u);
    EXPECT_TRUE(Says(out, "CMultiStreamSyncParser::GetStreamPTS failed, index=3 num=2"));
    Printed([&] { EXPECT_EQ(P().GetStreamPTS(4, &pts), -1); });
}

TEST_F(Delivery, Baseline_DirectionTiesZeroAndEmptyStreams) {
    Make(4);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    Push(1, Frame(MSSP_FRAME_I, 900));
    Push(2, Frame(MSSP_FRAME_AUDIO, 50));  // no timestamp known (0): never the earliest
    SetState(3, MSSP_STATUS_OVER);           // over and empty: ignored
    unsigned long long best = 0;
    Printed([&] {
        EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 1);
        EXPECT_EQ(best, 900u);
        EXPECT_EQ(P().GetBaselinePts(nullptr, &best, -1, 0), 0);
        EXPECT_EQ(best, 1000u);
    });
    best = 5;
    const std::string out = Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 0, 0), -1); });
    EXPECT_EQ(best, 5u);
    EXPECT_TRUE(Says(out, "========================1124 -GetBaselinePts"));
    P().ReleaseFrame(1);
    Push(1, Frame(MSSP_FRAME_I, 1000));  // equal timestamps: the lower index, both ways
    Printed([&] {
        EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 0);
        EXPECT_EQ(P().GetBaselinePts(nullptr, &best, -1, 0), 0);
    });
    SetState(3, MSSP_STATUS_PLAY);  // a live stream with nothing buffered holds the choice back
    Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), -1); });
}

TEST_F(Delivery, Baseline_DropsToTheKeyFrameAndMarksIt) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_P, 100, kTen, 1));
    Push(0, Frame(MSSP_FRAME_P, 140));
    Push(0, Frame(MSSP_FRAME_I, 180, kTen, 2));  // last before a new segment, set by the reader meanwhile
    unsigned long long best = 0;
    const std::string out = Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), 0); });
    EXPECT_EQ(best, 180u);
    EXPECT_TRUE(Says(out, "drop a frame index:0 type:1 pts:100 getNum=0 parNum=3 frameType=1")) << out;
    EXPECT_EQ(Waiting(0), 1);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 0);
    EXPECT_EQ(Node(0, 2).flags, 3);  // start of a new sequence, reader's bit kept
    // The last waiting non-key frame stays while the stream is live.
    Make(1);
    Push(0, Frame(MSSP_FRAME_P, 100, kTen, 1));
    EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), -1);
    EXPECT_EQ(Waiting(0), 1);
    SetState(0, MSSP_STATUS_OVER);
    Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 0), -1); });
    EXPECT_EQ(Waiting(0), 0);
    // A failed conversion gives -1 and keeps the frame.
    Make(1);
    Push(0, Incomplete(MSSP_FRAME_P, 100));
    best = 7;
    const std::string failed = Printed([&] { EXPECT_EQ(P().GetBaselinePts(nullptr, &best, 1, 1), -1); });
    EXPECT_EQ(best, 7u);
    EXPECT_TRUE(Says(failed, "index=0 GetBaselinePts covet pts failed"));
    EXPECT_EQ(Waiting(0), 1);
}

// ---------------------------------------------------------------------------
// GetFrame

TEST_F(Delivery, GetFrame_OrderAndPlace) {
    Make(2);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    EXPECT_EQ(Get().rc, -1);  // a live stream with nothing buffered holds delivery back
    Push(1, Frame(MSSP_FRAME_I, 900));
    Delivered d = Get(1);
    EXPECT_EQ(d.rc, 1);
    EXPECT_EQ(d.pts, 900u);
    EXPECT_EQ(d.channel, 1);
    EXPECT_EQ(d.data1, A::Ring(P(), 1) + Node(1, 0).offset1);
    EXPECT_EQ(d.data2, nullptr);
    EXPECT_EQ(d.len2, 0);
    EXPECT_EQ(Get(1).rc, 1);  // not released: the same frame again
    EXPECT_EQ(Get(-1).pts, 1000u);
    EXPECT_EQ(Get(0).rc, -1);
    EXPECT_EQ(Waiting(0) + Waiting(1), 2);
    P().ReleaseFrame(1);
    SetState(1, MSSP_STATUS_OVER);  // over and empty: ignored
    EXPECT_EQ(Get().rc, 0);
    // A frame across the ring's end comes in two pieces, the first up to the end.
    Make(1);
    fill_[0].SetWritePos(kBuf - 50);
    const Bytes pack = msspt::NewFormatPack(Frame(MSSP_FRAME_I, 1000), 0, 200);
    fill_[0].Push(Frame(MSSP_FRAME_I, 1000), pack);
    d = Get();
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.data1, A::Ring(P(), 0) + kBuf - 50);
    EXPECT_EQ(d.len1, 50);
    ASSERT_EQ(d.data2, A::Ring(P(), 0));
    Bytes joined(d.data1, d.data1 + d.len1);
    joined.insert(joined.end(), d.data2, d.data2 + d.len2);
    EXPECT_EQ(joined, pack);
}

TEST_F(Delivery, GetFrame_JumpLevelThinsByReferencePosition) {
    // Level 0, 2X table: even positions shown; 32..60 fold onto 0..28.
    for (const auto& [refIndex, shown] : {std::pair{0, true}, {1, false}, {32, true}, {33, false}, {61, true}}) {
        Make(1);
        A::JumpLevel(P(), 0) = 0;
        Push(0, Ref(MSSP_FRAME_P, 1000, 2, static_cast<uint8_t>(refIndex)));
        Push(0, Frame(MSSP_FRAME_I, 1040));  // no reference structure: always shown
        EXPECT_EQ(Get().pts, shown ? 1000u : 1040u) << refIndex;
        EXPECT_EQ(Waiting(0), shown ? 2 : 1);
    }
    // Only the skipped frame was waiting: nothing to deliver, and it is gone.
    Make(1);
    A::JumpLevel(P(), 0) = 0;
    Push(0, Ref(MSSP_FRAME_P, 1000, 2, 1));
    EXPECT_EQ(Get().rc, -1);
    EXPECT_EQ(Waiting(0), 0);
    // An old device does not thin, and its channel byte is an ASCII digit.
    Make(1, true, {3});
    A::JumpLevel(P(), 0) = 0;
    Push(0, Ref(MSSP_FRAME_P, 1000, 2, 1));
    const Delivered d = Get();
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.data1[0], '3');
    EXPECT_EQ(d.channel, 3);
}

TEST_F(Delivery, GetFrame_KeyFrameWaitAndChannelCheck) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_P, 1000, kTen, 1));  // a new segment begins with a P-frame
    Push(0, Frame(MSSP_FRAME_P, 1040));
    Push(0, Frame(MSSP_FRAME_I, 1080));
    for (int n = 0; n < 2; ++n) {
        EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(Get().rc, -1); }), "CH drop a frame index:0 type:1..."));
    }
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
    EXPECT_EQ(Get().pts, 1080u);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 0);
    P().ReleaseFrame(0);
    Push(0, Frame(MSSP_FRAME_I, 1120, kTen, 1));  // a segment's first I-frame goes out at once, flagged
    const Delivered d = Get();
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.flag & 1u, 1u);
    // Another channel's bytes: dropped, and the stream waits for a key frame.
    Make(1, false, {1});
    fill_[0].Push(Frame(MSSP_FRAME_I, 1000), msspt::NewFormatPack(Frame(MSSP_FRAME_I, 1000), 2));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(Get().rc, -1); }), "invalid frame:index:1 type:0 0x2 FrameNum:1"));
    EXPECT_EQ(Waiting(0), 0);
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
        Push(0, Frame(MSSP_FRAME_I, 10000));
        Push(0, Frame(MSSP_FRAME_P, r.second));
        ASSERT_EQ(Get().rc, 0);
        P().ReleaseFrame(0);
        Delivered d;
        const std::string out = Printed([&] { d = Get(); });
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.flag & 1u, r.flagged ? 1u : 0u) << r.second << " status " << int(r.playStatus);
        EXPECT_EQ(A::LastPts(P())[0], r.second);
        EXPECT_EQ(Says(out, "big pts jump 10000->12501 span=2501"), r.second == 12501) << out;
    }
}

TEST_F(Delivery, GetFrame_AudioWaitsForItsVideoWhileLive_ThrownOnceNoneCanCome) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 4960));
    ASSERT_EQ(Get().rc, 0);
    P().ReleaseFrame(0);
    // Ordinary-segment audio with no video behind it yet waits: the reader
    // may still store that video.
    Push(0, Frame(MSSP_FRAME_AUDIO, 5000));
    EXPECT_FALSE(Says(Printed([&] { EXPECT_EQ(Get().rc, -1); }), "throw it"));
    EXPECT_EQ(Waiting(0), 1);
    Push(0, Frame(MSSP_FRAME_P, 5040));
    EXPECT_EQ(Get().pts, 5040u);  // timed by the video frame behind it
    P().ReleaseFrame(0);
    ASSERT_EQ(Get().pts, 5040u);  // the P-frame itself is not lost
    P().ReleaseFrame(0);
    // Once the stream is over no video can come: the audio is thrown away.
    Push(0, Frame(MSSP_FRAME_AUDIO, 5100));
    SetState(0, MSSP_STATUS_OVER);
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(Get().rc, -1); }), "ch0 pts is 0 throw it"));
    EXPECT_EQ(Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
    SetState(0, MSSP_STATUS_PLAY);
    A::WaitIFrame(P(), 0) = 0;
    // With the node ring nearly full the reader pauses: waiting could never
    // end, so the audio at the read position is thrown away as well.
    for (int k = 0; k < kFrames - 6; ++k) Push(0, Frame(MSSP_FRAME_AUDIO, 5200 + k));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(Get().rc, -1); }), "ch0 pts is 0 throw it"));
    EXPECT_EQ(Waiting(0), kFrames - 7);
}

TEST_F(Delivery, GetFrame_BadPlaceIsRefused) {
    Make(1);
    Push(0, Frame(MSSP_FRAME_I, 1000));
    Node(0, 0).offset1 = 10;  // the first piece runs past the ring's end
    Node(0, 0).length1 = kBuf;
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(Get().rc, -1); }), "invalid frame place:index:0 offset1:10 length1:8192"));
    EXPECT_EQ(Waiting(0), 0);
    EXPECT_EQ(A::WaitIFrame(P(), 0), 1);
    Push(0, Frame(MSSP_FRAME_I, 1040));
    Node(0, 1).length1 = 0;  // empty first piece: no channel byte to read
    tag_MSSP_GetFrameInfo info{};
    Printed([&] { EXPECT_EQ(GetEx(0, &info).rc, -1); });
    EXPECT_EQ(Waiting(0), 0);
}

// ---------------------------------------------------------------------------
// GetFrameEx, ReleaseFrame, GetFrameInfo, GetChnStatusEx

TEST_F(Delivery, GetFrameEx_InfoWaitAndFailedConversion) {
    Make(2);
    Push(1, Frame(MSSP_FRAME_I, 10000, {21, 12, 24, 18, 30, 15}, 2));
    Push(1, Frame(MSSP_FRAME_P, 12501));
    tag_MSSP_GetFrameInfo info{};
    info.width = 1234;  // not GetFrameEx's field
    ASSERT_EQ(GetEx(1, &info).rc, 0);
    EXPECT_EQ(info.pts, 10000u);
    EXPECT_EQ(info.channel, 1);
    EXPECT_EQ(info.frameType, 0);
    EXPECT_EQ(info.flags, 3);  // node's bit 1, and bit 0: 10000 ms after 0
    const int date[] = {info.year, info.month, info.day, info.hour, info.minute, info.second};
    EXPECT_EQ(std::vector<int>(date, date + 6), (std::vector<int>{21, 12, 24, 18, 30, 15}));
    EXPECT_EQ(info.width, 1234);
    P().ReleaseFrame(1);
    Printed([&] { GetEx(1, &info); });
    EXPECT_EQ(info.flags, 1);
    EXPECT_EQ(GetEx(1, nullptr).rc, 0);  // no info record: still delivered
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(GetEx(2, &info).rc, -1); }), "invalid stream index:2"));
    EXPECT_EQ(GetEx(0, &info).rc, -1);  // empty: silent
    // Waiting for a key frame drops P-frames and reports the counts.
    Make(1);
    Push(0, Frame(MSSP_FRAME_P, 1000, kTen, 1));
    Push(0, Frame(MSSP_FRAME_P, 1040));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(GetEx(0, &info).rc, -1); }),
                     "Request I frame not stream index:0, FrameNum=2 frameType=1 parseNum=2 getNum=1"));
    // A failed conversion keeps the frame.
    Make(1);
    Push(0, Incomplete(MSSP_FRAME_P, 1000));
    info.pts = 0;
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(GetEx(0, &info, 1).rc, -1); }), "get pts failed, covert pts is 0\n"));
    EXPECT_EQ(Waiting(0), 1);
    EXPECT_EQ(info.pts, 0u);
}

TEST_F(Delivery, Release_WrapsAndRefusesWithoutWaitingFrame) {
    Make(1);
    A::Cursor(P(), 0)->getIndex = kFrames - 1;
    A::Cursor(P(), 0)->lastIndex = kFrames - 1;
    A::Head(P(), 0)->getNum = 0xFFFFFFFFu;  // counters about to wrap
    A::Head(P(), 0)->parseNum = 0;
    EXPECT_EQ(P().ReleaseFrame(0), 0);
    EXPECT_EQ(A::Cursor(P(), 0)->getIndex, 0u);
    EXPECT_EQ(A::Head(P(), 0)->getNum, 0u);
    const std::string out = Printed([&] {
        EXPECT_EQ(P().ReleaseFrame(0), -1);  // nothing waiting: nothing moves
        EXPECT_EQ(P().ReleaseFrame(1), -1);
        EXPECT_EQ(P().ReleaseFrame(-1), -1);
    });
    EXPECT_EQ(A::Head(P(), 0)->getNum, 0u);
    EXPECT_EQ(A::Cursor(P(), 0)->getIndex, 0u);
    EXPECT_TRUE(Says(out, "invalid stream index:-1"));
}

TEST_F(Delivery, FrameInfoAndChannelStatus) {
    Make(2);
    tag_MSSP_GetFrameInfo info{};
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), -1); }),
                     "GetFrameInfo index 0 no frame framenum=0 flag=1"));
    Push(0, Frame(MSSP_FRAME_AUDIO, 100));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), -1); }),
                     "GetFrameInfo index 0 run heer parse=1 get=0 num=1 next=1"));
    FrameSpec v = Ref(MSSP_FRAME_P, 140, 5, 0);
    v.frameRate = 30;
    v.width = 1920;
    v.height = 1080;
    Push(0, v);
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
    // Read position at the last node: the scan goes on at node 0, once.
    Reset(0);
    A::Cursor(P(), 0)->lastIndex = kFrames - 2;
    A::Cursor(P(), 0)->getIndex = kFrames - 1;
    Push(0, Frame(MSSP_FRAME_AUDIO, 100));
    Push(0, Frame(MSSP_FRAME_AUDIO, 140));
    Push(0, Frame(MSSP_FRAME_P, 180));
    const std::string out = Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), 0); });
    EXPECT_EQ(info.pts, 180u);
    const std::string wrap = "GetFrameInfo index 0 circling, firt=15 next=1 max=16";
    EXPECT_TRUE(Says(out, wrap)) << out;
    EXPECT_EQ(out.find(wrap, out.find(wrap) + 1), std::string::npos);
    // Channel status: 2 frames waiting, 1 live, 0 over or stopped or bad index.
    SetState(0, MSSP_STATUS_OVER);
    EXPECT_EQ(P().GetChnStatusEx(0, 0), 2);
    EXPECT_EQ(P().GetChnStatusEx(1, 0), 1);
    SetState(1, MSSP_STATUS_STOP);
    EXPECT_EQ(P().GetChnStatusEx(1, 0), 0);
    A::Head(P(), 0)->getNum = A::Head(P(), 0)->parseNum;
    EXPECT_EQ(P().GetChnStatusEx(0, 0), 0);
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetFrameInfo(0, &info), -2); }),
                     "GetFrameInfo @@@@@index 0 run heer, so playback over, flag5"));
    EXPECT_TRUE(Says(Printed([&] { EXPECT_EQ(P().GetChnStatusEx(2, 0), 0); }), "index 2 is invalid, stream num:2"));
}

TEST_F(Delivery, NoHeapUseWhileFramesAreDeliveredAndReleased) {
    Make(2);
    tag_MSSP_GetFrameInfo info{};
    unsigned int seconds = 0;
    int delivered = 0;
    bool warm = false;
    for (unsigned char convert : {1, 0, 1}) {  // the first round warms the conversion records up
        for (int i = 0; i < 2; ++i) {
            Reset(i);
            for (int k = 0; k < kFrames - 2; ++k) {
                FrameSpec s = Frame(k == 0 ? MSSP_FRAME_I : MSSP_FRAME_P, 100000u * (convert + 1) + 40u * k + i);
                s.complete = convert == 0;
                Push(i, s, 256);
            }
        }
        testing::internal::CaptureStdout();
        g_allocs = 0;
        g_countAllocs = true;
        delivered = 0;
        for (Delivered d; delivered < 100; ++delivered) {
            P().GetFrameInfo(0, &info);
            P().GetStreamTime(0, &seconds);
            d.rc = P().GetFrame(&d.data1, &d.len1, &d.data2, &d.len2, &d.type, &d.pts, &d.flag, &d.channel, 1, convert);
            if (d.rc < 0) break;
            P().ReleaseFrame(d.rc);
        }
        g_countAllocs = false;
        testing::internal::GetCapturedStdout();
        EXPECT_GE(delivered, kFrames);  // down to the last frame of one stream (the other, live, blocks)
        if (warm) {
            EXPECT_EQ(g_allocs.load(), 0) << "converting " << int(convert);
        }
        warm = true;
    }
}

}  // namespace

// Playback control: play status and trick play, buffer clearing, seek,
// stream-type and channel switching. Each control call is checked through the
// scripted host's call log (which operations, in which order, with which
// records) and through the state it leaves every stream in.
//
// Two kinds of tests: "Manual" rigs attach streams by hand and start no
// reader thread (Idle returns at once), so records and states are exact;
// "Playing" rigs run the real reader threads and a test-side consumer, to
// see the rings emptied and refilled from the new position.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "ScriptedHost.h"
#include "TestAccess.h"

using A = MsspTestAccess;
using msspt::DateTime;
using msspt::ScriptedHost;
using P = CMultiStreamSyncParser;
using Call = ScriptedHost::Call;

namespace {

constexpr int kGroup = 6;
constexpr int kBufSize = 4 * 65536;
constexpr int kFrameNum = 32;
constexpr int kGop = 10;           // frames per GOP: one I-frame, nine P-frames
constexpr int kGops = 24;          // two segments of 12 GOPs, one second each
constexpr uint64_t kPtsStep = 40;  // ms between frames
const DateTime kStart{26, 1, 2, 10, 0, 0};

// Every stream type of every channel has the same GOP timing; the types are
// told apart by a few milliseconds of offset (so that they still play in step).
uint64_t FirstPts(int type) { return 1000 + 7ull * static_cast<uint64_t>(type); }
uint64_t IFramePts(int type, int gop) { return FirstPts(type) + static_cast<uint64_t>(gop) * kGop * kPtsStep; }

Common::_datetime_ At(int hour, int minute, int second) {
    Common::_datetime_ t{};
    t.year = kStart[0];
    t.month = kStart[1];
    t.day = kStart[2];
    t.hour = static_cast<uint8_t>(hour);
    t.minute = static_cast<uint8_t>(minute);
    t.second = static_cast<uint8_t>(second);
    return t;
}
DateTime Dt(const Common::_datetime_& t) { return {t.year, t.month, t.day, t.hour, t.minute, t.second}; }

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Frame {
    int index;
    int channel;
    int type;
    uint64_t pts;
    bool intact;  // bytes equal the recorded pack of that channel and pts
};

// Open, seek and close calls only: what a control operation asks of the host
// (the reader threads make the read calls).
std::vector<Call> ControlCalls(const ScriptedHost& host) {
    std::vector<Call> out;
    for (const Call& c : host.Calls())
        if (c.slot == ScriptedHost::kOpen || c.slot == ScriptedHost::kSeek || c.slot == ScriptedHost::kClose)
            out.push_back(c);
    return out;
}

class Rig {
public:
    Rig(const char* tag, int streams, const std::vector<int>& channels = {0, 1, 2, 3},
        MSSP_StreamOperation_t ops = ScriptedHost::Table())
        : name_(msspt::UniqueName(tag)), ops_(ops) {
        for (int c : channels)
            for (int t = 0; t < MSSP_STREAM_TYPES; ++t) SetRecording(c, t, kGops);
        p = std::make_unique<P>(kGroup, streams, name_.data(), kBufSize, kFrameNum, &ops_, &host, 9);
    }
    ~Rig() {
        if (p) p->StopParse();
        p.reset();
        msspt::RemoveKeyFile(name_, kGroup);
    }

    void SetRecording(int channel, int type, int gops) {
        msspt::SynthSpec s;
        s.channel = static_cast<uint8_t>(channel);
        s.segments = gops >= 2 ? 2 : 1;
        s.gopsPerSegment = gops / s.segments;
        s.gop = kGop;
        s.firstPts = FirstPts(type);
        s.ptsStep = kPtsStep;
        s.start = kStart;
        s.iPayload = 3000;
        s.pPayload = 1500;
        msspt::RecordingBuilder b = msspt::MakeSynthetic(s);
        for (const msspt::PackInfo& pk : b.packs) packs_[{channel, pk.pts}] = pk.bytes;
        host.SetRecording(channel, type, std::move(b.recording));
    }

    // Real playback with reader threads.
    void Start(uint32_t mask, uint8_t bmp = 0x01, tag_tavuTime time = {10, 0, 0}) {
        tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
        ASSERT_EQ(p->StartParse(mask, bmp, 0x1234, &date, &time, true, 1), 0);
    }

    // Streams attached by hand, no reader thread: each channel of `channels`
    // gets the next stream index and a handle of `bmp`'s type.
    void Attach(const std::vector<int>& channels, uint8_t bmp = 0x01) {
        uint32_t mask = 0;
        int type = 0;
        while (type < 7 && bmp && !(bmp & (1 << type))) ++type;
        for (size_t k = 0; k < channels.size(); ++k) {
            MSSP_OpenParam_t req{};
            req.channel = static_cast<uint8_t>(channels[k]);
            req.streamTypeBmp = bmp;
            const int i = static_cast<int>(k);
            A::StreamFd(*p, type, i) = ScriptedHost::OpenStream(&host, &req, 1);
            A::CurStreamType(*p, i) = type;
            A::StreamTypeBmp(*p, i) = bmp;
            A::Head(*p, i)->channel = channels[k];
            A::Head(*p, i)->state = MSSP_STATUS_PLAY;
            A::Head(*p, i)->playStatus = MSSP_STATUS_PLAY;
            mask |= 1u << channels[k];
        }
        for (int i = static_cast<int>(channels.size()); i < A::StreamNum(*p); ++i) {
            A::CurStreamType(*p, i) = type;
            A::StreamTypeBmp(*p, i) = bmp;
            A::Head(*p, i)->state = MSSP_STATUS_STOP;
        }
        A::ChnMask(*p) = mask;
        A::PlayDate(*p) = MSSP_PlayDate_t{kStart[0], kStart[1], kStart[2]};
        A::OpenParam(*p) = 0x1234;
        A::OpenFlag(*p) = 1;
        A::Status(*p) = MSSP_STATUS_PLAY;
        A::Running(*p) = 1;
        host.ClearLog();
    }

    // Takes `count` frames (or fewer when `ms` pass) as the host's playback
    // thread would, checking each one's bytes against the recording.
    std::vector<Frame> Drain(size_t count, int direction = 1, int ms = 5000) {
        std::vector<Frame> out;
        WaitFor([&] {
            unsigned char *d1 = nullptr, *d2 = nullptr;
            int l1 = 0, l2 = 0, type = 0, channel = -1;
            unsigned long long pts = 0;
            unsigned int flag = 0;
            const int idx = p->GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, direction, 0);
            if (idx >= 0) {
                out.push_back({idx, channel, type, pts, Intact(d1, l1, d2, l2, pts)});
                p->ReleaseFrame(idx);
            }
            return out.size() >= count;
        }, ms);
        return out;
    }

    // The pack is found by its channel (first byte) and the delivered pts.
    bool Intact(const unsigned char* d1, int l1, const unsigned char* d2, int l2, uint64_t pts) const {
        if (d1 == nullptr || l1 <= 0) return false;
        auto it = packs_.find({d1[0], pts});
        if (it == packs_.end()) return false;
        const msspt::Bytes& want = it->second;
        if (static_cast<size_t>(l1) + static_cast<size_t>(l2) != want.size()) return false;
        return std::memcmp(d1, want.data(), l1) == 0 && (l2 == 0 || std::memcmp(d2, want.data() + l1, l2) == 0);
    }

    int Fd(int i) { return A::StreamFd(*p, A::CurStreamType(*p, i), i); }
    uint8_t State(int i) { return mssp::LoadAcquire(A::Head(*p, i)->state); }

    ScriptedHost host;
    std::unique_ptr<P> p;

private:
    std::string name_;
    MSSP_StreamOperation_t ops_;
    std::map<std::pair<int, uint64_t>, msspt::Bytes> packs_;
};

void ExpectOpen(const Call& c, int channel, int bitmap, const DateTime& time) {
    EXPECT_EQ(c.slot, ScriptedHost::kOpen);
    EXPECT_EQ(c.channel, channel);
    EXPECT_EQ(c.bitmap, bitmap);
    EXPECT_EQ(c.openParam, 0x1234);
    EXPECT_EQ(c.openFlag, 1);
    EXPECT_EQ(c.time, time);
}
void ExpectSeek(const Call& c, int handle, const DateTime& time) {
    EXPECT_EQ(c.slot, ScriptedHost::kSeek);
    EXPECT_EQ(c.handle, handle);
    EXPECT_EQ(c.time, time);
}
void ExpectClose(const Call& c, int handle) {
    EXPECT_EQ(c.slot, ScriptedHost::kClose);
    EXPECT_EQ(c.handle, handle);
    EXPECT_EQ(c.flag, 0);  // the reserved argument is always 0
}

// The first frame each channel delivered.
std::map<int, Frame> FirstPerChannel(const std::vector<Frame>& frames) {
    std::map<int, Frame> first;
    for (const Frame& f : frames) first.emplace(f.channel, f);
    return first;
}

}  // namespace

// ---------------------------------------------------------------------------
// ClearBuffer

TEST(ControlClear, ClearBuffer_EmptiesEveryStreamAndKeepsStateAndHandles) {
    Rig r("clr", 3);
    r.Attach({0, 2, 3});
    P& p = *r.p;
    for (int i = 0; i < 3; ++i) {
        tag_pbParserData& d = A::Parser(p, i);
        d.FrameLen = d.PackLen = d.ExtLen = d.CheckSum = d.Offset = d.OffsetEx = 77;
        d.reserved32 = 5;
        d.u8PackPending = d.u8FrameRate = d.u8SegFlag = d.u8NewSegData = d.u8NodeFull = 1;
        d.u8Completed = 0;
        d.u8ChlType = 1;
        d.u8AudioSeg = 1;
        d.ReadPos = 1000;
        d.length = 2000;
        d.EndPos = 5000;
        d.NewSegPos = 300;
        d.NewSegLen = 400;
        A::Head(p, i)->parseNum = 9;
        A::Head(p, i)->getNum = 4;
        A::Head(p, i)->reserved13 = 0;
        A::Cursor(p, i)->getIndex = 4;
        A::Cursor(p, i)->lastIndex = 8;
        A::TrickData(p, i) = reinterpret_cast<unsigned char*>(&d);
        A::TrickLen(p, i) = 99;
        A::TrickNewSeg(p, i) = 1;
    }
    A::Head(p, 1)->state = MSSP_STATUS_STOP;
    A::Head(p, 2)->state = MSSP_STATUS_OVER;
    A::Head(p, 2)->playStatus = MSSP_STATUS_FAST_BACKWARD;

    EXPECT_EQ(p.ClearBuffer(), 0);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const tag_pbParserData& d = A::Parser(p, i);
        EXPECT_EQ(d.FrameLen + d.PackLen + d.ExtLen + d.CheckSum + d.Offset + d.OffsetEx, 0u);
        EXPECT_EQ(d.reserved32, -1);
        EXPECT_EQ(d.u8PackPending + d.u8FrameRate + d.u8SegFlag + d.u8NewSegData + d.u8NodeFull, 0);
        EXPECT_EQ(d.u8Completed, 1);
        EXPECT_EQ(d.u8ChlType, 1);   // kept
        EXPECT_EQ(d.u8AudioSeg, 1);  // kept
        EXPECT_EQ(d.ReadPos + d.length + d.NewSegPos + d.NewSegLen, 0u);
        EXPECT_EQ(d.EndPos, static_cast<uint32_t>(kBufSize - 1));
        EXPECT_EQ(A::Head(p, i)->parseNum, 0u);
        EXPECT_EQ(A::Head(p, i)->getNum, 0u);
        EXPECT_EQ(A::Head(p, i)->reserved13, 1);
        EXPECT_EQ(A::Cursor(p, i)->getIndex, 0u);
        EXPECT_EQ(A::Cursor(p, i)->lastIndex, -1);
        EXPECT_EQ(A::TrickData(p, i), nullptr);
        EXPECT_EQ(A::TrickLen(p, i), 0);
        EXPECT_EQ(A::TrickNewSeg(p, i), 0);
        EXPECT_GE(r.Fd(i), 0);  // handles are not touched
    }
    // state, channel and playStatus stay: an invalid stream stays invalid
    EXPECT_EQ(A::Head(p, 0)->state, MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_STOP);
    EXPECT_EQ(A::Head(p, 2)->state, MSSP_STATUS_OVER);
    EXPECT_EQ(A::Head(p, 2)->playStatus, MSSP_STATUS_FAST_BACKWARD);
    EXPECT_EQ(A::Head(p, 1)->channel, 2);
    EXPECT_TRUE(r.host.Calls().empty());
}

TEST(ControlClear, ClearBufferChannel_OnlyThatStream_UnplayedRefused) {
    Rig r("clc", 2);
    r.Attach({1, 3});
    P& p = *r.p;
    for (int i = 0; i < 2; ++i) A::Head(p, i)->parseNum = 5;
    EXPECT_EQ(p.ClearBuffer(3), 0);
    EXPECT_EQ(A::Head(p, 1)->parseNum, 0u);
    EXPECT_EQ(A::Head(p, 0)->parseNum, 5u);

    testing::internal::CaptureStdout();
    EXPECT_EQ(p.ClearBuffer(2), -1);
    EXPECT_EQ(p.ClearBuffer(40), -1);
    // A played mask wider than the stream count (outside the contract): the
    // third channel has no stream index and must not reach one.
    A::ChnMask(p) = 0x1A;  // channels 1, 3, 4
    EXPECT_EQ(p.ClearBuffer(4), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ClearBuffer::current chn [2] is not a playback chn"), std::string::npos);
    EXPECT_NE(out.find("ClearBuffer::current chn [4] is not a playback chn"), std::string::npos);
    EXPECT_EQ(A::Head(p, 0)->parseNum, 5u);
}

// ---------------------------------------------------------------------------
// SetStatus without threads: refusals and the statuses that only write playStatus

TEST(ControlStatus, SetStatus_RefusedBeforeStartAndAfterStop) {
    Rig r("ref", 2);
    P& p = *r.p;
    MSSP_Time_t t{10, 0, 1};
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, &t), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("err:end"), std::string::npos);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_STOP);
    EXPECT_EQ(A::Speed(p), 0);  // nothing changes, not even the speed

    r.Start(0x3);
    ASSERT_EQ(p.StopParse(), 0);
    const uint8_t before = A::Head(p, 0)->playStatus;
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_PLAY, 0, nullptr), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("err:end"), std::string::npos);
    EXPECT_EQ(A::Head(p, 0)->playStatus, before);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_STOP);
}

TEST(ControlStatus, SetStatus_OtherValuesOnlyWritePlayStatus) {
    Rig r("oth", 2);
    r.Attach({0, 1});
    P& p = *r.p;
    A::Head(p, 0)->parseNum = 3;
    for (int status : {MSSP_STATUS_SEEK, MSSP_STATUS_INIT, MSSP_STATUS_OVER}) {
        SCOPED_TRACE(status);
        EXPECT_EQ(p.SetStatus(static_cast<MSSP_Status_t>(status), 16, nullptr), 0);
        EXPECT_EQ(A::Status(p), MSSP_STATUS_PLAY);
        EXPECT_EQ(A::Head(p, 0)->playStatus, status);
        EXPECT_EQ(A::Head(p, 1)->playStatus, status);
        EXPECT_EQ(A::Head(p, 0)->parseNum, 3u);  // not emptied
        EXPECT_EQ(A::Speed(p), 0);                // the speed is for 3 and 4 only
    }
    EXPECT_TRUE(r.host.Calls().empty());
}

TEST(ControlStatus, TrickPlayWithoutSlot_RefusedButSetStatusAccepts) {
    MSSP_StreamOperation_t ops = ScriptedHost::Table();
    ops.ReadNextIFrame = nullptr;
    ops.ReadPrevIFrame = nullptr;
    Rig r("nos", 2, {0, 1}, ops);
    r.Attach({0, 1});
    P& p = *r.p;
    A::Head(p, 0)->parseNum = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.FastForward(nullptr), -1);
    EXPECT_EQ(p.FastBackward(nullptr), -1);
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, nullptr), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("err:m_Operation.ReadNextIFrame is null"), std::string::npos);
    EXPECT_NE(out.find("err:m_Operation.ReadPrevIFrame is null"), std::string::npos);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_PLAY);  // kept
    EXPECT_EQ(A::Head(p, 1)->playStatus, MSSP_STATUS_FAST_FORWARD);
    EXPECT_EQ(A::Head(p, 0)->parseNum, 3u);  // nothing emptied
}

// ---------------------------------------------------------------------------
// Trick play records without threads

TEST(ControlStatus, FastForwardWithTime_RepositionsOpenStreamsOnPlayDate) {
    Rig r("ffr", 3);
    r.Attach({0, 2});  // stream 2 has no handle
    P& p = *r.p;
    A::PlayDate(p) = MSSP_PlayDate_t{0x0119, 3, 4};  // only the low byte of the year goes out
    A::Head(p, 0)->state = MSSP_STATUS_OVER;
    MSSP_Time_t t{11, 22, 33};
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_FAST_FORWARD, 16, &t), 0);
    const std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 2u);
    ExpectSeek(calls[0], r.Fd(0), DateTime{0x19, 3, 4, 11, 22, 33});
    ExpectSeek(calls[1], r.Fd(1), DateTime{0x19, 3, 4, 11, 22, 33});
    EXPECT_EQ(A::Status(p), MSSP_STATUS_FAST_FORWARD);
    EXPECT_EQ(A::Speed(p), 16);
    EXPECT_EQ(A::Head(p, 0)->state, MSSP_STATUS_PLAY);  // repositioned streams read again
    EXPECT_EQ(A::Head(p, 2)->state, MSSP_STATUS_STOP);  // no handle: skipped
    for (int i = 0; i < 3; ++i) EXPECT_EQ(A::Head(p, i)->playStatus, MSSP_STATUS_FAST_FORWARD);

    // Hour 255 is no time: emptied, not repositioned. A failing SeekStream is
    // not noticed.
    r.host.ClearLog();
    r.host.SetFault(0, 0, ScriptedHost::kSeek, {-1});
    A::Head(p, 0)->parseNum = 4;
    MSSP_Time_t none{255, 0, 0};
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_FAST_BACKWARD, 32, &none), 0);
    EXPECT_TRUE(ControlCalls(r.host).empty());
    EXPECT_EQ(A::Head(p, 0)->parseNum, 0u);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_FAST_BACKWARD);
    r.host.ClearLog();
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_PLAY, 0, &t), 0);
    ASSERT_EQ(ControlCalls(r.host).size(), 2u);
    EXPECT_EQ(A::Head(p, 0)->state, MSSP_STATUS_PLAY);  // whatever SeekStream returned
    EXPECT_EQ(A::Status(p), MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Speed(p), 32);  // a return to play keeps the speed
}

TEST(ControlStatus, EndedStream_FastBackwardRevives_FastForwardDoesNot) {
    Rig r("rev", 2);
    r.Attach({0, 1});
    P& p = *r.p;
    A::Head(p, 1)->state = MSSP_STATUS_OVER;
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, nullptr), 0);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_OVER);
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_FAST_BACKWARD, 8, nullptr), 0);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_PLAY);
    // ... but only with a handle
    A::Head(p, 1)->state = MSSP_STATUS_OVER;
    A::StreamFd(p, 0, 1) = -1;
    EXPECT_EQ(p.FastBackward(nullptr), 0);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_OVER);
    EXPECT_TRUE(ControlCalls(r.host).empty());
}

// ---------------------------------------------------------------------------
// Seek without threads: exact records and states

TEST(ControlSeek, AllPositioned_SeekEveryStreamInChannelOrder) {
    Rig r("sk1", 3);
    r.Attach({0, 1, 3});
    P& p = *r.p;
    A::Status(p) = MSSP_STATUS_FAST_BACKWARD;
    for (int i = 0; i < 3; ++i) A::Head(p, i)->playStatus = MSSP_STATUS_FAST_BACKWARD;
    std::memset(A::LastTime(p), 1, 3);
    Common::_datetime_ t{27, 5, 6, 10, 0, 7, 0};
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.Seek(&t, 123456789012ull), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 3u);
    for (int i = 0; i < 3; ++i) ExpectSeek(calls[i], r.Fd(i), Dt(t));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(A::Head(p, i)->state, MSSP_STATUS_PLAY);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(A::Head(p, i)->playStatus, MSSP_STATUS_FAST_BACKWARD);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_PLAY);  // a seek ends trick play
    EXPECT_EQ(A::PlayDate(p).year, 27);
    EXPECT_EQ(A::PlayDate(p).month, 5);
    EXPECT_EQ(A::PlayDate(p).day, 6);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(A::LastTime(p)[k], 255);
    EXPECT_NE(out.find("seek time:27-5-6 10:0:7 pts:123456789012"), std::string::npos);
    EXPECT_NE(out.find("======playback seek index=2 ch=3 stream=0"), std::string::npos);
    EXPECT_NE(out.find("seek over"), std::string::npos);
    EXPECT_NE(err.find("start seek"), std::string::npos);  // level 3 platform log
    EXPECT_NE(err.find("seek over"), std::string::npos);
}

TEST(ControlSeek, OneSeekFails_OnlyThatStreamRetired) {
    Rig r("sk2", 3);
    r.Attach({0, 1, 3});
    P& p = *r.p;
    const int h1 = r.Fd(1);
    r.host.SetFault(1, 0, ScriptedHost::kSeek, {-1});
    testing::internal::CaptureStdout();
    Common::_datetime_ t = At(10, 0, 4);
    EXPECT_EQ(p.Seek(&t, 0), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1].result, -1);
    ExpectClose(calls[3], h1);  // after the walk
    EXPECT_EQ(A::StreamFd(p, 0, 1), -1);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_STOP);
    EXPECT_EQ(A::Head(p, 0)->state, MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Head(p, 2)->state, MSSP_STATUS_PLAY);
    EXPECT_NE(out.find("stream 1 invalid"), std::string::npos);
    EXPECT_EQ(out.find("stream 0 invalid"), std::string::npos);
}

TEST(ControlSeek, EveryStreamFails_NothingClosed) {
    Rig r("sk3", 2);
    r.Attach({0, 1});
    P& p = *r.p;
    r.host.SetFault(0, 0, ScriptedHost::kSeek, {-1});
    r.host.SetFault(1, 0, ScriptedHost::kSeek, {-1});
    Common::_datetime_ t = At(10, 0, 4);
    EXPECT_EQ(p.Seek(&t, 0), 0);
    EXPECT_EQ(r.host.Count(ScriptedHost::kClose), 0);
    EXPECT_GE(r.Fd(0), 0);
    EXPECT_GE(r.Fd(1), 0);
    EXPECT_EQ(A::Head(p, 0)->state, MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_PLAY);
}

TEST(ControlSeek, StreamWithoutHandle_OpenedAtSeekTime_FailedOpenRetired) {
    Rig r("sk4", 3);
    r.Attach({0, 1, 3}, 0x06);  // type 1
    P& p = *r.p;
    A::StreamFd(p, 1, 1) = -1;
    A::StreamFd(p, 1, 2) = -1;
    A::Head(p, 1)->state = MSSP_STATUS_STOP;
    A::Head(p, 2)->state = MSSP_STATUS_STOP;
    A::Head(p, 2)->channel = -1;
    r.host.SetFault(3, 1, ScriptedHost::kOpen, {-1});
    Common::_datetime_ t = At(10, 0, 9);
    EXPECT_EQ(p.Seek(&t, 0), 0);
    const std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 3u);
    ExpectSeek(calls[0], r.Fd(0), Dt(t));
    ExpectOpen(calls[1], 1, 0x06, Dt(t));
    ExpectOpen(calls[2], 3, 0x06, Dt(t));
    EXPECT_EQ(A::StreamFd(p, 1, 1), calls[1].result);  // filed under the current type
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Head(p, 2)->state, MSSP_STATUS_STOP);
    EXPECT_EQ(A::Head(p, 2)->channel, 3);
    EXPECT_EQ(A::StreamFd(p, 1, 2), -1);  // nothing to close
}

TEST(ControlSeek, PlayedMaskWiderThanStreams_StopsAtLastStreamIndex) {
    Rig r("sk5", 2);
    r.Attach({0, 1});
    P& p = *r.p;
    A::ChnMask(p) = 0x7;  // a third channel without a stream index
    Common::_datetime_ t = At(10, 0, 4);
    EXPECT_EQ(p.Seek(&t, 0), 0);
    const std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].slot, ScriptedHost::kSeek);
    EXPECT_EQ(calls[1].slot, ScriptedHost::kSeek);
}

// ---------------------------------------------------------------------------
// Stream-type switching without threads

TEST(ControlSwitch, SomeChannels_OpenNewCloseOldThenRepositionOthers) {
    Rig r("sw1", 3);
    r.Attach({0, 2, 3});
    P& p = *r.p;
    const int old1 = r.Fd(1);
    const int keep0 = r.Fd(0), keep2 = r.Fd(2);
    A::Head(p, 0)->parseNum = A::Head(p, 1)->parseNum = A::Head(p, 2)->parseNum = 6;
    r.host.SetFault(3, 0, ScriptedHost::kSeek, {-1});
    Common::_datetime_ t = At(10, 0, 5);
    EXPECT_EQ(p.SwitchStream(0x4u, 0x02, &t), 0);
    const std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 4u);
    ExpectOpen(calls[0], 2, 0x02, Dt(t));
    ExpectClose(calls[1], old1);
    ExpectSeek(calls[2], keep0, Dt(t));
    ExpectSeek(calls[3], keep2, Dt(t));
    EXPECT_EQ(A::StreamFd(p, 1, 1), calls[0].result);
    EXPECT_EQ(A::StreamFd(p, 0, 1), -1);
    EXPECT_EQ(A::CurStreamType(p, 1), 1);
    EXPECT_EQ(A::StreamTypeBmp(p, 1), 0x02);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Head(p, 1)->parseNum, 0u);  // switched: emptied
    EXPECT_EQ(A::Head(p, 0)->parseNum, 0u);  // repositioned: emptied
    EXPECT_EQ(A::Head(p, 2)->parseNum, 6u);  // repositioning failed: keeps its ring
    EXPECT_EQ(A::Head(p, 2)->state, MSSP_STATUS_PLAY);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_PLAY);
}

TEST(ControlSwitch, SomeChannels_StopsAtUnplayedChannelOrExistingHandle) {
    Rig r("sw2", 2);
    r.Attach({0, 2});
    P& p = *r.p;
    Common::_datetime_ t = At(10, 0, 5);
    testing::internal::CaptureStdout();
    // channel 0 switches, channel 1 is not played: stop, no repositioning
    EXPECT_EQ(p.SwitchStream(0x3u, 0x04, &t), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SwitchStream::current chn [1] is not a playback chn"), std::string::npos);
    EXPECT_EQ(r.host.Count(ScriptedHost::kOpen), 1);
    EXPECT_EQ(r.host.Count(ScriptedHost::kSeek), 0);
    EXPECT_EQ(A::CurStreamType(p, 0), 2);

    // a handle of the new type already there: stop before opening
    r.host.ClearLog();
    A::StreamFd(p, 1, 1) = 77;
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SwitchStream(0x4u, 0x02, &t), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SwitchStream::chn [2] streamtype[1] fd is exist???"), std::string::npos);
    EXPECT_TRUE(ControlCalls(r.host).empty());
    EXPECT_EQ(A::CurStreamType(p, 1), 0);

    // already of that type: left alone, and with nothing switched no repositioning
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SwitchStream(0x1u, 0x04, &t), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SwitchStream::chn [0] StreamType is already [2]"), std::string::npos);
    EXPECT_TRUE(ControlCalls(r.host).empty());

    // bits above 2: refused before parking
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SwitchStream(0x1u, 0x08, &t), -1);
    EXPECT_EQ(p.SwitchStream(0x1u, -1, &t), -1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SwitchStream::invalid StreamType [8]"), std::string::npos);
    EXPECT_EQ(out.find("Idle start"), std::string::npos);
    EXPECT_TRUE(ControlCalls(r.host).empty());
}

TEST(ControlSwitch, SomeChannels_FailedOpenClosesOldAndLaterSeekReopensNewType) {
    Rig r("sw3", 2);
    r.Attach({0, 2});
    P& p = *r.p;
    const int old1 = r.Fd(1);
    r.host.SetFault(2, 2, ScriptedHost::kOpen, {-1, 0, 1});
    Common::_datetime_ t = At(10, 0, 5);
    EXPECT_EQ(p.SwitchStream(0x4u, 0x04, &t), 0);
    std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 2u);  // nothing switched: no repositioning
    ExpectOpen(calls[0], 2, 0x04, Dt(t));
    ExpectClose(calls[1], old1);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_STOP);
    EXPECT_EQ(A::Head(p, 1)->channel, 2);
    EXPECT_EQ(A::CurStreamType(p, 1), 2);
    EXPECT_EQ(A::StreamFd(p, 0, 1), -1);

    r.host.ClearLog();
    Common::_datetime_ t2 = At(10, 0, 6);
    EXPECT_EQ(p.Seek(&t2, 0), 0);
    calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 2u);
    ExpectOpen(calls[1], 2, 0x04, Dt(t2));
    EXPECT_EQ(r.host.Handle(A::StreamFd(p, 2, 1)).type, 2);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_PLAY);
}

TEST(ControlSwitch, AllStreams_ReopenCarriesNewTypeAndOldHandlesStay) {
    Rig r("swa", 2);
    r.Attach({0, 2}, 0x01);
    P& p = *r.p;
    const int old0 = r.Fd(0), old1 = r.Fd(1);
    Common::_datetime_ t = At(10, 0, 3);
    EXPECT_EQ(p.SwitchStream(2, &t), 0);
    std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 2u);
    // The host must be asked for the new type, not the StartParse bitmap.
    ExpectOpen(calls[0], 0, 0x04, Dt(t));
    ExpectOpen(calls[1], 2, 0x04, Dt(t));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(A::CurStreamType(p, i), 2);
        EXPECT_EQ(A::StreamTypeBmp(p, i), 0x04);
        EXPECT_EQ(r.host.Handle(A::StreamFd(p, 2, i)).type, 2);
        EXPECT_EQ(A::Head(p, i)->state, MSSP_STATUS_PLAY);
    }
    EXPECT_EQ(A::StreamFd(p, 0, 0), old0);  // not closed
    EXPECT_EQ(A::StreamFd(p, 0, 1), old1);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_PLAY);

    // nothing to do as soon as one stream has the type; invalid types refused
    r.host.ClearLog();
    EXPECT_EQ(p.SwitchStream(2, &t), 0);
    EXPECT_EQ(p.SwitchStream(3, &t), -1);
    EXPECT_EQ(p.SwitchStream(-1, &t), -1);
    EXPECT_TRUE(ControlCalls(r.host).empty());

    // back to type 0: the old handles are repositioned, not reopened
    EXPECT_EQ(p.SwitchStream(0, &t), 0);
    calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 2u);
    ExpectSeek(calls[0], old0, Dt(t));
    ExpectSeek(calls[1], old1, Dt(t));
    EXPECT_EQ(A::StreamTypeBmp(p, 0), 0x01);
}

// ---------------------------------------------------------------------------
// Channel switching without threads

TEST(ControlChannels, CloseEveryCurrentThenOpenKthWithTypeOfIndexK) {
    Rig r("ch1", 3, {0, 1, 2, 3, 5});
    r.Attach({0, 2});
    P& p = *r.p;
    // stream 1 reads type 1; stream 2 had no channel
    Common::_datetime_ t0 = At(10, 0, 1);
    ASSERT_EQ(p.SwitchStream(0x4u, 0x02, &t0), 0);
    const int old0 = r.Fd(0), old1 = r.Fd(1);
    A::Status(p) = MSSP_STATUS_FAST_FORWARD;
    for (int i = 0; i < 3; ++i) A::Head(p, i)->playStatus = MSSP_STATUS_FAST_FORWARD;
    std::memset(A::LastTime(p), 1, 3);
    r.host.ClearLog();

    Common::_datetime_ t{26, 2, 3, 9, 8, 7, 0};
    EXPECT_EQ(p.SwitchPlaybackChannels(0x2Au, &t), 0);  // channels 1, 3, 5
    const std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 5u);
    ExpectClose(calls[0], old0);
    ExpectClose(calls[1], old1);
    ExpectOpen(calls[2], 1, 0x01, Dt(t));
    ExpectOpen(calls[3], 3, 0x02, Dt(t));
    ExpectOpen(calls[4], 5, 0x01, Dt(t));
    EXPECT_EQ(A::StreamFd(p, 1, 1), calls[3].result);
    EXPECT_EQ(r.host.Handle(calls[3].result).type, 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(A::Head(p, i)->state, MSSP_STATUS_FAST_FORWARD);  // the play status
        EXPECT_EQ(A::Head(p, i)->channel, 1 + 2 * i);
        EXPECT_EQ(A::Head(p, i)->playStatus, MSSP_STATUS_FAST_FORWARD);
    }
    EXPECT_EQ(A::ChnMask(p), 0x2Au);
    EXPECT_EQ(A::Status(p), MSSP_STATUS_FAST_FORWARD);
    EXPECT_EQ(A::PlayDate(p).month, 2);
    EXPECT_EQ(A::PlayDate(p).day, 3);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(A::LastTime(p)[k], 255);
}

TEST(ControlChannels, TooManyChannels_ExtraNotOpenedAndMaskKeepsOpenedOnly) {
    Rig r("ch2", 2);
    r.Attach({0, 1});
    P& p = *r.p;
    r.host.SetFault(3, 0, ScriptedHost::kOpen, {-1});
    Common::_datetime_ t = At(10, 0, 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SwitchPlaybackChannels(0x0Eu, &t), 0);  // channels 1, 2, 3
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("To much new channels to playback, max=2 mask=0xe"), std::string::npos);
    EXPECT_EQ(r.host.Count(ScriptedHost::kOpen), 2);
    EXPECT_EQ(A::ChnMask(p), 0x06u);
    EXPECT_EQ(A::Head(p, 1)->channel, 2);

    // exactly m_StreamNum channels: no warning; a failed open invalidates its index
    r.host.ClearLog();
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SwitchPlaybackChannels(0x09u, &t), 0);  // channels 0, 3
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("To much new channels"), std::string::npos);
    EXPECT_NE(out.find("open stream=0 index 1 failed"), std::string::npos);
    EXPECT_EQ(A::Head(p, 1)->state, MSSP_STATUS_STOP);
    EXPECT_EQ(A::Head(p, 0)->state, MSSP_STATUS_PLAY);

    // the trimmed mask keeps later operations inside the stream indexes
    ASSERT_EQ(p.SwitchPlaybackChannels(0x0Fu, &t), 0);
    r.host.ClearLog();
    EXPECT_EQ(p.Seek(&t, 0), 0);
    EXPECT_EQ(ControlCalls(r.host).size(), 2u);
    EXPECT_EQ(p.ClearBuffer(2), -1);
}

// A stream index that changes channel must not keep handles of its old
// channel: a later switch back to their type would read the old channel's
// recording, and an open into their slot would leak them.
TEST(ControlChannels, MovedStreamsDropOldChannelsOtherTypeHandles) {
    Rig r("ch3", 2);
    r.Attach({0, 2});
    P& p = *r.p;
    Common::_datetime_ t = At(10, 0, 3);
    ASSERT_EQ(p.SwitchStream(1, &t), 0);  // type-0 handles stay open
    const int keep = A::StreamFd(p, 0, 0), moved = A::StreamFd(p, 0, 1);
    const int cur0 = r.Fd(0), cur1 = r.Fd(1);
    r.host.ClearLog();

    ASSERT_EQ(p.SwitchPlaybackChannels(0x9u, &t), 0);  // index 0 keeps channel 0, index 1 gets 3
    std::vector<Call> calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 5u);
    ExpectClose(calls[0], cur0);
    ExpectClose(calls[1], cur1);
    ExpectClose(calls[2], moved);
    ExpectOpen(calls[3], 0, 0x02, Dt(t));
    ExpectOpen(calls[4], 3, 0x02, Dt(t));
    EXPECT_EQ(A::StreamFd(p, 0, 0), keep);
    EXPECT_EQ(A::StreamFd(p, 0, 1), -1);

    r.host.ClearLog();
    ASSERT_EQ(p.SwitchStream(0, &t), 0);
    calls = ControlCalls(r.host);
    ASSERT_EQ(calls.size(), 2u);
    ExpectSeek(calls[0], keep, Dt(t));  // same channel: repositioned
    ExpectOpen(calls[1], 3, 0x01, Dt(t));
    EXPECT_EQ(r.host.OpenHandles(), 4);
}

// ---------------------------------------------------------------------------
// With the reader threads: rings emptied and refilled from the new position

TEST(ControlPlaying, SetStatusPlayInNormalPlay_NoParkNoClear) {
    Rig r("pl1", 2);
    r.Start(0x5);
    P& p = *r.p;
    ASSERT_TRUE(WaitFor([&] { return mssp::LoadAcquire(A::Head(p, 0)->parseNum) >= 3; }));
    const uint64_t oldest = A::Nodes(p, 0)[0].pts;
    r.host.ClearLog();
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SetStatus(MSSP_STATUS_PLAY, 0, nullptr), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("idle wait"), std::string::npos);
    EXPECT_TRUE(ControlCalls(r.host).empty());
    EXPECT_EQ(mssp::LoadAcquire(A::Cursor(p, 0)->getIndex), 0u);
    EXPECT_GE(mssp::LoadAcquire(A::Head(p, 0)->parseNum), 3u);
    EXPECT_EQ(A::Nodes(p, 0)[0].pts, oldest);  // the oldest frame is still waiting
    EXPECT_EQ(mssp::LoadAcquire(A::Status(p)), MSSP_STATUS_PLAY);
    const std::vector<Frame> f = r.Drain(1);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].pts, IFramePts(0, 0));
}

TEST(ControlPlaying, Seek_RefillsEveryStreamFromSeekTime) {
    Rig r("pl2", 2);
    r.Start(0x5);
    P& p = *r.p;
    ASSERT_EQ(r.Drain(4).size(), 4u);
    Common::_datetime_ t = At(10, 0, 13);  // second segment
    EXPECT_EQ(p.Seek(&t, 0), 0);
    const std::vector<Frame> f = r.Drain(12);
    ASSERT_EQ(f.size(), 12u);
    const std::map<int, Frame> first = FirstPerChannel(f);
    ASSERT_EQ(first.size(), 2u);
    for (const auto& [channel, fr] : first) {
        EXPECT_EQ(fr.type, MSSP_FRAME_I) << channel;
        EXPECT_EQ(fr.pts, IFramePts(0, 13)) << channel;
    }
    for (const Frame& fr : f) {
        EXPECT_TRUE(fr.intact);
        EXPECT_GE(fr.pts, IFramePts(0, 13));
    }
}

struct StepCase {
    int speed;
    int code;
    int gopsPerStep;  // the scripted host moves 1 + skip I-frames per step
};

class TrickSpeed : public testing::TestWithParam<StepCase> {};

TEST_P(TrickSpeed, FastForward_IFramesOnlyForwardWithStepCode) {
    const StepCase sc = GetParam();
    Rig r("ffs", 2);
    r.Start(0x5);
    P& p = *r.p;
    ASSERT_EQ(r.Drain(2).size(), 2u);
    MSSP_Time_t t{10, 0, 2};
    ASSERT_EQ(p.SetStatus(MSSP_STATUS_FAST_FORWARD, sc.speed, &t), 0);
    std::vector<uint64_t> want;
    for (int g = 2; g < kGops && want.size() < 4; g += sc.gopsPerStep) want.push_back(IFramePts(0, g));
    const std::vector<Frame> f = r.Drain(2 * want.size());
    ASSERT_EQ(f.size(), 2 * want.size());
    std::map<int, std::vector<uint64_t>> got;
    for (const Frame& fr : f) {
        EXPECT_EQ(fr.type, MSSP_FRAME_I);
        EXPECT_TRUE(fr.intact);
        got[fr.channel].push_back(fr.pts);
    }
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[2], want);
    const std::vector<Call> reads = r.host.CallsOf(ScriptedHost::kNextIFrame);
    ASSERT_FALSE(reads.empty());
    for (const Call& c : reads) EXPECT_EQ(c.step, sc.code);
    EXPECT_EQ(r.host.Count(ScriptedHost::kPrevIFrame), 0);
    EXPECT_EQ(mssp::LoadAcquire(A::Status(p)), MSSP_STATUS_FAST_FORWARD);
}

INSTANTIATE_TEST_SUITE_P(Speeds, TrickSpeed,
                         testing::Values(StepCase{8, 1, 2}, StepCase{16, 2, 4}, StepCase{32, 31, 8},
                                         StepCase{4, 0, 1}),
                         [](const testing::TestParamInfo<StepCase>& info) {
                             return "Speed" + std::to_string(info.param.speed);
                         });

TEST(ControlPlaying, FastBackward_IFramesBackwardRevivesEndedThenPlayResumes) {
    Rig r("fbk", 2);
    r.SetRecording(2, 0, 2);  // channel 2 ends after two GOPs
    r.Start(0x5);
    P& p = *r.p;
    ASSERT_TRUE(WaitFor([&] { return r.State(1) == MSSP_STATUS_OVER; }));
    // fast forward leaves the ended stream alone
    ASSERT_EQ(p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, nullptr), 0);
    ASSERT_TRUE(WaitFor([&] { return r.host.Count(ScriptedHost::kNextIFrame) >= 3; }));
    EXPECT_EQ(r.State(1), MSSP_STATUS_OVER);
    for (const Call& c : r.host.CallsOf(ScriptedHost::kNextIFrame)) EXPECT_EQ(c.channel, 0);

    MSSP_Time_t t{10, 0, 20};
    r.host.ClearLog();
    ASSERT_EQ(p.SetStatus(MSSP_STATUS_FAST_BACKWARD, 16, &t), 0);
    // channel 0: GOPs 20, 16, 12, 8, 4, 0; channel 2: its last GOP, 1
    std::vector<Frame> f = r.Drain(7, -1);
    ASSERT_EQ(f.size(), 7u);
    std::map<int, std::vector<uint64_t>> got;
    for (const Frame& fr : f) {
        EXPECT_EQ(fr.type, MSSP_FRAME_I);
        EXPECT_TRUE(fr.intact);
        got[fr.channel].push_back(fr.pts);
    }
    // from 10:00:20 backward by four GOPs (step code 2)
    const std::vector<uint64_t> want0{IFramePts(0, 20), IFramePts(0, 16), IFramePts(0, 12),
                                      IFramePts(0, 8), IFramePts(0, 4), IFramePts(0, 0)};
    EXPECT_EQ(got[0], want0);
    EXPECT_EQ(got[2], std::vector<uint64_t>{IFramePts(0, 1)});  // the ended stream plays again
    for (const Call& c : r.host.CallsOf(ScriptedHost::kPrevIFrame)) EXPECT_EQ(c.step, 2);
    EXPECT_EQ(mssp::LoadAcquire(A::Head(p, 0)->playStatus), MSSP_STATUS_FAST_BACKWARD);

    // back to normal play at a time: P-frames again, from that time
    MSSP_Time_t back{10, 0, 6};
    ASSERT_EQ(p.SetStatus(MSSP_STATUS_PLAY, 0, &back), 0);
    f = r.Drain(14);  // channel 2's last GOP (earlier pts) comes first, then channel 0
    ASSERT_EQ(f.size(), 14u);
    std::vector<Frame> ch0;
    for (const Frame& fr : f)
        if (fr.channel == 0) ch0.push_back(fr);
    ASSERT_GE(ch0.size(), 2u);
    EXPECT_EQ(ch0[0].pts, IFramePts(0, 6));
    EXPECT_EQ(ch0[1].type, MSSP_FRAME_P);
    EXPECT_EQ(mssp::LoadAcquire(A::Status(p)), MSSP_STATUS_PLAY);
}

TEST(ControlPlaying, SwitchTypeAndChannels_FramesComeFromNewStreams) {
    Rig r("swp", 2);
    r.Start(0x5);
    P& p = *r.p;
    ASSERT_EQ(r.Drain(2).size(), 2u);
    Common::_datetime_ t = At(10, 0, 8);
    ASSERT_EQ(p.SwitchStream(0x4u, 0x02, &t), 0);
    std::vector<Frame> f = r.Drain(10);
    ASSERT_EQ(f.size(), 10u);
    std::map<int, Frame> first = FirstPerChannel(f);
    EXPECT_EQ(first[0].pts, IFramePts(0, 8));
    EXPECT_EQ(first[2].pts, IFramePts(1, 8));  // type 1 of channel 2
    for (const Frame& fr : f) EXPECT_TRUE(fr.intact);

    Common::_datetime_ t2 = At(10, 0, 15);
    ASSERT_EQ(p.SwitchPlaybackChannels(0xAu, &t2), 0);  // channels 1, 3; index 1 keeps type 1
    f = r.Drain(10);
    ASSERT_EQ(f.size(), 10u);
    first = FirstPerChannel(f);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[1].pts, IFramePts(0, 15));
    EXPECT_EQ(first[3].pts, IFramePts(1, 15));
    for (const Frame& fr : f) EXPECT_TRUE(fr.intact);
}

// Playback control: play status and trick play, buffer clearing, seek,
// stream-type and channel switching. Streams are attached by hand with no
// reader thread (Idle returns at once), so that each operation is one table
// row: what it asked of the host (opens, seeks, closes in order), the state
// and ring of every stream after it, and its message. One test runs the real
// reader threads to see the rings refilled from the new position.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "ScriptedHost.h"
#include "TestAccess.h"

using A = MsspTestAccess;
using msspt::DateTime;
using msspt::ScriptedHost;
using P = CMultiStreamSyncParser;

namespace {

constexpr int kGroup = 6;
constexpr int kBufSize = 4 * 65536;
constexpr int kGop = 10;  // frames per GOP, one GOP a second, 40 ms apart
const DateTime kStart{26, 1, 2, 10, 0, 0};
Common::_datetime_ At(int second) { return {kStart[0], kStart[1], kStart[2], 10, 0, static_cast<uint8_t>(second), 0}; }
Common::_datetime_ kT = At(5);  // the time every operation of the table is given

// Pts of GOP g's I-frame of stream type `type` (the types are a few ms apart).
uint64_t IFramePts(int type, int g) { return 1000 + 7ull * type + static_cast<uint64_t>(g) * kGop * 40; }

class Rig {
public:
    Rig(int streams, MSSP_StreamOperation_t ops = ScriptedHost::Table()) : name_(msspt::UniqueName("pc")), ops_(ops) {
        for (int c : {0, 1, 2, 3, 5})
            for (int t = 0; t < MSSP_STREAM_TYPES; ++t) SetRecording(c, t, 24);
        p = std::make_unique<P>(kGroup, streams, name_.data(), kBufSize, 32, &ops_, &host, 9);
    }
    ~Rig() {
        p->StopParse();
        p.reset();
        msspt::RemoveKeyFile(name_, kGroup);
    }
    void SetRecording(int channel, int type, int gops) {
        msspt::SynthSpec s;
        s.channel = static_cast<uint8_t>(channel);
        s.segments = gops >= 2 ? 2 : 1;
        s.gopsPerSegment = gops / s.segments;
        s.gop = kGop;
        s.firstPts = IFramePts(type, 0);
        s.start = kStart;
        s.pPayload = 1500;
        msspt::RecordingBuilder b = msspt::MakeSynthetic(s);
        for (const msspt::PackInfo& pk : b.packs) packs_[{channel, pk.pts}] = pk.bytes;
        host.SetRecording(channel, type, std::move(b.recording));
    }

    // Streams attached by hand, no reader thread: channel k of `channels`
    // gets stream index k and a handle (10 + k) of `bmp`'s type; every stream
    // holds six waiting frames (to see which ones an operation empties).
    void Attach(const std::vector<int>& channels, uint8_t bmp) {
        int type = 0;
        while (!(bmp & (1 << type))) ++type;
        A::ChnMask(*p) = 0;
        for (int i = 0; i < A::StreamNum(*p); ++i) {
            const bool used = i < static_cast<int>(channels.size());
            MSSP_OpenParam_t req{};
            req.channel = static_cast<uint8_t>(used ? channels[i] : 0);
            req.streamTypeBmp = bmp;
            if (used) A::StreamFd(*p, type, i) = ScriptedHost::OpenStream(&host, &req, 1);
            A::CurStreamType(*p, i) = type;
            A::StreamTypeBmp(*p, i) = bmp;
            A::Head(*p, i)->channel = used ? channels[i] : -1;
            A::Head(*p, i)->state = A::Head(*p, i)->playStatus = used ? MSSP_STATUS_PLAY : MSSP_STATUS_STOP;
            A::Head(*p, i)->parseNum = 6;
            A::ChnMask(*p) |= used ? 1u << channels[i] : 0;
        }
        A::PlayDate(*p) = MSSP_PlayDate_t{kStart[0], kStart[1], kStart[2]};
        A::OpenParam(*p) = 0x1234;
        A::OpenFlag(*p) = 1;
        A::Status(*p) = MSSP_STATUS_PLAY;
        A::Running(*p) = 1;
        host.ClearLog();
    }

    // The opens, seeks and closes asked of the host: "O<channel>:<bitmap>",
    // "S<handle>", "C<handle>", with "@<date/time>" when not kT's and "!"
    // when an open's parameter or flag are not StartParse's.
    std::string Trace() const {
        std::string out;
        for (const ScriptedHost::Call& c : host.Calls()) {
            char s[64];
            if (c.slot == ScriptedHost::kOpen)
                std::snprintf(s, sizeof(s), " O%d:%02x%s", c.channel, c.bitmap,
                              c.openParam == 0x1234 && c.openFlag == 1 ? "" : "!");
            else if (c.slot == ScriptedHost::kSeek || c.slot == ScriptedHost::kClose)
                std::snprintf(s, sizeof(s), " %c%d%s", c.slot == ScriptedHost::kSeek ? 'S' : 'C', c.handle,
                              c.slot == ScriptedHost::kClose && c.flag != 0 ? "!" : "");
            else
                continue;
            out += s;
            if (c.slot != ScriptedHost::kClose && c.time != DateTime{kT.year, kT.month, kT.day, kT.hour, kT.minute, kT.second})
                out += "@" + std::to_string(c.time[0]) + "-" + std::to_string(c.time[1]) + "-" + std::to_string(c.time[2]) +
                       " " + std::to_string(c.time[3]) + ":" + std::to_string(c.time[4]) + ":" + std::to_string(c.time[5]);
        }
        return out.empty() ? out : out.substr(1);
    }
    // Per stream: its state (I P K F B O S by value) and whether its ring was emptied (e) or kept (k).
    std::string States() const {
        std::string out;
        for (int i = 0; i < A::StreamNum(*p); ++i) {
            out += "IPKFBOS"[mssp::LoadAcquire(A::Head(*p, i)->state)];
            out += A::Head(*p, i)->parseNum == 0 ? 'e' : 'k';
        }
        return out;
    }

    // Takes `count` frames (or fewer when 5 s pass) as a playback thread
    // would; returns channel -> pts of the first frames each channel gave,
    // and counts frames whose bytes are not the recorded pack.
    std::map<int, std::vector<uint64_t>> Drain(size_t count, int* bad, int direction = 1) {
        std::map<int, std::vector<uint64_t>> got;
        size_t n = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (n < count && std::chrono::steady_clock::now() < end) {
            unsigned char *d1 = nullptr, *d2 = nullptr;
            int l1 = 0, l2 = 0, type = 0, channel = -1;
            unsigned long long pts = 0;
            const int idx = p->GetFrame(&d1, &l1, &d2, &l2, &type, &pts, nullptr, &channel, direction, 0);
            if (idx < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            msspt::Bytes bytes(d1, d1 + l1);
            if (l2 > 0) bytes.insert(bytes.end(), d2, d2 + l2);
            *bad += packs_[{channel, pts}] != bytes;
            got[channel].push_back(pts);
            ++n;
            p->ReleaseFrame(idx);
        }
        return got;
    }

    ScriptedHost host;
    std::unique_ptr<P> p;

private:
    std::string name_;
    MSSP_StreamOperation_t ops_;
    std::map<std::pair<int, uint64_t>, msspt::Bytes> packs_;
};

struct Op {
    const char* what;
    int streams;
    std::vector<int> channels;
    uint8_t bmp;
    std::function<int(Rig&, P&)> run;  // returns the operation's result
    int result;
    const char* trace;
    const char* states;
    const char* message;  // part of the standard output; "" = none checked
};
void PrintTo(const Op& op, std::ostream* os) { *os << op.what; }

int Fail(Rig& r, int channel, int type, ScriptedHost::Slot slot) {
    r.host.SetFault(channel, type, slot, {-1});
    return 0;
}

const Op kOps[] = {
    // Seek
    {"seek: every stream in channel order", 3, {0, 1, 3}, 0x01,
     [](Rig&, P& p) {
         A::Status(p) = MSSP_STATUS_FAST_BACKWARD;
         std::memset(A::LastTime(p), 1, 3);
         const int r = p.Seek(&kT, 123456789012ull);
         const bool forgot = A::LastTime(p)[0] == 255 && A::LastTime(p)[2] == 255;
         return A::Status(p) == MSSP_STATUS_PLAY && forgot ? r : -9;
     },
     0, "S10 S11 S12", "PePePe", "seek time:26-1-2 10:0:5 pts:123456789012"},
    {"seek: one fails, only that stream retired", 3, {0, 1, 3}, 0x01,
     [](Rig& r, P& p) { return Fail(r, 1, 0, ScriptedHost::kSeek) + p.Seek(&kT, 0); }, 0, "S10 S11 S12 C11",
     "PeSePe", "stream 1 invalid"},
    {"seek: every one fails, nothing closed", 2, {0, 1}, 0x01,
     [](Rig& r, P& p) { return Fail(r, 0, 0, ScriptedHost::kSeek) + Fail(r, 1, 0, ScriptedHost::kSeek) + p.Seek(&kT, 0); },
     0, "S10 S11", "PePe", ""},
    {"seek: streams without a handle opened, a failed open retired", 3, {0}, 0x06,
     [](Rig& r, P& p) {
         A::ChnMask(p) = 0x0B;  // channels 0, 1, 3
         return Fail(r, 3, 1, ScriptedHost::kOpen) + p.Seek(&kT, 0) + (A::StreamFd(p, 1, 1) == 11 ? 0 : -9);
     },
     0, "S10 O1:06 O3:06", "PePeSe", ""},
    {"seek: played mask wider than the streams", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         A::ChnMask(p) = 0x7;
         return p.Seek(&kT, 0);
     },
     0, "S10 S11", "PePe", ""},
    // Stream type of some channels
    {"switch: open new, close old, then reposition the others", 3, {0, 2, 3}, 0x01,
     [](Rig& r, P& p) {
         const int res = Fail(r, 3, 0, ScriptedHost::kSeek) + p.SwitchStream(0x4u, 0x02, &kT);
         return A::StreamFd(p, 1, 1) == 13 && A::StreamFd(p, 0, 1) == -1 && A::CurStreamType(p, 1) == 1 &&
                        A::StreamTypeBmp(p, 1) == 0x02
                    ? res
                    : -9;
     },
     0, "O2:02 C11 S10 S12", "PePePk", ""},
    {"switch: stops at an unplayed channel", 2, {0, 2}, 0x01,
     [](Rig&, P& p) { return p.SwitchStream(0x3u, 0x04, &kT) + (A::CurStreamType(p, 0) == 2 ? 0 : -9); }, 0, "O0:04 C10",
     "PePk", "SwitchStream::current chn [1] is not a playback chn"},
    {"switch: a handle of the new type is there", 2, {0, 2}, 0x01,
     [](Rig&, P& p) {
         A::StreamFd(p, 1, 1) = 77;
         return p.SwitchStream(0x4u, 0x02, &kT) + A::CurStreamType(p, 1);
     },
     0, "", "PkPk", "SwitchStream::chn [2] streamtype[1] fd is exist???"},
    {"switch: already of that type", 2, {0, 2}, 0x04, [](Rig&, P& p) { return p.SwitchStream(0x1u, 0x04, &kT); }, 0,
     "", "PkPk", "SwitchStream::chn [0] StreamType is already [2]"},
    {"switch: bits above 2 refused", 2, {0, 2}, 0x01,
     [](Rig&, P& p) { return p.SwitchStream(0x1u, 0x08, &kT) + p.SwitchStream(0x1u, -1, &kT) + 1; }, -1, "", "PkPk",
     "SwitchStream::invalid StreamType [8]"},
    {"switch: a failed open closes the old, a later seek opens the new type", 2, {0, 2}, 0x01,
     [](Rig& r, P& p) {
         r.host.SetFault(2, 2, ScriptedHost::kOpen, {-1, 0, 1});
         const int res = p.SwitchStream(0x4u, 0x04, &kT);
         if (A::Head(p, 1)->state != MSSP_STATUS_STOP || A::Head(p, 1)->channel != 2) return -9;
         return res + p.Seek(&kT, 0) + (A::StreamFd(p, 2, 1) == 12 ? 0 : -9);
     },
     0, "O2:04 C11 S10 O2:04", "PePe", ""},
    // Stream type of all streams
    {"switch all: new type opened, old handles kept and repositioned on the way back", 2, {0, 2}, 0x01,
     [](Rig&, P& p) {
         int res = p.SwitchStream(2, &kT);
         if (A::StreamTypeBmp(p, 1) != 0x04 || A::StreamFd(p, 0, 1) != 11) return -9;
         res += p.SwitchStream(2, &kT) + p.SwitchStream(3, &kT) + p.SwitchStream(-1, &kT) + 2;
         return res + p.SwitchStream(0, &kT) + (A::StreamTypeBmp(p, 0) == 0x01 ? 0 : -9);
     },
     0, "O0:04 O2:04 S10 S11", "PePe", ""},
    // Channels
    {"channels: close every current, open the kth with index k's type", 3, {0, 2}, 0x01,
     [](Rig& r, P& p) {
         p.SwitchStream(0x4u, 0x02, &kT);  // index 1 reads type 1 (handle 12)
         r.host.ClearLog();
         A::Status(p) = MSSP_STATUS_FAST_FORWARD;
         for (int i = 0; i < 3; ++i) A::Head(p, i)->playStatus = MSSP_STATUS_FAST_FORWARD;
         std::memset(A::LastTime(p), 1, 3);
         Common::_datetime_ t{26, 2, 3, 10, 0, 5, 0};
         const int res = p.SwitchPlaybackChannels(0x2Au, &t);  // channels 1, 3, 5
         return A::ChnMask(p) == 0x2Au && A::PlayDate(p).day == 3 && A::LastTime(p)[2] == 255 &&
                        A::Head(p, 2)->channel == 5 && A::StreamFd(p, 1, 1) == 14
                    ? res
                    : -9;
     },
     0, "C10 C12 O1:01@26-2-3 10:0:5 O3:02@26-2-3 10:0:5 O5:01@26-2-3 10:0:5", "FeFeFe", ""},
    {"channels: too many, the extra not opened and the mask trimmed", 2, {0, 1}, 0x01,
     [](Rig&, P& p) { return p.SwitchPlaybackChannels(0x0Eu, &kT) + (A::ChnMask(p) == 0x06u ? 0 : -9); }, 0,
     "C10 C11 O1:01 O2:01", "PePe", "To much new channels to playback, max=2 mask=0xe"},
    {"channels: a failed open retires its index, the trimmed mask bounds later operations", 2, {0, 1}, 0x01,
     [](Rig& r, P& p) {
         const int res = Fail(r, 3, 0, ScriptedHost::kOpen) + p.SwitchPlaybackChannels(0x09u, &kT);
         p.SwitchPlaybackChannels(0x0Fu, &kT);
         r.host.ClearLog();
         return res + p.Seek(&kT, 0) + p.ClearBuffer(2) + 1;
     },
     0, "S13 S14", "PePe", "open stream=0 index 1 failed"},
    // A stream index that changes channel must not keep its old channel's
    // handles of other types: a switch back would read the old channel.
    {"channels: a moved stream drops the old channel's other handles", 2, {0, 2}, 0x01,
     [](Rig& r, P& p) {
         p.SwitchStream(1, &kT);  // type-0 handles 10, 11 stay open
         r.host.ClearLog();
         const int res = p.SwitchPlaybackChannels(0x9u, &kT) + p.SwitchStream(0, &kT);
         return r.host.OpenHandles() == 4 ? res : -9;
     },
     0, "C12 C13 C11 O0:02 O3:02 S10 O3:01", "PePe", ""},
    // Status
    {"fast forward at a time: streams with a handle repositioned on the play date", 3, {0, 2}, 0x01,
     [](Rig&, P& p) {
         A::PlayDate(p) = MSSP_PlayDate_t{0x0119, 1, 2};  // only the low byte of the year goes out
         A::Head(p, 0)->state = MSSP_STATUS_OVER;
         MSSP_Time_t t{10, 0, 5};
         const int res = p.SetStatus(MSSP_STATUS_FAST_FORWARD, 16, &t);
         return A::Status(p) == MSSP_STATUS_FAST_FORWARD && A::Speed(p) == 16 ? res : -9;
     },
     0, "S10@25-1-2 10:0:5 S11@25-1-2 10:0:5", "PePeSe", ""},
    {"hour 255 is no time; a return to play repositions and keeps the speed", 2, {0, 1}, 0x01,
     [](Rig& r, P& p) {
         MSSP_Time_t none{255, 0, 0}, t{10, 0, 5};
         int res = Fail(r, 0, 0, ScriptedHost::kSeek) + p.SetStatus(MSSP_STATUS_FAST_BACKWARD, 32, &none);
         if (!r.Trace().empty()) return -9;
         res += p.SetStatus(MSSP_STATUS_PLAY, 0, &t);  // whatever SeekStream returned
         return A::Status(p) == MSSP_STATUS_PLAY && A::Speed(p) == 32 ? res : -9;
     },
     0, "S10 S11", "PePe", ""},
    {"play in normal play: no parking, nothing emptied", 2, {0, 1}, 0x01,
     [](Rig&, P& p) { return p.SetStatus(MSSP_STATUS_PLAY, 0, nullptr); }, 0, "", "PkPk", ""},
    {"other statuses only write playStatus", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         int res = 0;
         for (int s : {MSSP_STATUS_SEEK, MSSP_STATUS_INIT, MSSP_STATUS_OVER}) {
             res += p.SetStatus(static_cast<MSSP_Status_t>(s), 16, nullptr);
             if (A::Head(p, 1)->playStatus != s || A::Status(p) != MSSP_STATUS_PLAY || A::Speed(p) != 0) return -9;
         }
         return res;
     },
     0, "", "PkPk", ""},
    {"an ended stream: fast backward revives it (with a handle), fast forward does not", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         A::Head(p, 1)->state = MSSP_STATUS_OVER;
         int res = p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, nullptr);
         if (A::Head(p, 1)->state != MSSP_STATUS_OVER) return -9;
         res += p.SetStatus(MSSP_STATUS_FAST_BACKWARD, 8, nullptr);
         if (A::Head(p, 1)->state != MSSP_STATUS_PLAY) return -9;
         A::Head(p, 0)->state = MSSP_STATUS_OVER;
         A::StreamFd(p, 0, 0) = -1;
         return res + p.FastBackward(nullptr);
     },
     0, "", "OePe", ""},
    {"trick play without the I-frame slots refused, SetStatus still accepts", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         A::Operation(p).ReadNextIFrame = A::Operation(p).ReadPrevIFrame = nullptr;
         const int refused = p.FastForward(nullptr) + p.FastBackward(nullptr);
         return refused + p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, nullptr) +
                (A::Status(p) == MSSP_STATUS_PLAY && A::Head(p, 1)->playStatus == MSSP_STATUS_FAST_FORWARD ? 0 : -9);
     },
     -2, "", "PkPk", "err:m_Operation.ReadNextIFrame is null"},
    // Clearing
    {"clear one channel; an unplayed channel or one without a stream index refused", 2, {1, 3}, 0x01,
     [](Rig&, P& p) {
         int res = p.ClearBuffer(3) + p.ClearBuffer(2) + p.ClearBuffer(40);
         A::ChnMask(p) = 0x1A;  // channels 1, 3, 4: the third has no stream index
         return res + p.ClearBuffer(4);
     },
     -3, "", "PkPe", "ClearBuffer::current chn [2] is not a playback chn"},
};

class Control : public ::testing::TestWithParam<Op> {};

TEST_P(Control, CallsStatesAndMessage) {
    const Op& op = GetParam();
    Rig r(op.streams);
    r.Attach(op.channels, op.bmp);
    testing::internal::CaptureStdout();
    const int result = op.run(r, *r.p);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, op.result);
    EXPECT_EQ(r.Trace(), op.trace);
    EXPECT_EQ(r.States(), op.states);
    EXPECT_NE(out.find(op.message), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Operations, Control, ::testing::ValuesIn(kOps),
                         [](const ::testing::TestParamInfo<Op>& info) { return "Op" + std::to_string(info.index); });

}  // namespace

TEST(ControlClear, ClearBuffer_EmptiesRingsKeepsStatesAndHandles) {
    Rig r(3);
    r.Attach({0, 2}, 0x01);
    P& p = *r.p;
    for (int i = 0; i < 3; ++i) {
        A::Parser(p, i).EndPos = 5000;
        A::Cursor(p, i)->lastIndex = 8;
        A::TrickLen(p, i) = 99;
    }
    A::Head(p, 2)->playStatus = MSSP_STATUS_FAST_BACKWARD;
    EXPECT_EQ(p.ClearBuffer(), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(A::Parser(p, i).EndPos, static_cast<uint32_t>(kBufSize - 1));
        EXPECT_EQ(A::Cursor(p, i)->lastIndex, -1);
        EXPECT_EQ(A::TrickLen(p, i), 0);
    }
    EXPECT_EQ(r.States(), "PePeSe");
    EXPECT_EQ(A::Head(p, 2)->playStatus, MSSP_STATUS_FAST_BACKWARD);
    EXPECT_EQ(A::StreamFd(p, 0, 1), 11);
    EXPECT_EQ(r.host.Calls().size(), 0u);
}

TEST(ControlStatus, RefusedBeforeStartAndAfterStop) {
    Rig r(2);
    MSSP_Time_t t{10, 0, 1};
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.p->SetStatus(MSSP_STATUS_FAST_FORWARD, 8, &t), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("err:end"), std::string::npos);
    EXPECT_EQ(A::Speed(*r.p), 0);  // nothing changes, not even the speed
    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{10, 0, 0};
    ASSERT_EQ(r.p->StartParse(0x3, 0x01, 0x1234, &date, &time, true, 1), 0);
    ASSERT_EQ(r.p->StopParse(), 0);
    EXPECT_EQ(r.p->SetStatus(MSSP_STATUS_PLAY, 0, nullptr), -1);
    EXPECT_EQ(A::Status(*r.p), MSSP_STATUS_STOP);
}

// With the reader threads: each operation empties the rings and they fill
// again from the new position, with the new stream types and channels.
TEST(ControlPlaying, TrickPlayAndSwitches_FramesComeFromTheNewPosition) {
    Rig r(2);
    r.SetRecording(2, 0, 2);  // channel 2's type 0 ends after two GOPs
    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{10, 0, 0};
    ASSERT_EQ(r.p->StartParse(0x5, 0x01, 0x1234, &date, &time, true, 1), 0);
    int bad = 0;
    for (int k = 0; k < 40 && mssp::LoadAcquire(A::Head(*r.p, 1)->state) != MSSP_STATUS_OVER; ++k) r.Drain(5, &bad);
    ASSERT_EQ(mssp::LoadAcquire(A::Head(*r.p, 1)->state), MSSP_STATUS_OVER);

    // fast backward from 10:00:20 by four GOPs (step code 2) revives the ended channel 2
    MSSP_Time_t back{10, 0, 20};
    ASSERT_EQ(r.p->SetStatus(MSSP_STATUS_FAST_BACKWARD, 16, &back), 0);
    std::map<int, std::vector<uint64_t>> got = r.Drain(7, &bad, -1);
    std::vector<uint64_t> want;
    for (int g = 20; g >= 0; g -= 4) want.push_back(IFramePts(0, g));
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[2], std::vector<uint64_t>{IFramePts(0, 1)});
    for (const auto& c : r.host.CallsOf(ScriptedHost::kPrevIFrame)) EXPECT_EQ(c.step, 2);

    MSSP_Time_t play{10, 0, 6};
    ASSERT_EQ(r.p->SetStatus(MSSP_STATUS_PLAY, 0, &play), 0);
    got = r.Drain(14, &bad);  // channel 2's last GOP (earlier pts) comes first
    ASSERT_GE(got[0].size(), 2u);
    EXPECT_EQ(got[0].at(0), IFramePts(0, 6));
    EXPECT_EQ(got[0].at(1), IFramePts(0, 6) + 40) << "P-frames again";
    Common::_datetime_ t = At(8);
    ASSERT_EQ(r.p->SwitchStream(0x1u, 0x02, &t), 0);  // channel 0 to type 1
    got = r.Drain(2, &bad);
    EXPECT_EQ(got[0].at(0), IFramePts(1, 8));
    t = At(15);
    ASSERT_EQ(r.p->SwitchPlaybackChannels(0xAu, &t), 0);  // channels 1, 3; index 0 keeps type 1
    got = r.Drain(10, &bad);
    EXPECT_EQ(got[1].at(0), IFramePts(1, 15));
    EXPECT_EQ(got[3].at(0), IFramePts(0, 15));
    EXPECT_EQ(bad, 0);
}

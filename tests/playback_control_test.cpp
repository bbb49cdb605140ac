// Playback control: play status and trick play, buffer clearing, seek,
// stream-type and channel switching. Streams are attached by hand with no
// reader thread (Idle returns at once), so that each operation is one table
// row: what it asked of the host (opens, seeks, closes in order), the state
// and ring of every stream after it, and its message. How the reader threads
// refill the rings after an operation is the concurrency and end-to-end
// suites' matter.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <string>

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
const DateTime kStart{26, 1, 2, 10, 0, 0};
Common::_datetime_ At(int second) { return {kStart[0], kStart[1], kStart[2], 10, 0, static_cast<uint8_t>(second), 0}; }
Common::_datetime_ kT = At(5);  // the time every operation of the table is given


class Rig {
public:
    Rig(int streams, MSSP_StreamOperation_t ops = ScriptedHost::Table()) : name_(msspt::UniqueName("pc")), ops_(ops) {
        for (int c : {0, 1, 2, 3, 5}) {
            msspt::SynthSpec s;
            s.channel = static_cast<uint8_t>(c);
            for (int t = 0; t < MSSP_STREAM_TYPES; ++t) host.SetRecording(c, t, msspt::MakeSynthetic(s).recording);
        }
        p = std::make_unique<P>(kGroup, streams, name_.data(), kBufSize, 32, &ops_, &host, 9);
    }
    ~Rig() {
        p->StopParse();
        p.reset();
        msspt::RemoveKeyFile(name_, kGroup);
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
            const DateTime& t = c.time;
            if (c.slot != ScriptedHost::kClose && t != DateTime{26, 1, 2, 10, 0, 5}) {  // kT
                std::snprintf(s, sizeof(s), "@%d-%d-%d %d:%d:%d", t[0], t[1], t[2], t[3], t[4], t[5]);
                out += s;
            }
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

    ScriptedHost host;
    std::unique_ptr<P> p;

private:
    std::string name_;
    MSSP_StreamOperation_t ops_;
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

// Steps of an operation, evaluated in order (braced lists are): the sum of
// their results; Checked{result, ok} is the result, or -9 when `ok` is false.
int Sum(std::initializer_list<int> results) { return std::accumulate(results.begin(), results.end(), 0); }
struct Checked {
    int result;
    bool ok;
    operator int() const { return ok ? result : -9; }
};

const Op kOps[] = {
    // Seek
    {"seek: every stream in channel order", 3, {0, 1, 3}, 0x01,
     [](Rig&, P& p) {
         A::Status(p) = MSSP_STATUS_FAST_BACKWARD;
         std::memset(A::LastTime(p), 1, 3);
         const int r = p.Seek(&kT, 123456789012ull);  // ends trick play, forgets the last times
         return Checked{r, A::Status(p) == MSSP_STATUS_PLAY && A::LastTime(p)[0] == 255 && A::LastTime(p)[2] == 255};
     },
     0, "S10 S11 S12", "PePePe", "seek time:26-1-2 10:0:5 pts:123456789012"},
    {"seek: one fails, only that stream retired", 3, {0, 1, 3}, 0x01,
     [](Rig& r, P& p) { return Sum({Fail(r, 1, 0, ScriptedHost::kSeek), p.Seek(&kT, 0)}); }, 0, "S10 S11 S12 C11",
     "PeSePe", "stream 1 invalid"},
    {"seek: every one fails, nothing closed", 2, {0, 1}, 0x01,
     [](Rig& r, P& p) {
         return Sum({Fail(r, 0, 0, ScriptedHost::kSeek), Fail(r, 1, 0, ScriptedHost::kSeek), p.Seek(&kT, 0)});
     },
     0, "S10 S11", "PePe", ""},
    {"seek: streams without a handle opened, a failed open retired", 3, {0}, 0x06,
     [](Rig& r, P& p) {
         A::ChnMask(p) = 0x0B;  // channels 0, 1, 3
         return Sum({Fail(r, 3, 1, ScriptedHost::kOpen), Checked{p.Seek(&kT, 0), A::StreamFd(p, 1, 1) == 11}});
     },
     0, "S10 O1:06 O3:06", "PePeSe", ""},
    // An impossible date or time goes to the host as given (its failed
    // positioning retires the streams), with one line naming the values.
    {"seek: month 13, hour 25 named", 2, {0, 1}, 0x01,
     [](Rig&, P& p) { Common::_datetime_ t{26, 13, 2, 25, 0, 5, 0}; return p.Seek(&t, 0); }, 0,
     "S10@26-13-2 25:0:5 S11@26-13-2 25:0:5", "PePe", "impossible seek time: month 13, hour 25\n"},
    {"seek: all bytes 255 named", 1, {0}, 0x01,
     [](Rig&, P& p) { Common::_datetime_ t{255, 255, 255, 255, 255, 255, 0}; return p.Seek(&t, 0); }, 0,
     "S10@255-255-255 255:255:255", "Pe",
     "impossible seek time: month 255, day 255, hour 255, minute 255, second 255\n"},
    {"seek: played mask wider than the streams", 2, {0, 1}, 0x01,
     [](Rig&, P& p) { return Sum({static_cast<int>(A::ChnMask(p) = 0x7) - 7, p.Seek(&kT, 0)}); }, 0, "S10 S11",
     "PePe", ""},
    // Stream type of some channels
    {"switch: open new, close old, then reposition the others", 3, {0, 2, 3}, 0x01,
     [](Rig& r, P& p) {
         const int res = Sum({Fail(r, 3, 0, ScriptedHost::kSeek), p.SwitchStream(0x4u, 0x02, &kT)});
         return Checked{res,
                        A::StreamFd(p, 1, 1) == 13 && A::StreamFd(p, 0, 1) == -1 && A::StreamTypeBmp(p, 1) == 0x02};
     },
     0, "O2:02 C11 S10 S12", "PePePk", ""},
    {"switch: stops at an unplayed channel", 2, {0, 2}, 0x01,
     [](Rig&, P& p) { return Checked{p.SwitchStream(0x3u, 0x04, &kT), A::CurStreamType(p, 0) == 2}; }, 0,
     "O0:04 C10", "PePk", "SwitchStream::current chn [1] is not a playback chn"},
    {"switch: a handle of the new type is there", 2, {0, 2}, 0x01,
     [](Rig&, P& p) {
         return Sum({(A::StreamFd(p, 1, 1) = 77) - 77, p.SwitchStream(0x4u, 0x02, &kT), A::CurStreamType(p, 1)});
     },
     0, "", "PkPk", "SwitchStream::chn [2] streamtype[1] fd is exist???"},
    {"switch: a channel already of that type is passed over", 2, {0, 2}, 0x01,
     [](Rig& r, P& p) {
         const int res = p.SwitchStream(0x1u, 0x04, &kT);  // channel 0 to type 2 (handle 12)
         r.host.ClearLog();
         return Sum({res, p.SwitchStream(0x5u, 0x04, &kT)});
     },
     0, "O2:04 C11 S12", "PePe", "SwitchStream::chn [0] StreamType is already [2]"},
    {"switch: bits above 2 refused", 2, {0, 2}, 0x01,
     [](Rig&, P& p) { return Sum({p.SwitchStream(0x1u, 0x08, &kT), p.SwitchStream(0x1u, -1, &kT)}); }, -2, "", "PkPk",
     "SwitchStream::invalid StreamType [8]"},
    {"switch: a failed open closes the old, a later seek opens the new type", 2, {0, 2}, 0x01,
     [](Rig& r, P& p) {
         r.host.SetFault(2, 2, ScriptedHost::kOpen, {-1, 0, 1});
         const int res = Checked{p.SwitchStream(0x4u, 0x04, &kT), A::Head(p, 1)->state == MSSP_STATUS_STOP};
         return Sum({res, Checked{p.Seek(&kT, 0), A::StreamFd(p, 2, 1) == 12 && A::Head(p, 1)->channel == 2}});
     },
     0, "O2:04 C11 S10 O2:04", "PePe", ""},
    // Stream type of all streams: nothing to do once one stream has it; the
    // old handles stay open and are repositioned on the way back
    {"switch all", 2, {0, 2}, 0x01,
     [](Rig&, P& p) {
         const int res = Checked{p.SwitchStream(2, &kT), A::StreamFd(p, 0, 1) == 11 && A::StreamTypeBmp(p, 1) == 0x04};
         const int invalid = Sum({p.SwitchStream(2, &kT), p.SwitchStream(3, &kT), p.SwitchStream(-1, &kT)});
         return res + invalid + Checked{p.SwitchStream(0, &kT), A::StreamTypeBmp(p, 0) == 0x01};
     },
     -2, "O0:04 O2:04 S10 S11", "PePe", ""},
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
         return Checked{res, A::ChnMask(p) == 0x2Au && A::PlayDate(p).day == 3 && A::LastTime(p)[2] == 255 &&
                                 A::Head(p, 2)->channel == 5 && A::StreamFd(p, 1, 1) == 14};
     },
     0, "C10 C12 O1:01@26-2-3 10:0:5 O3:02@26-2-3 10:0:5 O5:01@26-2-3 10:0:5", "FeFeFe", ""},
    {"channels: too many, the extra not opened and the mask trimmed", 2, {0, 1}, 0x01,
     [](Rig&, P& p) { return Checked{p.SwitchPlaybackChannels(0x0Eu, &kT), A::ChnMask(p) == 0x06u}; }, 0,
     "C10 C11 O1:01 O2:01", "PePe", "To much new channels to playback, max=2 mask=0xe"},
    {"channels: a failed open retires its index, the trimmed mask bounds later operations", 2, {0, 1}, 0x01,
     [](Rig& r, P& p) {
         const int res = Sum({Fail(r, 3, 0, ScriptedHost::kOpen), p.SwitchPlaybackChannels(0x09u, &kT)});
         p.SwitchPlaybackChannels(0x0Fu, &kT);
         r.host.ClearLog();
         return Sum({res, p.Seek(&kT, 0), p.ClearBuffer(2)});
     },
     -1, "S13 S14", "PePe", "open stream=0 index 1 failed"},
    // A stream index that changes channel must not keep its old channel's
    // handles of other types: a switch back would read the old channel.
    {"channels: a moved stream drops the old channel's other handles", 2, {0, 2}, 0x01,
     [](Rig& r, P& p) {
         p.SwitchStream(1, &kT);  // type-0 handles 10, 11 stay open
         r.host.ClearLog();
         return Checked{Sum({p.SwitchPlaybackChannels(0x9u, &kT), p.SwitchStream(0, &kT)}), r.host.OpenHandles() == 4};
     },
     0, "C12 C13 C11 O0:02 O3:02 S10 O3:01", "PePe", ""},
    // Status
    {"fast forward at a time: streams with a handle repositioned on the play date", 3, {0, 2}, 0x01,
     [](Rig&, P& p) {
         A::PlayDate(p) = MSSP_PlayDate_t{0x0119, 1, 2};  // only the low byte of the year goes out
         A::Head(p, 0)->state = MSSP_STATUS_OVER;
         MSSP_Time_t t{10, 0, 5};
         const int res = p.SetStatus(MSSP_STATUS_FAST_FORWARD, 16, &t);
         return Checked{res, A::Status(p) == MSSP_STATUS_FAST_FORWARD && A::Speed(p) == 16};
     },
     0, "S10@25-1-2 10:0:5 S11@25-1-2 10:0:5", "PePeSe", ""},
    {"hour 255 is no time; a return to play repositions and keeps the speed", 2, {0, 1}, 0x01,
     [](Rig& r, P& p) {
         MSSP_Time_t none{255, 0, 0}, t{10, 0, 5};
         const int res = Sum({Fail(r, 0, 0, ScriptedHost::kSeek), p.SetStatus(MSSP_STATUS_FAST_BACKWARD, 32, &none)});
         const int empty = Checked{res, r.Trace().empty()};
         // whatever SeekStream returned
         return Checked{empty + p.SetStatus(MSSP_STATUS_PLAY, 0, &t),
                        A::Status(p) == MSSP_STATUS_PLAY && A::Speed(p) == 32};
     },
     0, "S10 S11", "PePe", ""},
    {"play in normal play: no parking, nothing emptied", 2, {0, 1}, 0x01,
     [](Rig&, P& p) { return p.SetStatus(MSSP_STATUS_PLAY, 0, nullptr); }, 0, "", "PkPk", ""},
    {"other statuses only write playStatus", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         int res = 0;
         for (int s : {MSSP_STATUS_SEEK, MSSP_STATUS_INIT, MSSP_STATUS_OVER})
             res += Checked{p.SetStatus(static_cast<MSSP_Status_t>(s), 16, nullptr),
                            A::Head(p, 1)->playStatus == s && A::Status(p) == MSSP_STATUS_PLAY && A::Speed(p) == 0};
         return res;
     },
     0, "", "PkPk", ""},
    {"an unknown status only reaches playStatus, and is named", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         return Checked{p.SetStatus(static_cast<MSSP_Status_t>(99), 16, nullptr),
                        A::Head(p, 1)->playStatus == 99 && A::Status(p) == MSSP_STATUS_PLAY};
     },
     0, "", "PkPk", "unknown status 99: only written to the streams' playStatus"},
    {"an ended stream: fast backward revives it (with a handle), fast forward does not", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         A::Head(p, 1)->state = MSSP_STATUS_OVER;
         const int ff = Checked{p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, nullptr), A::Head(p, 1)->state == 5};  // over
         const int fb = Checked{p.SetStatus(MSSP_STATUS_FAST_BACKWARD, 8, nullptr), A::Head(p, 1)->state == 1};
         A::Head(p, 0)->state = MSSP_STATUS_OVER;
         A::StreamFd(p, 0, 0) = -1;
         return ff + fb + p.FastBackward(nullptr);
     },
     0, "", "OePe", ""},
    {"trick play without the I-frame slots refused, SetStatus still accepts", 2, {0, 1}, 0x01,
     [](Rig&, P& p) {
         A::Operation(p).ReadNextIFrame = A::Operation(p).ReadPrevIFrame = nullptr;
         const int refused = Sum({p.FastForward(nullptr), p.FastBackward(nullptr)});
         return Checked{refused + p.SetStatus(MSSP_STATUS_FAST_FORWARD, 8, nullptr),
                        A::Status(p) == MSSP_STATUS_PLAY && A::Head(p, 1)->playStatus == MSSP_STATUS_FAST_FORWARD};
     },
     -2, "", "PkPk", "err:m_Operation.ReadNextIFrame is null"},
    // Clearing: one channel; an unplayed channel or one without a stream index refused
    {"clear one channel", 2, {1, 3}, 0x01,
     [](Rig&, P& p) {
         const int res = Sum({p.ClearBuffer(3), p.ClearBuffer(2), p.ClearBuffer(40)});
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

// The same operation with a diagnostics hook: the hook takes the lines that
// standard output had, whole and in order, and standard output nothing.
// With the hooks set and removed again, standard output is the same, byte
// for byte.
void TakeLine(void* user, int /*level*/, const char* line) {
    *static_cast<std::string*>(user) += std::string(line) + "|";
}

TEST_P(Control, HookTakesTheLines_RemovedStdoutAsBefore) {
    const Op& op = GetParam();
    struct Unset {
        ~Unset() { MSSP_SetLogHook(nullptr, nullptr); }
    } unset;
    std::string taken, elsewhere;
    auto run = [&](int hooks) {
        Rig r(op.streams);
        r.Attach(op.channels, op.bmp);
        MSSP_SetLogHook(hooks ? TakeLine : nullptr, &elsewhere);
        r.p->SetLogHook(hooks ? TakeLine : nullptr, &taken);
        if (hooks == 2) {
            MSSP_SetLogHook(nullptr, nullptr);
            r.p->SetLogHook(nullptr, nullptr);
        }
        testing::internal::CaptureStdout();
        op.run(r, *r.p);
        MSSP_SetLogHook(nullptr, nullptr);
        r.p->SetLogHook(nullptr, nullptr);
        return testing::internal::GetCapturedStdout();
    };
    const std::string plain = run(0);
    EXPECT_EQ(run(1), "");
    EXPECT_EQ(run(2), plain);
    std::string lines;
    for (size_t at = 0; at < plain.size();) {
        size_t end = plain.find('\n', at);
        if (end == std::string::npos) end = plain.size();
        if (end > at) lines += plain.substr(at, end - at) + "|";
        at = end + 1;
    }
    EXPECT_EQ(taken, lines);
    EXPECT_EQ(elsewhere, "") << "the object's lines went past its hook";
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

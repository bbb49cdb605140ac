// Misuse of the interface never crashes or leaks: destruction while playing,
// StartParse twice, null output pointers, control operations while playback
// does not run or is being stopped; and a segment that another user can use
// only when MSSP_SHM_MODE lets it.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "MsspInternal.h"
#include "ParserHarness.h"
#include "TargetProgram.h"

using A = MsspTestAccess;
using msspt::ScriptedHost;
using P = CMultiStreamSyncParser;

namespace {

constexpr const char* kChildFlag = "--mssp-misuse-child";
constexpr int kGroup = 8;
constexpr int kRing = 4 * 65536;
const msspt::DateTime kStart{26, 3, 4, 9, 0, 0};

// A parser on the scripted host with channels 0..2 recorded in types 0 and 1.
struct Rig {
    explicit Rig(int streams = 2) : name(msspt::UniqueName("mis")) {
        for (int c = 0; c < 3; ++c) {
            for (int t = 0; t < 2; ++t) {
                msspt::SynthSpec s;
                s.channel = static_cast<uint8_t>(c);
                s.gopsPerSegment = 20;
                s.start = kStart;
                host.SetRecording(c, t, msspt::MakeSynthetic(s).recording);
            }
        }
        p = std::make_unique<P>(kGroup, streams, name.data(), kRing, 32, &ops, &host, 1);
    }
    ~Rig() {
        p.reset();
        msspt::RemoveKeyFile(name, kGroup);
    }
    int Start() {
        tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
        tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
        return p->StartParse(0x3, 0x01, 0, &date, &time, false, 1);
    }
    bool Parsed() { return mssp::LoadAcquire(A::Head(*p, 0)->parseNum) > 0; }

    ScriptedHost host;
    MSSP_StreamOperation_t ops = ScriptedHost::Table();
    std::string name;
    std::unique_ptr<P> p;
};

bool WaitFor(const std::function<bool()>& done) {
    for (int k = 0; k < 5000 && !done(); ++k) usleep(1000);
    return done();
}

Common::_datetime_ At(int second) {
    Common::_datetime_ t{};
    t.year = kStart[0];
    t.month = kStart[1];
    t.day = kStart[2];
    t.hour = kStart[3];
    t.second = static_cast<uint8_t>(second);
    return t;
}

// Every control operation that opens, closes or repositions streams.
using ControlCall = std::function<int(P&)>;
const std::pair<const char*, ControlCall> kControls[] = {
    {"Seek", [](P& p) { auto t = At(5); return p.Seek(&t, 0); }},
    {"SwitchStreamMask", [](P& p) { auto t = At(5); return p.SwitchStream(0x1u, 0x02, &t); }},
    {"SwitchStreamType", [](P& p) { auto t = At(5); return p.SwitchStream(1, &t); }},
    {"SwitchChannels", [](P& p) { auto t = At(5); return p.SwitchPlaybackChannels(0x6u, &t); }},
    {"FastForward", [](P& p) { return p.FastForward(nullptr); }},
    {"FastBackward", [](P& p) { return p.FastBackward(nullptr); }},
    {"SetStatus", [](P& p) { MSSP_Time_t t{9, 0, 5}; return p.SetStatus(MSSP_STATUS_FAST_FORWARD, 2, &t); }},
};

}  // namespace

TEST(Misuse, DestroyedWhilePlaying_StopsFirstAndClosesEveryHandle) {
    Rig r;
    ASSERT_EQ(r.Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return r.Parsed(); }));
    r.p.reset();  // no StopParse: the readers must be gone before the object
    EXPECT_EQ(r.host.OpenHandles(), 0);
}

TEST(Misuse, StartParseTwice_SecondRefusedFirstPlaysOn) {
    Rig r;
    ASSERT_EQ(r.Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return r.Parsed(); }));
    r.host.ClearLog();
    EXPECT_EQ(r.Start(), -1);
    tag_tavuSegmentId id{};
    EXPECT_EQ(r.p->StartParse(0x3, 0x01, 0, &id, false, 1), -1);
    EXPECT_TRUE(r.host.CallsOf(ScriptedHost::kOpen).empty());
    EXPECT_EQ(r.host.OpenHandles(), 2);
    EXPECT_EQ(r.p->StopParse(), 0);
    EXPECT_EQ(r.host.OpenHandles(), 0);
}

// Two objects on one name and group share one segment: while the first one's
// readers fill it, the second one's StartParse (either form) is refused
// before it resets or opens anything, and destroying the second leaves the
// segment filed under its key. Once the first has stopped, the second starts.
TEST(Misuse, SecondObjectOnTheSameKey_RefusedWhileTheFirstPlays_StartsAfterItsStop) {
    Rig r;
    ASSERT_EQ(r.Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return r.Parsed(); }));
    std::string pidText;
    std::ifstream(msspt::KeyFilePath(r.name, kGroup)) >> pidText;
    EXPECT_EQ(pidText, std::to_string(getpid())) << "the key file names the readers' process";
    ScriptedHost otherHost;
    for (int c = 1; c <= 2; ++c) {
        msspt::SynthSpec spec;
        spec.channel = static_cast<uint8_t>(c);
        spec.start = kStart;
        otherHost.SetRecording(c, 0, msspt::MakeSynthetic(spec).recording);
    }
    MSSP_StreamOperation_t otherOps = ScriptedHost::Table();
    auto second = std::make_unique<P>(kGroup, 2, r.name.data(), kRing, 32, &otherOps, &otherHost, 1);
    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
    tag_tavuSegmentId id{};
    const std::function<int()> starts[] = {
        [&] { return second->StartParse(0x6, 0x01, 0, &date, &time, false, 1); },
        [&] { return second->StartParse(0x6, 0x01, 0, &id, false, 1); },
    };
    for (size_t k = 0; k < std::size(starts); ++k) {
        const uint32_t parsed = mssp::LoadAcquire(A::Head(*r.p, 0)->parseNum);
        testing::internal::CaptureStdout();
        EXPECT_EQ(starts[k](), -1) << "form " << k;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("shared segment of key file " + msspt::KeyFilePath(r.name, kGroup) + " is in use by process " +
                           std::to_string(getpid()) + " (this process)"),
                  std::string::npos)
            << out;
        EXPECT_TRUE(otherHost.Calls().empty()) << "form " << k;
        EXPECT_EQ(A::Head(*r.p, 1)->channel, 1) << "form " << k;
        EXPECT_GE(mssp::LoadAcquire(A::Head(*r.p, 0)->parseNum), parsed) << "form " << k;
        unsigned char *d1, *d2;
        int l1, l2, type;
        unsigned long long pts;
        // Delivery waits until every playing stream holds a frame: poll for one.
        int idx = -1;
        EXPECT_TRUE(WaitFor([&] {
            idx = r.p->GetFrame(&d1, &l1, &d2, &l2, &type, &pts, nullptr, nullptr, 1, 0);
            return idx >= 0;
        })) << "the first one delivers on, form " << k;
        if (idx >= 0) r.p->ReleaseFrame(idx);
    }
    const int shmid = A::Shmid(*r.p);
    second.reset();
    shmid_ds ds{};
    ASSERT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
    EXPECT_FALSE(ds.shm_perm.mode & SHM_DEST) << "the playing segment was marked for removal";

    second = std::make_unique<P>(kGroup, 2, r.name.data(), kRing, 32, &otherOps, &otherHost, 1);
    EXPECT_EQ(r.p->StopParse(), 0);
    EXPECT_EQ(starts[0](), 0);
    EXPECT_EQ(otherHost.OpenHandles(), 2);
    EXPECT_EQ(r.Start(), -1) << "now the first one is refused";
    EXPECT_EQ(second->StopParse(), 0);
    EXPECT_EQ(r.host.OpenHandles() + otherHost.OpenHandles(), 0);
}

TEST(Misuse, NullOutputs_RequiredRefusedOptionalStayOptional) {
    msspt::ParserHarness h("mnul", 1, kRing, 16);
    msspt::SynthSpec s;
    h.host.SetRecording(0, 0, msspt::MakeSynthetic(s).recording);
    h.Prime(0, 0);
    h.ParseUntilWaiting(0, 2);
    ASSERT_GE(h.Waiting(0), 2);
    P& p = h.P();
    unsigned char *d1, *d2;
    int l1, l2, type;
    unsigned long long pts;
    tag_MSSP_GetFrameInfo info;
    const std::function<int()> refused[] = {
        [&] { return p.GetFrame(nullptr, &l1, &d2, &l2, &type, &pts, nullptr, nullptr, 1, 0); },
        [&] { return p.GetFrame(&d1, nullptr, &d2, &l2, &type, &pts, nullptr, nullptr, 1, 0); },
        [&] { return p.GetFrame(&d1, &l1, nullptr, &l2, &type, &pts, nullptr, nullptr, 1, 0); },
        [&] { return p.GetFrame(&d1, &l1, &d2, nullptr, &type, &pts, nullptr, nullptr, 1, 0); },
        [&] { return p.GetFrame(&d1, &l1, &d2, &l2, nullptr, &pts, nullptr, nullptr, 1, 0); },
        [&] { return p.GetFrame(&d1, &l1, &d2, &l2, &type, nullptr, nullptr, nullptr, 1, 0); },
        [&] { return p.GetFrameEx(0, nullptr, &l1, &d2, &l2, &info, 0); },
        [&] { return p.GetFrameEx(0, &d1, nullptr, &d2, &l2, &info, 0); },
        [&] { return p.GetFrameEx(0, &d1, &l1, nullptr, &l2, &info, 0); },
        [&] { return p.GetFrameEx(0, &d1, &l1, &d2, nullptr, &info, 0); },
        [&] { return p.GetFrameInfo(0, nullptr); },
        [&] { return p.GetStreamPTS(0, nullptr); },
        [&] { return p.GetStreamTime(0, nullptr); },
        [&] { return p.GetBaselinePts(nullptr, nullptr, 1, 0); },
    };
    const int waiting = h.Waiting(0);
    for (size_t k = 0; k < std::size(refused); ++k) {
        EXPECT_EQ(refused[k](), -1) << "case " << k;
        EXPECT_EQ(h.Waiting(0), waiting) << "case " << k;
    }
    EXPECT_EQ(p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, nullptr, nullptr, 1, 0), 0);
    EXPECT_EQ(p.ReleaseFrame(0), 0);
    EXPECT_EQ(p.GetFrameEx(0, &d1, &l1, &d2, &l2, nullptr, 0), 0);
    EXPECT_EQ(h.Waiting(0), waiting - 1);
}

// A playback thread that polls a stream with nothing to time: one failure
// line per change of the stream (a reset, its counters, its state), the
// repeats counted.
TEST(Misuse, PollingAWaitingStream_OneFailureLinePerChange) {
    msspt::ParserHarness h("mpol", 1, kRing, 16);
    msspt::SynthSpec s;
    h.host.SetRecording(0, 0, msspt::MakeSynthetic(s).recording);
    h.Prime(0, 0);
    P& p = h.P();
    unsigned long long pts = 0;
    auto poll = [&] {
        for (int k = 0; k < 50; ++k) EXPECT_EQ(p.GetStreamPTS(0, &pts), -1);
    };
    testing::internal::CaptureStdout();
    poll();
    p.ClearBuffer();  // the same counters, but after a reset
    poll();
    h.ParseUntilWaiting(0, 1);
    EXPECT_EQ(p.GetStreamPTS(0, &pts), 0);
    h.Release(0, h.Waiting(0));
    poll();
    h.Head(0)->state = MSSP_STATUS_OVER;
    poll();
    const std::string out = testing::internal::GetCapturedStdout();
    auto count = [&out](const std::string& line) {
        size_t n = 0;
        for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("GetStreamPTS failed, index=0 num=0\n"), 4u) << out;
    EXPECT_EQ(count("GetStreamPTS failed 49 more times, index=0\n"), 3u) << out;
}

TEST(Misuse, ControlWhileNotPlaying_RefusedWithoutTouchingTheHost) {
    Rig r(3);
    for (int round = 0; round < 2; ++round) {  // before the first start, after a stop
        for (const auto& [what, call] : kControls) {
            r.host.ClearLog();
            EXPECT_EQ(call(*r.p), -1) << what << " round " << round;
            EXPECT_TRUE(r.host.Calls().empty()) << what << " round " << round;
        }
        ASSERT_EQ(r.Start(), 0);
        EXPECT_EQ(r.p->StopParse(), 0);
    }
    EXPECT_EQ(r.host.OpenHandles(), 0);
}

TEST(Misuse, ControlRacingStopParse_LeavesNoHandleOpen) {
    Rig r(3);
    for (int round = 0; round < 12; ++round) {
        ASSERT_EQ(r.Start(), 0);
        std::atomic<bool> stopped{false};
        std::thread control([&] {
            for (int k = 0; !stopped.load(); ++k) kControls[k % std::size(kControls)].second(*r.p);
        });
        usleep(static_cast<useconds_t>(2000 * (round % 4)));
        EXPECT_EQ(r.p->StopParse(), 0);
        stopped = true;
        control.join();
        EXPECT_EQ(r.host.OpenHandles(), 0) << "round " << round;
    }
}

// The segment is the recorder's: another user attaches it only when
// MSSP_SHM_MODE opens it to others.
TEST(Misuse, OtherUser_RefusedByDefault_AttachesWithModeForOthers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as nobody";
    if (!msspt::Have("setpriv")) GTEST_SKIP() << "setpriv is missing";
    const std::string self = msspt::SelfPath();
    for (const char* mode : {"", "0666"}) {
        if (*mode) setenv("MSSP_SHM_MODE", mode, 1);
        const std::string name = msspt::UniqueName("mou");
        auto p = std::make_unique<P>(kGroup, 1, const_cast<char*>(name.c_str()), kRing, 8, nullptr, nullptr, 0);
        unsetenv("MSSP_SHM_MODE");
        std::string cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " + msspt::EmulatorPrefix() + self +
                          " " + kChildFlag + " " + name;
        std::string out;
        const int status = msspt::Shell(cmd, &out);
        if (status == 126 || status == 127) GTEST_SKIP() << "nobody cannot run " << self << ": " << out;
        if (*mode) {
            EXPECT_EQ(status, 0) << out;
        } else {
            EXPECT_EQ(status, mssp::kFatalExitStatus) << out;
            EXPECT_NE(out.find("not open to this user"), std::string::npos) << out;
        }
        p.reset();
        msspt::RemoveKeyFile(name, kGroup);
    }
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], kChildFlag) == 0) {
        std::string name = argv[2];
        P p(kGroup, 1, name.data(), kRing, 8, nullptr, nullptr, 0);
        return A::ShareMem(p) != nullptr ? 0 : 3;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

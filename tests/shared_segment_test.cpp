// Two processes, one segment: while this process plays (StartParse on the
// scripted host, reader threads filling, a playback thread taking frames),
// a second process attaches the same name and group. It must see the first
// one's streams (their channels, frames parsed), leave them untouched (the
// first keeps playing, no header reset, a frame held across the attach is
// unchanged), and keep a working segment after the first object is
// destroyed: it can still read the rings, IPC_STAT still finds the segment
// until the second process detaches, and then it is gone.
//
// The second process is this test program again, started with
// kChildFlag (see main at the end); it talks to the test over two pipes.
// Every wait is bounded; a child that does not answer is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MsspInternal.h"
#include "ScriptedHost.h"
#include "TargetProgram.h"
#include "TestAccess.h"

extern char** environ;

using A = MsspTestAccess;
using P = CMultiStreamSyncParser;
using msspt::ScriptedHost;

namespace {

constexpr const char* kChildFlag = "--mssp-shared-segment-child";
constexpr int kGroup = 4;
constexpr int kStreams = 2;
constexpr int kBufSize = 4 * 65536;
constexpr int kFrameNum = 24;
constexpr int kChannels[kStreams] = {3, 5};
constexpr int kChildIn = 3;   // the child's command pipe
constexpr int kChildOut = 4;  // the child's report pipe
constexpr int kAnswerMs = 10000;
const msspt::DateTime kStart{26, 2, 3, 8, 0, 0};

// What the child sees in the segment.
struct Report {
    int32_t shmid;
    int32_t channel[kStreams];
    uint32_t parseNum[kStreams];
    uint32_t getNum[kStreams];
    int32_t lastIndex[kStreams];
    uint8_t state[kStreams];
    uint64_t ringHash;  // both rings, in the child's mapping
};

enum Command : char { kAttach = 'A', kReadRings = 'R', kDetach = 'D' };

uint64_t HashRings(P& p) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (int i = 0; i < kStreams; ++i) {
        const unsigned char* ring = A::Ring(p, i);
        for (int k = 0; k < kBufSize; ++k) h = (h ^ ring[k]) * 1099511628211ull;
    }
    return h;
}

Report Look(P& p) {
    Report r{};
    r.shmid = A::Shmid(p);
    for (int i = 0; i < kStreams; ++i) {
        MSSP_StreamHead_t* head = A::Head(p, i);
        r.channel[i] = mssp::LoadAcquire(head->channel);
        r.parseNum[i] = mssp::LoadAcquire(head->parseNum);
        r.getNum[i] = mssp::LoadAcquire(head->getNum);
        r.lastIndex[i] = mssp::LoadAcquire(A::Cursor(p, i)->lastIndex);
        r.state[i] = mssp::LoadAcquire(head->state);
    }
    return r;
}

bool WriteAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads exactly n bytes, waiting at most `ms` in all.
bool ReadAll(int fd, void* data, size_t n, int ms) {
    char* p = static_cast<char*>(data);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (n > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The second process: attaches on command, reports, reads its rings after
// the first object is gone, detaches on command.
int ChildMain(char** argv) {
    std::string name = argv[2];
    Command c{};
    if (!ReadAll(kChildIn, &c, 1, kAnswerMs) || c != kAttach) return 2;
    auto p = std::make_unique<P>(kGroup, kStreams, name.data(), kBufSize, kFrameNum, nullptr, nullptr, 0);
    Report r = Look(*p);
    if (!WriteAll(kChildOut, &r, sizeof(r))) return 3;

    if (!ReadAll(kChildIn, &c, 1, kAnswerMs) || c != kReadRings) return 4;
    r = Look(*p);
    r.ringHash = HashRings(*p);
    if (!WriteAll(kChildOut, &r, sizeof(r))) return 5;

    if (!ReadAll(kChildIn, &c, 1, kAnswerMs) || c != kDetach) return 6;
    p.reset();  // detaches and marks the segment for removal
    return 0;
}

// The test's end of the child: started with posix_spawn (safe while the
// reader threads run), killed if it is still there at the end.
class Child {
public:
    explicit Child(const std::string& name) {
        int cmd[2], rep[2];
        if (pipe2(cmd, O_CLOEXEC) != 0 || pipe2(rep, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, cmd[0], kChildIn);
        posix_spawn_file_actions_adddup2(&fa, rep[1], kChildOut);
        // This program again, through a cross build's emulator if there is one.
        std::vector<std::string> words = msspt::ProgramArgv(msspt::SelfPath());
        words.push_back(kChildFlag);
        words.push_back(name);
        std::vector<char*> args;
        for (std::string& w : words) args.push_back(w.data());
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(cmd[0]);
        close(rep[1]);
        cmd_ = cmd[1];
        rep_ = rep[0];
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (cmd_ >= 0) close(cmd_);
        if (rep_ >= 0) close(rep_);
    }
    bool Started() const { return pid_ > 0; }
    bool Ask(Command c, Report* r) { return WriteAll(cmd_, &c, 1) && ReadAll(rep_, r, sizeof(*r), kAnswerMs); }
    bool Tell(Command c) { return WriteAll(cmd_, &c, 1); }
    // The child's exit status, or -1 when it did not end within `ms`.
    int Wait(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            }
            usleep(2000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int cmd_ = -1;
    int rep_ = -1;
    bool exited_ = false;
};

// The first process's playback thread: takes frames, checks them against the
// recording, and on request holds one frame while the child attaches.
struct Playback {
    P& p;
    const std::map<std::pair<int, uint64_t>, msspt::Bytes>& packs;
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::atomic<int> bad{0};
    std::atomic<bool> holdRequest{false};  // test -> playback: hold the next frame
    std::atomic<bool> holding{false};      // playback -> test: a frame is held
    std::atomic<bool> attached{false};     // test -> playback: the child attached
    std::atomic<int> heldIntact{-1};       // 1 when the held frame came through unchanged

    void Run() {
        while (!stop.load()) {
            unsigned char *d1 = nullptr, *d2 = nullptr;
            int l1 = 0, l2 = 0, type = 0, channel = -1;
            unsigned long long pts = 0;
            const int idx = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, nullptr, &channel, 1, 0);
            if (idx < 0) {
                usleep(300);
                continue;
            }
            msspt::Bytes got(d1, d1 + l1);
            if (l2 > 0) got.insert(got.end(), d2, d2 + l2);
            auto it = packs.find({channel, pts});
            if (it == packs.end() || it->second != got) bad++;
            if (holdRequest.load()) {
                holding = true;
                for (int k = 0; k < 5000 && !attached.load() && !stop.load(); ++k) usleep(1000);
                msspt::Bytes now(d1, d1 + l1);
                if (l2 > 0) now.insert(now.end(), d2, d2 + l2);
                heldIntact = now == got ? 1 : 0;
                holdRequest = false;
            } else {
                usleep(1000);  // a decoder's use of the frame
            }
            delivered++;
            p.ReleaseFrame(idx);
        }
    }
};

template <class Cond>
bool WaitFor(Cond cond, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        usleep(1000);
    }
    return true;
}

bool SegmentExists(int shmid, shmid_ds* ds) { return shmctl(shmid, IPC_STAT, ds) == 0; }

}  // namespace

TEST(SharedSegment, SecondProcessAttachesWhilePlaying_SeesStreamsLeavesThemAndOutlivesFirst) {
    const std::string name = msspt::UniqueName("shs");
    Child child(name);
    ASSERT_TRUE(child.Started());

    ScriptedHost host;
    std::map<std::pair<int, uint64_t>, msspt::Bytes> packs;
    for (int c : kChannels) {
        msspt::SynthSpec s;
        s.channel = static_cast<uint8_t>(c);
        s.gopsPerSegment = 60;
        s.gop = 8;
        s.start = kStart;
        msspt::RecordingBuilder b = msspt::MakeSynthetic(s);
        for (const msspt::PackInfo& pk : b.packs) packs[{c, pk.pts}] = pk.bytes;
        host.SetRecording(c, 0, std::move(b.recording));
    }
    MSSP_StreamOperation_t ops = ScriptedHost::Table();
    auto first = std::make_unique<P>(kGroup, kStreams, const_cast<char*>(name.c_str()), kBufSize, kFrameNum, &ops,
                                     &host, 1);
    const int shmid = A::Shmid(*first);
    ASSERT_GE(shmid, 0);

    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
    ASSERT_EQ(first->StartParse((1u << kChannels[0]) | (1u << kChannels[1]), 0x01, 0, &date, &time, false, 1), 0);
    Playback playback{*first, packs};
    std::thread consumer(&Playback::Run, &playback);

    // Frames flow, and the playback thread holds one across the attach.
    EXPECT_TRUE(WaitFor([&] { return playback.delivered.load() >= 10; }, 5000));
    playback.holdRequest = true;
    EXPECT_TRUE(WaitFor([&] { return playback.holding.load(); }, 5000));
    const Report before = Look(*first);

    Report seen{};
    const bool answered = child.Ask(kAttach, &seen);
    playback.attached = true;
    EXPECT_TRUE(answered) << "the second process did not attach";
    const Report after = Look(*first);
    shmid_ds ds{};
    EXPECT_TRUE(SegmentExists(shmid, &ds));
    EXPECT_EQ(ds.shm_nattch, 2u);

    if (answered) {
        EXPECT_EQ(seen.shmid, shmid);
        for (int i = 0; i < kStreams; ++i) {
            // The second process sees the first one's streams as they are.
            EXPECT_EQ(seen.channel[i], kChannels[i]);
            EXPECT_GT(seen.parseNum[i], 0u);
            EXPECT_EQ(seen.state[i], MSSP_STATUS_PLAY);
            EXPECT_GE(seen.parseNum[i], before.parseNum[i]);
            EXPECT_NE(seen.lastIndex[i], -1);
            // Its attach reset nothing: the counters only moved on.
            EXPECT_EQ(after.channel[i], kChannels[i]);
            EXPECT_GE(after.parseNum[i], seen.parseNum[i]);
            EXPECT_GE(after.getNum[i], before.getNum[i]);
            EXPECT_NE(after.lastIndex[i], -1);
        }
    }
    EXPECT_TRUE(WaitFor([&] { return playback.heldIntact.load() >= 0; }, 6000));
    EXPECT_EQ(playback.heldIntact.load(), 1) << "a held frame changed while the second process attached";

    // The first one keeps playing.
    const int delivered = playback.delivered.load();
    EXPECT_TRUE(WaitFor([&] { return playback.delivered.load() >= delivered + 20; }, 5000));

    playback.stop = true;
    consumer.join();
    EXPECT_EQ(first->StopParse(), 0);
    EXPECT_EQ(host.OpenHandles(), 0);
    EXPECT_EQ(playback.bad.load(), 0);
    const uint64_t hash = HashRings(*first);
    first.reset();  // detaches and marks the segment for removal

    // The segment stays for the second process, which can still read it.
    EXPECT_TRUE(SegmentExists(shmid, &ds)) << "the segment went with the first object";
    EXPECT_EQ(ds.shm_nattch, 1u);
    EXPECT_TRUE(ds.shm_perm.mode & SHM_DEST);
    Report late{};
    EXPECT_TRUE(child.Ask(kReadRings, &late));
    EXPECT_EQ(late.ringHash, hash);
    for (int i = 0; i < kStreams; ++i) EXPECT_EQ(late.channel[i], kChannels[i]);

    // Once the second process detaches, the segment is gone.
    EXPECT_TRUE(child.Tell(kDetach));
    EXPECT_EQ(child.Wait(kAnswerMs), 0);
    EXPECT_FALSE(SegmentExists(shmid, &ds)) << "segment " << shmid << " left behind";
    msspt::RemoveKeyFile(name, kGroup);
    if (SegmentExists(shmid, &ds)) shmctl(shmid, IPC_RMID, nullptr);
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], kChildFlag) == 0) return ChildMain(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

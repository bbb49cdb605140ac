// Two processes, one segment: while this process plays (StartParse on the
// scripted host, reader threads filling, the test taking frames), a second
// process attaches the same name and group. It must see the first one's
// streams (their channels, frames parsed), leave them untouched (no header
// reset: the counters only move on and the first keeps playing), and keep a
// working segment after the first object is destroyed: it still reads the
// same ring bytes, IPC_STAT still finds the segment until the second process
// detaches, and then it is gone.
//
// The second process is this test program again, started with kChildFlag
// (see main at the end); it takes one-letter commands on descriptor 3 and
// answers on descriptor 4 (its standard output carries the parser's banners). Every wait is bounded; a child that
// does not answer is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "MsspInternal.h"
#include "ScriptedHost.h"
#include "TargetProgram.h"
#include "TestAccess.h"

extern char** environ;

using A = MsspTestAccess;
using P = CMultiStreamSyncParser;

namespace {

constexpr const char* kChildFlag = "--mssp-shared-segment-child";
constexpr int kGroup = 4, kStreams = 2, kBufSize = 4 * 65536, kFrameNum = 24;
constexpr int kChannels[kStreams] = {3, 5};
constexpr int kAnswerMs = 10000;
const msspt::DateTime kStart{26, 2, 3, 8, 0, 0};

// What a process sees in the segment.
struct Report {
    int32_t shmid;
    int32_t channel[kStreams];
    uint32_t parseNum[kStreams];
    uint8_t state[kStreams];
    uint64_t ringHash;  // FNV-1a of both rings
    int32_t started;    // the StartParse result of command 'S'
};

Report Look(P& p) {
    Report r{};
    r.shmid = A::Shmid(p);
    r.ringHash = 1469598103934665603ull;
    for (int i = 0; i < kStreams; ++i) {
        r.channel[i] = mssp::LoadAcquire(A::Head(p, i)->channel);
        r.parseNum[i] = mssp::LoadAcquire(A::Head(p, i)->parseNum);
        r.state[i] = mssp::LoadAcquire(A::Head(p, i)->state);
        for (int k = 0; k < kBufSize; ++k) r.ringHash = (r.ringHash ^ A::Ring(p, i)[k]) * 1099511628211ull;
    }
    return r;
}

// Reads or writes exactly n bytes, waiting at most kAnswerMs in all.
bool Transfer(int fd, void* data, size_t n, bool out) {
    char* p = static_cast<char*>(data);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerMs);
    while (n > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd pfd{fd, static_cast<short>(out ? POLLOUT : POLLIN), 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t r = out ? write(fd, p, n) : read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The second process: 'A' attaches and reports, 'S' attaches and starts
// reader threads (on a host without recordings), 'R' reports again (after the
// first object is gone), 'D' detaches and ends.
int ChildMain(char** argv) {
    std::string name = argv[2];
    msspt::ScriptedHost host;
    MSSP_StreamOperation_t ops = msspt::ScriptedHost::Table();
    std::unique_ptr<P> p;
    int started = 0;
    for (char c = 0; Transfer(3, &c, 1, false);) {
        if (c == 'D') return 0;  // the destructor detaches and marks the segment for removal
        if (c == 'A') p = std::make_unique<P>(kGroup, kStreams, name.data(), kBufSize, kFrameNum, nullptr, nullptr, 0);
        if (c == 'S') {
            p = std::make_unique<P>(kGroup, kStreams, name.data(), kBufSize, kFrameNum, &ops, &host, 0);
            tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
            tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
            started = p->StartParse(0x3, 0x01, 0, &date, &time, false, 1);
        }
        if (p == nullptr) return 4;
        Report r = Look(*p);
        r.started = started;
        if (!Transfer(4, &r, sizeof(r), true)) return 3;
    }
    return 2;
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
        posix_spawn_file_actions_adddup2(&fa, cmd[0], 3);
        posix_spawn_file_actions_adddup2(&fa, rep[1], 4);
        // This program again, through a cross build's emulator if there is one.
        std::vector<std::string> words = msspt::ProgramArgv(msspt::SelfPath());
        words.insert(words.end(), {kChildFlag, name});
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
        if (pid_ > 0 && Wait(0) < 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        close(cmd_);
        close(rep_);
    }
    bool Ask(char c, Report* r) { return Transfer(cmd_, &c, 1, true) && (r == nullptr || Transfer(rep_, r, sizeof(*r), false)); }
    // The child's exit status, or -1 when it did not end within `ms`.
    int Wait(int ms) {
        for (int k = 0; k <= ms; ++k) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            if (k < ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return -1;
    }
    pid_t pid_ = -1;

private:
    int cmd_ = -1, rep_ = -1;
};

// Takes `count` frames as a playback thread would (within 5 s), checking each one's bytes.
int Take(P& p, const std::map<std::pair<int, uint64_t>, msspt::Bytes>& packs, int count, int* bad) {
    int n = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5); n < count && std::chrono::steady_clock::now() < end;) {
        unsigned char *d1 = nullptr, *d2 = nullptr;
        int l1 = 0, l2 = 0, type = 0, channel = -1;
        unsigned long long pts = 0;
        const int idx = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, nullptr, &channel, 1, 0);
        if (idx < 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            continue;
        }
        msspt::Bytes got(d1, d1 + l1);
        got.insert(got.end(), d2, d2 + l2);
        auto it = packs.find({channel, pts});
        *bad += it == packs.end() || it->second != got;
        ++n;
        p.ReleaseFrame(idx);
    }
    return n;
}

}  // namespace

TEST(SharedSegment, SecondProcessAttachesWhilePlaying_SeesStreamsLeavesThemAndOutlivesFirst) {
    const std::string name = msspt::UniqueName("shs");
    Child child(name);
    ASSERT_GT(child.pid_, 0);
    msspt::ScriptedHost host;
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
    MSSP_StreamOperation_t ops = msspt::ScriptedHost::Table();
    auto first = std::make_unique<P>(kGroup, kStreams, const_cast<char*>(name.c_str()), kBufSize, kFrameNum, &ops, &host, 1);
    const int shmid = A::Shmid(*first);
    ASSERT_GE(shmid, 0);
    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
    ASSERT_EQ(first->StartParse((1u << kChannels[0]) | (1u << kChannels[1]), 0x01, 0, &date, &time, false, 1), 0);
    int bad = 0;
    EXPECT_EQ(Take(*first, packs, 10, &bad), 10);

    const Report before = Look(*first);
    Report seen{};
    ASSERT_TRUE(child.Ask('A', &seen)) << "the second process did not attach";
    const Report after = Look(*first);
    shmid_ds ds{};
    EXPECT_EQ(shmctl(shmid, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 2u);
    EXPECT_EQ(seen.shmid, shmid);
    for (int i = 0; i < kStreams; ++i) {
        // The second process sees the first one's streams as they are, and
        // its attach reset nothing: the counters only moved on.
        EXPECT_EQ(seen.channel[i], kChannels[i]);
        EXPECT_EQ(seen.state[i], MSSP_STATUS_PLAY);
        EXPECT_GE(seen.parseNum[i], before.parseNum[i]);
        EXPECT_GT(seen.parseNum[i], 0u);
        EXPECT_EQ(after.channel[i], kChannels[i]);
        EXPECT_GE(after.parseNum[i], seen.parseNum[i]);
    }
    EXPECT_EQ(Take(*first, packs, 20, &bad), 20) << "the first one keeps playing";
    EXPECT_EQ(first->StopParse(), 0);
    EXPECT_EQ(host.OpenHandles(), 0);
    EXPECT_EQ(bad, 0);
    const uint64_t hash = Look(*first).ringHash;
    first.reset();  // detaches and marks the segment for removal

    // The segment stays for the second process, which can still read it.
    EXPECT_EQ(shmctl(shmid, IPC_STAT, &ds), 0) << "the segment went with the first object";
    EXPECT_EQ(ds.shm_nattch, 1u);
    EXPECT_TRUE(ds.shm_perm.mode & SHM_DEST);
    Report late{};
    EXPECT_TRUE(child.Ask('R', &late));
    EXPECT_EQ(late.ringHash, hash);
    EXPECT_EQ(late.channel[1], kChannels[1]);

    // Once the second process detaches, the segment is gone.
    EXPECT_TRUE(child.Ask('D', nullptr));
    EXPECT_EQ(child.Wait(kAnswerMs), 0);
    EXPECT_NE(shmctl(shmid, IPC_STAT, &ds), 0) << "segment " << shmid << " left behind";
    msspt::RemoveKeyFile(name, kGroup);
    shmctl(shmid, IPC_RMID, nullptr);
}

// The process whose readers fill a segment holds its key file's lock until
// it dies: another process's StartParse is refused meanwhile, naming it; a
// monitor sees the lock and its process id in the key file. Once it is
// killed, StartParse works.
TEST(SharedSegment, ReadersOfAnotherProcess_RefuseStartWhileItLives_NotOnceItIsKilled) {
    const std::string name = msspt::UniqueName("shk");
    const std::string keyFile = msspt::KeyFilePath(name, kGroup);
    Child child(name);
    ASSERT_GT(child.pid_, 0);
    Report r{};
    ASSERT_TRUE(child.Ask('S', &r)) << "the other process did not start";
    ASSERT_EQ(r.started, 0);
    const pid_t other = child.pid_;
    // What a monitor sees: the lock held, and whose.
    const auto lockHolder = [&]() -> std::string {
        const int fd = open(keyFile.c_str(), O_RDONLY | O_CLOEXEC);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        char text[24] = {};
        const bool held = fd >= 0 && fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK &&
                          pread(fd, text, sizeof(text) - 1, 0) > 0;
        if (fd >= 0) close(fd);
        return held ? text : "";
    };
    EXPECT_EQ(lockHolder(), std::to_string(other) + "\n");

    msspt::ScriptedHost host;
    MSSP_StreamOperation_t ops = msspt::ScriptedHost::Table();
    P p(kGroup, kStreams, const_cast<char*>(name.c_str()), kBufSize, kFrameNum, &ops, &host, 1);
    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
    testing::internal::CaptureStdout();
    const int refused = p.StartParse(0x3, 0x01, 0, &date, &time, false, 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(refused, -1);
    EXPECT_NE(out.find("shared segment of key file " + keyFile + " is in use by process " + std::to_string(other) +
                       ", whose reader threads fill it: nothing started"),
              std::string::npos)
        << out;
    EXPECT_TRUE(host.Calls().empty());

    kill(other, SIGKILL);
    EXPECT_EQ(child.Wait(kAnswerMs), 128);
    EXPECT_EQ(lockHolder(), "") << "the lock outlived its process";
    EXPECT_EQ(p.StartParse(0x3, 0x01, 0, &date, &time, false, 1), 0);
    EXPECT_EQ(lockHolder(), std::to_string(getpid()) + "\n");
    EXPECT_EQ(p.StopParse(), 0);
    EXPECT_EQ(lockHolder(), "");
    msspt::RemoveKeyFile(name, kGroup);
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], kChildFlag) == 0) return ChildMain(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

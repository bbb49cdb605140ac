// Damaged input must not stall the engine or end the process: a host that
// hands back the same damaged I-frame in trick play, a host whose bytes hold
// no pack header at all, and counts, indexes and places in the shared segment
// written by someone else.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "MsspInternal.h"
#include "ParserHarness.h"
#include "Watchdog.h"
#ifdef MSSP_TEST_HOST_LAYER
#include "MsspHost.h"
#include "PackWriter.h"
#include "RecGroup.h"
#include "RecIndex.h"
#include "RecWriter.h"
#endif

using A = MsspTestAccess;
using msspt::Bytes;
using msspt::DateTime;
using msspt::Delivered;
using msspt::ParserHarness;
using P = CMultiStreamSyncParser;

namespace {

constexpr DateTime kStart{26, 5, 6, 9, 0, 0};
constexpr DateTime kBeforeAll{0, 0, 0, 0, 0, 0};

msspt::RecordingBuilder Synthetic(uint8_t channel, int gops) {
    msspt::SynthSpec s;
    s.channel = channel;
    s.start = kStart;
    s.gopsPerSegment = gops;
    return msspt::MakeSynthetic(s);
}

// Every delivered frame is one of the recorded packs, in recorded order
// (frames given up by a reset leave gaps, nothing else may).
void ExpectInOrderSubset(const std::vector<Delivered>& got, const std::vector<msspt::PackInfo>& packs) {
    size_t at = 0;
    for (size_t k = 0; k < got.size(); ++k) {
        while (at < packs.size() && packs[at].bytes != got[k].bytes) ++at;
        ASSERT_LT(at, packs.size()) << "frame " << k << " is no recorded pack, or out of order";
        ++at;
    }
}

std::string Printed(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

Bytes g_sameIFrame;  // what every I-frame read returns
int SameIFrame(void*, int, unsigned char** data, int* length, unsigned char* newSegment, int) {
    *data = g_sameIFrame.data();
    *length = static_cast<int>(g_sameIFrame.size());
    *newSegment = 0;
    return 1;
}

std::atomic<int> g_zeroReads{0};
int Zeros(void*, int, unsigned char* dst, int maxLen, unsigned char* newSegment) {
    std::memset(dst, 0, static_cast<size_t>(maxLen));
    *newSegment = 0;
    g_zeroReads.fetch_add(1, std::memory_order_relaxed);
    return maxLen;
}

}  // namespace

TEST(DamagedInput, TrickPlay_SameRejectedIFrameAgainAndAgain_StreamEnds) {
    const Bytes good = Synthetic(0, 1).packs[0].bytes;
    msspt::RecordingBuilder withBadSum;
    withBadSum.NewSegment(kStart);
    packwriter::NewPack bad;
    bad.kind = packwriter::kIFrame;
    bad.pts = 1000;
    bad.time = kStart;
    bad.checksum = 0x01;
    withBadSum.AddNewPack(bad, 900, kStart);
    Bytes longer = good;
    longer.resize(good.size() + 5);
    const std::vector<Bytes> rows = {longer, withBadSum.packs[0].bytes, Bytes(good.begin(), good.begin() + 20)};
    for (size_t r = 0; r < rows.size(); ++r) {
        ParserHarness h("dit", 1, 1 << 20, 32);
        h.host.SetRecording(0, 0, Synthetic(0, 2).recording);
        h.Prime(0, 0, 0, kBeforeAll);
        A::Operation(h.P()).ReadNextIFrame = SameIFrame;
        A::Status(h.P()) = MSSP_STATUS_FAST_FORWARD;
        g_sameIFrame = rows[r];
        int calls = 0;
        const std::string out = Printed([&] {
            for (; calls < 100 && h.Head(0)->state <= MSSP_STATUS_FAST_BACKWARD; ++calls) h.P().ParseFrame(0);
        });
        EXPECT_EQ(h.Head(0)->state, MSSP_STATUS_OVER) << "row " << r;
        EXPECT_LE(calls, 8) << "row " << r;
        EXPECT_EQ(h.Waiting(0), 0) << "row " << r;
        EXPECT_NE(out.find("8 I-frames rejected in a row, stream over :index:0 chn:0"), std::string::npos);
    }
}

// Bytes without any pack header, forever: each call makes a bounded number of
// reads, and the threads answer Idle, Seek and StopParse.
TEST(DamagedInput, HeaderlessBytesForever_CallsBoundedControlAnswered) {
    {
        ParserHarness h("diz", 1, 1 << 20, 32);
        h.host.SetRecording(0, 0, Synthetic(0, 1).recording);
        h.Prime(0, 0, 0, kBeforeAll);
        A::Operation(h.P()).ReadStream = Zeros;
        for (int k = 0; k < 4; ++k) {
            g_zeroReads = 0;
            EXPECT_EQ(h.P().ParseFrame(0), 1) << "the bytes searched are used up: progress";
            EXPECT_LE(g_zeroReads.load(), 8);
            EXPECT_GE(g_zeroReads.load(), 1);
        }
        EXPECT_EQ(h.Head(0)->state, MSSP_STATUS_PLAY);
        EXPECT_EQ(h.Waiting(0), 0);
    }
    msspt::Watchdog dog(std::chrono::seconds(60), "header-less bytes forever");
    ParserHarness h("dizt", 2, 1 << 20, 32);
    for (uint8_t c = 0; c < 2; ++c) h.host.SetRecording(c, 0, Synthetic(c, 1).recording);
    A::Operation(h.P()).ReadStream = Zeros;
    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
    Printed([&] {
        ASSERT_EQ(h.P().StartParse(0x3, 0x01, 0, &date, &time, false, 1), 0);
        const int before = g_zeroReads.load();
        while (g_zeroReads.load() < before + 64) usleep(1000);
        EXPECT_EQ(h.P().Idle(true), 0);
        EXPECT_EQ(h.P().Idle(false), 0);
        Common::_datetime_ at{kStart[0], kStart[1], kStart[2], kStart[3], kStart[4], kStart[5], 0};
        h.P().Seek(&at, 0);
        EXPECT_EQ(h.P().StopParse(), 0);
    });
    EXPECT_EQ(h.host.OpenHandles(), 0);
}

// Values the stream cannot hold, as another process may write them: the
// stream is reset with a message, the process lives, parsing goes on and
// every frame stored is a recorded pack.
TEST(DamagedInput, ImpossibleSegmentValues_StreamResetNotProcessEnd) {
    struct Row {
        const char* what;
        std::function<void(P&)> spoil;
    };
    const std::vector<Row> rows = {
        {"free size", [](P& p) {
             A::Nodes(p, 0)[0].offset1 = 3u << 20;  // a waiting frame's place beyond the ring
             A::Head(p, 0)->parseNum = 1;
             A::Cursor(p, 0)->lastIndex = 0;
         }},
        {"waiting count", [](P& p) { A::Head(p, 0)->parseNum = 100000; }},
        {"waiting count", [](P& p) { A::Head(p, 0)->getNum = 0x80000000u; }},
        {"lastIndex", [](P& p) { A::Cursor(p, 0)->lastIndex = 77; }},
    };
    const msspt::RecordingBuilder b = Synthetic(0, 60);
    for (const Row& row : rows) {
        ParserHarness h("dis", 1, 1 << 20, 32);
        h.host.SetRecording(0, 0, b.recording);
        h.Prime(0, 0, 0, kBeforeAll);
        row.spoil(h.P());
        std::vector<Delivered> got;
        const std::string out = Printed([&] {
            h.P().ParseFrame(0);  // the reader meets the value before any consumer
            got = h.DrainAll(0, 5);
        });
        EXPECT_NE(out.find(std::string("impossible ") + row.what), std::string::npos) << row.what;
        EXPECT_NE(out.find("in the shared segment:index:0, stream reset"), std::string::npos) << row.what;
        EXPECT_EQ(h.Head(0)->state, MSSP_STATUS_OVER) << row.what;
        EXPECT_GT(got.size(), 10u) << row.what;
        ExpectInOrderSubset(got, b.packs);
    }
}

// Another process attaches the segment and writes random values into the
// streams' counts, cursors and frame places while two streams play: the
// player's process lives, never gets a frame outside a ring, and playback
// runs to its end; the next playback is intact.
TEST(DamagedInput, HostileWritesBySecondAttach_ProcessLivesPlaybackEnds) {
#ifdef __SANITIZE_THREAD__
    // A child forked while the reader threads run can hang inside the thread
    // sanitizer's runtime (seen once in 2 runs); the other builds run it.
    GTEST_SKIP() << "fork of a running playback under ThreadSanitizer";
#endif
    msspt::Watchdog dog(std::chrono::seconds(100), "hostile writes into the segment");
    constexpr int kRing = 1 << 20;
    ParserHarness h("dih", 2, kRing, 32);
    std::vector<msspt::RecordingBuilder> recs = {Synthetic(0, 80), Synthetic(1, 80)};
    for (uint8_t c = 0; c < 2; ++c) h.host.SetRecording(c, 0, recs[c].recording);
    P& p = h.P();
    // Offsets in the segment of the values the other process spoils.
    std::vector<size_t> targets;
    auto at = [&](const void* field) {
        targets.push_back(static_cast<size_t>(static_cast<const uint8_t*>(field) -
                                              static_cast<const uint8_t*>(A::ShareMem(p))));
    };
    for (int i = 0; i < 2; ++i) {
        at(&A::Head(p, i)->parseNum);
        at(&A::Head(p, i)->getNum);
        at(&A::Cursor(p, i)->getIndex);
        at(&A::Cursor(p, i)->lastIndex);
        for (int n = 0; n < 32; ++n) {
            at(&A::Nodes(p, i)[n].offset1);
            at(&A::Nodes(p, i)[n].length1);
            at(&A::Nodes(p, i)[n].length2);
        }
    }
    const int shmid = A::Shmid(p);
    tag_tavuDate date{kStart[0], kStart[1], kStart[2]};
    tag_tavuTime time{kStart[3], kStart[4], kStart[5]};
    // Plays to the end; every frame must lie inside its ring. While `child`
    // writes, frames are taken slowly and at most 300 of them, so that both
    // streams stay live (their readers meet the values) until it is done.
    pid_t child = -1;
    int childStatus = -1;
    auto play = [&]() {
        std::vector<std::vector<Bytes>> got(2);
        while (p.GetStatus() != 0) {
            if (child > 0 && waitpid(child, &childStatus, WNOHANG) == 0) {
                usleep(2000);
                if (got[0].size() + got[1].size() >= 300) continue;
            } else {
                child = -1;
            }
            unsigned char *d1 = nullptr, *d2 = nullptr;
            int n1 = 0, n2 = 0, type = 0;
            unsigned long long pts = 0;
            const int i = p.GetFrame(&d1, &n1, &d2, &n2, &type, &pts, nullptr, nullptr, 1, 0);
            if (i < 0) {
                usleep(200);
                continue;
            }
            const unsigned char* ring = A::Ring(p, i);
            EXPECT_TRUE(d1 >= ring && n1 > 0 && d1 + n1 <= ring + kRing);
            EXPECT_TRUE(n2 == 0 || (d2 >= ring && d2 + n2 <= ring + kRing));
            Bytes frame(d1, d1 + n1);
            if (n2 > 0) frame.insert(frame.end(), d2, d2 + n2);
            got[static_cast<size_t>(i)].push_back(frame);
            p.ReleaseFrame(i);
        }
        return got;
    };
    const std::string out = Printed([&] {
        ASSERT_EQ(p.StartParse(0x3, 0x01, 0, &date, &time, false, 0), 0);
        child = fork();
        if (child == 0) {
            // The other process: its own attachment, random values, no library.
            auto* seg = static_cast<uint8_t*>(shmat(shmid, nullptr, 0));
            if (seg == reinterpret_cast<uint8_t*>(-1)) _exit(2);
            uint32_t x = 12345;
            for (int k = 0; k < 400; ++k) {
                x = x * 1103515245u + 12345u;
                const uint32_t value = (x >> 8) % 4 == 0 ? 0xFFFFFFFFu - (x & 0xFFF) : x * 2654435761u;
                std::memcpy(seg + targets[(x >> 4) % targets.size()], &value, 4);
                usleep(500);
            }
            shmdt(seg);
            _exit(0);
        }
        ASSERT_GT(child, 0);
        play();
        if (child > 0) waitpid(child, &childStatus, 0);
        EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);
        EXPECT_EQ(p.StopParse(), 0);
        // The object is whole: the next playback delivers every frame intact.
        ASSERT_EQ(p.StartParse(0x3, 0x01, 0, &date, &time, false, 0), 0);
        const auto again = play();
        for (size_t c = 0; c < 2; ++c) {
            ASSERT_EQ(again[c].size(), recs[c].packs.size()) << "channel " << c;
            for (size_t k = 0; k < again[c].size(); ++k) EXPECT_TRUE(again[c][k] == recs[c].packs[k].bytes);
        }
        EXPECT_EQ(p.StopParse(), 0);
    });
    EXPECT_NE(out.find("in the shared segment"), std::string::npos) << "no impossible value was met";
}

#ifdef MSSP_TEST_HOST_LAYER
// A recording group damaged in each of the ways recordings get damaged,
// played through the recording store and the host layer with trick play
// both ways and seeks: nothing crashes or hangs, and every delivered frame
// is a pack as it lies in its segment file.
TEST(DamagedInput, DamagedGroups_PlayedWithTrickPlayAndSeeks) {
    using recstore::RecWriter;
    using Bytes = std::vector<uint8_t>;
    auto file = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    auto put = [](const std::string& path, const Bytes& b) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    };
    auto edit = [&](const std::string& path, const std::function<void(Bytes&)>& f) {
        Bytes b = file(path);
        f(b);
        put(path, b);
    };
    // Byte positions in a segment: the pack k * 1000 + 300 bytes in is one
    // of ~3 KiB I-frames or 700-byte P-frames; the header sits at its start.
    auto flipEvery = [](size_t step, size_t at) {
        return [=](Bytes& b) {
            for (size_t k = at; k < b.size(); k += step) b[k] ^= 0x5A;
        };
    };
    const struct {
        const char* family;
        std::function<void(const std::string& dir, const std::string& seg)> damage;
    } rows[] = {
        {"truncation", [&](const std::string&, const std::string& seg) { edit(seg, [](Bytes& b) { b.resize(b.size() * 2 / 3 + 7); }); }},
        {"header flips", [&](const std::string&, const std::string& seg) { edit(seg, flipEvery(1777, 13)); }},
        {"payload flips", [&](const std::string&, const std::string& seg) { edit(seg, flipEvery(997, 500)); }},
        {"bad lengths", [&](const std::string&, const std::string& seg) { edit(seg, flipEvery(2311, 9)); }},
        {"bad timestamps", [&](const std::string&, const std::string& seg) { edit(seg, flipEvery(1531, 70)); }},
        {"empty file", [&](const std::string&, const std::string& seg) { put(seg, {}); }},
        {"random bytes", [&](const std::string&, const std::string& seg) {
             Bytes b(file(seg).size());
             uint32_t x = 7;
             for (uint8_t& v : b) v = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
             put(seg, b);
         }},
        {"missing file", [](const std::string&, const std::string& seg) { std::remove(seg.c_str()); }},
        {"not a regular file", [](const std::string&, const std::string& seg) {
             std::remove(seg.c_str());
             mkfifo(seg.c_str(), 0644);
         }},
        {"lying index", [&](const std::string&, const std::string& seg) {
             edit(recstore::IndexPathFor(seg), flipEvery(29, 40));
             edit(seg, flipEvery(4001, 13));
         }},
        {"manifest edits", [&](const std::string& dir, const std::string&) {
             edit(dir + "/" + recstore::kManifestName, [](Bytes& b) {
                 for (size_t k = 0; k + 1 < b.size(); ++k)
                     if (b[k] == '1' && b[k + 1] == ',') b[k] = '7';  // numbers that no longer match
             });
         }},
    };
    char tmpl[] = "/tmp/mssp_damagedXXXXXX";
    const std::string root = mkdtemp(tmpl);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.family);
        msspt::Watchdog dog(std::chrono::seconds(120), row.family);
        const std::string dir = root + "/" + std::to_string(&row - rows);
        std::string err;
        std::vector<std::string> segs;
        {
            RecWriter w(dir, 0);
            for (uint8_t ch = 0; ch < 2; ++ch) {
                for (int s = 0; s < 3; ++s) {
                    const int64_t first = s * 20000;
                    ASSERT_TRUE(w.BeginSegment(ch, 0, recstore::DateTime{26, 3, 4, 10, static_cast<uint8_t>(s / 3),
                                                                       static_cast<uint8_t>(s * 20 % 60)},
                                               false, recstore::PackFormat::kNew, &err)) << err;
                    for (int n = 0; n < 150; ++n) {
                        const int64_t ms = first + n * 40;
                        packwriter::NewPack p;
                        p.kind = n % 25 == 0 ? packwriter::kIFrame : packwriter::kPFrame;
                        p.channel = ch;
                        p.video = packwriter::VideoInfo{704, 576, 25};
                        p.pts = static_cast<uint64_t>(ms) + 1;
                        p.time = recstore::DateTime{26, 3, 4, 10, static_cast<uint8_t>(ms / 60000),
                                                    static_cast<uint8_t>(ms / 1000 % 60)};
                        const Bytes pack = packwriter::MakeNewPack(
                            p, packwriter::PatternPayload(n % 25 == 0 ? 3000 : 700, static_cast<uint32_t>(ms + ch)));
                        ASSERT_TRUE(w.AppendPack(ch, 0, pack.data(), pack.size(), &err)) << err;
                    }
                    ASSERT_TRUE(w.EndSegment(ch, 0, &err)) << err;
                }
            }
            ASSERT_TRUE(w.Finish(&err)) << err;
            segs = {w.SegmentPath(0, 0, 1), w.SegmentPath(1, 0, 0), w.SegmentPath(1, 0, 2)};
        }
        std::vector<Bytes> recorded(2);  // what the engine may deliver: the bytes in the files now
        for (const std::string& seg : segs) row.damage(dir, seg);
        for (uint8_t ch = 0; ch < 2; ++ch)
            for (int s = 0; s < 3; ++s) {
                const std::string path = dir + "/" + recstore::DefaultSegmentFile(ch, 0, static_cast<uint32_t>(s));
                struct stat st;
                if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
                const Bytes b = file(path);
                recorded[ch].insert(recorded[ch].end(), b.begin(), b.end());
            }
        mssphost::Options o;
        o.groupDir = dir;
        o.ringBytes = 1 << 20;
        o.nodes = 64;
        o.everyChannel = false;
        std::string why;
        std::unique_ptr<mssphost::Session> s;
        size_t frames = 0;
        const std::string out = Printed([&] {
            s = mssphost::Session::Open(o, &why);
            if (!s) return;  // a group that cannot be played is refused, not played
            if (!s->Start(0, &why)) return;
            // Takes up to `n` frames (or until playback runs out).
            auto take = [&](int n) {
                for (int k = 0, idle = 0; k < n && idle < 4000 && s->Live(); ++k) {
                    mssphost::Frame f;
                    if (!s->Take(&f)) {
                        ++idle;
                        --k;
                        usleep(500);
                        continue;
                    }
                    idle = 0;
                    Bytes got(f.pack.Size());
                    f.pack.Copy(0, got.size(), got.data());
                    const Bytes& rec = recorded[static_cast<size_t>(f.channel)];
                    EXPECT_NE(memmem(rec.data(), rec.size(), got.data(), got.size()), nullptr)
                        << "a frame of channel " << f.channel << " that is not in its files";
                    ++frames;
                    s->Release(f);
                }
            };
            take(60);
            s->Trick(mssphost::Mode::kFastForward, 8, 10000);
            take(10);
            s->Trick(mssphost::Mode::kFastBackward, 16, 50000);
            take(10);
            s->Seek(30000);
            take(100000);
            s->Stop();
        });
        EXPECT_TRUE(s == nullptr || frames > 0 || row.family == std::string("manifest edits")) << out.substr(0, 2000);
    }
    std::filesystem::remove_all(root);
}
#endif

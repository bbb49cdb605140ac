// Recording store: positioning, reading across segments and trick play over
// one recording built once; damaged recordings (lost or foreign files, lying
// indexes, packs damaged behind the index's back); the old pack format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>

#include "PackWriter.h"
#include "RecStore.h"
#include "RecWriter.h"
#include "TargetProgram.h"

using namespace recstore;
using Bytes = std::vector<uint8_t>;
using msspt::ReadBytes;
using msspt::WriteBytes;

namespace {

const DateTime kStart{26, 1, 1, 10, 0, 0};
DateTime At(int64_t ms) { return SecondsToDateTime(DateTimeToSeconds(kStart) + ms / 1000); }

// The store's messages since the suite began.
std::mutex g_logMutex;
std::vector<std::string> g_log;
bool Logged(const std::string& needle) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return std::any_of(g_log.begin(), g_log.end(), [&](const std::string& l) { return l.find(needle) != l.npos; });
}

struct SegSpec {
    int64_t startMs;  // pts = ms since kStart
    int frames, gop = 25;
    bool audio = false;
    PackFormat format = PackFormat::kNew;
};

// Video packs at 25 fps (3000-byte I payloads, 700-byte P), each after an
// audio pack in a segment with audio.
void WriteSegment(RecWriter& w, uint8_t ch, uint8_t type, const SegSpec& s) {
    std::string err;
    ASSERT_TRUE(w.BeginSegment(ch, type, At(s.startMs), s.audio, s.format, &err)) << err;
    for (int n = 0; n < s.frames; ++n) {
        const int64_t ms = s.startMs + n * 40;
        const auto kind = n % s.gop ? packwriter::kPFrame : packwriter::kIFrame;
        const Bytes payload = packwriter::PatternPayload(n % s.gop ? 700 : 3000, static_cast<uint32_t>(ms) * 7 + ch * 131);
        Bytes audio, pack;
        if (s.format == PackFormat::kNew) {
            packwriter::NewPack p;
            p.channel = ch, p.pts = static_cast<uint64_t>(ms), p.time = At(ms), p.kind = packwriter::kAudio, p.flag = true;
            if (s.audio) audio = packwriter::MakeNewPack(p, packwriter::PatternPayload(320, 9));
            p.kind = kind, p.flag.reset(), p.video = packwriter::VideoInfo{704, 576, 25};
            pack = packwriter::MakeNewPack(p, payload);
        } else {
            packwriter::OldVideoPack p;
            p.kind = kind, p.channel = ch, p.ptsUs = static_cast<uint64_t>(ms) * 1000, p.time = At(ms);
            if (s.audio) audio = packwriter::MakeOldAudioPack(ch, 0, packwriter::PatternPayload(320, 9));
            pack = packwriter::MakeOldVideoPack(p, payload);
        }
        for (const Bytes* b : {&audio, &pack}) {
            if (!b->empty()) { ASSERT_TRUE(w.AppendPack(ch, type, b->data(), b->size(), &err)) << err; }
        }
    }
    ASSERT_TRUE(w.EndSegment(ch, type, &err)) << err;
}

MSSP_OpenParam_t OpenParam(uint8_t ch, uint8_t typeBmp, const DateTime& t, uint32_t group = 0) {
    return MSSP_OpenParam_t{ch, typeBmp, 0, group, t[0], t[1], t[2], t[3], t[4], t[5], {0, 0}};
}
int Seek(RecStore& s, int h, const DateTime& t) {
    const MSSP_SeekTime_t time{t[0], t[1], t[2], t[3], t[4], t[5]};
    return s.SeekStream(h, &time);
}

PackHeader Head(const uint8_t* p, size_t n, PackFormat format = PackFormat::kNew) {
    PackHeader h;
    EXPECT_EQ(DecodeHeader(format, p, n, &h, nullptr), Decode::kOk);
    return h;
}

// Pts of the first I-frame of the next read (at most one audio pack before it); -1 at the end.
int64_t NextPts(RecStore& s, int h) {
    Bytes buf(65536);
    unsigned char flag = 0;
    const int n = s.ReadStream(h, buf.data(), 65536, &flag);
    if (n <= 0) return -1;
    PackHeader hd = Head(buf.data(), static_cast<size_t>(n));
    if (hd.type == kTypeAudio) hd = Head(buf.data() + hd.packLen, static_cast<size_t>(n) - hd.packLen);
    return hd.type == kTypeI ? static_cast<int64_t>(hd.ptsMs) : -2;
}

// Trick play until the end: the pts of every pack returned, and its new-segment flag.
std::vector<int64_t> Walk(RecStore& s, int h, bool forward, int step, std::vector<int>* newSeg = nullptr) {
    std::vector<int64_t> out;
    unsigned char* data = nullptr;
    int len = 0, r = 0;
    for (unsigned char seg = 9; out.size() < 64 && (r = forward ? s.ReadNextIFrame(h, &data, &len, &seg, step)
                                                             : s.ReadPrevIFrame(h, &data, &len, &seg, step)) > 0;) {
        const PackHeader hd = Head(data, static_cast<size_t>(len));
        EXPECT_TRUE(hd.type == kTypeI && hd.packLen == static_cast<uint64_t>(len)) << "one whole I-frame pack";
        out.push_back(static_cast<int64_t>(hd.ptsMs));
        if (newSeg) newSeg->push_back(seg);
    }
    EXPECT_EQ(r, 0);
    return out;
}

IndexRead ReadIndex(const std::string& seg, SegmentIndex* index, std::string* why = nullptr) {
    const int fd = open(seg.c_str(), O_RDONLY);
    const IndexRead r = ReadIndexFile(IndexPathFor(seg), PackFormat::kNew, fd, std::filesystem::file_size(seg), index, why);
    close(fd);
    return r;
}
SegmentIndex GoodIndex(const std::string& seg) {
    SegmentIndex index;
    EXPECT_EQ(ReadIndex(seg, &index), IndexRead::kOk) << seg;
    return index;
}

// Channel 0 main stream in three segments (I-frame every second):
//   seg 0: 10:00:00, 4 s, I at pts 0 .. 3000, no audio
//   seg 1: 10:00:06, 4 s, I at 6000 .. 9000, audio      (after a 2 s pause)
//   seg 2: 10:00:10, 2 s, I at 10000, 11000, no audio
// and channel 1: one segment, GOP of 2 s (I at 0, 2000, 4000).
// Tests that damage files restore them (Keep).
class Store : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetLogSink([](const std::string& m) {
            std::lock_guard<std::mutex> lock(g_logMutex);
            g_log.push_back(m);
        });
        dir_ = new msspt::TempDir("recstore_test");
        RecWriter w(dir_->path(), 0);
        WriteSegment(w, 0, 0, SegSpec{0, 100});
        WriteSegment(w, 0, 0, SegSpec{6000, 100, 25, true});
        WriteSegment(w, 0, 0, SegSpec{10000, 50});
        WriteSegment(w, 1, 0, SegSpec{0, 150, 50});
        std::string err;
        ASSERT_TRUE(w.Finish(&err)) << err;
    }
    static void TearDownTestSuite() {
        SetLogSink(nullptr);
        delete dir_;
    }
    // Restores the files named, as they are now, when the test ends.
    struct Keep {
        explicit Keep(std::vector<std::string> p) : paths(std::move(p)) {
            for (const std::string& f : paths) bytes.push_back(ReadBytes(f));
        }
        ~Keep() {
            for (size_t i = 0; i < paths.size(); ++i) std::filesystem::remove(paths[i]), WriteBytes(paths[i], bytes[i]);
        }
        std::vector<std::string> paths;
        std::vector<Bytes> bytes;
    };
    static std::unique_ptr<RecStore> OpenStore() {
        std::string err;
        auto s = RecStore::Open(dir_->path(), &err);
        EXPECT_TRUE(s) << err;
        return s;
    }
    static std::string Seg(int ch, int n) { return dir_->path() + "/" + DefaultSegmentFile(ch, 0, n); }
    static int Open(RecStore& s, uint8_t ch, const DateTime& t, unsigned char flag = 0) {
        const MSSP_OpenParam_t p = OpenParam(ch, 1, t);
        return s.OpenStream(&p, flag);
    }
    static inline msspt::TempDir* dir_ = nullptr;
};

}  // namespace

TEST_F(Store, OpenPositionsAtTheLastIFrameAtOrBeforeTheTimeAndRefusesWhatIsNotThere) {
    auto s = OpenStore();
    const struct {
        uint8_t ch;
        DateTime at;
        int64_t pts;
    } cases[] = {
        {0, At(2000), 2000}, {0, At(2999), 2000}, {1, At(3000), 2000},
        {0, At(5000), 3000},    // in the pause: the last I-frame before it
        {0, At(6000), 6000}, {0, At(11000), 11000},
        {0, DateTime{26, 1, 1, 9, 0, 0}, 0},  // before the first: the first
        {0, At(12000), -1},   // after the end
        {5, At(0), -1},       // no such channel
        {0, DateTime{26, 2, 30, 0, 0, 0}, -1},
    };
    for (const auto& c : cases) {
        const int h = Open(*s, c.ch, c.at);
        EXPECT_EQ(h < 0 ? -1 : NextPts(*s, h), c.pts) << int(c.ch) << " at " << int(c.at[4]) << ":" << int(c.at[5]);
        if (h >= 0) { EXPECT_EQ(s->CloseStream(h, 0), 0); }
    }
    EXPECT_TRUE(Logged("after the end"));
    for (const MSSP_OpenParam_t& p : {OpenParam(0, 1, kStart, 3), OpenParam(0, 2, kStart)})  // group, type
        EXPECT_LT(s->OpenStream(&p, 0), 0);
    EXPECT_LT(s->OpenStream(nullptr, 0), 0);
    EXPECT_EQ(s->OpenHandleCount(), 0);
}

TEST_F(Store, ReadConcatenatesSegmentsFlagsEachNewOneOnceAndNeverOverruns) {
    auto s = OpenStore();
    Bytes expected;
    std::vector<size_t> segStarts;
    for (int n = 0; n < 3; ++n) {
        const Bytes f = ReadBytes(Seg(0, n));
        if (n) segStarts.push_back(expected.size());
        expected.insert(expected.end(), f.begin(), f.end());
    }
    for (int maxLen : {65536, 4093, 3}) {
        const int h = Open(*s, 0, kStart);
        Bytes got, buf(static_cast<size_t>(maxLen) + 16, 0xEE);
        std::vector<size_t> flagged;
        for (unsigned char flag = 7; int n = s->ReadStream(h, buf.data(), maxLen, &flag);) {
            ASSERT_TRUE(n > 0 && n <= maxLen && flag <= 1) << n;
            EXPECT_EQ(buf[static_cast<size_t>(maxLen)], 0xEE) << "wrote past the length asked";
            if (flag) flagged.push_back(got.size());
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
        EXPECT_EQ(got, expected) << maxLen;
        EXPECT_EQ(flagged, segStarts) << maxLen;
        unsigned char flag = 0;
        EXPECT_EQ(s->ReadStream(h, buf.data(), maxLen, &flag), 0) << "stays at the end";
        s->CloseStream(h, 0);
    }
}

// I-frames of channel 0: 0 1000 2000 3000 | 6000 .. 9000 | 10000 11000.
TEST_F(Store, TrickPlayStepsOverTheIFramesBothWaysAndStopsAtTheEnds) {
    auto s = OpenStore();
    const struct {
        bool forward;
        int64_t fromMs;
        int step;
        std::vector<int64_t> pts;
        std::vector<int> newSeg;
    } cases[] = {
        {true, 2000, 0, {2000, 3000, 6000, 7000, 8000, 9000, 10000, 11000}, {0, 0, 1, 0, 0, 0, 1, 0}},
        {false, 7500, 0, {7000, 6000, 3000, 2000, 1000, 0}, {0, 0, 1, 0, 0, 0}},
        {true, 0, 1, {0, 2000, 6000, 8000, 10000, 11000}, {}},  // the last step stops at the last
        {true, 0, 2, {0, 6000, 10000, 11000}, {}},
        {true, 0, 31, {0, 10000, 11000}, {}},
        {true, 8000, 5, {8000, 9000, 10000, 11000}, {}},  // an unknown code: as 0
        {false, 11000, 1, {11000, 9000, 7000, 3000, 1000, 0}, {}},
        {false, 11000, 2, {11000, 7000, 1000, 0}, {}},
        {false, 11000, 31, {11000, 1000, 0}, {}},
    };
    for (const auto& c : cases) {
        const int h = Open(*s, 0, At(c.fromMs));
        std::vector<int> newSeg;
        EXPECT_EQ(Walk(*s, h, c.forward, c.step, &newSeg), c.pts) << c.forward << " step code " << c.step;
        if (!c.newSeg.empty()) { EXPECT_EQ(newSeg, c.newSeg); }
        s->CloseStream(h, 0);
    }
    // After plain reads: backward from the I-frame being played, forward from the next one not read.
    const int h = Open(*s, 0, kStart);
    unsigned char* data = nullptr;
    int len = 0;
    unsigned char seg = 0;
    Bytes buf(5000);  // the I-frame at 0 (3.1 kB) and a few P-frames
    for (bool forward : {false, true}) {
        ASSERT_EQ(Seek(*s, h, kStart), 0);
        ASSERT_EQ(s->ReadStream(h, buf.data(), 5000, &seg), 5000);
        ASSERT_GT(forward ? s->ReadNextIFrame(h, &data, &len, &seg, 0) : s->ReadPrevIFrame(h, &data, &len, &seg, 0), 0);
        EXPECT_EQ(Head(data, static_cast<size_t>(len)).ptsMs, forward ? 1000u : 0u);
    }
    EXPECT_EQ(NextPts(*s, h), 1000) << "plain reads go on from the I-frame returned last";
    s->CloseStream(h, 0);
    EXPECT_EQ((std::vector<int>{StepCount(0), StepCount(1), StepCount(2), StepCount(31)}), (std::vector<int>{1, 2, 4, 8}));
}

// A segment file that is missing, or no regular file, is passed over; an
// index that is not a regular file is rebuilt; such a manifest is refused.
// A path that is no regular file is never opened (a FIFO would block for
// good) and is named for what it is.
TEST_F(Store, LostOrForeignFilesArePassedOverRebuiltOrRefused) {
    const std::string seg = Seg(0, 1), idx = IndexPathFor(Seg(0, 0)), manifest = dir_->path() + "/group.json";
    for (int kind = -1; kind < 3; ++kind) {  // missing, then each kind of path that is no regular file
        const bool missing = kind < 0;
        const std::string says = missing ? "" : " is not a regular file (" + std::string(msspt::kNonRegular[kind].kind) + ")";
        SCOPED_TRACE(missing ? "missing" : says);
        auto make = [&](const std::string& path) { return missing || msspt::kNonRegular[kind].make(path); };
        Keep keep({seg, idx, manifest});
        ASSERT_TRUE(std::filesystem::remove(seg) && make(seg) && std::filesystem::remove(idx) && make(idx));
        auto s = OpenStore();
        const int h = Open(*s, 0, At(7000));
        EXPECT_EQ(NextPts(*s, h), 10000) << "the segment is passed over";
        ASSERT_EQ(Seek(*s, h, At(2000)), 0);
        EXPECT_EQ(NextPts(*s, h), 2000) << "the index is rebuilt by a scan";
        EXPECT_TRUE(missing ? Logged("missing") : Logged("file " + seg + says) && Logged(idx + says));
        s->CloseStream(h, 0);
        tag_tavuSegmentId id{0, 0, 0, 1};
        MSSP_SegmentInfo_t info{};
        EXPECT_EQ(s->GetStreamSegmentInfo(&id, &info), kSegUnusable);
        s.reset();
        ASSERT_TRUE(std::filesystem::remove(manifest) && make(manifest));
        std::string err;
        EXPECT_FALSE(RecStore::Open(dir_->path(), &err));
        if (!missing) { EXPECT_NE(err.find(manifest + says), std::string::npos) << err; }
    }
}

// An index that is corrupt, or whose checksum holds while it lies or names
// packs damaged since, is found out (every indexed pack is checked against
// its entry), rebuilt from the segment and written back. Segment 0 holds
// I-frames at 0 .. 3000 of 3000-byte payloads; segment 1 has audio leads.
TEST_F(Store, CorruptOrLyingIndexIsRebuiltAndWrittenBack) {
    const SegmentIndex good = GoodIndex(Seg(0, 0));
    ASSERT_EQ(good.entries.size(), 4u);
    const uint64_t i2 = good.entries[2].offset, last = i2 + good.entries[2].packLen - 1;
    using Lie = std::function<void(SegmentIndex&, Bytes& seg)>;
    using Raw = std::function<void(Bytes& idx, uint64_t segSize)>;
    const struct {
        const char* name;
        int seg;
        Lie lie;  // about entries, or damage to the segment
        Raw raw;  // damage to the index file
        int64_t atMs, pts;  // the first I-frame read when positioned at atMs
        const char* says;
    } cases[] = {
        {"garbage in the entries", 0, nullptr, [](Bytes& i, uint64_t) {
             for (size_t k = kIndexHeadLen + 3; k < i.size(); k += 7) i[k] ^= 0x5A; }, 2000, 2000, "checksum"},
        {"an empty index", 1, nullptr, [](Bytes& i, uint64_t) { i.clear(); }, 8000, 8000, ""},
        {"far more entries than the file holds", 0, nullptr, [](Bytes& i, uint64_t size) {
             PutLe64(i.data() + 8, size), PutLe32(i.data() + 16, 0x7FFFFFFF); }, 2000, 2000, "does not match the index size"},
        {"an entry beside an I-frame", 0, [](SegmentIndex& x, Bytes&) { x.entries[2].offset += 12; }, nullptr, 2000, 2000,
         "entry"},
        // Positioning would skip a second: the entry at 3000 says 10:00:01.
        {"an entry dated early", 0, [](SegmentIndex& x, Bytes&) { x.entries[3].time = At(1000); }, nullptr, 2000, 2000,
         "entry"},
        {"an entry naming another I-frame of the same length", 0, [](SegmentIndex& x, Bytes&) {
             x.entries[2].offset = x.entries[3].offset, x.entries.pop_back(); }, nullptr, 2000, 2000, "entry"},
        {"an entry's timestamp", 0, [](SegmentIndex& x, Bytes&) { x.entries[1].ptsMs += 40; }, nullptr, 2000, 2000,
         "entry"},
        // The first extension record's length zeroed: the header is invalid.
        {"a damaged I-frame header", 0, [i2](SegmentIndex&, Bytes& s) {
             std::fill_n(s.begin() + static_cast<long>(i2) + 13, 3, 0); }, nullptr, 2000, 1000, "entry"},
        // The payload's last byte, which the checksum always samples.
        {"a damaged I-frame payload", 0, [last](SegmentIndex&, Bytes& s) { s[last] ^= 0xFF; }, nullptr, 2000, 1000,
         "entry"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string seg = Seg(0, c.seg), idx = IndexPathFor(seg);
        Keep keep({seg, idx});
        SegmentIndex told = GoodIndex(seg);
        Bytes segBytes = keep.bytes[0];
        if (c.lie) c.lie(told, segBytes);
        WriteBytes(seg, segBytes);
        ASSERT_TRUE(WriteIndexFile(idx, told, nullptr));
        Bytes idxBytes = ReadBytes(idx);
        if (c.raw) c.raw(idxBytes, segBytes.size());
        WriteBytes(idx, idxBytes);
        std::string why;
        EXPECT_NE(ReadIndex(seg, &told, &why), IndexRead::kOk);
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
        auto s = OpenStore();
        const int h = Open(*s, 0, At(c.atMs));
        EXPECT_EQ(NextPts(*s, h), c.pts);
        s->CloseStream(h, 0);
        if (segBytes == keep.bytes[0]) { EXPECT_EQ(ReadBytes(idx), keep.bytes[1]) << "rebuilt as recorded"; }
        GoodIndex(seg);
    }
    EXPECT_TRUE(Logged("checksum") && Logged("no I-frame of") && Logged("does not match the index size"));
}

// A pack damaged after its index was checked (same size and time: nothing
// tells the cache) is passed over in trick play, where the engine would
// reject it and ask for it again without end.
TEST_F(Store, TrickPlayPassesOverAnIFrameDamagedAfterTheIndexWasChecked) {
    Keep keep({Seg(0, 0)});
    auto s = OpenStore();
    const int h = Open(*s, 0, At(1000));
    const int fd = open(Seg(0, 0).c_str(), O_RDWR);
    struct stat before;
    ASSERT_EQ(fstat(fd, &before), 0);
    const uint8_t zeros[3] = {0, 0, 0};
    ASSERT_EQ(pwrite(fd, zeros, 3, static_cast<off_t>(GoodIndex(Seg(0, 0)).entries[2].offset + 13)), 3);  // I at 2000
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    EXPECT_EQ(Walk(*s, h, true, 0), (std::vector<int64_t>{1000, 3000, 6000, 7000, 8000, 9000, 10000, 11000}));
    ASSERT_EQ(Seek(*s, h, At(3000)), 0);
    EXPECT_EQ(Walk(*s, h, false, 0), (std::vector<int64_t>{3000, 1000, 0}));
    EXPECT_TRUE(Logged("is passed over: invalid header"));
    s->CloseStream(h, 0);
}

// Old packs, indexed by a scan. An old-format audio pack takes the timestamp
// of the pack read before it, so after a positioning the read starts at the
// video pack before the I-frame's audio pack, or at a segment's first I-frame.
TEST(StoreDamaged, OldFormatPositionsAndTricks) {
    msspt::TempDir dir("recstore_test");
    {
        RecWriter w(dir.path(), 4);
        WriteSegment(w, 2, 1, SegSpec{0, 75, 25, false, PackFormat::kOld});
        WriteSegment(w, 2, 1, SegSpec{4000, 50, 25, true, PackFormat::kOld});  // I at 4000 and 5000
        std::string err;
        ASSERT_TRUE(w.Finish(&err));
    }
    std::filesystem::remove(IndexPathFor(dir.path() + "/" + DefaultSegmentFile(2, 1, 0)));
    std::string err;
    auto s = RecStore::Open(dir.path(), &err);
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(s->GroupId(), 4u);
    const MSSP_OpenParam_t p = OpenParam(2, 0x06, At(1500), 4);  // bitmap 0b110: its lowest bit is type 1
    const int h = s->OpenStream(&p, 0);
    ASSERT_GE(h, 0);
    unsigned char* data = nullptr;
    int len = 0;
    unsigned char seg = 0;
    for (uint64_t pts : {1000u, 2000u, 4000u}) {
        ASSERT_GT(s->ReadNextIFrame(h, &data, &len, &seg, 0), 0);
        EXPECT_EQ(Head(data, static_cast<size_t>(len), PackFormat::kOld).ptsMs, pts);
    }
    for (const auto& [ms, type, pts] : {std::tuple{5500, kTypeP, 4960u}, std::tuple{4000, kTypeI, 4000u}}) {
        ASSERT_EQ(Seek(*s, h, At(ms)), 0);
        Bytes buf(4096);
        ASSERT_EQ(s->ReadStream(h, buf.data(), 4096, &seg), 4096);
        const PackHeader first = Head(buf.data(), buf.size(), PackFormat::kOld);
        EXPECT_TRUE(first.type == type && first.ptsMs == pts) << ms << ": " << first.type << " " << first.ptsMs;
    }
    s->CloseStream(h, 0);
}

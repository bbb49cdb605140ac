// Recording store: date-time arithmetic, pack scanning, index validation and
// rebuild, and the stream operations (positioning, reading with segment
// changes, trick play in both directions with every step code, seek,
// segment ids) on good and on damaged recordings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "PackWriter.h"
#include "RecStore.h"
#include "RecWriter.h"
#include "Watchdog.h"

using namespace recstore;

namespace {

const DateTime kStart{26, 1, 1, 10, 0, 0};

DateTime At(int64_t ms) { return SecondsToDateTime(DateTimeToSeconds(kStart) + ms / 1000); }

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/recstore_test.XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Collects the store's messages while it lives.
class LogCapture {
public:
    LogCapture() {
        SetLogSink([this](const std::string& m) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(m);
        });
    }
    ~LogCapture() { SetLogSink(nullptr); }
    bool Contains(const std::string& needle) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& l : lines_) {
            if (l.find(needle) != std::string::npos) return true;
        }
        return false;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct SegSpec {
    int64_t startMs;  // since kStart; pts = ms since kStart
    int frames;
    int gop = 25;
    int fps = 25;
    bool audio = false;
    PackFormat format = PackFormat::kNew;
    int badChecksumFrame = -1;  // this frame's pack gets a wrong checksum
    size_t garbageEvery = 0;    // garbage bytes before every 10th pack
};

// One segment of video packs (I-frame every `gop`), 3000-byte I payloads and
// 700-byte P payloads; an audio segment gets an audio pack before each video
// pack.
void WriteSegment(RecWriter& w, uint8_t ch, uint8_t type, const SegSpec& s) {
    std::string err;
    ASSERT_TRUE(w.BeginSegment(ch, type, At(s.startMs), s.audio, s.format, &err)) << err;
    for (int n = 0; n < s.frames; ++n) {
        const int64_t ms = s.startMs + n * 1000 / s.fps;
        const bool i = n % s.gop == 0;
        const packwriter::Bytes payload =
            packwriter::PatternPayload(i ? 3000 : 700, static_cast<uint32_t>(ms) * 7 + ch * 131 + type);
        packwriter::Bytes pack;
        if (s.garbageEvery && n % 10 == 5) {
            const packwriter::Bytes junk = packwriter::PatternPayload(s.garbageEvery, static_cast<uint32_t>(n));
            ASSERT_TRUE(w.AppendRaw(ch, type, junk.data(), junk.size(), &err));
        }
        if (s.format == PackFormat::kNew) {
            if (s.audio) {
                packwriter::NewPack a;
                a.kind = packwriter::kAudio;
                a.channel = ch;
                a.pts = static_cast<uint64_t>(ms);
                a.time = At(ms);
                a.flag = true;
                packwriter::Bytes audio = packwriter::MakeNewPack(a, packwriter::PatternPayload(320, 9));
                ASSERT_TRUE(w.AppendPack(ch, type, audio.data(), audio.size(), &err));
            }
            packwriter::NewPack p;
            p.kind = i ? packwriter::kIFrame : packwriter::kPFrame;
            p.channel = ch;
            p.video = packwriter::VideoInfo{704, 576, static_cast<uint8_t>(s.fps)};
            p.pts = static_cast<uint64_t>(ms);
            p.time = At(ms);
            if (n == s.badChecksumFrame) p.checksum = static_cast<uint8_t>(packwriter::PayloadChecksum(payload.data(), payload.size()) + 1);
            pack = packwriter::MakeNewPack(p, payload);
        } else {
            if (s.audio) {
                const packwriter::Bytes audio = packwriter::MakeOldAudioPack(ch, 0, packwriter::PatternPayload(320, 9));
                ASSERT_TRUE(w.AppendPack(ch, type, audio.data(), audio.size(), &err));
            }
            packwriter::OldVideoPack p;
            p.kind = i ? packwriter::kIFrame : packwriter::kPFrame;
            p.channel = ch;
            p.ptsUs = static_cast<uint64_t>(ms) * 1000;
            p.time = At(ms);
            pack = packwriter::MakeOldVideoPack(p, payload);
        }
        ASSERT_TRUE(w.AppendPack(ch, type, pack.data(), pack.size(), &err)) << err;
    }
    ASSERT_TRUE(w.EndSegment(ch, type, &err)) << err;
}

MSSP_OpenParam_t OpenParam(uint8_t ch, uint8_t typeBmp, const DateTime& t, uint32_t group = 0) {
    MSSP_OpenParam_t p{};
    p.channel = ch;
    p.streamTypeBmp = typeBmp;
    p.tavuGrpId = group;
    p.year = t[0];
    p.month = t[1];
    p.day = t[2];
    p.hour = t[3];
    p.minute = t[4];
    p.second = t[5];
    return p;
}

MSSP_SeekTime_t SeekTime(const DateTime& t) { return MSSP_SeekTime_t{t[0], t[1], t[2], t[3], t[4], t[5]}; }

PackHeader Head(const uint8_t* p, size_t n, PackFormat format = PackFormat::kNew) {
    PackHeader h;
    EXPECT_EQ(DecodeHeader(format, p, n, &h, nullptr), Decode::kOk);
    return h;
}

// The standard recording: channel 0 main stream in three segments
//   seg 0: 10:00:00, 4 s, I-frames at pts 0, 1000, 2000, 3000, no audio
//   (pause of 2 s)
//   seg 1: 10:00:06, 4 s, I-frames at 6000 .. 9000, audio
//   seg 2: 10:00:10, 2 s, I-frames at 10000, 11000, no audio
// and channel 1 main stream: one segment, GOP of 2 s (I at 0, 2000, 4000).
class Store : public ::testing::Test {
protected:
    void SetUp() override {
        RecWriter w(dir_.path(), 0);
        WriteSegment(w, 0, 0, SegSpec{0, 100});
        WriteSegment(w, 0, 0, SegSpec{6000, 100, 25, 25, true});
        WriteSegment(w, 0, 0, SegSpec{10000, 50});
        WriteSegment(w, 1, 0, SegSpec{0, 150, 50});
        std::string err;
        ASSERT_TRUE(w.Finish(&err)) << err;
    }
    std::unique_ptr<RecStore> OpenStore() {
        std::string err;
        auto s = RecStore::Open(dir_.path(), &err);
        EXPECT_TRUE(s) << err;
        return s;
    }
    std::string Seg(int ch, int n) const { return dir_.path() + "/" + DefaultSegmentFile(ch, 0, n); }
    int Open(RecStore& s, uint8_t ch, const DateTime& t, unsigned char flag = 0) {
        MSSP_OpenParam_t p = OpenParam(ch, 1, t);
        return s.OpenStream(&p, flag);
    }
    // pts of the first video pack of the next read: an I-frame, with at
    // most one audio pack before it (-2 otherwise).
    static int64_t NextPts(RecStore& s, int h) {
        std::vector<uint8_t> buf(65536);
        unsigned char flag = 0;
        const int n = s.ReadStream(h, buf.data(), 65536, &flag);
        if (n <= 0) return -1;
        PackHeader hd = Head(buf.data(), static_cast<size_t>(n));
        if (hd.type == kTypeAudio) hd = Head(buf.data() + hd.packLen, static_cast<size_t>(n) - hd.packLen);
        return hd.type == kTypeI ? static_cast<int64_t>(hd.ptsMs) : -2;
    }
    TempDir dir_;
    LogCapture log_;
};

}  // namespace

// ---------------------------------------------------------------------------

TEST(RecTime, SecondsMatchTimegmAndRejectImpossibleDates) {
    const DateTime dates[] = {{0, 1, 1, 0, 0, 0}, {24, 2, 29, 23, 59, 59}, {26, 12, 31, 12, 30, 1},
                              {37, 1, 19, 3, 14, 8}, {100, 3, 1, 0, 0, 0}};
    for (const DateTime& d : dates) {
        ASSERT_TRUE(ValidDateTime(d));
        struct tm tm {};
        tm.tm_year = 100 + d[0];
        tm.tm_mon = d[1] - 1;
        tm.tm_mday = d[2];
        tm.tm_hour = d[3];
        tm.tm_min = d[4];
        tm.tm_sec = d[5];
        if (sizeof(time_t) == 8) {
            EXPECT_EQ(DateTimeToSeconds(d), static_cast<int64_t>(timegm(&tm)));
        }
        EXPECT_EQ(SecondsToDateTime(DateTimeToSeconds(d)), d);
    }
    EXPECT_FALSE(ValidDateTime(DateTime{23, 2, 29, 0, 0, 0}));   // 2023 is no leap year
    EXPECT_FALSE(ValidDateTime(DateTime{100, 2, 29, 0, 0, 0}));  // nor is 2100
    EXPECT_FALSE(ValidDateTime(DateTime{26, 13, 1, 0, 0, 0}));
    EXPECT_FALSE(ValidDateTime(DateTime{26, 4, 31, 0, 0, 0}));
    EXPECT_FALSE(ValidDateTime(DateTime{26, 1, 1, 24, 0, 0}));
    DateTime parsed{};
    EXPECT_TRUE(ParseDateTime("2026-01-01 10:00:05", &parsed));
    EXPECT_EQ(parsed, (DateTime{26, 1, 1, 10, 0, 5}));
    EXPECT_FALSE(ParseDateTime("2026-02-30 10:00:05", &parsed));
    EXPECT_FALSE(ParseDateTime("2026-01-01 10:00:05x", &parsed));
}

TEST(PackScanDecode, VerdictsFollowThePlayer) {
    using packwriter::Bytes;
    std::string why;
    PackHeader h;
    packwriter::NewPack p;
    p.extraExtension = Bytes(4096, 0);
    p.recordCount = 1;  // one record of kind 0 and length 0: handled once, no endless walk
    Bytes ok = packwriter::MakeNewPack(p, Bytes(16, 1));
    EXPECT_EQ(DecodeHeader(PackFormat::kNew, ok.data(), ok.size(), &h, &why), Decode::kOk);
    p.extraExtension = Bytes(4097, 0);
    Bytes big = packwriter::MakeNewPack(p, Bytes(16, 1));
    EXPECT_EQ(DecodeHeader(PackFormat::kNew, big.data(), big.size(), &h, &why), Decode::kInvalid);
    packwriter::NewPack q;
    Bytes short15 = packwriter::MakeNewPack(q, Bytes(15, 1));
    EXPECT_EQ(DecodeHeader(PackFormat::kNew, short15.data(), short15.size(), &h, &why), Decode::kInvalid);
    q.recordCount = 1;  // a record count without an extension area
    Bytes counted = packwriter::MakeNewPack(q, Bytes(16, 1));
    EXPECT_EQ(DecodeHeader(PackFormat::kNew, counted.data(), counted.size(), &h, &why), Decode::kInvalid);
    // A kind-3 record of length 11 is rejected.
    packwriter::NewPack r;
    r.extraExtension = {3, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    r.recordCount = 1;
    Bytes bad3 = packwriter::MakeNewPack(r, Bytes(16, 1));
    EXPECT_EQ(DecodeHeader(PackFormat::kNew, bad3.data(), bad3.size(), &h, &why), Decode::kInvalid);
    EXPECT_NE(why.find("kind-3"), std::string::npos);
    // A date record whose body is cut off by the area's end: accepted, no read past it.
    packwriter::NewPack t;
    t.extraExtension = {2, 12, 0, 0, 26, 1};
    t.recordCount = 1;
    Bytes cut = packwriter::MakeNewPack(t, Bytes(16, 1));
    std::vector<uint8_t> exact(cut.begin(), cut.begin() + 12 + 6);  // header and extension only
    EXPECT_EQ(DecodeHeader(PackFormat::kNew, exact.data(), exact.size(), &h, &why), Decode::kOk);
    EXPECT_FALSE(h.hasTime);
    EXPECT_FALSE(h.warning.empty());
    // Header complete, extension not yet: more data needed.
    EXPECT_EQ(DecodeHeader(PackFormat::kNew, ok.data(), 100, &h, &why), Decode::kNeedMore);
    // Chunk ids: type 5 is none in the new format; 7wb is old audio.
    const uint8_t five[4] = {0, '5', 'd', 'c'}, wb[4] = {0x30, '7', 'w', 'b'}, dc7[4] = {0x30, '7', 'd', 'c'};
    EXPECT_EQ(ChunkType(PackFormat::kNew, five), kTypeOther);
    EXPECT_EQ(ChunkType(PackFormat::kOld, wb), kTypeAudio);
    EXPECT_EQ(ChunkType(PackFormat::kOld, dc7), kTypeOther);
}

TEST(PackScanDecode, OldFormatFields) {
    packwriter::OldVideoPack v;
    v.ptsUs = 1234567;
    v.time = {26, 3, 4, 5, 6, 7};
    v.width = 1920;
    v.height = 1080;
    packwriter::Bytes pack = packwriter::MakeOldVideoPack(v, packwriter::Bytes(20, 0));
    PackHeader h = Head(pack.data(), pack.size(), PackFormat::kOld);
    EXPECT_EQ(h.ptsMs, 1234u);
    EXPECT_EQ(h.time, v.time);
    EXPECT_EQ(h.width, 1920);
    EXPECT_EQ(h.height, 1080);
    EXPECT_EQ(h.packLen, pack.size());
    v.layoutCode = 35;
    v.extLen = 39;  // date at 32..37 needs 40 bytes: not taken
    pack = packwriter::MakeOldVideoPack(v, packwriter::Bytes(20, 0));
    h = Head(pack.data(), pack.size(), PackFormat::kOld);
    EXPECT_FALSE(h.hasTime);
    packwriter::Bytes audio = packwriter::MakeOldAudioPack(2, 7, packwriter::Bytes(40, 3));
    h = Head(audio.data(), audio.size(), PackFormat::kOld);
    EXPECT_EQ(h.type, kTypeAudio);
    EXPECT_EQ(h.packLen, 48u);
    EXPECT_FALSE(h.hasPts);
}

// ---------------------------------------------------------------------------
// Positioning.

TEST_F(Store, Open_PositionsAtLastIFrameAtOrBeforeTheTime) {
    auto s = OpenStore();
    struct Case {
        uint8_t ch;
        int64_t atMs;
        int64_t pts;
    } cases[] = {
        {0, 2000, 2000},    // exactly at an I-frame
        {0, 2999, 2000},    // second 2 still
        {1, 3000, 2000},    // between I-frames two seconds apart
        {0, 5000, 3000},    // in the pause after segment 0: its last I-frame
        {0, 6000, 6000},    // a segment's start
        {0, 11000, 11000},  // the last I-frame, in the recording's last second
    };
    for (const Case& c : cases) {
        const int h = Open(*s, c.ch, At(c.atMs));
        ASSERT_GE(h, 0) << c.atMs;
        EXPECT_EQ(NextPts(*s, h), c.pts) << "channel " << int(c.ch) << " at " << c.atMs;
        EXPECT_EQ(s->CloseStream(h, 0), 0);
    }
    const int before = Open(*s, 0, DateTime{26, 1, 1, 9, 0, 0});
    EXPECT_EQ(NextPts(*s, before), 0) << "before the first: the first I-frame";
    s->CloseStream(before, 0);
    // In a segment with audio the read starts at the audio pack right
    // before the I-frame: the player must store an audio frame first there.
    const int h = Open(*s, 0, At(7000));
    std::vector<uint8_t> buf(1000);
    unsigned char flag = 0;
    ASSERT_EQ(s->ReadStream(h, buf.data(), 1000, &flag), 1000);
    const PackHeader audio = Head(buf.data(), buf.size());
    EXPECT_EQ(audio.type, kTypeAudio);
    EXPECT_EQ(audio.ptsMs, 7000u);
    EXPECT_EQ(Head(buf.data() + audio.packLen, buf.size() - audio.packLen).type, kTypeI);
    s->CloseStream(h, 0);
    EXPECT_EQ(s->OpenHandleCount(), 0);
}

TEST_F(Store, Open_FailsAfterTheEndAndOnBadRequests) {
    auto s = OpenStore();
    EXPECT_LT(Open(*s, 0, At(12000)), 0);
    EXPECT_TRUE(log_.Contains("after the end"));
    EXPECT_LT(Open(*s, 5, At(0)), 0);  // no such channel
    MSSP_OpenParam_t p = OpenParam(0, 1, kStart, 3);
    EXPECT_LT(s->OpenStream(&p, 0), 0);  // another recording group
    p = OpenParam(0, 2, kStart);
    EXPECT_LT(s->OpenStream(&p, 0), 0);  // stream type 1 not recorded
    p = OpenParam(0, 1, DateTime{26, 2, 30, 0, 0, 0});
    EXPECT_LT(s->OpenStream(&p, 0), 0);
    EXPECT_LT(s->OpenStream(nullptr, 0), 0);
    EXPECT_EQ(s->OpenHandleCount(), 0);
}

// ---------------------------------------------------------------------------
// Reading.

TEST_F(Store, Read_ConcatenatesSegmentsFlagsEachFollowingOneOnceAndNeverOverruns) {
    auto s = OpenStore();
    std::vector<uint8_t> expected;
    std::vector<size_t> segStarts;  // where each following segment begins in `expected`
    for (int n = 0; n < 3; ++n) {
        const std::vector<uint8_t> f = FileBytes(Seg(0, n));
        if (n) segStarts.push_back(expected.size());
        expected.insert(expected.end(), f.begin(), f.end());
    }
    for (int maxLen : {65536, 4093, 1}) {
        const int h = Open(*s, 0, kStart);
        ASSERT_GE(h, 0);
        std::vector<uint8_t> got;
        std::vector<size_t> flagged;
        std::vector<uint8_t> buf(static_cast<size_t>(maxLen) + 16, 0xEE);
        for (;;) {
            unsigned char flag = 7;
            const int n = s->ReadStream(h, buf.data(), maxLen, &flag);
            if (n <= 0) {
                EXPECT_EQ(n, 0);
                break;
            }
            ASSERT_LE(n, maxLen);
            EXPECT_EQ(buf[static_cast<size_t>(maxLen)], 0xEE) << "wrote past the length asked";
            if (flag) flagged.push_back(got.size());
            EXPECT_LE(flag, 1);
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
        EXPECT_EQ(got, expected) << "maxLen " << maxLen;
        EXPECT_EQ(flagged, segStarts) << "maxLen " << maxLen;
        unsigned char flag = 0;
        EXPECT_EQ(s->ReadStream(h, buf.data(), maxLen, &flag), 0) << "stays at the end";
        s->CloseStream(h, 0);
    }
}

TEST_F(Store, Read_AudioBitFollowsTheSegmentAndOpenFlagAnnounces) {
    auto s = OpenStore();
    const int h = Open(*s, 0, At(3000), /*announce*/ 1);
    std::vector<uint8_t> buf(65536);
    std::vector<int> audioAtFlag;
    bool first = true;
    for (;;) {
        unsigned char flag = 0;
        const int n = s->ReadStream(h, buf.data(), 65536, &flag);
        if (n <= 0) break;
        if (first) {
            EXPECT_EQ(flag, 1) << "the open flag announces the opened segment";
        }
        first = false;
        if (flag) {
            MSSP_SegmentAttr_t attr{};
            ASSERT_EQ(s->GetSegmentInfo(h, &attr), 0);
            audioAtFlag.push_back(attr.attr & MSSP_SEGATTR_AUDIO);
        }
    }
    EXPECT_EQ(audioAtFlag, (std::vector<int>{0, MSSP_SEGATTR_AUDIO, 0}));
    s->CloseStream(h, 0);
    // Without the flag the opened segment is not announced; its attributes are there all the same.
    const int h2 = Open(*s, 0, At(7000));
    MSSP_SegmentAttr_t attr{};
    ASSERT_EQ(s->GetSegmentInfo(h2, &attr), 0);
    EXPECT_EQ(attr.attr, MSSP_SEGATTR_AUDIO);
    EXPECT_EQ(DateTimeAt(attr.reserved0), At(6000));
    unsigned char flag = 9;
    EXPECT_GT(s->ReadStream(h2, buf.data(), 100, &flag), 0);
    EXPECT_EQ(flag, 0);
    s->CloseStream(h2, 0);
}

TEST_F(Store, Read_BadArgumentsAndUnknownHandles) {
    auto s = OpenStore();
    const int h = Open(*s, 0, kStart);
    std::vector<uint8_t> buf(16);
    unsigned char flag = 0;
    EXPECT_EQ(s->ReadStream(h, nullptr, 16, &flag), -1);
    EXPECT_EQ(s->ReadStream(h, buf.data(), 0, &flag), -1);
    EXPECT_EQ(s->ReadStream(h, buf.data(), -5, &flag), -1);
    EXPECT_EQ(s->ReadStream(h, buf.data(), 16, nullptr), -1);
    EXPECT_EQ(s->CloseStream(h, 0), 0);
    EXPECT_EQ(s->ReadStream(h, buf.data(), 16, &flag), -1) << "closed handle";
    EXPECT_EQ(s->CloseStream(h, 0), -1);
    MSSP_SegmentAttr_t attr{};
    EXPECT_EQ(s->GetSegmentInfo(12345, &attr), -1);
    EXPECT_TRUE(log_.Contains("no open stream with handle"));
    // The table's slots refuse a null user pointer.
    MSSP_StreamOperation_t ops = RecStore::Operations();
    EXPECT_EQ(ops.Reserved, nullptr);
    EXPECT_EQ(ops.ReadStream(nullptr, 1, buf.data(), 16, &flag), -1);
}

// ---------------------------------------------------------------------------
// Trick play.

namespace {

struct Trick {
    int64_t pts;
    int newSeg;
};

std::vector<Trick> Walk(RecStore& s, int h, bool forward, int step) {
    std::vector<Trick> out;
    for (int guard = 0; guard < 64; ++guard) {
        unsigned char* data = nullptr;
        int len = 0;
        unsigned char seg = 9;
        const int r = forward ? s.ReadNextIFrame(h, &data, &len, &seg, step)
                              : s.ReadPrevIFrame(h, &data, &len, &seg, step);
        if (r <= 0) {
            EXPECT_EQ(r, 0);
            break;
        }
        EXPECT_EQ(r, len);
        PackHeader hd = Head(data, static_cast<size_t>(len));
        EXPECT_EQ(hd.type, kTypeI);
        EXPECT_EQ(hd.packLen, static_cast<uint64_t>(len)) << "one whole pack";
        out.push_back(Trick{static_cast<int64_t>(hd.ptsMs), seg});
    }
    return out;
}

std::vector<int64_t> Pts(const std::vector<Trick>& t) {
    std::vector<int64_t> out;
    for (const Trick& x : t) out.push_back(x.pts);
    return out;
}

}  // namespace

TEST_F(Store, Trick_EveryIFrameBothWaysWithSegmentFlags) {
    auto s = OpenStore();
    int h = Open(*s, 0, At(2000));
    std::vector<Trick> fwd = Walk(*s, h, true, 0);
    EXPECT_EQ(Pts(fwd), (std::vector<int64_t>{2000, 3000, 6000, 7000, 8000, 9000, 10000, 11000}));
    std::vector<int> flags;
    for (const Trick& t : fwd) flags.push_back(t.newSeg);
    EXPECT_EQ(flags, (std::vector<int>{0, 0, 1, 0, 0, 0, 1, 0}));
    s->CloseStream(h, 0);

    h = Open(*s, 0, At(7500));
    std::vector<Trick> back = Walk(*s, h, false, 0);
    EXPECT_EQ(Pts(back), (std::vector<int64_t>{7000, 6000, 3000, 2000, 1000, 0}));
    flags.clear();
    for (const Trick& t : back) flags.push_back(t.newSeg);
    EXPECT_EQ(flags, (std::vector<int>{0, 0, 1, 0, 0, 0}));
    // The packs returned are the recorded bytes themselves.
    const std::vector<uint8_t> seg1 = FileBytes(Seg(0, 1));
    MSSP_SeekTime_t at6 = SeekTime(At(6000));
    ASSERT_EQ(s->SeekStream(h, &at6), 0);
    unsigned char* data = nullptr;
    int len = 0;
    unsigned char seg = 0;
    ASSERT_GT(s->ReadNextIFrame(h, &data, &len, &seg, 0), 0);
    const PackHeader first = Head(seg1.data(), seg1.size());
    ASSERT_EQ(first.type, kTypeAudio);  // the audio segment starts with an audio pack
    const size_t at = first.packLen;    // then its first I-frame
    ASSERT_LE(at + static_cast<size_t>(len), seg1.size());
    EXPECT_TRUE(std::equal(data, data + len, seg1.begin() + static_cast<std::ptrdiff_t>(at)));
    s->CloseStream(h, 0);
}

TEST_F(Store, Trick_StepCodesSkipAndStopAtTheEnds) {
    auto s = OpenStore();
    // I-frames of channel 0: 0 1000 2000 3000 | 6000 .. 9000 | 10000 11000 (ordinals 0..9).
    struct Case {
        bool forward;
        int64_t fromMs;
        int step;
        std::vector<int64_t> pts;
    } cases[] = {
        {true, 0, 1, {0, 2000, 6000, 8000, 10000, 11000}},  // the last step stops at the last
        {true, 0, 2, {0, 6000, 10000, 11000}},
        {true, 0, 31, {0, 10000, 11000}},
        {true, 0, 5, {0, 1000, 2000, 3000, 6000, 7000, 8000, 9000, 10000, 11000}},  // unknown code: as 0
        {false, 11000, 1, {11000, 9000, 7000, 3000, 1000, 0}},
        {false, 11000, 2, {11000, 7000, 1000, 0}},
        {false, 11000, 31, {11000, 1000, 0}},
    };
    for (const Case& c : cases) {
        const int h = Open(*s, 0, At(c.fromMs));
        EXPECT_EQ(Pts(Walk(*s, h, c.forward, c.step)), c.pts)
            << (c.forward ? "forward" : "backward") << " step code " << c.step;
        s->CloseStream(h, 0);
    }
    EXPECT_EQ(StepCount(0), 1);
    EXPECT_EQ(StepCount(1), 2);
    EXPECT_EQ(StepCount(2), 4);
    EXPECT_EQ(StepCount(31), 8);
}

TEST_F(Store, Trick_AfterPlainReadsStartsFromWhatWasRead) {
    auto s = OpenStore();
    const int h = Open(*s, 0, kStart);
    std::vector<uint8_t> buf(65536);
    unsigned char flag = 0;
    // 5000 bytes: the I-frame at 0 (about 3.1 kB) and a few P-frames.
    ASSERT_EQ(s->ReadStream(h, buf.data(), 5000, &flag), 5000);
    unsigned char* data = nullptr;
    int len = 0;
    EXPECT_GT(s->ReadPrevIFrame(h, &data, &len, &flag, 0), 0);
    EXPECT_EQ(Head(data, static_cast<size_t>(len)).ptsMs, 0u) << "backward: the I-frame being played";
    MSSP_SeekTime_t at0 = SeekTime(At(0));
    ASSERT_EQ(s->SeekStream(h, &at0), 0);
    ASSERT_EQ(s->ReadStream(h, buf.data(), 5000, &flag), 5000);
    EXPECT_GT(s->ReadNextIFrame(h, &data, &len, &flag, 0), 0);
    EXPECT_EQ(Head(data, static_cast<size_t>(len)).ptsMs, 1000u) << "forward: the next I-frame not yet read";
    // Plain reads go on from the I-frame returned last.
    EXPECT_EQ(NextPts(*s, h), 1000);
    s->CloseStream(h, 0);
}

// ---------------------------------------------------------------------------
// Seek and segment ids.

TEST_F(Store, Seek_RepositionsFlagsOnlyASegmentChangeAndKeepsPositionOnFailure) {
    auto s = OpenStore();
    const int h = Open(*s, 0, kStart);
    std::vector<uint8_t> buf(65536);
    unsigned char flag = 9;
    MSSP_SeekTime_t t = SeekTime(At(2500));
    ASSERT_EQ(s->SeekStream(h, &t), 0);
    int n = s->ReadStream(h, buf.data(), 65536, &flag);
    ASSERT_GT(n, 0);
    EXPECT_EQ(flag, 0) << "same segment";
    EXPECT_EQ(Head(buf.data(), static_cast<size_t>(n)).ptsMs, 2000u);
    t = SeekTime(At(9000));
    ASSERT_EQ(s->SeekStream(h, &t), 0);
    n = s->ReadStream(h, buf.data(), 100, &flag);
    EXPECT_EQ(flag, 1) << "another segment";
    EXPECT_EQ(Head(buf.data(), static_cast<size_t>(n)).ptsMs, 9000u);
    // A failed seek leaves the position alone: the next read continues.
    const std::vector<uint8_t> seg1 = FileBytes(Seg(0, 1));
    t = SeekTime(At(20000));
    EXPECT_LT(s->SeekStream(h, &t), 0);
    MSSP_SeekTime_t bad{26, 1, 32, 0, 0, 0};
    EXPECT_LT(s->SeekStream(h, &bad), 0);
    EXPECT_LT(s->SeekStream(h, nullptr), 0);
    std::vector<uint8_t> more(50);
    ASSERT_EQ(s->ReadStream(h, more.data(), 50, &flag), 50);
    auto it = std::search(seg1.begin(), seg1.end(), buf.begin(), buf.begin() + 100);
    ASSERT_NE(it, seg1.end());
    EXPECT_TRUE(std::equal(more.begin(), more.end(), it + 100));
    s->CloseStream(h, 0);
}

TEST_F(Store, SegmentId_ResolvesToStartAndChannel) {
    auto s = OpenStore();
    tag_tavuSegmentId id{0, 0, 0, 1};
    MSSP_SegmentInfo_t info;
    std::memset(&info, 0xAA, sizeof(info));
    ASSERT_EQ(s->GetStreamSegmentInfo(&id, &info), 0);
    EXPECT_EQ(DateTimeAt(&info.year), At(6000));
    EXPECT_EQ(info.channel, 0);
    EXPECT_EQ(info.reserved11[0], 0) << "the rest is cleared";
    id = tag_tavuSegmentId{1, 0, 0, 0};
    ASSERT_EQ(s->GetStreamSegmentInfo(&id, &info), 0);
    EXPECT_EQ(info.channel, 1);
    id = tag_tavuSegmentId{0, 0, 0, 7};
    EXPECT_EQ(s->GetStreamSegmentInfo(&id, &info), kSegNoSegment);
    id = tag_tavuSegmentId{0, 2, 0, 0};
    EXPECT_EQ(s->GetStreamSegmentInfo(&id, &info), kSegNoStream);
    EXPECT_EQ(s->GetStreamSegmentInfo(nullptr, &info), kSegBadArgument);
    EXPECT_EQ(s->GetStreamSegmentInfo(&id, nullptr), kSegBadArgument);
    // Opening at the resolved start plays that segment.
    id = tag_tavuSegmentId{0, 0, 0, 2};
    ASSERT_EQ(s->GetStreamSegmentInfo(&id, &info), 0);
    const int h = Open(*s, 0, DateTimeAt(&info.year));
    EXPECT_EQ(NextPts(*s, h), 10000);
    s->CloseStream(h, 0);
}

// ---------------------------------------------------------------------------
// Damaged recordings.

TEST_F(Store, Bad_MissingSegmentIsPassedOverWithAMessage) {
    ASSERT_EQ(unlink(Seg(0, 1).c_str()), 0);
    auto s = OpenStore();
    const int h = Open(*s, 0, At(7000));
    EXPECT_EQ(NextPts(*s, h), 10000) << "resumes at the next usable segment";
    EXPECT_TRUE(log_.Contains("missing"));
    s->CloseStream(h, 0);
    tag_tavuSegmentId id{0, 0, 0, 1};
    MSSP_SegmentInfo_t info{};
    EXPECT_EQ(s->GetStreamSegmentInfo(&id, &info), kSegUnusable);
    // Reading through: segment 0 then segment 2, flagged.
    const int h2 = Open(*s, 0, At(3000));
    std::vector<uint8_t> buf(65536);
    uint64_t total = 0;
    int flags = 0;
    for (;;) {
        unsigned char flag = 0;
        const int n = s->ReadStream(h2, buf.data(), 65536, &flag);
        if (n <= 0) break;
        if (flag) {
            ++flags;
            EXPECT_EQ(Head(buf.data(), static_cast<size_t>(n)).ptsMs, 10000u);
        }
        total += static_cast<uint64_t>(n);
    }
    EXPECT_EQ(flags, 1);
    EXPECT_TRUE(log_.Contains("skipped"));
    EXPECT_GT(total, FileBytes(Seg(0, 2)).size());
    s->CloseStream(h2, 0);
}

TEST_F(Store, Bad_OnlySegmentMissingOrManifestBroken) {
    for (int n = 0; n < 3; ++n) unlink(Seg(0, n).c_str());
    auto s = OpenStore();
    EXPECT_LT(Open(*s, 0, kStart), 0);
    s.reset();
    std::string err;
    WriteBytes(dir_.path() + "/group.json", {'{', '"', 'v'});
    EXPECT_FALSE(RecStore::Open(dir_.path(), &err));
    EXPECT_NE(err.find("not valid JSON"), std::string::npos);
    unlink((dir_.path() + "/group.json").c_str());
    EXPECT_FALSE(RecStore::Open(dir_.path(), &err));
    // An entry whose file would leave the directory is left out.
    const std::string manifest =
        R"({"version":1,"groupId":0,"streams":[{"channel":0,"streamType":0,"segments":[)"
        R"({"number":0,"start":"2026-01-01 10:00:00","file":"../../etc/passwd"}]}]})";
    WriteBytes(dir_.path() + "/group.json", std::vector<uint8_t>(manifest.begin(), manifest.end()));
    auto s2 = RecStore::Open(dir_.path(), &err);
    ASSERT_TRUE(s2);
    EXPECT_TRUE(s2->Group().streams[0].segments.empty());
    EXPECT_TRUE(log_.Contains("leaves the group directory"));
}

TEST_F(Store, Bad_TruncatedMidPackIsReadToItsEndOnly) {
    // Cut segment 2 inside its last I-frame (at pts 11000).
    std::vector<uint8_t> seg2 = FileBytes(Seg(0, 2));
    SegmentIndex before;
    {
        const int fd = open(Seg(0, 2).c_str(), O_RDONLY);
        ASSERT_EQ(ReadIndexFile(IndexPathFor(Seg(0, 2)), PackFormat::kNew, fd, seg2.size(), &before, nullptr),
                  IndexRead::kOk);
        close(fd);
    }
    ASSERT_EQ(before.entries.size(), 2u);
    const uint64_t cut = before.entries[1].offset + 100;
    ASSERT_EQ(truncate(Seg(0, 2).c_str(), static_cast<off_t>(cut)), 0);
    auto s = OpenStore();
    EXPECT_LT(Open(*s, 0, At(11000)), 0) << "the recording now ends in second 10";
    const int h = Open(*s, 0, At(10000));
    ASSERT_GE(h, 0);
    EXPECT_TRUE(log_.Contains("inconsistent"));
    std::vector<uint8_t> buf(65536);
    uint64_t total = 0;
    for (;;) {
        unsigned char flag = 0;
        const int n = s->ReadStream(h, buf.data(), 65536, &flag);
        if (n <= 0) break;
        total += static_cast<uint64_t>(n);
    }
    EXPECT_EQ(total, cut) << "every byte up to the cut, none beyond";
    MSSP_SeekTime_t t = SeekTime(At(10000));
    ASSERT_EQ(s->SeekStream(h, &t), 0);
    EXPECT_EQ(Pts(Walk(*s, h, true, 0)), (std::vector<int64_t>{10000})) << "the cut I-frame is never returned";
    s->CloseStream(h, 0);
}

TEST_F(Store, Bad_CorruptOrForgedIndexIsRebuiltAndRewritten) {
    const std::string idx = IndexPathFor(Seg(0, 0)), audioIdx = IndexPathFor(Seg(0, 1));
    const std::vector<uint8_t> good = FileBytes(idx), goodAudio = FileBytes(audioIdx);
    // Garbage inside the entries: checksum mismatch.
    std::vector<uint8_t> corrupt = good;
    for (size_t i = kIndexHeadLen + 3; i < corrupt.size(); i += 7) corrupt[i] ^= 0x5A;
    WriteBytes(idx, corrupt);
    unlink(audioIdx.c_str());
    {
        auto s = OpenStore();
        const int h = Open(*s, 0, At(2000));
        EXPECT_EQ(NextPts(*s, h), 2000);
        MSSP_SeekTime_t t = SeekTime(At(8000));
        ASSERT_EQ(s->SeekStream(h, &t), 0);
        EXPECT_EQ(NextPts(*s, h), 8000);
        s->CloseStream(h, 0);
    }
    EXPECT_TRUE(log_.Contains("checksum"));
    EXPECT_EQ(FileBytes(idx), good) << "the rebuilt index is written back, equal to the recorded one";
    EXPECT_EQ(FileBytes(audioIdx), goodAudio) << "audio leads included";
    // A well-formed index whose entry points beside an I-frame.
    SegmentIndex forged;
    const int fd = open(Seg(0, 0).c_str(), O_RDONLY);
    const uint64_t size = FileBytes(Seg(0, 0)).size();
    ASSERT_EQ(ReadIndexFile(idx, PackFormat::kNew, fd, size, &forged, nullptr), IndexRead::kOk);
    close(fd);
    forged.entries[2].offset += 12;
    ASSERT_TRUE(WriteIndexFile(idx, forged, nullptr));
    // And an index that claims far more entries than the file can hold.
    std::vector<uint8_t> huge = good;
    PutLe64(huge.data() + 8, FileBytes(Seg(0, 2)).size());
    PutLe32(huge.data() + 16, 0x7FFFFFFF);
    WriteBytes(IndexPathFor(Seg(0, 2)), huge);
    auto s = OpenStore();
    const int h = Open(*s, 0, At(2000));
    EXPECT_EQ(NextPts(*s, h), 2000);
    EXPECT_TRUE(log_.Contains("no I-frame of"));
    MSSP_SeekTime_t t = SeekTime(At(11000));
    EXPECT_EQ(s->SeekStream(h, &t), 0);
    EXPECT_EQ(NextPts(*s, h), 11000);
    EXPECT_TRUE(log_.Contains("does not match the index size"));
    s->CloseStream(h, 0);
}

// A path that is no regular file is named for what it is and never opened:
// a FIFO would block the open for good, a device may act on it. A segment
// of that kind is passed over, an index rebuilt, a manifest refused.
TEST_F(Store, Bad_NonRegularFilesAreNamedAndNeverOpened) {
    msspt::Watchdog watchdog(std::chrono::seconds(30), "non-regular files");
    const struct {
        const char* kind;
        bool (*make)(const std::string& path);
    } kinds[] = {
        {"a directory", [](const std::string& p) { return mkdir(p.c_str(), 0755) == 0; }},
        {"a FIFO", [](const std::string& p) { return mkfifo(p.c_str(), 0644) == 0; }},
        {"a character device", [](const std::string& p) { return symlink("/dev/null", p.c_str()) == 0; }},
    };
    const std::string seg = Seg(0, 1), idx = IndexPathFor(Seg(0, 0)), manifest = dir_.path() + "/group.json";
    const std::vector<uint8_t> segBytes = FileBytes(seg), idxBytes = FileBytes(idx);
    const std::vector<uint8_t> manifestBytes = FileBytes(manifest);
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.kind);
        const std::string says = " is not a regular file (" + std::string(k.kind) + ")";
        ASSERT_TRUE(std::filesystem::remove(seg) && k.make(seg));
        ASSERT_TRUE(std::filesystem::remove(idx) && k.make(idx));
        auto s = OpenStore();
        const int h = Open(*s, 0, At(7000));
        EXPECT_EQ(NextPts(*s, h), 10000) << "the segment is passed over";
        EXPECT_TRUE(log_.Contains("file " + seg + says));
        MSSP_SeekTime_t t = SeekTime(At(2000));
        ASSERT_EQ(s->SeekStream(h, &t), 0);
        EXPECT_EQ(NextPts(*s, h), 2000) << "the index is rebuilt by a scan";
        EXPECT_TRUE(log_.Contains(idx + says));
        s->CloseStream(h, 0);
        s.reset();
        ASSERT_TRUE(std::filesystem::remove(manifest) && k.make(manifest));
        std::string err;
        EXPECT_FALSE(RecStore::Open(dir_.path(), &err));
        EXPECT_NE(err.find(manifest + says), std::string::npos) << err;
        for (const std::string& path : {seg, idx, manifest}) std::filesystem::remove(path);
        WriteBytes(seg, segBytes);
        WriteBytes(idx, idxBytes);
        WriteBytes(manifest, manifestBytes);
    }
}

// An index whose own checksum holds can still lie, or name packs damaged
// since it was written: every indexed pack is checked whole against its
// entry before the index is trusted, and an index that lies is rebuilt.
// Segment 0 holds I-frames at 0, 1000, 2000 and 3000 (3000-byte payloads).
TEST_F(Store, Bad_LyingIndexIsFoundAndRebuilt) {
    const std::string seg = Seg(0, 0), idx = IndexPathFor(seg);
    const std::vector<uint8_t> goodSeg = FileBytes(seg), goodIdx = FileBytes(idx);
    auto readIndex = [&](SegmentIndex* out, std::string* why) {
        const int fd = open(seg.c_str(), O_RDONLY);
        const IndexRead r = ReadIndexFile(idx, PackFormat::kNew, fd, FileBytes(seg).size(), out, why);
        close(fd);
        return r;
    };
    SegmentIndex good;
    ASSERT_EQ(readIndex(&good, nullptr), IndexRead::kOk);
    ASSERT_EQ(good.entries.size(), 4u);
    const uint64_t i2 = good.entries[2].offset;
    const struct Lie {
        const char* name;
        std::function<void(SegmentIndex*, std::vector<uint8_t>*)> tell;
        int64_t from2000;  // the first I-frame read when positioned at 10:00:02
    } lies[] = {
        // Positioning would skip a second (25 frames): the entry at 3000 says 10:00:01.
        {"an entry dated early", [](SegmentIndex* i, std::vector<uint8_t>*) { i->entries[3].time = At(1000); }, 2000},
        // The 10:00:02 entry names the I-frame at 3000, which has the same length.
        {"an entry naming another I-frame",
         [](SegmentIndex* i, std::vector<uint8_t>*) {
             i->entries[2].offset = i->entries[3].offset;
             i->entries.pop_back();
         },
         2000},
        {"an entry's timestamp", [](SegmentIndex* i, std::vector<uint8_t>*) { i->entries[1].ptsMs += 40; }, 2000},
        // The first extension record's length zeroed (as dd seek=13 does): the header is invalid.
        {"a damaged I-frame header",
         [i2](SegmentIndex*, std::vector<uint8_t>* b) { std::fill_n(b->begin() + static_cast<long>(i2) + 13, 3, 0); },
         1000},
        // The payload's last byte, which the checksum always samples.
        {"a damaged I-frame payload",
         [last = i2 + good.entries[2].packLen - 1](SegmentIndex*, std::vector<uint8_t>* b) { (*b)[last] ^= 0xFF; },
         1000},
    };
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.name);
        SegmentIndex told = good;
        std::vector<uint8_t> bytes = goodSeg;
        lie.tell(&told, &bytes);
        WriteBytes(seg, bytes);
        ASSERT_TRUE(WriteIndexFile(idx, told, nullptr));
        std::string why;
        SegmentIndex read;
        EXPECT_EQ(readIndex(&read, &why), IndexRead::kInconsistent);
        EXPECT_NE(why.find("entry"), std::string::npos) << why;
        auto s = OpenStore();
        const int h = Open(*s, 0, At(2000));
        EXPECT_EQ(NextPts(*s, h), lie.from2000);
        s->CloseStream(h, 0);
        EXPECT_EQ(readIndex(&read, &why), IndexRead::kOk) << "rewritten: " << why;
        WriteBytes(seg, goodSeg);
        WriteBytes(idx, goodIdx);
    }
}

// A pack damaged after its index was checked (same size, same time, so
// that nothing tells the cache) is never handed out for trick play, where
// the engine would reject it and ask for it again without end: it is passed
// over in the direction asked.
TEST_F(Store, Trick_DamagedIFrameIsPassedOverBothWays) {
    auto s = OpenStore();
    const int h = Open(*s, 0, At(1000));
    SegmentIndex index;
    const int fd = open(Seg(0, 0).c_str(), O_RDWR);
    struct stat before;
    ASSERT_EQ(fstat(fd, &before), 0);
    ASSERT_EQ(ReadIndexFile(IndexPathFor(Seg(0, 0)), PackFormat::kNew, fd, static_cast<uint64_t>(before.st_size),
                            &index, nullptr),
              IndexRead::kOk);
    const uint8_t zeros[3] = {0, 0, 0};
    ASSERT_EQ(pwrite(fd, zeros, 3, static_cast<off_t>(index.entries[2].offset + 13)), 3);  // the I-frame at 2000
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    EXPECT_EQ(Pts(Walk(*s, h, true, 0)), (std::vector<int64_t>{1000, 3000, 6000, 7000, 8000, 9000, 10000, 11000}));
    MSSP_SeekTime_t t = SeekTime(At(3000));
    ASSERT_EQ(s->SeekStream(h, &t), 0);
    EXPECT_EQ(Pts(Walk(*s, h, false, 0)), (std::vector<int64_t>{3000, 1000, 0}));
    EXPECT_TRUE(log_.Contains("is passed over: invalid header"));
    s->CloseStream(h, 0);
}

TEST(StoreGarbage, ScanSkipsGarbageAndBadChecksumsLikeTheWriter) {
    TempDir dir;
    LogCapture log;
    {
        RecWriter w(dir.path(), 0);
        SegSpec dirty{0, 100};
        dirty.garbageEvery = 333;
        dirty.badChecksumFrame = 25;  // the I-frame at pts 1000
        WriteSegment(w, 0, 0, dirty);
        std::string err;
        std::vector<uint8_t> junk = packwriter::PatternPayload(50000, 5);
        ASSERT_TRUE(w.BeginSegment(0, 0, At(5000), false, PackFormat::kNew, &err));
        ASSERT_TRUE(w.AppendRaw(0, 0, junk.data(), junk.size(), &err));  // a segment of garbage only
        WriteSegment(w, 0, 0, SegSpec{8000, 50});
        ASSERT_TRUE(w.Finish(&err));
    }
    const std::string seg0 = dir.path() + "/" + DefaultSegmentFile(0, 0, 0);
    const int fd = open(seg0.c_str(), O_RDONLY);
    const uint64_t size = FileBytes(seg0).size();
    SegmentIndex written, scanned;
    ASSERT_EQ(ReadIndexFile(IndexPathFor(seg0), PackFormat::kNew, fd, size, &written, nullptr), IndexRead::kOk);
    ScanSummary sum;
    ASSERT_TRUE(ScanSegment(fd, size, PackFormat::kNew, kStart, &scanned, &sum));
    close(fd);
    EXPECT_EQ(sum.garbageRuns, 10u);
    EXPECT_EQ(sum.garbageBytes, 3330u);
    EXPECT_EQ(sum.badChecksum, 1u);
    EXPECT_EQ(sum.packs, 100u);
    ASSERT_EQ(scanned.entries.size(), 3u) << "the I-frame with a bad checksum is not indexed";
    ASSERT_EQ(written.entries.size(), scanned.entries.size());
    for (size_t i = 0; i < written.entries.size(); ++i) {
        EXPECT_EQ(written.entries[i].offset, scanned.entries[i].offset);
        EXPECT_EQ(written.entries[i].ptsMs, scanned.entries[i].ptsMs);
    }
    std::string err;
    auto s = RecStore::Open(dir.path(), &err);
    ASSERT_TRUE(s);
    MSSP_OpenParam_t p = OpenParam(0, 1, At(1000));
    int h = s->OpenStream(&p, 0);
    std::vector<uint8_t> buf(65536);
    unsigned char flag = 0;
    int n = s->ReadStream(h, buf.data(), 65536, &flag);
    EXPECT_EQ(Head(buf.data(), static_cast<size_t>(n)).ptsMs, 0u) << "the damaged I-frame cannot be a start";
    s->CloseStream(h, 0);
    p = OpenParam(0, 1, At(6000));  // inside the garbage segment
    h = s->OpenStream(&p, 0);
    n = s->ReadStream(h, buf.data(), 65536, &flag);
    EXPECT_EQ(Head(buf.data(), static_cast<size_t>(n)).ptsMs, 8000u);
    EXPECT_TRUE(log.Contains("segment 1 of channel 0"));
    s->CloseStream(h, 0);
    tag_tavuSegmentId id{0, 0, 0, 1};
    MSSP_SegmentInfo_t info{};
    EXPECT_EQ(s->GetStreamSegmentInfo(&id, &info), kSegUnusable);
}

TEST(StoreOldFormat, PositionsAndTricksOverOldPacks) {
    TempDir dir;
    {
        RecWriter w(dir.path(), 4);
        SegSpec old{0, 75};
        old.format = PackFormat::kOld;
        WriteSegment(w, 2, 1, old);
        SegSpec withAudio{4000, 50, 25, 25, true, PackFormat::kOld};  // I at 4000 and 5000
        WriteSegment(w, 2, 1, withAudio);
        std::string err;
        ASSERT_TRUE(w.Finish(&err));
    }
    unlink(IndexPathFor(dir.path() + "/" + DefaultSegmentFile(2, 1, 0)).c_str());  // forces a scan
    LogCapture log;
    std::string err;
    auto s = RecStore::Open(dir.path(), &err);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->GroupId(), 4u);
    MSSP_OpenParam_t p = OpenParam(2, 0x06, At(1500), 4);  // bitmap 0b110: lowest bit is type 1
    const int h = s->OpenStream(&p, 0);
    ASSERT_GE(h, 0);
    unsigned char* data = nullptr;
    int len = 0;
    unsigned char seg = 0;
    ASSERT_GT(s->ReadNextIFrame(h, &data, &len, &seg, 0), 0);
    EXPECT_EQ(Head(data, static_cast<size_t>(len), PackFormat::kOld).ptsMs, 1000u);
    ASSERT_GT(s->ReadNextIFrame(h, &data, &len, &seg, 0), 0);
    EXPECT_EQ(Head(data, static_cast<size_t>(len), PackFormat::kOld).ptsMs, 2000u);
    ASSERT_GT(s->ReadNextIFrame(h, &data, &len, &seg, 0), 0);
    EXPECT_EQ(Head(data, static_cast<size_t>(len), PackFormat::kOld).ptsMs, 4000u);

    // An old-format audio pack takes the timestamp of the pack read before
    // it, so after a positioning the read must not start with one: it
    // starts at the video pack before the I-frame's audio pack, or at a
    // segment's first I-frame itself.
    struct Case {
        int64_t atMs;
        int firstType;
        uint64_t firstPts;
    } cases[] = {{5500, kTypeP, 4960}, {4000, kTypeI, 4000}};
    for (const Case& c : cases) {
        const MSSP_SeekTime_t t = SeekTime(At(c.atMs));
        ASSERT_EQ(s->SeekStream(h, &t), 0);
        std::vector<uint8_t> buf(4096);
        ASSERT_EQ(s->ReadStream(h, buf.data(), static_cast<int>(buf.size()), &seg), 4096);
        const PackHeader first = Head(buf.data(), buf.size(), PackFormat::kOld);
        EXPECT_EQ(first.type, c.firstType) << c.atMs;
        EXPECT_EQ(first.ptsMs, c.firstPts) << c.atMs;
    }
    s->CloseStream(h, 0);
    EXPECT_TRUE(log.Contains("missing"));
}

// Random damage (flipped bytes, a random cut) to a segment and its index:
// every operation still returns one of its results; under the sanitizers
// this also shows that nothing reads outside the data.
TEST_F(Store, Bad_RandomDamageNeverCrashes) {
    const std::vector<uint8_t> pristine = FileBytes(Seg(0, 0));
    const std::vector<uint8_t> pristineIdx = FileBytes(IndexPathFor(Seg(0, 0)));
    uint32_t x = 12345;
    auto rnd = [&x] {
        x = x * 1664525u + 1013904223u;
        return x >> 8;
    };
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> bytes = pristine;
        for (int k = 0; k < 40; ++k) bytes[rnd() % bytes.size()] ^= static_cast<uint8_t>(1 + rnd() % 255);
        bytes.resize(rnd() % (bytes.size() + 1));
        WriteBytes(Seg(0, 0), bytes);
        std::vector<uint8_t> idx = pristineIdx;
        if (round % 2) idx[rnd() % idx.size()] ^= 0x10;
        WriteBytes(IndexPathFor(Seg(0, 0)), idx);
        auto s = OpenStore();
        const int h = Open(*s, 0, At(rnd() % 4000));
        ASSERT_GE(h, 0) << "later segments stay playable";
        std::vector<uint8_t> buf(70000);
        for (int guard = 0; guard < 1000; ++guard) {
            unsigned char flag = 0;
            const int maxLen = 1 + static_cast<int>(rnd() % 65536);
            const int n = s->ReadStream(h, buf.data(), maxLen, &flag);
            ASSERT_LE(n, maxLen);
            if (n <= 0) break;
        }
        MSSP_SeekTime_t t = SeekTime(At(rnd() % 12000));
        s->SeekStream(h, &t);
        for (bool forward : {true, false}) {
            for (int guard = 0; guard < 40; ++guard) {
                unsigned char* data = nullptr;
                int len = 0;
                unsigned char seg = 0;
                const int r = forward ? s->ReadNextIFrame(h, &data, &len, &seg, static_cast<int>(rnd() % 3))
                                      : s->ReadPrevIFrame(h, &data, &len, &seg, 31);
                if (r <= 0) break;
                ASSERT_NE(data, nullptr);
                ASSERT_EQ(Head(data, static_cast<size_t>(len)).packLen, static_cast<uint64_t>(len));
            }
        }
        s->CloseStream(h, 0);
    }
}

// ---------------------------------------------------------------------------
// Threads: readers on their own handles while the control thread opens and
// closes others.

TEST_F(Store, Threads_ReadersAndOpensCloses) {
    auto s = OpenStore();
    uint64_t expected = 0;
    for (int n = 0; n < 3; ++n) expected += FileBytes(Seg(0, n)).size();
    std::atomic<int> done{0};
    std::vector<uint64_t> totals(4, 0);
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&, r] {
            const int h = Open(*s, 0, kStart);
            std::vector<uint8_t> buf(4096);
            for (int guard = 0; guard < 100000; ++guard) {
                unsigned char flag = 0;
                const int n = s->ReadStream(h, buf.data(), 4096, &flag);
                if (n <= 0) break;
                totals[static_cast<size_t>(r)] += static_cast<uint64_t>(n);
            }
            s->CloseStream(h, 0);
            done.fetch_add(1);
        });
    }
    int cycles = 0;
    while (done.load() < 4 && cycles < 5000) {
        const int h = Open(*s, 1, At(cycles % 5 * 1000));
        EXPECT_GE(h, 0);
        s->CloseStream(h, 0);
        ++cycles;
    }
    for (std::thread& t : readers) t.join();
    for (uint64_t t : totals) EXPECT_EQ(t, expected);
    EXPECT_EQ(s->OpenHandleCount(), 0);
}

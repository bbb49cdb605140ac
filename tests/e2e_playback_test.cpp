// End-to-end playback through the real reader threads: recordings held by
// the scripted host, StartParse, and the test thread acting as the host's
// playback thread (GetFrame / ReleaseFrame) and control thread (SetStatus).
// Every run is checked against a model built from the recording: which packs
// the reader stores and which it drops, which stored frames delivery takes
// out, the order, timestamps and flags of delivery, and the bytes of every
// delivered frame (one piece, or two when the pack wraps round the ring).
// Runs are bounded by a deadline and poll; nothing sleeps a fixed time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ParserHarness.h"

using A = MsspTestAccess;
using msspt::DateTime;
using msspt::PackInfo;
using msspt::ParserHarness;
using msspt::RecordingBuilder;
using msspt::ScriptedHost;
using packwriter::Bytes;
using packwriter::RefInfo;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 3;  // sanitizer builds run the same work several times slower
#else
constexpr int kSlowdown = 1;
#endif
constexpr int kRunMs = 8000 * kSlowdown;   // a whole run; it takes about a second
constexpr int kStopMs = 3000 * kSlowdown;  // StopParse: one parked pass of every thread
constexpr useconds_t kPollUs = 200;        // between empty GetFrame polls

constexpr DateTime kT0{26, 3, 9, 10, 0, 0};  // every channel starts recording here
constexpr int kRing = 250000;  // small: the readers wrap it
constexpr int kNodes = 64;
constexpr uint64_t kStep = 40;  // ms between video frames
constexpr uint64_t kNear2p32 = (1ull << 32) - 1500;  // low 32 bits wrap during play

// ---------------------------------------------------------------------------
// Building recordings

// One channel's recording, with what the pack list does not keep.
struct Chan {
    uint8_t channel = 0;
    RecordingBuilder b;
    std::vector<bool> audioFlag;  // per pack: the extension flag (true for video)
    std::vector<RefInfo> ref;     // per pack: refType 0 = no reference record
    uint64_t pts = 0;             // pts of the next video frame
    int video = 0;                // video frames written
    int audio = 0;                // audio packs written
};

void AddVideo(Chan& c, int type, DateTime t, std::optional<RefInfo> ref = std::nullopt) {
    packwriter::NewPack p;
    p.kind = type == 0 ? packwriter::kIFrame : packwriter::kPFrame;
    p.channel = c.channel;
    p.video = packwriter::VideoInfo{704, 576, 25};
    p.pts = c.pts;
    if (type == 0) p.time = t;
    p.flag = true;
    p.ref = ref;
    const size_t len = (type == 0 ? 3000u : 1500u) + static_cast<size_t>(c.video) * 37 % 97;
    c.b.AddNewPack(p, len, t);
    c.audioFlag.push_back(true);
    c.ref.push_back(ref.value_or(RefInfo{0, 0}));
    ++c.video;
    c.pts += kStep;
}

void AddAudio(Chan& c, uint64_t pts, DateTime t, bool flag) {
    c.b.AddAudio(pts, t, 160 + static_cast<size_t>(c.audio) % 13, c.channel, flag);
    c.audioFlag.push_back(flag);
    c.ref.push_back(RefInfo{0, 0});
    ++c.audio;
}

struct Gops {
    int count = 1;
    int gop = 10;             // one I-frame, then gop - 1 P-frames
    DateTime t0 = kT0;        // GOP n is recorded at t0 + n seconds
    bool audio = false;       // an audio pack after every video frame
    int unflaggedEvery = 0;   // every n-th audio pack of the channel has no extension flag
    bool unflagFirstAudio = false;
    int jumpAtVideo = -1;     // the pts jumps before this video frame of the channel
    uint64_t jumpBy = 0;
    std::optional<uint8_t> refType;  // reference records with refIndex = frame position in the GOP
};

void AddGops(Chan& c, const Gops& g) {
    bool firstAudio = true;
    for (int n = 0; n < g.count; ++n) {
        const DateTime t = msspt::AddSeconds(g.t0, n);
        for (int f = 0; f < g.gop; ++f) {
            if (c.video == g.jumpAtVideo) c.pts += g.jumpBy;
            const uint64_t v = c.pts;
            std::optional<RefInfo> ref;
            if (g.refType) ref = RefInfo{*g.refType, static_cast<uint8_t>(f)};
            AddVideo(c, f == 0 ? 0 : 1, t, ref);
            if (!g.audio) continue;
            bool flag = !(firstAudio && g.unflagFirstAudio);
            if (g.unflaggedEvery > 0 && (c.audio + 1) % g.unflaggedEvery == 0) flag = false;
            firstAudio = false;
            AddAudio(c, v + kStep / 2, t, flag);
        }
    }
}

// The four channels of the forward runs, all recorded from kT0:
//  stream 0, channel 0: one segment that carries audio without being an
//    audio segment (audio is timed by the video behind it), every 7th audio
//    pack without the extension flag;
//  stream 1, channel 3: a video segment, then an audio segment (audio is the
//    timing medium there) opening with an I-frame, an unflagged audio pack
//    and a P-frame before its first flagged audio pack;
//  stream 2, channel 5: a pts jump of `jumpBy` before a P-frame;
//  stream 3, channel 7: two segments, each opening with two P-frames.
std::vector<Chan> FourChannels(const std::array<uint64_t, 4>& origin, uint64_t jumpBy) {
    std::vector<Chan> ch(4);
    ch[0].channel = 0;
    ch[0].pts = origin[0];
    ch[0].b.NewSegment(kT0, false);
    Gops a;
    a.count = 16;
    a.audio = true;
    a.unflaggedEvery = 7;
    AddGops(ch[0], a);

    ch[1].channel = 3;
    ch[1].pts = origin[1];
    ch[1].b.NewSegment(kT0, false);
    Gops b0;
    b0.count = 8;
    AddGops(ch[1], b0);
    const DateTime t8 = msspt::AddSeconds(kT0, 8);
    ch[1].b.NewSegment(t8, true);
    Gops b1;
    b1.count = 8;
    b1.t0 = t8;
    b1.audio = true;
    b1.unflagFirstAudio = true;
    AddGops(ch[1], b1);

    ch[2].channel = 5;
    ch[2].pts = origin[2];
    ch[2].b.NewSegment(kT0, false);
    Gops c;
    c.count = 16;
    c.jumpAtVideo = 73;
    c.jumpBy = jumpBy;
    AddGops(ch[2], c);

    // The first I-frame is recorded a second after kT0, so that opening at
    // kT0 starts at the leading P-frames.
    ch[3].channel = 7;
    ch[3].pts = origin[3];
    ch[3].b.NewSegment(kT0, false);
    AddVideo(ch[3], 1, kT0);
    AddVideo(ch[3], 1, kT0);
    Gops d0;
    d0.count = 8;
    d0.t0 = msspt::AddSeconds(kT0, 1);
    AddGops(ch[3], d0);
    const DateTime t9 = msspt::AddSeconds(kT0, 9);
    ch[3].b.NewSegment(t9, false);
    AddVideo(ch[3], 1, t9);
    AddVideo(ch[3], 1, t9);
    Gops d1;
    d1.count = 8;
    d1.t0 = msspt::AddSeconds(t9, 1);
    AddGops(ch[3], d1);
    return ch;
}

// ---------------------------------------------------------------------------
// The model: what becomes of every recorded pack

enum Fate {
    kDelivered,
    kNotKeyAtStart,        // nothing stored yet and not of the wanted type
    kAudioWithoutFlag,     // audio pack without the extension flag
    kZeroPtsAtStart,       // nothing stored yet and pts 0
    kNotKeyInNewSegment,   // a new segment's packs before its first wanted-type pack
    kBelowJumpLevel,       // video frame whose reference position the level skips
    kThrownNoVideoBehind,  // ordinary-segment audio with no video frame waiting behind it
    kKeyFrameWait,         // non-key frame after such a throw, before the next key frame
    kFateCount,
};
const char* const kFateName[kFateCount] = {"delivered",         "not key at start",   "audio without flag",
                                           "zero pts at start", "not key in new seg", "below jump level",
                                           "thrown, no video behind", "key-frame wait"};

struct Stored {
    size_t pack;    // index in the channel's packs
    bool newSeg;    // first frame stored after a reported segment change
    bool audioSeg;  // stored while the segment carries audio
    bool shown;     // passes the stream's frame-jump level
};

struct Model {
    std::vector<int> fate;       // per pack
    std::vector<Stored> stored;  // in stream order
};

int TypeOf(const Chan& c, const Stored& s) { return c.b.packs[s.pack].type; }
bool IsKey(const Chan& c, const Stored& s) { return TypeOf(c, s) == 0 || (TypeOf(c, s) == 2 && s.audioSeg); }
bool IsOrdinaryAudio(const Chan& c, const Stored& s) { return TypeOf(c, s) == 2 && !s.audioSeg; }
// The frames that go through the discontinuity check: audio in an audio
// segment, video elsewhere.
bool IsTimingMedium(const Chan& c, const Stored& s) { return s.audioSeg == (TypeOf(c, s) == 2); }

// Shown at the level whose mask word is `word` (bit 31 = position 0;
// positions 32..60 reuse bits 0..28; above 60 always shown).
bool ShownAt(uint32_t word, const RefInfo& r) {
    if (r.refType != 2 && r.refType != 5) return true;
    if (r.refIndex > 60) return true;
    const unsigned p = r.refIndex <= 31 ? r.refIndex : r.refIndex - 32u;
    return ((word >> (31 - p)) & 1u) != 0;
}

// What the reader stores of a recording played from its start. Segments
// after the first are reported as new segments (entered by reading on); the
// first is not, so it counts as an ordinary segment whatever its attribute.
Model ModelOf(const Chan& c, uint32_t levelWord = 0xFFFFFFFFu) {
    Model m;
    m.fate.assign(c.b.packs.size(), kDelivered);
    int seg = 0;
    bool audioSeg = false;
    bool mark = false;
    for (size_t k = 0; k < c.b.packs.size(); ++k) {
        const PackInfo& p = c.b.packs[k];
        if (p.segment != seg) {
            seg = p.segment;
            mark = true;
            audioSeg = c.b.recording.segments[static_cast<size_t>(seg)].audio;
        }
        const int wanted = audioSeg ? 2 : 0;
        const bool none = m.stored.empty();
        int& f = m.fate[k];
        if (none && p.type != wanted) f = kNotKeyAtStart;
        else if (p.type == 2 && !c.audioFlag[k]) f = kAudioWithoutFlag;
        else if (none && p.pts == 0) f = kZeroPtsAtStart;
        else if (mark && p.type != wanted) f = kNotKeyInNewSegment;
        if (f != kDelivered) continue;
        const bool shown = p.type > 1 || ShownAt(levelWord, c.ref[k]);
        m.stored.push_back(Stored{k, mark, audioSeg, shown});
        mark = false;
    }
    return m;
}

// ---------------------------------------------------------------------------
// Playing

struct Got {
    int index = -1;
    int channel = -1;
    int type = -1;
    uint64_t pts = 0;
    unsigned flag = 0;
    Bytes bytes;
    bool wrapped = false;
};

// Polls GetFrame as the host's playback thread does, copies and releases
// every frame, until the recording is over (GetStatus 0) or `limit` frames
// came. False when the deadline passes first. Runs while standard output may
// be captured: problems go to `errors`, not to assertions.
bool Play(CMultiStreamSyncParser& p, int direction, unsigned char convert, std::vector<Got>& out,
          std::string& errors, size_t limit = SIZE_MAX) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunMs);
    const int size = A::BufSize(p);
    while (out.size() < limit) {
        unsigned char* d1 = nullptr;
        unsigned char* d2 = nullptr;
        int l1 = 0, l2 = 0, type = -1, channel = -1;
        unsigned long long pts = 0;
        unsigned flag = 0;
        const int r = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, direction, convert);
        if (r >= 0) {
            const unsigned char* ring = A::Ring(p, r);
            const bool first = d1 >= ring && l1 > 0 && l1 <= size && d1 - ring <= size - l1;
            const bool second = l2 == 0 ? d2 == nullptr : (d2 == ring && l2 > 0 && l2 <= size - l1);
            if (!first || !second) {
                errors += "frame " + std::to_string(out.size()) + ": pieces outside the ring\n";
            } else {
                Got g;
                g.index = r;
                g.channel = channel;
                g.type = type;
                g.pts = pts;
                g.flag = flag;
                g.bytes.assign(d1, d1 + l1);
                if (l2 > 0) g.bytes.insert(g.bytes.end(), d2, d2 + l2);
                g.wrapped = l2 > 0;
                out.push_back(std::move(g));
            }
            if (p.ReleaseFrame(r) != 0) errors += "ReleaseFrame failed\n";
            continue;
        }
        if (p.GetStatus() == 0) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(kPollUs);
    }
    return true;
}

// The state at the end of a recording, and how StopParse went.
struct EndState {
    int status = -1;
    std::vector<int> chnStatus;
    int frameAfter = 0;
    long long stopMs = 0;
    int stopResult = -1;
    int openHandles = -1;
};

EndState EndOfRecording(ParserHarness& h, int streams) {
    EndState e;
    CMultiStreamSyncParser& p = h.P();
    e.status = p.GetStatus();
    for (int i = 0; i < streams; ++i) e.chnStatus.push_back(p.GetChnStatusEx(i, 0));
    unsigned char* d1 = nullptr;
    unsigned char* d2 = nullptr;
    int l1 = 0, l2 = 0, type = 0;
    unsigned long long pts = 0;
    e.frameAfter = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, nullptr, nullptr, 1, 0);
    const auto t0 = std::chrono::steady_clock::now();
    e.stopResult = p.StopParse();
    e.stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    e.openHandles = h.host.OpenHandles();
    return e;
}

void ExpectEnded(const EndState& e) {
    EXPECT_EQ(e.status, 0) << "every stream over and drained";
    for (size_t i = 0; i < e.chnStatus.size(); ++i) EXPECT_EQ(e.chnStatus[i], 0) << "stream " << i;
    EXPECT_EQ(e.frameAfter, -1);
    EXPECT_EQ(e.stopResult, 0);
    EXPECT_LT(e.stopMs, kStopMs);
    EXPECT_EQ(e.openHandles, 0) << "the reader threads close their handles as they end";
}

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Captures standard output for the lifetime of the object unless taken.
class StdoutCapture {
public:
    StdoutCapture() { testing::internal::CaptureStdout(); }
    ~StdoutCapture() {
        if (on_) testing::internal::GetCapturedStdout();
    }
    std::string Take() {
        on_ = false;
        return testing::internal::GetCapturedStdout();
    }

private:
    bool on_ = true;
};

// ---------------------------------------------------------------------------
// Checking a run

// Collects mismatches, reporting the first few in full.
struct Errors {
    int count = 0;
    std::ostringstream text;
    template <class F>
    void Add(F&& describe) {
        if (++count <= 12) {
            describe(text);
            text << '\n';
        }
    }
};

// Matches one stream's deliveries against its model, in order. A stored
// frame that was not delivered must be explained: below the jump level, or
// an audio frame of an ordinary segment thrown away because no video frame
// waited behind it yet, which starts a key-frame wait that drops every
// following non-key frame. Records each delivered frame's stored position.
struct Walk {
    std::vector<size_t> storedAt;  // per delivery of the stream
    int thrown = 0;
    int waitDrops = 0;
    size_t firstThrown = SIZE_MAX;  // stored position of the first thrown frame
};

bool WalkStream(const Chan& c, Model& m, const std::vector<const Got*>& got, Walk& w, Errors& err) {
    size_t j = 0;
    bool waiting = false;
    auto explainUpTo = [&](size_t end) {
        for (; j < end; ++j) {
            const Stored& s = m.stored[j];
            const bool key = IsKey(c, s);
            int& fate = m.fate[s.pack];
            if (waiting && !key) {
                fate = kKeyFrameWait;
                ++w.waitDrops;
                continue;
            }
            if (waiting) waiting = false;
            if (!s.shown) {
                fate = kBelowJumpLevel;
                continue;
            }
            if (IsOrdinaryAudio(c, s)) {
                fate = kThrownNoVideoBehind;
                if (w.thrown++ == 0) w.firstThrown = j;
                waiting = true;
                continue;
            }
            err.Add([&](std::ostream& o) {
                o << "channel " << int(c.channel) << ": stored frame " << j << " (pack " << s.pack << " type "
                  << TypeOf(c, s) << " pts " << c.b.packs[s.pack].pts << ") neither delivered nor dropped by a rule";
            });
            return false;
        }
        return true;
    };
    for (size_t n = 0; n < got.size(); ++n) {
        size_t k = j;
        while (k < m.stored.size() && c.b.packs[m.stored[k].pack].bytes != got[n]->bytes) ++k;
        if (k == m.stored.size()) {
            err.Add([&](std::ostream& o) {
                o << "channel " << int(c.channel) << ": delivery " << n << " (type " << got[n]->type << ", "
                  << got[n]->bytes.size() << " bytes) is no stored frame at or after " << j;
            });
            return false;
        }
        if (!explainUpTo(k)) return false;
        if (waiting && !IsKey(c, m.stored[k])) {
            err.Add([&](std::ostream& o) {
                o << "channel " << int(c.channel) << ": non-key frame " << k << " delivered during a key-frame wait";
            });
            return false;
        }
        waiting = false;
        w.storedAt.push_back(k);
        j = k + 1;
    }
    return explainUpTo(m.stored.size());
}

// Expected timestamp of a delivered frame: its own pts for a timing frame,
// the pts of the next video frame behind an audio frame of an ordinary
// segment.
uint64_t ExpectedPts(const Chan& c, const Model& m, size_t j) {
    const Stored& s = m.stored[j];
    if (!IsOrdinaryAudio(c, s)) return c.b.packs[s.pack].pts;
    for (size_t k = j + 1; k < m.stored.size(); ++k)
        if (TypeOf(c, m.stored[k]) <= 1) return c.b.packs[m.stored[k].pack].pts;
    return 0;
}

// The discontinuity rule on the low 32 bits of two timestamps.
bool Discontinuous(uint64_t pts, uint64_t last, int playStatus) {
    const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(pts) - static_cast<uint32_t>(last));
    return d > 2500 || (d < 0 && playStatus != MSSP_STATUS_FAST_BACKWARD);
}

// Checks a forward run of GetFrame(direction 1) against the models: every
// recorded pack delivered once or dropped by a rule (sets compared), bytes,
// types, channels, timestamps, order, flags (with the discontinuity bit when
// `raw`), and that the messages of the delivery drops match the model.
void VerifyForward(const std::vector<Chan>& ch, std::vector<Model>& models, const std::vector<Got>& got,
                   const std::string& out, bool raw) {
    const size_t streams = ch.size();
    std::vector<std::vector<const Got*>> per(streams);
    Errors err;
    for (const Got& g : got) {
        if (g.index < 0 || static_cast<size_t>(g.index) >= streams) {
            ADD_FAILURE() << "delivery from stream " << g.index;
            return;
        }
        per[static_cast<size_t>(g.index)].push_back(&g);
    }

    std::vector<Walk> walks(streams);
    for (size_t i = 0; i < streams; ++i) {
        ASSERT_TRUE(WalkStream(ch[i], models[i], per[i], walks[i], err)) << err.text.str();
        const std::string idx = std::to_string(i);
        // Audio waits for the video behind it while the stream is live: a
        // throw (and the key-frame wait after it) only happens at the end of
        // the recording, after the last delivered frame.
        if (walks[i].thrown > 0 && !walks[i].storedAt.empty()) {
            EXPECT_LT(walks[i].storedAt.back(), walks[i].firstThrown) << "stream " << i << ": frames thrown mid-stream";
        }
        // Each throw and each wait drop printed its message.
        EXPECT_EQ(walks[i].thrown, Occurrences(out, "ch" + idx + " pts is 0 throw it\n")) << "stream " << i;
        EXPECT_EQ(walks[i].waitDrops, Occurrences(out, "CH drop a frame index:" + idx + " type:")) << "stream " << i;
        int notKeyAtStart = 0;
        for (int f : models[i].fate) notKeyAtStart += f == kNotKeyAtStart;
        EXPECT_EQ(notKeyAtStart, Occurrences(out, "index [" + idx + "] frame type=")) << "stream " << i;

        // The delivered set is exactly the set the model leaves.
        std::set<size_t> delivered, expected;
        for (size_t j : walks[i].storedAt) delivered.insert(models[i].stored[j].pack);
        for (size_t k = 0; k < models[i].fate.size(); ++k)
            if (models[i].fate[k] == kDelivered) expected.insert(k);
        EXPECT_EQ(delivered, expected) << "stream " << i;
        EXPECT_EQ(delivered.size(), per[i].size()) << "stream " << i << ": a frame delivered twice";

        std::array<int, kFateCount> count{};
        for (int f : models[i].fate) ++count[f];
        std::printf("[ e2e      ] stream %zu channel %d: %zu packs;", i, ch[i].channel, models[i].fate.size());
        for (int f = 0; f < kFateCount; ++f)
            if (count[f] != 0) std::printf(" %s %d;", kFateName[f], count[f]);
        std::printf("\n");
    }

    // Timestamps, flags and order, in delivery order.
    std::vector<size_t> next(streams, 0);
    std::vector<uint64_t> lastChecked(streams, 0);  // the parser's last checked pts starts at 0
    int wrapped = 0;
    for (size_t n = 0; n < got.size(); ++n) {
        const Got& g = got[n];
        const size_t i = static_cast<size_t>(g.index);
        const Chan& c = ch[i];
        const Model& m = models[i];
        const size_t j = walks[i].storedAt[next[i]++];
        const Stored& s = m.stored[j];
        const PackInfo& pack = c.b.packs[s.pack];
        wrapped += g.wrapped;
        const uint64_t pts = ExpectedPts(c, m, j);
        if (g.pts != pts || g.type != pack.type || g.channel != c.channel) {
            err.Add([&](std::ostream& o) {
                o << "delivery " << n << " stream " << i << ": pts " << g.pts << " type " << g.type << " channel "
                  << g.channel << ", expected " << pts << " " << pack.type << " " << int(c.channel);
            });
        }
        bool disc = false;
        if (raw && IsTimingMedium(c, s)) {
            disc = Discontinuous(pack.pts, lastChecked[i], MSSP_STATUS_PLAY);
            lastChecked[i] = pack.pts;
        }
        // Bit 1 (last frame before a new segment) is set by the reader when
        // the next segment's first frame is stored, possibly after delivery.
        const bool lastOfSeg = j + 1 < m.stored.size() && m.stored[j + 1].newSeg;
        const unsigned want = (s.newSeg || disc) ? 1u : 0u;
        if ((g.flag & ~2u) != want || ((g.flag & 2u) != 0 && !lastOfSeg)) {
            err.Add([&](std::ostream& o) {
                o << "delivery " << n << " stream " << i << " pts " << pack.pts << ": flag " << g.flag << ", expected "
                  << want << (lastOfSeg ? " (bit 1 allowed)" : "");
            });
        }
        if (n > 0) {
            const Got& prev = got[n - 1];
            if (prev.pts > g.pts || (prev.pts == g.pts && prev.index > g.index)) {
                err.Add([&](std::ostream& o) {
                    o << "delivery " << n << ": stream " << g.index << " pts " << g.pts << " after stream "
                      << prev.index << " pts " << prev.pts;
                });
            }
        }
    }
    EXPECT_EQ(err.count, 0) << err.text.str();
    EXPECT_GT(wrapped, 0) << "no delivered frame wrapped round a ring";
    std::printf("[ e2e      ] %zu frames delivered, %d of them in two pieces\n", got.size(), wrapped);
}

class E2e : public ::testing::Test {
protected:
    void Make(int streams) { h = std::make_unique<ParserHarness>("e2e", streams, kRing, kNodes); }
    void TearDown() override {
        if (h) h->P().StopParse();  // never leave threads running on a parser that is destroyed
    }
    int Start(unsigned chnBmp, int streamsPerThread) {
        tag_tavuDate date{kT0[0], kT0[1], kT0[2]};
        tag_tavuTime time{kT0[3], kT0[4], kT0[5]};
        return h->P().StartParse(chnBmp, 0x01, 0, &date, &time, false, streamsPerThread);
    }
    void Load(const std::vector<Chan>& ch) {
        const std::vector<std::vector<int>> chunks = {
            {65536, 7001, 30011}, {20000, 65536}, {65536}, {3001, 65536, 999}};
        for (size_t i = 0; i < ch.size(); ++i) {
            h->host.SetRecording(ch[i].channel, 0, ch[i].b.recording);
            h->host.SetChunks(ch[i].channel, 0, chunks[i % chunks.size()]);
        }
    }
    static unsigned Mask(const std::vector<Chan>& ch) {
        unsigned m = 0;
        for (const Chan& c : ch) m |= 1u << c.channel;
        return m;
    }
    // Plays `ch` from kT0 to the end with GetFrame(direction 1, convert) and
    // checks everything delivered.
    std::vector<Got> PlayForward(const std::vector<Chan>& ch, std::vector<Model> models, int streamsPerThread,
                                 unsigned char convert) {
        Make(static_cast<int>(ch.size()));
        Load(ch);
        std::vector<Got> got;
        std::string errors;
        int started = -1;
        bool finished = false;
        EndState end;
        std::string out;
        {
            StdoutCapture capture;
            started = Start(Mask(ch), streamsPerThread);
            finished = started == 0 && Play(h->P(), 1, convert, got, errors);
            end = EndOfRecording(*h, static_cast<int>(ch.size()));
            out = capture.Take();
        }
        EXPECT_EQ(started, 0);
        EXPECT_TRUE(finished) << "deadline passed after " << got.size() << " frames";
        if (started != 0 || !finished) return {};
        EXPECT_EQ(errors, "");
        ExpectEnded(end);
        VerifyForward(ch, models, got, out, convert == 0);
        return got;
    }
    std::unique_ptr<ParserHarness> h;
};

std::vector<Model> ModelsOf(const std::vector<Chan>& ch) {
    std::vector<Model> m;
    for (const Chan& c : ch) m.push_back(ModelOf(c));
    return m;
}

// ---------------------------------------------------------------------------
// Forward play

// Recorders counting from 0, 10^6, 5*10^9 and just below 2^32. Every node
// the reader completes carries the completion mark, so even with bConvert
// set GetFrame orders by the recorded pts: the channels come out one after
// another, each with its own timestamps.
std::vector<Chan> DifferentOrigins() { return FourChannels({0, 1000000, 5000000000ull, kNear2p32}, 60000); }

TEST_F(E2e, ConvertedMode_DifferentOrigins_ThreadPerStream) {
    const std::vector<Chan> ch = DifferentOrigins();
    std::vector<Model> m = ModelsOf(ch);
    // The model drops what the rules drop; make sure each rule is met.
    std::array<int, kFateCount> seen{};
    for (const Model& x : m)
        for (int f : x.fate) ++seen[f];
    for (int f : {kNotKeyAtStart, kAudioWithoutFlag, kZeroPtsAtStart, kNotKeyInNewSegment})
        EXPECT_GT(seen[f], 0) << kFateName[f];
    PlayForward(ch, m, 1, 1);
}

TEST_F(E2e, ConvertedMode_DifferentOrigins_OneThreadForAll) {
    const std::vector<Chan> ch = DifferentOrigins();
    PlayForward(ch, ModelsOf(ch), 0, 1);
}

// One origin just below 2^32 for all: the channels interleave (ties to the
// lower stream index), the discontinuity check runs on the low 32 bits
// across the wrap without firing, and fires on the frame after the jump.
TEST_F(E2e, RawMode_SharedOrigin_FlagAfterJumpOnly) {
    const uint64_t o = kNear2p32;
    const std::vector<Chan> ch = FourChannels({o, o, o, o}, 5000);
    const std::vector<Got> got = PlayForward(ch, ModelsOf(ch), 2, 0);
    if (HasFailure()) return;
    // Spelled out for stream 2 (video only, nothing dropped): the flag is on
    // its first frame (the last checked pts starts at 0, and the low 32 bits
    // of o read as negative) and on the frame after the jump, not on the
    // frames that carry the pts across 2^32.
    const Chan& c = ch[2];
    ASSERT_EQ(c.b.packs[73].pts - c.b.packs[72].pts, kStep + 5000);
    std::vector<size_t> flagged;
    size_t n = 0;
    bool crossed = false;
    for (const Got& g : got) {
        if (g.index != 2) continue;
        if (g.flag & 1u) flagged.push_back(n);
        crossed = crossed || g.pts >= (1ull << 32);
        ++n;
    }
    EXPECT_TRUE(crossed);
    EXPECT_EQ(n, c.b.packs.size());
    EXPECT_EQ(flagged, (std::vector<size_t>{0, 73}));
}

// ---------------------------------------------------------------------------
// Frame-jump levels

TEST_F(E2e, JumpLevels_ExactlyTheFramesWhoseBitIsSet) {
    std::vector<Chan> ch(2);
    ch[0].channel = 2;
    ch[1].channel = 6;
    Gops g;
    g.count = 10;  // enough to wrap the ring
    g.gop = 30;  // refIndex cycles 0..29
    for (size_t i = 0; i < 2; ++i) {
        ch[i].pts = 300000;
        ch[i].b.NewSegment(kT0, false);
        g.refType = i == 0 ? 5 : 2;
        AddGops(ch[i], g);
    }
    // Level 3 of the 4X table shows positions 0, 4, ..., 28; level 0 of the
    // 2X table the even positions.
    std::vector<Model> m = {ModelOf(ch[0], 0x88888888u), ModelOf(ch[1], 0xAAAAAAAAu)};
    int shown0 = 0, shown1 = 0;
    for (const Stored& s : m[0].stored) shown0 += s.shown;
    for (const Stored& s : m[1].stored) shown1 += s.shown;
    EXPECT_EQ(shown0, g.count * 8);
    EXPECT_EQ(shown1, g.count * 15);
    Make(2);
    Load(ch);
    h->P().SetFrameJumpLevel(0, 3);
    h->P().SetFrameJumpLevel(1, 0);
    std::vector<Got> got;
    std::string errors;
    ASSERT_EQ(Start(Mask(ch), 1), 0);
    ASSERT_TRUE(Play(h->P(), 1, 1, got, errors)) << "deadline passed after " << got.size() << " frames";
    EXPECT_EQ(errors, "");
    ExpectEnded(EndOfRecording(*h, 2));
    EXPECT_EQ(got.size(), static_cast<size_t>(shown0 + shown1));
    VerifyForward(ch, m, got, "", false);
}

// ---------------------------------------------------------------------------
// Trick play

// Two channels with the same origin, GOPs of 5 recorded one second apart;
// channel 1 in two segments of 10 GOPs, channel 4 in one of 20.
struct TrickSetup {
    msspt::RecordingBuilder r1, r4;
    std::vector<size_t> i1, i4;  // pack indexes of the I-frames, in recording order
};

TrickSetup MakeTrick() {
    msspt::SynthSpec s;
    s.gop = 5;
    s.firstPts = 700000;
    s.start = kT0;
    s.channel = 1;
    s.segments = 2;
    s.gopsPerSegment = 10;
    TrickSetup t;
    t.r1 = msspt::MakeSynthetic(s);
    s.channel = 4;
    s.segments = 1;
    s.gopsPerSegment = 20;
    t.r4 = msspt::MakeSynthetic(s);
    for (size_t k = 0; k < t.r1.packs.size(); ++k)
        if (t.r1.packs[k].type == 0) t.i1.push_back(k);
    for (size_t k = 0; k < t.r4.packs.size(); ++k)
        if (t.r4.packs[k].type == 0) t.i4.push_back(k);
    return t;
}

class E2eTrick : public E2e {
protected:
    // Starts both channels and plays `n` frames forward, checking they are
    // the first frames of each recording; remembers each stream's last pts.
    void StartAndPlay(size_t n) {
        Make(2);
        h->host.SetRecording(1, 0, t.r1.recording);
        h->host.SetRecording(4, 0, t.r4.recording);
        h->host.SetChunks(4, 0, {30011, 65536});
        ASSERT_EQ(Start(0x12, 1), 0);
        std::vector<Got> fwd;
        std::string errors;
        ASSERT_TRUE(Play(h->P(), 1, 0, fwd, errors, n));
        EXPECT_EQ(errors, "");
        size_t k[2] = {0, 0};
        for (const Got& g : fwd) {
            const auto& packs = g.index == 0 ? t.r1.packs : t.r4.packs;
            const size_t at = k[g.index]++;
            ASSERT_LT(at, packs.size());
            EXPECT_TRUE(g.bytes == packs[at].bytes) << "stream " << g.index << " frame " << at;
            last[g.index] = packs[at].pts;
        }
    }
    // Plays the trick mode to the end and checks the deliveries: exactly
    // `want[i]` for stream i (I-frames, bytes exact, each once), in order of
    // `direction` across the streams, flags as the rules give them.
    void PlayTrick(int direction, int playStatus, const std::vector<const PackInfo*> (&want)[2]) {
        std::vector<Got> got;
        std::string errors;
        ASSERT_TRUE(Play(h->P(), direction, 0, got, errors)) << "deadline passed after " << got.size() << " frames";
        EXPECT_EQ(errors, "");
        size_t k[2] = {0, 0};
        int prevSeg[2] = {want[0].empty() ? 0 : want[0][0]->segment, want[1].empty() ? 0 : want[1][0]->segment};
        for (size_t n = 0; n < got.size(); ++n) {
            const Got& g = got[n];
            ASSERT_TRUE(g.index == 0 || g.index == 1);
            const size_t at = k[g.index]++;
            ASSERT_LT(at, want[g.index].size()) << "stream " << g.index << ": more frames than I-frames to fetch";
            const PackInfo& p = *want[g.index][at];
            EXPECT_EQ(g.type, 0);
            EXPECT_TRUE(g.bytes == p.bytes) << "stream " << g.index << " frame " << at;
            EXPECT_EQ(g.pts, p.pts);
            // The host reports a new segment when the I-frame lies in another
            // segment than the one fetched before.
            const bool newSeg = p.segment != prevSeg[g.index];
            prevSeg[g.index] = p.segment;
            const bool disc = Discontinuous(p.pts, last[g.index], playStatus);
            last[g.index] = p.pts;
            EXPECT_EQ(g.flag & 1u, (newSeg || disc) ? 1u : 0u) << "stream " << g.index << " frame " << at;
            if (n > 0) {
                const Got& prev = got[n - 1];
                const bool inOrder = direction > 0 ? prev.pts < g.pts || (prev.pts == g.pts && prev.index < g.index)
                                                   : prev.pts > g.pts || (prev.pts == g.pts && prev.index < g.index);
                EXPECT_TRUE(inOrder) << "delivery " << n << ": stream " << g.index << " pts " << g.pts
                                     << " after stream " << prev.index << " pts " << prev.pts;
            }
        }
        EXPECT_EQ(k[0], want[0].size());
        EXPECT_EQ(k[1], want[1].size());
    }
    TrickSetup t = MakeTrick();
    uint64_t last[2] = {0, 0};
};

TEST_F(E2eTrick, FastBackward_IFramesOnlyNonIncreasing) {
    StartAndPlay(24);
    if (HasFatalFailure()) return;
    // 10:00:15 is the 16th I-frame of each channel; speed 8 is step code 1,
    // which the host takes as every second I-frame.
    MSSP_Time_t at{10, 0, 15};
    ASSERT_EQ(h->P().SetStatus(MSSP_STATUS_FAST_BACKWARD, 8, &at), 0);
    std::vector<const PackInfo*> want[2];
    for (int k = 15; k >= 0; k -= 2) {
        want[0].push_back(&t.r1.packs[t.i1[static_cast<size_t>(k)]]);
        want[1].push_back(&t.r4.packs[t.i4[static_cast<size_t>(k)]]);
    }
    PlayTrick(-1, MSSP_STATUS_FAST_BACKWARD, want);
    ExpectEnded(EndOfRecording(*h, 2));
    const auto calls = h->host.CallsOf(ScriptedHost::kPrevIFrame);
    EXPECT_EQ(calls.size(), 2 * want[0].size() + 2) << "each stream's I-frames, then its end";
    for (const ScriptedHost::Call& c : calls) EXPECT_EQ(c.step, 1);
    EXPECT_EQ(h->host.Count(ScriptedHost::kNextIFrame), 0);
}

TEST_F(E2eTrick, FastForward_IFramesOnlyIncreasing) {
    StartAndPlay(6);
    if (HasFatalFailure()) return;
    // From 10:00:02 with speed 16 (step code 2: every fourth I-frame).
    MSSP_Time_t at{10, 0, 2};
    ASSERT_EQ(h->P().SetStatus(MSSP_STATUS_FAST_FORWARD, 16, &at), 0);
    std::vector<const PackInfo*> want[2];
    for (size_t k = 2; k < 20; k += 4) {
        want[0].push_back(&t.r1.packs[t.i1[k]]);
        want[1].push_back(&t.r4.packs[t.i4[k]]);
    }
    PlayTrick(1, MSSP_STATUS_FAST_FORWARD, want);
    ExpectEnded(EndOfRecording(*h, 2));
    const auto calls = h->host.CallsOf(ScriptedHost::kNextIFrame);
    EXPECT_EQ(calls.size(), 2 * want[0].size() + 2) << "each stream's I-frames, then its end";
    for (const ScriptedHost::Call& c : calls) EXPECT_EQ(c.step, 2);
}

}  // namespace

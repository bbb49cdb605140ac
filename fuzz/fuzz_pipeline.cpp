// Fuzz target: the whole pipeline of one parser, without threads. The input
// (layout in PipelineInput.h) becomes a recording that a minimal in-process
// host serves through ReadStream in chunks and segments the input chooses,
// or as I-frame buffers in trick play. The target plays the reader thread,
// calling ParseFrame for every live stream, and the playback thread, calling
// GetFrame, GetFrameEx, ReleaseFrame and the queries, holding some frames
// across parser calls. One parser per input, with a small ring and few
// nodes, destroyed at the end.
//
// Beyond the sanitizers it checks that:
//  * every read the parser asks for lies wholly inside the stream's ring;
//  * every delivered frame lies inside its ring and, in normal play, is a
//    contiguous run of the bytes served, in served order per stream, never
//    overlapping the previous frame; in trick play it is exactly one of the
//    I-frame buffers served;
//  * a frame's bytes do not change while it is held;
//  * in normal play, with a consumer that drains every stream, no stream
//    stays live once nothing moves any more (it must end as over).
// A failed check prints what failed and aborts.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "KeltoPlatform.h"
#include "KeyFile.h"
#include "MsspInternal.h"
#include "PipelineInput.h"

using fuzzpipe::Header;

// The target drives the parser's private state the way StartParse and the
// reader threads would (the class names this struct its friend).
struct MsspTestAccess {
    using P = CMultiStreamSyncParser;
    static int Shmid(P& p) { return p.m_Shmid; }
    static unsigned char* Ring(P& p, int i) { return p.m_pStreamBuf[i]; }
    static int BufSize(P& p) { return p.m_BufSize; }
    static MSSP_StreamHead_t* Head(P& p, int i) { return p.m_pStreamHead[i]; }
    static tag_pbParserData& Parser(P& p, int i) { return p.Parser(i); }
    static int TrickLen(P& p, int i) { return p.m_TrickLen[i]; }
    static bool TrickPlay(P& p) {
        return p.m_Status == MSSP_STATUS_FAST_FORWARD || p.m_Status == MSSP_STATUS_FAST_BACKWARD;
    }

    // Stream i opened on `handle` for `channel`, in play status `status`.
    static void Prime(P& p, int i, int channel, int handle, int status, int speed) {
        p.m_StreamFd[0][i] = handle;
        p.m_CurStreamType[i] = 0;
        p.m_ChnMask |= 1u << channel;
        p.m_Status = status;
        p.m_Speed = speed;
        p.m_bRunning = 1;  // lets SetStatus work; no reader thread stands behind it
        tag_pbParserData& pd = p.Parser(i);
        if (pd.pFrameInfo == nullptr) pd.pFrameInfo = static_cast<MSSP_FrameNode_t*>(std::calloc(1, 40));
        if (pd.pTempBuf == nullptr) pd.pTempBuf = static_cast<unsigned char*>(std::calloc(1, 4096));
        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        head->channel = channel;
        head->state = MSSP_STATUS_PLAY;
        head->playStatus = static_cast<uint8_t>(status);
    }
};

namespace {

using A = MsspTestAccess;
using P = CMultiStreamSyncParser;

constexpr int kMaxStreams = 2;
constexpr int kHandleBase = 100;
constexpr int kMaxRing = 3 * 65536 + 97 * 255;  // the largest ring an input can ask for
constexpr int kIdleLimit = 64;          // rounds without any change: nothing moves any more
constexpr long kRoundLimit = 400000;    // far more rounds than any input of this size needs

[[noreturn]] void Fail(const char* what, int stream, long a = 0, long b = 0) {
    std::fprintf(stderr, "fuzz_pipeline: %s (stream %d, %ld, %ld)\n", what, stream, a, b);
    std::abort();
}

// ---------------------------------------------------------------------------
// The host: one recording, served to every stream from its own position.

class Host {
public:
    Host(const Header& h, const uint8_t* rec, size_t len)
        : h_(h), rec_(rec), len_(len), filler_(static_cast<size_t>(h.filler) * 512) {}

    struct Stream {
        size_t pos = 0;        // served bytes so far (filler included)
        int reads = 0;         // read calls, for the segment mask and the failure
        int chunk = 0;         // next chunk size
        int segments = 0;      // new segments reported
        unsigned char* ring = nullptr;
        uint64_t* prov = nullptr;  // per ring byte: generation << 32 | served position
        std::unique_ptr<uint8_t[]> trick;  // the I-frame buffer last returned
    };

    // The provenance tables live for the whole process (allocating and
    // clearing them per input would cost more than the run itself): an
    // entry of an earlier input's generation counts as never written.
    void Attach(int i, unsigned char* ring, int bufSize) {
        static std::vector<uint64_t> tables[kMaxStreams];
        static uint64_t generation = 0;
        if (i == 0) ++generation;
        generation_ = generation;
        tables[i].resize(kMaxRing);
        streams_[i].ring = ring;
        streams_[i].prov = tables[i].data();
        bufSize_ = bufSize;
    }

    // Served position of ring byte `at`, or -1 when this input never wrote it.
    int64_t Provenance(int i, size_t at) const {
        const uint64_t v = streams_[i].prov[at];
        return (v >> 32) == generation_ ? static_cast<int64_t>(v & 0xFFFFFFFFu) : -1;
    }

    Stream& S(int i) { return streams_[i]; }
    size_t Total() const { return filler_ + len_; }
    uint8_t ServedAt(size_t q) const { return q < filler_ ? 0 : rec_[q - filler_]; }
    bool IsServedPack(const std::vector<uint8_t>& b) const { return trickPacks_.count(b) != 0; }

    static MSSP_StreamOperation_t Table() {
        MSSP_StreamOperation_t t{};
        t.OpenStream = [](void*, MSSP_OpenParam_t*, unsigned char) { return -1; };
        t.GetStreamSegmentInfo = [](void*, tag_tavuSegmentId*, MSSP_SegmentInfo_t*) { return 1; };
        t.GetSegmentInfo = &Host::GetSegmentInfo;
        t.ReadStream = &Host::ReadStream;
        t.ReadNextIFrame = &Host::ReadIFrame;
        t.ReadPrevIFrame = &Host::ReadIFrame;
        t.SeekStream = [](void*, int, MSSP_SeekTime_t*) { return 0; };
        t.CloseStream = [](void*, int, int) { return 0; };
        return t;
    }

private:
    static int Index(int handle) {
        const int i = handle - kHandleBase;
        if (i < 0 || i >= kMaxStreams) Fail("call with a handle that was never opened", i, handle);
        return i;
    }

    // The failure configured for read number k: -1 none, else its kind.
    int FailureAt(int k) const {
        const int at = h_.failure & 0x1F;
        if (at == 0 || k + 1 != at) return -1;
        return (h_.failure >> 5) & 3;
    }

    bool NewSegmentAt(int k) const {
        if (k == 0) return (h_.mode & fuzzpipe::kFlagFirstRead) != 0;
        return (h_.segMask >> (k % 16)) & 1;
    }

    size_t ChunkAt(Stream& s) const {
        const uint16_t c = h_.chunks[s.chunk++ % fuzzpipe::kChunkCount];
        return c == 0 ? 65536 : c;
    }

    static int GetSegmentInfo(void* user, int handle, MSSP_SegmentAttr_t* attr) {
        auto* self = static_cast<Host*>(user);
        Stream& s = self->streams_[Index(handle)];
        const int seg = s.segments;
        attr->attr = ((self->h_.audioBits >> (seg % 8)) & 1) ? MSSP_SEGATTR_AUDIO : 0;
        return (self->h_.mode & fuzzpipe::kSegInfoFails) ? 4 : 0;
    }

    static int ReadStream(void* user, int handle, unsigned char* dst, int maxLen, unsigned char* newSegment) {
        auto* self = static_cast<Host*>(user);
        const int i = Index(handle);
        Stream& s = self->streams_[i];
        if (maxLen != mssp::kMaxReadLen) Fail("read of an unexpected length", i, maxLen);
        if (dst < s.ring || dst - s.ring > self->bufSize_ - maxLen) Fail("read outside the ring", i, dst - s.ring);
        const int k = s.reads++;
        switch (self->FailureAt(k)) {
        case fuzzpipe::kFailZero: return 0;
        case fuzzpipe::kFailNegative: return -1;
        case fuzzpipe::kFailTooLong: return maxLen + 1;
        case fuzzpipe::kFailNullData: return -9;
        default: break;
        }
        if (s.pos >= self->Total()) return 0;
        size_t n = s.pos < self->filler_ ? self->filler_ - s.pos : self->ChunkAt(s);
        n = std::min(n, static_cast<size_t>(maxLen));
        n = std::min(n, self->Total() - s.pos);
        const size_t at = static_cast<size_t>(dst - s.ring);
        for (size_t q = 0; q < n; ++q) {
            dst[q] = self->ServedAt(s.pos + q);
            s.prov[at + q] = self->generation_ << 32 | static_cast<uint32_t>(s.pos + q);
        }
        s.pos += n;
        *newSegment = self->NewSegmentAt(k) ? 1 : 0;
        if (*newSegment) ++s.segments;
        return static_cast<int>(n);
    }

    static int ReadIFrame(void* user, int handle, unsigned char** data, int* length, unsigned char* newSegment,
                          int /*step*/) {
        auto* self = static_cast<Host*>(user);
        const int i = Index(handle);
        Stream& s = self->streams_[i];
        s.trick.reset();  // the previous buffer is gone: the parser copied it
        *data = nullptr;
        *length = 0;
        *newSegment = 0;
        const int k = s.reads++;
        // I-frame buffers come from the recording itself, never from the filler.
        if (s.pos < self->filler_) s.pos = self->filler_;
        const size_t at = s.pos - self->filler_;
        const size_t n = at < self->len_ ? std::min(self->ChunkAt(s), self->len_ - at) : 0;
        switch (self->FailureAt(k)) {
        case fuzzpipe::kFailZero: return 0;
        case fuzzpipe::kFailNegative: return -1;
        case fuzzpipe::kFailNullData: *length = static_cast<int>(n); return 1;
        default: break;
        }
        if (n == 0) return 0;
        s.trick.reset(new uint8_t[n]);
        std::memcpy(s.trick.get(), self->rec_ + at, n);
        self->trickPacks_.insert(std::vector<uint8_t>(self->rec_ + at, self->rec_ + at + n));
        s.pos += n;
        *data = s.trick.get();
        // A host that reports an empty buffer with success.
        *length = self->FailureAt(k) == fuzzpipe::kFailTooLong ? 0 : static_cast<int>(n);
        *newSegment = self->NewSegmentAt(k) ? 1 : 0;
        if (*newSegment) ++s.segments;
        return 1;
    }

    Header h_;
    const uint8_t* rec_;
    size_t len_;
    size_t filler_;
    int bufSize_ = 0;
    uint64_t generation_ = 0;
    Stream streams_[kMaxStreams];
    std::set<std::vector<uint8_t>> trickPacks_;
};

// ---------------------------------------------------------------------------
// The consumer.

struct Frame {
    int stream = -1;
    unsigned char* d1 = nullptr;
    int l1 = 0;
    unsigned char* d2 = nullptr;
    int l2 = 0;
    std::vector<uint8_t> bytes;
};

class Consumer {
public:
    Consumer(P& p, Host& host, const Header& h, int streams)
        : p_(p), host_(host), streams_(streams), convert_((h.mode & fuzzpipe::kConvert) ? 1 : 0), direction_((h.mode & fuzzpipe::kBackward) ? -1 : 1),
          rng_(0x9E3779B9u ^ h.consumerSeed) {}

    // One consumer step: finish a held frame, or make one call.
    void Step() {
        if (held_.stream >= 0) {
            if (holdLeft_-- > 0) return;
            ReleaseHeld();
            return;
        }
        const uint32_t op = Next() % 16;
        const int i = static_cast<int>(Next() % static_cast<uint32_t>(streams_));
        if (op < 6) {
            Frame f;
            int type = 0, channel = -1;
            unsigned long long pts = 0;
            unsigned int flag = 0;
            f.stream = p_.GetFrame(&f.d1, &f.l1, &f.d2, &f.l2, &type, &pts, &flag, &channel, direction_, convert_);
            if (f.stream >= streams_) Fail("GetFrame returned a stream that does not exist", f.stream);
            if (f.stream < 0) return;
            if (channel != A::Head(p_, f.stream)->channel) Fail("GetFrame reported another channel", f.stream, channel);
            Delivered(f, type);
        } else if (op < 12) {
            Frame f;
            f.stream = i;
            tag_MSSP_GetFrameInfo info{};
            if (p_.GetFrameEx(i, &f.d1, &f.l1, &f.d2, &f.l2, &info, convert_) != 0) return;
            Delivered(f, info.frameType);
        } else if (op == 12) {
            tag_MSSP_GetFrameInfo info{};
            const int r = p_.GetFrameInfo(static_cast<unsigned char>(i), &info);
            if (r < -2 || r > 0) Fail("GetFrameInfo result out of range", i, r);
        } else if (op == 13) {
            unsigned seconds = 0;
            if (p_.GetStreamTime(i, &seconds) == 0 && seconds >= 86400) Fail("time of day beyond a day", i, seconds);
        } else if (op == 14) {
            const int r = p_.GetChnStatusEx(i, 0);
            if (r < 0 || r > 2) Fail("GetChnStatusEx result out of range", i, r);
            p_.GetStatus();
        } else if (Next() % 2 == 0) {
            unsigned long long base = 0;
            const int r = p_.GetBaselinePts(nullptr, &base, direction_, convert_);
            if (r >= streams_) Fail("GetBaselinePts returned a stream that does not exist", r);
        } else {
            Control(i);
        }
    }

    // A control operation, as the host's control thread makes them between
    // two calls of the playback thread (no reader thread runs, so parking
    // them returns at once).
    void Control(int i) {
        static const int kSpeeds[] = {2, 8, 16, 32};
        Common::_datetime_ t{};
        t.year = 26;
        t.month = 5;
        t.day = 6;
        t.hour = 7;
        t.minute = 8;
        t.second = static_cast<uint8_t>(Next() % 60);
        MSSP_Time_t tod{t.hour, t.minute, t.second};
        switch (Next() % 6) {
        case 0: p_.SetFrameJumpLevel(static_cast<unsigned char>(i), static_cast<unsigned char>(Next() % 16)); break;
        case 1: p_.ClearBuffer(); break;
        case 2: p_.ClearBuffer(A::Head(p_, i)->channel); break;
        case 3: p_.Seek(&t, 0); break;
        default: {
            static const MSSP_Status_t kStatus[] = {MSSP_STATUS_PLAY, MSSP_STATUS_FAST_FORWARD,
                                                    MSSP_STATUS_FAST_BACKWARD};
            const MSSP_Status_t status = kStatus[Next() % 3];
            p_.SetStatus(status, kSpeeds[Next() % 4], Next() % 2 ? &tod : nullptr);
            break;
        }
        }
        ++controls;
    }

    int delivered = 0;  // frames delivered, and of them in two pieces
    int wrapped = 0;
    int controls = 0;   // control operations made

    void ReleaseHeld() {
        if (held_.stream < 0) return;
        if (Join(held_) != held_.bytes) Fail("frame bytes changed while held", held_.stream);
        if (p_.ReleaseFrame(held_.stream) != 0) Fail("ReleaseFrame of a delivered frame failed", held_.stream);
        held_ = Frame{};
    }

private:
    uint32_t Next() {
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        return rng_;
    }

    static std::vector<uint8_t> Join(const Frame& f) {
        std::vector<uint8_t> b(f.d1, f.d1 + f.l1);
        if (f.l2 > 0) b.insert(b.end(), f.d2, f.d2 + f.l2);
        return b;
    }

    void CheckPieces(const Frame& f) {
        const unsigned char* ring = A::Ring(p_, f.stream);
        const long size = A::BufSize(p_);
        if (f.d1 == nullptr || f.l1 <= 0 || f.d1 < ring || f.d1 - ring > size - f.l1)
            Fail("first piece outside the ring", f.stream, f.d1 ? f.d1 - ring : -1, f.l1);
        if (f.l2 == 0) {
            if (f.d2 != nullptr) Fail("second piece pointer without length", f.stream);
            return;
        }
        if (f.d2 != ring || f.l2 < 0 || f.l2 > size) Fail("second piece outside the ring", f.stream, f.l2);
        if (static_cast<long>(f.l1) + f.l2 > size) Fail("frame longer than the ring", f.stream, f.l1, f.l2);
    }

    // Normal play: the frame's bytes are a run of the served bytes, written
    // by the host in one go and not overwritten since, after the previous
    // frame of the stream.
    void CheckServedRun(const Frame& f) {
        const unsigned char* ring = A::Ring(p_, f.stream);
        const size_t o1 = static_cast<size_t>(f.d1 - ring);
        const int64_t first = host_.Provenance(f.stream, o1);
        if (first < 0) Fail("frame from ring bytes the host never wrote", f.stream, static_cast<long>(o1));
        const size_t total = f.bytes.size();
        for (size_t k = 0; k < total; ++k) {
            const size_t at = k < static_cast<size_t>(f.l1) ? o1 + k : k - f.l1;
            if (host_.Provenance(f.stream, at) != first + static_cast<int64_t>(k))
                Fail("frame is not one run of the served bytes", f.stream, static_cast<long>(k));
            if (f.bytes[k] != host_.ServedAt(static_cast<size_t>(first) + k))
                Fail("frame bytes differ from the served bytes", f.stream, static_cast<long>(k));
        }
        if (static_cast<uint64_t>(first) < nextServed_[f.stream])
            Fail("frame before or over the previous one", f.stream, static_cast<long>(first),
                 static_cast<long>(nextServed_[f.stream]));
        nextServed_[f.stream] = first + total;
    }

    void Delivered(Frame& f, int type) {
        ++delivered;
        if (f.l2 > 0) ++wrapped;
        if (type < 0 || type > 2) Fail("delivered frame of type other", f.stream, type);
        CheckPieces(f);
        f.bytes = Join(f);
        if (A::TrickPlay(p_)) {
            if (!host_.IsServedPack(f.bytes)) Fail("trick-play frame is no served I-frame buffer", f.stream, static_cast<long>(f.bytes.size()));
        } else {
            CheckServedRun(f);
        }
        held_ = f;
        holdLeft_ = static_cast<int>(Next() % 4);
        if (holdLeft_ == 0) ReleaseHeld();
    }

    P& p_;
    Host& host_;
    int streams_;
    unsigned char convert_;
    int direction_;
    uint32_t rng_;
    Frame held_;
    int holdLeft_ = 0;
    uint64_t nextServed_[kMaxStreams] = {0, 0};
};

// Everything that moves when the pipeline makes progress.
std::vector<uint64_t> Signature(P& p, Host& host, int streams) {
    std::vector<uint64_t> sig;
    for (int i = 0; i < streams; ++i) {
        const tag_pbParserData& pd = A::Parser(p, i);
        const MSSP_StreamHead_t* head = A::Head(p, i);
        sig.insert(sig.end(), {pd.ReadPos, pd.length, pd.EndPos, pd.u8NewSegData, pd.u8PackPending, pd.u8NodeFull,
                               head->parseNum, head->getNum, head->state, host.S(i).pos,
                               static_cast<uint64_t>(host.S(i).reads), static_cast<uint64_t>(A::TrickLen(p, i))});
    }
    return sig;
}

bool AllOver(P& p, int streams) {
    for (int i = 0; i < streams; ++i) {
        if (A::Head(p, i)->state <= MSSP_STATUS_FAST_BACKWARD) return false;
        if (mssp::WaitingCount(A::Head(p, i)) > 0) return false;
    }
    return true;
}

std::string KeyName() { return "fzpl" + std::to_string(static_cast<long>(getpid())); }

void RemoveKeyFile() {
    const std::string path = std::string(mssp::KeyDir()) + "/." + KeyName() + "01";
    unlink(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < fuzzpipe::kHeaderLen) return 0;
    const Header h = fuzzpipe::Decode(data);
    const uint8_t* rec = data + fuzzpipe::kHeaderLen;
    const size_t len = size - fuzzpipe::kHeaderLen;
    const bool trick = (h.mode & fuzzpipe::kTrick) != 0;
    const int streams = (h.mode & fuzzpipe::kTwoStreams) ? 2 : 1;
    const int bufSize = 3 * mssp::kMaxReadLen + 97 * h.ringExtra;
    const int nodes = 1 + h.nodes % 32;
    const int channel = h.channel & 0x1F;
    static const int kSpeeds[] = {2, 8, 16, 32};

    Common::gclSetDebugLevel(-1);  // the platform logger writes to standard error
    Json::Value spec(Json::objectValue);
    if (h.mode & fuzzpipe::kOldFormat) spec["PRODUCT_GROUP"] = "ANT";
    Kelto_SetSpecInfo(spec);

    Host host(h, rec, len);
    MSSP_StreamOperation_t ops = Host::Table();
    std::string name = KeyName();
    auto p = std::make_unique<P>(1, streams, name.data(), bufSize, nodes, &ops, &host, 0);
    // Marked for removal at once: the kernel frees the segment when the
    // parser detaches, or when the process dies on a finding.
    shmctl(A::Shmid(*p), IPC_RMID, nullptr);
    RemoveKeyFile();

    const int status = !trick ? MSSP_STATUS_PLAY
                              : ((h.mode & fuzzpipe::kTrickBackward) ? MSSP_STATUS_FAST_BACKWARD : MSSP_STATUS_FAST_FORWARD);
    for (int i = 0; i < streams; ++i) {
        host.Attach(i, A::Ring(*p, i), bufSize);
        A::Prime(*p, i, channel, kHandleBase + i, status, kSpeeds[h.speed & 3]);
    }

    Consumer consumer(*p, host, h, streams);
    std::vector<uint64_t> last = Signature(*p, host, streams);
    int idle = 0;
    long rounds = 0;
    for (; rounds < kRoundLimit; ++rounds) {
        for (int i = 0; i < streams; ++i) {
            if (A::Head(*p, i)->state <= MSSP_STATUS_FAST_BACKWARD) p->ParseFrame(i);
        }
        consumer.Step();
        if (AllOver(*p, streams)) break;
        std::vector<uint64_t> now = Signature(*p, host, streams);
        idle = now == last ? idle + 1 : 0;
        last.swap(now);
        if (idle >= kIdleLimit) break;
    }
    if (rounds == kRoundLimit) Fail("the pipeline never settles", -1, rounds);
    consumer.ReleaseHeld();
    if (!A::TrickPlay(*p) && !AllOver(*p, streams)) {
        // The consumer drains every stream: in normal play only a stream
        // that has ended may stop moving.
        for (int i = 0; i < streams; ++i) {
            if (A::Head(*p, i)->state <= MSSP_STATUS_FAST_BACKWARD)
                Fail("stream stalled while live", i, static_cast<long>(host.S(i).pos), static_cast<long>(host.Total()));
        }
    }
    // MSSP_FUZZ_VERBOSE=1: a summary per input, to see what a seed reaches.
    static const bool verbose = std::getenv("MSSP_FUZZ_VERBOSE") != nullptr;
    if (verbose) {
        std::fprintf(stderr, "fuzz_pipeline: rounds %ld, delivered %d (%d in two pieces), %d controls, states",
                     rounds, consumer.delivered, consumer.wrapped, consumer.controls);
        for (int i = 0; i < streams; ++i) std::fprintf(stderr, " %d", A::Head(*p, i)->state);
        std::fprintf(stderr, "\n");
    }
    p.reset();
    return 0;
}

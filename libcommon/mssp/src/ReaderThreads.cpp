// Start, stop and the reader threads: StartParse (by date and time, by
// segment id), StopParse, the Idle handshake, GetStatus, the channel and
// stream-type mappings, the reader loop ParseStream with its buffer filling
// (ReadData, GetBufFreeSize) and the threads' entry point.
// StartParse/StopParse/Idle run on the host's control thread; ParseStream,
// ReadData and GetBufFreeSize on the reader thread that owns the stream.
// The two sides wake each other through WakeWord.h: the control side ends
// the readers' sleeps when it sets a request, a reader ends the control
// side's wait when it answers, and the release that frees the room a reader
// asked for (AskRoom) ends that reader's sleep.
// Cutting frames out of the ring is FrameParser.cpp's; delivering them is not
// done here either.
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ControlGate.h"
#include "DeliveryOrder.h"
#include "KeyFile.h"
#include "MsspInternal.h"
#include "ResetGate.h"
#include "WakeWord.h"

namespace {

using Clock = std::chrono::steady_clock;

// Longest sleeps when nobody wakes the sleeper: a thread that waits for
// nothing but the host (its rings full, its streams over) looks again this
// often.
constexpr uint32_t kControlLookUs = 10000;  // Idle/StopParse; also the "idle wait" line's interval
constexpr uint32_t kParkedSleepUs = 20000;  // a parked thread's pass
constexpr uint32_t kIdleSleepUs = 50000;    // a pass in which no stream made progress
// After a reset the readers bring every stream its first frame before they
// fill any ring deep (delivery waits for a frame of every stream): a thread
// whose streams have theirs looks this often whether the others have too,
// and holds back for at most kFirstFramesHoldUs (a stream that never gets a
// frame must not keep the others' rings empty).
constexpr uint32_t kFirstFramesLookUs = 1000;
constexpr uint32_t kFirstFramesHoldUs = 100000;
constexpr int kFrameInfoSize = 40;          // pFrameInfo, in the node layout
constexpr int kMaxStreamType = 2;           // stream types 0..2

// Bumped by a reader thread after it sets idleAck or exited; Idle(true) and
// StopParse sleep on it. It lives outside the object, for the whole process:
// an ending thread wakes the control side after it has set exited, when
// StopParse may already have returned and the host destroyed the object.
// Control threads of other parsers wake with it now and then, look at their
// own records and sleep again.
uint32_t g_ReaderAnswer = 0;

}  // namespace

// Private helpers of this file; a friend of the class.
struct MsspReader {
    using P = CMultiStreamSyncParser;

    // Keeps the lowest `streams` channels of `chnBmp`: only they get a
    // stream index, so only they are played.
    static uint32_t KeepPlayableChannels(uint32_t chnBmp, int streams) {
        uint32_t kept = 0;
        int k = 0;
        for (int c = 0; c < 32 && k < streams; ++c) {
            if (chnBmp & (1u << c)) {
                kept |= 1u << c;
                ++k;
            }
        }
        return kept;
    }

    // A bitmap whose lowest set bit names no stream type would index past
    // m_StreamFd's three rows; refuse it before anything is touched.
    static bool StreamTypeUsable(P& p, unsigned char streamTypeBmp) {
        const int t = p.GetStreamTypeFromBitmap(streamTypeBmp);
        if (t <= kMaxStreamType) return true;
        MSSP_LOC();
        mssp::Log(&p, mssp::kLogError,
                  "invalid stream type bitmap:0x%02x, stream type %d is not 0..%d, nothing opened\n", streamTypeBmp, t,
                  kMaxStreamType);
        return false;
    }

    // StartParse starts a stopped object only: a second start while playing
    // would give every stream a second reader thread beside the first.
    // Refused rather than stopping the running playback: the host still
    // plays it and may hold its frames.
    static bool StartAllowed(P& p, const MsspControlGate::Scope& gate) {
        // acquire: the run flag as StartParse/StopParse left it
        if (gate.Taken() && mssp::LoadAcquire(p.m_bRunning) == 0) return true;
        MSSP_LOC_AS("StartParse");
        mssp::LogPuts(&p, mssp::kLogError, "playback is running or stopping: StopParse first, nothing started");
        return false;
    }

    // Puts stream i back to its start-of-playback state. Runs while no
    // reader thread exists.
    static void ResetStream(P& p, int i, bool clearState) {
        tag_pbParserData& pd = p.Parser(i);
        pd.ReadPos = 0;
        pd.length = 0;
        pd.NewSegPos = 0;
        pd.u8SegFlag = 0;
        pd.EndPos = static_cast<uint32_t>(p.m_BufSize - 1);
        // Cutting state of an earlier playback must not survive into this
        // one: a pending pack or new-segment data would point at stale ring
        // bytes, and the audio bit belonged to another recording.
        pd.u8PackPending = 0;
        pd.PackLen = 0;
        pd.u8NewSegData = 0;
        pd.NewSegLen = 0;
        pd.u8NodeFull = 0;
        pd.u8AudioSeg = 0;
        for (int t = 0; t < MSSP_STREAM_TYPES; ++t) p.m_StreamFd[t][i] = -1;

        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        mssp::StoreRelaxed(head->channel, -1);
        mssp::StoreRelease(head->parseNum, 0u);
        mssp::StoreRelease(head->getNum, 0u);
        head->reserved13 = 1;
        mssp::StoreRelaxed(head->playStatus, MSSP_STATUS_PLAY);
        if (clearState) mssp::StoreRelease(head->state, MSSP_STATUS_INIT);
        mssp::StoreRelaxed(p.m_pNodeCursor[i]->getIndex, 0u);
        mssp::StoreRelease(p.m_pNodeCursor[i]->lastIndex, -1);

        p.m_pTrickData[i] = nullptr;
        p.m_TrickLen[i] = 0;
        p.m_TrickNewSeg[i] = 0;
        p.m_TrickRejects[i] = 0;

        if (pd.pFrameInfo == nullptr)
            pd.pFrameInfo = static_cast<MSSP_FrameNode_t*>(std::calloc(1, kFrameInfoSize));
        if (pd.pTempBuf == nullptr)
            pd.pTempBuf = static_cast<unsigned char*>(std::calloc(1, mssp::kTempBufSize));
        if (pd.pFrameInfo == nullptr || pd.pTempBuf == nullptr) {
            // The frame parser refuses to run on a stream without them.
            mssp::LogErrno(&p, "playback alloc parser buffers:");
        }
    }

    // Between StartParse and StopParse this object's reader threads produce
    // every stream and every change to a stream is noted: delivery looks
    // again at all of them once, then only at those that change. At any other
    // time the streams may be reset or written from outside, and delivery
    // looks at every stream on every call.
    static void TakeStreamsBack(P& p) {
        // publish: delivery stops trusting the notes before the streams are reset
        p.m_pOrder->ownProducers.store(0, std::memory_order_release);
    }

    static void HandStreamsToReaders(P& p) {
        MsspOrder::NoteAll(p);
        // publish: the streams as reset and opened above, before delivery trusts the notes
        p.m_pOrder->ownProducers.store(1, std::memory_order_release);
    }

    // Gives stream k its channel and state after an open.
    static void MarkOpened(P& p, int k, int channel, int fd) {
        MSSP_StreamHead_t* head = p.m_pStreamHead[k];
        mssp::StoreRelaxed(head->channel, channel);
        mssp::StoreRelease(head->state, fd >= 0 ? MSSP_STATUS_PLAY : MSSP_STATUS_STOP);
    }

    // Starts one detached reader thread on `rec`; -1 when it could not be
    // created.
    static int StartThread(MSSP_ThreadParam_t& rec) {
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) return -1;
        pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t tid;
        const int rc = pthread_create(&tid, &attr, ParseStreamThreadEntry, &rec);
        pthread_attr_destroy(&attr);
        return rc == 0 ? 0 : -1;
    }

    // Fills the thread records and starts the threads: each serves
    // `streamsPerThread` consecutive stream indexes; 0 or less, or as many as
    // there are streams or more, is one thread for all.
    static void StartThreads(P& p, int streamsPerThread) {
        const int n = p.m_StreamNum;
        int count = 1;
        int step = n;
        if (streamsPerThread > 0 && streamsPerThread < n) {
            step = streamsPerThread;
            count = (step - 1 + n) / step;
        }
        for (int t = 0; t < n; ++t) {
            MSSP_ThreadParam_t& rec = p.Thread(t);
            if (t >= count) {
                rec.threadIndex = mssp::kNoThread;
                continue;
            }
            rec.parser = &p;
            rec.threadIndex = static_cast<uint8_t>(t);
            rec.firstStream = static_cast<uint8_t>(t * step);
            rec.endStream = static_cast<uint8_t>((t + 1) * step);
            mssp::StoreRelaxed(rec.idleRequest, 0);
            mssp::StoreRelaxed(rec.idleAck, 0);
            mssp::StoreRelaxed(rec.exited, 0);
            if (StartThread(rec) != 0) {
                MSSP_LOC();
                mssp::Log(&p, mssp::kLogError, "create reader thread %d failed\n", t);
                // No thread will ever set the flags: count it as ended so
                // that Idle and StopParse do not wait for it.
                mssp::StoreRelease(rec.exited, 1);
            }
        }
    }

    // The write position W: where the next read lands, without an early wrap.
    static uint32_t WritePos(const tag_pbParserData& pd, uint32_t bufSize) {
        const uint32_t firstPiece = pd.EndPos - pd.ReadPos + 1;
        if (pd.EndPos == bufSize - 1 || pd.length < firstPiece) return mssp::Wrap(pd.ReadPos + pd.length, bufSize);
        return mssp::Wrap(pd.length - firstPiece, bufSize);
    }

    // Idle(true) for one record: returns when its thread is parked or ended,
    // or false at once for the record that ends the list. The "idle wait"
    // line goes out at the first look and then at most once per
    // kControlLookUs while the thread has not parked yet.
    static bool WaitParked(P& p, MSSP_ThreadParam_t& rec) {
        const Clock::duration interval = std::chrono::microseconds(kControlLookUs);
        Clock::time_point lastLine;
        for (bool first = true;; first = false) {
            const uint32_t seen = mssp::WakeSeq(g_ReaderAnswer);  // before the flags
            // acquire: a parked or ended thread's last writes to its streams
            const uint8_t ack = mssp::LoadAcquire(rec.idleAck);
            const uint8_t exited = mssp::LoadAcquire(rec.exited);
            const bool answered = ack != 0 || exited != 0;
            const Clock::time_point now = Clock::now();
            if (first || (!answered && now - lastLine >= interval)) {
                mssp::Log(&p, mssp::kLogDebug, "idle wait, threadIndex=%d flag=%d exit=%d stream=%d\n", rec.threadIndex,
                          ack, exited, p.m_StreamNum);
                lastLine = now;
            }
            if (rec.threadIndex == mssp::kNoThread) return false;
            if (answered) return true;
            mssp::StoreRelease(rec.idleRequest, 1);
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(lastLine + interval - now);
            mssp::SleepOn(g_ReaderAnswer, seen, static_cast<uint32_t>(left.count() > 0 ? left.count() : 1));
        }
    }

    // Whether a stream of the object still lacks its first frame since the
    // last reset: it is being read in normal play and none was stored.
    static bool FirstFrameLacking(P& p) {
        const int status = mssp::LoadRelaxed(p.m_Status);
        if (status == MSSP_STATUS_FAST_FORWARD || status == MSSP_STATUS_FAST_BACKWARD) return false;
        for (int i = 0; i < p.m_StreamNum; ++i) {
            MSSP_StreamHead_t* head = p.m_pStreamHead[i];
            // acquire: the other readers' counters and states as they published them
            if (mssp::LoadAcquire(head->state) > MSSP_STATUS_FAST_BACKWARD) continue;
            if (mssp::LoadAcquire(head->parseNum) == 0) return true;
        }
        return false;
    }

    static bool Pass(P& p, int first, int end, bool& firstFramesDue) {
        if (firstFramesDue && !FirstFrameLacking(p)) firstFramesDue = false;
        bool progress = false;
        for (int i = first; i < end; ++i) {
            if (p.CurrentFd(i) < 0) continue;
            MSSP_StreamHead_t* head = p.m_pStreamHead[i];
            if (mssp::LoadAcquire(head->state) > MSSP_STATUS_FAST_BACKWARD) continue;
            // It has its first frame: the streams that lack one go first.
            if (firstFramesDue && mssp::LoadRelaxed(head->parseNum) != 0) continue;  // this thread's own counter
            if (p.ParseFrame(i) > 0) progress = true;
        }
        return progress;
    }

    // Before a sleep: every stream of [first, end) that waits for the
    // consumer to free room asks to be woken after enough releases: a paused
    // node ring once it is below its resume bound, a byte ring too full for
    // a read once half its waiting frames are gone (so that a wake-up pays
    // for a few reads, not one). Returns the streams that asked.
    static uint32_t AskRoom(P& p, int first, int end) {
        MsspOrder& o = *p.m_pOrder;
        uint32_t asked = 0;
        for (int i = first; i < end; ++i) {
            if (p.CurrentFd(i) < 0) continue;
            MSSP_StreamHead_t* head = p.m_pStreamHead[i];
            if (mssp::LoadAcquire(head->state) > MSSP_STATUS_FAST_BACKWARD) continue;
            // acquire: the consumer's releases, ring bytes included
            const uint32_t got = mssp::LoadAcquire(head->getNum);
            const int32_t pending = static_cast<int32_t>(mssp::LoadRelaxed(head->parseNum) - got);  // own counter
            if (pending <= 0 || pending > p.m_FrameNum) continue;  // nothing to release: no wake-up to wait for
            int32_t need;
            if (p.Parser(i).u8NodeFull) need = pending - mssp::NodeResumeBelow(p.m_FrameNum) + 1;
            else if (p.GetBufFreeSize(i) < mssp::kMaxReadLen) need = pending / 2;
            else continue;
            if (need < 1) need = 1;
            o.roomAt[i].store(got + static_cast<uint32_t>(need), std::memory_order_relaxed);
            asked |= 1u << i;
        }
        if (asked == 0) return 0;
        // publish: the counts above. Sequentially consistent, as the release's
        // getNum store and its look at this word: either that release sees
        // the request, or RoomCame sees the release.
        o.roomWanted.fetch_or(asked, std::memory_order_seq_cst);
        return asked;
    }

    // Whether a stream of `asked` already got the releases it asked for.
    static bool RoomCame(P& p, uint32_t asked) {
        for (int i = 0; i < p.m_StreamNum; ++i) {
            if (!(asked & (1u << i))) continue;
            // seq_cst: see AskRoom
            const uint32_t got = mssp::LoadSeqCst(p.m_pStreamHead[i]->getNum);
            if (static_cast<int32_t>(got - p.m_pOrder->roomAt[i].load(std::memory_order_relaxed)) >= 0) return true;
        }
        return false;
    }

    // StopParse for one record: returns when its thread has ended.
    static void WaitEnded(MSSP_ThreadParam_t& rec) {
        for (;;) {
            const uint32_t seen = mssp::WakeSeq(g_ReaderAnswer);  // before the flag
            // acquire: the thread closed its handles before it set exited
            if (mssp::LoadAcquire(rec.exited) != 0) return;
            mssp::SleepOn(g_ReaderAnswer, seen, kControlLookUs);
        }
    }

    // Closes every open handle of the streams [first, end) (a reader thread
    // as it ends, or StopParse once every thread has ended).
    static void CloseHandles(P& p, int first, int end) {
        for (int i = first; i < end; ++i) {
            for (int t = 0; t < MSSP_STREAM_TYPES; ++t) {
                int& fd = p.m_StreamFd[t][i];
                if (fd < 0) continue;
                p.m_Operation.CloseStream(p.m_pUser, fd, 0);
                fd = -1;
            }
        }
    }
};

void* ParseStreamThreadEntry(void* param) {
    auto* rec = static_cast<MSSP_ThreadParam_t*>(param);
    mssp::Log(rec->parser, mssp::kLogInfo, "Playback Thread %d is entering, channle is [%d,%d]\n", rec->threadIndex,
              rec->firstStream, rec->endStream);
    rec->parser->ParseStream(rec->threadIndex);
    return nullptr;
}

int CMultiStreamSyncParser::StartParse(unsigned int chnBmp, unsigned char streamTypeBmp,
                                       unsigned short openParam, tag_tavuDate* date,
                                       tag_tavuTime* time, bool openFlag, int streamsPerThread) {
    MSSP_LOC();
    mssp::Log(this, mssp::kLogInfo, "by time... ChnBmp:0x%08x\n", chnBmp);
    MsspControlGate::Scope gate(*this);
    if (!MsspReader::StartAllowed(*this, gate)) return -1;
    if (!MsspReader::StreamTypeUsable(*this, streamTypeBmp)) return -1;
    // Another object's readers on this segment, in this process or another,
    // and ours would reset and refill each other's streams.
    if (!MsspKeyFile::Lock(*this)) return -1;
    MsspReader::TakeStreamsBack(*this);

    for (int i = 0; i < m_StreamNum; ++i) MsspReader::ResetStream(*this, i, false);

    for (uint8_t& b : m_LastTime) mssp::StoreRelaxed(b, 0xFF);
    mssp::StoreRelease(m_Status, MSSP_STATUS_INIT);
    mssp::StoreRelease(m_bRunning, 0);
    m_ChnMask = MsspReader::KeepPlayableChannels(chnBmp, m_StreamNum);
    m_PlayDate.year = date->year;
    m_PlayDate.month = date->month;
    m_PlayDate.day = date->day;
    m_OpenParam = openParam;
    m_OpenFlag = openFlag ? 1 : 0;

    MSSP_OpenParam_t request;
    std::memset(&request, 0, sizeof(request));
    request.streamTypeBmp = streamTypeBmp;
    request.openParam = openParam;
    request.tavuGrpId = m_tavuGrpId;
    request.year = date->year;
    request.month = date->month;
    request.day = date->day;
    request.hour = time->hour;
    request.minute = time->minute;
    request.second = time->second;

    const int t = GetStreamTypeFromBitmap(streamTypeBmp);
    int k = 0;
    for (int c = 0; c < 32 && k < m_StreamNum; ++c) {
        if (!(chnBmp & (1u << c))) continue;
        request.channel = static_cast<uint8_t>(c);
        const int fd = m_Operation.OpenStream(m_pUser, &request, m_OpenFlag);
        m_StreamFd[t][k] = fd;
        if (fd >= 0) {
            MSSP_LOC();
            mssp::Log(this, mssp::kLogInfo, "open stream %d ok fd=%d streamtype=%d,id=%d this=%p fdaddr=%p\n", c, fd, t,
                      k, static_cast<void*>(this), static_cast<void*>(m_StreamFd));
        } else {
            MSSP_LOC();
            mssp::Log(this, mssp::kLogError, "open stream %d failed\n", c);
        }
        MsspReader::MarkOpened(*this, k, c, fd);
        ++k;
    }

    int invalid = 0;
    for (int i = 0; i < m_StreamNum; ++i) {
        if (m_StreamFd[t][i] >= 0) continue;
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "stream %d mssp invalid\n", i);
        mssp::StoreRelease(m_pStreamHead[i]->state, MSSP_STATUS_STOP);
        ++invalid;
    }
    if (invalid == m_StreamNum) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "err:m_StreamNum:%d n:%d\n", m_StreamNum, invalid);
    }

    mssp::StoreRelease(m_bRunning, 1);
    mssp::StoreRelease(m_Status, MSSP_STATUS_PLAY);
    MsspReader::HandStreamsToReaders(*this);
    for (int i = 0; i < m_StreamNum; ++i) {
        m_StreamTypeBmp[i] = streamTypeBmp;
        m_CurStreamType[i] = t;
    }
    // Thread creation publishes everything written above to the new threads.
    MsspReader::StartThreads(*this, streamsPerThread);
    return 0;
}

int CMultiStreamSyncParser::StartParse(unsigned int chnBmp, unsigned char streamTypeBmp,
                                       unsigned short openParam, tag_tavuSegmentId* segmentId,
                                       bool openFlag, int streamsPerThread) {
    MSSP_LOC();
    mssp::Log(this, mssp::kLogInfo, "by Stream segment id...ChnBmp:0x%08x\n", chnBmp);
    MsspControlGate::Scope gate(*this);
    if (!MsspReader::StartAllowed(*this, gate)) return -1;
    if (!MsspReader::StreamTypeUsable(*this, streamTypeBmp)) return -1;
    // Another object's readers on this segment, in this process or another,
    // and ours would reset and refill each other's streams.
    if (!MsspKeyFile::Lock(*this)) return -1;
    MsspReader::TakeStreamsBack(*this);

    mssp::StoreRelease(m_Status, MSSP_STATUS_INIT);
    for (int i = 0; i < m_StreamNum; ++i) MsspReader::ResetStream(*this, i, true);
    mssp::StoreRelease(m_bRunning, 0);
    for (uint8_t& b : m_LastTime) mssp::StoreRelaxed(b, 0xFF);

    MSSP_SegmentInfo_t info;
    std::memset(&info, 0, sizeof(info));
    const int r = m_Operation.GetStreamSegmentInfo != nullptr
                      ? m_Operation.GetStreamSegmentInfo(m_pUser, segmentId, &info)
                      : -1;
    if (r != 0) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "GetStreamSegmentInfo err:%d\n", r);
        MsspKeyFile::Unlock(*this);  // no reader started
        return -1;
    }
    m_ChnMask = MsspReader::KeepPlayableChannels(chnBmp, m_StreamNum);
    m_PlayDate.year = info.year;
    m_PlayDate.month = info.month;
    m_PlayDate.day = info.day;
    m_OpenParam = openParam;
    m_OpenFlag = openFlag ? 1 : 0;
    MSSP_LOC();
    mssp::Log(this, mssp::kLogInfo, "Start by Stream segment id:time:20%d-%d-%d %d:%d:%d chn:%d\n", info.year,
              info.month, info.day, info.hour, info.minute, info.second, info.channel);
    std::fflush(stdout);

    MSSP_OpenParam_t request;
    std::memset(&request, 0, sizeof(request));
    request.streamTypeBmp = streamTypeBmp;
    request.openParam = 0;
    request.tavuGrpId = m_tavuGrpId;
    request.year = info.year;
    request.month = info.month;
    request.day = info.day;
    request.hour = info.hour;
    request.minute = info.minute;
    request.second = info.second;

    const int t = GetStreamTypeFromBitmap(streamTypeBmp);
    int k = 0;
    for (int c = 0; c < 32 && k < m_StreamNum; ++c) {
        if (!(chnBmp & (1u << c))) continue;
        request.channel = static_cast<uint8_t>(c);
        const int fd = m_Operation.OpenStream(m_pUser, &request, m_OpenFlag);
        m_StreamFd[t][k] = fd;
        MSSP_LOC();
        if (fd >= 0) {
            mssp::Log(this, mssp::kLogInfo, "open stream %d ok\n", c);
        } else {
            mssp::Log(this, mssp::kLogError, "open stream %d failed\n", c);
        }
        MsspReader::MarkOpened(*this, k, c, fd);
        ++k;
    }

    for (int i = 0; i < m_StreamNum; ++i) {
        if (m_StreamFd[t][i] >= 0) continue;
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "stream %d not open mssp invalid\n", i);
        mssp::StoreRelease(m_pStreamHead[i]->state, MSSP_STATUS_STOP);
    }

    mssp::StoreRelease(m_bRunning, 1);
    mssp::StoreRelease(m_Status, MSSP_STATUS_PLAY);
    MsspReader::HandStreamsToReaders(*this);
    for (int i = 0; i < m_StreamNum; ++i) {
        m_StreamTypeBmp[i] = streamTypeBmp;
        m_CurStreamType[i] = t;
    }
    // Thread creation publishes everything written above to the new threads.
    MsspReader::StartThreads(*this, streamsPerThread);
    return 0;
}

int CMultiStreamSyncParser::StopParse() {
    // acquire: pairs with StartParse's release of the run flag
    if (mssp::LoadAcquire(m_bRunning) == 0) return 0;
    // A control operation in progress ends first, and none starts from now
    // on: no handle is opened after the threads have closed theirs.
    MsspControlGate::BeginStop(*this);
    // release: the threads see the cleared run flag at their next pass
    mssp::StoreRelease(m_bRunning, 0);
    MsspReader::TakeStreamsBack(*this);
    mssp::WakeAll(m_ReaderWake);  // a sleeping thread's next pass is now

    for (int t = 0; t < m_StreamNum; ++t) {
        MSSP_ThreadParam_t& rec = Thread(t);
        if (rec.threadIndex == mssp::kNoThread) break;
        MsspReader::WaitEnded(rec);
    }
    // The threads have closed their streams' handles; a handle left open
    // (the streams of a thread that could not be created) is closed here.
    MsspReader::CloseHandles(*this, 0, m_StreamNum);

    mssp::StoreRelease(m_Status, MSSP_STATUS_STOP);
    mssp::LogPuts(this, mssp::kLogInfo, "playback, all thread stop over");

    // The playback thread may still be inside a delivery call or hold a
    // frame: reset the counters only behind the reset gate, as ClearBuffer does.
    MsspGate::Close(*this, MsspGate::AllStreams(m_StreamNum));
    for (int i = 0; i < m_StreamNum; ++i) {
        tag_pbParserData& pd = Parser(i);
        pd.ReadPos = 0;
        pd.length = 0;
        pd.EndPos = static_cast<uint32_t>(m_BufSize - 1);
        MSSP_StreamHead_t* head = m_pStreamHead[i];
        mssp::StoreRelease(head->parseNum, 0u);
        mssp::StoreRelease(head->getNum, 0u);
        head->reserved13 = 1;
        mssp::StoreRelaxed(m_pNodeCursor[i]->getIndex, 0u);
        mssp::StoreRelease(m_pNodeCursor[i]->lastIndex, -1);
        std::free(pd.pFrameInfo);
        pd.pFrameInfo = nullptr;
        std::free(pd.pTempBuf);
        pd.pTempBuf = nullptr;
    }
    MsspGate::Open(*this);
    // The segment is free for another object's readers from here on.
    MsspKeyFile::Unlock(*this);

    MsspControlGate::EndStop(*this);

    MSSP_LOC();
    mssp::LogPuts(this, mssp::kLogInfo, "playback over");
    std::fflush(stdout);
    return 0;
}

int CMultiStreamSyncParser::Idle(bool idle) {
    if (!idle) {
        for (int t = 0; t < m_StreamNum; ++t) {
            MSSP_ThreadParam_t& rec = Thread(t);
            mssp::StoreRelaxed(rec.idleAck, 0);
            // release: the control operation's changes to the streams before
            // the thread resumes
            mssp::StoreRelease(rec.idleRequest, 0);
        }
        mssp::WakeAll(m_ReaderWake);  // parked threads resume now, not after their sleep
        return 0;
    }

    for (int t = 0; t < m_StreamNum; ++t) {
        MSSP_ThreadParam_t& rec = Thread(t);
        mssp::StoreRelaxed(rec.idleAck, 0);
        mssp::StoreRelease(rec.idleRequest, 1);
    }
    mssp::WakeAll(m_ReaderWake);  // a sleeping thread's next pass is now
    for (int t = 0; t < m_StreamNum; ++t) {
        if (!MsspReader::WaitParked(*this, Thread(t))) break;
    }
    return 0;
}

int CMultiStreamSyncParser::GetStatus() {
    for (int i = 0; i < m_StreamNum; ++i) {
        MSSP_StreamHead_t* head = m_pStreamHead[i];
        if (mssp::LoadAcquire(head->state) <= MSSP_STATUS_FAST_BACKWARD) return 1;
        // Waiting frames, as a signed difference so that counters that
        // wrapped round 2^32 still count.
        if (mssp::WaitingCount(head) > 0) return 1;
    }
    return 0;
}

unsigned char CMultiStreamSyncParser::GetStreamTypeFromBitmap(unsigned char bitmap) {
    for (unsigned char t = 0; t < 8; ++t)
        if (bitmap & (1u << t)) return t;
    return 0;
}

int CMultiStreamSyncParser::GetChnIndex(int channel, int& index) {
    if (channel < 0 || channel > 31) return 0;
    int count = 0;
    for (int c = 0; c < 32; ++c) {
        if (!(m_ChnMask & (1u << c))) continue;
        if (c == channel) {
            index = count;
            return 1;
        }
        ++count;
    }
    return 0;
}

int CMultiStreamSyncParser::ParseStream(int threadIndex) {
    MSSP_ThreadParam_t& rec = Thread(threadIndex);
    const int first = rec.firstStream;
    const int end = rec.endStream < m_StreamNum ? rec.endStream : m_StreamNum;
    // A thread starts or resumes after a reset (StartParse, or a control
    // operation between Idle(true) and Idle(false)): first frames first.
    bool firstFramesDue = true;
    Clock::time_point dueSince{};

    for (;;) {
        // Read before the flags: a request made after this point ends this
        // pass's sleep at once.
        const uint32_t seen = mssp::WakeSeq(m_ReaderWake);
        // acquire: the control side's changes made before it set the run flag
        if (mssp::LoadAcquire(m_bRunning) != 1) break;
        // acquire: a control operation's changes made before Idle(false)
        if (mssp::LoadAcquire(rec.idleRequest) != 0) {
            // release: this thread's stream writes before the control side
            // sees it parked
            mssp::StoreRelease(rec.idleAck, 1);
            mssp::WakeAll(g_ReaderAnswer);
            firstFramesDue = true;
            dueSince = Clock::time_point{};
            mssp::SleepOn(m_ReaderWake, seen, kParkedSleepUs);
            continue;
        }
        const bool wasDue = firstFramesDue;
        if (wasDue) {
            const Clock::time_point now = Clock::now();
            if (dueSince == Clock::time_point{}) {
                dueSince = now;
            } else if (now - dueSince >= std::chrono::microseconds(kFirstFramesHoldUs)) {
                firstFramesDue = false;
            }
        }
        const bool progress = MsspReader::Pass(*this, first, end, firstFramesDue);
        // Every stream has its first frame: threads held back fill their rings now.
        if (wasDue && !firstFramesDue) mssp::WakeAll(m_ReaderWake);
        if (!progress) {
            // Streams held up by full rings ask the consumer to wake this
            // thread when enough frames are released, instead of the thread
            // looking again only after its sleep.
            const uint32_t asked = MsspReader::AskRoom(*this, first, end);
            if (asked == 0 || !MsspReader::RoomCame(*this, asked))
                mssp::SleepOn(m_ReaderWake, seen, firstFramesDue ? kFirstFramesLookUs : kIdleSleepUs);
            if (asked != 0) m_pOrder->roomWanted.fetch_and(~asked, std::memory_order_relaxed);
        }
    }

    MsspReader::CloseHandles(*this, first, end);
    MSSP_LOC();
    mssp::Log(this, mssp::kLogInfo, "thread Index %d exit...\n", threadIndex);
    // release: the handles are closed; after this the thread touches
    // nothing of the object (StopParse may return and the host destroy it):
    // the wake-up below uses a word outside it
    mssp::StoreRelease(rec.exited, 1);
    mssp::WakeAll(g_ReaderAnswer);
    return 0;
}

int CMultiStreamSyncParser::ReadData(int index) {
    tag_pbParserData& pd = Parser(index);
    const uint32_t bufSize = static_cast<uint32_t>(m_BufSize);
    const uint32_t maxRead = static_cast<uint32_t>(mssp::kMaxReadLen);
    uint32_t w;
    if (pd.EndPos == bufSize - 1) {
        w = mssp::Wrap(pd.ReadPos + pd.length, bufSize);
        // Wrap early only while the unparsed bytes lie in one piece below W;
        // otherwise W - 1 would not be their end.
        const bool oneRun = pd.length == 0 || pd.ReadPos + pd.length < bufSize;
        if (bufSize - w < maxRead && oneRun && w > 0) {
            pd.EndPos = w - 1;
            w = 0;
            if (pd.length == 0) {
                pd.ReadPos = 0;
                pd.EndPos = bufSize - 1;
            }
        }
    } else {
        w = MsspReader::WritePos(pd, bufSize);
    }
    if (bufSize < maxRead || bufSize - w < maxRead) {
        MSSP_LOC();
        mssp::LogPuts(this, mssp::kLogError, "Fatal err");
        return -1;
    }

    unsigned char newSegment = 0;
    const int r = m_Operation.ReadStream(m_pUser, CurrentFd(index), m_pStreamBuf[index] + w,
                                         mssp::kMaxReadLen, &newSegment);
    if (r <= 0) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogInfo, "##################read over:index:%d ret:%d\n", index, r);
        return r;
    }
    if (r > mssp::kMaxReadLen) {
        // The host claims more than it was allowed to write: a host error.
        // Count nothing; the caller treats it as a failed read.
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "read error:index:%d ret:%d is more than the %d asked for\n", index, r,
                  mssp::kMaxReadLen);
        return -1;
    }
    if (newSegment == 0) {
        pd.length += static_cast<uint32_t>(r);
        return 1;
    }

    pd.NewSegPos = w;
    pd.NewSegLen = static_cast<uint32_t>(r);
    pd.u8SegFlag |= 1;
    pd.u8NewSegData = 1;
    pd.u8ChlType = 1;
    MSSP_SegmentAttr_t attr;
    std::memset(&attr, 0, sizeof(attr));
    const int s = m_Operation.GetSegmentInfo(m_pUser, CurrentFd(index), &attr);
    // The attribute is the new segment's. Unparsed bytes of the old segment
    // keep the old one (or their first frame would be judged, and dropped, by
    // the new segment's rule); the parser takes it over when it switches.
    pd.reserved47 = (s == 0 && (attr.attr & MSSP_SEGATTR_AUDIO)) ? 1 : 0;
    if (pd.length == 0) pd.u8AudioSeg = pd.reserved47;
    MSSP_LOC();
    mssp::Log(this, mssp::kLogInfo,
              "reading,@@@@@@@@@@@@@@@@@@@New stream segment %d... NewSegPos:%u chltype=%d u8AudioSeg:%d\n",
              static_cast<int>(mssp::LoadRelaxed(m_pStreamHead[index]->channel)), pd.NewSegPos, pd.u8ChlType,
              pd.reserved47);
    return 1;
}

int CMultiStreamSyncParser::GetBufFreeSize(int index) {
    const tag_pbParserData& pd = Parser(index);
    MSSP_StreamHead_t* head = m_pStreamHead[index];
    const uint32_t bufSize = static_cast<uint32_t>(m_BufSize);

    // The consumer raises getNum before it moves getIndex, so getIndex is
    // read first: getNum is then at least as new, and the node at getIndex is
    // one this thread stored whenever the counts say a frame waits. (Read the
    // other way round, a release in between pairs an old getNum with the new
    // getIndex, and the tail comes from a node not yet refilled.)
    // acquire: the frames released up to getIndex, bytes included
    const uint32_t getIndex = mssp::LoadAcquire(m_pNodeCursor[index]->getIndex);
    // acquire: the consumer has finished with a released frame's bytes before it raises getNum
    const uint32_t getNum = mssp::LoadAcquire(head->getNum);
    const uint32_t parseNum = mssp::LoadRelaxed(head->parseNum);  // this thread's own counter
    uint32_t tail = pd.ReadPos;
    if (parseNum != getNum) {
        // The index lives in shared memory: never let it reach past the
        // stream's nodes.
        MSSP_FrameNode_t node;
        std::memcpy(&node, &m_pFrameNode[index][mssp::Wrap(getIndex, static_cast<uint32_t>(m_FrameNum))], sizeof(node));
        tail = node.offset1;
        // A place outside the ring comes only from another process writing
        // into the segment: report a free size no ring has, which the frame
        // parser takes for what it is.
        if (tail >= bufSize) return 0x7FFFFFFF;
    }

    const uint32_t w = MsspReader::WritePos(pd, bufSize);
    long long free;
    if (tail == w) {
        free = bufSize;
    } else if (tail > w) {
        free = static_cast<long long>(tail) - w;
    } else {
        const int status = mssp::LoadRelaxed(m_Status);
        if (status == MSSP_STATUS_FAST_FORWARD || status == MSSP_STATUS_FAST_BACKWARD) {
            free = static_cast<long long>(tail) + bufSize - w;
        } else {
            free = static_cast<long long>(bufSize) - w;
            if (free <= mssp::kMaxReadLen) free = tail;
        }
    }
    free -= 1;
    if (free < 0) return 0;
    return free > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(free);
}

bool mssp::ReaderPass(CMultiStreamSyncParser& p, int first, int end, bool& firstFramesDue) {
    return MsspReader::Pass(p, first, end, firstFramesDue);
}

uint32_t mssp::ReaderAskRoom(CMultiStreamSyncParser& p, int first, int end) {
    return MsspReader::AskRoom(p, first, end);
}

bool mssp::ReaderRoomCame(CMultiStreamSyncParser& p, uint32_t asked) { return MsspReader::RoomCame(p, asked); }

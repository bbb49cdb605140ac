// Playback control: the play status (normal play, fast forward, fast
// backward), buffer clearing, seek, and switching stream types and played
// channels while playback runs. Runs on the host's control thread, one call
// at a time; every operation that touches handles, rings or parser records
// (the host's ClearBuffer included) parks the reader threads with Idle(true)
// first and releases them with Idle(false) (the handshake itself belongs to
// the reader threads' file).
// It reads no stream data and delivers no frames: the reader threads refill
// the emptied rings, and the playback thread keeps calling
// GetFrame/ReleaseFrame throughout (nothing holds it back).
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "ControlGate.h"
#include "DeliveryOrder.h"
#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "ResetGate.h"

namespace {

constexpr uint8_t kNoTimeHour = 255;        // MSSP_Time_t::hour: no time given
constexpr unsigned kValidTypeBits = 0x07;   // stream-type bitmaps name types 0..2 only
constexpr int kAllChannels = 32;            // channel numbers 0..31

}  // namespace

// Private helpers of the control operations (a friend of the parser class).
struct MsspControl {
    using P = CMultiStreamSyncParser;

    // The operations that open, close or reposition streams go on only while
    // playback runs and StopParse is not stopping it (ControlGate.h), and
    // only with the time they need; otherwise they do nothing.
    static bool MayRun(P& p, const MsspControlGate::Scope& gate, const char* op, const void* time) {
        // acquire: the run flag and the streams StartParse published
        if (gate.Taken() && mssp::LoadAcquire(p.m_bRunning) != 0 && time != nullptr) return true;
        MSSP_LOC_AS(op);
        mssp::LogPuts(&p, mssp::kLogError,
                      time == nullptr ? "time is null: nothing done" : "playback is not running: nothing done");
        return false;
    }

    // The handle slot of stream `i` for its current stream type, or null when
    // the current type is outside 0..2 (no slot exists; such a stream is
    // treated as having no handle and is never opened).
    static int* CurrentFdSlot(P& p, int i) {
        const int type = p.m_CurStreamType[i];
        if (type < 0 || type >= MSSP_STREAM_TYPES) return nullptr;
        return &p.m_StreamFd[type][i];
    }

    static int CurrentHandle(P& p, int i) {
        const int* slot = CurrentFdSlot(p, i);
        return slot ? *slot : -1;
    }

    static void SetState(P& p, int i, int state) {
        // publish: the stream's state for GetFrame/GetStatus (readers are parked or
        // see it at their next pass)
        mssp::StoreRelease(p.m_pStreamHead[i]->state, static_cast<uint8_t>(state));
        MsspOrder::Note(p, 1u << i);
    }

    static void SetChannel(P& p, int i, int channel) {
        // publish: the channel GetFrame checks a frame's first byte against
        mssp::StoreRelease(p.m_pStreamHead[i]->channel, static_cast<int32_t>(channel));
    }

    static void SetStatusField(P& p, int status) {
        // publish: the play status that the reader threads (trick play, free space)
        // read at their next pass
        mssp::StoreRelease(p.m_Status, status);
    }

    static int Status(P& p) {
        // relaxed: m_Status is written only on this (control) thread
        return mssp::LoadRelaxed(p.m_Status);
    }

    // Closes the handle in `slot` when there is one and marks the slot closed.
    static void CloseSlot(P& p, int* slot) {
        if (slot == nullptr) return;
        if (*slot >= 0) p.m_Operation.CloseStream(p.m_pUser, *slot, 0);
        *slot = -1;
    }

    // The stream index of a played channel, or -1. Besides GetChnIndex's test
    // the index must name a stream: a played mask with more channels than
    // streams must never lead past m_StreamNum.
    static int StreamIndexOf(P& p, int channel) {
        int index = -1;
        if (p.GetChnIndex(channel, index) != 1) return -1;
        if (index < 0 || index >= p.m_StreamNum) return -1;
        return index;
    }

    // The first `limit` channels of `mask`, in ascending channel order.
    static uint32_t FirstChannels(uint32_t mask, int limit) {
        uint32_t kept = 0;
        int count = 0;
        for (int n = 0; n < kAllChannels && count < limit; ++n) {
            if (mask & (1u << n)) {
                kept |= 1u << n;
                ++count;
            }
        }
        return kept;
    }

    static MSSP_SeekTime_t SeekRecord(const Common::_datetime_& t) {
        MSSP_SeekTime_t rec;
        rec.year = t.year;
        rec.month = t.month;
        rec.day = t.day;
        rec.hour = t.hour;
        rec.minute = t.minute;
        rec.second = t.second;
        return rec;
    }

    // Repositioning record for a time of day on the current play date.
    static MSSP_SeekTime_t SeekRecord(P& p, const MSSP_Time_t& t) {
        MSSP_SeekTime_t rec;
        rec.year = static_cast<uint8_t>(p.m_PlayDate.year & 0xFF);
        rec.month = p.m_PlayDate.month;
        rec.day = p.m_PlayDate.day;
        rec.hour = t.hour;
        rec.minute = t.minute;
        rec.second = t.second;
        return rec;
    }

    static MSSP_OpenParam_t OpenRequest(P& p, int channel, uint8_t typeBmp,
                                        const Common::_datetime_& t) {
        MSSP_OpenParam_t req;
        std::memset(&req, 0, sizeof(req));
        req.channel = static_cast<uint8_t>(channel);
        req.streamTypeBmp = typeBmp;
        req.openParam = p.m_OpenParam;
        req.tavuGrpId = p.m_tavuGrpId;
        req.year = t.year;
        req.month = t.month;
        req.day = t.day;
        req.hour = t.hour;
        req.minute = t.minute;
        req.second = t.second;
        return req;
    }

    static int Open(P& p, int channel, uint8_t typeBmp, const Common::_datetime_& t) {
        MSSP_OpenParam_t req = OpenRequest(p, channel, typeBmp, t);
        return p.m_Operation.OpenStream(p.m_pUser, &req, p.m_OpenFlag);
    }

    // Seek goes on with any date and time (the host's failed positioning
    // then retires the streams), but names the values that no recording can
    // have in one line, so that a host sees its mistake in the log.
    static void NoteImpossibleTime(P& p, const Common::_datetime_& t) {
        char bad[96] = "";  // five fields of at most "minute 255, "
        size_t used = 0;
        auto check = [&](const char* field, unsigned value, unsigned low, unsigned high) {
            if (value >= low && value <= high) return;
            const int n = std::snprintf(bad + used, sizeof(bad) - used, "%s%s %u", used == 0 ? " " : ", ", field, value);
            if (n > 0) used = std::min(sizeof(bad) - 1, used + static_cast<size_t>(n));
        };
        check("month", t.month, 1, 12);
        check("day", t.day, 1, 31);
        check("hour", t.hour, 0, 23);
        check("minute", t.minute, 0, 59);
        check("second", t.second, 0, 59);
        if (used == 0) return;
        MSSP_LOC_AS("Seek");
        mssp::Log(&p, mssp::kLogError, "impossible seek time:%s\n", bad);
    }

    static void SetPlayDate(P& p, const Common::_datetime_& t) {
        p.m_PlayDate.year = t.year;
        p.m_PlayDate.month = t.month;
        p.m_PlayDate.day = t.day;
    }

    static void ForgetLastTime(P& p) { std::memset(p.m_LastTime, 0xFF, sizeof(p.m_LastTime)); }

    // Empties stream `i`: parser record, counters, cursor and pending trick-play
    // pack. Nodes and ring bytes stay; with both counters at 0 they count as
    // empty. Only while the reader threads are parked.
    static void ResetStream(P& p, int i) {
        tag_pbParserData& rec = p.Parser(i);
        rec.FrameLen = 0;
        rec.PackLen = 0;
        rec.ExtLen = 0;
        rec.CheckSum = 0;
        rec.Offset = 0;
        rec.OffsetEx = 0;
        rec.reserved32 = -1;
        rec.u8PackPending = 0;
        rec.u8FrameRate = 0;
        rec.u8Completed = 1;
        rec.u8SegFlag = 0;
        rec.u8NewSegData = 0;
        rec.u8NodeFull = 0;
        rec.ReadPos = 0;
        rec.length = 0;
        rec.EndPos = static_cast<uint32_t>(p.m_BufSize - 1);
        rec.NewSegPos = 0;
        rec.NewSegLen = 0;

        MSSP_StreamHead_t* head = p.m_pStreamHead[i];
        MSSP_NodeCursor_t* cursor = p.m_pNodeCursor[i];
        // publish: parseNum 0 first, so that a concurrent GetFrame counts no frame
        // waiting (0 - getNum <= 0) before the cursor moves under it
        mssp::StoreRelease(head->parseNum, 0u);
        // publish: getNum 0 after parseNum; the waiting count is now 0
        mssp::StoreRelease(head->getNum, 0u);
        // publish: the consumer's read position back to node 0
        mssp::StoreRelease(cursor->getIndex, 0u);
        // publish: no node filled (the parked reader takes it up at its next pass)
        mssp::StoreRelease(cursor->lastIndex, -1);
        head->reserved13 = 1;

        p.m_pTrickData[i] = nullptr;
        p.m_TrickLen[i] = 0;
        p.m_TrickNewSeg[i] = 0;
        p.m_TrickRejects[i] = 0;
    }

    // Empties every stream. Only while the reader threads are parked (or
    // none runs): the operations below call it between Idle(true) and
    // Idle(false), the host's ClearBuffer through Parked.
    static void ClearAll(P& p) {
        mssp::Log(&p, mssp::kLogInfo, "=========start clear buffer ========reset pts readjust =%d\n", p.m_StreamNum);
        // Wait for the playback thread to let go of its frames, then reset.
        MsspGate::Close(p, MsspGate::AllStreams(p.m_StreamNum));
        for (int i = 0; i < p.m_StreamNum; ++i) ResetStream(p, i);
        MsspGate::Open(p);
    }

    // Empties stream index `i`; the same condition as ClearAll.
    static void ClearOne(P& p, int i) {
        MsspGate::Close(p, 1u << i);
        ResetStream(p, i);
        MsspGate::Open(p);
    }

    // The host's ClearBuffer: runs `reset` with the reader threads parked
    // while playback runs. Outside playback no reader thread exists (the
    // gate keeps StartParse out meanwhile). While StopParse is stopping
    // playback nothing is done: it empties every stream itself.
    template <class Reset>
    static void Parked(P& p, const MsspControlGate::Scope& gate, Reset reset) {
        if (!gate.Taken()) {
            MSSP_LOC_AS("ClearBuffer");
            mssp::LogPuts(&p, mssp::kLogError, "playback is being stopped: nothing done");
            return;
        }
        // acquire: the run flag and the threads StartParse published
        const bool running = mssp::LoadAcquire(p.m_bRunning) != 0;
        if (running) p.Idle(true);  // from here the readers touch no stream until Idle(false)
        reset();
        if (running) p.Idle(false);  // hand back: readers refill the emptied rings
    }

    // Moves every stream that has a handle to `time` on the current play date
    // and marks it reading, whatever SeekStream answers. Readers parked.
    static void RepositionAt(P& p, const MSSP_Time_t& time) {
        MSSP_SeekTime_t rec = SeekRecord(p, time);
        for (int i = 0; i < p.m_StreamNum; ++i) {
            const int handle = CurrentHandle(p, i);
            if (handle < 0) continue;
            p.m_Operation.SeekStream(p.m_pUser, handle, &rec);
            SetState(p, i, MSSP_STATUS_PLAY);
        }
    }

    // Steps 3 to 5 shared by FastForward and FastBackward: park, empty,
    // reposition when a time is given, (revive), set the status, release.
    static void EnterTrickPlay(P& p, MSSP_Time_t* time, int status, bool revive) {
        p.Idle(true);  // from here the readers touch no stream until Idle(false)
        ClearAll(p);
        if (time != nullptr) RepositionAt(p, *time);
        if (revive) {
            // Played backward, a stream that ran to its end has data again.
            for (int i = 0; i < p.m_StreamNum; ++i) {
                if (CurrentHandle(p, i) >= 0) SetState(p, i, MSSP_STATUS_PLAY);
            }
        }
        SetStatusField(p, status);
        p.Idle(false);  // hand back: readers resume on the emptied rings in the new status
    }

    // Seek step 4 for one played stream; sets bit i of `failed` when it could
    // not be positioned.
    static void SeekOne(P& p, int i, int channel, const Common::_datetime_& time,
                        uint32_t& failed) {
        const int type = p.m_CurStreamType[i];
        int* slot = CurrentFdSlot(p, i);
        if (slot == nullptr) {
            // No handle slot for this type: the stream can be neither
            // repositioned nor opened.
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogError, "open stream %d failed, mssp invalid\n", channel);
            failed |= 1u << i;
            SetChannel(p, i, channel);
            SetState(p, i, MSSP_STATUS_STOP);
            return;
        }
        if (*slot >= 0) {
            mssp::Log(&p, mssp::kLogInfo, "======playback seek index=%d ch=%d stream=%d\n", i, channel, type);
            MSSP_SeekTime_t rec = SeekRecord(time);
            if (p.m_Operation.SeekStream(p.m_pUser, *slot, &rec) < 0) failed |= 1u << i;
            SetState(p, i, MSSP_STATUS_PLAY);
            return;
        }
        *slot = Open(p, channel, p.m_StreamTypeBmp[i], time);
        mssp::Log(&p, mssp::kLogInfo, "===playback seek , open index=%d ch=%d stream=%d\n", i, channel, type);
        if (*slot >= 0) {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogInfo, "open stream %d ok\n", channel);
            SetChannel(p, i, channel);
            SetState(p, i, MSSP_STATUS_PLAY);
        } else {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogError, "open stream %d failed, mssp invalid\n", channel);
            failed |= 1u << i;
            SetChannel(p, i, channel);
            SetState(p, i, MSSP_STATUS_STOP);
        }
    }

    // Seek step 5: unless every stream failed, close and invalidate the failed ones.
    static void RetireFailed(P& p, uint32_t failed) {
        const uint32_t all = FirstChannels(0xFFFFFFFFu, p.m_StreamNum);  // bits 0..m_StreamNum-1
        if ((failed & all) == all) return;
        for (int i = 0; i < p.m_StreamNum; ++i) {
            if (!(failed & (1u << i))) continue;
            CloseSlot(p, CurrentFdSlot(p, i));
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogError, "stream %d invalid\n", i);
            SetState(p, i, MSSP_STATUS_STOP);
        }
    }

    // SwitchStream step 3 for one channel. Returns false when the switch must
    // stop at this channel.
    static bool SwitchOne(P& p, int channel, int newType, uint8_t typeBmp,
                          const Common::_datetime_& time, uint32_t& switched) {
        const int i = StreamIndexOf(p, channel);
        if (i < 0) {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogError, "SwitchStream::current chn [%d] is not a playback chn\n", channel);
            return false;
        }
        const int oldType = p.m_CurStreamType[i];
        if (oldType == newType) {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogInfo, "SwitchStream::chn [%d] StreamType is already [%d]\n", channel, newType);
            return true;
        }
        mssp::Log(&p, mssp::kLogInfo,
                  "SwitchStream::start to change chn [%d] chn_index [%d] stream type from [%d] to [%d]\n", channel, i,
                  oldType, newType);
        int& newSlot = p.m_StreamFd[newType][i];
        if (newSlot >= 0) {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogError, "SwitchStream::chn [%d] streamtype[%d] fd is exist???\n", channel, newType);
            return false;
        }
        newSlot = Open(p, channel, typeBmp, time);
        mssp::Log(&p, mssp::kLogInfo, "m_StreamFd[%d][%d]=%d\n", newType, i, newSlot);
        // The old handle's slot; null when the old type was outside 0..2.
        int* oldSlot = CurrentFdSlot(p, i);
        if (newSlot >= 0) {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogInfo, "open stream %d ok\n", channel);
            SetChannel(p, i, channel);
            SetState(p, i, MSSP_STATUS_PLAY);
            CloseSlot(p, oldSlot);
            p.m_CurStreamType[i] = newType;
            p.m_StreamTypeBmp[i] = typeBmp;
            ClearOne(p, i);
            switched |= 1u << channel;
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogInfo, "modify_chn_mask %x\n", switched);
            mssp::Log(&p, mssp::kLogInfo, "2m_StreamFd[%d][%d]=%d\n", newType, i, newSlot);
        } else {
            MSSP_LOC();
            mssp::Log(&p, mssp::kLogError, "SwitchStream::chn [%d] open NEW STREAM failed, close OLD STREAM\n",
                      channel);
            SetChannel(p, i, channel);
            CloseSlot(p, oldSlot);
            SetState(p, i, MSSP_STATUS_STOP);
            p.m_CurStreamType[i] = newType;
            p.m_StreamTypeBmp[i] = typeBmp;
        }
        return true;
    }

    // SwitchStream step 4: reposition the played channels that kept their stream.
    static void RepositionOthers(P& p, uint32_t switched, const Common::_datetime_& time) {
        MSSP_SeekTime_t rec = SeekRecord(time);
        int i = 0;
        for (int n = 0; n < kAllChannels && i < p.m_StreamNum; ++n) {
            if (!(p.m_ChnMask & (1u << n))) continue;
            const int index = i++;
            if (switched & (1u << n)) continue;
            const int handle = CurrentHandle(p, index);
            if (handle < 0) continue;
            if (p.m_Operation.SeekStream(p.m_pUser, handle, &rec) >= 0) {
                ClearOne(p, index);
                MSSP_LOC();
                mssp::Log(&p, mssp::kLogInfo, "SwitchStream::seek and clear buf [%d]\n", n);
            }
        }
    }

    // SwitchPlaybackChannels step 4: close every played stream's current handle.
    static void CloseAllPlayed(P& p) {
        int i = 0;
        for (int n = 0; n < kAllChannels && i < p.m_StreamNum; ++n) {
            if (!(p.m_ChnMask & (1u << n))) continue;
            int* slot = CurrentFdSlot(p, i);
            if (slot != nullptr && *slot >= 0) {
                CloseSlot(p, slot);
                SetState(p, i, MSSP_STATUS_STOP);
            }
            SetChannel(p, i, -1);
            ++i;
        }
    }

    // The channel behind each stream index under `mask`; -1 for none.
    static void ChannelsByIndex(P& p, uint32_t mask, int (&out)[MSSP_MAX_STREAMS]) {
        for (int& c : out) c = -1;
        int i = 0;
        for (int n = 0; n < kAllChannels && i < p.m_StreamNum; ++n)
            if (mask & (1u << n)) out[i++] = n;
    }

    // Handles of the other stream types belong to the channel they were
    // opened for. Where a stream index changes channel they would later be
    // repositioned (SwitchStream back to their type) and read another
    // channel's recording, or be overwritten by an open and leak: close them.
    static void CloseOtherTypesOfMovedStreams(P& p, const int (&before)[MSSP_MAX_STREAMS],
                                              const int (&after)[MSSP_MAX_STREAMS]) {
        for (int i = 0; i < p.m_StreamNum; ++i) {
            if (before[i] == after[i]) continue;
            for (int t = 0; t < MSSP_STREAM_TYPES; ++t) {
                if (t != p.m_CurStreamType[i]) CloseSlot(p, &p.m_StreamFd[t][i]);
            }
        }
    }

    // SwitchPlaybackChannels step 5: open the new channels, the k-th with the
    // stream type of index k. Returns the channels that got a stream index.
    static uint32_t OpenNewChannels(P& p, uint32_t newMask, const Common::_datetime_& time) {
        uint32_t kept = 0;
        int i = 0;
        for (int n = 0; n < kAllChannels; ++n) {
            if (!(newMask & (1u << n))) continue;
            if (i >= p.m_StreamNum) {
                MSSP_LOC();
                mssp::Log(&p, mssp::kLogError, "To much new channels to playback, max=%d mask=0x%x\n", p.m_StreamNum,
                          newMask);
                break;
            }
            kept |= 1u << n;
            int* slot = CurrentFdSlot(p, i);
            CloseSlot(p, slot);  // never overwrite a live handle
            const int handle = slot ? Open(p, n, p.m_StreamTypeBmp[i], time) : -1;
            if (slot != nullptr) *slot = handle;
            if (handle >= 0) {
                SetState(p, i, Status(p) & 0xFF);
                SetChannel(p, i, n);
            } else {
                mssp::Log(&p, mssp::kLogError, "open stream=%d index %d failed\n", p.m_CurStreamType[i], i);
                SetState(p, i, MSSP_STATUS_STOP);
            }
            ++i;
        }
        return kept;
    }

    // The trick-play entries, behind the control gate.
    static int FastForward(P& p, MSSP_Time_t* time) {
        MSSP_LOC();
        mssp::Log(&p, mssp::kLogInfo, "speed:%d\n\n", mssp::LoadRelaxed(p.m_Speed));
        if (p.m_Operation.ReadNextIFrame == nullptr) {
            MSSP_LOC();
            mssp::LogPuts(&p, mssp::kLogError, "err:m_Operation.ReadNextIFrame is null\n");
            return -1;
        }
        EnterTrickPlay(p, time, MSSP_STATUS_FAST_FORWARD, false);
        return 0;
    }

    static int FastBackward(P& p, MSSP_Time_t* time) {
        MSSP_LOC();
        mssp::Log(&p, mssp::kLogInfo, "speed:%d\n", mssp::LoadRelaxed(p.m_Speed));
        if (p.m_Operation.ReadPrevIFrame == nullptr) {
            MSSP_LOC();
            mssp::LogPuts(&p, mssp::kLogError, "err:m_Operation.ReadPrevIFrame is null");
            return -1;
        }
        EnterTrickPlay(p, time, MSSP_STATUS_FAST_BACKWARD, true);
        return 0;
    }

    // Seek behind the control gate; SwitchStream by type ends with it too.
    static int Seek(P& p, Common::_datetime_* time, unsigned long long pts) {
        Common::gclDebugPrintf(3, __FILE__, __func__, __LINE__, "start seek\n");
        MSSP_LOC();
        mssp::Log(&p, mssp::kLogInfo, "seek time:%d-%d-%d %d:%d:%d pts:%llu\n\n", time->year, time->month, time->day,
                  time->hour, time->minute, time->second, pts);
        NoteImpossibleTime(p, *time);

        SetStatusField(p, MSSP_STATUS_SEEK);
        p.Idle(true);
        ClearAll(p);
        SetPlayDate(p, *time);

        uint32_t failed = 0;
        int i = 0;
        // Walk the played channels; a mask with more channels than streams stops
        // at the last stream index.
        for (int n = 0; n < kAllChannels && i < p.m_StreamNum; ++n) {
            if (!(p.m_ChnMask & (1u << n))) continue;
            SeekOne(p, i, n, *time, failed);
            ++i;
        }
        RetireFailed(p, failed);

        ForgetLastTime(p);
        SetStatusField(p, MSSP_STATUS_PLAY);
        p.Idle(false);

        MSSP_LOC();
        mssp::LogPuts(&p, mssp::kLogInfo, "seek over");
        Common::gclDebugPrintf(3, __FILE__, __func__, __LINE__, "seek over\n");
        return 0;
    }
};

// ---------------------------------------------------------------------------

int CMultiStreamSyncParser::SetStatus(MSSP_Status_t status, int speed, MSSP_Time_t* time) {
    MsspControlGate::Scope gate(*this);
    // acquire: the run flag StartParse/StopParse publish
    const bool running = gate.Taken() && mssp::LoadAcquire(m_bRunning) != 0;
    const int current = MsspControl::Status(*this);
    if (!running || current < MSSP_STATUS_INIT || current > MSSP_STATUS_FAST_BACKWARD) {
        MSSP_LOC();
        mssp::LogPuts(this, mssp::kLogError, "err:end");
        return -1;
    }
    if (time != nullptr && time->hour == kNoTimeHour) time = nullptr;

    switch (status) {
    case MSSP_STATUS_FAST_FORWARD:
        // publish: the speed the frame parser turns into a step code; it is
        // read by the reader threads, possibly still running in trick play
        mssp::StoreRelaxed(m_Speed, speed);
        MsspControl::FastForward(*this, time);
        break;
    case MSSP_STATUS_FAST_BACKWARD:
        mssp::StoreRelaxed(m_Speed, speed);  // publish: as above
        MsspControl::FastBackward(*this, time);
        break;
    case MSSP_STATUS_PLAY:
        if (current == MSSP_STATUS_FAST_FORWARD || current == MSSP_STATUS_FAST_BACKWARD) {
            Idle(true);
            MsspControl::ClearAll(*this);
            if (time != nullptr) MsspControl::RepositionAt(*this, *time);
        }
        MsspControl::SetStatusField(*this, MSSP_STATUS_PLAY);
        Idle(false);
        break;
    default:
        // Statuses 0, 2, 5 and 6 only reach playStatus; anything else is no
        // status at all: it is written there too, and named in the log.
        if (static_cast<int>(status) < MSSP_STATUS_INIT || static_cast<int>(status) > MSSP_STATUS_STOP) {
            MSSP_LOC();
            mssp::Log(this, mssp::kLogError, "unknown status %d: only written to the streams' playStatus\n",
                      static_cast<int>(status));
        }
        break;
    }

    for (int i = 0; i < m_StreamNum; ++i) {
        // publish: the play status as the stream last received it (delivery reads 4)
        mssp::StoreRelease(m_pStreamHead[i]->playStatus, static_cast<uint8_t>(status & 0xFF));
    }
    return 0;
}

int CMultiStreamSyncParser::FastForward(MSSP_Time_t* time) {
    MsspControlGate::Scope gate(*this);
    if (!MsspControl::MayRun(*this, gate, "FastForward", this)) return -1;
    return MsspControl::FastForward(*this, time);
}

int CMultiStreamSyncParser::FastBackward(MSSP_Time_t* time) {
    MsspControlGate::Scope gate(*this);
    if (!MsspControl::MayRun(*this, gate, "FastBackward", this)) return -1;
    return MsspControl::FastBackward(*this, time);
}

// The host's buffer clearing: behind the control gate, so that it never runs
// beside another control operation, StartParse or StopParse, and with the
// readers parked, so that no reader is inside a stream that it resets.
int CMultiStreamSyncParser::ClearBuffer() {
    MsspControlGate::Scope gate(*this);
    MsspControl::Parked(*this, gate, [this] { MsspControl::ClearAll(*this); });
    return 0;
}

int CMultiStreamSyncParser::ClearBuffer(int channel) {
    MsspControlGate::Scope gate(*this);
    // Under the gate: SwitchPlaybackChannels changes the played channels.
    const int index = MsspControl::StreamIndexOf(*this, channel);
    if (index < 0) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "ClearBuffer::current chn [%d] is not a playback chn\n", channel);
        return -1;
    }
    MsspControl::Parked(*this, gate, [this, index] { MsspControl::ClearOne(*this, index); });
    return 0;
}

int CMultiStreamSyncParser::Seek(Common::_datetime_* time, unsigned long long pts) {
    MsspControlGate::Scope gate(*this);
    if (!MsspControl::MayRun(*this, gate, "Seek", time)) return -1;
    return MsspControl::Seek(*this, time, pts);
}

int CMultiStreamSyncParser::SwitchStream(unsigned int chnMask, int streamTypeBmp,
                                         Common::_datetime_* time) {
    MsspControlGate::Scope gate(*this);
    if (!MsspControl::MayRun(*this, gate, "SwitchStream", time)) return -1;
    if (static_cast<unsigned>(streamTypeBmp) & ~kValidTypeBits) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "SwitchStream::invalid StreamType [%d]\n", streamTypeBmp);
        return -1;
    }
    const uint8_t typeBmp = static_cast<uint8_t>(streamTypeBmp & 0xFF);
    const int newType = GetStreamTypeFromBitmap(typeBmp);

    Idle(true);
    mssp::Log(this, mssp::kLogInfo, "Idle start ------------------------iChlMap[%x]----------------------\n", chnMask);

    uint32_t switched = 0;
    bool completed = true;
    for (int n = 0; n < kAllChannels; ++n) {
        if (!(chnMask & (1u << n))) continue;
        if (!MsspControl::SwitchOne(*this, n, newType, typeBmp, *time, switched)) {
            completed = false;
            break;
        }
    }
    if (completed && switched != 0) MsspControl::RepositionOthers(*this, switched, *time);

    Idle(false);
    mssp::LogPuts(this, mssp::kLogInfo, "Idle finish ----------------------------------------------");
    return 0;
}

int CMultiStreamSyncParser::SwitchStream(int streamType, Common::_datetime_* time) {
    MsspControlGate::Scope gate(*this);
    if (!MsspControl::MayRun(*this, gate, "SwitchStream", time)) return -1;
    if (streamType < 0 || streamType >= MSSP_STREAM_TYPES) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "err:invalid StreamType:%d\n", streamType);
        return -1;
    }
    for (int i = 0; i < m_StreamNum; ++i) {
        if (m_CurStreamType[i] == streamType) return 0;
    }
    Idle(true);
    for (int i = 0; i < m_StreamNum; ++i) {
        m_CurStreamType[i] = streamType;
        // The reopen that Seek makes for a stream without a handle of the new
        // type must ask the host for that type: the bitmap follows the type,
        // or the host would open the old type under the new type's slot.
        m_StreamTypeBmp[i] = static_cast<uint8_t>(1u << streamType);
    }
    MsspControl::Seek(*this, time, 0);
    return 0;
}

int CMultiStreamSyncParser::SwitchPlaybackChannels(unsigned int chnMask,
                                                   const Common::_datetime_* time) {
    MsspControlGate::Scope gate(*this);
    if (!MsspControl::MayRun(*this, gate, "SwitchPlaybackChannels", time)) return -1;
    MSSP_LOC();
    mssp::Log(this, mssp::kLogInfo,
              "CMultiStreamSyncParser::SwitchPlaybackChannels channelmask=0x%x->0x%x time=%d-%d-%d %d:%d:%d\n",
              m_ChnMask, chnMask, time->year, time->month, time->day, time->hour, time->minute, time->second);
    Idle(true);
    MsspControl::ClearAll(*this);
    MsspControl::SetPlayDate(*this, *time);

    int before[MSSP_MAX_STREAMS];
    int after[MSSP_MAX_STREAMS];
    MsspControl::ChannelsByIndex(*this, m_ChnMask, before);
    MsspControl::ChannelsByIndex(*this, chnMask, after);
    MsspControl::CloseAllPlayed(*this);
    MsspControl::CloseOtherTypesOfMovedStreams(*this, before, after);
    // Only the channels that got a stream index stay played, so that no later
    // operation walks m_ChnMask past m_StreamNum.
    m_ChnMask = MsspControl::OpenNewChannels(*this, chnMask, *time);

    MsspControl::ForgetLastTime(*this);
    Idle(false);
    MSSP_LOC();
    mssp::LogPuts(this, mssp::kLogInfo, "SwitchPlaybackChannels over");
    return 0;
}

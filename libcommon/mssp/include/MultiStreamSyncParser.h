// MSSP: the multi-stream synchronised playback engine of the recorder.
//
// One CMultiStreamSyncParser plays one group of up to 32 recorded streams
// (one per channel). Reader threads pull each stream's recorded bytes through
// the host's callbacks (MSSP_StreamOperation_t), cut them into frames and keep
// them in per-stream rings inside one System V shared-memory segment; the
// host's playback thread takes the frames zero-copy with GetFrame/GetFrameEx
// and frees them with ReleaseFrame.
//
// Invariants:
//  * GetFrame hands out frames in non-decreasing timestamp order across all
//    streams when playing forward (non-increasing backward); ties go to the
//    lower stream index. A stream that is live but has nothing buffered holds
//    delivery back, so that channels stay in step.
//  * A delivered frame's bytes stay in place until the host calls
//    ReleaseFrame for its stream.
//
// Threads:
//  * the host's playback thread is the only consumer: GetFrame, GetFrameEx,
//    ReleaseFrame, GetStreamPTS, GetCovertedPts, GetBaselinePts,
//    GetStreamTime, GetFrameInfo, GetChnStatusEx;
//  * the host's control thread (one call at a time): StartParse, StopParse,
//    Idle, SetStatus, FastForward, FastBackward, ClearBuffer, Seek,
//    SwitchStream, SwitchPlaybackChannels, SetFrameJumpLevel;
//  * the reader threads (one producer per stream) run ParseStream.
// No mutex is taken anywhere: per stream the reader thread publishes a frame
// node through `lastIndex` and `parseNum`, the playback thread frees it
// through `getNum` and `getIndex`.
#ifndef MULTI_STREAM_SYNC_PARSER_H
#define MULTI_STREAM_SYNC_PARSER_H

#include <cstddef>
#include <cstdint>

#include "KeltoTypes.h"

#define MSSP_API __attribute__((visibility("default")))

#define MSSP_VERSION_MAJOR 5
#define MSSP_VERSION_MINOR 0
#define MSSP_VERSION_PATCH 0

#define MSSP_MAX_STREAMS 32
#define MSSP_STREAM_TYPES 3

// ---------------------------------------------------------------------------
// Play status: the object's m_Status, and one byte wide a stream's `state`
// and `playStatus`.
typedef enum {
    MSSP_STATUS_INIT = 0,           // started, streams not yet opened / stream not started
    MSSP_STATUS_PLAY = 1,           // normal play / stream reading
    MSSP_STATUS_SEEK = 2,           // while Seek runs
    MSSP_STATUS_FAST_FORWARD = 3,   // trick play forward, I-frames only
    MSSP_STATUS_FAST_BACKWARD = 4,  // trick play backward, I-frames only
    MSSP_STATUS_OVER = 5,           // stream over: the recording has no more data
    MSSP_STATUS_STOP = 6,           // stopped object / invalid stream (no handle)
} MSSP_Status_t;

// Frame types of a frame node and of the header functions.
enum {
    MSSP_FRAME_I = 0,
    MSSP_FRAME_P = 1,
    MSSP_FRAME_AUDIO = 2,
    MSSP_FRAME_OTHER = 3,
};

// ---------------------------------------------------------------------------
// Records in the shared-memory segment. Multi-byte values are little-endian.
// Segment layout, with N streams and F nodes per stream:
//   0             N stream heads (16 bytes each)
//   16*N          N node cursors (8 bytes each)
//   24*N          N*F frame nodes (40 bytes each), F per stream
//   N*(24+40*F)   N data rings of bufSize bytes

// Per-stream header. The reader thread writes parseNum, the playback thread
// getNum; `parseNum - getNum` frames are waiting.
typedef struct {
    int32_t channel;      // channel number of the stream; -1 = none
    uint32_t parseNum;    // frames stored since the last reset (producer)
    uint32_t getNum;      // frames released since the last reset (consumer)
    uint8_t state;        // MSSP_Status_t: 0 not started, 1 reading, 5 over, 6 invalid
    uint8_t reserved13;   // written as 1 by every reset
    uint8_t playStatus;   // play status as this stream last received it
    uint8_t reserved15;   // 0
} MSSP_StreamHead_t;
static_assert(sizeof(MSSP_StreamHead_t) == 16, "MSSP_StreamHead_t is 16 bytes");
static_assert(offsetof(MSSP_StreamHead_t, parseNum) == 4, "parseNum at 4");
static_assert(offsetof(MSSP_StreamHead_t, getNum) == 8, "getNum at 8");
static_assert(offsetof(MSSP_StreamHead_t, state) == 12, "state at 12");
static_assert(offsetof(MSSP_StreamHead_t, playStatus) == 14, "playStatus at 14");

// Per-stream node cursor.
typedef struct {
    uint32_t getIndex;  // node to hand out next (consumer)
    int32_t lastIndex;  // node filled last, -1 = none (producer)
} MSSP_NodeCursor_t;
static_assert(sizeof(MSSP_NodeCursor_t) == 8, "MSSP_NodeCursor_t is 8 bytes");
static_assert(offsetof(MSSP_NodeCursor_t, lastIndex) == 4, "lastIndex at 4");

// One frame of a stream's node ring. Byte-packed: multi-byte fields have no
// alignment guarantee and are accessed with memcpy, never through a cast.
#pragma pack(push, 1)
typedef struct {
    uint8_t flags;      // bit 0 first frame of a new segment; bit 1 last frame before one
    uint8_t frameType;  // 0 I, 1 P, 2 audio, 3 other / being filled
    uint8_t time[6];    // year (from 2000), month, day, hour, minute, second
    uint64_t pts;       // timestamp in milliseconds
    uint16_t width;     // picture width
    uint16_t height;    // picture height
    uint32_t offset1;   // ring offset of the pack's first byte
    uint32_t length1;   // bytes from offset1 (to the ring's data end when it wraps)
    uint32_t offset2;   // second piece: always 0, the ring's start
    uint32_t length2;   // bytes of the second piece; 0 = contiguous
    uint8_t refType;    // reference type (frame-jump levels)
    uint8_t refIndex;   // position in the reference cycle
    uint8_t flags2;     // bit 0 extension flag; bit 1 the segment carries audio
    uint8_t frameRate;  // bits 0..6 frame rate; bit 7 completion mark
} MSSP_FrameNode_t;
#pragma pack(pop)
static_assert(sizeof(MSSP_FrameNode_t) == 40, "MSSP_FrameNode_t is 40 bytes");
static_assert(offsetof(MSSP_FrameNode_t, pts) == 8, "pts at 8");
static_assert(offsetof(MSSP_FrameNode_t, width) == 16, "width at 16");
static_assert(offsetof(MSSP_FrameNode_t, offset1) == 20, "offset1 at 20");
static_assert(offsetof(MSSP_FrameNode_t, length2) == 32, "length2 at 32");
static_assert(offsetof(MSSP_FrameNode_t, refType) == 36, "refType at 36");
static_assert(offsetof(MSSP_FrameNode_t, frameRate) == 39, "frameRate at 39");

// ---------------------------------------------------------------------------
// Records exchanged with the host's stream operations.

// Open request, zero-filled by the parser before each use.
typedef struct {
    uint8_t channel;        // channel number 0..31
    uint8_t streamTypeBmp;  // bit n selects stream type n
    uint16_t openParam;     // the caller's 16-bit open parameter
    uint32_t tavuGrpId;     // recording group id
    uint8_t year;           // counted from 2000
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint8_t reserved[2];  // zero
} MSSP_OpenParam_t;
static_assert(sizeof(MSSP_OpenParam_t) == 16, "MSSP_OpenParam_t is 16 bytes");
static_assert(offsetof(MSSP_OpenParam_t, openParam) == 2, "openParam at 2");
static_assert(offsetof(MSSP_OpenParam_t, tavuGrpId) == 4, "tavuGrpId at 4");
static_assert(offsetof(MSSP_OpenParam_t, year) == 8, "year at 8");
static_assert(offsetof(MSSP_OpenParam_t, second) == 13, "second at 13");

// Start date and time of a recorded segment, filled by the host (32 bytes;
// the parser reads bytes 0..5 and 10 only and does not clear it first).
typedef struct {
    uint8_t year;  // counted from 2000
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint8_t reserved6[4];
    uint8_t channel;  // channel number
    uint8_t reserved11[21];
} MSSP_SegmentInfo_t;
static_assert(sizeof(MSSP_SegmentInfo_t) == 32, "MSSP_SegmentInfo_t is 32 bytes");
static_assert(offsetof(MSSP_SegmentInfo_t, channel) == 10, "channel at 10");

#define MSSP_SEGATTR_AUDIO 0x02  // bit of MSSP_SegmentAttr_t::attr: the segment carries audio

// Attributes of the current recorded segment (32 bytes, zeroed by the parser;
// only `attr` is read).
typedef struct {
    uint8_t reserved0[13];
    uint8_t attr;  // MSSP_SEGATTR_AUDIO
    uint8_t reserved14[18];
} MSSP_SegmentAttr_t;
static_assert(sizeof(MSSP_SegmentAttr_t) == 32, "MSSP_SegmentAttr_t is 32 bytes");
static_assert(offsetof(MSSP_SegmentAttr_t, attr) == 13, "attr at 13");

// Repositioning request: date and time, one byte each, year from 2000.
typedef struct {
    uint8_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
} MSSP_SeekTime_t;
static_assert(sizeof(MSSP_SeekTime_t) == 6, "MSSP_SeekTime_t is 6 bytes");

// Time of day given with a status change; hour 255 = no time.
typedef struct {
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
} MSSP_Time_t;
static_assert(sizeof(MSSP_Time_t) == 3, "MSSP_Time_t is 3 bytes");

// Start date and time of StartParse, copied unchanged into open requests.
typedef struct tag_tavuDate {
    uint8_t year;  // counted from 2000
    uint8_t month;
    uint8_t day;
} tag_tavuDate;
static_assert(sizeof(tag_tavuDate) == 3, "tag_tavuDate is 3 bytes");

typedef struct tag_tavuTime {
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
} tag_tavuTime;
static_assert(sizeof(tag_tavuTime) == 3, "tag_tavuTime is 3 bytes");

// A recorded segment's identifier in the host's recording file system. The
// parser never looks into it: it passes the caller's pointer unchanged to
// GetStreamSegmentInfo. The reference recording store reads it as channel,
// stream type and segment number.
typedef struct tag_tavuSegmentId {
    uint8_t channel;     // channel number 0..31
    uint8_t streamType;  // stream type 0..2
    uint16_t reserved;   // 0
    uint32_t segment;    // segment number within the channel's stream
} tag_tavuSegmentId;
static_assert(sizeof(tag_tavuSegmentId) == 8, "tag_tavuSegmentId is 8 bytes");

// ---------------------------------------------------------------------------
// The host's stream operations. Every slot receives the user pointer given
// to the constructor first, unchanged. A handle is a 32-bit signed value;
// negative = no stream. Reader-thread slots are called on the reader thread
// that serves the stream; control slots on the host's control thread while
// the reader threads are parked; never two slots for one stream at once.
typedef struct {
    // Slot 0, control thread (StartParse, Seek, SwitchStream,
    // SwitchPlaybackChannels). Opens the stream described by `param` (channel,
    // stream-type bitmap, open parameter, group id, date and time) positioned
    // so that the next read returns data from that date and time. `openFlag`
    // is the StartParse flag, passed unchanged. Returns the handle, negative
    // on failure.
    int (*OpenStream)(void* user, MSSP_OpenParam_t* param, unsigned char openFlag);
    // Slot 1: never called by the parser; may be null.
    int (*Reserved)(void* user);
    // Slot 2, control thread (StartParse by segment id). Fills `info` with the
    // start date and time and channel of the segment `segmentId` (the
    // caller's pointer, unchanged). 0 on success, any other value an error.
    int (*GetStreamSegmentInfo)(void* user, tag_tavuSegmentId* segmentId, MSSP_SegmentInfo_t* info);
    // Slot 3, reader thread, after a read that reported a new segment. Fills
    // the zeroed `attr` of the handle's current segment; 0 on success.
    int (*GetSegmentInfo)(void* user, int handle, MSSP_SegmentAttr_t* attr);
    // Slot 4, reader thread, normal play. Writes at most `maxLen` (65536)
    // bytes at `dst` (inside the stream's ring) and sets `*newSegment` to 1
    // when they begin a new recorded segment, else 0. Returns the number of
    // bytes written (> 0), or 0 / negative at the end or on error. A result
    // above `maxLen` is treated as an error.
    int (*ReadStream)(void* user, int handle, unsigned char* dst, int maxLen, unsigned char* newSegment);
    // Slot 5, reader thread, fast forward. Returns one whole I-frame pack in
    // a host buffer: `*data`, `*length`, `*newSegment`; the buffer stays valid
    // until the next call for this handle. `step`: 0 next I-frame, 1 / 2 / 31
    // the host's larger steps for speeds 8 / 16 / 32. Result > 0 on success.
    int (*ReadNextIFrame)(void* user, int handle, unsigned char** data, int* length,
                          unsigned char* newSegment, int step);
    // Slot 6, reader thread, fast backward: as slot 5, going backward.
    int (*ReadPrevIFrame)(void* user, int handle, unsigned char** data, int* length,
                          unsigned char* newSegment, int step);
    // Slot 7, control thread, readers parked. Repositions an open stream so
    // that the next read returns data from `time`. Negative on failure.
    int (*SeekStream)(void* user, int handle, MSSP_SeekTime_t* time);
    // Slot 8, reader thread as it ends, or control thread with readers
    // parked. Releases the handle; the second argument is always 0. The
    // result is ignored.
    int (*CloseStream)(void* user, int handle, int reserved);
} MSSP_StreamOperation_t;
static_assert(sizeof(MSSP_StreamOperation_t) == 9 * sizeof(void (*)()), "nine slots");

// ---------------------------------------------------------------------------
// Frame description returned by GetFrameInfo and GetFrameEx; each operation
// writes only its own fields.
typedef struct tag_MSSP_GetFrameInfo {
    uint64_t pts;       // milliseconds (converted when GetFrameEx converts)
    uint16_t width;     // GetFrameInfo
    uint16_t height;    // GetFrameInfo
    uint8_t frameType;  // both
    uint8_t flags;      // GetFrameEx: node flags, bit 0 also for a discontinuity
    uint8_t channel;    // GetFrameEx
    uint8_t year;       // GetFrameEx, counted from 2000
    uint8_t month;      // GetFrameEx
    uint8_t day;        // GetFrameEx
    uint8_t hour;       // GetFrameEx
    uint8_t minute;     // GetFrameEx
    uint8_t second;     // GetFrameEx
    uint8_t refType;    // GetFrameInfo
    uint8_t spare;      // written by neither
    uint8_t frameRate;  // GetFrameInfo: bits 0..6 of the node's frameRate
} tag_MSSP_GetFrameInfo;

// ---------------------------------------------------------------------------
// Parser-side records (heap).

// One piece of data for CalculateCheckSum: a first part and an optional
// second part (LenEx 0 when there is none).
typedef struct {
    unsigned char* pData;
    unsigned char* pDataEx;
    uint32_t Len;
    uint32_t LenEx;
} FramePiece_t;

// Input of CalculateCheckSum: the concatenation of the pieces in order.
typedef struct {
    FramePiece_t Pack[20];
    uint32_t PackNum;  // pieces in use, at least 1
} FrameData_t;

// Per-stream parser record: the header functions' results and the reader's
// ring positions. 68 bytes with 32-bit pointers.
typedef struct tag_pbParserData {
    MSSP_FrameNode_t* pFrameInfo;  // parsed header of the frame being cut
    unsigned char* pTempBuf;       // 4096-byte scratch for split headers
    uint32_t FrameLen;             // payload length of the last decoded header
    uint32_t PackLen;              // pack length of the last decoded header
    uint32_t ExtLen;               // extension length of the last decoded header
    uint32_t CheckSum;             // checksum byte of the last new header; 0 for old
    uint32_t Offset;               // where the header search stopped in piece 1
    uint32_t OffsetEx;             // where the header search stopped in piece 2
    int32_t reserved32;            // -1 after a buffer reset, never read
    uint8_t u8PackPending;         // a header is decoded, its pack is incomplete
    uint8_t u8FrameRate;           // frame rate of the last kind-1 record
    uint8_t reserved38[3];
    uint8_t u8Completed;    // 1 after a reset and after each completed node
    uint8_t u8ChlType;      // 1 once a new segment was reported (printed only)
    uint8_t u8SegFlag;      // bit 0: new segment, its first frame not stored yet
    uint8_t u8AudioSeg;     // 1: the current segment carries audio
    uint8_t u8NewSegData;   // 1: a new segment's first bytes wait at NewSegPos
    uint8_t u8NodeFull;     // 1: node ring nearly full, parsing paused
    uint8_t reserved47;     // audio attribute of the new segment waiting at NewSegPos
    uint32_t ReadPos;    // ring offset of the first unparsed byte
    uint32_t length;     // unparsed bytes from ReadPos on
    uint32_t EndPos;     // last byte before the data wraps to offset 0
    uint32_t NewSegPos;  // ring offset of a new segment's first bytes
    uint32_t NewSegLen;  // number of those bytes
} tag_pbParserData;
static_assert(offsetof(tag_pbParserData, FrameLen) == 2 * sizeof(void*), "FrameLen after the pointers");
static_assert(offsetof(tag_pbParserData, u8PackPending) == 2 * sizeof(void*) + 28, "u8PackPending");
static_assert(offsetof(tag_pbParserData, u8Completed) == 2 * sizeof(void*) + 33, "u8Completed");
static_assert(offsetof(tag_pbParserData, ReadPos) == 2 * sizeof(void*) + 40, "ReadPos");
static_assert(offsetof(tag_pbParserData, NewSegLen) == 2 * sizeof(void*) + 56, "NewSegLen");
static_assert(sizeof(void*) != 4 || sizeof(tag_pbParserData) == 68, "tag_pbParserData is 68 bytes on 32-bit");

class CMultiStreamSyncParser;
struct MsspOrder;

// One record per reader thread.
typedef struct {
    CMultiStreamSyncParser* parser;
    uint8_t threadIndex;  // 255 = no thread
    uint8_t firstStream;  // first stream index served
    uint8_t endStream;    // one past the last stream index served
    uint8_t idleRequest;  // set by the control side: park
    uint8_t idleAck;      // set by the thread: parked
    uint8_t exited;       // set by the thread: ended
} MSSP_ThreadParam_t;

// Per-stream timestamp conversion record (heap, created on first use).
typedef struct {
    int64_t baseMs;                    // wall-clock ms of the base frame
    uint64_t basePts;                  // pts of the base frame
    uint64_t lastPts;                  // pts of the last normal step
    uint64_t curPts;                   // converted timestamp last produced
    const MSSP_FrameNode_t* lastNode;  // node last converted; null = not initialised
    uint32_t span;                     // last normal step in ms
} MSSP_PtsAdjust_t;

typedef struct {
    uint16_t year;
    uint8_t month;
    uint8_t day;
} MSSP_PlayDate_t;

// ---------------------------------------------------------------------------
// Exported free functions and data.

MSSP_API int GetDeviceGroup();
MSSP_API void* ParseStreamThreadEntry(void* param);
MSSP_API int GetFrameType(char type);
MSSP_API int GetFrameTypeOldVersion(char type, char tag1, char tag2);
MSSP_API int GetFrameHeader(unsigned char* data, unsigned int len, unsigned char* dataEx,
                            unsigned int lenEx, tag_pbParserData* parser);
MSSP_API int GetFrameHeaderOldVersion(unsigned char* data, unsigned int len, unsigned char* dataEx,
                                      unsigned int lenEx, tag_pbParserData* parser);
MSSP_API int CalculateCheckSum(FrameData_t* data, int len);
MSSP_API int CheckSend(unsigned char level, unsigned char refType, unsigned char refIndex);

// ---------------------------------------------------------------------------
// Diagnostics. By default the engine prints its lines on standard output
// (system-call failures on standard error, as perror does). A host may take
// them instead: the process-wide hook gets every line, an object's own hook
// (SetLogHook) the lines of that object, in place of the process-wide one.
// Lines of free functions and of a constructor go to the process-wide hook.
// A hook gets one whole line at a time, without its newline and with the
// location prefix "[MSSP ...]" in front where the line has one, and its
// level:
#define MSSP_LOG_ERROR 1  // something failed or was refused; perror-style lines
#define MSSP_LOG_INFO 2   // start, stop, seeks, switches, opened streams
#define MSSP_LOG_DEBUG 3  // per-frame notes: dropped frames, waits, timestamp steps
//
// Threads: the hook is called from the reader threads and from the host's
// playback and control threads, possibly at the same time: it must be safe to
// call concurrently, must not call back into the engine and should return
// quickly (a reader thread waits for it). The line is valid during the call
// only. Set the process-wide hook once, before any object is created; set an
// object's hook before StartParse (or after StopParse), never while its
// reader threads run. A null function removes the hook: standard output
// again, byte for byte as without a hook.
extern "C" {
typedef void (*MSSP_LogFn)(void* user, int level, const char* line);
MSSP_API void MSSP_SetLogHook(MSSP_LogFn fn, void* user);
// The process-wide hook now set (null: none) and, when `user` is not null,
// its user pointer.
MSSP_API MSSP_LogFn MSSP_GetLogHook(void** user);
}

MSSP_API extern const uint32_t REF_JUMP_MASK_4X_30fps_BIT[15];
MSSP_API extern const uint32_t REF_JUMP_MASK_2X_30fps_BIT[15];

// ---------------------------------------------------------------------------
class MSSP_API CMultiStreamSyncParser {
public:
    // Object and shared memory.
    CMultiStreamSyncParser(int group, int streamNum, char* name, int bufSize, int frameNum,
                           MSSP_StreamOperation_t* operation, void* user, unsigned char tavuGrpId);
    ~CMultiStreamSyncParser();
    CMultiStreamSyncParser(const CMultiStreamSyncParser&) = delete;
    CMultiStreamSyncParser& operator=(const CMultiStreamSyncParser&) = delete;
    void* CreateShareMemory(const char* name, int size);

    // Start, stop and reader threads.
    int StartParse(unsigned int chnBmp, unsigned char streamTypeBmp, unsigned short openParam,
                   tag_tavuDate* date, tag_tavuTime* time, bool openFlag, int streamsPerThread);
    int StartParse(unsigned int chnBmp, unsigned char streamTypeBmp, unsigned short openParam,
                   tag_tavuSegmentId* segmentId, bool openFlag, int streamsPerThread);
    int StopParse();
    int Idle(bool idle);
    int GetStatus();
    unsigned char GetStreamTypeFromBitmap(unsigned char bitmap);
    int GetChnIndex(int channel, int& index);

    // Stream reading and frame parsing (reader threads).
    int ParseStream(int threadIndex);
    int ReadData(int index);
    int GetBufFreeSize(int index);
    int ParseFrame(int index);

    // Timestamps (playback thread).
    int GetStreamPTS(int index, unsigned long long* pPts);
    unsigned long long GetCovertedPts(int index, const MSSP_FrameNode_t* pNode);
    int GetBaselinePts(int* unused, unsigned long long* pBasePts, int direction, unsigned char bConvert);
    int GetStreamTime(int index, unsigned int* pSeconds);

    // Frame delivery (playback thread).
    int GetFrame(unsigned char** ppData1, int* pLen1, unsigned char** ppData2, int* pLen2,
                 int* pFrameType, unsigned long long* pPts, unsigned int* pFlag, int* pChannel,
                 int direction, unsigned char bConvert);
    int GetFrameEx(int index, unsigned char** ppData1, int* pLen1, unsigned char** ppData2,
                   int* pLen2, tag_MSSP_GetFrameInfo* pInfo, unsigned char bConvert);
    int ReleaseFrame(int index);
    int GetFrameInfo(unsigned char index, tag_MSSP_GetFrameInfo* pInfo);
    int GetChnStatusEx(int index, unsigned char unused);

    // Playback control (control thread).
    int SetStatus(MSSP_Status_t status, int speed, MSSP_Time_t* time);
    int FastForward(MSSP_Time_t* time);
    int FastBackward(MSSP_Time_t* time);
    int ClearBuffer();
    int ClearBuffer(int channel);
    int Seek(Common::_datetime_* time, unsigned long long pts);
    int SwitchStream(unsigned int chnMask, int streamTypeBmp, Common::_datetime_* time);
    int SwitchStream(int streamType, Common::_datetime_* time);
    int SwitchPlaybackChannels(unsigned int chnMask, const Common::_datetime_* time);

    // Frame-jump levels.
    int SetFrameJumpLevel(unsigned char index, unsigned char level);
    static int GetFrameRateByLevel(unsigned char level, unsigned char refType, unsigned char frameRate);

    // This object's diagnostics hook (see MSSP_SetLogHook); null: the
    // process-wide one, or standard output.
    void SetLogHook(MSSP_LogFn fn, void* user);

private:
    // Each concern's file keeps its helpers in a struct of static functions
    // that is a friend here, so that the class itself stays as the host sees it.
    friend struct MsspReader;     // reader threads, start and stop
    friend struct MsspParser;     // frame parser
    friend struct MsspDelivery;   // timestamps and frame delivery
    friend struct MsspControl;    // playback control
    friend struct MsspGate;       // reset hand-over between control and playback threads
    friend struct MsspControlGate; // control operations against StartParse/StopParse
    friend struct MsspOrder;      // the playback thread's order of the streams' next frames
    friend struct MsspKeyFile;    // the key file and the lock that marks the readers' process
    friend struct MsspTestAccess; // tests

    tag_pbParserData& Parser(int index) { return m_pParserData[index]; }
    MSSP_ThreadParam_t& Thread(int t) {
        return reinterpret_cast<MSSP_ThreadParam_t*>(m_pParserData + MSSP_MAX_STREAMS)[t];
    }
    int& CurrentFd(int index) { return m_StreamFd[m_CurStreamType[index]][index]; }

    // Fields, in the order of the record they describe.
    MSSP_StreamOperation_t m_Operation;
    int m_StreamNum;
    int m_FrameNum;
    MSSP_StreamHead_t* m_pStreamHead[MSSP_MAX_STREAMS];
    MSSP_NodeCursor_t* m_pNodeCursor[MSSP_MAX_STREAMS];
    MSSP_FrameNode_t* m_pFrameNode[MSSP_MAX_STREAMS];
    int m_Shmid;
    void* m_pShareMem;
    unsigned char* m_pStreamBuf[MSSP_MAX_STREAMS];
    int m_BufSize;
    int m_StreamFd[MSSP_STREAM_TYPES][MSSP_MAX_STREAMS];
    int m_CurStreamType[MSSP_MAX_STREAMS];
    uint8_t m_bWaitIFrame[MSSP_MAX_STREAMS];
    uint32_t m_ChnMask;
    MSSP_PlayDate_t m_PlayDate;
    uint8_t m_StreamTypeBmp[MSSP_MAX_STREAMS];
    uint16_t m_OpenParam;
    uint8_t m_OpenFlag;
    uint8_t m_LastTime[3];
    int m_Status;
    uint8_t m_bRunning;
    unsigned char* m_pTrickData[MSSP_MAX_STREAMS];
    int m_TrickLen[MSSP_MAX_STREAMS];
    uint8_t m_TrickNewSeg[MSSP_MAX_STREAMS];
    uint8_t m_StreamTime[MSSP_MAX_STREAMS][4];
    int m_Speed;
    MSSP_PtsAdjust_t* m_pPtsAdjust[MSSP_MAX_STREAMS];
    uint8_t m_JumpLevel[MSSP_MAX_STREAMS];
    tag_pbParserData* m_pParserData;
    uint64_t* m_pLastPts;
    void* m_pUser;
    uint8_t m_tavuGrpId;
    eProductType m_ProductType;

    // Hand-over between the control thread and the playback thread around a
    // reset of stream counters (ClearBuffer, StopParse): the reset waits
    // until the playback thread is outside every delivery call and has
    // released the frames it holds, so that no pointer handed out before the
    // reset ever points at bytes that the readers refill after it.
    uint8_t m_bResetting;                      // control: a reset is under way
    uint8_t m_bDelivering;                     // playback: inside a delivery call
    uint32_t m_HeldMask;                       // playback: streams with a delivered, unreleased frame
    uint32_t m_ResetCount[MSSP_MAX_STREAMS];   // control: resets that found a frame still held
    uint32_t m_HeldReset[MSSP_MAX_STREAMS];    // playback: m_ResetCount when the held frame was delivered
    uint32_t m_ResetRounds = 0;                // control: resets done (a stream's counters may start again at 0)

    // Wake-up words of the sleeps that another thread ends early (futex
    // sequence words, process-local: not part of the shared segment).
    uint32_t m_ReaderWake = 0;  // control: bumped by Idle and StopParse; the reader threads sleep on it
    uint32_t m_GateWake = 0;    // playback: bumped by a release during a reset; the reset waits on it

    // The control gate (ControlGate.h): bit 0 while a control operation or
    // StartParse runs, bit 1 while StopParse stops; its wake-up word is
    // bumped when an operation leaves the gate.
    uint32_t m_ControlGate = 0;
    uint32_t m_ControlWake = 0;
    // The order of the streams' next frames that GetFrame chooses from, kept
    // by the playback thread; the readers and the control thread mark the
    // streams they change in it (heap, created with the object).
    MsspOrder* m_pOrder;
    // Reader: trick-play packs given up in a row per stream (bad header,
    // checksum, no room ever); reset by a stored frame and by every buffer
    // reset. A bounded number ends the stream instead of asking forever.
    uint8_t m_TrickRejects[MSSP_MAX_STREAMS] = {};
    // The segment's key file (KeyFile.h), open from construction to
    // destruction; from StartParse to StopParse it carries this object's
    // lock, which tells other objects and processes that this process's
    // reader threads fill the segment.
    int m_KeyFd = -1;
    int m_KeyOpenError = 0;     // errno of the failed open when m_KeyFd is -1
    char m_KeyPath[256] = {};   // for messages
    // Playback: per stream, the counters, reset round and state at the last
    // "GetStreamPTS failed" line and the same failures left out since (one
    // line per change).
    struct PtsFailNote {
        uint32_t parseNum;
        uint32_t getNum;
        uint32_t resets;
        uint32_t repeats;
        uint8_t state;
        uint8_t shown;
    };
    PtsFailNote m_PtsFail[MSSP_MAX_STREAMS] = {};
    // Diagnostics hook of this object (SetLogHook); written only while no
    // reader thread runs, so the threads created after it see it.
    MSSP_LogFn m_LogFn = nullptr;
    void* m_pLogUser = nullptr;
    friend struct MsspLog;
};

#endif  // MULTI_STREAM_SYNC_PARSER_H

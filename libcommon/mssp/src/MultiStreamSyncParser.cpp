// The parser object and its shared memory: construction and destruction,
// the System V segment that holds every stream's header, node cursor, node
// ring and data ring, the heap records beside it, and the device group read
// from the platform. Runs on the host's thread while no reader thread exists;
// playback itself lives in the other files.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <json/json.h>

#include "DeliveryOrder.h"
#include "KeltoPlatform.h"
#include "KeyFile.h"
#include "MsspInternal.h"

int g_DeviceGroup = 0;
int g_DropLen = 0;

namespace {

constexpr int kKeyNameSize = 28;   // name plus group digits, with the terminator
constexpr int kStreamHeadSize = 16;
constexpr int kCursorSize = 8;

// Ends the process after a fatal condition has been printed.
[[noreturn]] void FatalExit() {
    std::fflush(stdout);
    std::exit(mssp::kFatalExitStatus);
}

constexpr mode_t kDefaultShmMode = 0660;  // the recorder's own user and group
constexpr int kSegmentTries = 3;          // creations raced by another process or a stale segment

// The mode of the segment and of its key file: 0660, or the octal value of
// MSSP_SHM_MODE for hosts whose other processes run under another user. The
// owner always needs read and write.
mode_t SharedMode() {
    const char* text = std::getenv("MSSP_SHM_MODE");
    if (text == nullptr || *text == '\0') return kDefaultShmMode;
    char* end = nullptr;
    errno = 0;
    const unsigned long mode = std::strtoul(text, &end, 8);
    if (errno != 0 || *end != '\0' || mode > 0777 || (mode & 0600) != 0600) {
        mssp::Log(nullptr, mssp::kLogError,
                  "MSSP_SHM_MODE=%s is no octal mode 0600..0777 with read and write for the owner, using %04o\n", text,
                  static_cast<unsigned>(kDefaultShmMode));
        return kDefaultShmMode;
    }
    return static_cast<mode_t>(mode);
}

// The segment of `key` for this object: a new one of `size` bytes made with
// `mode`, or an existing one that this user (or root) owns and that holds at
// least `size` bytes. An existing segment without attachments and of another
// size is stale (a player that was killed) and is replaced. Says why and
// gives -1 when there is none to use (errno then tells the system's part).
int OwnSegment(key_t key, size_t size, mode_t mode) {
    for (int attempt = 0; attempt < kSegmentTries; ++attempt) {
        const int created = shmget(key, size, IPC_CREAT | IPC_EXCL | static_cast<int>(mode));
        if (created >= 0 || errno != EEXIST) return created;
        const int id = shmget(key, 0, 0);
        struct shmid_ds ds;
        if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
            if (errno == ENOENT || errno == EIDRM || errno == EINVAL) continue;  // removed meanwhile
            const int err = errno;
            mssp::Log(nullptr, mssp::kLogError,
                      "shared segment of key %d exists but is not open to this user (uid %u)\n", static_cast<int>(key),
                      static_cast<unsigned>(geteuid()));
            errno = err;
            return -1;
        }
        if (ds.shm_nattch == 0 && ds.shm_segsz != size && shmctl(id, IPC_RMID, nullptr) == 0) {
            mssp::Log(nullptr, mssp::kLogInfo,
                      "stale shared segment of key %d removed: %zu bytes, no attachments, %zu needed\n",
                      static_cast<int>(key), static_cast<size_t>(ds.shm_segsz), size);
            continue;
        }
        if (ds.shm_perm.uid != geteuid() && ds.shm_perm.uid != 0) {
            mssp::Log(nullptr, mssp::kLogError,
                      "shared segment of key %d belongs to uid %u, not to this user (uid %u) or root: not used\n",
                      static_cast<int>(key), static_cast<unsigned>(ds.shm_perm.uid), static_cast<unsigned>(geteuid()));
            errno = EPERM;
            return -1;
        }
        if (ds.shm_segsz < size) {
            mssp::Log(nullptr, mssp::kLogError,
                      "shared segment of key %d holds %zu bytes, %zu needed, and has %u attachments: not used\n",
                      static_cast<int>(key), static_cast<size_t>(ds.shm_segsz), size,
                      static_cast<unsigned>(ds.shm_nattch));
            errno = EINVAL;
            return -1;
        }
        return id;
    }
    mssp::Log(nullptr, mssp::kLogError, "shared segment of key %d: gave up after %d attempts to create it\n",
              static_cast<int>(key), kSegmentTries);
    errno = EAGAIN;
    return -1;
}

}  // namespace

// Out of line and cold: only a corrupt node index gets here. Shift and
// subtract, one bit at a time, so that no division is compiled in.
__attribute__((cold, noinline)) uint32_t mssp::ReduceModulo(uint32_t value, uint32_t n) {
    if (n == 0) return 0;
    uint64_t rest = 0;
    for (int bit = 31; bit >= 0; --bit) {
        rest = (rest << 1) | ((value >> bit) & 1u);
        if (rest >= n) rest -= n;
    }
    return static_cast<uint32_t>(rest);
}

int GetDeviceGroup() {
    Json::Value spec;  // null until the platform fills it
    if (Kelto_GetSpecInfo(spec) != 0) return 0;
    if (!spec.isObject()) return 0;
    const Json::Value& group = spec["PRODUCT_GROUP"];
    if (group.isNull() || !group.isString()) return 0;
    const std::string value = group.asString();
    if (value == "BUS") return 2;
    if (value == "ITS") return 1;
    if (value == "ANT") return 3;
    return 0;
}

CMultiStreamSyncParser::CMultiStreamSyncParser(int group, int streamNum, char* name, int bufSize,
                                               int frameNum, MSSP_StreamOperation_t* operation,
                                               void* user, unsigned char tavuGrpId)
    : m_Operation{}, m_StreamNum(0), m_FrameNum(0), m_pStreamHead{}, m_pNodeCursor{},
      m_pFrameNode{}, m_Shmid(-1), m_pShareMem(nullptr), m_pStreamBuf{}, m_BufSize(0),
      m_StreamFd{}, m_CurStreamType{}, m_bWaitIFrame{}, m_ChnMask(0), m_PlayDate{},
      m_StreamTypeBmp{}, m_OpenParam(0), m_OpenFlag(0), m_LastTime{}, m_Status(MSSP_STATUS_STOP),
      m_bRunning(0), m_pTrickData{}, m_TrickLen{}, m_TrickNewSeg{}, m_StreamTime{}, m_Speed(0),
      m_pPtsAdjust{}, m_JumpLevel{}, m_pParserData(nullptr), m_pLastPts(nullptr), m_pUser(user),
      m_tavuGrpId(tavuGrpId), m_ProductType(PRODUCT_TYPE_UNKNOWN), m_bResetting(0),
      m_bDelivering(0), m_HeldMask(0), m_ResetCount{}, m_HeldReset{}, m_pOrder(nullptr) {
    if (Kelto_GetProductType(m_ProductType) != 0) {
        Common::gclDebugPrintf(0, __FILE__, "CMultiStreamSyncParser", __LINE__,
                               "=========GET PRODUCT TYPE FAILED=========\n");
    }

    if (streamNum < 1 || streamNum > MSSP_MAX_STREAMS) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "invalid stream num:%d\n", streamNum);
        FatalExit();
    }
    // Ring sizes are refused like a bad stream count: a segment smaller than
    // the rings laid into it would corrupt memory at the first read, and a
    // ring below mssp::kMinRingSize stalls at its first larger pack.
    const long long size64 = static_cast<long long>(streamNum) *
                             (static_cast<long long>(bufSize) + kStreamHeadSize + kCursorSize +
                              static_cast<long long>(frameNum) * mssp::kNodeSize);
    if (bufSize < mssp::kMinRingSize || frameNum <= 0 || size64 > INT_MAX) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError,
                  "invalid ring size: bufSize=%d (at least %d) frameNum=%d streamNum=%d size=%lld\n", bufSize,
                  mssp::kMinRingSize, frameNum, streamNum, size64);
        FatalExit();
    }

    m_StreamNum = streamNum;
    if (operation != nullptr) m_Operation = *operation;

    m_FrameNum = frameNum;
    m_BufSize = bufSize;
    const int size = static_cast<int>(size64);
    mssp::Log(this, mssp::kLogInfo, "################playback, group=%d bufSize=%d frameNum=%d, size=%d node=%d\n",
              group, bufSize, frameNum, size, mssp::kNodeSize);

    // The key name lives in a 28-byte area; a longer name is cut.
    char keyName[kKeyNameSize];
    std::snprintf(keyName, sizeof(keyName), "%s%02d", name ? name : "", group);
    CreateShareMemory(keyName, size);

    for (int i = 0; i < m_StreamNum; ++i) {
        for (int t = 0; t < MSSP_STREAM_TYPES; ++t) m_StreamFd[t][i] = -1;
        m_bWaitIFrame[i] = 0;
        m_pPtsAdjust[i] = nullptr;
    }

    m_Status = MSSP_STATUS_STOP;
    std::memset(m_LastTime, 0xFF, sizeof(m_LastTime));
    m_bRunning = 0;
    std::memset(m_StreamTime, 0xFF, sizeof(m_StreamTime));
    for (int& type : m_CurStreamType) type = 0;
    m_pUser = user;

    // 32 parser records followed by 32 thread records, zeroed.
    const size_t blockSize = MSSP_MAX_STREAMS * (sizeof(tag_pbParserData) + sizeof(MSSP_ThreadParam_t));
    m_pParserData = static_cast<tag_pbParserData*>(std::calloc(1, blockSize));
    if (m_pParserData == nullptr) {
        mssp::LogErrno(this, "playback alloc parser records:");
        FatalExit();
    }
    for (int i = 0; i < MSSP_MAX_STREAMS; ++i) {
        Parser(i).EndPos = static_cast<uint32_t>(m_BufSize - 1);
        // No thread stands behind a record until StartParse fills it, so that
        // Idle and StopParse never wait for one.
        Thread(i).threadIndex = mssp::kNoThread;
    }
    std::memset(m_JumpLevel, mssp::kDefaultJumpLevel, sizeof(m_JumpLevel));

    m_pLastPts = new uint64_t[MSSP_MAX_STREAMS]();
    m_pOrder = new MsspOrder();
    m_pOrder->Reset(m_StreamNum);  // after CreateShareMemory: 0 streams without a segment

    m_tavuGrpId = tavuGrpId;
    // Atomic: other groups' reader and playback threads may be reading it now.
    mssp::StoreRelaxed(g_DeviceGroup, GetDeviceGroup());

    mssp::LogPuts(this, mssp::kLogInfo, "***********************playback mssp***********************************");
    mssp::Log(this, mssp::kLogInfo, "*  MSSP V5.0.0 Built time:%s %s\n", __DATE__, __TIME__);
    mssp::Log(this, mssp::kLogInfo, "*  MSSP:Group:%d StreamNum:%d BufSize:%d FrameNum:%d tavuGrpId:%d\n\n", group,
              streamNum, bufSize, frameNum, m_tavuGrpId);
}

void* CMultiStreamSyncParser::CreateShareMemory(const char* name, int size) {
    // The key file, in MSSP_KEY_DIR or /tmp, gets the segment's mode.
    const mode_t mode = SharedMode();
    MsspKeyFile::Open(*this, name, mode);
    const char* path = m_KeyPath;

    const key_t key = ftok(path, 'k');
    if (key == static_cast<key_t>(-1)) {
        // Every object whose key file is missing would share key -1.
        mssp::Log(this, mssp::kLogError, "playback share key file %s unusable\n", path);
        mssp::LogErrno(this, "playback alloc share mem error:");
        FatalExit();
    }
    m_Shmid = OwnSegment(key, static_cast<size_t>(size), mode);
    if (m_Shmid < 0) {
        const int err = errno;
        mssp::Log(this, mssp::kLogInfo, "playback share key=%d size=%d name=%s\n", static_cast<int>(key), size, path);
        errno = err;
        mssp::LogErrno(this, "playback alloc share mem error:");
        FatalExit();
    }

    void* mem = shmat(m_Shmid, nullptr, 0);
    if (mem == reinterpret_cast<void*>(-1)) {
        mssp::LogPuts(this, mssp::kLogError, "CreateShareMemory err@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@");
        mssp::LogErrno(this, "$$$$$$$$$$$$$$$$$$$$$$$$$sharem mememe:");
        // Without a segment the object has no streams: every operation that
        // walks or checks stream indexes finds none and touches nothing.
        m_pShareMem = nullptr;
        m_StreamNum = 0;
        return nullptr;
    }
    m_pShareMem = mem;

    auto* base = static_cast<unsigned char*>(mem);
    const int n = m_StreamNum;
    const size_t nodesPerStream = static_cast<size_t>(m_FrameNum) * mssp::kNodeSize;
    unsigned char* heads = base;
    unsigned char* cursors = base + kStreamHeadSize * n;
    unsigned char* nodes = base + (kStreamHeadSize + kCursorSize) * n;
    unsigned char* rings = nodes + nodesPerStream * n;
    for (int i = 0; i < n; ++i) {
        m_pStreamHead[i] = reinterpret_cast<MSSP_StreamHead_t*>(heads + kStreamHeadSize * i);
        m_pNodeCursor[i] = reinterpret_cast<MSSP_NodeCursor_t*>(cursors + kCursorSize * i);
        m_pFrameNode[i] = reinterpret_cast<MSSP_FrameNode_t*>(nodes + nodesPerStream * i);
        m_pStreamBuf[i] = rings + static_cast<size_t>(m_BufSize) * i;
    }

    struct shmid_ds ds;
    if (shmctl(m_Shmid, IPC_STAT, &ds) == 0 && ds.shm_nattch == 1) {
        // Alone on the segment: start from a clean one.
        std::memset(mem, 0, static_cast<size_t>(size));
        for (int i = 0; i < n; ++i) {
            MSSP_StreamHead_t* head = m_pStreamHead[i];
            head->channel = -1;
            head->parseNum = 0;
            head->getNum = 0;
            head->state = MSSP_STATUS_INIT;
            head->reserved13 = 1;
            m_pNodeCursor[i]->getIndex = 0;
            m_pNodeCursor[i]->lastIndex = -1;
        }
    }
    return m_pShareMem;
}

CMultiStreamSyncParser::~CMultiStreamSyncParser() {
    // The reader threads use this object until they end: a playback still
    // running is stopped before anything is released.
    if (mssp::LoadAcquire(m_bRunning) != 0) {
        MSSP_LOC();
        mssp::LogPuts(this, mssp::kLogError, "destroyed while playing: stopping the playback first");
        StopParse();
    }
    if (m_Shmid < 0) {
        mssp::Log(this, mssp::kLogError, "CMultiStreamSyncParser::~CMultiStreamSyncParser error, because m_Shmid=%d\n",
                  m_Shmid);
        MsspKeyFile::Close(*this);
        return;
    }
    if (m_pShareMem != nullptr) shmdt(m_pShareMem);
    // A segment whose readers run in another object or process stays filed
    // under its key: marked for removal, it would vanish from under the
    // processes that look at it, and the next object would make a new one.
    char owner[mssp::kOwnerTextSize];
    if (MsspKeyFile::HeldElsewhere(*this, owner, sizeof(owner))) {
        MSSP_LOC();
        mssp::Log(this, mssp::kLogError, "shared segment of key file %s stays: process %s runs reader threads on it\n",
                  m_KeyPath, owner);
    } else {
        shmctl(m_Shmid, IPC_RMID, nullptr);
    }
    MsspKeyFile::Close(*this);

    if (m_pParserData != nullptr) {
        for (int i = 0; i < MSSP_MAX_STREAMS; ++i) {
            std::free(Parser(i).pFrameInfo);
            std::free(Parser(i).pTempBuf);
        }
        std::free(m_pParserData);
        m_pParserData = nullptr;
    }
    delete[] m_pLastPts;
    m_pLastPts = nullptr;
    delete m_pOrder;
    m_pOrder = nullptr;
    for (MSSP_PtsAdjust_t*& adjust : m_pPtsAdjust) {
        delete adjust;
        adjust = nullptr;
    }
}

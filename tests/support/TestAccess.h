// Test-only access to the parser's private fields, and small helpers every
// test uses: a shared-memory name unique to the process, removed afterwards.
#ifndef MSSP_TEST_ACCESS_H
#define MSSP_TEST_ACCESS_H

#include <string>

#include "MultiStreamSyncParser.h"

struct MsspTestAccess {
    using P = CMultiStreamSyncParser;
    static MSSP_StreamOperation_t& Operation(P& p) { return p.m_Operation; }
    static int& StreamNum(P& p) { return p.m_StreamNum; }
    static int& FrameNum(P& p) { return p.m_FrameNum; }
    static MSSP_StreamHead_t* Head(P& p, int i) { return p.m_pStreamHead[i]; }
    static MSSP_NodeCursor_t* Cursor(P& p, int i) { return p.m_pNodeCursor[i]; }
    static MSSP_FrameNode_t* Nodes(P& p, int i) { return p.m_pFrameNode[i]; }
    static int& Shmid(P& p) { return p.m_Shmid; }
    static void* ShareMem(P& p) { return p.m_pShareMem; }
    static unsigned char* Ring(P& p, int i) { return p.m_pStreamBuf[i]; }
    static int& BufSize(P& p) { return p.m_BufSize; }
    static int& StreamFd(P& p, int type, int i) { return p.m_StreamFd[type][i]; }
    static int& CurStreamType(P& p, int i) { return p.m_CurStreamType[i]; }
    static uint8_t& WaitIFrame(P& p, int i) { return p.m_bWaitIFrame[i]; }
    static uint32_t& ChnMask(P& p) { return p.m_ChnMask; }
    static MSSP_PlayDate_t& PlayDate(P& p) { return p.m_PlayDate; }
    static uint8_t& StreamTypeBmp(P& p, int i) { return p.m_StreamTypeBmp[i]; }
    static uint16_t& OpenParam(P& p) { return p.m_OpenParam; }
    static uint8_t& OpenFlag(P& p) { return p.m_OpenFlag; }
    static uint8_t* LastTime(P& p) { return p.m_LastTime; }
    static int& Status(P& p) { return p.m_Status; }
    static uint8_t& Running(P& p) { return p.m_bRunning; }
    static int& TrickLen(P& p, int i) { return p.m_TrickLen[i]; }
    static uint8_t* StreamTime(P& p, int i) { return p.m_StreamTime[i]; }
    static int& Speed(P& p) { return p.m_Speed; }
    static MSSP_PtsAdjust_t*& PtsAdjust(P& p, int i) { return p.m_pPtsAdjust[i]; }
    static uint8_t& JumpLevel(P& p, int i) { return p.m_JumpLevel[i]; }
    static tag_pbParserData& Parser(P& p, int i) { return p.Parser(i); }
    static MSSP_ThreadParam_t& Thread(P& p, int t) { return p.Thread(t); }
    static uint64_t* LastPts(P& p) { return p.m_pLastPts; }
    static void* User(P& p) { return p.m_pUser; }
    static uint8_t& TavuGrpId(P& p) { return p.m_tavuGrpId; }
    static uint32_t& ResetCount(P& p, int i) { return p.m_ResetCount[i]; }
    static MsspOrder& Order(P& p) { return *p.m_pOrder; }
    static uint32_t HeldMask(P& p) { return p.m_HeldMask; }
    static uint32_t& ReaderWake(P& p) { return p.m_ReaderWake; }
};

namespace msspt {

// A base name for the shared-memory key that no other test process uses:
// `tag` (a few letters) and the process id, at most 20 characters.
std::string UniqueName(const char* tag);

// The key file <dir>/.<name><group> of a parser, dir being MSSP_KEY_DIR or
// /tmp, and its removal.
std::string KeyFilePath(const std::string& name, int group);
void RemoveKeyFile(const std::string& name, int group);

}  // namespace msspt

#endif  // MSSP_TEST_ACCESS_H

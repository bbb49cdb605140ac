// Test harness for driving the producer side without threads: a parser wired
// to a ScriptedHost, streams opened the way StartParse opens them, and a
// consumer stand-in that reads and releases nodes through the shared
// counters (getNum first, then getIndex, as the playback thread does).
// Single-threaded: the test thread plays reader and consumer in turn.
#ifndef MSSP_PARSER_HARNESS_H
#define MSSP_PARSER_HARNESS_H

#include <memory>
#include <string>
#include <vector>

#include "ScriptedHost.h"
#include "TestAccess.h"

namespace msspt {

// A node as the consumer met it, with the bytes it points at.
struct Delivered {
    MSSP_FrameNode_t node;
    Bytes bytes;
};

class ParserHarness {
public:
    ParserHarness(const char* tag, int streams, int bufSize, int frameNum, int group = 1);
    ~ParserHarness();
    ParserHarness(const ParserHarness&) = delete;
    ParserHarness& operator=(const ParserHarness&) = delete;

    CMultiStreamSyncParser& P() { return *parser; }
    tag_pbParserData& Pd(int i) { return MsspTestAccess::Parser(*parser, i); }
    MSSP_StreamHead_t* Head(int i) { return MsspTestAccess::Head(*parser, i); }
    unsigned char* Ring(int i) { return MsspTestAccess::Ring(*parser, i); }

    // Opens stream index i on (channel, type) through the host at `at`,
    // allocates its parser buffers and marks it reading, with the object in
    // normal play. Returns the handle.
    int Prime(int i, int channel, int type = 0, DateTime at = DateTime{});
    // Waiting frames of stream i.
    int Waiting(int i);
    // Node k of stream i and the ring bytes it points at (both pieces).
    Delivered Node(int i, int k);
    // The oldest waiting frame of stream i (does not release it).
    Delivered Oldest(int i);
    // Releases the oldest `n` frames of stream i.
    void Release(int i, int n = 1);
    // Calls ParseFrame(i) until `waiting` frames wait, the stream is over,
    // or `maxCalls` calls were made; returns the last result.
    int ParseUntilWaiting(int i, int waiting, int maxCalls = 2000);
    // Parses and consumes stream i until it is over (or ParseFrame made no
    // progress `maxIdle` times in a row with nothing waiting), returning the
    // frames in order.
    std::vector<Delivered> DrainAll(int i, int maxIdle = 3, int maxCalls = 100000);

    ScriptedHost host;
    MSSP_StreamOperation_t ops;
    std::string name;
    int group;
    std::unique_ptr<CMultiStreamSyncParser> parser;
};

// Bytes of `packs` whose type is in the given set, in order.
std::vector<PackInfo> PacksOfTypes(const std::vector<PackInfo>& packs, std::vector<int> types);

}  // namespace msspt

#endif  // MSSP_PARSER_HARNESS_H

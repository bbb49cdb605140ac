// Recording player (mssp-play): plays a recording group through
// CMultiStreamSyncParser the way the recorder's playback service does. It
// opens the group with the recording store, starts the parser on a channel
// set, takes every frame with GetFrame on one thread, paces it in real time
// (or not at all), carries out a schedule of control operations (trick play,
// seek, stream-type and channel switches, frame-jump levels) at given points
// of the run, and counts what came out per channel. It shows each frame at
// its timestamp, or (--present-by time) at its recorded time of day, which
// keeps channels recorded by different clocks in step; it reports how far
// apart the channels are after each operation and can draw the timeline.
//
// Threads: Play runs the host's playback and control side on the calling
// thread: control operations are issued between frames, after the frame in
// hand has been released, so a reset never waits for a held frame. The
// parser's reader threads fill the rings meanwhile.
//
// The store and the engine are reached through the host layer (mssphost),
// which links against whichever CMultiStreamSyncParser the program links
// (the shared library for mssp-play, the internal archive in tests).
#ifndef MSSP_PLAYER_H
#define MSSP_PLAYER_H

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "MsspHost.h"
#include "RecCommon.h"

namespace player {

using recstore::DateTime;
// Shared with every host of the engine: the play modes, the parser's shared
// memory (key file, removal, unique names) and channel sets.
using Mode = mssphost::Mode;
using mssphost::KeyFilePath;
using mssphost::kPlaybackGroup;
using mssphost::ParseChannelSet;
using mssphost::RemoveSharedMemory;
using mssphost::UniqueShmName;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the recording or the playback went wrong
constexpr int kExitUsage = 2;    // bad arguments

// A point of the run: milliseconds of playback time, or a count of
// delivered frames (all channels together).
struct Point {
    bool frames = false;
    uint64_t value = 0;
};

// A date and time given on the command line, resolved when it is used
// against the current position (the date and time of the last delivered
// frame) or, before any frame, against the start.
struct TimeSpec {
    enum Kind { kCurrent, kTimeOfDay, kDateTime, kRelative } kind = kCurrent;
    DateTime dt{};        // kDateTime; kTimeOfDay uses bytes 3..5
    int64_t seconds = 0;  // kRelative
};

struct Action {
    enum Kind { kPlay, kFastForward, kFastBackward, kSeek, kSwitchTypeAll, kSwitchType, kChannels, kJump, kStop };
    Point at;
    Kind kind = kPlay;
    int speed = 1;          // trick play
    TimeSpec time;          // play / ff / fb / seek
    int streamType = 0;     // switch-type
    uint32_t mask = 0;      // switch-type with channels, channels
    int channel = 0;        // jump
    int level = 14;         // jump
    std::string text;       // as given, for messages
    std::string note;       // explanation printed with it (the demo's)
};

// What to play and the engine's tuning are the host layer's options
// (group, channels, stream type, ring, nodes, streams per thread, parser
// streams, converted timestamps, shared-memory name, device group); the
// rest is the player's. The parser's stream count, when not given, is the
// largest channel set of the run (the start's or a channels action's).
struct Options : mssphost::Options {
    TimeSpec start;              // kCurrent: the recording's start (its end when playing backward)
    int64_t segment = -1;        // start at this segment (by segment id) instead
    int segmentChannel = -1;     // channel of that segment id (-1: the first played channel)
    bool realtime = true;        // false: as fast as possible
    Mode mode = Mode::kPlay;     // how the run begins
    int speed = 1;               // trick-play speed of that mode
    std::vector<Action> actions; // in order of their points
    double durationSec = 0;      // stop after this much playback time (0: no limit)
    uint64_t maxFrames = 0;      // stop after this many frames (0: no limit)
    std::string timelinePath;    // JSON lines, one per shown frame and one per operation
    std::string plotPath;        // PNG picture of the timeline (gnuplot); "" none
    bool presentByTime = false;  // present each frame at its recorded time of day, not its timestamp
    std::string outDir;          // chNN.es / chNN.audio per channel
    double stallSec = 5;         // no frame for this long while streams are live: an error
    int progress = -1;           // 1 lines every second, 0 none, -1 when standard error is a terminal
    bool events = false;         // a report line for each new segment or timestamp jump in normal play
    std::string libraryLog;      // the library's diagnostics ("" discarded, "-" left on standard output)
    bool demo = false;
    bool help = false;
};

// Parses the arguments after the program name. False with the reason.
bool ParseArgs(const std::vector<std::string>& args, Options* options, std::string* error);

// The --help text.
std::string HelpText();

// Parsers of single values, for the arguments and the tests.
bool ParsePoint(const std::string& text, Point* point);
bool ParseAction(const std::string& text, Action* action, std::string* error);

struct ChannelStats {
    int channel = 0;
    uint32_t typesSeen = 0;        // bit t: frames of stream type t delivered
    uint64_t byType[4] = {0, 0, 0, 0};  // I, P, audio, other
    uint64_t dropped = 0;          // video frames missing in normal play
    uint64_t zeroTimestamp = 0;    // of those, dropped by the engine for a timestamp of 0 and after it
    uint64_t skipped = 0;          // video frames left out by a frame-jump level
    uint64_t discontinuities = 0;  // frames flagged (new segment or timestamp jump)
    uint64_t orderViolations = 0;  // frames against the expected order
    uint64_t bytes = 0;            // pack bytes delivered
    bool hasTime = false;
    DateTime firstTime{}, lastTime{};
    bool hasPts = false;
    uint64_t firstPts = 0, lastPts = 0;  // as delivered (converted when converting)
    uint64_t Frames() const { return byType[0] + byType[1] + byType[2] + byType[3]; }
};

// How well the channels kept step after one operation (the run's start
// counts as one): the time until every played channel had shown a frame
// after it, and from then on until the next operation the largest
// difference of recorded time between the channels' most recent frames.
struct StepStats {
    std::string operation;  // "start", or the action as given
    double atMs = 0;        // playback time of the operation
    uint32_t missing = 0;   // channels that showed no frame after it (yet)
    bool settled = false;   // every played channel showed one
    double settleMs = 0;    // playback time from the operation until then
    int64_t spreadMs = 0;   // largest spread of recorded time once settled
};

struct Result {
    int status = kExitOk;
    uint64_t frames = 0;
    double clockMs = 0;  // playback time reached
    double wallMs = 0;
    std::vector<ChannelStats> channels;  // ascending channel numbers, every channel ever played
    std::vector<StepStats> steps;        // per operation, in order
    uint64_t unpresented = 0;  // delivered frames still waiting for their instant at an operation or the end
    std::vector<std::string> errors;     // what made the status non-zero
    bool stalled = false;
    bool interrupted = false;
    const ChannelStats* Find(int channel) const;
};

// Where the player writes: `out` its report (header, actions, summary),
// `err` errors, warnings and progress lines. `stop`, when given, ends the
// run cleanly once it becomes non-zero (a signal handler sets it).
struct Output {
    FILE* out = stdout;
    FILE* err = stderr;
    FILE* progress = nullptr;  // progress lines (null: `err`)
    const volatile sig_atomic_t* stop = nullptr;
};

// Plays the group. Returns the exit status (also in result->status).
int Play(const Options& options, const Output& output, Result* result);

// Prints the summary of a result: the table per channel, then the step report.
void PrintSummary(FILE* out, const Result& result);
// Prints the step report alone.
void PrintSteps(FILE* out, const Result& result);

// The built-in demonstration: writes a sample group into a temporary
// folder, plays a short scripted session, prints the summary and removes
// the folder. `base` supplies the shared-memory name and library options.
int RunDemo(const Options& base, const Output& output);

}  // namespace player

#endif  // MSSP_PLAYER_H

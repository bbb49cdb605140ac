// Recording player: one run. Opens the group and starts the engine on the
// channel set through the host layer (mssphost::Session), takes frames in
// the engine's order, counts and checks them per channel in delivery order,
// shows them (paces, reports, writes) at their timestamps or, held in a
// queue, at their recorded times, carries out the schedule between frames
// (after the frame in hand is released), measures the step of the channels
// after each operation and draws the timeline. Runs on the caller's
// thread; the parser's reader threads fill the rings meanwhile.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "HostPresent.h"
#include "MsspHost.h"
#include "PackScan.h"
#include "Player.h"
#include "Presentation.h"
#include "Ranges.h"
#include "RecStore.h"
#include "RecWriter.h"

namespace player {
namespace {

using mssphost::ChannelAtIndex;
using mssphost::ChannelList;
using mssphost::kFlagNewOrJump;
using mssphost::kTopJumpLevel;
using mssphost::StreamIndexOf;
using recstore::PackFormat;

constexpr double kMaxSteadyStepMs = 2500;    // a larger timestamp step is a jump (the engine's threshold)
constexpr double kDefaultStepMs = 40;        // clock step across a jump before any steady step was seen
constexpr useconds_t kPollUs = 2000;         // wait between GetFrame calls that delivered nothing
constexpr double kLateResyncMs = 1000;       // pacing gives up catching up beyond this
constexpr double kProgressEveryMs = 1000;
constexpr double kMaxSleepSliceMs = 50;      // pacing sleeps in slices, to notice a stop request
constexpr size_t kSynthTagLen = 16;          // "MSYN", channel, type, frame type, 0, u32 number, u32 pts
constexpr int kProgressChannels = 8;         // channels named on a progress line
constexpr int kProgressPtsChannels = 4;      // up to this many channels, their timestamps too
constexpr double kPlotStepMs = 100;          // one picture point per channel and this much playback time

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

const char* ModeName(Mode m) {
    switch (m) {
        case Mode::kPlay: return "play";
        case Mode::kFastForward: return "ff";
        default: return "fb";
    }
}

char TypeLetter(int type) { return "IPAO"[type & 3]; }

// A JSON string literal of `text`.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return out + "\"";
}

std::string Hms(const DateTime& t) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%02u:%02u:%02u", t[3], t[4], t[5]);
    return buf;
}

// Per channel, what the order and drop checks compare with; reset at every
// control action, since the engine repositions then.
struct Track {
    bool havePts = false;
    uint64_t lastPts = 0;
    bool haveSeq = false;  // synthetic frame numbers
    uint8_t seqType = 0;
    uint32_t lastSeq = 0;
    bool videoSeen = false;     // a video frame was delivered since the reset
    bool haveVideoPts = false;  // recorded timestamps of video frames
    uint64_t lastVideoPts = 0;
    uint64_t minStep = 0;
};

// What the presentation side keeps per channel since the last operation.
struct ShownState {
    bool any = false;         // a frame was shown since the operation
    int64_t recordedMs = -1;  // recorded time of the latest one (-1 unknown)
    bool hasTime = false;
    DateTime time{};
    uint64_t pts = 0;
    double plotClockMs = -1;  // playback time of the channel's latest plot point
    bool eventPending = false;  // a new segment or jump that has not moved the recorded time yet
};

class Playback {
public:
    Playback(const Options& o, const Output& out, Result* r) : o_(o), out_(out), r_(*r) {}
    ~Playback() { Shutdown(); }
    int Run();

private:
    struct Frame {
        int index;
        int channel;
        int type;
        uint64_t pts;
        uint32_t flags;
        int pieces;
    };
    // A delivered frame on its way to being shown.
    struct Shown {
        Frame f;
        uint64_t n;           // delivery number
        int streamType;
        int64_t seq;          // synthetic frame number, -1 none
        bool orderOk;
        bool decoded;         // the pack header could be read
        bool hasPackPts;
        uint64_t packPts;     // the pack's own timestamp
        bool hasTime;
        DateTime time;        // the pack's own date and time
        size_t payloadOff, payloadLen;
        int64_t recordedMs;   // -1 unknown
        std::vector<uint8_t> pack;
    };

    bool Fail(int status, const std::string& message);
    void Warn(const std::string& message);
    bool OpenSession();
    bool ResolveStart();
    bool OpenOutputs();
    bool StartEngine();
    void CheckOpened(uint32_t mask, const char* when);
    void ReportFailedOpens(uint32_t failed, uint32_t channels, const char* when);
    void Loop();
    bool PopNext(bool any, Action* out);
    bool RunDue();
    bool Execute(const Action& a);
    std::string SwitchChannels(const Action& a, const DateTime& when, int* result);
    void Operation(const std::string& name, const std::string& what, const int* result, bool measure);
    void Deliver(const mssphost::Frame& taken);
    void CheckDrops(const Frame& f, ChannelStats& st, Track& tr, int streamType, const recstore::PackHeader* h,
                    const uint8_t* payload, size_t payloadLen);
    void Present(const Shown& s);
    bool PresentNext();
    bool PresentFrom(uint32_t live, bool passedOnly);
    void FlushQueue();
    void DropQueue();
    void AdvanceClock(int channel, uint64_t key, bool flagged);
    void SayNotes();
    void Pace();
    void Progress(bool force);
    void Timeline(const Shown& s);
    void WritePayload(int channel, bool audio, const uint8_t* data, size_t len);
    void DrawPlot();
    void ResetTracks();
    DateTime Position() const { return haveShown_ ? shown_ : start_; }
    DateTime Resolve(const TimeSpec& t) const;
    ChannelStats& Stats(int channel);
    double Clock() const { return clockMs_; }
    Mode CurMode() const { return s_->CurrentMode(); }
    int CurSpeed() const { return s_->CurrentSpeed(); }
    uint32_t Mask() const { return s_->Mask(); }
    bool Backward() const { return CurMode() == Mode::kFastBackward; }
    void Say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Shutdown();
    bool Stopping() const { return out_.stop && *out_.stop; }

    const Options& o_;
    const Output& out_;
    Result& r_;

    // The store, the engine, the played channels, the play mode.
    std::unique_ptr<mssphost::Session> s_;
    DateTime start_{};
    bool fromBeginning_ = false;  // the engine opens every channel at its first I-frame
    int level_[MSSP_MAX_STREAMS] = {};     // frame-jump level of each stream index

    std::map<int, ChannelStats> stats_;
    std::map<int, Track> tracks_;
    bool haveGlobal_ = false;
    uint64_t globalPts_ = 0;
    bool haveShown_ = false;
    DateTime shown_{};

    // Presentation: the host layer's stage learns each frame's recorded
    // time and, by recorded time, holds the frames until no frame still to
    // come can be recorded earlier; by timestamp, it passes each on at once.
    mssphost::Presentation<Shown> stage_;
    StepTracker steps_;
    std::map<int, ShownState> showing_;
    std::vector<PlotPoint> plot_;
    std::vector<PlotLabel> labels_;
    int operations_ = 0;

    double clockMs_ = 0;
    bool clockAnchored_ = false;
    uint64_t clockKey_ = 0;
    uint32_t jumpPending_ = 0;  // channels whose new segment or jump has not moved the clock yet
    double lastAdvance_ = 0;
    double startWall_ = 0, anchorWall_ = 0, anchorClock_ = 0, nextProgress_ = 0;
    bool progress_ = false;

    std::deque<std::pair<size_t, Action>> timeActions_, frameActions_;  // (order given, action)

    FILE* timeline_ = nullptr;
    std::map<std::pair<int, bool>, FILE*> outFiles_;
    bool outFailed_ = false;
    std::vector<uint8_t> scratch_;
};

void Playback::Say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(out_.out, fmt, ap);
    va_end(ap);
    std::fflush(out_.out);
}

bool Playback::Fail(int status, const std::string& message) {
    std::fprintf(out_.err, "mssp-play: %s\n", message.c_str());
    std::fflush(out_.err);
    r_.errors.push_back(message);
    if (r_.status == kExitOk || status == kExitUsage) r_.status = status;
    return false;
}

void Playback::Warn(const std::string& message) {
    std::fprintf(out_.err, "mssp-play: warning: %s\n", message.c_str());
    std::fflush(out_.err);
}

ChannelStats& Playback::Stats(int channel) {
    auto it = stats_.find(channel);
    if (it == stats_.end()) {
        it = stats_.emplace(channel, ChannelStats{}).first;
        it->second.channel = channel;
    }
    return it->second;
}

bool Playback::OpenSession() {
    mssphost::Options so = o_;
    for (const Action& a : o_.actions) {
        if (a.kind == Action::kChannels) so.reserveStreams = std::max(so.reserveStreams, std::popcount(a.mask));
    }
    so.everyChannel = false;  // a channel that cannot be opened is reported, the others play
    so.shmPrefix = "msspplay";
    std::string error;
    mssphost::OpenFailure why;
    s_ = mssphost::Session::Open(so, &error, &why);
    if (!s_) {
        if (why.kind != mssphost::OpenFailure::kChannels) return Fail(kExitFailure, error);
        const std::string type = "stream type " + std::to_string(o_.streamType);
        if (why.recorded == 0) return Fail(kExitFailure, o_.groupDir + " holds no recording of " + type);
        return Fail(kExitUsage, "channel(s) " + ChannelList(why.unrecorded) + " have no recording of " + type +
                                    " in " + o_.groupDir + " (recorded: " + ChannelList(why.recorded) + ")");
    }
    if (s_->LeftOut())
        Warn("only the first " + std::to_string(s_->StreamCount()) + " channels are played (--streams)");
    std::fill(std::begin(level_), std::end(level_), kTopJumpLevel);
    for (int c = 0; c < 32; ++c) {
        if (Mask() >> c & 1) Stats(c);
    }
    if (s_->ForeignSegments() > 0)
        Warn("device group " + std::to_string(s_->DeviceGroup()) + " reads " + recstore::FormatName(s_->Format()) +
             "-format packs, but " + std::to_string(s_->ForeignSegments()) +
             " segment(s) of the played channels are in the " + (s_->Format() == PackFormat::kOld ? "new" : "old") +
             " format: they will not play");
    return true;
}

bool Playback::ResolveStart() {
    if (o_.segment >= 0) {
        const int ch = o_.segmentChannel >= 0 ? o_.segmentChannel : ChannelAtIndex(Mask(), 0);
        if (!s_->SegmentStart(ch, static_cast<uint32_t>(o_.segment), &start_))
            return Fail(kExitFailure, "segment " + std::to_string(o_.segment) + " of channel " + std::to_string(ch) +
                                          " stream type " + std::to_string(o_.streamType) + " cannot be played");
        return true;
    }
    const bool backward = o_.mode == Mode::kFastBackward;
    DateTime earliest{}, latest{};
    if (!s_->RecordedSpan(&earliest, &latest))
        return Fail(kExitFailure, "no played channel of " + o_.groupDir + " has a usable segment");
    switch (o_.start.kind) {
        case TimeSpec::kCurrent:
            start_ = backward ? latest : earliest;
            fromBeginning_ = !backward;
            break;
        case TimeSpec::kTimeOfDay:
            start_ = earliest;
            std::copy(o_.start.dt.begin() + 3, o_.start.dt.end(), start_.begin() + 3);
            break;
        default: start_ = o_.start.dt; break;
    }
    return true;
}

bool Playback::OpenOutputs() {
    std::string error;
    if (!o_.outDir.empty() && !recstore::MakeDirs(o_.outDir, &error))
        return Fail(kExitFailure, "cannot create " + o_.outDir + ": " + error);
    if (!o_.timelinePath.empty()) {
        timeline_ = std::fopen(o_.timelinePath.c_str(), "w");
        if (!timeline_) return Fail(kExitFailure, "cannot write " + o_.timelinePath + ": " + std::strerror(errno));
    }
    if (!o_.plotPath.empty()) {  // found out now rather than after the run
        FILE* f = std::fopen(o_.plotPath.c_str(), "wb");
        if (!f) return Fail(kExitFailure, "cannot write " + o_.plotPath + ": " + std::strerror(errno));
        std::fclose(f);
    }
    return true;
}

// Reports the channels (of those played) whose stream could not be opened.
void Playback::CheckOpened(uint32_t channels, const char* when) {
    // The store remembers the channels whose open failed; asking the engine
    // instead (GetChnStatusEx 0) would also count a short stream that the
    // reader threads already played to its end.
    ReportFailedOpens(s_->FailedChannels(), channels, when);
}

bool Playback::StartEngine() {
    int r;
    if (o_.segment >= 0) {
        const int ch = o_.segmentChannel >= 0 ? o_.segmentChannel : ChannelAtIndex(Mask(), 0);
        r = s_->StartAtSegment(ch, static_cast<uint32_t>(o_.segment));
    } else {
        r = fromBeginning_ ? s_->StartFromBeginning() : s_->StartAt(start_);
    }
    Operation("start", "play channel(s) " + ChannelList(Mask()) + " from " + recstore::FormatDateTime(start_), &r,
              r == 0);
    if (r != 0) {
        // The engine's own line went to the library log: say here when
        // another process's engine plays on the same shared memory.
        const long owner = mssphost::KeyFileOwner(s_->ShmName(), kPlaybackGroup);
        if (owner != 0)
            return Fail(kExitFailure, "shared memory " + s_->ShmName() + " is in use by the engine of process " +
                                          (owner > 0 ? std::to_string(owner) : std::string("unknown")) +
                                          ": another --shm-name, or stop that one first");
        return Fail(kExitFailure, "the engine could not start (StartParse " + std::to_string(r) + ")");
    }
    CheckOpened(Mask(), ("at " + recstore::FormatDateTime(start_)).c_str());
    bool any = false;
    for (int k = 0; k < std::popcount(Mask()); ++k) any |= s_->StreamStatus(k) != 0;
    if (!any) return Fail(kExitFailure, "no channel could be played at " + recstore::FormatDateTime(start_));
    // From the start position itself: the readers have read on from it already.
    if (o_.mode != Mode::kPlay) s_->TrickFrom(o_.mode, o_.speed, start_);
    return true;
}

DateTime Playback::Resolve(const TimeSpec& t) const {
    const DateTime pos = Position();
    DateTime d = pos;
    switch (t.kind) {
        case TimeSpec::kCurrent: break;
        case TimeSpec::kTimeOfDay: std::copy(t.dt.begin() + 3, t.dt.end(), d.begin() + 3); break;
        case TimeSpec::kDateTime: d = t.dt; break;
        case TimeSpec::kRelative: d = recstore::SecondsToDateTime(recstore::DateTimeToSeconds(pos) + t.seconds); break;
    }
    return d;
}

void Playback::ResetTracks() {
    tracks_.clear();
    haveGlobal_ = false;
    clockAnchored_ = false;
    showing_.clear();
    stage_.Reposition(Backward());
}

// Reports channels whose open failed: `failed` bit n = channel n.
void Playback::ReportFailedOpens(uint32_t failed, uint32_t channels, const char* when) {
    for (int c = 0; c < 32; ++c) {
        const int k = (channels >> c & 1) ? StreamIndexOf(Mask(), c) : -1;
        if (k < 0 || k >= s_->StreamCount()) continue;
        if (failed & (1u << c))
            Fail(kExitFailure, "channel " + std::to_string(c) + " stream type " + std::to_string(s_->StreamTypeOf(k)) +
                                   " could not be played " + when);
    }
}

// The stream-type switch of some channels. The engine leaves alone a
// channel that has the type already, refuses one whose stream of the new
// type it still holds open (a switch of all channels keeps the old type's
// streams open), and stops at the first channel it refuses or that is not
// played; the host layer tells which channels it reopened.
std::string Playback::SwitchChannels(const Action& a, const DateTime& when, int* result) {
    const mssphost::Session::Switched sw = s_->SwitchStreamTypeOf(a.mask, a.streamType, when);
    *result = sw.result;
    uint32_t switched = 0, already = 0;
    std::string stop;
    for (int c = 0; c < 32 && stop.empty(); ++c) {
        if (!(a.mask >> c & 1)) continue;
        const int k = StreamIndexOf(Mask(), c);
        if (k < 0 || k >= s_->StreamCount()) {
            stop = "channel " + std::to_string(c) + " is not played: the switch stopped there";
        } else if ((sw.opened | sw.failed) >> c & 1) {
            switched |= (sw.opened >> c & 1) << c;
        } else if (s_->StreamTypeOf(k) == a.streamType) {
            already |= 1u << c;
        } else {
            stop = "the engine refused channel " + std::to_string(c) + ": it still holds the channel's type-" +
                   std::to_string(a.streamType) +
                   " stream open (a switch of all channels leaves the old type's streams open; switch all "
                   "channels back instead), and stopped there";
        }
    }
    const std::string type = "stream type " + std::to_string(a.streamType);
    std::string what = switched ? type + " for channel(s) " + ChannelList(switched) + " from " +
                                      recstore::FormatDateTime(when)
                                : type + " for channel(s) " + ChannelList(a.mask) + ": no channel switched";
    if (already) what += "; channel(s) " + ChannelList(already) + " had it already";
    if (!stop.empty()) what += "; " + stop;
    ReportFailedOpens(sw.failed, a.mask, ("after " + a.text).c_str());
    return what;
}

// Records an operation: a timeline line, a label of the picture and,
// unless it ends the run, a new entry of the step report.
void Playback::Operation(const std::string& name, const std::string& what, const int* result, bool measure) {
    if (timeline_) {
        char res[16] = "null";
        if (result) std::snprintf(res, sizeof(res), "%d", *result);
        std::fprintf(timeline_,
                     "{\"op\":%d,\"clock_ms\":%.1f,\"wall_ms\":%.1f,\"action\":%s,\"what\":%s,\"result\":%s}\n",
                     operations_, Clock(), NowMs() - startWall_, JsonString(name).c_str(),
                     JsonString(what).c_str(), res);
    }
    ++operations_;
    const size_t colon = name.find(':');  // the label leaves out the point ("2s:")
    if (!o_.plotPath.empty() && operations_ > 1)  // the start needs no label
        labels_.push_back(PlotLabel{Clock(), colon == std::string::npos ? name : name.substr(colon + 1)});
    if (measure) steps_.Begin(name, Clock(), Mask());
}

bool Playback::Execute(const Action& a) {
    // Frames still waiting for their instant belong to the position left.
    if (a.kind != Action::kJump) DropQueue();
    // The engine repositions the streams on every action but a level change.
    if (a.kind != Action::kJump && a.kind != Action::kStop) ResetTracks();
    const DateTime when = Resolve(a.time);
    std::string what;
    int result = 0;
    bool called = true;  // `result` holds an engine call's answer
    bool go = true;
    switch (a.kind) {
        case Action::kPlay:
            if (CurMode() != Mode::kPlay) {
                result = s_->PlayFrom(when);
                what = "normal play from " + Hms(when);
            } else if (a.time.kind != TimeSpec::kCurrent) {
                result = s_->SeekTo(when);
                what = "normal play, repositioned at " + recstore::FormatDateTime(when);
            } else {
                called = false;
                what = "normal play (already playing)";
            }
            break;
        case Action::kFastForward:
        case Action::kFastBackward: {
            const bool ff = a.kind == Action::kFastForward;
            result = s_->TrickFrom(ff ? Mode::kFastForward : Mode::kFastBackward, a.speed, when);
            if (result != 0) Warn("the engine refused " + a.text + " (playback not running)");
            const char* step = a.speed <= 4 ? "every I-frame" : a.speed == 8 ? "every 2nd I-frame"
                                                            : a.speed == 16 ? "every 4th I-frame"
                                                                            : "every 8th I-frame";
            what = std::string(ff ? "fast forward" : "fast backward") + " x" + std::to_string(a.speed) + " from " +
                   Hms(when) + " (" + step + ")";
            break;
        }
        case Action::kSeek:
            result = s_->SeekTo(when);
            what = "seek to " + recstore::FormatDateTime(when);
            break;
        case Action::kSwitchTypeAll: {
            bool done = false;
            result = s_->SwitchStreamTypeAt(a.streamType, when, &done);
            what = "stream type " + std::to_string(a.streamType) +
                   (done ? " for all channels from " + recstore::FormatDateTime(when)
                         : " for all channels: nothing done, a stream has that type already");
            CheckOpened(Mask(), ("after " + a.text).c_str());
            break;
        }
        case Action::kSwitchType:
            what = SwitchChannels(a, when, &result);
            break;
        case Action::kChannels: {
            result = s_->SwitchChannelsAt(a.mask, when);
            if (Mask() != a.mask) Warn("only " + std::to_string(s_->StreamCount()) + " channels can be played at once");
            for (int c = 0; c < 32; ++c) {
                if (Mask() >> c & 1) Stats(c);
            }
            what = "play channel(s) " + ChannelList(Mask()) + " from " + recstore::FormatDateTime(when);
            CheckOpened(Mask(), ("after " + a.text).c_str());
            break;
        }
        case Action::kJump: {
            const int k = StreamIndexOf(Mask(), a.channel);
            if (k < 0) {
                Warn("jump: channel " + std::to_string(a.channel) + " is not played; nothing done");
                what = "frame-jump level of channel " + std::to_string(a.channel) + ": not played";
                called = false;
                break;
            }
            result = s_->SetJumpLevel(a.channel, a.level);
            level_[k] = a.level;
            what = "frame-jump level " + std::to_string(a.level) + " for channel " + std::to_string(a.channel) +
                   (result == 255 ? " (resulting frame rate not known yet)" : " (" + std::to_string(result) + " fps)");
            break;
        }
        case Action::kStop:
            what = "stop";
            called = false;
            go = false;
            break;
    }
    Say("[%8.2f s] %s\n", Clock() / 1000.0, what.c_str());
    if (!a.note.empty()) Say("             %s\n", a.note.c_str());
    Operation(a.text, what, called ? &result : nullptr, go);
    return go;
}

// Takes the next scheduled action off its queue: only one whose point has
// come, unless `any`. When both queues offer one, the one given first wins.
bool Playback::PopNext(bool any, Action* out) {
    const bool timeReady =
        !timeActions_.empty() && (any || static_cast<double>(timeActions_.front().second.at.value) <= Clock());
    const bool frameReady = !frameActions_.empty() && (any || frameActions_.front().second.at.value <= r_.frames);
    if (!timeReady && !frameReady) return false;
    const bool fromTime = timeReady && (!frameReady || timeActions_.front().first < frameActions_.front().first);
    auto& queue = fromTime ? timeActions_ : frameActions_;
    *out = queue.front().second;
    queue.pop_front();
    return true;
}

// Runs every action whose point has come. False when one of them stops the run.
bool Playback::RunDue() {
    Action a;
    while (PopNext(false, &a)) {
        if (!Execute(a)) return false;
    }
    return true;
}

// Playback time follows the shown frames' timestamps (their recorded times,
// when presenting by time) in the direction of play, divided by the speed
// in trick play. A jump, or the first frame of a new segment (a recording
// pause), counts as one frame step. A flagged frame that does not move the
// clock leaves that step to its channel's next frame that does: an
// old-format audio pack carries the timestamp of the pack before it, so the
// first frame of a new segment there still has the old segment's timestamp
// and the pause shows at the video frame after it.
// A key beyond any clock (damaged data) leaves the clock where it is.
void Playback::AdvanceClock(int channel, uint64_t key, bool flagged) {
    const uint32_t bit = channel >= 0 && channel < 32 ? 1u << channel : 0;
    if (key > mssphost::kMaxTimestampMs) return;
    if (!clockAnchored_) {
        clockAnchored_ = true;
        clockKey_ = key;
        jumpPending_ = 0;
        return;
    }
    const bool play = CurMode() == Mode::kPlay;
    const uint64_t d = Backward() ? (clockKey_ > key ? clockKey_ - key : 0) : (key > clockKey_ ? key - clockKey_ : 0);
    if (d == 0) {  // ties and steps against the direction do not move the clock
        if (flagged && play) jumpPending_ |= bit;
        return;
    }
    const bool pending = (jumpPending_ & bit) != 0;
    jumpPending_ &= ~bit;
    clockKey_ = key;
    const double div = play ? 1.0 : static_cast<double>(CurSpeed());
    // In trick play every frame is a jump for the engine's flag; only the size counts there.
    if (((flagged || pending) && play) || static_cast<double>(d) > kMaxSteadyStepMs * div) {
        clockMs_ += lastAdvance_ > 0 ? lastAdvance_ : kDefaultStepMs;
        return;
    }
    lastAdvance_ = static_cast<double>(d) / div;
    clockMs_ += lastAdvance_;
}

void Playback::Pace() {
    if (!o_.realtime) return;
    for (;;) {
        const double now = NowMs();
        const double target = anchorWall_ + (clockMs_ - anchorClock_);
        if (now - target > kLateResyncMs) {  // far behind (waiting for data): pace from here on
            anchorWall_ = now;
            anchorClock_ = clockMs_;
            return;
        }
        if (target <= now || Stopping()) return;
        usleep(static_cast<useconds_t>(std::min(target - now, kMaxSleepSliceMs) * 1000));
    }
}

// One line: per played channel the recorded time (with milliseconds when
// known) of the latest frame shown since the last operation, "--:--:--"
// while the channel has shown none since then.
void Playback::Progress(bool force) {
    if (!progress_) return;
    const double now = NowMs();
    if (!force && now < nextProgress_) return;
    nextProgress_ = now + kProgressEveryMs;
    FILE* f = out_.progress ? out_.progress : out_.err;
    std::string line;
    char buf[96];
    std::snprintf(buf, sizeof(buf), "  %7.1f s  %-4s x%-2d frames %7" PRIu64 " ", Clock() / 1000.0, ModeName(CurMode()),
                  CurSpeed(), r_.frames);
    line = buf;
    int shown = 0;
    for (int c = 0; c < 32; ++c) {
        if (!(Mask() >> c & 1)) continue;
        if (++shown > kProgressChannels) {
            line += " ...";
            break;
        }
        const auto it = showing_.find(c);
        const ShownState* sh = it == showing_.end() || !it->second.any ? nullptr : &it->second;
        std::string when = "--:--:--";
        if (sh && sh->recordedMs >= 0) {
            when = Hms(recstore::SecondsToDateTime(sh->recordedMs / 1000));
            std::snprintf(buf, sizeof(buf), ".%03d", static_cast<int>(sh->recordedMs % 1000));
            when += buf;
        } else if (sh && sh->hasTime) {
            when = Hms(sh->time);
        }
        line += " ch" + std::to_string(c) + " " + when;
        if (sh && std::popcount(Mask()) <= kProgressPtsChannels) {
            std::snprintf(buf, sizeof(buf), " @%" PRIu64, sh->pts);
            line += buf;
        }
    }
    std::fprintf(f, "%s\n", line.c_str());
    std::fflush(f);
}

void Playback::WritePayload(int channel, bool audio, const uint8_t* data, size_t len) {
    if (o_.outDir.empty() || outFailed_ || len == 0) return;
    FILE*& file = outFiles_[{channel, audio}];
    if (!file) {
        char name[32];
        std::snprintf(name, sizeof(name), "/ch%02d.%s", channel, audio ? "audio" : "es");
        const std::string path = o_.outDir + name;
        file = std::fopen(path.c_str(), "wb");
        if (!file) {
            outFailed_ = true;
            Fail(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
            return;
        }
    }
    if (std::fwrite(data, 1, len, file) != len) {
        outFailed_ = true;
        Fail(kExitFailure, "cannot write into " + o_.outDir + ": " + std::strerror(errno));
    }
}

void Playback::Timeline(const Shown& s) {
    if (!timeline_) return;
    char packPts[24] = "null", time[32] = "null", seqText[24] = "null", rec[24] = "null";
    if (s.hasPackPts) std::snprintf(packPts, sizeof(packPts), "%" PRIu64, s.packPts);
    if (s.hasTime) std::snprintf(time, sizeof(time), "\"%s\"", recstore::FormatDateTime(s.time).c_str());
    if (s.seq >= 0) std::snprintf(seqText, sizeof(seqText), "%" PRId64, s.seq);
    if (s.recordedMs >= 0) std::snprintf(rec, sizeof(rec), "%" PRId64, s.recordedMs);
    const Frame& f = s.f;
    std::fprintf(timeline_,
                 "{\"n\":%" PRIu64 ",\"clock_ms\":%.1f,\"wall_ms\":%.1f,\"channel\":%d,\"stream\":%d,"
                 "\"stream_type\":%d,\"type\":\"%c\",\"pts\":%" PRIu64 ",\"pack_pts\":%s,\"time\":%s,\"rec_ms\":%s,"
                 "\"flags\":%u,\"bytes\":%zu,\"pieces\":%d,\"mode\":\"%s\",\"speed\":%d,\"seq\":%s,\"order_ok\":%s}\n",
                 s.n, Clock(), NowMs() - startWall_, f.channel, f.index, s.streamType, TypeLetter(f.type), f.pts,
                 packPts, time, rec, f.flags, s.pack.size(), f.pieces, ModeName(CurMode()), CurSpeed(), seqText,
                 s.orderOk ? "true" : "false");
}

// Video frames missing between two delivered ones in normal play: by the
// synthetic frame number when the payload carries one, else by the gap in
// recorded timestamps against the frame interval.
void Playback::CheckDrops(const Frame& f, ChannelStats& st, Track& tr, int streamType, const recstore::PackHeader* h,
                         const uint8_t* payload, size_t payloadLen) {
    if (CurMode() != Mode::kPlay || (f.type != MSSP_FRAME_I && f.type != MSSP_FRAME_P)) return;
    // Every positioning starts at an I-frame: a P-frame first means it was lost.
    uint64_t missing = !tr.videoSeen && f.type == MSSP_FRAME_P ? 1 : 0;
    tr.videoSeen = true;
    if (payloadLen >= kSynthTagLen && std::memcmp(payload, "MSYN", 4) == 0) {
        const uint32_t seq = recstore::Le32(payload + 8);
        if (tr.haveSeq && tr.seqType == streamType && seq > tr.lastSeq + 1) missing += seq - tr.lastSeq - 1;
        tr.haveSeq = true;
        tr.seqType = static_cast<uint8_t>(streamType);
        tr.lastSeq = seq;
    } else {
        const uint64_t pts = h && h->hasPts ? h->ptsMs : f.pts;
        if (f.flags & kFlagNewOrJump) tr.haveVideoPts = false;  // a new segment or a jump: no gap to measure
        if (tr.haveVideoPts && pts > tr.lastVideoPts) {
            const uint64_t d = pts - tr.lastVideoPts;
            const uint64_t step = h && h->frameRate ? 1000u / h->frameRate : tr.minStep;
            if (step > 0 && d * 2 > step * 3) missing += (d + step / 2) / step - 1;
            if (tr.minStep == 0 || d < tr.minStep) tr.minStep = d;
        }
        tr.haveVideoPts = true;
        tr.lastVideoPts = pts;
    }
    (level_[f.index] < kTopJumpLevel ? st.skipped : st.dropped) += missing;
}

// Takes a frame from the engine: counts it, checks it against the order and
// the frames before it (all in delivery order), learns its recorded time,
// then shows it at once (by timestamp) or queues it for its instant (by
// recorded time).
void Playback::Deliver(const mssphost::Frame& taken) {
    const Frame f{taken.index, taken.channel, taken.type, taken.pts, taken.flags, taken.pack.p2 ? 2 : 1};
    ++r_.frames;
    Shown s{};
    s.f = f;
    s.n = r_.frames;
    s.pack.swap(scratch_);  // reuses the buffer when frames are shown at once
    s.pack.resize(taken.pack.Size());
    taken.pack.Copy(0, s.pack.size(), s.pack.data());

    const mssphost::PackView whole{s.pack.data(), s.pack.size(), nullptr, 0};
    s.decoded = mssphost::PayloadRange(s_->Format(), whole, &s.payloadOff, &s.payloadLen);
    recstore::PackHeader header;
    const recstore::PackHeader* h =
        s.decoded && recstore::DecodeHeader(s_->Format(), s.pack.data(), s.pack.size(), &header, nullptr) ==
                         recstore::Decode::kOk
            ? &header
            : nullptr;
    if (!s.decoded) s.payloadOff = s.payloadLen = 0;
    s.hasPackPts = h && h->hasPts;
    s.packPts = s.hasPackPts ? h->ptsMs : 0;
    s.hasTime = h && h->hasTime;
    s.time = s.hasTime ? h->time : DateTime{};
    const uint8_t* payload = s.pack.data() + s.payloadOff;

    s.streamType = s_->StreamTypeOf(f.index);
    s.seq = -1;
    if (s.payloadLen >= kSynthTagLen && std::memcmp(payload, "MSYN", 4) == 0) {
        s.streamType = payload[5];  // the synthetic tag knows its stream type
        s.seq = recstore::Le32(payload + 8);
    }
    ChannelStats& st = Stats(f.channel);
    Track& tr = tracks_[f.channel];
    st.typesSeen |= 1u << (s.streamType & 7);
    ++st.byType[f.type & 3];
    st.bytes += s.pack.size();
    if (f.flags & kFlagNewOrJump) ++st.discontinuities;
    if (s.hasTime) {
        if (!st.hasTime) st.firstTime = s.time;
        st.lastTime = s.time;
        st.hasTime = true;
    }
    if (!st.hasPts) st.firstPts = f.pts;
    st.lastPts = f.pts;
    st.hasPts = true;

    auto against = [&](uint64_t before) { return Backward() ? f.pts > before : f.pts < before; };
    s.orderOk = !(tr.havePts && against(tr.lastPts)) && !(haveGlobal_ && against(globalPts_));
    if (!s.orderOk) {
        ++st.orderViolations;
        tr.haveVideoPts = false;  // no gap is measured across a misplaced frame
    }
    tr.havePts = true;
    tr.lastPts = f.pts;
    haveGlobal_ = true;
    globalPts_ = f.pts;
    if (s.orderOk) {
        // The engine drops a frame with timestamp 0 and the frames after it
        // up to the next I-frame; no gap between delivered frames shows them
        // where they open a channel's run or follow a discontinuity.
        const bool first = !tr.videoSeen;  // since the last repositioning
        CheckDrops(f, st, tr, s.streamType, h, payload, s.payloadLen);
        if (CurMode() == Mode::kPlay && (first || (f.flags & kFlagNewOrJump))) {
            const uint64_t zero = s_->ZeroTimestampDrops(taken, first);
            st.dropped += zero;
            st.zeroTimestamp += zero;
        }
    }

    const mssphost::StageFrame sf = mssphost::StageFrameOf(taken, h, s.pack.size());
    stage_.SetBackward(Backward());
    stage_.Push(sf, std::move(s));
    SayNotes();
}

void Playback::SayNotes() {
    for (const std::string& note : stage_.TakeNotes()) Warn(note);
}

// Shows the stage's next frame when it may go: no frame still to come on a
// live channel can be recorded before it.
bool Playback::PresentNext() {
    uint32_t live = 0;
    for (int c = 0; c < 32; ++c) {
        const int k = (Mask() >> c & 1) ? StreamIndexOf(Mask(), c) : -1;
        if (k >= 0 && k < s_->StreamCount() && s_->StreamStatus(k) != 0) live |= 1u << c;
    }
    return PresentFrom(live, false);
}

bool Playback::PresentFrom(uint32_t live, bool passedOnly) {
    mssphost::Presentation<Shown>::Out out;
    if (!(passedOnly ? stage_.PopPassed(&out) : stage_.Pop(live, &out))) return false;
    out.item.recordedMs = out.recordedMs;
    Present(out.item);
    scratch_.swap(out.item.pack);  // reuses the buffer for the next copy
    SayNotes();
    Pace();
    Progress(false);
    return true;
}

void Playback::FlushQueue() {
    while (!Stopping() && PresentFrom(0, false)) {
    }
}

void Playback::DropQueue() { r_.unpresented += stage_.Clear(); }

// Shows a frame: moves the playback clock, reports it (events, progress,
// step report, picture, timeline) and writes its payload.
void Playback::Present(const Shown& s) {
    const Frame& f = s.f;
    const bool flagged = (f.flags & kFlagNewOrJump) != 0;
    ShownState& sh = showing_[f.channel];
    // The first frame after an operation is flagged as a rule; it is no event.
    bool event = flagged && CurMode() == Mode::kPlay && sh.any;
    // A flagged frame that keeps its channel's recorded time (an old-format
    // audio pack takes the timestamp of the pack before it) leaves the event
    // to the channel's next frame that moves it.
    if (event && s.recordedMs >= 0 && s.recordedMs == sh.recordedMs) {
        sh.eventPending = true;
        event = false;
    } else if (sh.eventPending && s.recordedMs >= 0 && s.recordedMs != sh.recordedMs) {
        sh.eventPending = false;
        event = true;
    }
    if (o_.events && event && s.hasTime)
        Say("[%8.2f s] channel %d: new segment or timestamp jump, %s -> %s\n", Clock() / 1000.0, f.channel,
            sh.hasTime ? Hms(sh.time).c_str() : "?", Hms(s.time).c_str());
    if (!o_.presentByTime) {
        AdvanceClock(f.channel, f.pts, flagged);
    } else if (s.recordedMs >= 0) {
        AdvanceClock(f.channel, static_cast<uint64_t>(s.recordedMs), flagged);
    }
    if (s.hasTime) {
        shown_ = s.time;
        haveShown_ = true;
        sh.hasTime = true;
        sh.time = s.time;
    }
    if (s.recordedMs >= 0) sh.recordedMs = s.recordedMs;
    sh.pts = f.pts;
    steps_.Shown(f.channel, s.recordedMs, Clock(), event);
    if (!o_.plotPath.empty() && s.recordedMs >= 0 &&
        (!sh.any || event || Clock() - sh.plotClockMs >= kPlotStepMs)) {
        plot_.push_back(PlotPoint{Clock(), s.recordedMs, f.channel, event, !sh.any});
        sh.plotClockMs = Clock();
    }
    sh.any = true;
    Timeline(s);
    if (s.decoded) {
        const uint8_t* payload = s.pack.data() + s.payloadOff;
        if (f.type == MSSP_FRAME_I || f.type == MSSP_FRAME_P) WritePayload(f.channel, false, payload, s.payloadLen);
        if (f.type == MSSP_FRAME_AUDIO) WritePayload(f.channel, true, payload, s.payloadLen);
    }
}

void Playback::Loop() {
    anchorWall_ = NowMs();
    nextProgress_ = anchorWall_ + kProgressEveryMs;
    double lastFrameWall = anchorWall_;
    const char* end = "every stream ran out";
    for (;;) {
        if (Stopping()) {
            r_.interrupted = true;
            end = "interrupted";
            break;
        }
        if (o_.durationSec > 0 && Clock() >= o_.durationSec * 1000) {
            end = "duration reached";
            break;
        }
        if (o_.maxFrames > 0 && r_.frames >= o_.maxFrames) {
            end = "frame limit reached";
            break;
        }
        if (!RunDue()) {
            end = "stopped by the schedule";
            break;
        }
        if (PresentNext()) continue;
        mssphost::Frame taken;
        if (!s_->Take(&taken)) {
            if (!s_->Live()) {
                // Every stream ran out: what waits is shown, then the next
                // scheduled action, if any, runs at once.
                FlushQueue();
                Action a;
                if (!PopNext(true, &a)) break;
                if (!Execute(a)) {
                    end = "stopped by the schedule";
                    break;
                }
                lastFrameWall = NowMs();
                continue;
            }
            if (NowMs() - lastFrameWall > o_.stallSec * 1000) {
                std::string states;
                for (int k = 0; k < s_->StreamCount(); ++k)
                    states += " " + std::to_string(ChannelAtIndex(Mask(), k)) + ":" +
                              std::to_string(s_->StreamStatus(k));
                r_.stalled = true;
                Fail(kExitFailure, "playback stalled: no frame for " + std::to_string(o_.stallSec).substr(0, 4) +
                                       " s although streams are live (channel:status" + states +
                                       "; 1 live and empty, 2 frames waiting)");
                end = "stalled";
                break;
            }
            usleep(kPollUs);
            continue;
        }
        lastFrameWall = NowMs();
        Deliver(taken);
        s_->Release(taken);
        PresentFrom(0, true);  // a frame passed on at once (by timestamp, or its recorded time unknown)
    }
    DropQueue();
    Progress(true);
    if (r_.frames == 0 && !r_.interrupted && !r_.stalled)
        Fail(kExitFailure, "no frame was delivered: the played streams hold no frame the engine can use");
    r_.clockMs = Clock();
    r_.wallMs = NowMs() - startWall_;
    Say("end: %s after %" PRIu64 " frames, %.2f s of playback time, %.2f s wall\n", end, r_.frames,
        r_.clockMs / 1000.0, r_.wallMs / 1000.0);
    if (r_.unpresented > 0)
        Say("     %" PRIu64 " delivered frame(s) were still waiting for their recorded time at an operation or "
            "at the end, and were not shown\n",
            r_.unpresented);
}

void Playback::DrawPlot() {
    if (o_.plotPath.empty()) return;
    std::string group = o_.groupDir;
    while (group.size() > 1 && group.back() == '/') group.pop_back();
    group = group.substr(group.find_last_of('/') + 1);  // the folder's own name (npos + 1 = 0)
    const std::string title = "mssp-play " + group + ": channel(s) " + ChannelList(Mask()) + ", shown by " +
                              (o_.presentByTime ? "recorded time of day (--present-by time)" : "timestamp");
    // The played channels' recording pauses, from the segment indexes.
    std::vector<PlotPause> pauses;
    std::vector<ranges::ChannelRanges> recorded;
    std::vector<std::string> notes;
    std::string error;
    if (ranges::LoadRanges(o_.groupDir, o_.streamType, &recorded, &notes, &error)) {
        for (const ranges::ChannelRanges& r : recorded) {
            if (!(Mask() >> r.channel & 1)) continue;
            for (size_t i = 1; i < r.spans.size(); ++i)
                pauses.push_back(PlotPause{(r.spans[i - 1].last + 1) * 1000, r.spans[i].first * 1000});
        }
    }
    error.clear();
    if (!DrawTimeline(o_.plotPath, title, plot_, labels_, pauses, &error)) {
        unlink(o_.plotPath.c_str());  // no empty or half-drawn picture is left
        Fail(kExitFailure, "cannot draw the timeline picture: " + error);
        return;
    }
    Say("timeline picture: %s\n", o_.plotPath.c_str());
}

void Playback::Shutdown() {
    if (s_) s_->Stop();  // the readers, the parser and its shared memory
    if (timeline_) {
        if (std::fclose(timeline_) != 0) Fail(kExitFailure, "cannot write " + o_.timelinePath);
        timeline_ = nullptr;
    }
    for (auto& [key, file] : outFiles_) {
        if (file && std::fclose(file) != 0) Fail(kExitFailure, "cannot write into " + o_.outDir);
        file = nullptr;
    }
    outFiles_.clear();
}

int Playback::Run() {
    if (!OpenSession() || !ResolveStart() || !OpenOutputs()) return r_.status;
    for (size_t i = 0; i < o_.actions.size(); ++i)
        (o_.actions[i].at.frames ? frameActions_ : timeActions_).emplace_back(i, o_.actions[i]);
    auto byPoint = [](const std::pair<size_t, Action>& a, const std::pair<size_t, Action>& b) {
        return a.second.at.value < b.second.at.value;
    };
    std::stable_sort(timeActions_.begin(), timeActions_.end(), byPoint);
    std::stable_sort(frameActions_.begin(), frameActions_.end(), byPoint);
    stage_.SetByTime(o_.presentByTime);
    progress_ = o_.progress == 1 || (o_.progress < 0 && isatty(fileno(out_.progress ? out_.progress : out_.err)));

    Say("playing %s: group %u, channel(s) %s, stream type %d, %s packs (device group %d)\n", o_.groupDir.c_str(),
        s_->Store().GroupId(), ChannelList(Mask()).c_str(), o_.streamType, recstore::FormatName(s_->Format()),
        s_->DeviceGroup());
    char seg[48] = "";
    if (o_.segment >= 0) std::snprintf(seg, sizeof(seg), " (segment %" PRId64 ")", o_.segment);
    Say("from %s%s, %s%s, %s, %s timestamps\n", recstore::FormatDateTime(start_).c_str(), seg,
        o_.mode == Mode::kPlay ? "forward" : o_.mode == Mode::kFastForward ? "fast forward" : "backward",
        o_.mode == Mode::kPlay ? "" : (" x" + std::to_string(o_.speed)).c_str(),
        o_.realtime ? "real-time pacing" : "as fast as possible", o_.convert ? "converted" : "raw");
    startWall_ = NowMs();
    if (!StartEngine()) {
        Shutdown();
        return r_.status;
    }
    Loop();
    Shutdown();
    for (auto& [ch, st] : stats_) r_.channels.push_back(st);
    r_.steps = steps_.Steps();
    DrawPlot();
    PrintSummary(out_.out, r_);
    return r_.status;
}

}  // namespace

const ChannelStats* Result::Find(int channel) const {
    for (const ChannelStats& c : channels) {
        if (c.channel == channel) return &c;
    }
    return nullptr;
}

void PrintSummary(FILE* out, const Result& r) {
    std::fprintf(out, "\n%-7s %-5s %7s %7s %6s %5s %7s %7s %5s %5s  %-30s %s\n", "channel", "types", "I", "P", "audio",
                 "other", "dropped", "skipped", "disc", "order", "first", "last");
    ChannelStats total;
    for (const ChannelStats& c : r.channels) {
        std::string types;
        for (int t = 0; t < 3; ++t) {
            if ((c.typesSeen >> t & 1) == 0) continue;
            if (!types.empty()) types += ',';
            types += static_cast<char>('0' + t);
        }
        auto when = [](bool hasTime, const DateTime& t, bool hasPts, uint64_t pts) {
            char buf[64];
            std::snprintf(buf, sizeof(buf), "%s @%" PRIu64, hasTime ? recstore::FormatDateTime(t).c_str() : "-",
                          hasPts ? pts : 0);
            return std::string(hasPts ? buf : "-");
        };
        std::fprintf(out, "%7d %-5s %7" PRIu64 " %7" PRIu64 " %6" PRIu64 " %5" PRIu64 " %7" PRIu64 " %7" PRIu64
                          " %5" PRIu64 " %5" PRIu64 "  %-30s %s\n",
                     c.channel, types.empty() ? "-" : types.c_str(), c.byType[0], c.byType[1], c.byType[2],
                     c.byType[3], c.dropped, c.skipped, c.discontinuities, c.orderViolations,
                     when(c.hasTime, c.firstTime, c.hasPts, c.firstPts).c_str(),
                     when(c.hasTime, c.lastTime, c.hasPts, c.lastPts).c_str());
        for (int t = 0; t < 4; ++t) total.byType[t] += c.byType[t];
        total.dropped += c.dropped;
        total.skipped += c.skipped;
        total.discontinuities += c.discontinuities;
        total.orderViolations += c.orderViolations;
    }
    std::fprintf(out, "%7s %-5s %7" PRIu64 " %7" PRIu64 " %6" PRIu64 " %5" PRIu64 " %7" PRIu64 " %7" PRIu64
                      " %5" PRIu64 " %5" PRIu64 "\n",
                 "total", "", total.byType[0], total.byType[1], total.byType[2], total.byType[3], total.dropped,
                 total.skipped, total.discontinuities, total.orderViolations);
    uint64_t zero = 0;
    for (const ChannelStats& c : r.channels) zero += c.zeroTimestamp;
    if (zero > 0)
        std::fprintf(out,
                     "dropped includes %" PRIu64 " frame(s) that the engine threw away for a timestamp of 0 (none to "
                     "it) and the frames after them up to an I-frame\n",
                     zero);
    PrintSteps(out, r);
    for (const std::string& e : r.errors) std::fprintf(out, "error: %s\n", e.c_str());
    std::fflush(out);
}

void PrintSteps(FILE* out, const Result& r) {
    if (r.steps.empty()) return;
    std::fprintf(out,
                 "\nstep of the channels after each operation: settle = playback time until every channel showed a\n"
                 "frame after it; spread = from then on, the largest difference of recorded time between the\n"
                 "channels' latest frames\n"
                 "%10s  %-28s %10s %10s\n",
                 "at", "operation", "settle", "spread");
    double settle = 0;
    int64_t spread = 0;
    bool all = true;
    for (const StepStats& s : r.steps) {
        char a[24], b[24];
        if (s.settled) {
            std::snprintf(a, sizeof(a), "%.0f ms", s.settleMs);
            std::snprintf(b, sizeof(b), "%" PRId64 " ms", s.spreadMs);
            settle = std::max(settle, s.settleMs);
            spread = std::max(spread, s.spreadMs);
        }
        std::string note;
        if (!s.settled) {
            note = "   channel(s) ";
            note += ChannelList(s.missing);
            note += " showed nothing after it";
        }
        std::fprintf(out, "%8.2f s  %-28s %10s %10s%s\n", s.atMs / 1000.0, s.operation.c_str(), s.settled ? a : "-",
                     s.settled ? b : "-", note.c_str());
        all &= s.settled;
    }
    std::fprintf(out, "%10s  %-28s %7.0f ms %7" PRId64 " ms%s\n", "", "whole run", settle, spread,
                 all ? "" : "   (over the operations that settled)");
}

int Play(const Options& options, const Output& output, Result* result) {
    *result = Result{};
    Playback playback(options, output, result);
    return playback.Run();
}

}  // namespace player

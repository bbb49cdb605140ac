// Recording player: the command line. Parses the options, the channel sets,
// the points of the run and the scheduled actions, and holds the help text.
// Pure functions; nothing here touches the recording or the engine.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Player.h"

namespace player {
namespace {

using mssphost::ParseInteger;

bool Real(const std::string& text, double lo, double hi, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (!end || *end || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool TrickSpeed(const std::string& text, int* speed) {
    long long v = 0;
    if (!ParseInteger(text, 1, 32, &v)) return false;
    if (v != 1 && v != 2 && v != 4 && v != 8 && v != 16 && v != 32) return false;
    *speed = static_cast<int>(v);
    return true;
}

// HH:MM:SS with hour < 24, minute and second < 60.
bool TimeOfDay(const std::string& text, DateTime* dt) {
    unsigned h = 0, m = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2u:%2u:%2u%c", &h, &m, &s, &tail) != 3) return false;
    if (h > 23 || m > 59 || s > 59) return false;
    (*dt)[3] = static_cast<uint8_t>(h);
    (*dt)[4] = static_cast<uint8_t>(m);
    (*dt)[5] = static_cast<uint8_t>(s);
    return true;
}

// TIME of the actions and of --start: HH:MM:SS, a full date and time, or
// (when `relative` is allowed) +SEC / -SEC.
bool ParseTime(const std::string& text, bool relative, TimeSpec* spec) {
    if (relative && !text.empty() && (text[0] == '+' || text[0] == '-')) {
        long long v = 0;
        if (!ParseInteger(text.substr(1), 0, 10LL * 365 * 86400, &v)) return false;
        spec->kind = TimeSpec::kRelative;
        spec->seconds = text[0] == '-' ? -v : v;
        return true;
    }
    if (text.size() > 8) {
        spec->kind = TimeSpec::kDateTime;
        return recstore::ParseDateTime(text, &spec->dt);
    }
    spec->kind = TimeSpec::kTimeOfDay;
    return TimeOfDay(text, &spec->dt);
}

// "a:b:c" -> first field and the rest.
void SplitFirst(const std::string& text, std::string* first, std::string* rest) {
    const size_t colon = text.find(':');
    *first = text.substr(0, colon);
    *rest = colon == std::string::npos ? "" : text.substr(colon + 1);
}

bool ActionArgs(const std::string& kind, const std::string& args, Action* a, std::string* error) {
    auto fail = [&](const char* why) {
        *error = "action " + kind + ": " + why;
        return false;
    };
    if (kind == "play" || kind == "backward") {
        a->kind = kind == "play" ? Action::kPlay : Action::kFastBackward;
        a->speed = 1;
        if (!args.empty() && !ParseTime(args, true, &a->time))
            return fail("TIME must be HH:MM:SS or +SEC / -SEC");
        if (a->time.kind == TimeSpec::kDateTime) return fail("only a time of day or +SEC / -SEC here");
        return true;
    }
    if (kind == "ff" || kind == "fb") {
        a->kind = kind == "ff" ? Action::kFastForward : Action::kFastBackward;
        std::string speed, time;
        SplitFirst(args, &speed, &time);
        if (!TrickSpeed(speed, &a->speed)) return fail("SPEED must be 1, 2, 4, 8, 16 or 32");
        if (!time.empty() && (!ParseTime(time, true, &a->time) || a->time.kind == TimeSpec::kDateTime))
            return fail("TIME must be HH:MM:SS or +SEC / -SEC");
        return true;
    }
    if (kind == "seek") {
        a->kind = Action::kSeek;
        if (args.empty() || !ParseTime(args, true, &a->time))
            return fail("TIME must be HH:MM:SS, 'YYYY-MM-DD HH:MM:SS' or +SEC / -SEC");
        return true;
    }
    if (kind == "switch-type") {
        std::string type, set;
        SplitFirst(args, &type, &set);
        long long t = 0;
        if (!ParseInteger(type, 0, 2, &t)) return fail("the stream type must be 0, 1 or 2");
        a->streamType = static_cast<int>(t);
        a->kind = Action::kSwitchTypeAll;
        if (!set.empty()) {
            a->kind = Action::kSwitchType;
            if (!ParseChannelSet(set, &a->mask) || a->mask == 0) return fail("bad channel set");
        }
        return true;
    }
    if (kind == "channels") {
        a->kind = Action::kChannels;
        if (!ParseChannelSet(args, &a->mask) || a->mask == 0) return fail("bad channel set");
        return true;
    }
    if (kind == "jump") {
        std::string ch, level;
        SplitFirst(args, &ch, &level);
        long long c = 0, l = 0;
        if (!ParseInteger(ch, 0, 31, &c) || !ParseInteger(level, 0, 14, &l))
            return fail("give jump:CHANNEL:LEVEL with a channel 0..31 and a level 0..14");
        a->kind = Action::kJump;
        a->channel = static_cast<int>(c);
        a->level = static_cast<int>(l);
        return true;
    }
    if (kind == "stop") {
        a->kind = Action::kStop;
        return args.empty() || fail("takes no argument");
    }
    *error = "unknown action \"" + kind + "\"";
    return false;
}

}  // namespace

bool ParsePoint(const std::string& text, Point* point) {
    double v = 0;
    auto ends = [&](const char* unit) {
        const size_t n = std::strlen(unit);
        return text.size() > n && text.compare(text.size() - n, n, unit) == 0;
    };
    if (ends("ms")) {
        if (!Real(text.substr(0, text.size() - 2), 0, 1e12, &v)) return false;
        *point = Point{false, static_cast<uint64_t>(std::llround(v))};
        return true;
    }
    if (ends("s")) {
        if (!Real(text.substr(0, text.size() - 1), 0, 1e9, &v)) return false;
        *point = Point{false, static_cast<uint64_t>(std::llround(v * 1000))};
        return true;
    }
    if (ends("f")) {
        long long n = 0;
        if (!ParseInteger(text.substr(0, text.size() - 1), 0, 1LL << 50, &n)) return false;
        *point = Point{true, static_cast<uint64_t>(n)};
        return true;
    }
    return false;
}

bool ParseAction(const std::string& text, Action* action, std::string* error) {
    Action a;
    a.text = text;
    std::string point, rest, kind, args;
    SplitFirst(text, &point, &rest);
    if (!ParsePoint(point, &a.at)) {
        *error = "--at " + text + ": the point must be like 2s, 1500ms or 300f";
        return false;
    }
    SplitFirst(rest, &kind, &args);
    if (kind.empty()) {
        *error = "--at " + text + ": no action after the point";
        return false;
    }
    std::string why;
    if (!ActionArgs(kind, args, &a, &why)) {
        *error = "--at " + text + ": " + why;
        return false;
    }
    *action = a;
    return true;
}

bool ParseArgs(const std::vector<std::string>& args, Options* options, std::string* error) {
    Options o = *options;
    auto fail = [&](const std::string& why) {
        *error = why;
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        const std::string value = hasValue ? args[i + 1] : "";
        auto need = [&]() {
            if (!hasValue) return false;
            ++i;
            return true;
        };
        long long v = 0;
        double d = 0;
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--demo") {
            o.demo = true;
        } else if (arg == "--fast") {
            o.realtime = false;
        } else if (arg == "--realtime") {
            o.realtime = true;
        } else if (arg == "--convert") {
            o.convert = true;
        } else if (arg == "--raw") {
            o.convert = false;
        } else if (arg == "--backward") {
            o.mode = Mode::kFastBackward;
            o.speed = 1;
        } else if (arg == "--progress") {
            o.progress = 1;
        } else if (arg == "--no-progress") {
            o.progress = 0;
        } else if (arg == "--events") {
            o.events = true;
        } else if (arg == "--ff" || arg == "--fb") {
            if (!need() || !TrickSpeed(value, &o.speed)) return fail(arg + " needs a speed: 1, 2, 4, 8, 16 or 32");
            o.mode = arg == "--ff" ? Mode::kFastForward : Mode::kFastBackward;
        } else if (arg == "--channels") {
            if (!need() || !ParseChannelSet(value, &o.channels) || o.channels == 0)
                return fail("--channels needs a channel list (0,2,4-7) or a hex mask (0x15)");
        } else if (arg == "--type") {
            if (!need() || !ParseInteger(value, 0, 2, &v)) return fail("--type needs a stream type 0, 1 or 2");
            o.streamType = static_cast<int>(v);
        } else if (arg == "--start") {
            if (!need() || !ParseTime(value, false, &o.start))
                return fail("--start needs 'YYYY-MM-DD HH:MM:SS' or HH:MM:SS");
        } else if (arg == "--segment") {
            if (!need()) return fail("--segment needs [CHANNEL:]NUMBER");
            std::string ch, num;
            SplitFirst(value, &ch, &num);
            if (num.empty()) {
                num = ch;
                ch.clear();
            }
            long long c = -1;
            if ((!ch.empty() && !ParseInteger(ch, 0, 31, &c)) || !ParseInteger(num, 0, 0xFFFFFFFFLL, &v))
                return fail("--segment needs [CHANNEL:]NUMBER");
            o.segment = v;
            o.segmentChannel = static_cast<int>(c);
        } else if (arg == "--device-group") {
            if (!need() || !ParseInteger(value, 0, 3, &v)) return fail("--device-group needs 0, 1, 2 or 3");
            o.deviceGroup = static_cast<int>(v);
        } else if (arg == "--at") {
            Action a;
            if (!need()) return fail("--at needs POINT:ACTION");
            if (!ParseAction(value, &a, error)) return false;
            o.actions.push_back(a);
        } else if (arg == "--duration") {
            if (!need() || !Real(value, 0.001, 1e9, &d)) return fail("--duration needs a number of seconds above 0");
            o.durationSec = d;
        } else if (arg == "--frames") {
            if (!need() || !ParseInteger(value, 1, 1LL << 50, &v)) return fail("--frames needs a count above 0");
            o.maxFrames = static_cast<uint64_t>(v);
        } else if (arg == "--present-by") {
            if (!need() || (value != "time" && value != "timestamp"))
                return fail("--present-by needs time or timestamp");
            o.presentByTime = value == "time";
        } else if (arg == "--plot") {
            if (!need() || value.empty()) return fail("--plot needs a PNG file");
            o.plotPath = value;
        } else if (arg == "--timeline") {
            if (!need() || value.empty()) return fail("--timeline needs a file");
            o.timelinePath = value;
        } else if (arg == "--out-dir") {
            if (!need() || value.empty()) return fail("--out-dir needs a directory");
            o.outDir = value;
        } else if (arg == "--library-log") {
            if (!need() || value.empty()) return fail("--library-log needs a file, or - for standard output");
            o.libraryLog = value;
        } else if (arg == "--ring") {
            if (!need() || !ParseInteger(value, 256 << 10, 256 << 20, &v))
                return fail("--ring needs a size in bytes from 262144 to 268435456");
            o.ringBytes = static_cast<int>(v);
        } else if (arg == "--nodes") {
            if (!need() || !ParseInteger(value, mssphost::kMinNodes, mssphost::kMaxNodes, &v))
                return fail("--nodes needs " + std::to_string(mssphost::kMinNodes) + ".." + std::to_string(mssphost::kMaxNodes));
            o.nodes = static_cast<int>(v);
        } else if (arg == "--streams-per-thread") {
            if (!need() || !ParseInteger(value, 0, 32, &v)) return fail("--streams-per-thread needs 0..32");
            o.streamsPerThread = static_cast<int>(v);
        } else if (arg == "--streams") {
            if (!need() || !ParseInteger(value, 1, 32, &v)) return fail("--streams needs 1..32");
            o.streams = static_cast<int>(v);
        } else if (arg == "--shm-name") {
            if (!need() || value.empty() || value.size() > 64 || value.find('/') != std::string::npos)
                return fail("--shm-name needs a name of at most 64 characters without '/'");
            o.shmName = value;
        } else if (arg == "--stall") {
            if (!need() || !Real(value, 0.1, 3600, &d)) return fail("--stall needs seconds from 0.1 to 3600");
            o.stallSec = d;
        } else if (!arg.empty() && arg[0] != '-' && o.groupDir.empty()) {
            o.groupDir = arg;
        } else if (!arg.empty() && arg[0] != '-') {
            return fail("more than one group directory: " + o.groupDir + " and " + arg);
        } else {
            return fail("unknown option " + arg);
        }
    }
    if (!o.help && !o.demo && o.groupDir.empty()) return fail("no group directory given");
    if (o.segment >= 0 && o.start.kind != TimeSpec::kCurrent) return fail("give --start or --segment, not both");
    if (o.segment >= 0 && o.segmentChannel >= 0 && o.channels != 0 && !(o.channels >> o.segmentChannel & 1))
        return fail("the channel of --segment is not among --channels");
    *options = o;
    return true;
}

std::string HelpText() {
    return R"(usage: mssp-play [options] GROUP_DIR
       mssp-play --demo

Plays a recording group (a directory written by mssp-pack) through the MSSP
playback engine, as the recorder's playback service does, and reports per
channel what the engine delivered.

  --demo                 write a sample group to a temporary folder, play a short
                         scripted session (synchronised play, fast forward, seek,
                         stream switch), print the summary and the step report,
                         play it again presented by recorded time, draw the
                         timeline picture (./mssp-demo.png, or --plot FILE),
                         remove the folder; with --fast as fast as possible

what to play
  --channels SET         channels: a list (0,2,4-7) or a hex mask (0x15);
                         default every channel recorded in the stream type
  --type T               stream type: 0 main (default), 1 sub, 2 third
  --start TIME           'YYYY-MM-DD HH:MM:SS' (or with a T) or HH:MM:SS on the
                         recording's first day; default the recording's start
                         (its end when the run begins backward)
  --segment [CH:]N       start at recorded segment N of channel CH (by segment id;
                         default CH: the first played channel)
  --device-group N       device group 0..3 (3 reads the old pack format); default
                         3 when the recording is in the old format, else 0

how to play
  --realtime             pace frames in real time (default)
  --fast                 as fast as possible
  --backward             begin playing backward (every I-frame, normal speed)
  --ff SPEED, --fb SPEED begin in fast forward / fast backward; SPEED 1, 2 or 4
                         shows every I-frame, 8 every 2nd, 16 every 4th, 32 every 8th
  --present-by timestamp show (pace, report, write) each frame at its timestamp
                         (default): channels whose recorders' clocks differ stay
                         apart by that difference, as the engine orders frames by
                         their own timestamps
  --present-by time      show each frame at its recorded time of day: per channel
                         the offset between timestamp and recorded date and time
                         is learnt from the frames that carry one (afresh after a
                         repositioning, a new segment or a jump) and frames wait
                         in the player until their instant, so that such channels
                         appear in step; the engine's delivery order is unchanged
  --raw                  raw recorded timestamps (default)
  --convert              ask for converted timestamps (GetFrame's bConvert): the
                         engine converts only frames that lack its completion
                         mark, so completed frames keep their recorded
                         timestamps, and it sets no discontinuity flag then
  --at POINT:ACTION      do ACTION at POINT of the run (repeatable, see below)
  --duration SEC         stop after SEC seconds of playback time
  --frames N             stop after N delivered frames

output
  --timeline FILE        JSON lines, one per shown frame: n (delivery number),
                         clock_ms, wall_ms, channel, stream, stream_type, type
                         (I P A O), pts, pack_pts, time, rec_ms (recorded time,
                         ms since 1970, as learnt), flags, bytes, pieces, mode,
                         speed, seq, order_ok; and one per operation (the start
                         included): op, clock_ms, wall_ms, action, what, result
                         (the engine call's answer, null when none was made)
  --plot FILE.png        draw per channel the recorded time of day against
                         playback time, operations marked and labelled, a circle
                         where a channel begins a new segment or jumps (gnuplot)
  --out-dir DIR          each channel's delivered payloads, headers removed:
                         chNN.es (video, e.g. H.264 Annex-B) and chNN.audio
  --progress             a progress line every second (default when standard
                         error is a terminal); --no-progress for none
  --events               a report line for every frame that starts a new segment
                         or follows a timestamp jump in normal play
  --library-log FILE     where the engine's own diagnostics go (see below)

tuning
  --ring BYTES           ring size per stream (default 1048576); the engine skips
                         a pack longer than BYTES - 131072
  --nodes N              frame nodes per stream (default 256)
  --streams-per-thread N reader threads serve N streams each (default 1; 0 one thread)
  --streams N            parser stream count (default: the largest channel set)
  --stall SEC            give up when no frame comes for SEC seconds although
                         streams are live (default 5)
  --shm-name NAME        base name of the engine's shared memory (default unique
                         to the process); its key file $MSSP_KEY_DIR/.NAME01
                         (/tmp by default) and segment are removed at the end;
                         a name whose engine plays in another process is refused

POINT is playback time, 2s, 1.5s or 500ms: the recording's time as shown,
divided by the speed in trick play (jumps count as one frame step), which is
the wall time of the run when pacing in real time; or a count of delivered
frames, 300f. When every stream has run out, the next scheduled action runs
at once.

ACTION
  play[:TIME]            normal play forward; from trick play it resumes at the
                         shown position (or TIME)
  ff:SPEED[:TIME]        fast forward from the shown position (or TIME)
  fb:SPEED[:TIME]        fast backward, likewise
  backward[:TIME]        fast backward at speed 1: every I-frame backward
  seek:TIME              every channel to TIME, then normal play
  switch-type:T[:SET]    stream type T for every channel, or for the channels in
                         SET, from the shown position; the engine keeps the old
                         type's streams open after a switch of every channel and
                         then refuses to switch a channel back alone (reported;
                         switch every channel back instead)
  channels:SET           play the channels in SET instead, from the shown position
  jump:CH:LEVEL          frame-jump level 0..14 of channel CH (14: every frame);
                         the engine keeps it with CH's stream index, also when
                         another channel takes that index (channels:SET)
  stop                   end the run
TIME is HH:MM:SS on the current play date, 'YYYY-MM-DD HH:MM:SS' (seek only),
or +SEC / -SEC from the shown position (the date and time of the last
delivered frame).

Example: mssp-play rec/ --at 2s:ff:16 --at 4s:play --at 5s:seek:10:00:30
         --at 6s:switch-type:1 --at 7s:channels:0x5 --at 8s:jump:0:3 --at 10s:stop

The engine prints many diagnostics on standard output. mssp-play takes them
through the engine's log hook and drops them, or writes them to FILE with
--library-log FILE (- leaves them on standard output), and writes its own report (header, actions, summary table) on
standard output; errors, warnings and progress lines go to standard error.
The summary has one row per channel: frames by type (I, P, audio, other),
dropped (video frames missing in normal play, those the engine throws away
for a timestamp of 0 included), skipped (left out by a
frame-jump level), disc (frames flagged as a new segment or timestamp jump),
order (frames against the order of the direction), first and last date, time
and timestamp. The step report below it has one row per operation (the start
included): settle, the playback time until every played channel showed a
frame after it, and spread, from then on until the next operation the
largest difference of recorded time between the channels' latest frames.

Exit status: 0 played; 1 the recording could not be played (cannot be opened,
a channel could not be opened, no frame delivered, playback stalled, output
not writable); 2 bad arguments; 130 interrupted (the summary is printed).
)";
}

}  // namespace player

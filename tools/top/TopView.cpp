// mssp-top's presentation: per stream rates over the refresh interval, the
// stall mark, and a refresh rendered as table lines or as a JSON document.
// Values that cannot be are shown as "?" (a JSON string) and counted in the
// segment's header; values the segment cannot tell are "-" (JSON null).
#include "TopView.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace msstop {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += Format("\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string TimeText(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (gmtime_r(&t, &tm) == nullptr) return "?";
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

bool Live(const StreamView& v) { return !v.badState && v.state >= MSSP_STATUS_PLAY && v.state <= MSSP_STATUS_FAST_BACKWARD; }

// The stream's values as text: "?" for impossible, "-" for unknown.
struct Cells {
    std::string channel, state, play, waiting, fill, pct, pts, time, delivered, parsed;
};

Cells CellsOf(const Watch& w, size_t i) {
    const StreamView& v = w.now.streams[i];
    const Geometry& g = w.now.geometry;
    const Rates r = RatesOf(w, i);
    Cells c;
    c.channel = v.badChannel ? "?" : v.channel < 0 ? "-" : std::to_string(v.channel);
    c.state = v.badState ? "?" : StateWord(v.state);
    c.play = v.badPlay ? "?" : PlayWord(v.playStatus);
    c.waiting = (v.badCounts ? std::string("?") : std::to_string(v.waiting)) + "/" +
                (g.sized ? std::to_string(g.nodes) : "-");
    c.fill = v.badFill ? "?" : v.fillKnown ? std::to_string(v.fillBytes) : "-";
    c.pct = v.badFill ? "?" : v.fillKnown ? Format("%.1f%%", 100.0 * v.fillBytes / g.ring) : "-";
    c.pts = v.badLast ? "?" : v.lastKnown ? Format("%" PRIu64, v.lastPts) : "-";
    c.time = v.badTime ? "?" : v.timeKnown ? TimeText(v.lastTime) : "-";
    c.delivered = r.delivered < 0 ? "-" : Format("%.1f", r.delivered);
    c.parsed = r.parsed < 0 ? "-" : Format("%.1f", r.parsed);
    return c;
}

std::string OwnerText(const Owner& o) {
    if (o.pid < 0) return o.locked ? "pid unknown, readers running" : "pid unknown";
    return Format("pid %ld, %s", o.pid, o.locked ? "readers running" : "no readers (stopped or ended)");
}

}  // namespace

const char* StateWord(uint8_t state) {
    static const char* const words[] = {"not started", "playing", "seeking", "fast forward", "fast backward",
                                        "over",        "invalid"};
    return state <= MSSP_STATUS_STOP ? words[state] : "?";
}

const char* PlayWord(uint8_t status) {
    static const char* const words[] = {"init", "play", "seek", "fast forward", "fast backward", "over", "stop"};
    return status <= MSSP_STATUS_STOP ? words[status] : "?";
}

bool Watch::Refresh(double at) {
    Snapshot s;
    if (!segment.Read(&s)) {
        now.removed = true;
        return false;
    }
    before = now;
    beforeAt = nowAt;
    haveBefore = nowAt > 0;
    now = s;
    nowAt = at;
    movedAt.resize(now.streams.size(), at);
    for (size_t i = 0; haveBefore && i < now.streams.size() && i < before.streams.size(); ++i) {
        const StreamView& a = before.streams[i];
        const StreamView& b = now.streams[i];
        if (a.parseNum != b.parseNum || a.getNum != b.getNum || a.getIndex != b.getIndex || a.state != b.state) {
            movedAt[i] = at;
            anyMovedAt = at;
        }
    }
    return true;
}

Rates RatesOf(const Watch& w, size_t i) {
    Rates r;
    if (!w.haveBefore || i >= w.before.streams.size() || w.nowAt <= w.beforeAt) return r;
    const StreamView& a = w.before.streams[i];
    const StreamView& b = w.now.streams[i];
    const double span = w.nowAt - w.beforeAt;
    // Counters go back to 0 when the engine empties a stream (seek, switch):
    // no rate over such an interval.
    if (b.getNum >= a.getNum) r.delivered = (b.getNum - a.getNum) / span;
    if (b.parseNum >= a.parseNum) r.parsed = (b.parseNum - a.parseNum) / span;
    const double still = w.nowAt - w.movedAt[i];
    r.stalled = Live(b) && still >= kStallSeconds && w.anyMovedAt > w.movedAt[i] &&
                w.nowAt - w.anyMovedAt < kStallSeconds;
    return r;
}

std::vector<Line> TableLines(const std::vector<Watch>& watches) {
    std::vector<Line> lines;
    for (const Watch& w : watches) {
        const Snapshot& s = w.now;
        const Geometry& g = s.geometry;
        Line h;
        h.header = true;
        h.text = Format("%s  group %d  streams %d  ring %s  nodes %s  segment %zu bytes  other attachments %d",
                        w.segment.key().c_str(), w.segment.group(), g.streams,
                        g.sized ? (std::to_string(g.ring) + " bytes").c_str() : "-",
                        g.sized ? std::to_string(g.nodes).c_str() : "-", s.size, s.attachments);
        lines.push_back(h);
        h.text = "owner: " + OwnerText(s.owner) + Format("  impossible values: %d", s.impossible);
        lines.push_back(h);
        h.text = Format("%3s %3s %4s %-13s %-13s %11s %10s %6s %14s %19s %7s %7s", "idx", "ch", "type", "state",
                        "play", "wait/nodes", "ring fill", "fill", "last pts", "recorded time", "deliv/s",
                        "parse/s");
        lines.push_back(h);
        for (size_t i = 0; i < s.streams.size(); ++i) {
            const Cells c = CellsOf(w, i);
            Line l;
            l.stalled = RatesOf(w, i).stalled;
            l.text = Format("%3d %3s %4s %-13s %-13s %11s %10s %6s %14s %19s %7s %7s%s", s.streams[i].index,
                            c.channel.c_str(), "-", c.state.c_str(), c.play.c_str(), c.waiting.c_str(),
                            c.fill.c_str(), c.pct.c_str(), c.pts.c_str(), c.time.c_str(), c.delivered.c_str(),
                            c.parsed.c_str(), l.stalled ? "  STALLED" : "");
            lines.push_back(l);
        }
        lines.push_back(Line{});
    }
    return lines;
}

std::string JsonDocument(const std::vector<Watch>& watches, double interval) {
    // "?" stays a string, "-" becomes null, anything else is a number.
    auto value = [](const std::string& cell) { return cell == "?" ? JsonString(cell) : cell == "-" ? "null" : cell; };
    // The refresh's own time in UTC; recorded times are the recorder's.
    std::string now = TimeText(static_cast<int64_t>(std::time(nullptr)));
    if (now.size() > 10) now[10] = 'T', now += 'Z';
    std::string out = Format("{\"time\":%s,\"interval\":%.3f,\"segments\":[", JsonString(now).c_str(), interval);
    for (size_t k = 0; k < watches.size(); ++k) {
        const Watch& w = watches[k];
        const Snapshot& s = w.now;
        const Geometry& g = s.geometry;
        out += k ? "," : "";
        out += "{\"key\":" + JsonString(w.segment.key()) + ",\"name\":" + JsonString(w.segment.name()) +
               Format(",\"group\":%d,\"streams\":%d,", w.segment.group(), g.streams);
        out += g.sized ? Format("\"ring\":%u,\"nodes\":%u,", g.ring, g.nodes) : "\"ring\":null,\"nodes\":null,";
        out += Format("\"size\":%zu,\"attachments\":%d,", s.size, s.attachments);
        out += s.owner.pid < 0 ? std::string("\"owner_pid\":null,") : Format("\"owner_pid\":%ld,", s.owner.pid);
        out += Format("\"owner_alive\":%s,\"impossible\":%d,\"removed\":%s,\"stream\":[",
                      s.owner.locked ? "true" : "false", s.impossible, s.removed ? "true" : "false");
        for (size_t i = 0; i < s.streams.size(); ++i) {
            const StreamView& v = s.streams[i];
            const Cells c = CellsOf(w, i);
            const Rates r = RatesOf(w, i);
            out += i ? "," : "";
            out += Format("{\"index\":%d,\"channel\":", v.index) + value(c.channel) + ",\"stream_type\":null";
            out += ",\"state\":" + JsonString(c.state) + ",\"play\":" + JsonString(c.play);
            out += ",\"waiting\":" + value(v.badCounts ? "?" : std::to_string(v.waiting));
            out += ",\"fill_bytes\":" + value(c.fill) + ",\"fill_pct\":" +
                   value(v.badFill ? "?" : v.fillKnown ? Format("%.1f", 100.0 * v.fillBytes / g.ring) : "-");
            out += ",\"last_pts\":" + value(c.pts) + ",\"last_time\":" +
                   (v.timeKnown ? JsonString(c.time) : value(c.time));
            out += Format(",\"delivered\":%" PRIu32 ",\"parsed\":%" PRIu32, v.getNum, v.parseNum);
            out += ",\"delivered_fps\":" + value(c.delivered) + ",\"parsed_fps\":" + value(c.parsed);
            out += Format(",\"stalled\":%s}", r.stalled ? "true" : "false");
        }
        out += "]}";
    }
    return out + "]}";
}

}  // namespace msstop

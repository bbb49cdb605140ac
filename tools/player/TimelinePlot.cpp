// Recording player: the timeline picture (mssp-play --plot). Writes a
// gnuplot script with the points inline and pipes it to gnuplot, which draws
// per channel the recorded time of day against playback time, a vertical
// labelled line per operation, a circle where a channel's frames begin
// a new segment or follow a jump (its line breaks there), and a grey band
// over each recording pause. Runs on the
// player's thread once the run is over.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "Presentation.h"

namespace player {
namespace {

constexpr int kShellNotFound = 127;  // the shell's status for a command it cannot find

// Text for a gnuplot string in double quotes.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// "x y" rows of a channel (its marked points only, with `marksOnly`); a
// blank row, which breaks the line, before a marked point or a gap.
std::string Rows(const std::vector<PlotPoint>& points, int channel, bool marksOnly) {
    std::string out;
    char row[64];
    for (const PlotPoint& p : points) {
        if (p.channel != channel || (marksOnly && !p.mark)) continue;
        if ((p.mark || p.gap) && !marksOnly) out += "\n";
        std::snprintf(row, sizeof(row), "%.3f %" PRId64 ".%03d\n", p.clockMs / 1000.0, p.recordedMs / 1000,
                      static_cast<int>(p.recordedMs % 1000));
        out += row;
    }
    return out;
}

std::string Script(const std::string& path, const std::string& title, const std::vector<PlotPoint>& points,
                   const std::vector<PlotLabel>& labels, const std::vector<PlotPause>& pauses) {
    std::map<int, bool> channels;  // channel -> has marked points
    for (const PlotPoint& p : points) channels[p.channel] |= p.mark;
    std::string s =
        "set terminal pngcairo noenhanced size 1280,720 font \"DejaVu Sans,10\"\n"
        "set output " + Quoted(path) + "\n"
        "set title " + Quoted(title) + "\n"
        "set xlabel \"playback time (s)\"\n"
        "set ylabel \"recorded time of day\"\n"
        "set ydata time\nset timefmt \"%s\"\nset format y \"%H:%M:%S\"\n"
        "set grid\nset key outside right top\nset xrange [0:*]\n";
    char line[160];
    int n = 0;
    for (const PlotLabel& l : labels) {
        std::snprintf(line, sizeof(line),
                      "set arrow from %.3f, graph 0 to %.3f, graph 1 nohead dt 2 lc rgb \"#707070\"\n",
                      l.clockMs / 1000.0, l.clockMs / 1000.0);
        s += line;
        std::snprintf(line, sizeof(line), "set label %d at %.3f, graph 0.99 rotate by 90 right offset 1,0 font \",9\" ",
                      ++n, l.clockMs / 1000.0);
        s += line + Quoted(l.text) + "\n";
    }
    int64_t lo = points.front().recordedMs, hi = lo;
    for (const PlotPoint& p : points) lo = std::min(lo, p.recordedMs), hi = std::max(hi, p.recordedMs);
    std::set<std::pair<int64_t, int64_t>> bands;
    for (const PlotPause& p : pauses)
        if (p.toMs > lo && p.fromMs < hi) bands.insert({std::max(p.fromMs, lo), std::min(p.toMs, hi)});
    for (const auto& [from, to] : bands) {
        std::snprintf(line, sizeof(line),
                      "set object rect from graph 0, first \"%" PRId64 ".%03d\" to graph 1, first \"%" PRId64
                      ".%03d\" behind fc rgb \"#e4e4e4\" fs solid noborder\n",
                      from / 1000, static_cast<int>(from % 1000), to / 1000, static_cast<int>(to % 1000));
        s += line;
    }
    std::string plot;
    for (const auto& [channel, marked] : channels) {
        const std::string name = "$ch" + std::to_string(channel);
        s += name + " << EOD\n" + Rows(points, channel, false) + "EOD\n";
        plot += (plot.empty() ? "plot " : ", ") + name + " using 1:2 with linespoints pt 7 ps 0.4 lw 2 title " +
                Quoted("channel " + std::to_string(channel));
    }
    bool anyMark = false;
    s += "$marks << EOD\n";
    for (const auto& [channel, marked] : channels) {
        if (marked) s += Rows(points, channel, true);
        anyMark |= marked;
    }
    s += "EOD\n";
    if (anyMark) plot += ", $marks using 1:2 with points pt 6 ps 1.6 lc rgb \"black\" title \"new segment or jump\"";
    if (!bands.empty()) plot += ", keyentry with boxes fs solid noborder fc rgb \"#e4e4e4\" title \"recording pause\"";
    return s + plot + "\n";
}

}  // namespace

bool DrawTimeline(const std::string& path, const std::string& title, const std::vector<PlotPoint>& points,
                  const std::vector<PlotLabel>& labels, const std::vector<PlotPause>& pauses, std::string* error) {
    if (points.empty()) {
        *error = "no frame with a known recorded time was shown";
        return false;
    }
    // The script goes through a file, so that gnuplot's own messages can be read back.
    char scriptPath[] = "/tmp/mssp-plot.XXXXXX";
    const int fd = mkstemp(scriptPath);
    if (fd < 0) {
        *error = std::string("cannot write the gnuplot script: ") + std::strerror(errno);
        return false;
    }
    const std::string script = Script(path, title, points, labels, pauses);
    const bool written = write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    close(fd);
    std::string said;
    int status = -1;
    if (FILE* gp = written ? popen(("gnuplot " + std::string(scriptPath) + " 2>&1").c_str(), "r") : nullptr) {
        char buf[256];
        while (std::fgets(buf, sizeof(buf), gp)) said += buf;
        status = pclose(gp);
    }
    unlink(scriptPath);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kShellNotFound) {
        *error = "gnuplot is not installed (bash scripts/install-deps.sh gnuplot-nox installs it)";
        return false;
    }
    if (!written || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // gnuplot ends its complaint with the reason on a line of its own.
        while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
        const std::string last = said.substr(said.find_last_of('\n') + 1);
        *error = "gnuplot could not draw " + path + (last.empty() ? "" : ": " + last);
        return false;
    }
    return true;
}

}  // namespace player

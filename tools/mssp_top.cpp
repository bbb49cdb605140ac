// mssp-top: watches playing engines from another process. Attaches their
// shared segments read-only and shows per stream what the engine is doing,
// refreshed every interval: a terminal UI, one plain table (--once) or one
// JSON document per refresh (--json). See --help.
#include <curses.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Signals.h"
#include "TopSegment.h"
#include "TopView.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoSegment = 2;
constexpr int kExitRefused = 3;
constexpr int kKeyPollMs = 100;  // the terminal UI looks for a key this often

volatile sig_atomic_t g_stop = 0;

const char kHelp[] =
    "usage: mssp-top [--name NAME --group N | --key FILE] [--interval SEC] [--once] [--json]\n"
    "\n"
    "Watches playing MSSP engines from another process: attaches each engine's\n"
    "shared segment read-only (never writes) and shows one line per stream:\n"
    "channel, stream type, state, play status, frames waiting / node ring size,\n"
    "ring bytes held by waiting frames (and %), the last delivered frame's\n"
    "timestamp and recorded date-time, frames per second delivered and parsed\n"
    "over the interval, and STALLED on a live stream that has not moved for 3 s\n"
    "while others did. Each segment's header gives its key file, group, stream\n"
    "count, ring and node sizes (worked out from the segment), its size, and the\n"
    "process whose reader threads fill it, read from the key file, and whether\n"
    "those are running. The stream type is not kept in the segment: shown as -.\n"
    "\n"
    "  --name NAME --group N  the engine of key file $MSSP_KEY_DIR/.NAME<NN>\n"
    "  --key FILE             the engine of this key file\n"
    "                         (neither: every engine segment in $MSSP_KEY_DIR, default /tmp)\n"
    "  --interval SEC         refresh interval (default 1)\n"
    "  --once                 one plain table, one interval after the start, then exit\n"
    "  --json                 one JSON document (one line) per refresh; with --once one\n"
    "\n"
    "The terminal UI (standard output a terminal, neither --once nor --json)\n"
    "highlights stalled streams; q quits. Values that cannot be are shown as ?\n"
    "and counted; - is a value not known yet. Exit status: 0 (also when the\n"
    "segment is removed while watched, which is said), 1 usage, 2 no segment,\n"
    "3 a segment of another layout (refused, with the reason).\n";

struct Options {
    std::string name, key;
    int group = -1;
    double interval = 1.0;
    bool once = false, json = false;
};

bool ParseArgs(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        char* end = nullptr;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kHelp, stdout);
            std::exit(kExitOk);
        } else if (arg == "--once") {
            o->once = true;
        } else if (arg == "--json") {
            o->json = true;
        } else if (arg == "--name" && value && *value && !std::strchr(value, '/')) {
            o->name = value, ++i;
        } else if (arg == "--key" && value && *value) {
            o->key = value, ++i;
        } else if (arg == "--group" && value) {
            errno = 0;
            const long g = std::strtol(value, &end, 10);
            if (errno || *end || end == value || g < 0 || g > 999) return *error = "--group needs 0..999", false;
            o->group = static_cast<int>(g), ++i;
        } else if (arg == "--interval" && value) {
            const double d = std::strtod(value, &end);
            if (*end || end == value || !(d >= 0.05 && d <= 3600)) return *error = "--interval needs 0.05..3600 seconds", false;
            o->interval = d, ++i;
        } else {
            return *error = "unknown or incomplete option " + arg, false;
        }
    }
    if (o->name.empty() != (o->group < 0)) return *error = "--name and --group go together", false;
    if (!o->name.empty() && !o->key.empty()) return *error = "give --name and --group, or --key, not both", false;
    return true;
}

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Sleeps for `seconds` unless a signal asks to stop.
void Pause(double seconds) {
    const double until = Now() + seconds;
    for (double left = seconds; left > 0 && !g_stop; left = until - Now()) {
        const double step = left < 0.1 ? left : 0.1;
        usleep(static_cast<useconds_t>(step * 1e6));
    }
}

// Refreshes every watch; the removed ones leave the list with a message.
void RefreshAll(std::vector<msstop::Watch>* watches, std::vector<std::string>* removed) {
    const double at = Now();
    for (size_t i = 0; i < watches->size();) {
        if ((*watches)[i].Refresh(at)) {
            ++i;
        } else {
            removed->push_back("mssp-top: the segment of " + (*watches)[i].segment.key() +
                               " was removed (its engine has ended)");
            watches->erase(watches->begin() + static_cast<long>(i));
        }
    }
}

void PrintTable(const std::vector<msstop::Watch>& watches) {
    for (const msstop::Line& l : msstop::TableLines(watches)) std::printf("%s\n", l.text.c_str());
    std::fflush(stdout);
}

void Say(std::vector<std::string>* messages) {
    for (const std::string& m : *messages) std::printf("%s\n", m.c_str());
    std::fflush(stdout);
    messages->clear();
}

int RunTerminal(std::vector<msstop::Watch>* watches, double interval) {
    initscr();
    cbreak();
    noecho();
    curs_set(0);
    timeout(kKeyPollMs);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(1, COLOR_BLACK, COLOR_YELLOW);  // stalled streams
    }
    std::vector<std::string> removed;
    bool quit = false;
    while (!quit && !g_stop && !watches->empty()) {
        erase();
        int row = 0;
        mvprintw(row++, 0, "mssp-top  every %.1f s  q quits", interval);
        for (const msstop::Line& l : msstop::TableLines(*watches)) {
            const attr_t attr = l.header ? A_BOLD : l.stalled ? COLOR_PAIR(1) | A_BOLD : A_NORMAL;
            attron(attr);
            mvaddnstr(row++, 0, l.text.c_str(), COLS);
            attroff(attr);
        }
        for (const std::string& m : removed) mvaddnstr(row++, 0, m.c_str(), COLS);
        refresh();
        const double until = Now() + interval;
        while (!quit && !g_stop && Now() < until) {
            const int c = getch();
            quit = c == 'q' || c == 'Q';
        }
        RefreshAll(watches, &removed);
    }
    endwin();
    Say(&removed);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseArgs(argc, argv, &o, &error)) {
        std::fprintf(stderr, "mssp-top: %s (see mssp-top --help)\n", error.c_str());
        return kExitUsage;
    }
    tooling::StopOnSignals(&g_stop);

    const bool chosen = !o.key.empty() || !o.name.empty();
    std::vector<std::string> keys;
    if (!o.key.empty()) keys.push_back(o.key);
    if (!o.name.empty()) keys.push_back(msstop::KeyPath(o.name, o.group));
    if (!chosen) keys = msstop::FindKeyFiles();

    std::vector<msstop::Watch> watches;
    int failure = kExitNoSegment;
    for (const std::string& key : keys) {
        msstop::Watch w;
        const int status = w.segment.Attach(key, &error);
        if (status == 0) {
            watches.push_back(std::move(w));
            continue;
        }
        std::fprintf(stderr, "mssp-top: %s\n", error.c_str());
        if (status == kExitRefused) failure = kExitRefused;
    }
    if (watches.empty()) {
        if (keys.empty()) std::fprintf(stderr, "mssp-top: no engine segment in %s\n", msstop::KeyDir().c_str());
        return failure;
    }

    std::vector<std::string> removed;
    RefreshAll(&watches, &removed);
    if (!o.once && !o.json && isatty(STDOUT_FILENO)) return RunTerminal(&watches, o.interval);
    for (bool first = true; !g_stop && !watches.empty(); first = false) {
        if (!(o.once && first)) {
            if (o.json) {
                std::printf("%s\n", msstop::JsonDocument(watches, o.interval).c_str());
                std::fflush(stdout);
            } else {
                PrintTable(watches);
            }
            if (o.once) break;
        }
        Say(&removed);
        Pause(o.interval);
        RefreshAll(&watches, &removed);
    }
    Say(&removed);
    return kExitOk;
}

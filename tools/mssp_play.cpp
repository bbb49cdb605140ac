// mssp-play: the recording player. Plays a recording group through the MSSP
// engine (see --help), or with --demo a built-in sample session. The engine
// prints its diagnostics on standard output by design: the player takes them
// through the engine's log hook (dropped, or written to --library-log FILE)
// so that its own report on standard output stays readable.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KeltoPlatform.h"
#include "MultiStreamSyncParser.h"
#include "Player.h"
#include "RecCommon.h"
#include "Signals.h"

namespace {

volatile sig_atomic_t g_stop = 0;
std::string g_shmName;  // removed at exit, also when the engine ends the process

void RemoveOurSharedMemory() {
    if (!g_shmName.empty()) player::RemoveSharedMemory(g_shmName, player::kPlaybackGroup);
}

// The engine's lines, through its log hook: dropped (user null) or written
// to the library log, one line each. Called from the engine's reader threads
// and the playback thread at once; stdio locks the stream per call.
void LibraryLine(void* user, int /*level*/, const char* line) {
    if (user) std::fprintf(static_cast<FILE*>(user), "%s\n", line);
}

// Routes the engine's lines away from the player's report on standard
// output: "" drops them, "-" leaves them there, else they go to the file.
bool RouteLibraryOutput(const std::string& log, std::string* error) {
    if (log == "-") return true;
    FILE* file = nullptr;
    if (!log.empty()) {
        file = std::fopen(log.c_str(), "we");
        if (!file) {
            *error = "cannot write the library log " + log + ": " + std::strerror(errno);
            return false;
        }
    }
    MSSP_SetLogHook(LibraryLine, file);  // the file stays open to the end; exit flushes it
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    player::Options options;
    std::string error;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(player::HelpText().c_str(), stderr);
        return player::kExitUsage;
    }
    if (!player::ParseArgs(args, &options, &error)) {
        std::fprintf(stderr, "mssp-play: %s (see mssp-play --help)\n", error.c_str());
        return player::kExitUsage;
    }
    if (options.help) {
        std::fputs(player::HelpText().c_str(), stdout);
        return player::kExitOk;
    }

    FILE* out = stdout;
    if (!RouteLibraryOutput(options.libraryLog, &error)) {
        std::fprintf(stderr, "mssp-play: %s\n", error.c_str());
        return player::kExitFailure;
    }
    // The platform logger (standard error) carries engine diagnostics too.
    if (options.libraryLog != "-") Common::gclSetDebugLevel(-1);
    recstore::SetLogSink([](const std::string& message) {
        std::fprintf(stderr, "mssp-play: store: %s\n", message.c_str());
    });
    tooling::StopOnSignals(&g_stop, true);

    if (options.shmName.empty()) options.shmName = player::UniqueShmName("msspplay");
    g_shmName = options.shmName;
    std::atexit(RemoveOurSharedMemory);

    player::Output output;
    output.out = out;
    output.err = stderr;
    output.stop = &g_stop;
    int status;
    if (options.demo) {
        status = player::RunDemo(options, output);
    } else {
        player::Result result;
        status = player::Play(options, output, &result);
    }
    std::fflush(out);
    std::fflush(stdout);
    constexpr int kExitInterrupted = 130;  // the shell's status for a run ended by SIGINT
    return g_stop && status == player::kExitOk ? kExitInterrupted : status;
}

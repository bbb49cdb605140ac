// mssp-play: the recording player. Plays a recording group through the MSSP
// engine (see --help), or with --demo a built-in sample session. The engine
// prints its diagnostics on standard output by design: they are moved away
// (to /dev/null or --library-log FILE) so that the player's own report on
// standard output stays readable.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KeltoPlatform.h"
#include "Player.h"
#include "RecCommon.h"

namespace {

volatile sig_atomic_t g_stop = 0;
std::string g_shmName;  // removed at exit, also when the engine ends the process

void OnSignal(int) { g_stop = 1; }

void RemoveOurSharedMemory() {
    if (!g_shmName.empty()) player::RemoveSharedMemory(g_shmName, player::kPlaybackGroup);
}

// Moves the engine's standard output away and returns a stream on the
// original standard output for the player's report. Null on failure.
FILE* RedirectLibraryOutput(const std::string& log, std::string* error) {
    if (log == "-") return stdout;
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    if (saved < 0) {
        *error = std::string("cannot duplicate standard output: ") + std::strerror(errno);
        return nullptr;
    }
    const char* path = log.empty() ? "/dev/null" : log.c_str();
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
        *error = std::string("cannot write the library log ") + path + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        close(saved);
        return nullptr;
    }
    close(fd);
    FILE* out = fdopen(saved, "w");
    if (!out) *error = std::string("cannot open standard output: ") + std::strerror(errno);
    return out;
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

    FILE* out = RedirectLibraryOutput(options.libraryLog, &error);
    if (!out) {
        std::fprintf(stderr, "mssp-play: %s\n", error.c_str());
        return player::kExitFailure;
    }
    // The platform logger (standard error) carries engine diagnostics too.
    if (options.libraryLog != "-") Common::gclSetDebugLevel(-1);
    recstore::SetLogSink([](const std::string& message) {
        std::fprintf(stderr, "mssp-play: store: %s\n", message.c_str());
    });
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

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

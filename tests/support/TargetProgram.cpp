#include "TargetProgram.h"

#include <sys/wait.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include <unistd.h>

#include <climits>
#include <sstream>

namespace msspt {

namespace {

// The cross build's emulator command, space-separated (CMake's
// CMAKE_CROSSCOMPILING_EMULATOR); empty in a native build.
#ifdef MSSP_TEST_EMULATOR
constexpr const char* kEmulator = MSSP_TEST_EMULATOR;
#else
constexpr const char* kEmulator = "";
#endif

}  // namespace

std::string EmulatorPrefix() {
    const std::string emulator = kEmulator;
    return emulator.empty() ? emulator : emulator + " ";
}

std::vector<std::string> ProgramArgv(const std::string& program) {
    std::vector<std::string> argv;
    std::istringstream words(kEmulator);
    for (std::string w; words >> w;) argv.push_back(w);
    argv.push_back(program);
    return argv;
}

std::string SelfPath() {
    // Under qemu-user the link names the emulated program, not the emulator.
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "/proc/self/exe";
    return std::string(path, static_cast<size_t>(n));
}

int Shell(const std::string& cmd, std::string* out) {
    out->clear();
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out->append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const char* program) {
    std::string out;
    return Shell(std::string("command -v ") + program, &out) == 0;
}

TempDir::TempDir(const char* tag) {
    std::string name = std::string("/tmp/") + tag + ".XXXXXX";
    path_ = mkdtemp(name.data());
}

TempDir::~TempDir() { std::filesystem::remove_all(path_); }

}  // namespace msspt

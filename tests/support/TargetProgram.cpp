#include "TargetProgram.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace msspt {

// The cross build's emulator command (CMake's CMAKE_CROSSCOMPILING_EMULATOR).
// A constant, not a std::string: suites build their command strings from it
// during static initialisation, before any string of this file would exist.
#ifdef MSSP_TEST_EMULATOR
static constexpr const char* kEmulator = MSSP_TEST_EMULATOR;
#else
static constexpr const char* kEmulator = "";
#endif

std::string EmulatorPrefix() { return *kEmulator ? std::string(kEmulator) + " " : std::string(); }

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
    return n <= 0 ? "/proc/self/exe" : std::string(path, static_cast<size_t>(n));
}

int Shell(const std::string& cmd, std::string* out) {
    out->clear();
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) out->append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const char* program) {
    std::string out;
    return Shell(std::string("command -v ") + program, &out) == 0;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

const NonRegular kNonRegular[3] = {
    {"a directory", [](const std::string& p) { return mkdir(p.c_str(), 0755) == 0; }},
    {"a FIFO", [](const std::string& p) { return mkfifo(p.c_str(), 0644) == 0; }},
    {"a character device", [](const std::string& p) { return symlink("/dev/null", p.c_str()) == 0; }},
};

std::string Captured(const std::function<void(FILE*)>& write) {
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    write(f);
    fclose(f);
    std::string out(text, len);
    free(text);
    return out;
}

TempDir::TempDir(const char* tag) {
    std::string name = std::string("/tmp/") + tag + ".XXXXXX";
    path_ = mkdtemp(name.data());
}

TempDir::~TempDir() { std::filesystem::remove_all(path_); }

}  // namespace msspt

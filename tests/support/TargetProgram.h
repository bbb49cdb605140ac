// Starting programs built by this project (the tools, or a second copy of
// the running test) from a test, and the file helpers the tool and store
// suites share. A cross build runs every target program under a user-mode
// emulator (qemu-user), which cannot start another target program by
// itself: such commands go through the same emulator.
#ifndef MSSP_TARGET_PROGRAM_H
#define MSSP_TARGET_PROGRAM_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace msspt {

// Shell words to put before a target program's path: empty, or the emulator and a space.
std::string EmulatorPrefix();
// The arguments that start `program` for posix_spawnp/execvp, emulator first.
std::vector<std::string> ProgramArgv(const std::string& program);
// Path of the running test program.
std::string SelfPath();
// Runs a shell command, its output and errors into `out`; the exit status, -1 without one.
int Shell(const std::string& cmd, std::string* out);
bool Have(const char* program);

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// The kinds of path that are no regular file, as the tools name them, and a
// maker of each at a path.
struct NonRegular {
    const char* kind;
    bool (*make)(const std::string& path);
};
extern const NonRegular kNonRegular[3];

// What `write` writes to a stream, as text.
std::string Captured(const std::function<void(FILE*)>& write);

// A fresh folder under /tmp named after `tag`, removed with its contents.
class TempDir {
public:
    explicit TempDir(const char* tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace msspt

#endif  // MSSP_TARGET_PROGRAM_H

// Starting programs built by this project (the tools, or a second copy of
// the running test) from a test. A cross build runs every target program
// under a user-mode emulator (qemu-user), which cannot start another target
// program by itself: such commands go through the same emulator. A native
// build runs them directly, and these helpers add nothing.
#ifndef MSSP_TARGET_PROGRAM_H
#define MSSP_TARGET_PROGRAM_H

#include <string>
#include <vector>

namespace msspt {

// Shell words to put before a target program's path in a command line:
// empty, or the emulator and its options followed by a space.
std::string EmulatorPrefix();

// The arguments that start `program` (a path) for posix_spawnp/execvp: the
// emulator and its options, if any, then the program.
std::vector<std::string> ProgramArgv(const std::string& program);

// Path of the running test program (the target program, under an emulator too).
std::string SelfPath();

// Runs a shell command; its standard output and error go to `out`. Returns
// the exit status, -1 when it did not exit normally.
int Shell(const std::string& cmd, std::string* out);

// True when `program` is on the PATH.
bool Have(const char* program);

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

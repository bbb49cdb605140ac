// The key file of a parser's segment and the lock that marks the live process
// whose reader threads fill the segment (see KeyFile.h). Runs on the host's
// control thread: construction, StartParse, StopParse, destruction.
#include "KeyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MsspInternal.h"

namespace {

constexpr size_t kPidTextSize = 24;  // a process id as decimal text, its newline and the terminator

// A write lock on the whole file.
struct flock WholeFile(short type) {
    struct flock lock;
    std::memset(&lock, 0, sizeof(lock));
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

// The process id that the key file names, as text: "<pid>", "<pid> (this
// process)" when it is ours, "unknown" when the file holds no process id.
void OwnerText(int fd, char* out, size_t size) {
    char text[kPidTextSize] = {};
    const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    long pid = 0;
    char* end = nullptr;
    if (n > 0) pid = std::strtol(text, &end, 10);
    if (n <= 0 || end == text || (*end != '\n' && *end != '\0') || pid <= 0) {
        std::snprintf(out, size, "unknown");
        return;
    }
    std::snprintf(out, size, "%ld%s", pid, pid == static_cast<long>(getpid()) ? " (this process)" : "");
}

}  // namespace

const char* mssp::KeyDir() {
    const char* dir = std::getenv(kKeyDirVariable);
    return dir != nullptr && *dir != '\0' ? dir : kDefaultKeyDir;
}

void MsspKeyFile::Open(P& p, const char* keyName, unsigned mode) {
    const char* dir = mssp::KeyDir();
    const int len = std::snprintf(p.m_KeyPath, sizeof(p.m_KeyPath), "%s/.%s", dir, keyName);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(p.m_KeyPath)) {
        MSSP_LOC_AS("CreateShareMemory");
        mssp::Log(&p, mssp::kLogError,
                  "key file path %s/.%s longer than %zu characters: %s names no usable directory\n", dir, keyName,
                  sizeof(p.m_KeyPath) - 1, mssp::kKeyDirVariable);
        std::fflush(stdout);
        std::exit(mssp::kFatalExitStatus);
    }
    Close(p);  // a second call names the key file anew
    // The key file gets the segment's mode; the caller's file-creation mask
    // is put back after. A file that is there already is used as it is.
    const mode_t oldMask = umask(0);
    p.m_KeyFd = open(p.m_KeyPath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    umask(oldMask);
    if (p.m_KeyFd < 0 && errno == EEXIST) p.m_KeyFd = open(p.m_KeyPath, O_RDWR | O_CLOEXEC);
    p.m_KeyOpenError = p.m_KeyFd < 0 ? errno : 0;
}

bool MsspKeyFile::Lock(P& p) {
    if (p.m_KeyFd < 0) {
        MSSP_LOC_AS("StartParse");
        mssp::Log(&p, mssp::kLogError,
                  "key file %s could not be opened for writing (%s), so no other process can see this one's "
                  "reader threads on its segment: nothing started\n",
                  p.m_KeyPath, std::strerror(p.m_KeyOpenError));
        return false;
    }
    struct flock lock = WholeFile(F_WRLCK);
    if (fcntl(p.m_KeyFd, F_OFD_SETLK, &lock) != 0) {
        const int err = errno;
        MSSP_LOC_AS("StartParse");
        if (err == EAGAIN || err == EACCES) {
            char owner[mssp::kOwnerTextSize];
            OwnerText(p.m_KeyFd, owner, sizeof(owner));
            mssp::Log(&p, mssp::kLogError,
                      "shared segment of key file %s is in use by process %s, whose reader threads fill it: "
                      "nothing started\n",
                      p.m_KeyPath, owner);
        } else {
            mssp::Log(&p, mssp::kLogError, "key file %s could not be locked (%s): nothing started\n", p.m_KeyPath,
                      std::strerror(err));
        }
        return false;
    }
    // The process id tells a monitor whose lock it sees; the lock alone
    // decides, so a failed write is reported and playback goes on.
    char text[kPidTextSize];
    const int len = std::snprintf(text, sizeof(text), "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(p.m_KeyFd, 0) != 0 || pwrite(p.m_KeyFd, text, static_cast<size_t>(len), 0) != len) {
        MSSP_LOC_AS("StartParse");
        mssp::Log(&p, mssp::kLogError, "key file %s: process id not written (%s)\n", p.m_KeyPath, std::strerror(errno));
    }
    return true;
}

void MsspKeyFile::Unlock(P& p) {
    if (p.m_KeyFd < 0) return;
    // The process id stays in the file: without the lock it names the
    // process that ran reader threads last.
    struct flock lock = WholeFile(F_UNLCK);
    fcntl(p.m_KeyFd, F_OFD_SETLK, &lock);
}

bool MsspKeyFile::HeldElsewhere(P& p, char* pid, size_t size) {
    if (p.m_KeyFd < 0) return false;
    // This description's own lock never conflicts with itself: only another
    // object's or process's shows here.
    struct flock lock = WholeFile(F_WRLCK);
    if (fcntl(p.m_KeyFd, F_OFD_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return false;
    OwnerText(p.m_KeyFd, pid, size);
    return true;
}

void MsspKeyFile::Close(P& p) {
    if (p.m_KeyFd < 0) return;
    close(p.m_KeyFd);
    p.m_KeyFd = -1;
}

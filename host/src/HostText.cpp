// Host layer: the parser's shared memory as a host sees it (key file,
// segment, unique base names) and the channel sets and times that people
// give to a host, and the engine's mapping of channels to stream indexes.
// No engine call here.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "MsspHost.h"

namespace mssphost {

bool ParseInteger(const std::string& text, long long lo, long long hi, long long* out) {
    // strtoll would also take blanks and a '+' before the digits.
    if (text.empty() || text.size() > 18 || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno || !end || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

std::string KeyFilePath(const std::string& name, int group) {
    // The engine's rule: MSSP_KEY_DIR when set and not empty, /tmp otherwise.
    const char* dir = std::getenv("MSSP_KEY_DIR");
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), "%02d", group);
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/." + name + suffix;
}

long KeyFileOwner(const std::string& name, int group) {
    const int fd = open(KeyFilePath(name, group).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    long pid = 0;
    if (fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
        char text[24] = {};
        pid = -1;
        if (pread(fd, text, sizeof(text) - 1, 0) > 0) {
            char* end = nullptr;
            const long v = std::strtol(text, &end, 10);
            if (end != text && (*end == '\n' || *end == '\0') && v > 0) pid = v;
        }
    }
    close(fd);
    return pid;
}

void RemoveSharedMemory(const std::string& name, int group) {
    const std::string path = KeyFilePath(name, group);
    if (access(path.c_str(), F_OK) != 0) return;
    // Another process's readers still fill that segment: not ours to remove.
    const long owner = KeyFileOwner(name, group);
    if (owner != 0 && owner != static_cast<long>(getpid())) return;
    const key_t key = ftok(path.c_str(), 'k');
    if (key != -1) {
        const int id = shmget(key, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
    unlink(path.c_str());
}

bool SharedMemoryExists(const std::string& name, int group) {
    // The key file is left behind by the engine by design; a host that
    // cleans up removes it with the segment, so either one is a leftover.
    return access(KeyFilePath(name, group).c_str(), F_OK) == 0;
}

std::string UniqueShmName(const char* prefix) {
    static std::atomic<unsigned> counter{0};
    return std::string(prefix) + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

bool ParseChannelSet(const std::string& text, uint32_t* mask) {
    if (text.empty()) return false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(text.c_str() + 2, &end, 16);
        if (errno || !end || *end || v > 0xFFFFFFFFull || text[2] == '-' || text[2] == '+') return false;
        *mask = static_cast<uint32_t>(v);
        return true;
    }
    uint32_t m = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = std::min(text.find(',', pos), text.size());
        const std::string item = text.substr(pos, comma - pos);
        const size_t dash = item.find('-');
        long long lo = 0, hi = 0;
        if (dash == std::string::npos) {
            if (!ParseInteger(item, 0, 31, &lo)) return false;
            hi = lo;
        } else if (!ParseInteger(item.substr(0, dash), 0, 31, &lo) ||
                   !ParseInteger(item.substr(dash + 1), 0, 31, &hi) ||
                   hi < lo) {
            return false;
        }
        for (long long c = lo; c <= hi; ++c) m |= 1u << c;
        pos = comma + 1;
    }
    *mask = m;
    return true;
}

bool ParseStartTime(const std::string& text, DateTime* dt, bool* timeOfDay) {
    unsigned h = 0, m = 0, s = 0;
    char tail = 0;
    if (text.size() == 8 && std::sscanf(text.c_str(), "%2u:%2u:%2u%c", &h, &m, &s, &tail) == 3) {
        if (h > 23 || m > 59 || s > 59) return false;
        *dt = DateTime{0, 1, 1, static_cast<uint8_t>(h), static_cast<uint8_t>(m), static_cast<uint8_t>(s)};
        *timeOfDay = true;
        return true;
    }
    *timeOfDay = false;
    return recstore::ParseDateTime(text, dt);
}

std::string ChannelList(uint32_t mask) {
    std::string s;
    for (int c = 0; c < 32; ++c) {
        if (!(mask >> c & 1)) continue;
        if (!s.empty()) s += ",";
        s += std::to_string(c);
    }
    return s.empty() ? "none" : s;
}

int StreamIndexOf(uint32_t mask, int channel) {
    if (channel < 0 || channel > 31 || !(mask >> channel & 1)) return -1;
    return std::popcount(mask & ((1u << channel) - 1u));
}

int ChannelAtIndex(uint32_t mask, int index) {
    for (int c = 0; c < 32; ++c) {
        if (mask >> c & 1 && index-- == 0) return c;
    }
    return -1;
}

uint32_t FirstChannels(uint32_t mask, int n) {
    uint32_t out = 0;
    for (int c = 0; c < 32 && n > 0; ++c) {
        if (mask >> c & 1) {
            out |= 1u << c;
            --n;
        }
    }
    return out;
}

}  // namespace mssphost

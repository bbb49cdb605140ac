// Recording store basics: UTC civil date arithmetic for the recorded
// date-time record, its text form, the check that a recorded file is a
// regular one, and the process-wide message sink.
#include "RecCommon.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cstdio>
#include <mutex>

namespace recstore {
namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<int64_t>(era) * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = static_cast<int>(z - era * 146097);
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(yoe + era * 400) + (*m <= 2);
}

std::mutex g_logMutex;
LogSink g_logSink;

}  // namespace

bool ValidDateTime(const DateTime& dt) {
    const int year = 2000 + dt[0];
    if (dt[1] < 1 || dt[1] > 12) return false;
    if (dt[2] < 1 || dt[2] > DaysInMonth(year, dt[1])) return false;
    return dt[3] < 24 && dt[4] < 60 && dt[5] < 60;
}

int64_t DateTimeToSeconds(const DateTime& dt) {
    const int64_t days = DaysFromCivil(2000 + dt[0], dt[1], dt[2]);
    return days * 86400 + dt[3] * 3600 + dt[4] * 60 + dt[5];
}

DateTime SecondsToDateTime(int64_t seconds) {
    const int64_t lo = DateTimeToSeconds(DateTime{0, 1, 1, 0, 0, 0});
    const int64_t hi = DateTimeToSeconds(DateTime{255, 12, 31, 23, 59, 59});
    if (seconds < lo) seconds = lo;
    if (seconds > hi) seconds = hi;
    int64_t days = seconds / 86400;
    int rest = static_cast<int>(seconds - days * 86400);
    int y, m, d;
    CivilFromDays(days, &y, &m, &d);
    return DateTime{static_cast<uint8_t>(y - 2000), static_cast<uint8_t>(m), static_cast<uint8_t>(d),
                    static_cast<uint8_t>(rest / 3600), static_cast<uint8_t>(rest / 60 % 60),
                    static_cast<uint8_t>(rest % 60)};
}

std::string FormatDateTime(const DateTime& dt) {
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02u:%02u:%02u", 2000 + dt[0], dt[1], dt[2], dt[3],
                  dt[4], dt[5]);
    return text;
}

bool ParseDateTime(const std::string& text, DateTime* dt) {
    unsigned y, mo, d, h, mi, s;
    char sep;
    int used = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%n", &y, &mo, &d, &sep, &h, &mi, &s, &used) != 7 ||
        static_cast<size_t>(used) != text.size() || (sep != ' ' && sep != 'T'))
        return false;
    if (y < 2000 || y > 2255 || mo > 255 || d > 255 || h > 255 || mi > 255 || s > 255) return false;
    DateTime v{static_cast<uint8_t>(y - 2000), static_cast<uint8_t>(mo), static_cast<uint8_t>(d),
               static_cast<uint8_t>(h),        static_cast<uint8_t>(mi), static_cast<uint8_t>(s)};
    if (!ValidDateTime(v)) return false;
    *dt = v;
    return true;
}

void SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logSink = std::move(sink);
}

namespace {

const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "of an unknown kind";
}

}  // namespace

bool RegularFileStat(const std::string& path, struct stat* st, std::string* why) {
    if (stat(path.c_str(), st) != 0) {
        const int e = errno;
        if (why) *why = e == ENOENT ? path + " missing" : path + ": " + std::strerror(e);
        errno = e;
        return false;
    }
    if (!S_ISREG(st->st_mode)) {
        if (why) *why = path + " is not a regular file (" + FileKind(st->st_mode) + ")";
        errno = EINVAL;
        return false;
    }
    return true;
}

int OpenRegularFile(const std::string& path, struct stat* st, std::string* why) {
    struct stat before, local;
    struct stat& now = st ? *st : local;
    if (!RegularFileStat(path, &before, why)) return -1;
    // Non-blocking: the path may have become a FIFO since the check.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        if (why) *why = e == ENOENT ? path + " missing" : "cannot open " + path + ": " + std::strerror(e);
        errno = e;
        return -1;
    }
    if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != before.st_dev ||
        now.st_ino != before.st_ino) {
        if (why) *why = path + " is not a regular file (replaced while it was opened)";
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void Log(const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_logSink) {
        g_logSink(text);
    } else {
        std::fprintf(stderr, "recstore: %s\n", text);
    }
}

}  // namespace recstore

// Recording store basics: the recorded date-time record and its conversion
// to seconds, little-endian helpers for recorded bytes, and the message
// sink that every part of the store reports through.
//
// Date-time arithmetic is time-zone independent: the six recorded bytes are
// read as a UTC civil date and converted with a proleptic Gregorian day
// count (the same result as timegm, without depending on the width of
// time_t, which is 32 bits on some ARM targets).
#ifndef RECSTORE_REC_COMMON_H
#define RECSTORE_REC_COMMON_H

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace recstore {

// Year (counted from 2000), month, day, hour, minute, second.
using DateTime = std::array<uint8_t, 6>;

// True when the six bytes name a real date and time (month 1..12, day
// within the month, hour < 24, minute < 60, second < 60).
bool ValidDateTime(const DateTime& dt);

// Seconds since 1970-01-01 00:00:00 UTC. The record must be valid.
int64_t DateTimeToSeconds(const DateTime& dt);

// The record for a count of seconds; years outside 2000..2255 are clamped.
DateTime SecondsToDateTime(int64_t seconds);

// "YYYY-MM-DD HH:MM:SS".
std::string FormatDateTime(const DateTime& dt);

// Parses "YYYY-MM-DD HH:MM:SS" (or 'T' between date and time); false when
// the text is malformed or the date is not valid.
bool ParseDateTime(const std::string& text, DateTime* dt);

// Six bytes at p as a DateTime.
inline DateTime DateTimeAt(const uint8_t* p) {
    DateTime dt;
    std::memcpy(dt.data(), p, 6);
    return dt;
}

// Little-endian reads of recorded bytes, safe on any alignment.
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}
inline uint64_t Le64(const uint8_t* p) {
    return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
inline void PutLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, v);
    PutLe16(p + 2, v >> 16);
}
inline void PutLe64(uint8_t* p, uint64_t v) {
    PutLe32(p, static_cast<uint32_t>(v));
    PutLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Recorded files are read only when they are regular files: a FIFO would
// block the open (and the read), a device may act on being opened, a
// directory holds no data. RegularFileStat checks the kind without opening
// (links are followed); OpenRegularFile then opens without blocking and
// checks the opened file again. Both give the reason on failure: "<path>
// missing" (errno ENOENT), "<path> is not a regular file (a FIFO)", or the
// system's reason.
bool RegularFileStat(const std::string& path, struct stat* st, std::string* why);
int OpenRegularFile(const std::string& path, struct stat* st, std::string* why);

// Messages of the store go to one process-wide sink: standard error with
// the prefix "recstore: " unless a sink is set. Thread-safe.
using LogSink = std::function<void(const std::string&)>;
void SetLogSink(LogSink sink);  // empty function: back to standard error
void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace recstore

#endif  // RECSTORE_REC_COMMON_H

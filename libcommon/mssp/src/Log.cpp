// The library's diagnostics: the location prefix kept for a thread's next
// line, the default output (standard output; perror's standard error) and
// the hooks a host sets, process-wide or per object, to take the lines.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MsspInternal.h"

namespace {

// Process-wide hook. Set once before any object plays; read by every thread
// that prints, so it goes through atomic access all the same.
MSSP_LogFn g_LogFn = nullptr;
void* g_pLogUser = nullptr;

// The location prefix given just before a message on this thread, carried
// in front of that message. "[MSSP MultiStreamSyncParser->" and a line
// number leave about 100 characters for the operation's name.
constexpr size_t kPrefixSize = 160;
thread_local char t_Prefix[kPrefixSize];
thread_local size_t t_PrefixLen = 0;

// A line short enough for the stack; longer ones take the heap.
constexpr size_t kLineSize = 512;

// Hands text (prefix and message, possibly several lines) to a hook line by
// line: newlines cut it, empty lines are left out. Writes into text.
void Deliver(MSSP_LogFn fn, void* user, int level, char* text) {
    char* line = text;
    for (;;) {
        char* end = std::strchr(line, '\n');
        if (end) *end = '\0';
        if (*line) fn(user, level, line);
        if (!end) return;
        line = end + 1;
    }
}

// Writes the pending prefix to standard output, as its own printf did.
void PrintPrefix() {
    if (t_PrefixLen) std::fwrite(t_Prefix, 1, t_PrefixLen, stdout);
    t_PrefixLen = 0;
}

}  // namespace

struct MsspLog {
    // The hook that takes owner's lines, or null for standard output.
    static MSSP_LogFn Hook(const CMultiStreamSyncParser* owner, void** user) {
        if (owner && owner->m_LogFn) {
            *user = owner->m_pLogUser;
            return owner->m_LogFn;
        }
        MSSP_LogFn fn = mssp::LoadAcquire(g_LogFn);  // publishes g_pLogUser with it
        *user = mssp::LoadRelaxed(g_pLogUser);
        return fn;
    }
};

void CMultiStreamSyncParser::SetLogHook(MSSP_LogFn fn, void* user) {
    m_pLogUser = fn ? user : nullptr;
    m_LogFn = fn;
}

extern "C" void MSSP_SetLogHook(MSSP_LogFn fn, void* user) {
    mssp::StoreRelaxed(g_pLogUser, fn ? user : nullptr);
    mssp::StoreRelease(g_LogFn, fn);  // publishes the user pointer
}

extern "C" MSSP_LogFn MSSP_GetLogHook(void** user) {
    MSSP_LogFn fn = mssp::LoadAcquire(g_LogFn);
    if (user) *user = mssp::LoadRelaxed(g_pLogUser);
    return fn;
}

namespace mssp {

void LogPrefix(const char* operation, int line) {
    const int n =
        std::snprintf(t_Prefix, kPrefixSize, "[MSSP %s->%s line:%d]", "MultiStreamSyncParser", operation, line);
    t_PrefixLen = n < 0 ? 0 : (static_cast<size_t>(n) < kPrefixSize ? static_cast<size_t>(n) : kPrefixSize - 1);
}

void Log(const CMultiStreamSyncParser* owner, int level, const char* format, ...) {
    void* user = nullptr;
    const MSSP_LogFn fn = MsspLog::Hook(owner, &user);
    va_list args;
    va_start(args, format);
    if (!fn) {
        PrintPrefix();
        std::vprintf(format, args);
        va_end(args);
        return;
    }
    char stack[kLineSize];
    char* text = stack;
    size_t room = sizeof(stack);
    const size_t prefixLen = t_PrefixLen;
    t_PrefixLen = 0;
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(text + prefixLen, room - prefixLen, format, args);
    if (n >= 0 && static_cast<size_t>(n) >= room - prefixLen) {
        room = prefixLen + static_cast<size_t>(n) + 1;
        char* heap = static_cast<char*>(std::malloc(room));
        if (heap) {
            text = heap;
            std::vsnprintf(text + prefixLen, room - prefixLen, format, again);
        }  // else the line is given cut short
    } else if (n < 0) {
        text[prefixLen] = '\0';
    }
    va_end(again);
    va_end(args);
    std::memcpy(text, t_Prefix, prefixLen);
    Deliver(fn, user, level, text);
    if (text != stack) std::free(text);
}

void LogPuts(const CMultiStreamSyncParser* owner, int level, const char* text) {
    void* user = nullptr;
    const MSSP_LogFn fn = MsspLog::Hook(owner, &user);
    if (!fn) {
        PrintPrefix();
        std::puts(text);
        return;
    }
    Log(owner, level, "%s", text);
}

void LogErrno(const CMultiStreamSyncParser* owner, const char* text) {
    const int err = errno;
    void* user = nullptr;
    const MSSP_LogFn fn = MsspLog::Hook(owner, &user);
    if (!fn) {
        PrintPrefix();
        errno = err;
        std::perror(text);
        return;
    }
    Log(owner, kLogError, "%s: %s", text, std::strerror(err));
}

}  // namespace mssp

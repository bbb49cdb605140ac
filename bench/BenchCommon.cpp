// Benchmark harness: see BenchCommon.h.
#include "BenchCommon.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef MSSP_BENCH_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#include <valgrind/valgrind.h>
#endif

// ---------------------------------------------------------------------------
// Allocation counting. glibc exports its allocator under these names; the
// wrappers below replace the public names for the whole process (the
// executable is linked with -rdynamic), count, and pass the call on.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

std::atomic<unsigned long long> g_allocs{0};
std::atomic<unsigned long long> g_markedAllocs{0};
thread_local bool t_marked = false;  // static TLS of the executable: no allocation to reach it

inline void CountAlloc() {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (t_marked) g_markedAllocs.fetch_add(1, std::memory_order_relaxed);
}

bool PowerOfTwo(size_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

extern "C" {

void* malloc(size_t size) {
    CountAlloc();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    CountAlloc();
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    CountAlloc();
    return __libc_realloc(p, size);
}

void free(void* p) { __libc_free(p); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (!PowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    CountAlloc();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

void* aligned_alloc(size_t alignment, size_t size) {
    CountAlloc();
    return __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size) {
    CountAlloc();
    return __libc_memalign(alignment, size);
}

}  // extern "C"

namespace bench {

namespace {
int g_resultFd = STDOUT_FILENO;
FILE* g_result = nullptr;

FILE* ResultStream() {
    if (g_result == nullptr) g_result = fdopen(dup(g_resultFd), "w");
    return g_result;
}
}  // namespace

void QuietStdout() {
    std::fflush(stdout);
    if (std::getenv("MSSP_BENCH_SHOW_LOG") != nullptr) return;  // debugging: keep the library's messages
    g_resultFd = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (g_resultFd < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        std::perror("bench: redirecting standard output");
        std::exit(2);
    }
    close(null);
}

void Result(const char* key, const std::string& value) {
    std::fprintf(ResultStream(), "%s=%s\n", key, value.c_str());
}

void Result(const char* key, double value) { std::fprintf(ResultStream(), "%s=%.9g\n", key, value); }

void Result(const char* key, long long value) { std::fprintf(ResultStream(), "%s=%lld\n", key, value); }

void ResultFlush() { std::fflush(ResultStream()); }

void Note(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}

double WallNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

CpuTime CpuNow() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    CpuTime t;
    t.user = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) * 1e-6;
    t.sys = static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) * 1e-6;
    return t;
}

double ThreadCpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

AllocCounts Allocs() {
    AllocCounts c;
    c.all = g_allocs.load(std::memory_order_relaxed);
    c.marked = g_markedAllocs.load(std::memory_order_relaxed);
    return c;
}

void MarkThread(bool on) { t_marked = on; }

bool UnderValgrind() {
#ifdef MSSP_BENCH_HAVE_CALLGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

void BeginMeasure() {
#ifdef MSSP_BENCH_HAVE_CALLGRIND
    CALLGRIND_ZERO_STATS;
#endif
}

void EndMeasure(const char* label) {
#ifdef MSSP_BENCH_HAVE_CALLGRIND
    CALLGRIND_DUMP_STATS_AT(label);
#else
    (void)label;
#endif
}

Memory ReadMemory() {
    Memory m;
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return m;
    char line[256];
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        long long v = 0;
        if (std::sscanf(line, "VmRSS: %lld", &v) == 1) m.rss = v;
        else if (std::sscanf(line, "VmHWM: %lld", &v) == 1) m.hwm = v;
        else if (std::sscanf(line, "RssAnon: %lld", &v) == 1) m.anon = v;
        else if (std::sscanf(line, "RssFile: %lld", &v) == 1) m.file = v;
        else if (std::sscanf(line, "RssShmem: %lld", &v) == 1) m.shmem = v;
    }
    std::fclose(f);
    return m;
}

Args::Args(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) {
        std::string key = argv[i];
        if (key.rfind("--", 0) != 0) {
            Note("bench: unexpected argument %s\n", argv[i]);
            std::exit(2);
        }
        key = key.substr(2);
        std::string value = "1";
        if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) value = argv[++i];
        kv_.emplace_back(key, value);
    }
}

std::string Args::Str(const char* key, const std::string& def) const {
    for (const auto& [k, v] : kv_)
        if (k == key) return v;
    return def;
}

long long Args::Int(const char* key, long long def) const {
    const std::string v = Str(key, "");
    return v.empty() ? def : std::strtoll(v.c_str(), nullptr, 0);
}

double Args::Num(const char* key, double def) const {
    const std::string v = Str(key, "");
    return v.empty() ? def : std::strtod(v.c_str(), nullptr);
}

bool Args::Has(const char* key) const {
    for (const auto& kv : kv_)
        if (kv.first == key) return true;
    return false;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Max(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

}  // namespace bench

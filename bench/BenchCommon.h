// Benchmark harness shared by the bench programs.
//
//  * Output: the library prints its diagnostics on standard output. Every
//    bench program calls QuietStdout() first: it keeps a duplicate of the
//    real standard output for the results and points descriptor 1 at
//    /dev/null, so that terminal output never dominates a figure (the
//    formatting cost of the library's printf calls stays in the figures,
//    only the terminal is gone). MSSP_BENCH_SHOW_LOG=1 in the environment
//    keeps the messages, for debugging a benchmark.
//  * Results are "key=value" lines on the kept descriptor, one run a block,
//    read by scripts/bench.sh.
//  * Clocks: wall time (CLOCK_MONOTONIC) and the process's CPU time, user
//    and system, over all threads (getrusage).
//  * Allocation counting: the executable replaces malloc, calloc, realloc
//    and the aligned allocators with counting wrappers around glibc's own;
//    a thread can mark the calls it makes so that they are counted apart.
//  * Callgrind: BeginMeasure()/EndMeasure() zero the counters and dump them
//    when the program runs under valgrind --tool=callgrind, so that the
//    dump holds exactly the measured region of every thread; natively they
//    cost nothing.
#ifndef MSSP_BENCH_COMMON_H
#define MSSP_BENCH_COMMON_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// Points standard output at /dev/null; results go to the descriptor kept.
void QuietStdout();
// Writes "key=value\n" to the kept standard output.
void Result(const char* key, const std::string& value);
void Result(const char* key, double value);
void Result(const char* key, long long value);
void ResultFlush();
// A message for the person running the bench (standard error).
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

double WallNow();  // seconds, monotonic
struct CpuTime {
    double user = 0, sys = 0;
    double Total() const { return user + sys; }
};
CpuTime CpuNow();  // this process, all threads
double ThreadCpuNow();  // the calling thread's CPU time, seconds

// Allocation counters (calls of malloc, calloc, realloc, posix_memalign,
// aligned_alloc, memalign; free is not counted).
struct AllocCounts {
    unsigned long long all = 0;     // every thread
    unsigned long long marked = 0;  // calls made while the calling thread was marked
};
AllocCounts Allocs();
// Marks or unmarks the calling thread (see AllocCounts::marked).
void MarkThread(bool on);

// Callgrind region: zero at the start, dump at the end (no-ops natively).
void BeginMeasure();
void EndMeasure(const char* label);
bool UnderValgrind();

// Memory of this process from /proc/self/status, in KiB (0 when unknown).
struct Memory {
    long long rss = 0, anon = 0, file = 0, shmem = 0, hwm = 0;
};
Memory ReadMemory();

// Command line: --key value pairs.
class Args {
public:
    Args(int argc, char** argv, int first);
    std::string Str(const char* key, const std::string& def) const;
    long long Int(const char* key, long long def) const;
    double Num(const char* key, double def) const;
    bool Has(const char* key) const;

private:
    std::vector<std::pair<std::string, std::string>> kv_;
};

// Median and maximum of samples (0 for none).
double Median(std::vector<double> v);
double Max(const std::vector<double>& v);

}  // namespace bench

#endif  // MSSP_BENCH_COMMON_H

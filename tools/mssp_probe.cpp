// mssp-probe: lists what a recording holds, pack by pack, and why the player
// would drop a pack. Takes a segment file or a recording group directory.
#include <sys/stat.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Probe.h"
#include "Ranges.h"

namespace {

void Usage() {
    std::puts(
        "usage: mssp-probe [options] PATH\n"
        "  PATH                  a segment file (.pack) or a recording group directory\n"
        "  --format new|old      pack format of a lone file (default: detected)\n"
        "  --summary             issues and summaries only, no pack lines\n"
        "  --limit N             at most N pack lines per file\n"
        "  --channel C           group: only channel C\n"
        "  --type T              group: only stream type T\n"
        "  --segment N           group: only segment number N\n"
        "  --ranges              group: per channel the recorded ranges and the pauses between them\n"
        "                        (recorded date and time; with --type T only that stream type)\n"
        "columns: offset, type, pts, date-time, pack length = header + extension + payload,\n"
        "extension records as kind(length), checksum verdict, and notes (drops, size, reference)");
}

bool Number(const char* text, long long lo, long long hi, long long* out) {
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (!end || *end || end == text || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    probe::Options options;
    recstore::PackFormat format = recstore::PackFormat::kNew;
    bool formatGiven = false;
    std::string path;
    bool listRanges = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long long v = 0;
        if (arg == "-h" || arg == "--help") {
            Usage();
            return 0;
        } else if (arg == "--ranges") {
            listRanges = true;
        } else if (arg == "--summary") {
            options.listPacks = false;
        } else if (arg == "--format" && hasValue) {
            if (!recstore::ParseFormatName(argv[++i], &format)) {
                std::fprintf(stderr, "mssp-probe: format must be new or old\n");
                return 2;
            }
            formatGiven = true;
        } else if (arg == "--limit" && hasValue && Number(argv[i + 1], 0, 1LL << 40, &v)) {
            options.limit = static_cast<uint64_t>(v);
            ++i;
        } else if (arg == "--channel" && hasValue && Number(argv[i + 1], 0, 31, &v)) {
            options.channel = static_cast<int>(v);
            ++i;
        } else if (arg == "--type" && hasValue && Number(argv[i + 1], 0, 2, &v)) {
            options.streamType = static_cast<int>(v);
            ++i;
        } else if (arg == "--segment" && hasValue && Number(argv[i + 1], 0, 0xFFFFFFFFLL, &v)) {
            options.segment = v;
            ++i;
        } else if (!arg.empty() && arg[0] != '-' && path.empty()) {
            path = arg;
        } else {
            std::fprintf(stderr, "mssp-probe: bad argument %s\n", arg.c_str());
            Usage();
            return 2;
        }
    }
    if (path.empty()) {
        Usage();
        return 2;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "mssp-probe: %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    std::string error;
    if (listRanges) {
        if (!S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "mssp-probe: --ranges takes a recording group directory\n");
            return 2;
        }
        std::vector<ranges::ChannelRanges> all;
        std::vector<std::string> notes;
        if (!ranges::LoadRanges(path, options.streamType, &all, &notes, &error)) {
            std::fprintf(stderr, "mssp-probe: %s\n", error.c_str());
            return 1;
        }
        for (const std::string& n : notes) std::fprintf(stderr, "mssp-probe: %s\n", n.c_str());
        if (options.channel >= 0)
            std::erase_if(all, [&](const ranges::ChannelRanges& r) { return r.channel != options.channel; });
        ranges::PrintRanges(stdout, all);
        return 0;
    }
    const bool ok = S_ISDIR(st.st_mode)
                        ? probe::ProbeGroup(path, options, stdout, &error)
                        : probe::ProbeFile(path, formatGiven ? &format : nullptr, options, stdout, nullptr, &error);
    if (!ok) {
        std::fprintf(stderr, "mssp-probe: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// mssp-bench-floor: the copy floor. The same bytes the pipeline plays (the
// segment files of the first N channels' main streams) copied once into
// one ring per channel, 64 KiB at a time, channel after channel: the least
// any reader can do.
//
//   mssp-bench-floor --group DIR --channels N [--ring BYTES] [--mode memcpy|pread]
//
// memcpy: the files are read into memory before the measured region; the
//         region is memcpy into the rings (the floor the targets use).
// pread:  the region reads the files (page cache) straight into the rings,
//         the kernel doing the one copy; the floor of a reader of files.
// As in the pipeline benchmark, a first pass warms the rings' pages and the
// page cache, and the second pass is measured (and dumped under callgrind).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "RecStore.h"

namespace {

constexpr size_t kChunk = 65536;  // one ReadStream's worth

struct Source {
    std::vector<std::string> paths;
    std::vector<uint8_t> bytes;  // memcpy mode
    std::vector<int> fds;        // pread mode
};

}  // namespace

int main(int argc, char** argv) {
    bench::QuietStdout();
    const bench::Args args(argc, argv, 1);
    const std::string dir = args.Str("group", "");
    const int channels = static_cast<int>(args.Int("channels", 1));
    const size_t ring = static_cast<size_t>(args.Int("ring", 1 << 20));
    const std::string mode = args.Str("mode", "memcpy");
    const bool usePread = mode == "pread";
    if (dir.empty() || channels < 1 || channels > 32 || ring < kChunk || (mode != "memcpy" && mode != "pread")) {
        bench::Note("usage: mssp-bench-floor --group DIR --channels 1..32 [--ring B] [--mode memcpy|pread]\n");
        return 2;
    }
    std::string error;
    auto store = recstore::RecStore::Open(dir, &error);
    if (!store) {
        bench::Note("bench: cannot open %s: %s\n", dir.c_str(), error.c_str());
        return 2;
    }

    std::vector<Source> src(static_cast<size_t>(channels));
    for (const recstore::StreamDesc& s : store->Group().streams) {
        if (s.streamType != 0 || s.channel >= channels) continue;
        for (const recstore::SegmentDesc& seg : s.segments) src[s.channel].paths.push_back(dir + "/" + seg.file);
    }
    for (Source& s : src) {
        for (const std::string& path : s.paths) {
            const int fd = open(path.c_str(), O_RDONLY);
            if (fd < 0) {
                bench::Note("bench: cannot open %s\n", path.c_str());
                return 2;
            }
            if (usePread) {
                s.fds.push_back(fd);
                continue;
            }
            const off_t size = lseek(fd, 0, SEEK_END);
            const size_t at = s.bytes.size();
            s.bytes.resize(at + static_cast<size_t>(size));
            if (pread(fd, s.bytes.data() + at, static_cast<size_t>(size), 0) != size) {
                bench::Note("bench: short read of %s\n", path.c_str());
                return 2;
            }
            close(fd);
        }
    }
    std::vector<std::unique_ptr<uint8_t[]>> rings;
    for (int c = 0; c < channels; ++c) rings.emplace_back(new uint8_t[ring]);

    auto pass = [&](long long* bytesOut) {
        std::vector<size_t> w(static_cast<size_t>(channels), 0);
        std::vector<size_t> file(static_cast<size_t>(channels), 0);
        std::vector<unsigned long long> off(static_cast<size_t>(channels), 0);
        long long bytes = 0;
        for (bool any = true; any;) {
            any = false;
            for (int c = 0; c < channels; ++c) {
                Source& s = src[static_cast<size_t>(c)];
                if (w[c] + kChunk > ring) w[c] = 0;
                size_t n = 0;
                if (usePread) {
                    while (file[c] < s.fds.size()) {
                        const ssize_t r = pread(s.fds[file[c]], rings[c].get() + w[c], kChunk, static_cast<off_t>(off[c]));
                        if (r > 0) {
                            n = static_cast<size_t>(r);
                            break;
                        }
                        ++file[c];
                        off[c] = 0;
                    }
                } else if (off[c] < s.bytes.size()) {
                    n = std::min<size_t>(kChunk, s.bytes.size() - off[c]);
                    std::memcpy(rings[c].get() + w[c], s.bytes.data() + off[c], n);
                }
                if (n == 0) continue;
                off[c] += n;
                w[c] += n;
                bytes += static_cast<long long>(n);
                any = true;
            }
        }
        *bytesOut = bytes;
    };

    long long bytes = 0;
    pass(&bytes);  // warm-up
    bench::BeginMeasure();
    const bench::CpuTime c0 = bench::CpuNow();
    const double t0 = bench::WallNow();
    pass(&bytes);
    const double t1 = bench::WallNow();
    const bench::CpuTime c1 = bench::CpuNow();
    bench::EndMeasure("floor");

    unsigned sum = 0;
    for (int c = 0; c < channels; ++c) sum += rings[c][ring / 2];
    bench::Result("bench", std::string(usePread ? "floor-pread" : "floor-memcpy"));
    bench::Result("channels", static_cast<long long>(channels));
    bench::Result("ring", static_cast<long long>(ring));
    bench::Result("bytes", bytes);
    bench::Result("wall_s", t1 - t0);
    bench::Result("cpu_user_s", c1.user - c0.user);
    bench::Result("cpu_sys_s", c1.sys - c0.sys);
    bench::Result("touch", static_cast<long long>(sum & 0xFF));
    bench::ResultFlush();
    return 0;
}

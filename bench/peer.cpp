// mssp-bench-peer: the libavformat peer. The same frames as the pipeline
// plays (every pack of the first N channels' main streams, whole, with its
// timestamp, in recorded order) muxed into one Matroska file per channel,
// then read back with av_read_frame and merged across channels by
// timestamp, as a host would play them without our library.
//
//   mssp-bench-peer mux  --group DIR --channels N --out DIR
//   mssp-bench-peer play --dir DIR --channels N
//
// Muxing: a video stream (codec id FFV1, which no libavformat parser
// touches, so that the demuxer hands packets through as they were written:
// the peer's cheapest path) and a G.711 A-law audio stream, time base 1 ms;
// I-frames and audio packs are key frames. Playing: each channel keeps one
// packet read ahead; the host takes the one with the smallest timestamp
// (ties to the lower channel), looks at its first and last byte, unrefs it
// and reads the channel's next packet. The files are opened with their
// format named (a host knows its own files; probing would add its cost to
// every open), and avformat_find_stream_info is not called: the Matroska
// header already describes both streams. A warm-up pass comes first; the
// measured region, the steady state from the files opened to the last frame
// (opening and closing excluded), is dumped on its own under callgrind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "PackScan.h"
#include "RecStore.h"

// libavcodec pulls in libhwy (through libjxl), whose static initializer
// measures its timer with rdtscp. Valgrind refuses that instruction on a
// processor that does not announce it (as this machine's virtual CPU does
// not), so the program could not run under callgrind. The initializer calls
// this function through the PLT: the executable's definition (exported with
// -rdynamic) takes its place. Highway uses it only to time its own
// benchmarks, which nothing here runs.
namespace hwy::platform {
uint64_t TimerResolution() { return 1; }
}  // namespace hwy::platform

namespace {

std::string FilePath(const std::string& dir, int channel) {
    char name[32];
    std::snprintf(name, sizeof(name), "/ch%02d.mkv", channel);
    return dir + name;
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>* out) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok) {
        out->resize(static_cast<size_t>(st.st_size));
        ok = pread(fd, out->data(), out->size(), 0) == st.st_size;
    }
    close(fd);
    return ok;
}

int Mux(const bench::Args& args) {
    const std::string dir = args.Str("group", "");
    const std::string outDir = args.Str("out", "");
    const int channels = static_cast<int>(args.Int("channels", 1));
    std::string error;
    auto store = recstore::RecStore::Open(dir, &error);
    if (!store || outDir.empty()) {
        bench::Note("bench: cannot open %s: %s\n", dir.c_str(), error.c_str());
        return 2;
    }
    mkdir(outDir.c_str(), 0755);
    long long total = 0, totalBytes = 0;
    for (const recstore::StreamDesc& s : store->Group().streams) {
        if (s.streamType != 0 || s.channel >= channels) continue;
        const std::string path = FilePath(outDir, s.channel);
        AVFormatContext* oc = nullptr;
        if (avformat_alloc_output_context2(&oc, nullptr, "matroska", path.c_str()) < 0) return 1;
        AVStream* vs = avformat_new_stream(oc, nullptr);
        AVStream* as = avformat_new_stream(oc, nullptr);
        vs->time_base = AVRational{1, 1000};
        as->time_base = AVRational{1, 1000};
        vs->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        vs->codecpar->codec_id = AV_CODEC_ID_FFV1;
        as->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        as->codecpar->codec_id = AV_CODEC_ID_PCM_ALAW;
        as->codecpar->sample_rate = 8000;
        as->codecpar->bits_per_coded_sample = 8;
        as->codecpar->block_align = 1;
        av_channel_layout_default(&as->codecpar->ch_layout, 1);
        bool sized = false;
        struct Pack {
            uint64_t offset;
            uint64_t len;
            int type;
            uint64_t pts;
        };
        std::vector<std::pair<std::vector<uint8_t>, std::vector<Pack>>> files;
        for (const recstore::SegmentDesc& seg : s.segments) {
            files.emplace_back();
            auto& [bytes, packs] = files.back();
            const std::string segPath = dir + "/" + seg.file;
            if (!ReadWhole(segPath, &bytes)) {
                bench::Note("bench: cannot read %s\n", segPath.c_str());
                return 2;
            }
            const int fd = open(segPath.c_str(), O_RDONLY);
            recstore::ScanVisitor visitor;
            visitor.onPack = [&](const recstore::ScannedPack& p) {
                if (p.header.hasVideo && !sized && p.header.type != recstore::kTypeAudio) {
                    vs->codecpar->width = p.header.width;
                    vs->codecpar->height = p.header.height;
                    sized = true;
                }
                if (p.checksumOk != 0 && p.header.hasPts)
                    packs.push_back(Pack{p.offset, p.header.packLen, p.header.type, p.header.ptsMs});
                return true;
            };
            recstore::ScanSummary summary;
            recstore::ScanFile(fd, bytes.size(), seg.format, visitor, &summary);
            close(fd);
        }
        if (avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return 1;
        if (avformat_write_header(oc, nullptr) < 0) {
            bench::Note("bench: cannot write a Matroska header\n");
            return 1;
        }
        AVPacket* pkt = av_packet_alloc();
        for (auto& [bytes, packs] : files) {
            for (const Pack& p : packs) {
                if (av_new_packet(pkt, static_cast<int>(p.len)) < 0) return 1;
                std::memcpy(pkt->data, bytes.data() + p.offset, p.len);
                const bool isAudio = p.type == recstore::kTypeAudio;
                pkt->stream_index = isAudio ? as->index : vs->index;
                const AVRational tb = isAudio ? as->time_base : vs->time_base;
                pkt->pts = pkt->dts = av_rescale_q(static_cast<int64_t>(p.pts), AVRational{1, 1000}, tb);
                pkt->duration = av_rescale_q(40, AVRational{1, 1000}, tb);
                if (isAudio || p.type == recstore::kTypeI) pkt->flags |= AV_PKT_FLAG_KEY;
                if (av_interleaved_write_frame(oc, pkt) < 0) {
                    bench::Note("bench: muxing failed\n");
                    return 1;
                }
                ++total;
                totalBytes += static_cast<long long>(p.len);
            }
        }
        av_packet_free(&pkt);
        av_write_trailer(oc);
        avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
    bench::Result("bench", std::string("peer-mux"));
    bench::Result("frames", total);
    bench::Result("bytes", totalBytes);
    bench::ResultFlush();
    return 0;
}

struct PlayStats {
    long long frames = 0, video = 0, audio = 0, bytes = 0, disorder = 0;
    unsigned touched = 0;
    double openWall = 0, closeWall = 0;  // outside the measured region
};

// The measured region: from the files opened to the last frame.
struct Region {
    bench::AllocCounts a0, a1;
    bench::CpuTime c0, c1;
    double t0 = 0, t1 = 0;
    void Begin() {
        bench::BeginMeasure();
        a0 = bench::Allocs();
        c0 = bench::CpuNow();
        t0 = bench::WallNow();
    }
    void End() {
        t1 = bench::WallNow();
        c1 = bench::CpuNow();
        a1 = bench::Allocs();
        bench::EndMeasure("peer");
    }
};

// Opens every channel's file with its format named (no probing, as a host
// that knows its own files does), plays them merged by timestamp, and
// closes them. `region` (measured pass only) spans the playing alone: the
// steady state, opening and closing excluded, as for our side.
bool PlayOnce(const std::string& dir, int channels, PlayStats* st, Region* region) {
    const AVInputFormat* matroska = av_find_input_format("matroska");
    if (matroska == nullptr) {
        bench::Note("bench: libavformat has no Matroska demuxer\n");
        return false;
    }
    std::vector<AVFormatContext*> in(static_cast<size_t>(channels), nullptr);
    std::vector<AVPacket*> pkt(static_cast<size_t>(channels), nullptr);
    std::vector<bool> have(static_cast<size_t>(channels), false);
    std::vector<int64_t> ms(static_cast<size_t>(channels), 0);
    auto readNext = [&](int c) {
        bench::MarkThread(true);
        have[c] = av_read_frame(in[c], pkt[c]) == 0;
        bench::MarkThread(false);
        if (have[c]) {
            const AVStream* s = in[c]->streams[pkt[c]->stream_index];
            ms[c] = av_rescale_q(pkt[c]->pts, s->time_base, AVRational{1, 1000});
        }
    };
    const double o0 = bench::WallNow();
    for (int c = 0; c < channels; ++c) {
        const std::string path = FilePath(dir, c);
        if (avformat_open_input(&in[c], path.c_str(), matroska, nullptr) < 0) {
            bench::Note("bench: cannot open %s\n", path.c_str());
            return false;
        }
        pkt[c] = av_packet_alloc();
    }
    st->openWall = bench::WallNow() - o0;
    if (region) region->Begin();
    for (int c = 0; c < channels; ++c) readNext(c);
    int64_t last = INT64_MIN;
    for (;;) {
        int best = -1;
        for (int c = 0; c < channels; ++c) {
            if (have[c] && (best < 0 || ms[c] < ms[best])) best = c;
        }
        if (best < 0) break;
        AVPacket* p = pkt[best];
        st->touched += p->data[0] + p->data[p->size - 1];
        ++st->frames;
        st->bytes += p->size;
        if (in[best]->streams[p->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++st->audio;
        else ++st->video;
        if (ms[best] < last) ++st->disorder;
        last = ms[best];
        bench::MarkThread(true);
        av_packet_unref(p);
        bench::MarkThread(false);
        readNext(best);
    }
    if (region) region->End();
    const double c0 = bench::WallNow();
    for (int c = 0; c < channels; ++c) {
        av_packet_free(&pkt[c]);
        avformat_close_input(&in[c]);
    }
    st->closeWall = bench::WallNow() - c0;
    return true;
}

int Play(const bench::Args& args) {
    const std::string dir = args.Str("dir", "");
    const int channels = static_cast<int>(args.Int("channels", 1));
    if (dir.empty() || channels < 1 || channels > 32) {
        bench::Note("usage: mssp-bench-peer play --dir DIR --channels 1..32\n");
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    PlayStats warm, st;
    Region r;
    if (!PlayOnce(dir, channels, &warm, nullptr)) return 1;
    if (!PlayOnce(dir, channels, &st, &r)) return 1;
    bench::Result("bench", std::string("peer"));
    bench::Result("channels", static_cast<long long>(channels));
    bench::Result("frames", st.frames);
    bench::Result("video_frames", st.video);
    bench::Result("audio_frames", st.audio);
    bench::Result("bytes", st.bytes);
    bench::Result("wall_s", r.t1 - r.t0);
    bench::Result("cpu_user_s", r.c1.user - r.c0.user);
    bench::Result("cpu_sys_s", r.c1.sys - r.c0.sys);
    bench::Result("open_wall_s", st.openWall);
    bench::Result("close_wall_s", st.closeWall);
    bench::Result("order_violations", st.disorder);
    bench::Result("allocs_region", static_cast<long long>(r.a1.all - r.a0.all));
    bench::Result("allocs_delivery", static_cast<long long>(r.a1.marked - r.a0.marked));
    bench::Result("touch", static_cast<long long>(st.touched & 0xFF));
    bench::ResultFlush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bench::QuietStdout();
    if (argc < 2) {
        bench::Note("usage: mssp-bench-peer mux|play ...\n");
        return 2;
    }
    const bench::Args args(argc, argv, 2);
    const std::string mode = argv[1];
    if (mode == "mux") return Mux(args);
    if (mode == "play") return Play(args);
    bench::Note("usage: mssp-bench-peer mux|play ...\n");
    return 2;
}

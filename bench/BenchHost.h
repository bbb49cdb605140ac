// The benchmark host: a playback group over a recording store directory,
// the way the recorder's playback service drives the player. Header-only,
// shared by the pipeline and latency benchmarks.
#ifndef MSSP_BENCH_HOST_H
#define MSSP_BENCH_HOST_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BenchCommon.h"
#include "MultiStreamSyncParser.h"
#include "RecStore.h"

namespace bench {

constexpr int kGroup = 1;

// One delivered frame as the host sees it.
struct Frame {
    int stream = -1;
    unsigned char* p1 = nullptr;
    unsigned char* p2 = nullptr;
    int n1 = 0, n2 = 0;
    int type = 0;
    unsigned long long pts = 0;
    unsigned int flags = 0;
    int channel = 0;
    long long Bytes() const { return static_cast<long long>(n1) + n2; }
    // What a decoder would at least look at: the first and the last byte.
    unsigned Touch() const { return n2 > 0 ? p1[0] + p2[n2 - 1] : p1[0] + p1[n1 - 1]; }
};

class Host {
public:
    // Opens the store and builds the parser for `channels` streams.
    Host(const std::string& dir, int channels, int ringBytes, int nodes) : channels_(channels) {
        std::string error;
        store_ = recstore::RecStore::Open(dir, &error);
        if (!store_) {
            Note("bench: cannot open %s: %s\n", dir.c_str(), error.c_str());
            std::exit(2);
        }
        ops_ = recstore::RecStore::Operations();
        name_ = "mbench" + std::to_string(getpid());
        parser_ = std::make_unique<CMultiStreamSyncParser>(kGroup, channels, name_.data(), ringBytes, nodes, &ops_,
                                                           store_.get(), static_cast<unsigned char>(store_->GroupId()));
        // The recording's start: the first segment of channel 0's main stream.
        for (const recstore::StreamDesc& s : store_->Group().streams) {
            if (s.channel == 0 && s.streamType == 0 && !s.segments.empty()) start_ = s.segments.front().start;
        }
    }
    ~Host() {
        parser_.reset();
        char path[128];
        std::snprintf(path, sizeof(path), "/tmp/.%s%02d", name_.c_str(), kGroup);
        unlink(path);  // the key file stays by design; the bench removes its own
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    CMultiStreamSyncParser& Parser() { return *parser_; }
    const recstore::DateTime& Start() const { return start_; }
    uint32_t Mask() const { return channels_ >= 32 ? 0xFFFFFFFFu : ((1u << channels_) - 1u); }

    // StartParse at the recording's start (plus `offsetSec`), main stream,
    // open flag set so that the store announces each segment's audio.
    int Start(int perThread, int offsetSec = 0) {
        recstore::DateTime t = recstore::SecondsToDateTime(recstore::DateTimeToSeconds(start_) + offsetSec);
        tag_tavuDate date{t[0], t[1], t[2]};
        tag_tavuTime time{t[3], t[4], t[5]};
        return parser_->StartParse(Mask(), 0x01, 0, &date, &time, true, perThread);
    }

    Common::_datetime_ At(int offsetSec) const {
        recstore::DateTime t = recstore::SecondsToDateTime(recstore::DateTimeToSeconds(start_) + offsetSec);
        Common::_datetime_ d{};
        d.year = t[0];
        d.month = t[1];
        d.day = t[2];
        d.hour = t[3];
        d.minute = t[4];
        d.second = t[5];
        return d;
    }

    // One GetFrame; false when nothing is delivered now.
    bool Get(Frame* f) {
        f->stream = parser_->GetFrame(&f->p1, &f->n1, &f->p2, &f->n2, &f->type, &f->pts, &f->flags, &f->channel, 1, 0);
        return f->stream >= 0;
    }
    void Release(const Frame& f) { parser_->ReleaseFrame(f.stream); }

private:
    int channels_;
    std::unique_ptr<recstore::RecStore> store_;
    MSSP_StreamOperation_t ops_{};
    std::string name_;
    std::unique_ptr<CMultiStreamSyncParser> parser_;
    recstore::DateTime start_{26, 1, 1, 10, 0, 0};
};

}  // namespace bench

#endif  // MSSP_BENCH_HOST_H

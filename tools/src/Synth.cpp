// Recording tool library: synthetic channels. Each channel's stream types get
// GOP-structured video of the asked bit rate, segment changes with optional
// pauses, G.711-sized audio in the segments that carry audio, and reference
// positions for frame-jump tests.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "PackTool.h"

namespace packtool {
namespace {

constexpr int kG711BytesPerMs = 8;  // 8000 samples of one byte per second

bool Check(bool ok, const char* what, std::string* error) {
    if (!ok && error) *error = what;
    return ok;
}

bool ValidOptions(const SynthOptions& o, std::string* error) {
    return Check(o.channels >= 1 && o.channels <= recstore::kMaxChannels, "channels must be 1..32", error) &&
           Check(o.streamTypes >= 1 && o.streamTypes <= recstore::kMaxStreamTypes, "stream types must be 1..3",
                 error) &&
           Check(o.fps >= 1 && o.fps <= 120, "frame rate must be 1..120", error) &&
           Check(o.gop >= 1, "GOP length must be at least 1", error) &&
           Check(o.durationSec > 0 && o.durationSec <= 24 * 3600, "duration must be above 0 and at most a day",
                 error) &&
           Check(o.bitrateKbps >= 1 && o.bitrateKbps <= 200000, "bit rate must be 1..200000 kbit/s", error) &&
           Check(o.audioFrameMs >= 2 && o.audioFrameMs <= 1000, "audio pack duration must be 2..1000 ms", error) &&
           Check(o.segmentSec >= 0 && o.gapSec >= 0, "segment length and gap must not be negative", error) &&
           Check(o.refType == 0 || o.refType == 2 || o.refType == 5, "reference type must be 0, 2 or 5", error) &&
           Check(o.refType == 0 || o.format == PackFormat::kNew, "reference records exist in the new format only",
                 error) &&
           Check(o.refCycle >= 0 && o.refCycle <= 61, "reference cycle must be 0..61", error) &&
           Check(o.width <= 4095 && o.height <= 4095, "picture size is at most 4095x4095", error) &&
           Check(recstore::ValidDateTime(o.start), "invalid start date and time", error) &&
           Check(!o.outDir.empty(), "no output directory", error);
}

// Deterministic sizes around the mean: 7/8 .. 9/8 of it.
struct Jitter {
    uint32_t x;
    size_t operator()(size_t mean) {
        x = x * 1664525u + 1013904223u;
        return mean * (7 + ((x >> 16) % 3)) / 8;
    }
};

packwriter::Bytes VideoPayload(size_t len, uint8_t channel, uint8_t type, bool iFrame, uint32_t number,
                               uint64_t pts, uint32_t seed) {
    packwriter::Bytes p = packwriter::PatternPayload(len, seed ^ (number * 2654435761u) ^ (channel << 24) ^ type);
    const uint8_t tag[8] = {'M', 'S', 'Y', 'N', channel, type, static_cast<uint8_t>(iFrame ? 0 : 1), 0};
    std::memcpy(p.data(), tag, sizeof(tag));
    recstore::PutLe32(p.data() + 8, number);
    recstore::PutLe32(p.data() + 12, static_cast<uint32_t>(pts));
    return p;
}

bool WriteStream(const SynthOptions& o, recstore::RecWriter& writer, uint8_t channel, uint8_t type,
                 StreamReport* out, std::string* error) {
    const uint64_t origin = OriginOf(o.origins, channel);
    StreamRecorder rec(writer, channel, type, o.format, o.start, origin,
                       static_cast<uint16_t>(o.width >> type), static_cast<uint16_t>(o.height >> type),
                       static_cast<uint8_t>(o.fps));
    const int64_t frames = std::llround(o.durationSec * o.fps);
    const int64_t bytesPerSec = (static_cast<int64_t>(o.bitrateKbps) * 1000 / 8) >> (2 * type);
    const int64_t bytesPerGop = bytesPerSec * o.gop / o.fps;
    const size_t unit = static_cast<size_t>(std::max<int64_t>(bytesPerGop / (o.gop + 3), kSynthTagLen * 2));
    const int cycle = o.refCycle ? o.refCycle : std::min(o.gop, 61);
    const size_t audioLen = static_cast<size_t>(o.audioFrameMs * kG711BytesPerMs);
    const packwriter::Bytes audioPayload = packwriter::PatternPayload(audioLen, o.seed + 7u * channel + 1u);
    Jitter jitter{o.seed * 31u + channel * 7u + type};

    bool open = false, segAudio = false;
    uint32_t segIndex = 0;
    int64_t shift = 0, segStartMs = 0, nextAudioMs = 0, segEndMs = 0;
    auto flushAudio = [&](int64_t untilMs, bool inclusive) {
        while (segAudio && (inclusive ? nextAudioMs <= untilMs : nextAudioMs < untilMs)) {
            if (!rec.Audio(nextAudioMs, audioPayload.data(), audioPayload.size(), error)) return false;
            nextAudioMs += o.audioFrameMs;
        }
        return true;
    };
    for (int64_t n = 0; n < frames; ++n) {
        int64_t elapsed = n * 1000 / o.fps + shift;
        const bool iFrame = n % o.gop == 0;
        if (iFrame && (!open || (o.segmentSec > 0 && elapsed - segStartMs >= o.segmentSec * 1000LL))) {
            if (open) {
                if (!flushAudio(segEndMs, false)) return false;
                shift += o.gapSec * 1000LL;
                elapsed += o.gapSec * 1000LL;
            }
            segAudio = (o.audioChannels >> channel & 1) &&
                       (o.audio == AudioMode::kAll || (o.audio == AudioMode::kAlternate && (segIndex & 1)));
            if (!rec.BeginSegment(elapsed, segAudio, error)) return false;
            open = true;
            ++segIndex;
            segStartMs = elapsed;
            nextAudioMs = elapsed;
        }
        if (!flushAudio(elapsed, true)) return false;
        const size_t len = std::max(jitter(iFrame ? unit * 4 : unit), kSynthTagLen * 2);
        const uint64_t pts = origin + static_cast<uint64_t>(elapsed);
        const packwriter::Bytes payload =
            VideoPayload(len, channel, type, iFrame, static_cast<uint32_t>(n), pts, o.seed);
        const int refIndex = static_cast<int>((n % o.gop) % cycle);
        if (!rec.Video(iFrame, elapsed, payload.data(), payload.size(), o.refType, refIndex, error)) return false;
        segEndMs = (n + 1) * 1000 / o.fps + shift;
    }
    if (!flushAudio(segEndMs, false) || !rec.End(error)) return false;
    *out = rec.Counts();
    return true;
}

}  // namespace

uint64_t OriginOf(const std::map<int, uint64_t>& origins, int channel) {
    const auto it = origins.find(channel);
    return it == origins.end() ? kDefaultPtsOrigin : it->second;
}

bool WriteSynthetic(const SynthOptions& options, Report* report, std::string* error) {
    if (!ValidOptions(options, error)) return false;
    if (!recstore::MakeDirs(options.outDir, error)) return false;
    recstore::RecWriter writer(options.outDir, options.groupId);
    Report local;
    for (int c = 0; c < options.channels; ++c) {
        for (int t = 0; t < options.streamTypes; ++t) {
            StreamReport sr;
            if (!WriteStream(options, writer, static_cast<uint8_t>(c), static_cast<uint8_t>(t), &sr, error))
                return false;
            local.streams.push_back(sr);
        }
    }
    if (!writer.Finish(error)) return false;
    if (report) *report = local;
    return true;
}

}  // namespace packtool

// Recording tool library: wraps H.264 Annex-B elementary streams into a
// recording group, one access unit per pack, I-frames at IDR access units,
// with raw G.711 audio cut into packs and interleaved by time.
#include <algorithm>

#include "PackTool.h"

namespace packtool {
namespace {

constexpr int kG711BytesPerMs = 8;

bool WrapChannel(const WrapOptions& o, recstore::RecWriter& writer, uint8_t channel, const H264Input& in,
                 StreamReport* out, std::string* error) {
    std::vector<uint8_t> video, audio;
    if (!ReadFile(in.h264Path, &video, error)) return false;
    if (!in.g711Path.empty() && !ReadFile(in.g711Path, &audio, error)) return false;
    const std::vector<AccessUnit> units = SplitAccessUnits(video.data(), video.size());
    if (units.empty()) {
        *error = in.h264Path + ": no H.264 access unit found";
        return false;
    }
    uint16_t width = 0, height = 0;
    FindPictureSize(video.data(), video.size(), &width, &height);
    StreamRecorder rec(writer, channel, 0, o.format, o.start, OriginOf(o.origins, channel),
                       static_cast<uint16_t>(std::min<int>(width, 4095)),
                       static_cast<uint16_t>(std::min<int>(height, 4095)), static_cast<uint8_t>(o.fps));
    const bool hasAudio = !audio.empty();
    const size_t audioLen = static_cast<size_t>(o.audioFrameMs * kG711BytesPerMs);
    size_t audioPos = 0;  // next G.711 byte; audio time = its position / 8 ms
    bool open = false;
    int64_t shift = 0, segStartMs = 0, segEndMs = 0;
    // Audio of the recording up to `untilMs` (audio time follows the
    // recording's clock, pauses excluded).
    auto flushAudio = [&](int64_t untilMs, bool inclusive) {
        while (hasAudio && audioPos < audio.size()) {
            const int64_t at = static_cast<int64_t>(audioPos / kG711BytesPerMs) + shift;
            if (inclusive ? at > untilMs : at >= untilMs) break;
            size_t n = std::min(audioLen, audio.size() - audioPos);
            if (n < recstore::kMinFrameLen) break;  // a tail too short for a pack
            if (!rec.Audio(at, audio.data() + audioPos, n, error)) return false;
            audioPos += n;
        }
        return true;
    };
    std::vector<uint8_t> padded;
    for (size_t k = 0; k < units.size(); ++k) {
        const AccessUnit& au = units[k];
        int64_t elapsed = static_cast<int64_t>(k) * 1000 / o.fps + shift;
        if (au.idr && (!open || (o.segmentSec > 0 && elapsed - segStartMs >= o.segmentSec * 1000LL))) {
            if (open) {
                if (!flushAudio(segEndMs, false)) return false;
                // Audio that was recorded during the pause is not kept.
                audioPos = std::min(audio.size(), audioPos + static_cast<size_t>(o.gapSec) * 1000 * kG711BytesPerMs);
                audioPos -= audioPos % kG711BytesPerMs;
                shift += o.gapSec * 1000LL;
                elapsed += o.gapSec * 1000LL;
            }
            if (!rec.BeginSegment(elapsed, hasAudio, error)) return false;
            open = true;
            segStartMs = elapsed;
        }
        if (!open) continue;  // access units before the first IDR cannot be played: left out
        if (!flushAudio(elapsed, true)) return false;
        const uint8_t* payload = video.data() + au.offset;
        size_t len = au.length;
        if (len < recstore::kMinFrameLen) {
            // Annex-B allows trailing zero bytes after a NAL unit: pad to the
            // smallest payload a pack may carry.
            padded.assign(payload, payload + len);
            padded.resize(recstore::kMinFrameLen, 0);
            payload = padded.data();
            len = padded.size();
        }
        if (o.format == PackFormat::kNew && len >= (1u << 24)) {
            *error = in.h264Path + ": an access unit of 16 MiB or more does not fit a pack";
            return false;
        }
        if (!rec.Video(au.idr, elapsed, payload, len, 0, 0, error)) return false;
        segEndMs = static_cast<int64_t>(k + 1) * 1000 / o.fps + shift;
    }
    if (!flushAudio(segEndMs, false) || !rec.End(error)) return false;
    *out = rec.Counts();
    return true;
}

}  // namespace

bool WrapH264(const WrapOptions& options, Report* report, std::string* error) {
    if (options.inputs.empty() || options.inputs.size() > static_cast<size_t>(recstore::kMaxChannels)) {
        *error = "give 1..32 inputs";
        return false;
    }
    if (options.fps < 1 || options.fps > 120 || options.audioFrameMs < 2 || options.audioFrameMs > 1000 ||
        options.segmentSec < 0 || options.gapSec < 0 || !recstore::ValidDateTime(options.start)) {
        *error = "frame rate, audio pack duration, segment length, gap or start date out of range";
        return false;
    }
    if (!recstore::MakeDirs(options.outDir, error)) return false;
    recstore::RecWriter writer(options.outDir, options.groupId);
    Report local;
    for (size_t c = 0; c < options.inputs.size(); ++c) {
        StreamReport sr;
        if (!WrapChannel(options, writer, static_cast<uint8_t>(c), options.inputs[c], &sr, error)) return false;
        local.streams.push_back(sr);
    }
    if (!writer.Finish(error)) return false;
    if (report) *report = local;
    return true;
}

}  // namespace packtool

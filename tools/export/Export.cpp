// Export library: the session, the presentation stage and the muxer put
// together (see Export.h). Frames go from the engine through the stage,
// which orders them by recorded time; each channel's frames then wait until
// its clock offset is exact (a recorded second boundary has passed since it
// was learnt afresh), so that frames recorded at the same instant get the
// same time in the file; then they are written with libavformat.
#include "Export.h"

#include <sys/stat.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include "HostPresent.h"
#include "MsspHost.h"
#include "Ranges.h"

namespace exporter {
namespace {

using mssphost::MediaKind;

constexpr size_t kMaxPending = 1000;        // frames held for a channel's offset at most
constexpr size_t kMaxEarlyAudio = 64;       // audio packs held for the first key frame at most
constexpr double kProgressEveryMs = 250;
constexpr uint64_t kLeadMs = 120000;        // a key frame at most this far before --from, in timestamps
constexpr size_t kHoldFrames = 1u << 20;
constexpr size_t kHoldBytes64 = size_t{1} << 31;
constexpr size_t kHoldBytes32 = size_t{512} << 20;
constexpr double kStallMs = 10000;          // no frame for this long while streams are live: give up

double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string Hms(int64_t ms) {
    const std::string t = recstore::FormatDateTime(recstore::SecondsToDateTime(ms / 1000));
    char frac[8];
    std::snprintf(frac, sizeof(frac), ".%03d", static_cast<int>(ms % 1000));
    return t.substr(11) + frac;
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

// A frame copied out of the engine's ring.
struct Item {
    int type = 0;
    uint64_t enginePts = 0;  // as the engine delivered it
    uint64_t clockPts = 0;
    bool newOrJump = false;
    bool hasTime = false;
    DateTime time{};
    int frameRate = 0;
    std::vector<uint8_t> payload;
};

// Parameter sets of a key frame (H.264 SPS/PPS, H.265 VPS/SPS/PPS) as
// Annex-B: the extradata a container needs before the first frame.
std::vector<uint8_t> ParameterSets(MediaKind kind, const std::vector<uint8_t>& au) {
    std::vector<uint8_t> out;
    const size_t n = au.size();
    size_t i = 0;
    auto nextStart = [&](size_t from) {
        for (size_t j = from; j + 3 <= n; ++j)
            if (au[j] == 0 && au[j + 1] == 0 && au[j + 2] == 1) return j;
        return n;
    };
    i = nextStart(0);
    while (i < n) {
        const size_t begin = i + 3;
        size_t end = nextStart(begin);
        const size_t next = end;
        while (end > begin && au[end - 1] == 0) --end;  // the zero byte of a 4-byte start code
        if (begin < end) {
            const uint8_t h = au[begin];
            const int type = kind == MediaKind::kH264 ? (h & 0x1F) : ((h >> 1) & 0x3F);
            const bool ps = kind == MediaKind::kH264 ? (type == 7 || type == 8) : (type >= 32 && type <= 34);
            if (ps) {
                static const uint8_t kStart[4] = {0, 0, 0, 1};
                out.insert(out.end(), kStart, kStart + 4);
                out.insert(out.end(), au.begin() + static_cast<std::ptrdiff_t>(begin),
                           au.begin() + static_cast<std::ptrdiff_t>(end));
            }
        }
        i = next;
    }
    return out;
}

struct Ready {
    int track;
    int64_t recMs;
    Item item;
};

struct Track {
    int channel = -1;
    MediaKind kind = MediaKind::kOther;
    bool audio = false;        // the channel records audio (and it is exported)
    uint64_t keyPts = 0;       // the key frame the channel starts at
    int width = 0, height = 0;
    AVStream* video = nullptr;
    AVStream* sound = nullptr;
    std::vector<uint8_t> extradata;
    int64_t lastVideo = INT64_MIN, lastAudio = INT64_MIN;  // file times written (ms)
    // Waiting for an exact clock offset: frames resolved by it later.
    bool settled = false;
    int64_t firstSec = -1;
    std::deque<Item> pending;
    bool done = false;         // reached --to
    bool pastEnd = false;      // delivered a frame recorded at or after --to: nothing more is needed
    bool keySeen = false;
    int64_t firstKeyMs = -1;
    std::vector<Ready> earlyAudio;  // before the first key frame
    bool haveLastClock = false;
    uint64_t lastClock = 0;
    int64_t offset = 0;
    ChannelSummary sum;
};


// The engine hands frames out in timestamp order: a channel whose clock
// runs behind the others' is delivered only once they have delivered the
// whole range (frames past --to are not kept). An export is no live show:
// the stage waits that long for it and holds the range in memory, up to a
// bound (beyond it, frames go out as they come, which the stage reports).
mssphost::StageLimits LimitsFor(const Options& o) {
    mssphost::StageLimits l;
    int64_t span = 0;
    if (recstore::ValidDateTime(o.from) && recstore::ValidDateTime(o.to))
        span = (recstore::DateTimeToSeconds(o.to) - recstore::DateTimeToSeconds(o.from)) * 1000;
    l.waitMs = static_cast<uint64_t>(span > 0 ? span : 0) + kLeadMs;
    l.maxFrames = kHoldFrames;
    l.maxBytes = sizeof(void*) >= 8 ? kHoldBytes64 : kHoldBytes32;
    return l;
}

class Exporter {
public:
    Exporter(const Options& o, FILE* log) : o_(o), log_(log), stage_(LimitsFor(o)) {}
    ~Exporter() { Close(); }
    bool Run(Summary* summary, std::string* error);

private:
    bool Prepare(std::string* error);
    bool Loop(std::string* error);
    void Deliver(const mssphost::Frame& f);
    void Emit(mssphost::Presentation<Item>::Out& out);
    void Resolve(Track& t, Item&& item, int64_t recMs);
    void Output(Track& t, Item&& item, int64_t recMs);
    bool Write(Track& t, const Item& item, int64_t recMs);
    bool WriteHeader();
    bool HeaderDue() const;
    void Progress(bool last);
    void Close();
    void Fail(const std::string& why) {
        if (!failed_) failure_ = why;
        failed_ = true;
    }

    const Options& o_;
    FILE* log_;
    Container container_ = Container::kMatroska;
    std::string tmpPath_;
    std::unique_ptr<mssphost::Session> s_;
    mssphost::Presentation<Item> stage_;
    std::map<int, Track> tracks_;  // by channel
    std::vector<Ready> ready_;     // before the header is written
    AVFormatContext* oc_ = nullptr;
    bool headerDone_ = false;
    bool failed_ = false;
    std::string failure_;
    int64_t fromMs_ = 0, toMs_ = 0, baseMs_ = INT64_MIN;
    int64_t zeroMs_ = 0;  // the recorded time at the file's time 0
    uint64_t basePts_ = 0;
    int64_t reachedMs_ = -1;
    uint64_t frames_ = 0, bytes_ = 0;
    double startWall_ = 0, nextProgress_ = 0;
};

bool Exporter::Prepare(std::string* error) {
    if (!ContainerFor(o_.outPath, &container_)) {
        *error = "the output must end in .mkv or .mp4: " + o_.outPath;
        return false;
    }
    if (!recstore::ValidDateTime(o_.from) || !recstore::ValidDateTime(o_.to)) {
        *error = "--from and --to must be valid dates and times";
        return false;
    }
    fromMs_ = recstore::DateTimeToSeconds(o_.from) * 1000;
    toMs_ = recstore::DateTimeToSeconds(o_.to) * 1000;
    if (toMs_ <= fromMs_) {
        *error = "--to must lie after --from";
        return false;
    }
    if (o_.audio && container_ == Container::kMp4) {
        *error = "MP4 cannot carry the recorded G.711 audio; export to .mkv for --audio";
        return false;
    }
    struct stat st;
    if (lstat(o_.outPath.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || !o_.force)) {
        *error = S_ISREG(st.st_mode) ? o_.outPath + " exists (give --force to replace it)"
                                     : o_.outPath + " exists and is not a regular file";
        return false;
    }
    // Which channels hold the range, by their recorded spans.
    std::vector<ranges::ChannelRanges> all;
    std::vector<std::string> notes;
    if (!ranges::LoadRanges(o_.groupDir, o_.streamType, &all, &notes, error)) return false;
    for (const std::string& n : notes) std::fprintf(log_, "mssp-export: note: %s\n", n.c_str());
    uint32_t asked = o_.channels, recorded = 0, mask = 0;
    for (const ranges::ChannelRanges& r : all) {
        recorded |= 1u << r.channel;
        if (asked && !(asked >> r.channel & 1)) continue;
        if (ranges::Overlaps(r, fromMs_ / 1000, toMs_ / 1000))
            mask |= 1u << r.channel;
        else
            std::fprintf(log_, "mssp-export: note: channel %d has no recording between %s and %s; left out\n",
                         r.channel, recstore::FormatDateTime(o_.from).c_str(), recstore::FormatDateTime(o_.to).c_str());
    }
    if (asked & ~recorded)
        std::fprintf(log_, "mssp-export: note: channel(s) %s not recorded in stream type %d; left out\n",
                     mssphost::ChannelList(asked & ~recorded).c_str(), o_.streamType);
    if (!mask) {
        *error = "no channel has a recording between " + recstore::FormatDateTime(o_.from) + " and " +
                 recstore::FormatDateTime(o_.to);
        return false;
    }
    // Open twice at most: channels whose video cannot be copied are left out.
    for (int pass = 0; pass < 2; ++pass) {
        mssphost::Options so;
        so.groupDir = o_.groupDir;
        so.channels = mask;
        so.streamType = o_.streamType;
        so.shmPrefix = "msspexport";
        s_ = mssphost::Session::Open(so, error);
        if (!s_) return false;
        uint32_t usable = 0;
        for (const mssphost::ChannelDesc& c : s_->Channels()) {
            if (c.video == MediaKind::kH264 || c.video == MediaKind::kH265)
                usable |= 1u << c.channel;
            else
                std::fprintf(log_, "mssp-export: note: channel %d: its video is neither H.264 nor H.265; left out\n",
                             c.channel);
        }
        if (!usable) {
            *error = "no channel in the range holds H.264 or H.265 video";
            return false;
        }
        if (usable == s_->Mask()) break;
        mask = usable;
    }
    // Each channel starts at its key frame at or before --from (the last
    // whose recorded second lies before it), or at its first key frame after
    // --from when a pause covers --from or the recording begins later.
    const int64_t fromSec = fromMs_ / 1000;
    for (const mssphost::ChannelDesc& c : s_->Channels()) {
        bool inSpan = false;
        for (const ranges::ChannelRanges& r : all)
            if (r.channel == c.channel)
                for (const ranges::Span& sp : r.spans) inSpan = inSpan || (sp.first < fromSec && fromSec <= sp.last);
        const mssphost::KeyFrame* key = nullptr;
        for (const mssphost::KeyFrame& k : c.keys) {
            const int64_t sec = recstore::DateTimeToSeconds(k.time);
            if (inSpan ? sec < fromSec || !key : sec >= fromSec) key = &k;
            if (sec >= fromSec && key) break;
        }
        if (!key) continue;
        Track& t = tracks_[c.channel];
        t.channel = c.channel;
        t.kind = c.video;
        t.audio = o_.audio && c.audio;
        t.keyPts = key->pts;
        t.sum.channel = c.channel;
        s_->SetChannelShift(c.channel, static_cast<int64_t>(key->pts) - static_cast<int64_t>(s_->OriginPts()));
    }
    return true;
}

bool Exporter::Run(Summary* summary, std::string* error) {
    startWall_ = NowMs();
    if (!Prepare(error)) return false;
    tmpPath_ = o_.outPath + ".part";
    const char* format = container_ == Container::kMatroska ? "matroska" : "mp4";
    if (avformat_alloc_output_context2(&oc_, nullptr, format, tmpPath_.c_str()) < 0 || !oc_) {
        *error = "cannot set up the " + std::string(format) + " writer";
        return false;
    }
    const int r = avio_open(&oc_->pb, tmpPath_.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
        *error = "cannot write " + o_.outPath + ": " + AvError(r);
        tmpPath_.clear();  // nothing was created
        return false;
    }
    stage_.SetByTime(o_.presentByTime);
    if (!s_->Start(0, error)) return false;
    const bool ok = Loop(error);
    s_->Stop();
    if (!ok) return false;
    for (auto& [ch, t] : tracks_) {
        t.sum.clockOffsetMs = t.offset;
        summary->channels.push_back(t.sum);
    }
    // The file counts only when its trailer and every byte are written.
    const int t = av_write_trailer(oc_);
    avio_flush(oc_->pb);
    if (t < 0 || oc_->pb->error < 0) {
        *error = "cannot write " + o_.outPath + ": " + AvError(t < 0 ? t : oc_->pb->error);
        return false;
    }
    const int c = avio_closep(&oc_->pb);
    if (c < 0) {
        *error = "cannot write " + o_.outPath + ": " + AvError(c);
        return false;
    }
    if (rename(tmpPath_.c_str(), o_.outPath.c_str()) != 0) {
        *error = "cannot write " + o_.outPath + ": " + std::strerror(errno);
        return false;
    }
    tmpPath_.clear();
    struct stat st;
    summary->bytes = stat(o_.outPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    summary->seconds = (NowMs() - startWall_) / 1000.0;
    Progress(true);
    return true;
}

bool Exporter::Loop(std::string* error) {
    double lastFrame = NowMs();
    mssphost::Presentation<Item>::Out out;
    for (;;) {
        if (o_.stop && *o_.stop) {
            Fail("interrupted");
            break;
        }
        uint32_t live = 0;
        for (int k = 0; k < s_->StreamCount(); ++k) {
            const int channel = mssphost::ChannelAtIndex(s_->Mask(), k);
            if (channel >= 0 && s_->StreamStatus(k) != 0) live |= 1u << channel;
        }
        while (!failed_ && stage_.Pop(live, &out)) Emit(out);
        if (failed_) break;
        bool allDone = true;
        for (auto& [ch, t] : tracks_) allDone = allDone && (t.done || t.pastEnd);
        if (allDone) break;
        mssphost::Frame f;
        if (!s_->Take(&f)) {
            if (!s_->Live()) {
                while (!failed_ && stage_.PopAny(&out)) Emit(out);
                break;
            }
            if (NowMs() - lastFrame > kStallMs) {
                Fail("the recording stopped delivering frames");
                break;
            }
            usleep(500);
            continue;
        }
        lastFrame = NowMs();
        Deliver(f);
        s_->Release(f);
        Progress(false);
    }
    while (!failed_ && stage_.PopAny(&out)) Emit(out);
    // Channels still waiting for their offset take the one they have.
    for (auto& [ch, t] : tracks_) {
        while (!failed_ && !t.pending.empty()) {
            Item it = std::move(t.pending.front());
            t.pending.pop_front();
            Resolve(t, std::move(it), static_cast<int64_t>(it.clockPts) + t.offset);
        }
    }
    if (!failed_ && !headerDone_ && !ready_.empty()) WriteHeader();
    if (!failed_ && !headerDone_) Fail("the recording holds no frame between " + recstore::FormatDateTime(o_.from) +
                                       " and " + recstore::FormatDateTime(o_.to));
    for (const std::string& n : stage_.TakeNotes()) std::fprintf(log_, "mssp-export: note: %s\n", n.c_str());
    if (failed_) *error = failure_;
    return !failed_;
}

void Exporter::Deliver(const mssphost::Frame& f) {
    const bool video = f.type == MSSP_FRAME_I || f.type == MSSP_FRAME_P;
    const auto it = tracks_.find(f.channel);
    if (it == tracks_.end() || it->second.done || it->second.pastEnd) return;
    Track& t = it->second;
    if (!video && !(f.type == MSSP_FRAME_AUDIO && t.audio)) return;
    std::vector<uint8_t> scratch;
    size_t len = 0;
    const uint8_t* payload = mssphost::ContiguousPayload(s_->Format(), f.pack, &scratch, &len);
    recstore::PackHeader h;
    std::vector<uint8_t> hs;
    if (!payload || !mssphost::ReadPackHeader(s_->Format(), f.pack, &hs, &h)) {
        ++t.sum.dropped;
        return;
    }
    // Recorded in the second of --to or later: past the range. Such frames
    // are not held (the stage waits for late channels by timestamps seen).
    if (h.hasTime && recstore::ValidDateTime(h.time) && recstore::DateTimeToSeconds(h.time) * 1000 >= toMs_) {
        t.pastEnd = true;
        return;
    }
    Item item;
    item.type = f.type;
    item.enginePts = f.pts;
    item.clockPts = h.hasPts ? h.ptsMs : f.pts;
    item.newOrJump = (f.flags & mssphost::kFlagNewOrJump) != 0;
    item.hasTime = h.hasTime;
    item.time = h.time;
    item.frameRate = h.frameRate;
    item.payload.assign(payload, payload + len);
    if (video && h.hasVideo && h.width && h.height) t.width = h.width, t.height = h.height;
    stage_.Push(mssphost::StageFrameOf(f, &h, len + sizeof(Item)), std::move(item));
}

// A frame in presentation order: held with its channel's others until the
// channel's clock offset is exact, then resolved to its recorded time.
void Exporter::Emit(mssphost::Presentation<Item>::Out& out) {
    Track& t = tracks_[out.channel];
    Item& item = out.item;
    if (item.newOrJump) t.settled = false, t.firstSec = -1;
    if (!t.settled && item.hasTime) {
        const int64_t sec = recstore::DateTimeToSeconds(item.time);
        if (t.firstSec < 0) t.firstSec = sec;
        else if (sec != t.firstSec) t.settled = true;
    }
    int64_t offset = 0;
    const bool known = stage_.Core().Clock().Offset(out.channel, &offset);
    if (known) t.offset = offset;
    if (!t.settled && t.pending.size() < kMaxPending) {
        t.pending.push_back(std::move(item));
        return;
    }
    while (!t.pending.empty() && !failed_) {
        Item p = std::move(t.pending.front());
        t.pending.pop_front();
        const int64_t rec = static_cast<int64_t>(p.clockPts) + t.offset;
        Resolve(t, std::move(p), rec);
    }
    if (!failed_) Resolve(t, std::move(item), known ? static_cast<int64_t>(item.clockPts) + offset : out.recordedMs);
}

void Exporter::Resolve(Track& t, Item&& item, int64_t recMs) {
    if (t.done || recMs < 0) return;
    if (recMs >= toMs_) {
        t.done = true;
        t.pending.clear();
        return;
    }
    const bool video = item.type != MSSP_FRAME_AUDIO;
    // A new segment or a jump may first show on an audio pack: the video
    // frame after it is no loss.
    if (item.newOrJump) t.haveLastClock = false;
    if (video) {
        if (!t.keySeen && item.type != MSSP_FRAME_I) {
            ++t.sum.dropped;  // nothing can be decoded before the first key frame
            return;
        }
        if (!t.keySeen) t.extradata = ParameterSets(t.kind, item.payload);
        t.keySeen = true;
        // Frames the recording lost inside a segment (damage): a gap of more
        // than one and a half frame intervals in the channel's own clock.
        if (t.haveLastClock && item.frameRate > 0 && item.clockPts > t.lastClock) {
            const uint64_t step = 1000u / static_cast<unsigned>(item.frameRate);
            const uint64_t d = item.clockPts - t.lastClock;
            if (step && d * 2 > step * 3) {
                const uint64_t lost = (d + step / 2) / step - 1;
                t.sum.dropped += lost;
                std::fprintf(log_,
                             "mssp-export: warning: channel %d: %" PRIu64
                             " frame(s) missing before %s (damaged recording); exported on from the next frame\n",
                             t.channel, lost, Hms(recMs).c_str());
            }
        }
        t.haveLastClock = true;
        t.lastClock = item.clockPts;
    } else if (!t.keySeen) {
        // Audio starts with its channel's picture: what was recorded with
        // the key frame (an audio pack comes right before it) waits for it.
        if (t.earlyAudio.size() < kMaxEarlyAudio) t.earlyAudio.push_back(Ready{t.channel, recMs, std::move(item)});
        return;
    }
    const bool firstKey = video && t.firstKeyMs < 0;
    if (firstKey) t.firstKeyMs = recMs;
    Output(t, std::move(item), recMs);
    if (!firstKey) return;
    for (Ready& a : t.earlyAudio)
        if (!failed_ && a.recMs >= recMs) Output(t, std::move(a.item), a.recMs);
    t.earlyAudio.clear();
}

void Exporter::Output(Track& t, Item&& item, int64_t recMs) {
    if (baseMs_ == INT64_MIN) baseMs_ = recMs, basePts_ = item.enginePts;
    if (!headerDone_) {
        ready_.push_back(Ready{t.channel, recMs, std::move(item)});
        if (HeaderDue()) WriteHeader();
        return;
    }
    Write(t, item, recMs);
}

bool Exporter::HeaderDue() const {
    for (const auto& [ch, t] : tracks_)
        if (!t.keySeen && !t.done) return false;
    return true;
}

bool Exporter::WriteHeader() {
    int64_t refOffset = 0;
    bool haveRefOffset = false;
    for (auto& [ch, t] : tracks_) {
        if (!t.keySeen) continue;
        t.video = avformat_new_stream(oc_, nullptr);
        if (!t.video) return Fail("out of memory"), false;
        AVCodecParameters* p = t.video->codecpar;
        p->codec_type = AVMEDIA_TYPE_VIDEO;
        p->codec_id = t.kind == MediaKind::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
        p->width = t.width;
        p->height = t.height;
        if (!t.extradata.empty()) {
            p->extradata = static_cast<uint8_t*>(av_mallocz(t.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!p->extradata) return Fail("out of memory"), false;
            std::memcpy(p->extradata, t.extradata.data(), t.extradata.size());
            p->extradata_size = static_cast<int>(t.extradata.size());
        }
        t.video->time_base = AVRational{1, 1000};
        const std::string title = "channel " + std::to_string(ch);
        av_dict_set(&t.video->metadata, "title", title.c_str(), 0);
        if (container_ == Container::kMp4)  // MP4 keeps no track title: the handler name carries it
            av_dict_set(&t.video->metadata, "handler_name", title.c_str(), 0);
        // Recorded time (ms since 1970) = the channel's timestamp + offset;
        // the skew is the offset against the first exported channel's.
        if (!haveRefOffset) refOffset = t.offset, haveRefOffset = true;
        av_dict_set(&t.video->metadata, "CLOCK_OFFSET_MS", std::to_string(t.offset).c_str(), 0);
        av_dict_set(&t.video->metadata, "CLOCK_SKEW_MS", std::to_string(t.offset - refOffset).c_str(), 0);
        if (t.audio) {
            t.sound = avformat_new_stream(oc_, nullptr);
            if (!t.sound) return Fail("out of memory"), false;
            AVCodecParameters* a = t.sound->codecpar;
            a->codec_type = AVMEDIA_TYPE_AUDIO;
            a->codec_id = AV_CODEC_ID_PCM_MULAW;
            a->sample_rate = 8000;
            av_channel_layout_default(&a->ch_layout, 1);
            a->bits_per_coded_sample = 8;
            t.sound->time_base = AVRational{1, 1000};
            av_dict_set(&t.sound->metadata, "title", title.c_str(), 0);
        }
    }
    // The file's time 0. MP4: --from (or the first frame when every channel
    // starts later), the lead-in from the key frames before it at negative
    // times, which the muxer turns into an edit list per track: players
    // start at --from and decode the lead-in without showing it. Matroska
    // keeps no negative times (its muxer would shift every track by the
    // lead-in) and has no edit list: time 0 is the first frame written.
    zeroMs_ = container_ == Container::kMp4 && fromMs_ > baseMs_ ? fromMs_ : baseMs_;
    std::string created = recstore::FormatDateTime(recstore::SecondsToDateTime(zeroMs_ / 1000));
    created[10] = 'T';
    created += ".000000Z";
    av_dict_set(&oc_->metadata, "creation_time", created.c_str(), 0);
    av_dict_set(&oc_->metadata, "title",
                ("recording " + recstore::FormatDateTime(o_.from) + " .. " + recstore::FormatDateTime(o_.to)).c_str(), 0);
    AVDictionary* mux = nullptr;
    if (container_ == Container::kMp4) {
        av_dict_set(&mux, "use_editlist", "1", 0);
        oc_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;  // negative times are the lead-in: kept
    }
    const int r = avformat_write_header(oc_, &mux);
    av_dict_free(&mux);
    if (r < 0) return Fail("cannot write " + o_.outPath + ": " + AvError(r)), false;
    headerDone_ = true;
    for (Ready& rd : ready_) {
        if (failed_) break;
        Write(tracks_[rd.track], rd.item, rd.recMs);
    }
    ready_.clear();
    return !failed_;
}

bool Exporter::Write(Track& t, const Item& item, int64_t recMs) {
    const bool video = item.type != MSSP_FRAME_AUDIO;
    AVStream* st = video ? t.video : t.sound;
    if (!st) return true;
    int64_t& last = video ? t.lastVideo : t.lastAudio;
    // By recorded time (in step), or by the engine's timestamps as they
    // are (--present-by timestamp: channels on other clocks stay apart).
    int64_t ms = o_.presentByTime ? recMs - zeroMs_
                                  : static_cast<int64_t>(item.enginePts) - static_cast<int64_t>(basePts_) -
                                        (zeroMs_ - baseMs_);
    if (ms <= last) ms = last + 1;  // strictly rising within a track whatever the clock did
    last = ms;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt || av_new_packet(pkt, static_cast<int>(item.payload.size())) < 0) {
        av_packet_free(&pkt);
        return Fail("out of memory"), false;
    }
    std::memcpy(pkt->data, item.payload.data(), item.payload.size());
    pkt->stream_index = st->index;
    pkt->pts = pkt->dts = av_rescale_q(ms, AVRational{1, 1000}, st->time_base);
    // A frame lasts one frame interval (MP4 gives a last frame without a
    // duration none, and players then leave it out); G.711 8 bytes a ms.
    const int64_t lasts = video ? (item.frameRate > 0 ? 1000 / item.frameRate : 0)
                                : static_cast<int64_t>(item.payload.size() / 8);
    pkt->duration = av_rescale_q(lasts, AVRational{1, 1000}, st->time_base);
    if (item.type == MSSP_FRAME_I || !video) pkt->flags |= AV_PKT_FLAG_KEY;
    const int r = av_interleaved_write_frame(oc_, pkt);
    av_packet_free(&pkt);
    if (r < 0) return Fail("cannot write " + o_.outPath + ": " + AvError(r)), false;
    ++frames_;
    bytes_ += item.payload.size();
    t.sum.bytes += item.payload.size();
    if (video) {
        ++t.sum.frames;
        if (t.sum.firstMs < 0) t.sum.firstMs = recMs;
        t.sum.lastMs = recMs;
    } else {
        ++t.sum.audioFrames;
    }
    if (recMs > reachedMs_) reachedMs_ = recMs;
    return true;
}

void Exporter::Progress(bool last) {
    if (!o_.progress) return;
    const double now = NowMs();
    if (!last && now < nextProgress_) return;
    nextProgress_ = now + kProgressEveryMs;
    const double span = static_cast<double>(toMs_ - fromMs_);
    double done = reachedMs_ < 0 ? 0 : static_cast<double>(reachedMs_ - fromMs_) / span;
    if (last) done = 1;
    done = done < 0 ? 0 : done > 1 ? 1 : done;
    constexpr int kBar = 30;
    char bar[kBar + 1];
    const int fill = static_cast<int>(done * kBar);
    for (int i = 0; i < kBar; ++i) bar[i] = i < fill ? '#' : '.';
    bar[kBar] = 0;
    const double secs = (now - startWall_) / 1000.0;
    std::fprintf(log_, "\r[%s] %3d%%  %s  %" PRIu64 " frames  %.1f MB/s ", bar, static_cast<int>(done * 100),
                 reachedMs_ < 0 ? "--:--:--.---" : Hms(reachedMs_).c_str(), frames_,
                 secs > 0 ? static_cast<double>(bytes_) / 1e6 / secs : 0.0);
    if (last) std::fputc('\n', log_);
    std::fflush(log_);
}

void Exporter::Close() {
    if (oc_) {
        if (oc_->pb) avio_closep(&oc_->pb);
        avformat_free_context(oc_);
        oc_ = nullptr;
    }
    if (!tmpPath_.empty()) unlink(tmpPath_.c_str());  // a partial file is never left behind
    tmpPath_.clear();
    if (s_) s_->Stop();
}

}  // namespace

bool ContainerFor(const std::string& path, Container* container) {
    auto ends = [&](const char* ext) {
        const size_t n = std::strlen(ext);
        return path.size() > n && strcasecmp(path.c_str() + path.size() - n, ext) == 0;
    };
    if (ends(".mkv")) *container = Container::kMatroska;
    else if (ends(".mp4")) *container = Container::kMp4;
    else return false;
    return true;
}

bool Export(const Options& options, FILE* log, Summary* summary, std::string* error) {
    *summary = Summary{};
    av_log_set_level(AV_LOG_ERROR);
    Exporter e(options, log);
    return e.Run(summary, error);
}

void PrintSummary(FILE* out, const Summary& s) {
    std::fprintf(out, "%-8s %8s %8s %12s %-12s %-12s %8s %10s\n", "channel", "frames", "audio", "bytes", "first",
                 "last", "dropped", "offset(ms)");
    for (const ChannelSummary& c : s.channels) {
        std::fprintf(out, "%-8d %8" PRIu64 " %8" PRIu64 " %12" PRIu64 " %-12s %-12s %8" PRIu64 " %10" PRId64 "\n",
                     c.channel, c.frames, c.audioFrames, c.bytes, c.firstMs < 0 ? "-" : Hms(c.firstMs).c_str(),
                     c.lastMs < 0 ? "-" : Hms(c.lastMs).c_str(), c.dropped, c.clockOffsetMs);
    }
    std::fprintf(out, "file: %" PRIu64 " bytes in %.2f s\n", s.bytes, s.seconds);
}

}  // namespace exporter

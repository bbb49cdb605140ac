// Host layer: one playback session. Owns the recording store of a group and
// the parser that plays a set of its channels; keeps the I-frame indexes of
// the played channels to turn stream times into positions; takes and
// releases frames for the playback thread. See MsspHost.h for the time base
// and the thread rules.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cinttypes>

#include "KeltoPlatform.h"
#include "MsspHost.h"
#include "RecIndex.h"
#include "RecStore.h"

namespace mssphost {
namespace {

constexpr int kMaxDropsPerTake = 256;  // frames dropped in one Take before it reports "nothing now"
constexpr size_t kNodeBytes = 40;      // one frame node in the segment
constexpr size_t kStreamHeadBytes = 24;  // stream head and node cursor

// The first bytes of a pack read from its segment file.
bool ReadPack(const std::string& path, uint64_t offset, uint32_t len, std::vector<uint8_t>* out) {
    const int fd = recstore::OpenRegularFile(path, nullptr, nullptr);
    if (fd < 0) return false;
    out->resize(len);
    const ssize_t r = pread(fd, out->data(), len, static_cast<off_t>(offset));
    close(fd);
    return r == static_cast<ssize_t>(len);
}

const char* StreamTypeName(int type) { return type == 0 ? "main" : type == 1 ? "sub" : "third"; }

bool ValidOptions(const Options& o, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = why;
        return false;
    };
    if (o.streamType < 0 || o.streamType > 2) return fail("the stream type must be 0, 1 or 2");
    if (o.ringBytes < kMinRingBytes || o.ringBytes > kMaxRingBytes)
        return fail("the ring size must be " + std::to_string(kMinRingBytes) + ".." + std::to_string(kMaxRingBytes) +
                    " bytes");
    if (o.nodes < kMinNodes || o.nodes > kMaxNodes)
        return fail("the node count must be " + std::to_string(kMinNodes) + ".." + std::to_string(kMaxNodes));
    if (o.streamsPerThread < 0 || o.streamsPerThread > kMaxStreamsPerThread)
        return fail("streams per thread must be 0.." + std::to_string(kMaxStreamsPerThread));
    if (o.streams < 0 || o.streams > MSSP_MAX_STREAMS || o.reserveStreams < 0 || o.reserveStreams > MSSP_MAX_STREAMS)
        return fail("the parser's stream count must be 1.." + std::to_string(MSSP_MAX_STREAMS));
    if (o.shmName.size() > 64 || o.shmName.find('/') != std::string::npos)
        return fail("the shared-memory name must have at most 64 characters and no '/'");
    if (o.deviceGroup < -1 || o.deviceGroup > 3) return fail("the device group must be 0..3");
    return true;
}

}  // namespace

Common::_datetime_ EngineTime(const DateTime& t) { return Common::_datetime_{t[0], t[1], t[2], t[3], t[4], t[5], 0}; }

int TrickSpeedForRate(double rate) {
    if (rate < 0) rate = -rate;
    if (rate >= 32) return 32;
    if (rate >= 16) return 16;
    if (rate >= 8) return 8;
    return rate >= 4 ? 4 : 2;
}

std::unique_ptr<Session> Session::Open(const Options& options, std::string* error, OpenFailure* why) {
    OpenFailure local;
    OpenFailure& f = why ? *why : local;
    f = OpenFailure{};
    auto fail = [&](OpenFailure::Kind kind, const std::string& text) {
        f.kind = kind;
        *error = text;
        return nullptr;
    };
    if (!ValidOptions(options, error)) return fail(OpenFailure::kOptions, *error);
    std::unique_ptr<Session> s(new Session());
    s->o_ = options;
    std::string reason;
    s->store_ = recstore::RecStore::Open(options.groupDir, &reason);
    if (!s->store_)
        return fail(OpenFailure::kRecording, "cannot open the recording " + options.groupDir + ": " + reason);
    if (s->store_->GroupId() > 255)
        return fail(OpenFailure::kRecording, "recording group id " + std::to_string(s->store_->GroupId()) +
                                                 " does not fit the engine's one-byte group id");
    uint32_t available = 0;
    std::string types;  // the stream types the group records, "0 (main), 1 (sub)"
    for (int t = 0; t <= 2; ++t) {
        uint32_t of = 0;
        for (const recstore::StreamDesc& d : s->store_->Group().streams) {
            if (d.streamType == t) of |= 1u << d.channel;
        }
        if (t == options.streamType) available = of;
        if (of) types += (types.empty() ? "" : ", ") + std::to_string(t) + " (" + StreamTypeName(t) + ")";
    }
    if (available == 0) {
        f.recorded = 0;
        f.unrecorded = options.channels;
        return fail(OpenFailure::kChannels, "stream type " + std::to_string(options.streamType) + " (" +
                                                StreamTypeName(options.streamType) + ") is not recorded in " +
                                                options.groupDir + " (recorded stream types: " +
                                                (types.empty() ? std::string("none") : types) + ")");
    }
    uint32_t want = options.channels ? options.channels : available;
    if (want & ~available) {
        f.unrecorded = want ? want & ~available : 0;
        f.recorded = available;
        return fail(OpenFailure::kChannels, "channel(s) " + ChannelList(f.unrecorded) +
                                                " not recorded in stream type " + std::to_string(options.streamType) +
                                                " of " + options.groupDir + " (recorded: " + ChannelList(available) +
                                                ")");
    }
    s->streams_ = options.streams ? options.streams
                                  : std::min(std::max(std::popcount(want), options.reserveStreams), MSSP_MAX_STREAMS);
    s->leftOut_ = want & ~FirstChannels(want, s->streams_);
    want &= ~s->leftOut_;
    s->mask_ = want;
    const uint64_t bytes = static_cast<uint64_t>(s->streams_) *
                           (kStreamHeadBytes + kNodeBytes * static_cast<uint64_t>(options.nodes) +
                            static_cast<uint64_t>(options.ringBytes));
    if (bytes > kMaxSegmentBytes)
        return fail(OpenFailure::kOptions, "ring size and node count give a shared-memory segment of " +
                                               std::to_string(bytes >> 20) + " MiB for " +
                                               std::to_string(s->streams_) + " channels; at most " +
                                               std::to_string(kMaxSegmentBytes >> 20) + " MiB");
    // The engine reads the old pack format on devices of group 3 only.
    int oldSegs = 0, newSegs = 0;
    for (const recstore::StreamDesc& d : s->store_->Group().streams) {
        if (!(want >> d.channel & 1) || d.streamType != options.streamType) continue;
        for (const recstore::SegmentDesc& seg : d.segments) ++(seg.format == PackFormat::kOld ? oldSegs : newSegs);
    }
    s->deviceGroup_ = options.deviceGroup >= 0 ? options.deviceGroup : (oldSegs > 0 && newSegs == 0 ? 3 : 0);
    s->format_ = s->deviceGroup_ == 3 ? PackFormat::kOld : PackFormat::kNew;
    s->foreign_ = s->format_ == PackFormat::kOld ? newSegs : oldSegs;
    std::fill(std::begin(s->streamType_), std::end(s->streamType_), options.streamType);
    if (!s->LoadChannels(error)) return fail(OpenFailure::kRecording, *error);
    s->shmName_ = options.shmName.empty() ? UniqueShmName(options.shmPrefix) : options.shmName;
    return s;
}

Session::~Session() {
    Stop();
    store_.reset();
}

// Per played channel: the I-frames of every usable segment (from the
// store's indexes, rebuilt by a scan where needed), its audio, the kind of
// its video, and the group's first and last timestamps.
bool Session::LoadChannels(std::string* error) {
    channels_.clear();
    bool haveOrigin = false;
    lastPts_ = 0;
    int index = 0;
    const std::vector<recstore::StreamDesc>& streams = store_->Group().streams;
    for (int c = 0; c < 32; ++c) {
        if (!(mask_ >> c & 1)) continue;
        ChannelDesc desc;
        desc.channel = c;
        desc.index = index++;
        std::string firstPack;
        uint64_t firstOffset = 0;
        uint32_t firstLen = 0;
        for (size_t si = 0; si < streams.size(); ++si) {
            const recstore::StreamDesc& d = streams[si];
            if (d.channel != c || d.streamType != streamType_[desc.index]) continue;
            for (size_t k = 0; k < d.segments.size(); ++k) {
                const recstore::SegmentDesc& seg = d.segments[k];
                if (seg.format != format_) continue;
                const std::shared_ptr<const recstore::SegmentIndex> idx = store_->Index(si, k, nullptr);
                if (!idx || idx->entries.empty()) continue;
                desc.audio |= seg.audio;
                if (firstPack.empty()) {
                    firstPack = store_->Dir() + "/" + seg.file;
                    firstOffset = idx->entries.front().offset;
                    firstLen = idx->entries.front().packLen;
                    const uint64_t first = idx->hasPts ? idx->firstPts : idx->entries.front().ptsMs;
                    if (!haveOrigin || first < originPts_) {
                        originPts_ = first;
                        originTime_ = idx->firstTime;
                        haveOrigin = true;
                    }
                }
                for (const recstore::IndexEntry& e : idx->entries) desc.keys.push_back(KeyFrame{e.ptsMs, e.time});
                desc.lastPts = std::max(desc.lastPts, idx->hasPts ? idx->lastPts : idx->entries.back().ptsMs);
            }
        }
        if (desc.keys.empty() && o_.everyChannel) {
            *error = "channel " + std::to_string(c) + " of " + o_.groupDir + " has no playable recording (no " +
                     recstore::FormatName(format_) + "-format segment with an I-frame)";
            return false;
        }
        std::vector<uint8_t> pack;
        size_t offset = 0, length = 0;
        if (!firstPack.empty() && ReadPack(firstPack, firstOffset, firstLen, &pack) &&
            PayloadRange(format_, PackView{pack.data(), pack.size(), nullptr, 0}, &offset, &length)) {
            desc.video = ClassifyVideo(pack.data() + offset, length);
            recstore::PackHeader h;
            if (recstore::DecodeHeader(format_, pack.data(), pack.size(), &h, nullptr) == recstore::Decode::kOk &&
                h.frameRate > 0)
                desc.frameMs = 1000u / h.frameRate;
        }
        lastPts_ = std::max(lastPts_, desc.lastPts);
        channels_.push_back(std::move(desc));
    }
    return true;
}

const ChannelDesc* Session::FindChannel(int channel) const {
    for (const ChannelDesc& c : channels_) {
        if (c.channel == channel) return &c;
    }
    return nullptr;
}

uint64_t Session::StreamMsAt(const DateTime& dt) const {
    const int64_t s = recstore::DateTimeToSeconds(dt) - recstore::DateTimeToSeconds(originTime_);
    return s > 0 ? static_cast<uint64_t>(s) * 1000 : 0;
}

DateTime Session::DateTimeAt(uint64_t ms) const {
    return recstore::SecondsToDateTime(recstore::DateTimeToSeconds(originTime_) + static_cast<int64_t>(ms / 1000));
}

bool Session::RecordedSpan(DateTime* first, DateTime* last) {
    bool found = false;
    for (const ChannelDesc& c : channels_) {
        DateTime f{}, l{};
        if (!store_->StreamSpan(static_cast<uint8_t>(c.channel), static_cast<uint8_t>(streamType_[c.index]), &f, &l))
            continue;
        if (!found || recstore::DateTimeToSeconds(f) < recstore::DateTimeToSeconds(*first)) *first = f;
        if (!found || recstore::DateTimeToSeconds(l) > recstore::DateTimeToSeconds(*last)) *last = l;
        found = true;
    }
    return found;
}

bool Session::SegmentStart(int channel, uint32_t number, DateTime* start) {
    tag_tavuSegmentId id{static_cast<uint8_t>(channel), static_cast<uint8_t>(o_.streamType), 0, number};
    MSSP_SegmentInfo_t info{};
    if (store_->GetStreamSegmentInfo(&id, &info) != 0) return false;
    *start = DateTime{info.year, info.month, info.day, info.hour, info.minute, info.second};
    return true;
}

void Session::SetChannelShift(int channel, int64_t shiftMs) {
    const ChannelDesc* c = FindChannel(channel);
    if (c && c->index >= 0 && c->index < MSSP_MAX_STREAMS) shift_[c->index] = shiftMs;
}

const KeyFrame* Session::KeyAtOrBefore(const ChannelDesc& c, uint64_t ms) const {
    if (c.keys.empty()) return nullptr;
    // Saturating: positions and shifts come from hosts and recorded data.
    const int64_t shift = c.index >= 0 && c.index < MSSP_MAX_STREAMS ? shift_[c.index] : 0;
    uint64_t target = originPts_ > UINT64_MAX - ms ? UINT64_MAX : originPts_ + ms;
    if (shift < 0) target = target > static_cast<uint64_t>(-(shift + 1)) ? target - static_cast<uint64_t>(-(shift + 1)) - 1 : 0;
    else target = target > UINT64_MAX - static_cast<uint64_t>(shift) ? UINT64_MAX : target + static_cast<uint64_t>(shift);
    auto after = std::upper_bound(c.keys.begin(), c.keys.end(), target,
                                  [](uint64_t t, const KeyFrame& k) { return t < k.pts; });
    return after == c.keys.begin() ? &c.keys.front() : &*(after - 1);
}

// The store positions at the last I-frame whose recorded second is at or
// before the given one, which may lie after the wanted I-frame when several
// share a second. A second before the earliest wanted I-frame lies before
// every one of them; the frames in between are dropped by Take.
DateTime Session::PositionFor(uint64_t ms, bool exact) {
    bool have = false;
    int64_t earliest = 0;
    for (const ChannelDesc& c : channels_) {
        const KeyFrame* k = KeyAtOrBefore(c, ms);
        if (!k) continue;
        const int64_t t = recstore::DateTimeToSeconds(k->time);
        if (!have || t < earliest) earliest = t;
        have = true;
        dropBelow_[c.index] = exact ? k->pts : 0;
    }
    return recstore::SecondsToDateTime(exact ? earliest - 1 : earliest);
}

void Session::BuildParser() {
    Stop();
    Json::Value spec(Json::objectValue);
    static const char* const kGroupNames[] = {"", "ITS", "BUS", "ANT"};
    if (deviceGroup_ > 0) spec["PRODUCT_GROUP"] = kGroupNames[deviceGroup_];
    Kelto_SetSpecInfo(spec);  // read by the parser's constructor
    ops_ = recstore::RecStore::Operations();
    parser_ = std::make_unique<CMultiStreamSyncParser>(kPlaybackGroup, streams_, shmName_.data(), o_.ringBytes,
                                                       o_.nodes, &ops_, store_.get(),
                                                       static_cast<unsigned char>(store_->GroupId()));
    parser_->SetLogHook(o_.logFn, o_.logUser);
    store_->TakeFailedOpens();
}

int Session::AfterStart(int result, const DateTime& at) {
    started_ = result == 0;
    playDate_ = at;
    position_ = at;
    mode_ = Mode::kPlay;
    speed_ = 1;
    NoteFailures();
    return result;
}

bool Session::Start(uint64_t ms, std::string* error) {
    const DateTime at = PositionFor(ms, true);
    StartAt(at);
    if (!started_ || failed_ == mask_) {
        *error = "no channel of " + o_.groupDir + " could be opened at " + recstore::FormatDateTime(at);
        return false;
    }
    return true;
}

int Session::StartAt(const DateTime& at) {
    if (!ready_) BuildParser();
    ready_ = false;
    tag_tavuDate date{at[0], at[1], at[2]};
    tag_tavuTime time{at[3], at[4], at[5]};
    const uint8_t typeBmp = static_cast<uint8_t>(1u << o_.streamType);
    return AfterStart(parser_->StartParse(mask_, typeBmp, 0, &date, &time, true, o_.streamsPerThread), at);
}

// The store positions at the last I-frame at or before a second, and at the
// recording's first I-frame before its start: a second before the earliest
// recorded pack finds every channel's first I-frame.
int Session::StartFromBeginning() {
    DateTime first{}, last{};
    if (!RecordedSpan(&first, &last)) first = originTime_;
    return StartAt(recstore::SecondsToDateTime(recstore::DateTimeToSeconds(first) - 1));
}

int Session::StartAtSegment(int channel, uint32_t number) {
    if (!ready_) BuildParser();
    ready_ = false;
    DateTime at{};
    SegmentStart(channel, number, &at);
    tag_tavuSegmentId id{static_cast<uint8_t>(channel), static_cast<uint8_t>(o_.streamType), 0, number};
    const uint8_t typeBmp = static_cast<uint8_t>(1u << o_.streamType);
    return AfterStart(parser_->StartParse(mask_, typeBmp, 0, &id, true, o_.streamsPerThread), at);
}

void Session::Stop() {
    ready_ = false;
    if (!parser_) return;
    if (started_) parser_->StopParse();
    started_ = false;
    parser_.reset();
    RemoveSharedMemory(shmName_, kPlaybackGroup);
}

void Session::Prepare() {
    BuildParser();
    ready_ = true;
}

void Session::Halt() {
    if (started_) parser_->StopParse();
    started_ = false;
    ready_ = parser_ != nullptr;
}

void Session::NoteFailures() { failed_ |= store_->TakeFailedOpens() & mask_; }

uint32_t Session::FailedChannels() {
    NoteFailures();
    const uint32_t f = failed_;
    failed_ = 0;
    return f;
}

void Session::Seek(uint64_t ms) {
    if (!started_) return;
    // Leaving trick play first puts every stream's play status back to
    // normal play, which the engine's discontinuity check reads.
    if (mode_ != Mode::kPlay) parser_->SetStatus(MSSP_STATUS_PLAY, 0, nullptr);
    const DateTime at = PositionFor(ms, true);
    Common::_datetime_ dt = EngineTime(at);
    parser_->Seek(&dt, originPts_ + ms);
    playDate_ = at;
    position_ = at;
    mode_ = Mode::kPlay;
    speed_ = 1;
    NoteFailures();
}

void Session::Trick(Mode mode, int speed, uint64_t ms) {
    if (!started_) return;
    if (mode == Mode::kPlay) return Seek(ms);
    const DateTime at = PositionFor(ms, false);
    if (!std::equal(at.begin(), at.begin() + 3, playDate_.begin())) {
        // Trick play repositions by time of day on the engine's play date:
        // a seek moves that date first.
        Common::_datetime_ dt = EngineTime(at);
        parser_->Seek(&dt, originPts_ + ms);
        playDate_ = at;
    }
    TrickFrom(mode, speed, at);
}

void Session::SwitchStreamType(int streamType, uint64_t ms) {
    if (!started_ || streamType < 0 || streamType > 2) return;
    bool done = false;
    SwitchStreamTypeAt(streamType, DateTimeAt(ms), &done);
    o_.streamType = streamType;
}

void Session::SwitchChannels(uint32_t mask, uint64_t ms) {
    if (!started_ || mask == 0) return;
    SwitchChannelsAt(mask, DateTimeAt(ms));
}

int Session::SeekTo(const DateTime& at) {
    if (!started_) return -1;
    Common::_datetime_ dt = EngineTime(at);
    const int r = parser_->Seek(&dt, 0);
    playDate_ = at;
    position_ = at;
    mode_ = Mode::kPlay;
    speed_ = 1;
    NoteFailures();
    return r;
}

int Session::PlayFrom(const DateTime& at) {
    if (!started_) return -1;
    MSSP_Time_t tod{at[3], at[4], at[5]};
    const int r = parser_->SetStatus(MSSP_STATUS_PLAY, 0, &tod);
    std::copy(at.begin() + 3, at.end(), position_.begin() + 3);  // on the play date
    std::copy(playDate_.begin(), playDate_.begin() + 3, position_.begin());
    mode_ = Mode::kPlay;
    speed_ = 1;
    NoteFailures();
    return r;
}

int Session::TrickFrom(Mode mode, int speed, const DateTime& at) {
    if (!started_) return -1;
    MSSP_Time_t tod{at[3], at[4], at[5]};
    const int r = parser_->SetStatus(mode == Mode::kFastBackward ? MSSP_STATUS_FAST_BACKWARD
                                     : mode == Mode::kFastForward ? MSSP_STATUS_FAST_FORWARD
                                                                  : MSSP_STATUS_PLAY,
                                     mode == Mode::kPlay ? 0 : speed, &tod);
    mode_ = mode;
    speed_ = mode == Mode::kPlay ? 1 : speed;
    NoteFailures();
    return r;
}

int Session::SwitchStreamTypeAt(int streamType, const DateTime& at, bool* done) {
    *done = false;
    if (!started_) return -1;
    bool already = false;
    for (int k = 0; k < streams_; ++k) already |= streamType_[k] == streamType;
    Common::_datetime_ dt = EngineTime(at);
    const int r = parser_->SwitchStream(streamType, &dt);
    if (!already) {
        // The switch repositions every stream through a seek.
        std::fill(std::begin(streamType_), std::begin(streamType_) + streams_, streamType);
        playDate_ = at;
        position_ = at;
        mode_ = Mode::kPlay;
        speed_ = 1;
        std::string ignored;
        LoadChannels(&ignored);
        std::fill(std::begin(dropBelow_), std::end(dropBelow_), 0);
        *done = true;
    }
    NoteFailures();
    return r;
}

// The engine answers 0 whether a channel was switched or not; what took
// effect is read from the store: a switched channel got a new handle (of
// the new type). The engine files a channel under the new type also when
// the open failed.
Session::Switched Session::SwitchStreamTypeOf(uint32_t channels, int streamType, const DateTime& at) {
    Switched out;
    if (!started_) {
        out.result = -1;
        return out;
    }
    Common::_datetime_ dt = EngineTime(at);
    store_->TakeOpened();  // forget the opens before this call
    out.result = parser_->SwitchStream(channels, static_cast<int>(1u << streamType), &dt);
    position_ = at;
    out.opened = store_->TakeOpened() & channels;
    out.failed = FailedChannels() & channels;
    for (int c = 0; c < 32; ++c) {
        const int k = StreamIndexOf(mask_, c);
        if (k >= 0 && k < streams_ && ((out.opened | out.failed) >> c & 1)) streamType_[k] = streamType;
    }
    return out;
}

int Session::SwitchChannelsAt(uint32_t mask, const DateTime& at) {
    if (!started_) return -1;
    Common::_datetime_ dt = EngineTime(at);
    const int r = parser_->SwitchPlaybackChannels(mask, &dt);
    position_ = at;
    mask_ = FirstChannels(mask, streams_);  // the first `streams_` channels get a stream index
    std::string ignored;
    LoadChannels(&ignored);
    std::fill(std::begin(dropBelow_), std::end(dropBelow_), 0);
    NoteFailures();
    return r;
}

int Session::SetJumpLevel(int channel, int level) {
    const int k = StreamIndexOf(mask_, channel);
    if (!started_ || k < 0) return -1;
    return parser_->SetFrameJumpLevel(static_cast<unsigned char>(k), static_cast<unsigned char>(level));
}

int Session::StreamTypeOf(int index) const {
    return index >= 0 && index < MSSP_MAX_STREAMS ? streamType_[index] : -1;
}

bool Session::Take(Frame* f) {
    if (!started_) return false;
    const int direction = mode_ == Mode::kFastBackward ? -1 : 1;
    for (int n = 0; n < kMaxDropsPerTake; ++n) {
        unsigned char *p1 = nullptr, *p2 = nullptr;
        int n1 = 0, n2 = 0, type = 0, channel = -1;
        unsigned long long pts = 0;
        unsigned int flags = 0;
        const int index =
            parser_->GetFrame(&p1, &n1, &p2, &n2, &type, &pts, &flags, &channel, direction, o_.convert ? 1 : 0);
        if (index < 0) return false;
        if (mode_ == Mode::kPlay && dropBelow_[index] != 0) {
            if (pts < dropBelow_[index]) {
                parser_->ReleaseFrame(index);
                continue;
            }
            dropBelow_[index] = 0;
        }
        f->index = index;
        f->channel = channel;
        f->type = type;
        f->pts = pts;
        f->flags = flags;
        f->pack = PackView{p1, n1 > 0 ? static_cast<size_t>(n1) : 0, p2 && n2 > 0 ? p2 : nullptr,
                           p2 && n2 > 0 ? static_cast<size_t>(n2) : 0};
        return true;
    }
    return false;
}

void Session::Release(const Frame& f) {
    if (started_ && f.index >= 0) parser_->ReleaseFrame(f.index);
}

bool Session::Live() { return started_ && parser_->GetStatus() != 0; }

int Session::StreamStatus(int index) { return started_ ? parser_->GetChnStatusEx(index, 0) : 0; }

}  // namespace mssphost

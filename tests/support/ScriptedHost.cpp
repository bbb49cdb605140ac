// Scripted in-memory test host: recordings, chunked reads, I-frame reads,
// positioning, failure injection and the call log behind the nine stream
// operations. Called from any thread under one mutex; never blocks on the
// parser and never sleeps.
#include "ScriptedHost.h"

#include <algorithm>
#include <cstring>

namespace msspt {

DateTime AddSeconds(DateTime t, int seconds) {
    int total = t[3] * 3600 + t[4] * 60 + t[5] + seconds;
    const int days = (total >= 0 ? total : total - 86399) / 86400;  // rounded down
    total -= days * 86400;
    t[2] = static_cast<uint8_t>(t[2] + days);
    t[3] = static_cast<uint8_t>(total / 3600);
    t[4] = static_cast<uint8_t>(total / 60 % 60);
    t[5] = static_cast<uint8_t>(total % 60);
    return t;
}

// ---------------------------------------------------------------------------
// RecordingBuilder

Segment& RecordingBuilder::Last() {
    if (recording.segments.empty()) recording.segments.emplace_back();
    return recording.segments.back();
}

RecordingBuilder& RecordingBuilder::NewSegment(DateTime start, bool audio) {
    recording.segments.push_back(Segment{start, audio, {}, {}});
    return *this;
}

RecordingBuilder& RecordingBuilder::AddPack(const Bytes& pack, int type, uint64_t pts, DateTime time) {
    Segment& seg = Last();
    packs.push_back(PackInfo{static_cast<int>(recording.segments.size()) - 1, seg.bytes.size(), pack, type, pts, time});
    if (type == 0) seg.iframes.push_back(IFrameMark{seg.bytes.size(), pack.size(), time});
    seg.bytes.insert(seg.bytes.end(), pack.begin(), pack.end());
    return *this;
}

RecordingBuilder& RecordingBuilder::AddNewPack(const packwriter::NewPack& pack, size_t payloadLen,
                                               DateTime time) {
    const Bytes payload = packwriter::PatternPayload(payloadLen, seed_++);
    const uint64_t pts = pack.pts ? *pack.pts : (packs.empty() ? 0 : packs.back().pts);
    return AddPack(packwriter::MakeNewPack(pack, payload), static_cast<int>(pack.kind), pts, time);
}

RecordingBuilder& RecordingBuilder::AddVideo(int type, uint64_t pts, DateTime time, size_t payloadLen,
                                             uint8_t channel) {
    packwriter::NewPack p;
    p.kind = type == 0 ? packwriter::kIFrame : packwriter::kPFrame;
    p.channel = channel;
    p.video = packwriter::VideoInfo{704, 576, 25};
    p.pts = pts;
    if (type == 0) p.time = time;
    p.flag = true;
    return AddNewPack(p, payloadLen, time);
}

RecordingBuilder& RecordingBuilder::AddAudio(uint64_t pts, DateTime time, size_t payloadLen,
                                             uint8_t channel, bool audioFlag) {
    packwriter::NewPack p;
    p.kind = packwriter::kAudio;
    p.channel = channel;
    p.pts = pts;
    p.time = time;
    p.flag = audioFlag;
    return AddNewPack(p, payloadLen, time);
}

RecordingBuilder& RecordingBuilder::AddGarbage(const Bytes& bytes) {
    Last().bytes.insert(Last().bytes.end(), bytes.begin(), bytes.end());
    return *this;
}

RecordingBuilder MakeSynthetic(const SynthSpec& spec) {
    RecordingBuilder b;
    int k = 0;  // video frame number over the whole recording
    for (int s = 0; s < spec.segments; ++s) {
        const DateTime segStart = AddSeconds(spec.start, s * spec.gopsPerSegment * spec.secondsPerGop);
        b.NewSegment(segStart, spec.audio);
        for (int g = 0; g < spec.gopsPerSegment; ++g) {
            const DateTime time = AddSeconds(segStart, g * spec.secondsPerGop);
            for (int f = 0; f < spec.gop; ++f, ++k) {
                const uint64_t pts = spec.firstPts + static_cast<uint64_t>(k) * spec.ptsStep;
                const size_t jitter = static_cast<size_t>(k) * 37 % 97;
                b.AddVideo(f == 0 ? 0 : 1, pts, time, (f == 0 ? spec.iPayload : spec.pPayload) + jitter, spec.channel);
                if (spec.audio) b.AddAudio(pts + spec.ptsStep / 2, time, spec.audioPayload + jitter % 13, spec.channel);
            }
        }
    }
    return b;
}

// ---------------------------------------------------------------------------
// ScriptedHost: configuration and log

MSSP_StreamOperation_t ScriptedHost::Table() {
    return {.OpenStream = &OpenStream, .Reserved = nullptr, .GetStreamSegmentInfo = &GetStreamSegmentInfo,
            .GetSegmentInfo = &GetSegmentInfo, .ReadStream = &ReadStream, .ReadNextIFrame = &ReadNextIFrame,
            .ReadPrevIFrame = &ReadPrevIFrame, .SeekStream = &SeekStream, .CloseStream = &CloseStream};
}

using Lock = std::lock_guard<std::mutex>;
void ScriptedHost::SetRecording(int channel, int type, Recording rec) {
    Lock l(mu_);
    recordings_[{channel, type}] = std::move(rec);
}
void ScriptedHost::SetChunks(int channel, int type, std::vector<int> sizes) {
    Lock l(mu_);
    chunks_[{channel, type}] = std::move(sizes);
}
void ScriptedHost::SetFault(int channel, int type, Slot slot, Fault fault) {
    Lock l(mu_);
    faults_[{{channel, type}, slot}] = {fault};
}
void ScriptedHost::ClearFaults() { Lock l(mu_); faults_.clear(); }
void ScriptedHost::SetFaultSeed(uint32_t seed) { Lock l(mu_); faultRng_.seed(seed); }
void ScriptedHost::SetFlagFirstRead(bool on) { Lock l(mu_); flagFirstRead_ = on; }
std::vector<ScriptedHost::Call> ScriptedHost::Calls() const { Lock l(mu_); return log_; }
void ScriptedHost::ClearLog() { Lock l(mu_); log_.clear(); }

std::vector<ScriptedHost::Call> ScriptedHost::CallsOf(Slot slot) const {
    std::vector<Call> out = Calls();
    out.erase(std::remove_if(out.begin(), out.end(), [slot](const Call& c) { return c.slot != slot; }), out.end());
    return out;
}

int ScriptedHost::Count(Slot slot) const { return static_cast<int>(CallsOf(slot).size()); }

ScriptedHost::HandleState ScriptedHost::Handle(int handle) const {
    Lock l(mu_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return HandleState{};
    const Open& h = it->second;
    return HandleState{h.key.first, h.key.second, h.open, h.segment, h.pos};
}

int ScriptedHost::OpenHandles() const {
    Lock l(mu_);
    return static_cast<int>(
        std::count_if(handles_.begin(), handles_.end(), [](const auto& h) { return h.second.open; }));
}

ScriptedHost::Call& ScriptedHost::Begin(Slot slot, int handle) {
    log_.push_back(Call{slot});
    log_.back().handle = handle;
    Open* h = Find(handle);
    if (h != nullptr) log_.back().channel = h->key.first;
    return log_.back();
}

ScriptedHost::Open* ScriptedHost::Find(int handle) {
    auto it = handles_.find(handle);
    return it == handles_.end() || !it->second.open ? nullptr : &it->second;
}

bool ScriptedHost::Inject(const Key& key, Slot slot, int* result) {
    auto it = faults_.find({key, static_cast<int>(slot)});
    if (it == faults_.end()) return false;
    FaultState& f = it->second;
    const int n = f.calls++;
    if (n < f.fault.skip) return false;
    if (f.fault.chance > 0) {
        if ((f.fault.count >= 0 && f.failed >= f.fault.count) ||
            static_cast<int>(faultRng_() % 1000) >= f.fault.chance)
            return false;
        ++f.failed;
    } else if (f.fault.count >= 0 && n >= f.fault.skip + f.fault.count) {
        return false;
    }
    *result = f.fault.result;
    return true;
}

namespace {

struct FlatIFrame {
    int segment;
    const IFrameMark* mark;
};

// The I-frames of all segments, in order.
std::vector<FlatIFrame> Flatten(const Recording& rec) {
    std::vector<FlatIFrame> out;
    for (size_t s = 0; s < rec.segments.size(); ++s)
        for (const IFrameMark& m : rec.segments[s].iframes) out.push_back({static_cast<int>(s), &m});
    return out;
}

DateTime TimeOf(const MSSP_SeekTime_t& t) { return {t.year, t.month, t.day, t.hour, t.minute, t.second}; }

}  // namespace

void ScriptedHost::Position(Open& h, const DateTime& when) {
    const std::vector<FlatIFrame> flat = Flatten(recordings_[h.key]);
    int pick = 0;
    for (size_t i = 0; i < flat.size(); ++i)
        if (flat[i].mark->time <= when) pick = static_cast<int>(i);
    const bool found = !flat.empty() && flat[pick].mark->time <= when;
    h.segment = found ? flat[pick].segment : 0;
    h.pos = found ? flat[pick].mark->pos : 0;
    h.iframe = pick;
    h.walked = false;
    h.iframeSegment = h.segment;
    h.enteredByRead = false;
    h.firstRead = true;
}

// ---------------------------------------------------------------------------
// ScriptedHost: the slots

int ScriptedHost::OpenStream(void* user, MSSP_OpenParam_t* param, unsigned char openFlag) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    Call& c = self->Begin(kOpen, -1);
    c.channel = param->channel;
    c.bitmap = param->streamTypeBmp;
    c.openParam = param->openParam;
    c.openFlag = openFlag;
    c.time = DateTime{param->year, param->month, param->day, param->hour, param->minute, param->second};
    int type = 0;  // the lowest bit set
    while (type < 8 && !(param->streamTypeBmp & (1u << type))) ++type;
    const Key key{param->channel, type == 8 ? 0 : type};
    if (!self->Inject(key, kOpen, &c.result)) {
        c.result = -1;
        if (self->recordings_.count(key) != 0) {
            Open h;
            h.key = key;
            self->Position(h, c.time);
            c.result = self->nextHandle_++;
            self->handles_[c.result] = h;
        }
    }
    c.handle = c.result;
    return c.result;
}

int ScriptedHost::GetStreamSegmentInfo(void* user, tag_tavuSegmentId* id, MSSP_SegmentInfo_t* info) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    Call& c = self->Begin(kStreamSegmentInfo, -1);
    c.channel = id->channel;
    const Key key{id->channel, id->streamType};
    if (self->Inject(key, kStreamSegmentInfo, &c.result)) return c.result;
    auto it = self->recordings_.find(key);
    if (it == self->recordings_.end() || id->segment >= it->second.segments.size()) return c.result = 1;
    c.time = it->second.segments[id->segment].start;
    std::memcpy(&info->year, c.time.data(), 6);
    info->channel = id->channel;
    return 0;
}

int ScriptedHost::GetSegmentInfo(void* user, int handle, MSSP_SegmentAttr_t* attr) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    Call& c = self->Begin(kSegmentInfo, handle);
    Open* h = self->Find(handle);
    if (h == nullptr) return c.result = -1;
    const Recording& rec = self->recordings_[h->key];
    const bool audio = h->segment < static_cast<int>(rec.segments.size()) && rec.segments[h->segment].audio;
    // Filled even when a fault is injected: the parser must ignore the
    // record of a failed call.
    attr->attr = audio ? MSSP_SEGATTR_AUDIO : 0;
    self->Inject(h->key, kSegmentInfo, &c.result);
    return c.result;
}

int ScriptedHost::ReadStream(void* user, int handle, unsigned char* dst, int maxLen, unsigned char* newSegment) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    Call& c = self->Begin(kRead, handle);
    c.maxLen = maxLen;
    Open* h = self->Find(handle);
    if (h == nullptr) return c.result = -1;
    if (self->Inject(h->key, kRead, &c.result)) return c.result;
    const Recording& rec = self->recordings_[h->key];
    const int nseg = static_cast<int>(rec.segments.size());
    while (h->segment < nseg && h->pos >= rec.segments[h->segment].bytes.size()) {
        ++h->segment;
        h->pos = 0;
        h->enteredByRead = true;
    }
    if (h->segment >= nseg) return 0;
    const Bytes& bytes = rec.segments[h->segment].bytes;
    int chunk = 65536;
    auto cit = self->chunks_.find(h->key);
    if (cit != self->chunks_.end() && !cit->second.empty())
        chunk = cit->second[static_cast<size_t>(h->chunkIndex++) % cit->second.size()];
    const size_t n = std::min({static_cast<size_t>(std::max(chunk, 1)), static_cast<size_t>(std::max(maxLen, 0)),
                               bytes.size() - h->pos});
    std::memcpy(dst, bytes.data() + h->pos, n);
    c.flag = (h->pos == 0 && h->enteredByRead) || (h->firstRead && self->flagFirstRead_) ? 1 : 0;
    *newSegment = static_cast<unsigned char>(c.flag);
    h->pos += n;
    h->enteredByRead = h->firstRead = false;
    return c.result = static_cast<int>(n);
}

int ScriptedHost::IFrameRead(int handle, unsigned char** data, int* length, unsigned char* newSegment, int step,
                             bool forward) {
    Call& c = Begin(forward ? kNextIFrame : kPrevIFrame, handle);
    c.step = step;
    *data = nullptr;
    *length = 0;
    *newSegment = 0;
    Open* h = Find(handle);
    if (h == nullptr) return c.result = -1;
    if (Inject(h->key, c.slot, &c.result)) return c.result;
    const Recording& rec = recordings_[h->key];
    const std::vector<FlatIFrame> flat = Flatten(rec);
    // Each step after the first moves 1 + skip I-frames: skip 1, 3, 7 for the step codes 1, 2, 31.
    const int move = 1 + (step == 1 ? 1 : step == 2 ? 3 : step == 31 ? 7 : 0);
    const int idx = !h->walked ? h->iframe : forward ? h->iframe + move : h->iframe - move;
    if (idx < 0 || idx >= static_cast<int>(flat.size())) return 0;
    const FlatIFrame& f = flat[idx];
    *data = const_cast<unsigned char*>(rec.segments[f.segment].bytes.data() + f.mark->pos);
    *length = static_cast<int>(f.mark->len);
    *newSegment = f.segment != h->iframeSegment ? 1 : 0;
    h->iframe = idx;
    h->walked = true;
    h->iframeSegment = h->segment = f.segment;
    h->pos = f.mark->pos;
    h->enteredByRead = false;
    c.flag = *newSegment;
    c.time = f.mark->time;
    return c.result = 1;
}

int ScriptedHost::ReadNextIFrame(void* user, int handle, unsigned char** data, int* length,
                                 unsigned char* newSegment, int step) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    return self->IFrameRead(handle, data, length, newSegment, step, true);
}

int ScriptedHost::ReadPrevIFrame(void* user, int handle, unsigned char** data, int* length,
                                 unsigned char* newSegment, int step) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    return self->IFrameRead(handle, data, length, newSegment, step, false);
}

int ScriptedHost::SeekStream(void* user, int handle, MSSP_SeekTime_t* time) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    Call& c = self->Begin(kSeek, handle);
    c.time = TimeOf(*time);
    Open* h = self->Find(handle);
    if (h == nullptr) return c.result = -1;
    if (!self->Inject(h->key, kSeek, &c.result)) self->Position(*h, c.time);
    return c.result;
}

int ScriptedHost::CloseStream(void* user, int handle, int reserved) {
    auto* self = static_cast<ScriptedHost*>(user);
    Lock l(self->mu_);
    Call& c = self->Begin(kClose, handle);
    c.flag = reserved;
    Open* h = self->Find(handle);
    if (h == nullptr) return c.result = -1;
    h->open = false;
    return 0;
}

}  // namespace msspt

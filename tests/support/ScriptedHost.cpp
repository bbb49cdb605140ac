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
    int days = 0;
    while (total < 0) {
        total += 86400;
        --days;
    }
    days += total / 86400;
    total %= 86400;
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
    Segment seg;
    seg.start = start;
    seg.audio = audio;
    recording.segments.push_back(std::move(seg));
    return *this;
}

RecordingBuilder& RecordingBuilder::AddPack(const Bytes& pack, int type, uint64_t pts, DateTime time) {
    Segment& seg = Last();
    PackInfo info;
    info.segment = static_cast<int>(recording.segments.size()) - 1;
    info.offset = seg.bytes.size();
    info.bytes = pack;
    info.type = type;
    info.pts = pts;
    info.time = time;
    if (type == 0) seg.iframes.push_back(IFrameMark{info.offset, pack.size(), time});
    seg.bytes.insert(seg.bytes.end(), pack.begin(), pack.end());
    packs.push_back(std::move(info));
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
    Segment& seg = Last();
    seg.bytes.insert(seg.bytes.end(), bytes.begin(), bytes.end());
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
                const int type = f == 0 ? 0 : 1;
                const uint64_t pts = spec.firstPts + static_cast<uint64_t>(k) * spec.ptsStep;
                const size_t jitter = static_cast<size_t>(k) * 37 % 97;
                const size_t len = (type == 0 ? spec.iPayload : spec.pPayload) + jitter;
                if (spec.oldFormat) {
                    packwriter::OldVideoPack p;
                    p.kind = type == 0 ? packwriter::kIFrame : packwriter::kPFrame;
                    p.channel = spec.channel;
                    p.ptsUs = pts * 1000;
                    p.time = time;
                    p.width = 704;
                    p.height = 576;
                    const Bytes payload = packwriter::PatternPayload(len, static_cast<uint32_t>(k + 1));
                    b.AddPack(packwriter::MakeOldVideoPack(p, payload), type, pts, time);
                } else {
                    b.AddVideo(type, pts, time, len, spec.channel);
                }
                if (spec.audio) {
                    const uint64_t apts = pts + spec.ptsStep / 2;
                    const size_t alen = spec.audioPayload + jitter % 13;
                    if (spec.oldFormat) {
                        const Bytes payload = packwriter::PatternPayload(alen, static_cast<uint32_t>(k + 7));
                        // Old audio headers carry no pts: the frame keeps the video frame's.
                        b.AddPack(packwriter::MakeOldAudioPack(spec.channel, 0, payload), 2, pts, time);
                    } else {
                        b.AddAudio(apts, time, alen, spec.channel);
                    }
                }
            }
        }
    }
    return b;
}

// ---------------------------------------------------------------------------
// ScriptedHost: configuration and log

MSSP_StreamOperation_t ScriptedHost::Table() {
    MSSP_StreamOperation_t t{};
    t.OpenStream = &ScriptedHost::OpenStream;
    t.Reserved = nullptr;
    t.GetStreamSegmentInfo = &ScriptedHost::GetStreamSegmentInfo;
    t.GetSegmentInfo = &ScriptedHost::GetSegmentInfo;
    t.ReadStream = &ScriptedHost::ReadStream;
    t.ReadNextIFrame = &ScriptedHost::ReadNextIFrame;
    t.ReadPrevIFrame = &ScriptedHost::ReadPrevIFrame;
    t.SeekStream = &ScriptedHost::SeekStream;
    t.CloseStream = &ScriptedHost::CloseStream;
    return t;
}

void ScriptedHost::SetRecording(int channel, int type, Recording recording) {
    std::lock_guard<std::mutex> lock(mu_);
    recordings_[Key{channel, type}] = std::move(recording);
}

void ScriptedHost::SetChunks(int channel, int type, std::vector<int> sizes) {
    std::lock_guard<std::mutex> lock(mu_);
    chunks_[Key{channel, type}] = std::move(sizes);
}

void ScriptedHost::SetFault(int channel, int type, Slot slot, Fault fault) {
    std::lock_guard<std::mutex> lock(mu_);
    faults_[{Key{channel, type}, static_cast<int>(slot)}] = FaultState{fault, 0};
}

void ScriptedHost::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.clear();
    nullIFrame_.clear();
    iframeDelta_.clear();
}

void ScriptedHost::SetFaultSeed(uint32_t seed) {
    std::lock_guard<std::mutex> lock(mu_);
    faultRng_.seed(seed);
}

void ScriptedHost::SetNullIFrameData(int channel, int type, bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    nullIFrame_[Key{channel, type}] = on;
}

void ScriptedHost::SetIFrameLengthDelta(int channel, int type, int delta) {
    std::lock_guard<std::mutex> lock(mu_);
    iframeDelta_[Key{channel, type}] = delta;
}

void ScriptedHost::SetFlagFirstRead(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    flagFirstRead_ = on;
}

std::vector<ScriptedHost::Call> ScriptedHost::Calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

std::vector<ScriptedHost::Call> ScriptedHost::CallsOf(Slot slot) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Call> out;
    for (const Call& c : log_)
        if (c.slot == slot) out.push_back(c);
    return out;
}

int ScriptedHost::Count(Slot slot) const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(std::count_if(log_.begin(), log_.end(),
                                          [slot](const Call& c) { return c.slot == slot; }));
}

void ScriptedHost::ClearLog() {
    std::lock_guard<std::mutex> lock(mu_);
    log_.clear();
}

ScriptedHost::HandleState ScriptedHost::Handle(int handle) const {
    std::lock_guard<std::mutex> lock(mu_);
    HandleState s;
    auto it = handles_.find(handle);
    if (it == handles_.end()) return s;
    s.channel = it->second.key.first;
    s.type = it->second.key.second;
    s.open = it->second.open;
    s.segment = it->second.segment;
    s.pos = it->second.pos;
    return s;
}

int ScriptedHost::OpenHandles() const {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const auto& [h, state] : handles_) n += state.open ? 1 : 0;
    return n;
}

void ScriptedHost::Log(const Call& call) { log_.push_back(call); }

bool ScriptedHost::Inject(const Key& key, Slot slot, int* result) {
    auto it = faults_.find({key, static_cast<int>(slot)});
    if (it == faults_.end()) return false;
    FaultState& f = it->second;
    const int n = f.calls++;
    if (n < f.fault.skip) return false;
    if (f.fault.chance > 0) {
        if (f.fault.count >= 0 && f.failed >= f.fault.count) return false;
        if (static_cast<int>(faultRng_() % 1000) >= f.fault.chance) return false;
        ++f.failed;
        *result = f.fault.result;
        return true;
    }
    if (f.fault.count >= 0 && n >= f.fault.skip + f.fault.count) return false;
    *result = f.fault.result;
    return true;
}

int ScriptedHost::SkipOfStep(int step) {
    switch (step) {
        case 1: return 1;
        case 2: return 3;
        case 31: return 7;
        default: return 0;
    }
}

namespace {

struct FlatIFrame {
    int segment;
    const IFrameMark* mark;
};

std::vector<FlatIFrame> Flatten(const Recording& rec) {
    std::vector<FlatIFrame> out;
    for (size_t s = 0; s < rec.segments.size(); ++s)
        for (const IFrameMark& m : rec.segments[s].iframes) out.push_back({static_cast<int>(s), &m});
    return out;
}

int StreamTypeOf(unsigned bitmap) {
    for (int t = 0; t < 8; ++t)
        if (bitmap & (1u << t)) return t;
    return 0;
}

}  // namespace

void ScriptedHost::Position(Open& h, const DateTime& when) {
    const Recording& rec = recordings_[h.key];
    const std::vector<FlatIFrame> flat = Flatten(rec);
    h.segment = 0;
    h.pos = 0;
    h.iframeCursor = -1;
    int pick = -1;
    for (size_t i = 0; i < flat.size(); ++i)
        if (flat[i].mark->time <= when) pick = static_cast<int>(i);
    if (pick >= 0) {
        h.segment = flat[pick].segment;
        h.pos = flat[pick].mark->pos;
        h.iframeCursor = pick;
    } else if (!flat.empty()) {
        h.iframeCursor = 0;
    }
    h.lastIFrame = -1;
    h.lastIFrameSegment = h.segment;
    h.enteredByRead = false;
    h.firstRead = true;
}

// ---------------------------------------------------------------------------
// ScriptedHost: the slots

int ScriptedHost::OpenStream(void* user, MSSP_OpenParam_t* param, unsigned char openFlag) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    Call c{kOpen};
    c.channel = param->channel;
    c.bitmap = param->streamTypeBmp;
    c.openParam = param->openParam;
    c.openFlag = openFlag;
    c.time = DateTime{param->year, param->month, param->day, param->hour, param->minute, param->second};
    const Key key{param->channel, StreamTypeOf(param->streamTypeBmp)};
    int result = 0;
    if (!self->Inject(key, kOpen, &result)) {
        if (self->recordings_.count(key) == 0) {
            result = -1;
        } else {
            Open h;
            h.key = key;
            self->Position(h, c.time);
            result = self->nextHandle_++;
            self->handles_[result] = h;
        }
    }
    c.handle = result;
    c.result = result;
    self->Log(c);
    return result;
}

int ScriptedHost::GetStreamSegmentInfo(void* user, tag_tavuSegmentId* id, MSSP_SegmentInfo_t* info) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    Call c{kStreamSegmentInfo};
    c.channel = id->channel;
    const Key key{id->channel, id->streamType};
    int result = 0;
    if (!self->Inject(key, kStreamSegmentInfo, &result)) {
        auto it = self->recordings_.find(key);
        if (it == self->recordings_.end() || id->segment >= it->second.segments.size()) {
            result = 1;
        } else {
            const DateTime& t = it->second.segments[id->segment].start;
            info->year = t[0];
            info->month = t[1];
            info->day = t[2];
            info->hour = t[3];
            info->minute = t[4];
            info->second = t[5];
            info->channel = id->channel;
            c.time = t;
        }
    }
    c.result = result;
    self->Log(c);
    return result;
}

int ScriptedHost::GetSegmentInfo(void* user, int handle, MSSP_SegmentAttr_t* attr) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    Call c{kSegmentInfo};
    c.handle = handle;
    int result = 0;
    auto it = self->handles_.find(handle);
    if (it == self->handles_.end() || !it->second.open) {
        result = -1;
    } else {
        const Open& h = it->second;
        c.channel = h.key.first;
        const Recording& rec = self->recordings_[h.key];
        const bool audio = h.segment < static_cast<int>(rec.segments.size()) && rec.segments[h.segment].audio;
        // Filled even when a fault is injected: the parser must ignore the
        // record of a failed call.
        attr->attr = audio ? MSSP_SEGATTR_AUDIO : 0;
        self->Inject(h.key, kSegmentInfo, &result);
    }
    c.result = result;
    self->Log(c);
    return result;
}

int ScriptedHost::ReadStream(void* user, int handle, unsigned char* dst, int maxLen,
                             unsigned char* newSegment) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    Call c{kRead};
    c.handle = handle;
    c.maxLen = maxLen;
    int result = 0;
    auto it = self->handles_.find(handle);
    if (it == self->handles_.end() || !it->second.open) {
        c.result = -1;
        self->Log(c);
        return -1;
    }
    Open& h = it->second;
    c.channel = h.key.first;
    if (self->Inject(h.key, kRead, &result)) {
        c.result = result;
        self->Log(c);
        return result;
    }
    const Recording& rec = self->recordings_[h.key];
    const int nseg = static_cast<int>(rec.segments.size());
    while (h.segment < nseg && h.pos >= rec.segments[h.segment].bytes.size()) {
        ++h.segment;
        h.pos = 0;
        h.enteredByRead = true;
    }
    if (h.segment >= nseg) {
        c.result = 0;
        self->Log(c);
        return 0;
    }
    const Segment& seg = rec.segments[h.segment];
    int chunk = 65536;
    auto cit = self->chunks_.find(h.key);
    if (cit != self->chunks_.end() && !cit->second.empty()) {
        chunk = cit->second[static_cast<size_t>(h.chunkIndex) % cit->second.size()];
        ++h.chunkIndex;
    }
    size_t n = static_cast<size_t>(std::max(chunk, 1));
    n = std::min(n, static_cast<size_t>(std::max(maxLen, 0)));
    n = std::min(n, seg.bytes.size() - h.pos);
    std::memcpy(dst, seg.bytes.data() + h.pos, n);
    const bool flag = (h.pos == 0 && h.enteredByRead) || (h.firstRead && self->flagFirstRead_);
    *newSegment = flag ? 1 : 0;
    h.pos += n;
    h.enteredByRead = false;
    h.firstRead = false;
    c.flag = flag ? 1 : 0;
    c.result = static_cast<int>(n);
    self->Log(c);
    return c.result;
}

int ScriptedHost::IFrameRead(int handle, unsigned char** data, int* length, unsigned char* newSegment,
                             int step, bool forward, Slot slot) {
    Call c{slot};
    c.handle = handle;
    c.step = step;
    *data = nullptr;
    *length = 0;
    *newSegment = 0;
    auto it = handles_.find(handle);
    if (it == handles_.end() || !it->second.open) {
        c.result = -1;
        Log(c);
        return -1;
    }
    Open& h = it->second;
    c.channel = h.key.first;
    int result = 0;
    if (Inject(h.key, slot, &result)) {
        c.result = result;
        Log(c);
        return result;
    }
    if (nullIFrame_[h.key]) {
        c.result = 1;
        Log(c);
        return 1;
    }
    const Recording& rec = recordings_[h.key];
    const std::vector<FlatIFrame> flat = Flatten(rec);
    int idx = h.iframeCursor;
    if (h.lastIFrame >= 0) {
        const int move = 1 + SkipOfStep(step);
        idx = forward ? h.lastIFrame + move : h.lastIFrame - move;
    }
    if (idx < 0 || idx >= static_cast<int>(flat.size())) {
        c.result = 0;
        Log(c);
        return 0;
    }
    const FlatIFrame& f = flat[idx];
    const Segment& seg = rec.segments[f.segment];
    *data = const_cast<unsigned char*>(seg.bytes.data() + f.mark->pos);
    *length = static_cast<int>(f.mark->len) + iframeDelta_[h.key];
    *newSegment = f.segment != h.lastIFrameSegment ? 1 : 0;
    h.lastIFrame = idx;
    h.lastIFrameSegment = f.segment;
    h.segment = f.segment;
    h.pos = f.mark->pos;
    h.enteredByRead = false;
    c.flag = *newSegment;
    c.time = f.mark->time;
    c.result = 1;
    Log(c);
    return 1;
}

int ScriptedHost::ReadNextIFrame(void* user, int handle, unsigned char** data, int* length,
                                 unsigned char* newSegment, int step) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    return self->IFrameRead(handle, data, length, newSegment, step, true, kNextIFrame);
}

int ScriptedHost::ReadPrevIFrame(void* user, int handle, unsigned char** data, int* length,
                                 unsigned char* newSegment, int step) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    return self->IFrameRead(handle, data, length, newSegment, step, false, kPrevIFrame);
}

int ScriptedHost::SeekStream(void* user, int handle, MSSP_SeekTime_t* time) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    Call c{kSeek};
    c.handle = handle;
    c.time = DateTime{time->year, time->month, time->day, time->hour, time->minute, time->second};
    int result = 0;
    auto it = self->handles_.find(handle);
    if (it == self->handles_.end() || !it->second.open) {
        result = -1;
    } else {
        c.channel = it->second.key.first;
        if (!self->Inject(it->second.key, kSeek, &result)) self->Position(it->second, c.time);
    }
    c.result = result;
    self->Log(c);
    return result;
}

int ScriptedHost::CloseStream(void* user, int handle, int reserved) {
    auto* self = static_cast<ScriptedHost*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    Call c{kClose};
    c.handle = handle;
    c.flag = reserved;
    auto it = self->handles_.find(handle);
    if (it == self->handles_.end() || !it->second.open) {
        c.result = -1;
    } else {
        c.channel = it->second.key.first;
        it->second.open = false;
    }
    self->Log(c);
    return c.result;
}

}  // namespace msspt

// Shared driver of the threaded tests (see header).
#include "StressDriver.h"

#include <json/json.h>

#include <cstring>

#include "KeltoPlatform.h"
#include "MsspInternal.h"

namespace msspt {

using A = MsspTestAccess;

Rig::Rig(const char* tag, int grp, int streams, int ring, int nodes, bool oldFormat)
    : ops(ScriptedHost::Table()), name(UniqueName(tag)), group(grp) {
    // The device group chosen by the platform's spec selects the old format.
    Json::Value spec(Json::objectValue);
    if (oldFormat) spec["PRODUCT_GROUP"] = "ANT";
    Kelto_SetSpecInfo(spec);
    parser = std::make_unique<Parser>(group, streams, name.data(), ring, nodes, &ops, &host, 1);
    Kelto_SetSpecInfo(Json::Value(Json::objectValue));
}

Rig::~Rig() {
    parser->StopParse();
    parser.reset();
    RemoveKeyFile(name, group);
}

void Rig::Record(int channel, int type, const RecordingBuilder& b) {
    host.SetRecording(channel, type, b.recording);
    for (const PackInfo& pk : b.packs) {
        packs[{channel, pk.pts}] = pk.bytes;
        if (pk.type == 2) audio.insert({channel, pk.bytes});
    }
}

int Rig::Start(unsigned chnBmp, DateTime at, int streamsPerThread, unsigned char typeBmp) {
    tag_tavuDate date{at[0], at[1], at[2]};
    tag_tavuTime time{at[3], at[4], at[5]};
    return parser->StartParse(chnBmp, typeBmp, 0x1234, &date, &time, true, streamsPerThread);
}

int Rig::Handle(int i) { return A::StreamFd(*parser, A::CurStreamType(*parser, i), i); }

int Rig::State(int i) { return mssp::LoadAcquire(A::Head(*parser, i)->state); }

Consumer::Consumer(Rig& rig, std::chrono::microseconds hold, unsigned seed)
    : rig_(rig), hold_(hold), thread_([this, seed] { Loop(seed); }) {}

void Consumer::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool Consumer::AwaitFrames(int n, int ms) {
    const int want = delivered.load() + n;
    return WaitFor([&] { return delivered.load() >= want; }, ms);
}

void Consumer::Loop(unsigned seed) {
    std::mt19937 rng(seed);
    Parser& p = rig_.P();
    const int streams = A::StreamNum(p);
    while (!stop_.load()) {
        unsigned char *d1 = nullptr, *d2 = nullptr;
        int l1 = 0, l2 = 0;
        const int pick = static_cast<int>(rng() % 8);
        if (pick < streams && pick < 2) {
            // One stream on its own, with the queries the playback thread makes.
            tag_MSSP_GetFrameInfo info{};
            if (p.GetFrameEx(pick, &d1, &l1, &d2, &l2, &info, 0) == 0) {
                Check(pick, d1, l1, d2, l2, info.channel, info.frameType, info.pts);
                p.ReleaseFrame(pick);
            }
            unsigned seconds = 0;
            p.GetStreamTime(pick, &seconds);
            p.GetFrameInfo(static_cast<unsigned char>(pick), &info);
            p.GetChnStatusEx(pick, 0);
            continue;
        }
        int type = 0, channel = -1;
        unsigned long long pts = 0;
        unsigned flag = 0;
        const int idx = p.GetFrame(&d1, &l1, &d2, &l2, &type, &pts, &flag, &channel, direction.load(), 0);
        if (idx < 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        Check(idx, d1, l1, d2, l2, channel, type, pts);
        p.ReleaseFrame(idx);
    }
}

void Consumer::Check(int index, const unsigned char* d1, int l1, const unsigned char* d2, int l2, int channel,
                     int type, uint64_t pts) {
    Parser& p = rig_.P();
    const unsigned char* ring = A::Ring(p, index);
    const long size = A::BufSize(p);
    auto inside = [&](const unsigned char* d, int l) { return d != nullptr && l > 0 && d >= ring && d - ring <= size - l; };
    delivered++;
    if (!inside(d1, l1) || (l2 == 0 ? d2 != nullptr : !(inside(d2, l2) && d2 == ring))) {
        bad++;
        return;
    }
    Bytes got(d1, d1 + l1);
    got.insert(got.end(), d2, d2 + l2);
    auto it = rig_.packs.find({channel, pts});
    // Audio of an ordinary segment is timed by the video behind it.
    if (!((it != rig_.packs.end() && it->second == got) ||
          (type == MSSP_FRAME_AUDIO && rig_.audio.count({channel, got}) != 0))) {
        bad++;
        return;
    }
    if (hold_.count() > 0) std::this_thread::sleep_for(hold_);
    if (std::memcmp(d1, got.data(), l1) != 0 || (l2 > 0 && std::memcmp(d2, got.data() + l1, l2) != 0)) changed++;
}

ControlDriver::~ControlDriver() { RemoveKeyFile(otherName, 12); }

ControlDriver::Op ControlDriver::Next() {
    static const int kSpeeds[] = {4, 8, 16, 32};
    Op op;
    do op = static_cast<Op>(rng() % kOps);
    while ((ops & (1u << op)) == 0);
    const DateTime at = AddSeconds(start, static_cast<int>(rng() % static_cast<unsigned>(seconds)));
    Common::_datetime_ t{at[0], at[1], at[2], at[3], at[4], at[5], 0};
    MSSP_Time_t tod{at[3], at[4], at[5]};
    MSSP_Time_t* maybe = rng() % 2 ? &tod : nullptr;
    Parser& p = rig.P();
    switch (op) {
    case kPlay: p.SetStatus(MSSP_STATUS_PLAY, 0, maybe); break;
    case kForward: p.SetStatus(MSSP_STATUS_FAST_FORWARD, kSpeeds[rng() % 4], maybe); break;
    case kBackward: p.SetStatus(MSSP_STATUS_FAST_BACKWARD, kSpeeds[rng() % 4], maybe); break;
    case kSeek: p.Seek(&t, 0); break;
    case kSwitchSome: p.SwitchStream(static_cast<unsigned>(rng() % 32), 1 << (rng() % 3), &t); break;
    case kSwitchAll: p.SwitchStream(static_cast<int>(rng() % 3), &t); break;
    case kSwitchChannels: p.SwitchPlaybackChannels(1 + rng() % ((1u << channels) - 1), &t); break;
    case kJumpLevel: {
        // No recording carries a reference structure: every level shows every frame.
        const int rate = p.SetFrameJumpLevel(static_cast<unsigned char>(rng() % 2), static_cast<unsigned char>(rng() % 15));
        oddRates += rate != 25 && rate != 255;
        break;
    }
    case kOtherGroup: {
        // Another playback group's parser built and destroyed on this thread
        // while this group plays: every constructor writes process-wide state.
        ScriptedHost host;
        MSSP_StreamOperation_t table = ScriptedHost::Table();
        Parser other(12, 1, otherName.data(), 3 * 65536, 8, &table, &host, 2);
        break;
    }
    case kClear:
        // All streams, or one channel (played or not).
        if (rng() % 2) p.ClearBuffer();
        else p.ClearBuffer(static_cast<int>(rng() % static_cast<unsigned>(channels)));
        break;
    case kOps: break;
    }
    consumer.direction = op == kBackward ? -1 : op == kPlay || op == kForward || op == kSeek || op == kSwitchAll ? 1 : consumer.direction.load();
    return op;
}

}  // namespace msspt

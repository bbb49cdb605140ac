// GetFrame chooses from the order it keeps (classes and a loser tree, only
// changed streams looked at again); the plain scan of every stream on every
// call is kept here as the reference. Two parsers go through the same random
// history (frames with ties, gaps, zero timestamps, new segments, incomplete
// nodes, other channels' bytes; streams going over and live; calls in both
// directions, converted or not; resets), one delivering through GetFrame, the
// other through the reference: every result, output, message and the state
// left behind must be the same, call for call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DeliveryOrder.h"
#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "NodeBuilder.h"
#include "ResetGate.h"
#include "TestAccess.h"

using A = MsspTestAccess;
using P = CMultiStreamSyncParser;

namespace {

constexpr int kBuf = 3 * 65536;  // the smallest ring
constexpr int kFrames = 16;

struct Out {
    unsigned char *d1 = nullptr, *d2 = nullptr;
    int n1 = -1, n2 = -1, type = -1, channel = -1;
    unsigned long long pts = 0;
    unsigned int flag = 0;
};

// ---------------------------------------------------------------------------
// The reference: GetFrame as a plain pass over every stream.

uint64_t Pts(const MSSP_FrameNode_t* n) { return mssp::Le64(reinterpret_cast<const uint8_t*>(n) + 8); }
bool AudioSeg(const MSSP_FrameNode_t* n) { return (n->flags2 & 2) != 0; }
bool Video(const MSSP_FrameNode_t* n) { return n->frameType <= MSSP_FRAME_P; }
bool Timing(const MSSP_FrameNode_t* n) { return Video(n) || (n->frameType == 2 && AudioSeg(n)); }
MSSP_FrameNode_t* ReadNode(P& p, int i) { return &A::Nodes(p, i)[A::Cursor(p, i)->getIndex % kFrames]; }
int32_t Waiting(P& p, int i) { return static_cast<int32_t>(A::Head(p, i)->parseNum - A::Head(p, i)->getNum); }

// Frees the read node as delivery does when it throws a frame away.
void Release(P& p, int i, bool wait = false) {
    A::Head(p, i)->getNum++;
    A::Cursor(p, i)->getIndex = (A::Cursor(p, i)->getIndex % kFrames + 1) % kFrames;
    if ((A::HeldMask(p) & (1u << i)) && !MsspGate::WrittenOff(p, i)) MsspGate::Unhold(p, i);
    if (wait) A::WaitIFrame(p, i) = 1;
}

int ReferenceGetFrame(P& p, Out& o, int direction, unsigned char convert) {
    const bool old = g_DeviceGroup == 3;
    for (;;) {
        uint64_t best = direction > 0 ? UINT64_MAX : 0;
        int chosen = -1, chosenWaiting = 0;
        for (int i = 0; i < A::StreamNum(p); ++i) {
            const int32_t waiting = Waiting(p, i);
            if (waiting <= 0) {
                if (A::Head(p, i)->state > 4) continue;
                return -1;
            }
            MSSP_FrameNode_t* node = ReadNode(p, i);
            if (node->flags & 1) A::WaitIFrame(p, i) = 1;
            if (A::WaitIFrame(p, i)) {
                if (!(node->frameType == MSSP_FRAME_I || (node->frameType == 2 && AudioSeg(node)))) {
                    std::printf("CH drop a frame index:%d type:%d...\n", i, node->frameType);
                    Release(p, i);
                    return -1;
                }
                A::WaitIFrame(p, i) = 0;
            }
            unsigned long long t = 0;
            if (convert != 0 && (node->frameRate & 0x80) == 0) {
                t = p.GetCovertedPts(i, node);
            } else {
                if (Timing(node)) t = Pts(node);
                else p.GetStreamPTS(i, &t);
                if (t == 0 && !Timing(node) && A::Head(p, i)->state <= 4 && waiting < kFrames - 6) return -1;
                if (t == 0) {
                    std::printf("ch%d pts is 0 throw it\n", i);
                    Release(p, i, true);
                    return -1;
                }
            }
            if (direction != 0 && (chosen < 0 || (direction > 0 ? t < best : t > best))) {
                best = t;
                chosen = i;
                chosenWaiting = waiting;
            }
        }
        if (chosen < 0 || best == 0) return -1;
        MSSP_FrameNode_t* node = ReadNode(p, chosen);
        if (!old && Video(node) && CheckSend(A::JumpLevel(p, chosen), node->refType, node->refIndex) == 0) {
            Release(p, chosen);
            continue;
        }
        const uint32_t o1 = node->offset1, l1 = node->length1, o2 = node->offset2, l2 = node->length2;
        if (o1 >= kBuf || l1 == 0 || l1 > kBuf - o1 || (l2 != 0 && (o2 >= kBuf || l2 > kBuf - o2))) {
            std::printf("[MSSP MultiStreamSyncParser->GetFrame line:0]invalid frame place:index:%d offset1:%u "
                        "length1:%u offset2:%u length2:%u\n", chosen, o1, l1, o2, l2);
            Release(p, chosen, true);
            return -1;
        }
        unsigned char* ring = A::Ring(p, chosen);
        o = Out{ring + o1, l2 != 0 ? ring + o2 : nullptr, static_cast<int>(l1), static_cast<int>(l2),
                node->frameType, A::Head(p, chosen)->channel, best, node->flags};
        const int c = ring[o1] - (old ? 0x30 : 0);
        if (c != o.channel) {
            std::printf("[MSSP MultiStreamSyncParser->GetFrame line:0]invalid frame:index:%d type:%d 0x%x "
                        "FrameNum:%d\n", o.channel, node->frameType, static_cast<unsigned>(c), chosenWaiting);
            Release(p, chosen, true);
            return -1;
        }
        MsspGate::Hold(p, chosen);
        if (AudioSeg(node) != (node->frameType == MSSP_FRAME_AUDIO) || convert != 0) return chosen;
        uint64_t& last = A::LastPts(p)[chosen];
        const auto step = static_cast<int32_t>(static_cast<uint32_t>(best) - static_cast<uint32_t>(last));
        if (step > 2500) {
            std::printf("CMultiStreamSyncParser::GetFrame big pts jump %lld->%lld span=%d\n",
                        static_cast<long long>(last), static_cast<long long>(Pts(node)), step);
        }
        if (step > 2500 || (step < 0 && A::Head(p, chosen)->playStatus != MSSP_STATUS_FAST_BACKWARD)) o.flag |= 1;
        last = Pts(node);
        return chosen;
    }
}

// ---------------------------------------------------------------------------
// One parser going through a random history; what it did, as text.

class History {
public:
    History(int streams, bool reference, bool ownProducers, int maxPtsPercent)
        : reference_(reference), maxPtsPercent_(maxPtsPercent), n_(streams),
          t_(reference ? "dorR" : "dorF", streams, kBuf, kFrames), clock_(streams, 1000), audioSeg_(streams),
          held_(streams) {
        A::Order(*t_).ownProducers = ownProducers ? 1 : 0;  // as between StartParse and StopParse
    }

    std::vector<std::string> Run(uint32_t seed, int ops) {
        rng_.seed(seed);
        std::vector<std::string> log;
        for (int k = 0; k < ops; ++k) {
            std::printf("@%d\n", k);
            log.push_back(Step() + State());
        }
        return log;
    }

private:
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    bool Chance(int percent) { return Pick(100) < percent; }
    void Note(int i) { MsspOrder::Note(*t_, 1u << i); }
    // The host keeps a delivered frame now and then.
    void MaybeRelease(int i) {
        held_[i] = !Chance(80);
        if (!held_[i]) t_->ReleaseFrame(i);
    }

    std::string Step() {
        const int r = Pick(100), i = Pick(n_);
        if (r < 36) {
            if (Chance(50)) return Push(i);
            // Frames go where they are missing, so that many streams at once have frames.
            std::string text;
            for (int k = 0; k <= n_ / 4; ++k) {
                int emptiest = 0;
                for (int s = 1; s < n_; ++s) emptiest = Waiting(*t_, s) < Waiting(*t_, emptiest) ? s : emptiest;
                text += Push(emptiest);
            }
            return text;
        }
        if (r < 41) {
            const uint8_t states[] = {MSSP_STATUS_PLAY, MSSP_STATUS_OVER, MSSP_STATUS_STOP};
            A::Head(*t_, i)->state = states[Pick(3)];
            Note(i);
            return "state";
        }
        if (r < 75) return Deliver(Chance(80) ? 1 : Chance(75) ? -1 : 0, Chance(10) ? 1 : 0);
        if (r < 81) {
            const int index = Chance(95) ? i : n_;
            if (index < n_) held_[i] = false;
            return "release " + std::to_string(t_->ReleaseFrame(index));
        }
        if (r < 87) {
            tag_MSSP_GetFrameInfo info{};
            Out o;
            const int rc = t_->GetFrameEx(Chance(95) ? i : -1, &o.d1, &o.n1, &o.d2, &o.n2, Chance(80) ? &info : nullptr,
                                          Chance(10) ? 1 : 0);
            if (rc == 0) MaybeRelease(i);
            return "getEx " + std::to_string(rc) + " " + std::to_string(info.pts) + " " + std::to_string(info.flags);
        }
        if (r < 91) {
            unsigned long long best = 1;
            const int rc = t_->GetBaselinePts(nullptr, &best, Chance(70) ? 1 : -1, Chance(10) ? 1 : 0);
            return "baseline " + std::to_string(rc) + " " + std::to_string(best);
        }
        if (r < 94) {
            A::JumpLevel(*t_, i) = static_cast<uint8_t>(Chance(50) ? 14 : Pick(14));
            return "level";
        }
        if (r < 96) {
            A::Head(*t_, i)->playStatus = Chance(50) ? MSSP_STATUS_PLAY : MSSP_STATUS_FAST_BACKWARD;
            return "playStatus";
        }
        for (int s = 0; s < n_; ++s) {  // a reset, the host's frames given back first
            if (held_[s]) t_->ReleaseFrame(s);
            held_[s] = false;
        }
        return r < 98 ? "clear " + std::to_string(t_->ClearBuffer()) : "clear one " + std::to_string(t_->ClearBuffer(i));
    }

    std::string Push(int i) {
        if (Waiting(*t_, i) >= kFrames - 2) return "full";
        uint64_t& clock = clock_[i];
        const int step = Pick(100);
        clock = step < 10 ? clock : step < 88 ? clock + 40 : step < 94 ? clock + 3000 : clock - 40;
        msspt::FrameSpec s;
        const int t = Pick(100);
        s.frameType = t < 25 ? MSSP_FRAME_I : t < 65 ? MSSP_FRAME_P : MSSP_FRAME_AUDIO;
        if (Chance(3)) audioSeg_[i] = !audioSeg_[i];
        s.audioSegment = audioSeg_[i];
        s.flags = Chance(4) ? 1 : 0;
        s.pts = Chance(2) ? 0 : Chance(maxPtsPercent_) ? UINT64_MAX : clock;
        s.complete = !Chance(4);
        if (Chance(10)) {
            s.refType = Chance(50) ? 2 : 5;
            s.refIndex = static_cast<uint8_t>(Pick(70));
        }
        s.time = {21, 3, 4, 10, static_cast<uint8_t>(clock / 60000 % 60), static_cast<uint8_t>(clock / 1000 % 60)};
        const auto chn = static_cast<uint8_t>(i + (Chance(2) ? 1 : 0));  // now and then another channel's bytes
        const size_t payload = 16 + static_cast<size_t>(Pick(200));
        t_.Push(i, s, 0, g_DeviceGroup == 3 ? msspt::OldFormatPack(s, chn, payload) : msspt::NewFormatPack(s, chn, payload));
        Note(i);  // as the reader thread does after it publishes
        return "push";
    }

    std::string Deliver(int direction, unsigned char convert) {
        Out o;
        const int rc = reference_ ? ReferenceGetFrame(*t_, o, direction, convert)
                                  : t_->GetFrame(&o.d1, &o.n1, &o.d2, &o.n2, &o.type, &o.pts, &o.flag, &o.channel,
                                                 direction, convert);
        char buf[200];
        std::snprintf(buf, sizeof(buf), "get %d %d -> %d", direction, convert, rc);
        if (rc < 0) return buf;
        unsigned char* ring = A::Ring(*t_, rc);
        std::snprintf(buf + std::strlen(buf), 150, " at %td+%d,%td+%d type %d pts %llu flag %u ch %d", o.d1 - ring,
                      o.n1, o.d2 ? o.d2 - ring : -1, o.n2, o.type, o.pts, o.flag, o.channel);
        MaybeRelease(rc);
        return buf;
    }

    // Everything delivery leaves behind that later calls depend on.
    std::string State() {
        char buf[200];
        std::snprintf(buf, sizeof(buf), " | held %x", A::HeldMask(*t_));
        std::string s = buf;
        for (int i = 0; i < n_; ++i) {
            std::snprintf(buf, sizeof(buf), " %u/%u@%u w%d f%d l%" PRIu64, A::Head(*t_, i)->parseNum,
                          A::Head(*t_, i)->getNum, A::Cursor(*t_, i)->getIndex, A::WaitIFrame(*t_, i),
                          ReadNode(*t_, i)->flags, A::LastPts(*t_)[i]);
            s += buf;
            if (const MSSP_PtsAdjust_t* r = A::PtsAdjust(*t_, i)) s += " c" + std::to_string(r->curPts) + "," + std::to_string(r->span);
        }
        return s;
    }

    bool reference_;
    int maxPtsPercent_;  // frames at the largest timestamp, which ties the key of "no candidate"
    int n_;
    std::mt19937 rng_;
    msspt::TestParser t_;
    std::vector<uint64_t> clock_;
    std::vector<bool> audioSeg_, held_;
};

struct Case {
    int streams;
    bool oldDevice;
    bool ownProducers;  // false: every call looks at every stream
    uint32_t seed;
    int maxPtsPercent = 1;
};

class DeliveryOrder : public ::testing::TestWithParam<Case> {};

// The location prefix carries source lines, which differ between the two
// paths: "line:123]" becomes "line]".
std::string WithoutLineNumbers(const std::string& s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 5, "line:") == 0) {
            size_t j = i + 5;
            while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
            if (j > i + 5 && j < s.size() && s[j] == ']') {
                r += "line";
                i = j - 1;  // the ']' is copied next
                continue;
            }
        }
        r += s[i];
    }
    return r;
}

TEST_P(DeliveryOrder, SameAsThePlainScan_CallForCall) {
    const Case c = GetParam();
    setenv("TZ", "UTC0", 1);
    tzset();
    Json::Value spec(Json::objectValue);
    if (c.oldDevice) spec["PRODUCT_GROUP"] = "ANT";
    Kelto_SetSpecInfo(spec);
    std::vector<std::string> log[2];
    std::string out[2];
    for (int reference = 0; reference < 2; ++reference) {
        History h(c.streams, reference != 0, c.ownProducers && reference == 0, c.maxPtsPercent);
        testing::internal::CaptureStdout();
        log[reference] = h.Run(c.seed, 4000);
        out[reference] = WithoutLineNumbers(testing::internal::GetCapturedStdout());
    }
    Kelto_SetSpecInfo(Json::Value(Json::objectValue));
    for (size_t k = 0; k < log[0].size(); ++k) ASSERT_EQ(log[0][k], log[1][k]) << "call " << k;
    if (out[0] != out[1]) {  // the messages too, in the same calls ("@k" opens call k)
        size_t at = 0;
        while (out[0][at] == out[1][at]) ++at;
        const size_t from = out[0].rfind('@', at);
        FAIL() << "messages differ from: " << out[0].substr(from, 300) << "\nreference: " << out[1].substr(from, 300);
    }
    // The history reached every kind of call result.
    int delivered = 0;
    for (const std::string& s : log[0]) delivered += s.find(" at ") != std::string::npos;
    EXPECT_GT(delivered, 200);
    for (const char* what : {"get 1 0 -> ", "get -1 0 -> ", "type 2", "get 1 1 -> "}) {
        EXPECT_TRUE(std::any_of(log[0].begin(), log[0].end(), [&](const std::string& s) { return s.find(what) != s.npos; }));
    }
    EXPECT_NE(out[0].find("CH drop a frame"), std::string::npos);
    EXPECT_NE(out[0].find("pts is 0 throw it"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Histories, DeliveryOrder,
                         ::testing::Values(Case{1, false, true, 11}, Case{2, false, true, 12}, Case{3, false, true, 13},
                                           Case{7, false, true, 14}, Case{16, false, true, 15},
                                           Case{32, false, true, 16}, Case{5, true, true, 17},
                                           Case{6, false, false, 18}, Case{4, false, true, 19, 40}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::to_string(info.param.streams) + "Streams" +
                                    (info.param.oldDevice ? "_OldDevice" : "") +
                                    (info.param.ownProducers ? "" : "_EveryStreamEveryCall") +
                                    (info.param.maxPtsPercent > 1 ? "_ManyAtLargestPts" : "");
                         });

}  // namespace

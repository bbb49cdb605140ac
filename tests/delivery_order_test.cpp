// GetFrame chooses from the order it keeps (classes and a winner tree, only
// changed streams looked at again); the plain scan of every stream on every
// call is kept here as the reference. Two parsers go through the same random
// history (frames published with ties, gaps, zero timestamps, new segments,
// incomplete nodes, other channels' bytes; streams going over and live; the
// consumer's calls in both directions, converted or not; resets), one
// delivering through GetFrame, the other through the reference: every
// result, output, message and the state left behind must be the same, call
// for call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
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
using msspt::FrameSpec;

namespace {

constexpr int kGroup = 7;
constexpr int kBuf = 16384;
constexpr int kFrames = 16;

struct Out {
    unsigned char* d1 = nullptr;
    unsigned char* d2 = nullptr;
    int n1 = -1, n2 = -1, type = -1, channel = -1;
    unsigned long long pts = 0;
    unsigned int flag = 0;
};

// ---------------------------------------------------------------------------
// The reference: GetFrame as a plain pass over every stream.

uint64_t Pts(const MSSP_FrameNode_t* n) { return mssp::Le64(reinterpret_cast<const uint8_t*>(n) + 8); }
uint32_t U32(const MSSP_FrameNode_t* n, size_t at) { return mssp::Le32(reinterpret_cast<const uint8_t*>(n) + at); }
bool AudioSeg(const MSSP_FrameNode_t* n) { return (n->flags2 & 2) != 0; }
bool Video(const MSSP_FrameNode_t* n) { return n->frameType <= MSSP_FRAME_P; }
bool Key(const MSSP_FrameNode_t* n) { return n->frameType == MSSP_FRAME_I || (n->frameType == 2 && AudioSeg(n)); }
bool Timing(const MSSP_FrameNode_t* n) { return Video(n) || (n->frameType == 2 && AudioSeg(n)); }

MSSP_FrameNode_t* ReadNode(P& p, int i) { return &A::Nodes(p, i)[A::Cursor(p, i)->getIndex % A::FrameNum(p)]; }
int32_t Waiting(P& p, int i) { return static_cast<int32_t>(A::Head(p, i)->parseNum - A::Head(p, i)->getNum); }

// Frees the read node as delivery does when it throws a frame away.
void Release(P& p, int i) {
    if (Waiting(p, i) <= 0) {
        std::printf("[MSSP MultiStreamSyncParser->Release line:0]no frame to release:index:%d\n", i);
        return;
    }
    A::Head(p, i)->getNum++;
    A::Cursor(p, i)->getIndex = (A::Cursor(p, i)->getIndex % A::FrameNum(p) + 1) % A::FrameNum(p);
    if ((A::HeldMask(p) & (1u << i)) && !MsspGate::WrittenOff(p, i)) MsspGate::Unhold(p, i);
}

int ReferenceGetFrame(P& p, Out& o, int direction, unsigned char convert) {
    const bool old = g_DeviceGroup == 3;
    for (;;) {
        uint64_t best = direction > 0 ? UINT64_MAX : 0;
        int chosen = -1;
        int32_t chosenWaiting = 0;
        for (int i = 0; i < A::StreamNum(p); ++i) {
            const int32_t waiting = Waiting(p, i);
            if (waiting <= 0) {
                if (A::Head(p, i)->state > 4) continue;
                return -1;
            }
            MSSP_FrameNode_t* node = ReadNode(p, i);
            if (node->flags & 1) A::WaitIFrame(p, i) = 1;
            if (A::WaitIFrame(p, i)) {
                if (!Key(node)) {
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
                    Release(p, i);
                    A::WaitIFrame(p, i) = 1;
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
        const uint32_t o1 = U32(node, 20), l1 = U32(node, 24), o2 = U32(node, 28), l2 = U32(node, 32);
        const uint32_t size = kBuf;
        if (o1 >= size || l1 == 0 || l1 > size - o1 || (l2 != 0 && (o2 >= size || l2 > size - o2))) {
            std::printf("[MSSP MultiStreamSyncParser->GetFrame line:0]");
            std::printf("invalid frame place:index:%d offset1:%u length1:%u offset2:%u length2:%u\n", chosen, o1, l1,
                        o2, l2);
            Release(p, chosen);
            A::WaitIFrame(p, chosen) = 1;
            return -1;
        }
        unsigned char* ring = A::Ring(p, chosen);
        o.d1 = ring + o1;
        o.n1 = static_cast<int>(l1);
        o.d2 = l2 != 0 ? ring + o2 : nullptr;
        o.n2 = static_cast<int>(l2);
        o.type = node->frameType;
        o.pts = best;
        o.flag = node->flags;
        o.channel = A::Head(p, chosen)->channel;
        const int c = ring[o1] - (old ? 0x30 : 0);
        if (c != o.channel) {
            std::printf("[MSSP MultiStreamSyncParser->GetFrame line:0]");
            std::printf("invalid frame:index:%d type:%d 0x%x FrameNum:%d\n", o.channel, node->frameType,
                        static_cast<unsigned>(c), chosenWaiting);
            Release(p, chosen);
            A::WaitIFrame(p, chosen) = 1;
            return -1;
        }
        MsspGate::Hold(p, chosen);
        if (AudioSeg(node) != (node->frameType == MSSP_FRAME_AUDIO) || convert != 0) return chosen;
        uint64_t& last = A::LastPts(p)[chosen];
        const int32_t step = static_cast<int32_t>(static_cast<uint32_t>(best) - static_cast<uint32_t>(last));
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
    History(int streams, bool reference, bool ownProducers) : reference_(reference) {
        name_ = msspt::UniqueName(reference ? "dorR" : "dorF");
        p_ = std::make_unique<P>(kGroup, streams, name_.data(), kBuf, kFrames, nullptr, nullptr, 0);
        for (int i = 0; i < streams; ++i) {
            A::Head(*p_, i)->channel = i;
            A::Head(*p_, i)->state = MSSP_STATUS_PLAY;
            A::Head(*p_, i)->playStatus = MSSP_STATUS_PLAY;
            A::ChnMask(*p_) |= 1u << i;
            fill_.emplace_back(*p_, i);
        }
        clock_.assign(static_cast<size_t>(streams), 1000);
        audioSeg_.assign(static_cast<size_t>(streams), false);
        held_.assign(static_cast<size_t>(streams), false);
        // As between StartParse and StopParse: every change below is noted.
        A::Order(*p_).ownProducers = ownProducers ? 1 : 0;
    }
    ~History() {
        p_.reset();
        msspt::RemoveKeyFile(name_, kGroup);
    }

    std::vector<std::string> Run(uint32_t seed, int ops) {
        std::mt19937 rng(seed);
        std::vector<std::string> log;
        for (int k = 0; k < ops; ++k) {
            std::printf("@%d\n", k);
            log.push_back(Step(rng));
            log.back() += State();
        }
        return log;
    }

private:
    int N() const { return A::StreamNum(*p_); }
    static int Pick(std::mt19937& rng, int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }
    static bool Chance(std::mt19937& rng, int percent) { return Pick(rng, 100) < percent; }
    void Note(int i) { MsspOrder::Note(*p_, 1u << i); }
    int Emptiest() {
        int best = 0;
        for (int s = 1; s < N(); ++s)
            if (Waiting(*p_, s) < Waiting(*p_, best)) best = s;
        return best;
    }

    std::string Step(std::mt19937& rng) {
        const int r = Pick(rng, 100);
        const int i = Pick(rng, N());
        if (r < 36) {
            if (Chance(rng, 50)) return Push(rng, i);
            // Half the frames go where they are missing, so that many
            // streams at once have frames and GetFrame delivers.
            std::string text;
            for (int k = 0; k <= N() / 4; ++k) text += Push(rng, Emptiest());
            return text;
        }
        if (r < 41) {
            const uint8_t states[] = {MSSP_STATUS_PLAY, MSSP_STATUS_OVER, MSSP_STATUS_STOP};
            A::Head(*p_, i)->state = states[Pick(rng, 3)];
            Note(i);
            return "state";
        }
        if (r < 75) {
            const int direction = Chance(rng, 80) ? 1 : Chance(rng, 75) ? -1 : 0;
            return Deliver(rng, direction, Chance(rng, 10) ? 1 : 0);
        }
        if (r < 81) {
            const int index = Chance(rng, 95) ? i : N();
            if (index < N()) held_[static_cast<size_t>(i)] = false;
            return "release " + std::to_string(p_->ReleaseFrame(index));
        }
        if (r < 87) return DeliverOne(rng, i);
        if (r < 91) {
            unsigned long long best = 1;
            const int rc = p_->GetBaselinePts(nullptr, &best, Chance(rng, 70) ? 1 : -1, Chance(rng, 10) ? 1 : 0);
            return "baseline " + std::to_string(rc) + " " + std::to_string(best);
        }
        if (r < 94) {
            A::JumpLevel(*p_, i) = static_cast<uint8_t>(Chance(rng, 50) ? 14 : Pick(rng, 14));
            return "level";
        }
        if (r < 96) {
            A::Head(*p_, i)->playStatus = Chance(rng, 50) ? MSSP_STATUS_PLAY : MSSP_STATUS_FAST_BACKWARD;
            return "playStatus";
        }
        // A reset, the host's frames given back first.
        for (int s = 0; s < N(); ++s) {
            if (held_[static_cast<size_t>(s)]) p_->ReleaseFrame(s);
            held_[static_cast<size_t>(s)] = false;
        }
        if (r < 98) return "clear " + std::to_string(p_->ClearBuffer());
        return "clear one " + std::to_string(p_->ClearBuffer(i));
    }

    std::string Push(std::mt19937& rng, int i) {
        if (Waiting(*p_, i) >= kFrames - 2) return "full";
        uint64_t& clock = clock_[static_cast<size_t>(i)];
        const int step = Pick(rng, 100);
        clock = step < 10 ? clock : step < 88 ? clock + 40 : step < 94 ? clock + 3000 : clock - 40;
        FrameSpec s;
        const int t = Pick(rng, 100);
        s.frameType = t < 25 ? MSSP_FRAME_I : t < 65 ? MSSP_FRAME_P : MSSP_FRAME_AUDIO;
        if (Chance(rng, 3)) audioSeg_[static_cast<size_t>(i)] = !audioSeg_[static_cast<size_t>(i)];
        s.audioSegment = audioSeg_[static_cast<size_t>(i)];
        s.flags = Chance(rng, 4) ? 1 : 0;
        s.pts = Chance(rng, 2) ? 0 : Chance(rng, 1) ? UINT64_MAX : clock;
        s.complete = !Chance(rng, 4);
        if (Chance(rng, 10)) {
            s.refType = Chance(rng, 50) ? 2 : 5;
            s.refIndex = static_cast<uint8_t>(Pick(rng, 70));
        }
        s.time = {21, 3, 4, 10, static_cast<uint8_t>(clock / 60000 % 60), static_cast<uint8_t>(clock / 1000 % 60)};
        const int chn = A::Head(*p_, i)->channel + (Chance(rng, 2) ? 1 : 0);
        const size_t payload = 16 + static_cast<size_t>(Pick(rng, 200));
        const auto pack = g_DeviceGroup == 3 ? msspt::OldFormatPack(s, static_cast<uint8_t>(chn), payload)
                                             : msspt::NewFormatPack(s, static_cast<uint8_t>(chn), payload);
        fill_[static_cast<size_t>(i)].Push(s, pack);
        Note(i);  // as the reader thread does after it publishes
        return "push";
    }

    std::string Deliver(std::mt19937& rng, int direction, unsigned char convert) {
        Out o;
        const int rc = reference_ ? ReferenceGetFrame(*p_, o, direction, convert)
                                  : p_->GetFrame(&o.d1, &o.n1, &o.d2, &o.n2, &o.type, &o.pts, &o.flag, &o.channel,
                                                 direction, convert);
        std::string text = "get " + std::to_string(direction) + " " + std::to_string(convert) + " -> " +
                           std::to_string(rc);
        if (rc < 0) return text;
        unsigned char* ring = A::Ring(*p_, rc);
        char buf[160];
        std::snprintf(buf, sizeof(buf), " at %td+%d,%td+%d type %d pts %llu flag %u ch %d", o.d1 - ring, o.n1,
                      o.d2 ? o.d2 - ring : -1, o.n2, o.type, o.pts, o.flag, o.channel);
        held_[static_cast<size_t>(rc)] = true;
        if (Chance(rng, 80)) {
            p_->ReleaseFrame(rc);
            held_[static_cast<size_t>(rc)] = false;
        }
        return text + buf;
    }

    std::string DeliverOne(std::mt19937& rng, int i) {
        tag_MSSP_GetFrameInfo info{};
        Out o;
        const int index = Chance(rng, 95) ? i : -1;
        const int rc = p_->GetFrameEx(index, &o.d1, &o.n1, &o.d2, &o.n2, Chance(rng, 80) ? &info : nullptr,
                                      Chance(rng, 10) ? 1 : 0);
        if (rc == 0) {
            held_[static_cast<size_t>(i)] = true;
            if (Chance(rng, 80)) {
                p_->ReleaseFrame(i);
                held_[static_cast<size_t>(i)] = false;
            }
        }
        return "getEx " + std::to_string(rc) + " " + std::to_string(info.pts) + " " + std::to_string(info.flags);
    }

    // Everything delivery leaves behind that later calls depend on.
    std::string State() {
        char buf[200];
        std::snprintf(buf, sizeof(buf), " | held %x", A::HeldMask(*p_));
        std::string s = buf;
        for (int i = 0; i < N(); ++i) {
            const MSSP_FrameNode_t* read = &A::Nodes(*p_, i)[A::Cursor(*p_, i)->getIndex % kFrames];
            std::snprintf(buf, sizeof(buf), " %u/%u@%u w%d f%d l%" PRIu64, A::Head(*p_, i)->parseNum,
                          A::Head(*p_, i)->getNum, A::Cursor(*p_, i)->getIndex, A::WaitIFrame(*p_, i), read->flags,
                          A::LastPts(*p_)[i]);
            s += buf;
            if (const MSSP_PtsAdjust_t* r = A::PtsAdjust(*p_, i)) {
                std::snprintf(buf, sizeof(buf), " c%" PRId64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%u,%td", r->baseMs,
                              r->basePts, r->lastPts, r->curPts, r->span,
                              r->lastNode ? r->lastNode - A::Nodes(*p_, i) : -1);
                s += buf;
            }
        }
        return s;
    }

    bool reference_;
    std::string name_;
    std::unique_ptr<P> p_;
    std::vector<msspt::StreamFiller> fill_;
    std::vector<uint64_t> clock_;
    std::vector<bool> audioSeg_;
    std::vector<bool> held_;
};

// The location prefix carries source lines, which differ between the two:
// "line:123]" becomes "line]".
std::string WithoutLines(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t mark = text.find("line:", at);
        if (mark == std::string::npos) {
            out.append(text, at, std::string::npos);
            break;
        }
        size_t end = mark + 5;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        out.append(text, at, mark - at);
        out += end < text.size() && text[end] == ']' ? "line" : text.substr(mark, end - mark);
        at = end;
    }
    return out;
}

struct Case {
    int streams;
    bool oldDevice;
    bool ownProducers;  // false: every call looks at every stream
    uint32_t seed;
};

class DeliveryOrder : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        Json::Value spec(Json::objectValue);
        if (GetParam().oldDevice) spec["PRODUCT_GROUP"] = "ANT";
        Kelto_SetSpecInfo(spec);
    }
    void TearDown() override { Kelto_SetSpecInfo(Json::Value(Json::objectValue)); }
};

TEST_P(DeliveryOrder, SameAsThePlainScan_CallForCall) {
    const Case c = GetParam();
    constexpr int kOps = 4000;
    std::vector<std::string> fast, plain;
    std::string fastOut, plainOut;
    {
        History h(c.streams, false, c.ownProducers);
        testing::internal::CaptureStdout();
        fast = h.Run(c.seed, kOps);
        fastOut = WithoutLines(testing::internal::GetCapturedStdout());
    }
    {
        History h(c.streams, true, false);
        testing::internal::CaptureStdout();
        plain = h.Run(c.seed, kOps);
        plainOut = WithoutLines(testing::internal::GetCapturedStdout());
    }
    ASSERT_EQ(fast.size(), plain.size());
    for (size_t k = 0; k < fast.size(); ++k) ASSERT_EQ(fast[k], plain[k]) << "call " << k;
    // The messages too, in the same calls ("@k" opens call k).
    if (fastOut != plainOut) {
        size_t at = 0;
        while (at < fastOut.size() && at < plainOut.size() && fastOut[at] == plainOut[at]) ++at;
        const size_t from = fastOut.rfind('@', at);
        FAIL() << "messages differ from: " << fastOut.substr(from == std::string::npos ? 0 : from, 300)
               << "\nreference: " << plainOut.substr(from == std::string::npos ? 0 : from, 300);
    }
    // The history reached every kind of call result.
    const auto seen = [&](const char* what) {
        for (const std::string& s : fast)
            if (s.find(what) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(seen("get 1 0 -> ") && seen("get -1 0 -> ") && seen("type 2") && seen("get 1 1 -> "));
    EXPECT_GT(std::count_if(fast.begin(), fast.end(), [](const std::string& s) { return s.find(" at ") != s.npos; }),
              kOps / 20);
    EXPECT_NE(fastOut.find("CH drop a frame"), std::string::npos);
    EXPECT_NE(fastOut.find("pts is 0 throw it"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Histories, DeliveryOrder,
                         ::testing::Values(Case{1, false, true, 11}, Case{2, false, true, 12}, Case{3, false, true, 13},
                                           Case{7, false, true, 14}, Case{16, false, true, 15},
                                           Case{32, false, true, 16}, Case{5, true, true, 17},
                                           Case{6, false, false, 18}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             const Case& c = info.param;
                             return std::to_string(c.streams) + "Streams" + (c.oldDevice ? "_OldDevice" : "") +
                                    (c.ownProducers ? "" : "_EveryStreamEveryCall");
                         });

}  // namespace

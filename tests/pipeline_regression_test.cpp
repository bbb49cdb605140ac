// Regressions found by the whole-pipeline fuzz target, each replayed
// deterministically: the parser is fed through the scripted host without
// threads and the playback side's calls are made directly.
#include <gtest/gtest.h>
#include <json/json.h>

#include "KeltoPlatform.h"
#include "MsspInternal.h"
#include "ParserHarness.h"

using msspt::Bytes;
using msspt::DateTime;
using msspt::ParserHarness;
using msspt::RecordingBuilder;

namespace {

constexpr DateTime kAt{26, 4, 5, 1, 2, 3};  // 01:02:03 = 3723 s
constexpr unsigned kNoTime = 90000;

// A new-format I-frame whose extension does not start with the kind-1 and
// kind-3 records: frame bytes 39..41, where the time of day is read from,
// hold `b39`..`b41` of an unknown record instead.
Bytes IFrameWithoutTimeAt39(uint8_t b39, uint8_t b40, uint8_t b41, uint64_t pts) {
    packwriter::NewPack p;
    p.kind = packwriter::kIFrame;
    p.pts = pts;  // kind 3 at frame bytes 12..23
    // Unknown kind 0x42, 20 bytes, at frame bytes 24..43.
    p.extraExtension = {0x42, 20, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, b39, b40, b41, 12, 13};
    p.recordCount = 2;
    return packwriter::MakeNewPack(p, packwriter::PatternPayload(300, 5));
}

unsigned StreamTime(ParserHarness& h, int* result) {
    unsigned seconds = 12345;
    *result = h.P().GetStreamTime(0, &seconds);
    return seconds;
}

}  // namespace

// Found as "time of day beyond a day": GetStreamTime read an old-format
// I-frame whose date is not where layout 1087 puts it and reported
// 117 h 18 min 44 s as success.
TEST(PipelineRegression, StreamTime_FrameBytesThatAreNoTimeOfDay_KeepTheLastTime) {
    ParserHarness h("prt", 1, 4 * 65536, 16);
    RecordingBuilder b;
    b.NewSegment(kAt);
    b.AddVideo(0, 1000, kAt, 500);  // kinds 1, 3, 2: a real time at bytes 39..41
    b.AddPack(IFrameWithoutTimeAt39(117, 18, 44, 1040), 0, 1040, kAt);
    b.AddPack(IFrameWithoutTimeAt39(23, 60, 0, 1080), 0, 1080, kAt);
    b.AddPack(IFrameWithoutTimeAt39(2, 3, 4, 1120), 0, 1120, kAt);  // in range: read as a time
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0);

    int r = 0;
    ASSERT_EQ(h.ParseUntilWaiting(0, 4), 1);
    EXPECT_EQ(StreamTime(h, &r), 3723u);
    EXPECT_EQ(r, 0);
    h.Release(0);
    // Hour 117: no time of day; the last one stands.
    EXPECT_EQ(StreamTime(h, &r), 3723u);
    EXPECT_EQ(r, 0);
    h.Release(0);
    // Minute 60: no time of day either.
    EXPECT_EQ(StreamTime(h, &r), 3723u);
    h.Release(0);
    EXPECT_EQ(StreamTime(h, &r), 2u * 3600 + 3 * 60 + 4);
    EXPECT_EQ(r, 0);
}

TEST(PipelineRegression, StreamTime_FirstKeyFrameHoldsNoTime_NoTimeKnown) {
    ParserHarness h("prn", 1, 4 * 65536, 16);
    RecordingBuilder b;
    b.NewSegment(kAt);
    b.AddPack(IFrameWithoutTimeAt39(200, 0, 0, 1000), 0, 1000, kAt);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0);
    ASSERT_EQ(h.ParseUntilWaiting(0, 1), 1);
    int r = 0;
    EXPECT_EQ(StreamTime(h, &r), kNoTime);
    EXPECT_EQ(r, -1);
}

// The old-format case the fuzz target met: layout 35 keeps its date early in
// the extension, so bytes 115..117 of the frame are payload.
TEST(PipelineRegression, StreamTime_OldFormatLayout35_PayloadIsNoTime) {
    Kelto_SetSpecInfo([] {
        Json::Value spec(Json::objectValue);
        spec["PRODUCT_GROUP"] = "ANT";
        return spec;
    }());
    ParserHarness h("pro", 1, 4 * 65536, 16);
    Kelto_SetSpecInfo(Json::Value(Json::objectValue));
    ASSERT_EQ(g_DeviceGroup, 3);
    packwriter::OldVideoPack v;
    v.layoutCode = 35;
    v.extLen = 40;  // frame bytes 0..63 header and extension
    v.ptsUs = 5000000;
    v.time = kAt;
    Bytes payload = packwriter::PatternPayload(400, 9);
    payload[115 - 64] = 130;  // hour
    payload[116 - 64] = 7;
    payload[117 - 64] = 7;
    RecordingBuilder b;
    b.NewSegment(kAt);
    b.AddPack(packwriter::MakeOldVideoPack(v, payload), 0, 5000, kAt);
    h.host.SetRecording(0, 0, b.recording);
    h.Prime(0, 0);
    ASSERT_EQ(h.ParseUntilWaiting(0, 1), 1);
    int r = 0;
    EXPECT_EQ(StreamTime(h, &r), kNoTime);
    EXPECT_EQ(r, -1);
}

// msspsrc in real pipelines: a 4-channel H.264 group made by ffmpeg and
// mssp-pack once for the suite, its recorders' clocks started apart (the
// same recorded time of day, timestamps from 1000, 1680, 1300 and 1000 ms),
// played through the element from the build tree. Buffers are identified by
// their bytes among the access units of each channel's elementary stream:
// unit k was recorded at 10:00:00 + k * 40 ms. Decoded pictures are compared
// by MD5 with ffmpeg's decode, and the leak tracer (GST_TRACERS=leaks unless
// the caller set GST_TRACERS) must find nothing of a run alive after it.
// Skipped where ffmpeg or a plugin is missing.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#ifdef MSSP_HAVE_PBUTILS
#include <gst/pbutils/pbutils.h>
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>

#include "MsspHost.h"
#include "PackTool.h"
#include "TargetProgram.h"

namespace {

constexpr int kChannels = 4, kFrames = 200;  // 8 s at 25 fps
constexpr GstClockTime kFrameTime = 40 * GST_MSECOND;
constexpr int kGop[kChannels] = {10, 25, 15, 20};  // key-frame spacing per channel
constexpr const char* kSource[kChannels] = {"testsrc2", "smptebars", "testsrc", "smptehdbars"};
constexpr int kOrigin[kChannels] = {1000, 1680, 1300, 1000};  // timestamp of each channel's first frame, ms
const GstClockTime kRecordedStart = 1767261600 * GST_SECOND;  // 2026-01-01 10:00:00 as recorded

// One channel's elementary stream: access unit bytes -> the numbers of the
// units with those bytes (two can be equal), and the IDR units.
struct Stream {
    std::map<std::string, std::vector<int>> unitOf;
    std::vector<int> idr;
    std::vector<std::string> md5;  // of ffmpeg's decoded pictures
};
std::string g_dir;
std::vector<Stream> g_streams;

bool MakeMaterial(std::string* why) {
    std::string out, inputs;
    for (int c = 0; c < kChannels; ++c) {
        // The time drawn in makes every access unit's bytes unique; near-lossless
        // coding makes several rounds of the smallest ring per channel.
        const std::string es = g_dir + "/ch" + std::to_string(c) + ".h264", gop = std::to_string(kGop[c]);
        if (msspt::Shell("ffmpeg -nostdin -v error -y -f lavfi -i " + std::string(kSource[c]) + "=size=320x240:rate=25 "
                         "-frames:v " + std::to_string(kFrames) + " -vf \"drawtext=fontfile=/usr/share/fonts/truetype/"
                         "dejavu/DejaVuSans-Bold.ttf:fontsize=14:fontcolor=white:text='%{pts\\:hms\\:36000}'\" -c:v libx264 "
                         "-qp 6 -bf 0 -g " + gop + " -keyint_min " + gop + " -sc_threshold 0 -pix_fmt yuv420p -f h264 " + es,
                         &out) != 0)
            return *why = out, false;
        const std::vector<uint8_t> bytes = msspt::ReadBytes(es);
        Stream s;
        const auto units = packtool::SplitAccessUnits(bytes.data(), bytes.size());
        for (size_t k = 0; k < units.size(); ++k) {
            s.unitOf[std::string(reinterpret_cast<const char*>(bytes.data() + units[k].offset), units[k].length)]
                .push_back(static_cast<int>(k));
            if (units[k].idr) s.idr.push_back(static_cast<int>(k));
        }
        if (units.size() != static_cast<size_t>(kFrames)) return *why = es + ": not every picture was coded", false;
        msspt::Shell("ffmpeg -nostdin -v error -f h264 -i " + es + " -f framemd5 -", &out);
        std::istringstream lines(out);  // stream, dts, pts, duration, size, md5
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line[0] != '#') s.md5.push_back(line.substr(line.rfind(',') + 2));
        g_streams.push_back(std::move(s));
        inputs += " --input " + es + " --origin " + std::to_string(c) + "=" + std::to_string(kOrigin[c]);
    }
    return msspt::Shell(msspt::EmulatorPrefix() + MSSP_TOOLS_DIR "/mssp-pack h264 -o " + g_dir + "/group" + inputs, &out) == 0 ||
           (*why = out, false);
}

// What reached the element's pads.
struct Seen {
    int unit;  // access unit number, -1 when the bytes match none
    GstClockTime running;
    bool delta, discont, pooled;
    GstClockTime recorded;  // its reference timestamp meta (GST_CLOCK_TIME_NONE: none)
};
struct Capture {
    std::mutex m;
    std::map<int, std::vector<Seen>> buffers;  // channel -> in push order
    std::map<int, GstSegment> segment;
    std::map<int, std::string> caps;
    std::map<int, std::vector<std::string>> pictures;  // channel -> MD5 of each decoded picture
};

GstFlowReturn OnPicture(GstAppSink* sink, gpointer data) {
    auto* cap = static_cast<Capture*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    GstMapInfo map;
    gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ);
    // I420 at 320x240 has no row padding: the planes lie as ffmpeg hashes them.
    gchar* md5 = g_compute_checksum_for_data(G_CHECKSUM_MD5, map.data, map.size);
    gchar* name = gst_object_get_name(GST_OBJECT(sink));  // "a<channel>"
    {
        std::lock_guard<std::mutex> lock(cap->m);
        cap->pictures[std::atoi(name + 1)].push_back(md5);
    }
    g_free(name);
    g_free(md5);
    gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

// The objects the leak tracer saw created since tracking began and not
// destroyed since (by address: an address reused by a later object that is
// alive hides it, a leak is never reported wrongly).
std::string ObjectsLeft(GstTracer* tracer) {
    GstStructure* checkpoint = nullptr;
    g_signal_emit_by_name(tracer, "activity-get-checkpoint", &checkpoint);
    g_signal_emit_by_name(tracer, "activity-stop-tracking");
    if (!checkpoint) return "(no checkpoint)";
    std::map<std::string, std::string> left;  // address -> type
    for (const char* field : {"objects-created-list", "objects-removed-list"}) {
        const GValue* list = gst_structure_get_value(checkpoint, field);
        for (guint i = 0; list && i < gst_value_list_get_size(list); ++i) {
            const GstStructure* e = gst_value_get_structure(gst_value_list_get_value(list, i));
            if (field[8] == 'c') left[gst_structure_get_string(e, "address")] = gst_structure_get_string(e, "type-name");
            else left.erase(gst_structure_get_string(e, "address"));
        }
    }
    gst_structure_free(checkpoint);
    std::string text;
    for (const auto& [address, type] : left) text += " " + type;
    return text;
}

GstPadProbeReturn OnPadData(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* cap = static_cast<Capture*>(data);
    gchar* name = gst_pad_get_name(pad);  // "src_<channel>"
    const int ch = std::atoi(name + 4);
    g_free(name);
    std::lock_guard<std::mutex> lock(cap->m);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
        const GstSegment* seg = nullptr;
        GstCaps* caps = nullptr;
        if (GST_EVENT_TYPE(ev) == GST_EVENT_SEGMENT) gst_event_parse_segment(ev, &seg), cap->segment[ch] = *seg;
        if (GST_EVENT_TYPE(ev) == GST_EVENT_CAPS) {
            gst_event_parse_caps(ev, &caps);
            gchar* text = gst_caps_to_string(caps);
            cap->caps[ch] = text;
            g_free(text);
        }
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
    GstMapInfo map;
    gst_buffer_map(buf, &map, GST_MAP_READ);
    const auto& units = g_streams[static_cast<size_t>(ch)].unitOf;
    const auto it = units.find(std::string(reinterpret_cast<const char*>(map.data), map.size));
    gst_buffer_unmap(buf, &map);
    int unit = -1;  // of equal units, the first after the one seen last (else the first)
    if (it != units.end()) {
        const int last = cap->buffers[ch].empty() ? -1 : cap->buffers[ch].back().unit;
        const auto next = std::upper_bound(it->second.begin(), it->second.end(), last);
        unit = next != it->second.end() ? *next : it->second.front();
    }
    static GstCaps* recordedCaps = gst_caps_new_empty_simple("timestamp/x-mssp-recorded");
    const GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buf, recordedCaps);
    cap->buffers[ch].push_back(Seen{unit, gst_segment_to_running_time(&cap->segment[ch], GST_FORMAT_TIME, GST_BUFFER_PTS(buf)),
                                    GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT),
                                    GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT), buf->pool != nullptr,
                                    meta ? meta->timestamp : GST_CLOCK_TIME_NONE});
    return GST_PAD_PROBE_OK;
}

class MsspSrc : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!msspt::Have("ffmpeg")) return;
        for (const char* f : {"msspsrc", "h264parse", "avdec_h264", "appsink", "fakesink", "queue"}) {
            GstElement* e = gst_element_factory_make(f, nullptr);  // an element class keeps its pad templates for good
            if (!e) return;
            gst_object_unref(e);
        }
        dir_ = new msspt::TempDir("msspsrc");
        g_dir = dir_->path();
        std::string why;
        if (!(ready_ = MakeMaterial(&why))) { ADD_FAILURE() << "no test material: " << why; }
    }
    static void TearDownTestSuite() { delete dir_; }
    void SetUp() override {
        if (!ready_) GTEST_SKIP() << "ffmpeg or a GStreamer plugin is missing";
        shm_ = mssphost::UniqueShmName("msspsrctest");
    }
    void TearDown() override {
        if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_NULL), gst_object_unref(pipeline_), pipeline_ = nullptr;
        if (!ready_) return;
        EXPECT_FALSE(mssphost::SharedMemoryExists(shm_, mssphost::kPlaybackGroup)) << "shared memory left behind";
        mssphost::RemoveSharedMemory(shm_, mssphost::kPlaybackGroup);
    }

    // Plays the element on channels 0..3, each pad parsed into a fakesink
    // (`decode`: decoded into an appsink), to EOS or an error: its text.
    std::string Run(const std::string& props = "", bool decode = false) {
        std::string desc = "msspsrc name=s location=" + g_dir + "/group shm-name=" + shm_ + " " + props;
        for (int c = 0; c < kChannels; ++c)
            desc += " s.src_" + std::to_string(c) + " ! queue ! h264parse ! " +
                    (decode ? "avdec_h264 ! appsink sync=false name=a" + std::to_string(c) : "fakesink sync=false");
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(desc.c_str(), &error);
        EXPECT_EQ(error, nullptr) << error->message;
        GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline_), "s");
        g_signal_connect(src, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer data) {
                             gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                                               OnPadData, data, nullptr);
                         }), &cap_);
        gst_object_unref(src);
        for (int c = 0; decode && c < kChannels; ++c) {
            GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), ("a" + std::to_string(c)).c_str());
            GstAppSinkCallbacks callbacks{};
            callbacks.new_sample = OnPicture;
            gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &cap_, nullptr);
            gst_object_unref(sink);
        }
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
        return WaitEnd();
    }
    // To EOS (""), SEGMENT_DONE ("segment-done") or an error (its text);
    // the warnings on the way are kept in warnings_.
    std::string WaitEnd() {
        GstBus* bus = gst_element_get_bus(pipeline_);
        const auto types = GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING | GST_MESSAGE_SEGMENT_DONE);
        GstMessage* msg = nullptr;
        std::string text = "timed out";
        while ((msg = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND, types))) {
            GError* error = nullptr;
            const GstMessageType type = GST_MESSAGE_TYPE(msg);
            if (type == GST_MESSAGE_ERROR) gst_message_parse_error(msg, &error, nullptr);
            if (type == GST_MESSAGE_WARNING) gst_message_parse_warning(msg, &error, nullptr), warnings_ += error->message + std::string("\n");
            gst_message_unref(msg);
            text = type == GST_MESSAGE_SEGMENT_DONE ? "segment-done" : error ? error->message : "";
            if (error) g_error_free(error);
            if (type != GST_MESSAGE_WARNING) break;
        }
        gst_object_unref(bus);
        return text;
    }
    void Seek(double rate, GstSeekFlags flags, GstClockTime at, GstClockTime stop = GST_CLOCK_TIME_NONE) {
        { std::lock_guard<std::mutex> lock(cap_.m); cap_.buffers.clear(); }
        ASSERT_TRUE(gst_element_seek(pipeline_, rate, GST_FORMAT_TIME, GstSeekFlags(GST_SEEK_FLAG_FLUSH | flags),
                                     GST_SEEK_TYPE_SET, static_cast<gint64>(at),
                                     stop == GST_CLOCK_TIME_NONE ? GST_SEEK_TYPE_NONE : GST_SEEK_TYPE_SET,
                                     stop == GST_CLOCK_TIME_NONE ? -1 : static_cast<gint64>(stop)));
        ASSERT_EQ(WaitEnd(), flags & GST_SEEK_FLAG_SEGMENT ? "segment-done" : "");
    }
    // Access unit numbers a channel's pad delivered, in order.
    std::vector<int> Units(int ch) {
        std::vector<int> u;
        for (const Seen& s : cap_.buffers[ch]) u.push_back(s.unit);
        return u;
    }
    // Every unit from the last IDR at or before a time (frame k at k * 40 ms) to the end.
    static std::vector<int> FromKeyAt(int ch, GstClockTime t) {
        int key = 0;
        for (int k : g_streams[static_cast<size_t>(ch)].idr) key = static_cast<GstClockTime>(k) * kFrameTime <= t ? k : key;
        std::vector<int> v;
        for (int k = key; k < kFrames; ++k) v.push_back(k);
        return v;
    }

    static inline msspt::TempDir* dir_ = nullptr;
    static inline bool ready_ = false;
    Capture cap_;
    std::string warnings_;
    GstElement* pipeline_ = nullptr;
    std::string shm_;
};

// By recorded time (the default) a buffer's time is its recorded time
// after the group's first frame on every pad; by timestamp the clocks'
// differences show. Both carry the recorded time as a meta.
TEST_F(MsspSrc, FourChannelsArriveWholeInOrderWithCapsFlagsAndTimesInStep) {
    for (const bool byTime : {true, false}) {
        SCOPED_TRACE(byTime ? "present-by=time" : "present-by=timestamp");
        cap_.buffers.clear();
        // The smallest ring: frames come round its end in two pieces.
        ASSERT_EQ(Run(byTime ? "ring-size=262144" : "ring-size=262144 present-by=timestamp"), "");
        for (int c = 0; c < kChannels; ++c) {
            SCOPED_TRACE("channel " + std::to_string(c));
            EXPECT_EQ(Units(c), FromKeyAt(c, 0)) << "every access unit exactly once, in order";
            EXPECT_NE(cap_.caps[c].find("video/x-h264, stream-format=(string)byte-stream, alignment=(string)au"), std::string::npos)
                << cap_.caps[c];
            const GstClockTime apart = byTime ? 0 : static_cast<GstClockTime>(kOrigin[c] - kOrigin[0]) * GST_MSECOND;
            int off = 0, noMeta = 0;
            for (const Seen& s : cap_.buffers[c]) {
                EXPECT_EQ(s.delta, s.unit >= 0 && s.unit % kGop[c] != 0) << "DELTA_UNIT on every frame but the IDRs";
                EXPECT_TRUE(s.pooled) << "buffers come from the element's pool";
                const GstClockTime recorded = static_cast<GstClockTime>(s.unit) * kFrameTime;  // after the first frame
                off += s.running + kFrameTime <= recorded + apart || s.running >= recorded + apart + kFrameTime;
                noMeta += s.recorded == GST_CLOCK_TIME_NONE || s.recorded + kFrameTime <= kRecordedStart + recorded ||
                          s.recorded >= kRecordedStart + recorded + kFrameTime;
            }
            EXPECT_EQ(off, 0) << "buffers whose time is not their recorded time (+ the clock's lead) within a frame";
            EXPECT_EQ(noMeta, 0) << "buffers without their recorded time as a meta";
            EXPECT_TRUE(cap_.buffers[c].front().discont) << "DISCONT on the first buffer";
        }
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
}

TEST_F(MsspSrc, SeeksLandOnKeyFramesAndTrickPlayStepsByFourKeyFrames) {
    ASSERT_EQ(Run(), "");
    gint64 duration = 0;
    ASSERT_TRUE(gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &duration));
    EXPECT_EQ(duration, static_cast<gint64>(kFrames * kFrameTime)) << "to the last recorded frame's end";
    // Flushing seek: from the key frame at or before the time, every frame.
    Seek(1.0, GST_SEEK_FLAG_NONE, 2500 * GST_MSECOND);
    for (int c = 0; c < kChannels; ++c) {
        EXPECT_EQ(Units(c), FromKeyAt(c, 2500 * GST_MSECOND)) << "channel " << c;
        EXPECT_TRUE(cap_.buffers[c].front().discont);
    }
    // Rate 16 in key-unit trick mode: IDRs only, forward, every 4th of them
    // (the last step stops at the last IDR instead of passing it).
    Seek(16.0, GST_SEEK_FLAG_TRICKMODE_KEY_UNITS, 0);
    for (int c = 0; c < kChannels; ++c) {
        const std::vector<int>& idr = g_streams[static_cast<size_t>(c)].idr;
        std::vector<int> ordinals;
        std::string got;
        for (const Seen& s : cap_.buffers[c]) {
            EXPECT_FALSE(s.delta);
            ordinals.push_back(static_cast<int>(std::find(idr.begin(), idr.end(), s.unit) - idr.begin()));
            got += " " + std::to_string(ordinals.back());
        }
        SCOPED_TRACE("channel " + std::to_string(c) + ", key frame ordinals:" + got);
        ASSERT_GE(ordinals.size(), 2u);
        EXPECT_LT(ordinals.front(), static_cast<int>(idr.size()));
        for (size_t i = 1; i < ordinals.size(); ++i) {
            const int step = ordinals[i] - ordinals[i - 1];
            const bool toLast = i + 1 == ordinals.size() && ordinals[i] == static_cast<int>(idr.size()) - 1;
            EXPECT_TRUE(toLast ? step >= 1 && step <= 4 : step == 4) << "step " << step;
        }
    }
    // Rate -16 from the end: IDRs only, backward, each a run of its own
    // for the decoder (DISCONT); the element steps itself: the segment runs
    // forward at rate 1 with the trick rate applied.
    Seek(-16.0, GST_SEEK_FLAG_TRICKMODE_KEY_UNITS, 0);
    for (int c = 0; c < kChannels; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        const std::vector<int> units = Units(c);
        EXPECT_TRUE(units.size() >= 2 && std::is_sorted(units.rbegin(), units.rend()));
        EXPECT_TRUE(cap_.segment[c].rate == 1.0 && cap_.segment[c].applied_rate == -16.0) << cap_.segment[c].applied_rate;
        for (size_t i = 0; i < cap_.buffers[c].size(); ++i) {
            const Seen& s = cap_.buffers[c][i];
            EXPECT_TRUE(!s.delta && s.discont) << "unit " << s.unit;
            if (i > 0) { EXPECT_GT(s.running, cap_.buffers[c][i - 1].running); }
        }
    }
    // An accurate seek to a recorded time: each channel decodes from its
    // own key frame, and its first frame in the segment is the one recorded then.
    Seek(1.0, GST_SEEK_FLAG_ACCURATE, 3000 * GST_MSECOND);
    for (int c = 0; c < kChannels; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        EXPECT_EQ(Units(c), FromKeyAt(c, 3000 * GST_MSECOND));
        const auto in = std::find_if(cap_.buffers[c].begin(), cap_.buffers[c].end(),
                                     [](const Seen& s) { return s.running != GST_CLOCK_TIME_NONE; });
        ASSERT_NE(in, cap_.buffers[c].end());
        EXPECT_EQ(in->unit, 3000 / 40);
    }
    // Rate 1 again: every frame from the key frame at or before the time.
    Seek(1.0, GST_SEEK_FLAG_NONE, 4000 * GST_MSECOND);
    for (int c = 0; c < kChannels; ++c) EXPECT_EQ(Units(c), FromKeyAt(c, 4000 * GST_MSECOND)) << "channel " << c;
    // Key-unit seeks snap to the key frame of any channel before, after or
    // nearest the time (keys every 400, 1000, 600 and 800 ms); channel 0
    // then starts at its own key frame at or before that.
    const struct { GstSeekFlags snap; int atMs, firstUnit; } snaps[] = {
        {GST_SEEK_FLAG_NONE, 1010, 20}, {GST_SEEK_FLAG_SNAP_AFTER, 1010, 30},
        {GST_SEEK_FLAG_SNAP_NEAREST, 1190, 30}, {GST_SEEK_FLAG_SNAP_NEAREST, 1010, 20},
    };
    for (const auto& row : snaps) {
        SCOPED_TRACE(std::to_string(row.snap) + " at " + std::to_string(row.atMs));
        Seek(1.0, GstSeekFlags(GST_SEEK_FLAG_KEY_UNIT | row.snap), row.atMs * GST_MSECOND);
        ASSERT_FALSE(cap_.buffers[0].empty());
        EXPECT_EQ(cap_.buffers[0].front().unit, row.firstUnit);
    }
    // A segment seek ends with SEGMENT_DONE, not EOS, at its stop; then a
    // non-flushing segment seek plays on.
    Seek(1.0, GST_SEEK_FLAG_SEGMENT, 2000 * GST_MSECOND, 4000 * GST_MSECOND);
    EXPECT_EQ(Units(0).back(), 4000 / 40 - 1);
    ASSERT_TRUE(gst_element_seek(pipeline_, 1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_SEGMENT, GST_SEEK_TYPE_SET,
                                 static_cast<gint64>(6000 * GST_MSECOND), GST_SEEK_TYPE_NONE, -1));
    EXPECT_EQ(WaitEnd(), "segment-done");
}

// The only end-to-end proof that frames come through intact: every channel
// decoded through the element gives ffmpeg's pictures of its elementary
// stream. Backward, the decoder shows the key frames in decreasing recorded
// time, each as it comes.
TEST_F(MsspSrc, DecodedPicturesAreFfmpegs) {
    ASSERT_EQ(Run("", true), "");
    for (int c = 0; c < kChannels; ++c)
        EXPECT_EQ(cap_.pictures[c], g_streams[static_cast<size_t>(c)].md5) << "channel " << c << ": pictures differ from ffmpeg's";
    { std::lock_guard<std::mutex> lock(cap_.m); cap_.pictures.clear(); }
    Seek(-16.0, GST_SEEK_FLAG_TRICKMODE_KEY_UNITS, 0);
    for (int c = 0; c < kChannels; ++c) {
        const std::vector<std::string>& md5 = g_streams[static_cast<size_t>(c)].md5;
        std::vector<int> shown;  // picture numbers in the order decoded
        for (const std::string& m : cap_.pictures[c]) shown.push_back(static_cast<int>(std::find(md5.begin(), md5.end(), m) - md5.begin()));
        EXPECT_TRUE(shown.size() >= 2 && std::is_sorted(shown.rbegin(), shown.rend()) &&
                    std::adjacent_find(shown.begin(), shown.end()) == shown.end() && shown.front() < kFrames)
            << "channel " << c << ": " << ::testing::PrintToString(shown);
    }
}

// A run with a seek and trick play leaves no GStreamer object alive once
// its pipeline is gone (a first run loads what GStreamer keeps for good).
TEST_F(MsspSrc, LeavesNoObjectAliveAfterARun) {
    GstTracer* tracer = nullptr;
    GList* tracers = gst_tracing_get_active_tracers();
    for (GList* l = tracers; l; l = l->next) {
        if (!tracer && g_str_has_prefix(G_OBJECT_TYPE_NAME(l->data), "GstLeaksTracer")) tracer = GST_TRACER(gst_object_ref(l->data));
    }
    g_list_free_full(tracers, gst_object_unref);
    if (!tracer) GTEST_SKIP() << "the leak tracer is not active (GST_TRACERS)";
    for (const bool tracked : {false, true}) {
        if (tracked) g_signal_emit_by_name(tracer, "activity-start-tracking");
        ASSERT_EQ(Run("", true), "");
        Seek(-8.0, GST_SEEK_FLAG_TRICKMODE_KEY_UNITS, 0);
        Seek(1.0, GST_SEEK_FLAG_ACCURATE, 3000 * GST_MSECOND);
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
    EXPECT_EQ(ObjectsLeft(tracer), "") << "objects created by the run alive after it";
    gst_object_unref(tracer);
}

// A group the element cannot play: an error on the bus naming the cause, the
// pipeline does not start, and nothing is left in shared memory.
TEST_F(MsspSrc, BadGroupsGiveAnErrorOnTheBusAndLeaveNothing) {
    const std::string copy = g_dir + "/bad";
    const std::array<const char*, 3> cases[] = {  // properties, a file damaged in every byte, the error
        {"location=/nonexistent/group", "", "cannot open the recording"},
        {"", "/group.json", "cannot open the recording"},
        {"channels=0,5", "", "5 not recorded"},
        {"stream-type=1", "", "stream type 1 (sub) is not recorded"},
        {"ring-size=10", "", "ring-size=10 is not valid"},
        {"channels=0-40", "", "Channel set"},
    };
    for (const auto& [props, damaged, says] : cases) {
        SCOPED_TRACE(says);
        std::filesystem::remove_all(copy);
        std::filesystem::copy(g_dir + "/group", copy, std::filesystem::copy_options::recursive);
        if (*damaged) msspt::WriteBytes(copy + damaged, std::vector<uint8_t>(std::filesystem::file_size(copy + damaged), 'Z'));
        pipeline_ = gst_parse_launch(("msspsrc name=s location=" + copy + " shm-name=" + shm_ + " " + props +
                                      " s.src_0 ! queue ! fakesink").c_str(), nullptr);
        ASSERT_NE(pipeline_, nullptr);
        EXPECT_EQ(gst_element_set_state(pipeline_, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        EXPECT_NE(WaitEnd().find(says), std::string::npos);
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
        EXPECT_FALSE(mssphost::SharedMemoryExists(shm_, mssphost::kPlaybackGroup));
    }
}

// A channel that cannot be played or is damaged: the others play to EOS,
// its pad ends, and a warning names it.
TEST_F(MsspSrc, ABadChannelEndsAloneWithAWarning) {
    const std::string copy = g_dir + "/bad";
    const struct { const char* what; int channel; } cases[] = {
        {"missing", 1}, {"every byte damaged", 1}, {"60 KB damaged in the middle", 2}, {"cut short", 3},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(copy);
        std::filesystem::copy(g_dir + "/group", copy, std::filesystem::copy_options::recursive);
        char seg[64];
        std::snprintf(seg, sizeof seg, "/ch%02d/type0/seg0000.pack", row.channel);
        std::vector<uint8_t> bytes = msspt::ReadBytes(copy + seg);
        if (row.what[0] == 'm') std::filesystem::remove_all(copy + std::string(seg).substr(0, 5));
        if (row.what[0] == 'e') std::fill(bytes.begin(), bytes.end(), 'Z');
        if (row.what[0] == '6') std::fill(bytes.begin() + bytes.size() / 2, bytes.begin() + bytes.size() / 2 + 60000, 'Z');
        if (row.what[0] == 'c') bytes.resize(bytes.size() / 3);
        if (row.what[0] != 'm') msspt::WriteBytes(copy + seg, bytes);
        cap_.buffers.clear();
        warnings_.clear();
        ASSERT_EQ(Run("location=" + copy), "");
        EXPECT_NE(warnings_.find("Channel " + std::to_string(row.channel)), std::string::npos) << warnings_;
        for (int c = 0; c < kChannels; ++c) {
            if (c != row.channel) { EXPECT_EQ(Units(c), FromKeyAt(c, 0)) << "channel " << c; }
        }
        EXPECT_LT(cap_.buffers[row.channel].size(), static_cast<size_t>(kFrames));
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
}

size_t Entries(const char* dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

// A pipeline from gst_parse_launch (linked when the pad first came) plays
// 100 times over: the pads stay across restarts, nothing accumulates.
TEST_F(MsspSrc, APipelineRestartsAHundredTimes) {
    pipeline_ = gst_parse_launch(("msspsrc name=s channels=0,2 shm-name=" + shm_ + " location=" + g_dir +
                                  "/group s.src_0 ! queue ! fakesink sync=false  s.src_2 ! queue ! fakesink sync=false").c_str(), nullptr);
    ASSERT_NE(pipeline_, nullptr);
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline_), "s");
    GstPad* first = nullptr;
    size_t fds = 0, threads = 0;
    for (int run = 0; run < 100; ++run) {
        ASSERT_NE(gst_element_set_state(pipeline_, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE) << "run " << run;
        ASSERT_EQ(WaitEnd(), "") << "run " << run;
        GstPad* pad = gst_element_get_static_pad(src, "src_0");
        ASSERT_NE(pad, nullptr);
        if (!first) first = pad;
        EXPECT_EQ(pad, first) << "the same pad in every run";
        gst_object_unref(pad);
        gst_element_set_state(pipeline_, run % 2 ? GST_STATE_NULL : GST_STATE_READY);
        if (run == 9) fds = Entries("/proc/self/fd"), threads = Entries("/proc/self/task");
    }
    EXPECT_LE(Entries("/proc/self/fd"), fds) << "file descriptors grow with restarts";
    EXPECT_LE(Entries("/proc/self/task"), threads) << "threads grow with restarts";
    gst_object_unref(src);
}

// SELECT_STREAMS: the streams left out end and deliver nothing more, the
// chosen ones play; the element answers with STREAMS_SELECTED.
TEST_F(MsspSrc, SelectStreamsKeepsOnlyTheChosenPadsPlaying) {
    ASSERT_EQ(Run(), "");
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline_), "s");
    GList* ids = nullptr;
    for (const char* name : {"src_0", "src_2"}) {
        GstPad* pad = gst_element_get_static_pad(src, name);
        ids = g_list_append(ids, gst_pad_get_stream_id(pad));
        gst_object_unref(pad);
    }
    EXPECT_TRUE(gst_element_send_event(src, gst_event_new_select_streams(ids)));
    g_list_free_full(ids, g_free);
    gst_object_unref(src);
    GstBus* bus = gst_element_get_bus(pipeline_);
    GstMessage* msg = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND, GST_MESSAGE_STREAMS_SELECTED);
    gst_object_unref(bus);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(gst_message_streams_selected_get_size(msg), 2u);
    gst_message_unref(msg);
    Seek(1.0, GST_SEEK_FLAG_NONE, 0);
    for (int c = 0; c < kChannels; ++c) {
        if (c % 2) EXPECT_TRUE(cap_.buffers[c].empty()) << "channel " << c;
        else EXPECT_EQ(Units(c), FromKeyAt(c, 0)) << "channel " << c;
    }
}

// stream-type set while playing: the pads stay, frames of the new type
// follow from about the position on every channel, to EOS.
TEST_F(MsspSrc, StreamTypeSwitchesWhilePlaying) {
    const std::string group = g_dir + "/types";
    std::string out;
    ASSERT_EQ(msspt::Shell(msspt::EmulatorPrefix() + MSSP_TOOLS_DIR "/mssp-pack synth -o " + group +
                           " --channels 2 --types 2 --duration 3 --gop 10 --force", &out), 0) << out;
    pipeline_ = gst_parse_launch(("msspsrc name=s shm-name=" + shm_ + " location=" + group +
                                  " s.src_0 ! queue max-size-buffers=2 ! fakesink sync=true  s.src_1 ! queue max-size-buffers=2 ! fakesink sync=true").c_str(), nullptr);
    ASSERT_NE(pipeline_, nullptr);
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline_), "s");
    static std::mutex m;
    static std::map<int, std::vector<int>> types;  // channel -> stream type of each buffer (synthetic tag byte 5)
    types.clear();
    for (const char* name : {"src_0", "src_1"}) {
        GstPad* pad = gst_element_get_static_pad(src, name);
        if (!pad) {  // made on the first start
            gst_element_set_state(pipeline_, GST_STATE_PAUSED);
            gst_element_get_state(pipeline_, nullptr, nullptr, 10 * GST_SECOND);
            pad = gst_element_get_static_pad(src, name);
        }
        ASSERT_NE(pad, nullptr);
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, +[](GstPad* p, GstPadProbeInfo* info, gpointer) {
            guint8 tag[6] = {};
            if (gst_buffer_extract(GST_PAD_PROBE_INFO_BUFFER(info), 0, tag, 6) == 6) {
                std::lock_guard<std::mutex> lock(m);
                types[GST_PAD_NAME(p)[4] - '0'].push_back(tag[5]);
            }
            return GST_PAD_PROBE_OK;
        }, nullptr, nullptr);
        gst_object_unref(pad);
    }
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    for (int i = 0; i < 500; ++i) {  // about a second played
        { std::lock_guard<std::mutex> lock(m); if (types[0].size() >= 25) break; }
        g_usleep(10000);
    }
    g_object_set(src, "stream-type", 1, nullptr);
    EXPECT_EQ(WaitEnd(), "");
    gst_object_unref(src);
    std::lock_guard<std::mutex> lock(m);
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        ASSERT_FALSE(types[c].empty());
        EXPECT_EQ(types[c].front(), 0);
        EXPECT_EQ(types[c].back(), 1) << "the new type to the end";
        EXPECT_TRUE(std::is_sorted(types[c].begin(), types[c].end())) << "no frame of the old type after the switch";
    }
}

// channels set while playing, 0-1 to 1-2: the pad of the channel that goes
// gets EOS and is removed, the new channel's pad comes (then no-more-pads)
// and plays, the kept channel plays on, to EOS.
TEST_F(MsspSrc, ChannelsSwitchWhilePlaying) {
    const std::string group = g_dir + "/three";
    std::string out;
    ASSERT_EQ(msspt::Shell(msspt::EmulatorPrefix() + MSSP_TOOLS_DIR "/mssp-pack synth -o " + group +
                           " --channels 3 --duration 3 --gop 10 --force", &out), 0) << out;
    pipeline_ = gst_pipeline_new(nullptr);
    GstElement* src = gst_element_factory_make("msspsrc", "s");
    g_object_set(src, "location", group.c_str(), "channels", "0-1", "shm-name", shm_.c_str(), nullptr);
    gst_bin_add(GST_BIN(pipeline_), src);
    static std::mutex m;
    static std::map<int, int> count, eos;  // channel -> buffers, EOS events
    static int morePads = 0;
    count.clear();
    eos.clear();
    morePads = 0;
    g_signal_connect(src, "pad-added", G_CALLBACK(+[](GstElement* e, GstPad* pad, gpointer) {
        GstElement* queue = gst_element_factory_make("queue", nullptr);
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", TRUE, nullptr);
        gst_bin_add_many(GST_BIN(GST_ELEMENT_PARENT(e)), queue, sink, nullptr);
        gst_element_link(queue, sink);
        gst_element_sync_state_with_parent(sink);
        gst_element_sync_state_with_parent(queue);
        GstPad* queuePad = gst_element_get_static_pad(queue, "sink");
        gst_pad_link(pad, queuePad);
        gst_object_unref(queuePad);
        gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                          +[](GstPad* p, GstPadProbeInfo* info, gpointer) {
            std::lock_guard<std::mutex> lock(m);
            const int c = GST_PAD_NAME(p)[4] - '0';
            if (info->type & GST_PAD_PROBE_TYPE_BUFFER) ++count[c];
            else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) ++eos[c];
            return GST_PAD_PROBE_OK;
        }, nullptr, nullptr);
    }), nullptr);
    g_signal_connect(src, "no-more-pads", G_CALLBACK(+[](GstElement*, gpointer) {
        std::lock_guard<std::mutex> lock(m);
        ++morePads;
    }), nullptr);
    // Prerolled first: the sinks made while the pipeline goes up then play
    // by the clock, so that the switch comes mid-run.
    gst_element_set_state(pipeline_, GST_STATE_PAUSED);
    ASSERT_EQ(gst_element_get_state(pipeline_, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    for (int i = 0; i < 500; ++i) {  // about a second played
        { std::lock_guard<std::mutex> lock(m); if (count[1] >= 25) break; }
        g_usleep(10000);
    }
    int before0 = 0, before1 = 0;
    {
        std::lock_guard<std::mutex> lock(m);
        before0 = count[0], before1 = count[1];
        EXPECT_EQ(count[2], 0);
    }
    g_object_set(src, "channels", "1-2", nullptr);
    EXPECT_EQ(WaitEnd(), "");
    GstPad* gone = gst_element_get_static_pad(src, "src_0");
    EXPECT_EQ(gone, nullptr) << "src_0 removed";
    if (gone) gst_object_unref(gone);
    GstPad* added = gst_element_get_static_pad(src, "src_2");
    EXPECT_NE(added, nullptr);
    if (added) gst_object_unref(added);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_GE(before1, 25);
    EXPECT_LE(count[0] - before0, 3) << "channel 0 stopped at the switch";
    EXPECT_EQ(eos[0], 1);
    EXPECT_GE(count[1] - before1, 30) << "channel 1 played on to the end";
    EXPECT_GE(count[2], 30) << "channel 2 played from the switch to the end";
    EXPECT_EQ(eos[1], 1);
    EXPECT_EQ(eos[2], 1);
    EXPECT_EQ(morePads, 2) << "after the first pads, and after the switch";
}

// mssp:// URIs: properties from the query; playbin3 plays one to EOS (the
// first video stream, as decodebin3 chooses); bad URIs are refused whole.
TEST_F(MsspSrc, AUriPlaysInPlaybin3AndBadUrisAreRefused) {
    const std::string base = "mssp://" + g_dir + "/group";
    GError* error = nullptr;
    GstElement* src = gst_element_make_from_uri(GST_URI_SRC, (base + "?channels=1-2&start-time=10:00:02").c_str(), nullptr, &error);
    ASSERT_NE(src, nullptr) << error->message;
    gchar *location = nullptr, *channels = nullptr, *start = nullptr;
    g_object_get(src, "location", &location, "channels", &channels, "start-time", &start, nullptr);
    EXPECT_EQ(std::string(location) + "|" + channels + "|" + start, g_dir + "/group|1-2|10:00:02");
    g_free(location), g_free(channels), g_free(start);
    for (const char* bad : {"mssp://host/group", "mssp://relative", "?bogus=1", "?ring-size=many", "?location=/x"}) {
        const std::string uri = bad[0] == '?' ? base + bad : bad;
        EXPECT_FALSE(gst_uri_handler_set_uri(GST_URI_HANDLER(src), uri.c_str(), nullptr)) << uri;
    }
    gst_object_unref(src);

    pipeline_ = gst_element_factory_make("playbin3", nullptr);
    if (!pipeline_) GTEST_SKIP() << "no playbin3";
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, nullptr);
    g_object_set(pipeline_, "uri", (base + "?channels=0-1&shm-name=" + shm_).c_str(), "video-sink", sink, nullptr);
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    EXPECT_EQ(WaitEnd(), "");
    gst_element_set_state(pipeline_, GST_STATE_NULL);  // its shared memory goes: the name is used again below
#ifdef MSSP_HAVE_PBUTILS
    // As gst-discoverer-1.0 sees it: every channel, the recording's duration.
    GstDiscoverer* discoverer = gst_discoverer_new(30 * GST_SECOND, &error);
    ASSERT_NE(discoverer, nullptr);
    GstDiscovererInfo* info = gst_discoverer_discover_uri(discoverer, (base + "?shm-name=" + shm_).c_str(), &error);
    ASSERT_NE(info, nullptr) << (error ? error->message : "");
    EXPECT_EQ(gst_discoverer_info_get_result(info), GST_DISCOVERER_OK);
    EXPECT_EQ(gst_discoverer_info_get_duration(info), kFrames * kFrameTime);
    GList* video = gst_discoverer_info_get_video_streams(info);
    EXPECT_EQ(g_list_length(video), static_cast<guint>(kChannels));
    gst_discoverer_stream_info_list_free(video);
    gst_discoverer_info_unref(info);
    g_object_unref(discoverer);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    setenv("GST_TRACERS", "leaks", 0);
    setenv("GST_PLUGIN_PATH", MSSP_GST_PLUGIN_DIR, 1);
    testing::InitGoogleTest(&argc, argv);
    gst_init(&argc, &argv);
    const int result = RUN_ALL_TESTS();
    gst_deinit();
    return result;
}

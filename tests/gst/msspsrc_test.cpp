// msspsrc in real pipelines: a 4-channel H.264 group made by ffmpeg and
// mssp-pack is played through the element from the build tree. Encoded
// buffers are identified by their bytes against the access units of each
// channel's elementary stream; decoded pictures are compared by MD5 with
// ffmpeg's decode of the same stream. The leak tracer (GST_TRACERS=leaks,
// set here unless the caller set GST_TRACERS) must find no object created
// by a test alive at its end. Skipped where ffmpeg or a GStreamer plugin
// the pipelines use is missing.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MsspHost.h"
#include "PackTool.h"
#include "TargetProgram.h"

namespace {

constexpr int kChannels = 4;
constexpr int kFrames = 200;                      // 8 s at 25 fps
constexpr GstClockTime kFrameTime = 40 * GST_MSECOND;
constexpr int kGop[kChannels] = {10, 25, 15, 20};  // different key-frame spacing per channel
constexpr const char* kSource[kChannels] = {"testsrc2", "smptebars", "testsrc", "smptehdbars"};
constexpr GstClockTime kWait = 60 * GST_SECOND;
constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

// One channel's elementary stream: its access units and the MD5 of each
// picture ffmpeg decodes from it.
struct Stream {
    // Access unit bytes -> the numbers of the units with those bytes (two
    // P-frames that change the picture alike can be equal to the byte).
    std::map<std::string, std::vector<int>> unitOf;
    std::vector<int> idr;               // numbers of the IDR access units
    std::vector<std::string> md5;
};

std::string g_dir;
std::vector<Stream> g_streams;

std::string Md5Of(const uint8_t* data, size_t len) {
    gchar* s = g_compute_checksum_for_data(G_CHECKSUM_MD5, data, len);
    std::string out(s);
    g_free(s);
    return out;
}

bool MakeMaterial(std::string* why) {
    std::string out, inputs;
    for (int c = 0; c < kChannels; ++c) {
        const std::string es = g_dir + "/ch" + std::to_string(c) + ".h264";
        if (msspt::Shell("ffmpeg -nostdin -v error -y -f lavfi -i " + std::string(kSource[c]) +
                             "=size=320x240:rate=25 -frames:v " + std::to_string(kFrames) +
                             // The recorded time drawn in makes every access unit's bytes unique.
                             " -vf \"drawtext=fontfile=" + kFont + ":fontsize=14:fontcolor=white:text='%{pts\\:hms\\:36000}'\"" +
                             " -c:v libx264 -qp 6 -bf 0 -g " + std::to_string(kGop[c]) + " -keyint_min " +
                             std::to_string(kGop[c]) + " -sc_threshold 0 -pix_fmt yuv420p -f h264 " + es,
                         &out) != 0)
            return *why = out, false;
        std::vector<uint8_t> bytes;
        if (!packtool::ReadFile(es, &bytes, why)) return false;
        Stream s;
        const auto units = packtool::SplitAccessUnits(bytes.data(), bytes.size());
        for (size_t k = 0; k < units.size(); ++k) {
            s.unitOf[std::string(reinterpret_cast<const char*>(bytes.data() + units[k].offset), units[k].length)]
                .push_back(static_cast<int>(k));
            if (units[k].idr) s.idr.push_back(static_cast<int>(k));
        }
        if (units.size() != static_cast<size_t>(kFrames)) return *why = es + ": not every picture was coded", false;
        // Near-lossless coding: several rounds of a 256 KiB ring per channel.
        // framemd5 lines: stream, dts, pts, duration, size, md5.
        msspt::Shell("ffmpeg -nostdin -v error -f h264 -i " + es + " -f framemd5 -", &out);
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line[0] != '#') s.md5.push_back(line.substr(line.rfind(',') + 2));
        }
        g_streams.push_back(std::move(s));
        inputs += " --input " + es + " --origin " + std::to_string(c) + "=1000";
    }
    return msspt::Shell(msspt::EmulatorPrefix() + MSSP_TOOLS_DIR "/mssp-pack h264 -o " + g_dir + "/group" + inputs,
                        &out) == 0 ||
           (*why = out, false);
}

// What reached the element's pads, and the decoders' output.
struct Seen {
    int unit;  // access unit number, -1 when the bytes match none
    GstClockTime pts, running;
    bool delta, discont, pooled;
};

struct Capture {
    std::mutex m;
    std::map<int, std::vector<Seen>> buffers;  // channel -> in push order
    std::map<int, GstSegment> segment;
    std::map<int, std::vector<std::string>> pictures;
    void Clear() {
        std::lock_guard<std::mutex> lock(m);
        buffers.clear();
        pictures.clear();
    }
};

// The channel number that ends a pad or sink name ("src_2", "a2").
int ChannelOf(const gchar* name) {
    const char* end = name + std::strlen(name);
    while (end > name && g_ascii_isdigit(end[-1])) --end;
    return std::atoi(end);
}

GstPadProbeReturn OnPadData(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* cap = static_cast<Capture*>(data);
    gchar* name = gst_pad_get_name(pad);
    const int ch = ChannelOf(name);
    g_free(name);
    std::lock_guard<std::mutex> lock(cap->m);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(ev) == GST_EVENT_SEGMENT) {
            const GstSegment* seg = nullptr;
            gst_event_parse_segment(ev, &seg);
            cap->segment[ch] = *seg;
        }
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
    GstMapInfo map;
    gst_buffer_map(buf, &map, GST_MAP_READ);
    const auto& units = g_streams[static_cast<size_t>(ch)].unitOf;
    const auto it = units.find(std::string(reinterpret_cast<const char*>(map.data), map.size));
    gst_buffer_unmap(buf, &map);
    // Of equal units, the first after the one seen last (else the first).
    int unit = -1;
    if (it != units.end()) {
        const int last = cap->buffers[ch].empty() ? -1 : cap->buffers[ch].back().unit;
        const auto next = std::upper_bound(it->second.begin(), it->second.end(), last);
        unit = next != it->second.end() ? *next : it->second.front();
    }
    const GstClockTime pts = GST_BUFFER_PTS(buf);
    cap->buffers[ch].push_back(Seen{unit, pts,
                                    gst_segment_to_running_time(&cap->segment[ch], GST_FORMAT_TIME, pts),
                                    GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT),
                                    GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT), buf->pool != nullptr});
    return GST_PAD_PROBE_OK;
}

void OnPadAdded(GstElement*, GstPad* pad, gpointer data) {
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      OnPadData, data, nullptr);
}

GstFlowReturn OnPicture(GstAppSink* sink, gpointer data) {
    auto* cap = static_cast<Capture*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    GstBuffer* buf = gst_sample_get_buffer(sample);
    GstMapInfo map;
    gst_buffer_map(buf, &map, GST_MAP_READ);
    gchar* name = gst_object_get_name(GST_OBJECT(sink));
    {
        std::lock_guard<std::mutex> lock(cap->m);
        // I420 at 320x240 has no row padding: the planes lie as ffmpeg hashes them.
        cap->pictures[ChannelOf(name)].push_back(Md5Of(map.data, map.size));
    }
    g_free(name);
    gst_buffer_unmap(buf, &map);
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

GstTracer* LeaksTracer() {
    GstTracer* found = nullptr;
    GList* tracers = gst_tracing_get_active_tracers();
    for (GList* l = tracers; l; l = l->next) {
        if (!found && g_str_has_prefix(G_OBJECT_TYPE_NAME(l->data), "GstLeaksTracer"))
            found = GST_TRACER(gst_object_ref(l->data));
    }
    g_list_free_full(tracers, gst_object_unref);
    return found;
}

// The objects the leak tracer saw created since tracking began and not
// destroyed since (by address: an address reused by a later object that is
// still alive hides it, a leak is never reported wrongly).
std::string ObjectsLeft(GstTracer* tracer) {
    GstStructure* checkpoint = nullptr;
    g_signal_emit_by_name(tracer, "activity-get-checkpoint", &checkpoint);
    g_signal_emit_by_name(tracer, "activity-stop-tracking");
    if (!checkpoint) return "(no checkpoint)";
    auto entries = [&](const char* field) {
        std::vector<std::pair<std::string, std::string>> out;  // address, type
        const GValue* list = gst_structure_get_value(checkpoint, field);
        for (guint i = 0; list && i < gst_value_list_get_size(list); ++i) {
            const GstStructure* e = gst_value_get_structure(gst_value_list_get_value(list, i));
            out.emplace_back(gst_structure_get_string(e, "address"), gst_structure_get_string(e, "type-name"));
        }
        return out;
    };
    std::set<std::string> removed;
    for (const auto& [address, type] : entries("objects-removed-list")) removed.insert(address);
    std::string left;
    for (const auto& [address, type] : entries("objects-created-list")) {
        if (!removed.count(address)) left += " " + type;
    }
    gst_structure_free(checkpoint);
    return left;
}

class MsspSrc : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!msspt::Have("ffmpeg")) return;
        for (const char* f : {"msspsrc", "h264parse", "avdec_h264", "appsink", "fakesink", "queue"}) {
            // Made once here: an element class keeps its pad templates for good.
            GstElement* e = gst_element_factory_make(f, nullptr);
            if (!e) return;
            gst_object_unref(e);
        }
        dir_ = new msspt::TempDir("msspsrc");
        g_dir = dir_->path();
        std::string why;
        ready_ = MakeMaterial(&why);
        if (!ready_) {
            ADD_FAILURE() << "no test material: " << why;
            return;
        }
        // Loads every plugin and creates the objects GStreamer keeps for the
        // whole process, so that the leak check sees only what a test leaves.
        Capture cap;
        GstElement* p = Launch(true, mssphost::UniqueShmName("msspsrcwarm"), &cap);
        gst_element_set_state(p, GST_STATE_PLAYING);
        GstBus* bus = gst_element_get_bus(p);
        GstMessage* msg = gst_bus_timed_pop_filtered(bus, kWait,
                                                     static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (msg) gst_message_unref(msg);
        gst_object_unref(bus);
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(p);
    }

    static std::string Description(bool decode, const std::string& shm, const std::string& props = "") {
        std::string desc = "msspsrc name=s location=" + g_dir + "/group shm-name=" + shm + " " + props;
        for (int c = 0; c < kChannels; ++c) {
            desc += " s.src_" + std::to_string(c) + " ! queue ! ";
            desc += decode ? "h264parse ! avdec_h264 ! appsink sync=false name=a" + std::to_string(c)
                           : std::string("fakesink sync=false");
        }
        return desc;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    void SetUp() override {
        if (!ready_) GTEST_SKIP() << "ffmpeg or a GStreamer plugin is missing";
        shm_ = mssphost::UniqueShmName("msspsrctest");
        tracer_ = LeaksTracer();
        if (tracer_) g_signal_emit_by_name(tracer_, "activity-start-tracking");
    }

    void TearDown() override {
        if (pipeline_) {
            gst_element_set_state(pipeline_, GST_STATE_NULL);
            gst_object_unref(pipeline_);
            pipeline_ = nullptr;
        }
        if (!ready_) return;
        EXPECT_FALSE(mssphost::SharedMemoryExists(shm_, mssphost::kPlaybackGroup)) << "shared memory left behind";
        mssphost::RemoveSharedMemory(shm_, mssphost::kPlaybackGroup);
        if (!tracer_) return;
        EXPECT_EQ(ObjectsLeft(tracer_), "") << "objects created by the test and alive at its end";
        gst_object_unref(tracer_);
    }

    // The element on channels 0..3 (or `props`), each pad decoded into an
    // appsink or dropped into a fakesink.
    static GstElement* Launch(bool decode, const std::string& shm, Capture* cap, const std::string& props = "") {
        GError* error = nullptr;
        GstElement* p = gst_parse_launch(Description(decode, shm, props).c_str(), &error);
        EXPECT_EQ(error, nullptr) << error->message;
        GstElement* src = gst_bin_get_by_name(GST_BIN(p), "s");
        g_signal_connect(src, "pad-added", G_CALLBACK(OnPadAdded), cap);
        gst_object_unref(src);
        for (int c = 0; decode && c < kChannels; ++c) {
            GstElement* sink = gst_bin_get_by_name(GST_BIN(p), ("a" + std::to_string(c)).c_str());
            GstAppSinkCallbacks callbacks{};
            callbacks.new_sample = OnPicture;
            gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, cap, nullptr);
            gst_object_unref(sink);
        }
        return p;
    }

    // Plays until EOS or an error; returns the error text ("" at EOS).
    std::string Run(GstElement* p) {
        pipeline_ = p;
        gst_element_set_state(p, GST_STATE_PLAYING);
        return WaitEnd();
    }

    std::string WaitEnd() {
        GstBus* bus = gst_element_get_bus(pipeline_);
        GstMessage* msg = gst_bus_timed_pop_filtered(bus, kWait,
                                                     static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        gst_object_unref(bus);
        std::string text = msg ? "" : "timed out";
        if (msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
            GError* error = nullptr;
            gst_message_parse_error(msg, &error, nullptr);
            text = error->message;
            g_error_free(error);
        }
        if (msg) gst_message_unref(msg);
        return text;
    }

    void Seek(double rate, GstSeekFlags flags, GstClockTime at) {
        cap_.Clear();
        ASSERT_TRUE(gst_element_seek(pipeline_, rate, GST_FORMAT_TIME,
                                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | flags), GST_SEEK_TYPE_SET,
                                     static_cast<gint64>(at), GST_SEEK_TYPE_NONE, -1));
        ASSERT_EQ(WaitEnd(), "");
    }

    // Access unit numbers a channel's pad delivered, in order.
    std::vector<int> Units(int ch) {
        std::vector<int> u;
        for (const Seen& s : cap_.buffers[ch]) u.push_back(s.unit);
        return u;
    }

    static std::vector<int> Range(int from, int to) {
        std::vector<int> v;
        for (int k = from; k < to; ++k) v.push_back(k);
        return v;
    }

    // The last IDR access unit at or before a time (frame k is at k * 40 ms).
    static int KeyAtOrBefore(int ch, GstClockTime t) {
        int key = 0;
        for (int k : g_streams[static_cast<size_t>(ch)].idr) {
            if (static_cast<GstClockTime>(k) * kFrameTime <= t) key = k;
        }
        return key;
    }

    static inline msspt::TempDir* dir_ = nullptr;
    static inline bool ready_ = false;
    Capture cap_;
    GstElement* pipeline_ = nullptr;
    GstTracer* tracer_ = nullptr;
    std::string shm_;
};

TEST_F(MsspSrc, FourChannelsArriveWholeInOrderDecodedAsFfmpegAndInStep) {
    // The smallest ring: frames come round its end in two pieces.
    ASSERT_EQ(Run(Launch(true, shm_, &cap_, "ring-size=262144")), "");
    std::map<int, std::vector<GstClockTime>> runningByUnit;
    for (int c = 0; c < kChannels; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        EXPECT_EQ(Units(c), Range(0, kFrames)) << "every access unit exactly once, in order";
        for (const Seen& s : cap_.buffers[c]) {
            EXPECT_EQ(s.delta, s.unit >= 0 && s.unit % kGop[c] != 0) << "DELTA_UNIT on every frame but the IDRs";
            EXPECT_TRUE(s.pooled) << "buffers come from the element's pool";
            runningByUnit[s.unit].push_back(s.running);
        }
        EXPECT_TRUE(cap_.buffers[c].front().discont) << "DISCONT on the first buffer";
        EXPECT_EQ(cap_.pictures[c], g_streams[static_cast<size_t>(c)].md5) << "decoded pictures differ from ffmpeg's";
    }
    // Frames recorded at the same instant: running times within one frame interval.
    for (const auto& [unit, times] : runningByUnit) {
        ASSERT_EQ(times.size(), static_cast<size_t>(kChannels));
        const auto [lo, hi] = std::minmax_element(times.begin(), times.end());
        EXPECT_LT(*hi - *lo, kFrameTime) << "access unit " << unit;
    }
}

TEST_F(MsspSrc, SeeksLandOnKeyFramesAndTrickPlayStepsByFourKeyFrames) {
    ASSERT_EQ(Run(Launch(false, shm_, &cap_)), "");
    gint64 duration = 0;
    ASSERT_TRUE(gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &duration));
    EXPECT_EQ(duration, static_cast<gint64>((kFrames - 1) * kFrameTime)) << "to the last recorded frame";

    // Flushing seek: from the key frame at or before the time, every frame.
    const GstClockTime at = 2500 * GST_MSECOND;
    Seek(1.0, GST_SEEK_FLAG_NONE, at);
    for (int c = 0; c < kChannels; ++c) {
        EXPECT_EQ(Units(c), Range(KeyAtOrBefore(c, at), kFrames)) << "channel " << c;
        EXPECT_TRUE(cap_.buffers[c].front().discont);
    }

    // Rate 16 in key-unit trick mode: IDRs only, forward, every 4th of them.
    Seek(16.0, GST_SEEK_FLAG_TRICKMODE_KEY_UNITS, 0);
    for (int c = 0; c < kChannels; ++c) {
        SCOPED_TRACE("channel " + std::to_string(c));
        const std::vector<int>& idr = g_streams[static_cast<size_t>(c)].idr;
        std::vector<int> ordinals;
        for (const Seen& s : cap_.buffers[c]) {
            EXPECT_FALSE(s.delta);
            ordinals.push_back(static_cast<int>(std::find(idr.begin(), idr.end(), s.unit) - idr.begin()));
        }
        std::string got;
        for (int o : ordinals) got += " " + std::to_string(o);
        SCOPED_TRACE("key frame ordinals:" + got);
        ASSERT_GE(ordinals.size(), 2u);
        EXPECT_LT(ordinals.front(), static_cast<int>(idr.size()));
        // The store's last step stops at the last I-frame instead of passing it.
        for (size_t i = 1; i < ordinals.size(); ++i) {
            const bool toLast = i + 1 == ordinals.size() && ordinals[i] == static_cast<int>(idr.size()) - 1;
            const int step = ordinals[i] - ordinals[i - 1];
            EXPECT_TRUE(toLast ? step >= 1 && step <= 4 : step == 4) << "step " << step;
        }
    }

    // Rate -16 from the end: IDRs only, backward.
    Seek(-16.0, GST_SEEK_FLAG_TRICKMODE_KEY_UNITS, 0);
    for (int c = 0; c < kChannels; ++c) {
        const std::vector<int> units = Units(c);
        ASSERT_GE(units.size(), 2u) << "channel " << c;
        EXPECT_TRUE(std::is_sorted(units.rbegin(), units.rend())) << "channel " << c;
        for (const Seen& s : cap_.buffers[c]) EXPECT_FALSE(s.delta);
    }

    // Rate 1 again: every frame from the key frame at or before the time.
    const GstClockTime resume = 4000 * GST_MSECOND;
    Seek(1.0, GST_SEEK_FLAG_NONE, resume);
    for (int c = 0; c < kChannels; ++c) EXPECT_EQ(Units(c), Range(KeyAtOrBefore(c, resume), kFrames)) << c;
}

// A group the element cannot play: an error on the bus naming the cause,
// the pipeline does not start, and nothing is left in shared memory.
struct BadGroup {
    const char* name;
    std::string (*prepare)(const std::string& copy);  // returns the element's extra properties
    const char* message;
};

void PrintTo(const BadGroup& b, std::ostream* os) { *os << b.name; }

void Overwrite(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

const BadGroup kBadGroups[] = {
    {"MissingFolder", [](const std::string& copy) { return "location=" + copy + "/absent"; },
     "cannot open the recording"},
    {"DamagedManifest",
     [](const std::string& copy) {
         Overwrite(copy + "/group.json", "{ not json");
         return std::string();
     },
     "cannot open the recording"},
    {"DamagedSegment",
     [](const std::string& copy) {
         const std::string seg = copy + "/ch01/type0/seg0000.pack";  // every byte: no pack left
         Overwrite(seg, std::string(std::filesystem::file_size(seg), '\x5a'));
         return std::string();
     },
     "channel 1"},
    {"UnrecordedChannel", [](const std::string&) { return std::string("channels=0,5"); }, "5 not recorded"},
    {"BadChannelSet", [](const std::string&) { return std::string("channels=0-40"); }, "Channel set"},
};

class MsspSrcBadGroup : public MsspSrc, public testing::WithParamInterface<BadGroup> {};

TEST_P(MsspSrcBadGroup, ErrorOnTheBusAndNothingLeft) {
    const std::string copy = g_dir + "/bad_" + GetParam().name;
    std::string out;
    ASSERT_EQ(msspt::Shell("rm -rf " + copy + " && cp -r " + g_dir + "/group " + copy, &out), 0) << out;
    const std::string props = GetParam().prepare(copy);
    GstElement* p = gst_parse_launch(("msspsrc name=s location=" + copy + " shm-name=" + shm_ + " " + props +
                                      " s.src_0 ! queue ! fakesink")
                                         .c_str(),
                                     nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(gst_element_set_state(p, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    pipeline_ = p;
    EXPECT_NE(WaitEnd().find(GetParam().message), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, MsspSrcBadGroup, testing::ValuesIn(kBadGroups),
                         [](const testing::TestParamInfo<BadGroup>& i) { return std::string(i.param.name); });

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

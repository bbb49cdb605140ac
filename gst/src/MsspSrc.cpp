// msspsrc: the element and its properties, state changes, starting and
// stopping a run, class and instance set-up and the plugin. Its parts:
// MsspSrcPads.cpp (pads, pools, caps, the stream collection, EOS, loss
// reports, segments), MsspSrcTask.cpp (the streaming task), MsspSrcSeek.cpp
// (seeks, live switches, queries), MsspSrcUri.cpp (the URI handler); their
// shared state in MsspSrcPriv.h. The engine and the recording store are
// reached only through the host layer (mssphost::Session,
// mssphost::Presentation).
#include <algorithm>
#include <memory>
#include <string>

#include "MsspSrcPriv.h"

namespace msspsrc {
GST_DEBUG_CATEGORY(mssp_src_debug);  // the element's own, every part's default
}  // namespace msspsrc

// The engine's own diagnostics, which it would otherwise print on standard
// output: failures as warnings, the rest as info and debug.
GST_DEBUG_CATEGORY_STATIC(mssp_engine_debug);

G_DEFINE_TYPE_WITH_CODE(GstMsspSrc, gst_mssp_src, GST_TYPE_ELEMENT,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER, gst_mssp_src_uri_handler_init))

using namespace msspsrc;

namespace {

constexpr guint kMaxStallSec = 3600;

enum {
    PROP_0,
    PROP_LOCATION,
    PROP_CHANNELS,
    PROP_STREAM_TYPE,
    PROP_START_TIME,
    PROP_RING_SIZE,
    PROP_NODES,
    PROP_STREAMS_PER_THREAD,
    PROP_SHM_NAME,
    PROP_G711_LAW,
    PROP_STALL_TIMEOUT,
    PROP_PRESENT_BY,
};

GstStaticPadTemplate kVideoTemplate = GST_STATIC_PAD_TEMPLATE(
    "src_%u", GST_PAD_SRC, GST_PAD_SOMETIMES,
    GST_STATIC_CAPS("video/x-h264, stream-format=(string)byte-stream, alignment=(string)au; "
                    "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au; "
                    "application/x-mssp-frame, media=(string)video"));
GstStaticPadTemplate kAudioTemplate =
    GST_STATIC_PAD_TEMPLATE("audio_%u", GST_PAD_SRC, GST_PAD_SOMETIMES,
                            GST_STATIC_CAPS("audio/x-alaw, rate=(int)8000, channels=(int)1; "
                                            "audio/x-mulaw, rate=(int)8000, channels=(int)1"));

GType PresentByType() {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue kValues[] = {
            {kByTime, "Recorded time: channels in step by recorded time of day, PTS from the group's first frame",
             "time"},
            {kByTimestamp, "Timestamp: as the engine delivers, PTS from the group's first timestamp", "timestamp"},
            {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("GstMsspPresentBy", kValues));
    }
    return type;
}

GType G711LawType() {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue kValues[] = {{kAlaw, "A-law (audio/x-alaw)", "alaw"},
                                             {kMulaw, "mu-law (audio/x-mulaw)", "mulaw"},
                                             {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("GstMsspG711Law", kValues));
    }
    return type;
}

// ---------------------------------------------------------------------------
// Starting and stopping a run.

bool Fail(GstMsspSrc* self, GQuark domain, gint code, const std::string& message) {
    gst_element_message_full(GST_ELEMENT(self), GST_MESSAGE_ERROR, domain, code, g_strdup(message.c_str()),
                             nullptr, __FILE__, GST_FUNCTION, __LINE__);
    return false;
}

// By recorded time, the duration runs to the latest recorded frame of any
// channel: its timestamps since its first key frame, recorded at whole
// seconds after the group's first.
guint64 RecordedSpanMs(Priv& p) {
    guint64 span = 0;
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        if (c.keys.empty() || c.lastPts < c.keys.front().pts || c.lastPts > mssphost::kMaxTimestampMs) continue;
        const int64_t lead = recstore::DateTimeToSeconds(c.keys.front().time) * 1000 - p.originMs;
        span = std::max(span, c.lastPts - c.keys.front().pts + static_cast<guint64>(std::max<int64_t>(0, lead)));
    }
    return span;
}

// The engine's log hook: user is the element whose parser wrote the line,
// null for lines of no parser (the process-wide hook). Called from the
// engine's reader threads, the streaming thread and the application's.
void EngineLine(void* user, int level, const char* line) {
    GObject* object = static_cast<GObject*>(user);
    if (level == MSSP_LOG_ERROR) {
        GST_CAT_WARNING_OBJECT(mssp_engine_debug, object, "%s", line);
    } else if (level == MSSP_LOG_INFO) {
        GST_CAT_INFO_OBJECT(mssp_engine_debug, object, "%s", line);
    } else {
        GST_CAT_DEBUG_OBJECT(mssp_engine_debug, object, "%s", line);
    }
}

bool StartRun(GstMsspSrc* self) {
    Priv& p = P(self);
    GST_OBJECT_LOCK(self);
    const Settings s = p.settings;
    GST_OBJECT_UNLOCK(self);
    const GQuark res = GST_RESOURCE_ERROR;
    if (s.location.empty()) return Fail(self, res, GST_RESOURCE_ERROR_NOT_FOUND, "No recording group given (location)");
    // Numbers are taken as given and refused here when out of range, never
    // replaced by a default.
    const struct {
        const char* name;
        long long value, lo, hi;
    } numbers[] = {
        {"stream-type", s.streamType, 0, 2},
        {"ring-size", s.ringBytes, mssphost::kMinRingBytes, mssphost::kMaxRingBytes},
        {"nodes", s.nodes, mssphost::kMinNodes, mssphost::kMaxNodes},
        {"streams-per-thread", s.streamsPerThread, 0, mssphost::kMaxStreamsPerThread},
        {"stall-timeout", s.stallSec, 1, kMaxStallSec},
    };
    for (const auto& n : numbers) {
        if (n.value < n.lo || n.value > n.hi)
            return Fail(self, res, GST_RESOURCE_ERROR_SETTINGS,
                        std::string(n.name) + "=" + std::to_string(n.value) + " is not valid: give " +
                            std::to_string(n.lo) + ".." + std::to_string(n.hi));
    }
    mssphost::Options o;
    o.groupDir = s.location;
    o.streamType = s.streamType;
    o.ringBytes = s.ringBytes;
    o.nodes = s.nodes;
    o.streamsPerThread = s.streamsPerThread;
    o.shmName = s.shmName;
    o.logFn = EngineLine;  // the parser's lines name this element
    o.logUser = self;
    o.everyChannel = false;  // a channel without recording is reported and ends; the others play
    if (!s.channels.empty() && !mssphost::ParseChannelSet(s.channels, &o.channels))
        return Fail(self, res, GST_RESOURCE_ERROR_SETTINGS,
                    "Channel set \"" + s.channels + "\" is not valid: give channels 0..31 as \"0-3\", \"0,2,5\" or 0xF");
    mssphost::DateTime start{};
    bool timeOfDay = false;
    if (!s.startTime.empty() && !mssphost::ParseStartTime(s.startTime, &start, &timeOfDay))
        return Fail(self, res, GST_RESOURCE_ERROR_SETTINGS,
                    "Start time \"" + s.startTime + "\" is not valid: give YYYY-MM-DD HH:MM:SS or HH:MM:SS");
    std::string error;
    p.session = mssphost::Session::Open(o, &error);
    if (!p.session)
        return Fail(self, res,
                    error.rfind("cannot open", 0) == 0 ? GST_RESOURCE_ERROR_NOT_FOUND : GST_RESOURCE_ERROR_SETTINGS,
                    error);
    p.byTime = s.presentBy == kByTime;
    p.stage.SetByTime(p.byTime);
    p.stage.Reposition(false);
    // The group's first recorded time: the earliest first key frame's
    // date and time (whole seconds, as recorded).
    bool haveOrigin = false;
    for (const mssphost::ChannelDesc& c : p.session->Channels()) {
        if (c.keys.empty()) continue;
        const int64_t ms = recstore::DateTimeToSeconds(c.keys.front().time) * 1000;
        p.originMs = haveOrigin ? std::min(p.originMs, ms) : ms;
        haveOrigin = true;
    }
    ApplyShifts(self);
    guint64 startMs = 0;
    if (!s.startTime.empty()) {
        if (timeOfDay) std::copy(p.session->FirstTime().begin(), p.session->FirstTime().begin() + 3, start.begin());
        const int64_t at = recstore::DateTimeToSeconds(start) * 1000 - p.originMs;
        startMs = std::min(p.byTime ? static_cast<guint64>(std::max<int64_t>(0, at)) : p.session->StreamMsAt(start),
                           p.session->DurationMs());
    }
    if (!p.session->Start(startMs, &error)) {
        p.session.reset();
        return Fail(self, GST_STREAM_ERROR, GST_STREAM_ERROR_DEMUX, error);
    }
    p.stallSec = s.stallSec;
    uint32_t frameMs = 0;  // the duration runs to the last frame's end
    for (const mssphost::ChannelDesc& c : p.session->Channels()) frameMs = std::max(frameMs, c.frameMs);
    p.durationMs = std::min((p.byTime ? RecordedSpanMs(p) : p.session->DurationMs()) + frameMs, kMaxMs);
    p.positionMs = startMs;
    p.targetMs = startMs;
    p.rate = 1.0;
    p.seekFlags = GST_SEEK_FLAG_NONE;
    p.segmentDone = false;
    p.stop = GST_CLOCK_TIME_NONE;
    p.seqnum = gst_util_seqnum_next();
    p.segmentPending = true;
    p.flushing = false;
    p.lastFrameUs = g_get_monotonic_time();
    PreparePads(self, s.law, false);
    // A channel that cannot be played ends at once (its pad gets EOS); the
    // others play.
    const uint32_t failed = p.session->FailedChannels();
    for (OutPad& o : p.pads) {
        const mssphost::ChannelDesc* c = p.session->FindChannel(o.channel);
        o.dead = (failed >> o.channel & 1) || c->keys.empty();
        if (!o.dead || o.audio) continue;
        GST_ELEMENT_WARNING(self, STREAM, DEMUX,
                            ("Channel %d of %s cannot be played: %s", o.channel, s.location.c_str(),
                             c->keys.empty() ? "it has no recording with a key frame (missing or empty)"
                                             : "its recording could not be opened (damaged)"),
                            ("the other channels play"));
    }
    p.running = true;
    return gst_task_start(p.task) == TRUE;
}

void StopRun(GstMsspSrc* self) {
    Priv& p = P(self);
    p.flushing = true;
    for (OutPad& o : p.pads) gst_pad_set_active(o.pad, FALSE);  // a push in progress returns
    gst_task_stop(p.task);
    g_rec_mutex_lock(&p.streamLock);
    g_rec_mutex_unlock(&p.streamLock);
    gst_task_join(p.task);
    p.stage.Clear();  // its buffers go back to the pools before these go
    for (OutPad& o : p.pads) ReleasePool(o);  // the pads stay for the next run
    gst_flow_combiner_reset(p.combiner);
    p.session.reset();  // stops the readers, removes the shared memory
    p.running = false;
}

// ---------------------------------------------------------------------------
// GObject and GstElement plumbing.

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstMsspSrc* self = GST_MSSP_SRC(object);
    Settings& s = P(self).settings;
    if (GST_STATE(self) > GST_STATE_READY && id == PROP_STREAM_TYPE) {
        const int type = g_value_get_int(value);
        if (type < 0 || type > 2) {
            GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS, ("stream-type=%d is not valid: give 0..2", type), (nullptr));
            return;
        }
        GST_OBJECT_LOCK(self);
        const bool change = s.streamType != type;
        s.streamType = type;
        GST_OBJECT_UNLOCK(self);
        if (change) SwitchLive(self, type, 0);
        return;
    }
    if (GST_STATE(self) > GST_STATE_READY && id == PROP_CHANNELS) {
        const gchar* text = g_value_get_string(value);
        uint32_t mask = 0;
        if (!text || !mssphost::ParseChannelSet(text, &mask) || mask == 0) {
            GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                                ("Channel set \"%s\" is not valid while playing: give channels 0..31 as \"0-3\", "
                                 "\"0,2,5\" or 0xF", text ? text : ""), (nullptr));
            return;
        }
        if (SwitchLive(self, -1, mask)) {
            GST_OBJECT_LOCK(self);
            s.channels = text;
            GST_OBJECT_UNLOCK(self);
        }
        return;
    }
    if (GST_STATE(self) > GST_STATE_READY) {
        GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS, ("Property %s can only be changed in the NULL or READY state",
                                                       pspec->name), (nullptr));
        return;
    }
    auto str = [&](std::string& field) {
        const gchar* v = g_value_get_string(value);
        field = v ? v : "";
    };
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_LOCATION: str(s.location); break;
        case PROP_CHANNELS: str(s.channels); break;
        case PROP_STREAM_TYPE: s.streamType = g_value_get_int(value); break;
        case PROP_START_TIME: str(s.startTime); break;
        case PROP_RING_SIZE: s.ringBytes = g_value_get_int(value); break;
        case PROP_NODES: s.nodes = g_value_get_int(value); break;
        case PROP_STREAMS_PER_THREAD: s.streamsPerThread = g_value_get_int(value); break;
        case PROP_SHM_NAME: str(s.shmName); break;
        case PROP_G711_LAW: s.law = g_value_get_enum(value); break;
        case PROP_STALL_TIMEOUT: s.stallSec = g_value_get_uint(value); break;
        case PROP_PRESENT_BY: s.presentBy = g_value_get_enum(value); break;
        default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    GstMsspSrc* self = GST_MSSP_SRC(object);
    const Settings& s = P(self).settings;
    GST_OBJECT_LOCK(self);
    switch (id) {
        case PROP_LOCATION: g_value_set_string(value, s.location.c_str()); break;
        case PROP_CHANNELS: g_value_set_string(value, s.channels.c_str()); break;
        case PROP_STREAM_TYPE: g_value_set_int(value, s.streamType); break;
        case PROP_START_TIME: g_value_set_string(value, s.startTime.c_str()); break;
        case PROP_RING_SIZE: g_value_set_int(value, s.ringBytes); break;
        case PROP_NODES: g_value_set_int(value, s.nodes); break;
        case PROP_STREAMS_PER_THREAD: g_value_set_int(value, s.streamsPerThread); break;
        case PROP_SHM_NAME: g_value_set_string(value, s.shmName.c_str()); break;
        case PROP_G711_LAW: g_value_set_enum(value, s.law); break;
        case PROP_STALL_TIMEOUT: g_value_set_uint(value, s.stallSec); break;
        case PROP_PRESENT_BY: g_value_set_enum(value, s.presentBy); break;
        default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
    GstMsspSrc* self = GST_MSSP_SRC(element);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && !StartRun(self)) {
        StopRun(self);
        return GST_STATE_CHANGE_FAILURE;
    }
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) StopRun(self);
    return GST_ELEMENT_CLASS(gst_mssp_src_parent_class)->change_state(element, transition);
}

gboolean SendEvent(GstElement* element, GstEvent* event) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_SELECT_STREAMS) {
        const bool ok = SelectStreams(GST_MSSP_SRC(element), event);
        gst_event_unref(event);
        return ok;
    }
    if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
        const bool ok = DoSeek(GST_MSSP_SRC(element), event);
        gst_event_unref(event);
        return ok;
    }
    return GST_ELEMENT_CLASS(gst_mssp_src_parent_class)->send_event(element, event);
}

void Finalize(GObject* object) {
    GstMsspSrc* self = GST_MSSP_SRC(object);
    Priv& p = P(self);
    gst_object_unref(p.task);
    gst_flow_combiner_free(p.combiner);
    if (p.collection) gst_object_unref(p.collection);
    g_rec_mutex_clear(&p.streamLock);
    delete self->priv;
    G_OBJECT_CLASS(gst_mssp_src_parent_class)->finalize(object);
}

constexpr GParamFlags kRwReady =
    static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);

}  // namespace

static void gst_mssp_src_class_init(GstMsspSrcClass* klass) {
    GObjectClass* gobject = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gobject->set_property = SetProperty;
    gobject->get_property = GetProperty;
    gobject->finalize = Finalize;
    g_object_class_install_property(
        gobject, PROP_LOCATION,
        g_param_spec_string("location", "Location", "Folder of the recording group (holds group.json)", "", kRwReady));
    g_object_class_install_property(
        gobject, PROP_CHANNELS,
        g_param_spec_string("channels", "Channels",
                            "Channels to play: \"0-3\", \"0,2,5\" or a mask 0xF (empty: every recorded channel); "
                            "while playing, as many as the run started with",
                            "", static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                         GST_PARAM_MUTABLE_PLAYING)));
    g_object_class_install_property(
        gobject, PROP_STREAM_TYPE,
        g_param_spec_int("stream-type", "Stream type",
                         "Recorded stream to play: 0 main, 1 sub, 2 third (switches at the position while playing)",
                         G_MININT, G_MAXINT, 0,
                         static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                  GST_PARAM_MUTABLE_PLAYING)));
    g_object_class_install_property(
        gobject, PROP_START_TIME,
        g_param_spec_string("start-time", "Start time",
                            "Where to start: \"YYYY-MM-DD HH:MM:SS\", or \"HH:MM:SS\" on the recording's first day "
                            "(empty: the recording's start)",
                            "", kRwReady));
    g_object_class_install_property(
        gobject, PROP_RING_SIZE,
        g_param_spec_int("ring-size", "Ring size",
                         "Bytes of each channel's frame ring in shared memory (262144..268435456)", G_MININT,
                         G_MAXINT, kDefaultRing, kRwReady));
    g_object_class_install_property(gobject, PROP_NODES,
                                    g_param_spec_int("nodes", "Frame nodes",
                                                     "Frames each channel's ring can hold (2..65536)", G_MININT,
                                                     G_MAXINT, kDefaultNodes, kRwReady));
    g_object_class_install_property(
        gobject, PROP_STREAMS_PER_THREAD,
        g_param_spec_int("streams-per-thread", "Streams per thread",
                         "Channels each reader thread serves (0: one thread for all; at most 32)", G_MININT, G_MAXINT, 1,
                         kRwReady));
    g_object_class_install_property(
        gobject, PROP_SHM_NAME,
        g_param_spec_string("shm-name", "Shared-memory name",
                            "Base name of the engine's shared memory (empty: one unique to the process)", "",
                            kRwReady));
    g_object_class_install_property(gobject, PROP_G711_LAW,
                                    g_param_spec_enum("g711-law", "G.711 law", "Companding law of recorded audio",
                                                      G711LawType(), kAlaw, kRwReady));
    g_object_class_install_property(
        gobject, PROP_STALL_TIMEOUT,
        g_param_spec_uint("stall-timeout", "Stall timeout",
                          "Seconds without a frame while streams are live before an error (1..3600)", 0,
                          G_MAXUINT, kDefaultStallSec, kRwReady));
    g_object_class_install_property(
        gobject, PROP_PRESENT_BY,
        g_param_spec_enum("present-by", "Present by",
                          "time: every pad in step by recorded time of day (each recorder's clock may start apart "
                          "or drift), buffers pushed in recorded-time order; timestamp: as the engine delivers, by "
                          "the recorders' timestamps. Either way each buffer carries its recorded date and time as "
                          "a GstReferenceTimestampMeta (timestamp/x-mssp-recorded, ns since 1970 of the recorder's "
                          "date and time read as UTC)",
                          PresentByType(), kByTime, kRwReady));
    gst_element_class_add_static_pad_template(element, &kVideoTemplate);
    gst_element_class_add_static_pad_template(element, &kAudioTemplate);
    gst_element_class_set_static_metadata(
        element, "MSSP recording source", "Source/Video/Audio",
        "Plays a recorder's recording group through the MSSP engine, channels in step, one pad per channel",
        "MSSP developers");
    element->change_state = ChangeState;
    element->send_event = SendEvent;
    GST_DEBUG_CATEGORY_INIT(mssp_src_debug, "msspsrc", 0, "MSSP recording source");
}

static void gst_mssp_src_init(GstMsspSrc* self) {
    self->priv = new Priv();
    Priv& p = *self->priv;
    g_rec_mutex_init(&p.streamLock);
    p.task = gst_task_new(Loop, self, nullptr);
    gst_object_set_name(GST_OBJECT(p.task), "msspsrc:task");
    gst_task_set_lock(p.task, &p.streamLock);
    p.combiner = gst_flow_combiner_new();
    GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(mssp_engine_debug, "mssp", 0, "MSSP engine diagnostics");
    // Lines of no element (a parser being built, the frame-format checks) go
    // to the same category, unless the application took them itself.
    if (MSSP_GetLogHook(nullptr) == nullptr) MSSP_SetLogHook(EngineLine, nullptr);
    // A rank, so that playbin and uridecodebin choose it for mssp:// URIs.
    return gst_element_register(plugin, "msspsrc", GST_RANK_PRIMARY, GST_TYPE_MSSP_SRC);
}

// The plugin framework names the package through PACKAGE.
#define PACKAGE "mssp"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, mssp, "MSSP multi-channel recording playback", plugin_init,
                  MSSP_VERSION_TEXT, "Proprietary", "mssp", "MSSP")

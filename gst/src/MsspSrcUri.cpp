// msspsrc as a URI handler: mssp:// followed by the recording group's
// absolute path, properties as query parameters
// (mssp:///srv/rec/group7?channels=0-3&start-time=10:00:00), so that
// playbin, uridecodebin, gst-play-1.0 and gst-discoverer-1.0 reach it.
#include <string>
#include <vector>

#include "MsspSrc.h"

namespace {

constexpr const char* kScheme = "mssp";

GstURIType UriType(GType) { return GST_URI_SRC; }

const gchar* const* Protocols(GType) {
    static const gchar* const kProtocols[] = {kScheme, nullptr};
    return kProtocols;
}

// The group's path, then the channel set when one is chosen.
gchar* GetUri(GstURIHandler* handler) {
    gchar* location = nullptr;
    gchar* channels = nullptr;
    g_object_get(handler, "location", &location, "channels", &channels, nullptr);
    GstUri* uri = gst_uri_new(kScheme, nullptr, nullptr, GST_URI_NO_PORT, location ? location : "", nullptr, nullptr);
    if (channels && *channels) gst_uri_set_query_value(uri, "channels", channels);
    gchar* text = gst_uri_to_string(uri);
    gst_uri_unref(uri);
    g_free(location);
    g_free(channels);
    return text;
}

gboolean Refuse(GError** error, const std::string& why) {
    g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "%s", why.c_str());
    return FALSE;
}

// Every query parameter must name a property and hold a value of its type;
// nothing is set unless the whole URI is good.
gboolean SetUri(GstURIHandler* handler, const gchar* text, GError** error) {
    GstElement* element = GST_ELEMENT(handler);
    if (GST_STATE(element) > GST_STATE_READY) return Refuse(error, "the URI can only be changed in the NULL or READY state");
    GstUri* uri = gst_uri_from_string(text);
    if (!uri || g_strcmp0(gst_uri_get_scheme(uri), kScheme) != 0) {
        if (uri) gst_uri_unref(uri);
        return Refuse(error, std::string("not an mssp:// URI: ") + text);
    }
    const gchar* host = gst_uri_get_host(uri);
    gchar* path = gst_uri_get_path(uri);
    const bool absolute = path && path[0] == '/' && (!host || !*host);
    struct Param {
        GParamSpec* spec;
        GValue value;
    };
    std::vector<Param> params;
    std::string why;
    if (!absolute) why = std::string("the URI must hold the group's absolute path, as mssp:///srv/rec/group: ") + text;
    GHashTable* query = gst_uri_get_query_table(uri);
    if (query && why.empty()) {
        GHashTableIter it;
        gpointer key = nullptr, value = nullptr;
        g_hash_table_iter_init(&it, query);
        while (why.empty() && g_hash_table_iter_next(&it, &key, &value)) {
            const gchar* name = static_cast<const gchar*>(key);
            GParamSpec* spec = g_object_class_find_property(G_OBJECT_GET_CLASS(handler), name);
            if (!spec || !(spec->flags & G_PARAM_WRITABLE) || g_str_equal(name, "location") ||
                g_str_equal(name, "name") || g_str_equal(name, "parent")) {
                why = std::string("unknown URI parameter \"") + name + "\"";
                break;
            }
            Param p{spec, G_VALUE_INIT};
            g_value_init(&p.value, spec->value_type);
            if (!gst_value_deserialize(&p.value, value ? static_cast<const gchar*>(value) : "")) {
                why = std::string("URI parameter ") + name + "=" + (value ? static_cast<const gchar*>(value) : "") +
                      " is not a value of its type";
                g_value_unset(&p.value);
                break;
            }
            params.push_back(p);
        }
    }
    if (why.empty()) {
        g_object_set(handler, "location", path, nullptr);
        for (Param& p : params) g_object_set_property(G_OBJECT(handler), p.spec->name, &p.value);
    }
    for (Param& p : params) g_value_unset(&p.value);
    if (query) g_hash_table_unref(query);
    g_free(path);
    gst_uri_unref(uri);
    return why.empty() ? TRUE : Refuse(error, why);
}

}  // namespace

void gst_mssp_src_uri_handler_init(gpointer iface, gpointer) {
    auto* uri = static_cast<GstURIHandlerInterface*>(iface);
    uri->get_type = UriType;
    uri->get_protocols = Protocols;
    uri->get_uri = GetUri;
    uri->set_uri = SetUri;
}

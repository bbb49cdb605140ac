// Recording group manifest: parsing and checking `group.json`, and writing
// it. Entries that cannot be used are reported and left out, so that one
// bad line does not hide the rest of a recording.
#include "RecGroup.h"

#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace recstore {
namespace {

bool ReadSegment(const Json::Value& v, uint8_t channel, uint8_t type, SegmentDesc* seg) {
    const char* where = "segment entry";
    if (!v.isObject() || !v["number"].isUInt() || !v["start"].isString()) {
        Log("%s of channel %u type %u: needs an unsigned \"number\" and a \"start\" text; left out", where, channel,
            type);
        return false;
    }
    seg->number = v["number"].asUInt();
    if (!ParseDateTime(v["start"].asString(), &seg->start)) {
        Log("segment %u of channel %u type %u: start \"%s\" is not a date and time; left out", seg->number,
            channel, type, v["start"].asString().c_str());
        return false;
    }
    seg->audio = v.get("audio", false).isBool() && v.get("audio", false).asBool();
    const std::string format = v.get("packFormat", "new").isString() ? v.get("packFormat", "new").asString() : "";
    if (!ParseFormatName(format, &seg->format)) {
        Log("segment %u of channel %u type %u: pack format \"%s\" unknown; left out", seg->number, channel, type,
            format.c_str());
        return false;
    }
    seg->file = v["file"].isString() ? v["file"].asString() : DefaultSegmentFile(channel, type, seg->number);
    if (!SafeRelativePath(seg->file)) {
        Log("segment %u of channel %u type %u: file \"%s\" leaves the group directory; left out", seg->number,
            channel, type, seg->file.c_str());
        return false;
    }
    return true;
}

bool ReadStream(const Json::Value& v, StreamDesc* stream) {
    if (!v.isObject() || !v["channel"].isUInt() || !v["streamType"].isUInt() ||
        v["channel"].asUInt() >= static_cast<unsigned>(kMaxChannels) ||
        v["streamType"].asUInt() >= static_cast<unsigned>(kMaxStreamTypes)) {
        Log("stream entry without a channel 0..31 and a stream type 0..2; left out");
        return false;
    }
    stream->channel = static_cast<uint8_t>(v["channel"].asUInt());
    stream->streamType = static_cast<uint8_t>(v["streamType"].asUInt());
    const Json::Value& segs = v["segments"];
    if (!segs.isArray()) {
        Log("channel %u type %u: \"segments\" is not a list; left out", stream->channel, stream->streamType);
        return false;
    }
    for (const Json::Value& s : segs) {
        SegmentDesc seg;
        if (ReadSegment(s, stream->channel, stream->streamType, &seg)) stream->segments.push_back(seg);
    }
    std::stable_sort(stream->segments.begin(), stream->segments.end(),
                     [](const SegmentDesc& a, const SegmentDesc& b) { return a.number < b.number; });
    for (size_t i = 1; i < stream->segments.size();) {
        if (stream->segments[i].number == stream->segments[i - 1].number) {
            Log("channel %u type %u: segment number %u listed twice; the second is left out", stream->channel,
                stream->streamType, stream->segments[i].number);
            stream->segments.erase(stream->segments.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    return true;
}

}  // namespace

std::string DefaultSegmentFile(uint8_t channel, uint8_t streamType, uint32_t number) {
    char path[64];
    std::snprintf(path, sizeof(path), "ch%02u/type%u/seg%04u.pack", channel, streamType, number);
    return path;
}

bool SafeRelativePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part == "..") return false;
    }
    return true;
}

bool LoadManifest(const std::string& dir, GroupDesc* group, std::string* error) {
    const std::string path = dir + "/" + kManifestName;
    std::string why;
    const int fd = OpenRegularFile(path, nullptr, &why);
    if (fd < 0) {
        if (error) *error = errno == ENOENT ? "cannot open " + path + ": " + std::strerror(ENOENT) : why;
        return false;
    }
    std::string text;
    char buf[4096];
    ssize_t got;
    while ((got = read(fd, buf, sizeof(buf))) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) text.append(buf, static_cast<size_t>(got));
    }
    close(fd);
    std::istringstream in(text);
    Json::CharReaderBuilder builder;
    Json::Value root;
    std::string parseError;
    if (!Json::parseFromStream(builder, in, &root, &parseError)) {
        if (error) *error = path + " is not valid JSON: " + parseError;
        return false;
    }
    if (!root.isObject() || !root["version"].isInt() || root["version"].asInt() != kManifestVersion ||
        !root["streams"].isArray()) {
        if (error) *error = path + " is not a recording group manifest of version 1";
        return false;
    }
    GroupDesc g;
    g.groupId = root["groupId"].isUInt() ? root["groupId"].asUInt() : 0;
    for (const Json::Value& s : root["streams"]) {
        StreamDesc stream;
        if (!ReadStream(s, &stream)) continue;
        const bool duplicate = std::any_of(g.streams.begin(), g.streams.end(), [&](const StreamDesc& o) {
            return o.channel == stream.channel && o.streamType == stream.streamType;
        });
        if (duplicate) {
            Log("channel %u type %u listed twice; the second is left out", stream.channel, stream.streamType);
            continue;
        }
        g.streams.push_back(std::move(stream));
    }
    *group = std::move(g);
    return true;
}

bool SaveManifest(const std::string& dir, const GroupDesc& group, std::string* error) {
    Json::Value root(Json::objectValue);
    root["kind"] = "mssp-recording-group";
    root["version"] = kManifestVersion;
    root["groupId"] = group.groupId;
    Json::Value streams(Json::arrayValue);
    for (const StreamDesc& s : group.streams) {
        Json::Value stream(Json::objectValue);
        stream["channel"] = s.channel;
        stream["streamType"] = s.streamType;
        Json::Value segs(Json::arrayValue);
        for (const SegmentDesc& seg : s.segments) {
            Json::Value v(Json::objectValue);
            v["number"] = seg.number;
            v["start"] = FormatDateTime(seg.start);
            v["audio"] = seg.audio;
            v["packFormat"] = FormatName(seg.format);
            v["file"] = seg.file;
            segs.append(v);
        }
        stream["segments"] = segs;
        streams.append(stream);
    }
    root["streams"] = streams;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    const std::string text = Json::writeString(writer, root) + "\n";
    const std::string path = dir + "/" + kManifestName;
    const std::string tmp = path + ".tmp" + std::to_string(static_cast<long>(getpid()));
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text;
        if (!out.flush()) {
            if (error) *error = "cannot write " + tmp;
            unlink(tmp.c_str());
            return false;
        }
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace recstore

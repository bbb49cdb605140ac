// Recording group writer: segment files, their indexes as packs are
// appended, and the manifest. Runs on the recording tool's one thread.
#include "RecWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace recstore {

struct RecWriter::OpenSegment {
    OpenSegment(PackFormat f, const DateTime& start) : format(f), builder(f, start) {}
    int fd = -1;
    std::string path;
    uint64_t size = 0;
    PackFormat format;
    IndexBuilder builder;
};

bool MakeDirs(const std::string& path, std::string* error) {
    std::string partial;
    size_t from = 0;
    while (from <= path.size()) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create " + partial + ": " + std::strerror(errno);
            return false;
        }
        from = slash + 1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) *error = path + " is not a directory";
        return false;
    }
    return true;
}

RecWriter::RecWriter(std::string dir, uint32_t groupId) : dir_(std::move(dir)) { group_.groupId = groupId; }

RecWriter::~RecWriter() { Finish(nullptr); }

StreamDesc& RecWriter::Stream(uint8_t channel, uint8_t streamType) {
    for (StreamDesc& s : group_.streams) {
        if (s.channel == channel && s.streamType == streamType) return s;
    }
    group_.streams.push_back(StreamDesc{channel, streamType, {}});
    std::sort(group_.streams.begin(), group_.streams.end(), [](const StreamDesc& a, const StreamDesc& b) {
        return a.channel != b.channel ? a.channel < b.channel : a.streamType < b.streamType;
    });
    for (StreamDesc& s : group_.streams) {
        if (s.channel == channel && s.streamType == streamType) return s;
    }
    return group_.streams.back();  // not reached
}

std::string RecWriter::SegmentPath(uint8_t channel, uint8_t streamType, uint32_t number) const {
    for (const StreamDesc& s : group_.streams) {
        if (s.channel != channel || s.streamType != streamType) continue;
        for (const SegmentDesc& seg : s.segments) {
            if (seg.number == number) return dir_ + "/" + seg.file;
        }
    }
    return "";
}

bool RecWriter::BeginSegment(uint8_t channel, uint8_t streamType, const DateTime& start, bool audio,
                             PackFormat format, std::string* error) {
    if (channel >= kMaxChannels || streamType >= kMaxStreamTypes || !ValidDateTime(start)) {
        if (error) *error = "channel, stream type or start date out of range";
        return false;
    }
    if (!EndSegment(channel, streamType, error)) return false;
    StreamDesc& stream = Stream(channel, streamType);
    const uint32_t number = stream.segments.empty() ? 0 : stream.segments.back().number + 1;
    SegmentDesc seg{number, start, audio, format, DefaultSegmentFile(channel, streamType, number)};
    const std::string path = dir_ + "/" + seg.file;
    if (!MakeDirs(path.substr(0, path.rfind('/')), error)) return false;
    auto open = std::make_unique<OpenSegment>(format, start);
    open->path = path;
    open->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (open->fd < 0) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    unlink(IndexPathFor(path).c_str());  // a stale index of an earlier recording must not survive
    stream.segments.push_back(seg);
    open_[Key(channel, streamType)] = std::move(open);
    manifestDirty_ = true;
    return true;
}

bool RecWriter::Write(OpenSegment& seg, const uint8_t* data, size_t len, std::string* error) {
    size_t done = 0;
    while (done < len) {
        const ssize_t r = ::write(seg.fd, data + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (error) *error = "cannot write " + seg.path + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(r);
    }
    seg.size += len;
    return true;
}

bool RecWriter::AppendPack(uint8_t channel, uint8_t streamType, const uint8_t* data, size_t len,
                           std::string* error) {
    auto it = open_.find(Key(channel, streamType));
    if (it == open_.end()) {
        if (error) *error = "no open segment for this channel and stream type";
        return false;
    }
    OpenSegment& seg = *it->second;
    PackHeader h;
    const uint64_t at = seg.size;
    const bool decoded = DecodeHeader(seg.format, data, len, &h, nullptr) == Decode::kOk && h.packLen == len;
    if (!Write(seg, data, len, error)) return false;
    if (decoded) {
        int checksumOk = -1;
        if (h.hasChecksum)
            checksumOk = PayloadChecksum(data + h.headerLen + h.extLen, h.frameLen) == h.checksum ? 1 : 0;
        seg.builder.Add(at, h, checksumOk);
    }
    return true;
}

bool RecWriter::AppendRaw(uint8_t channel, uint8_t streamType, const uint8_t* data, size_t len,
                          std::string* error) {
    auto it = open_.find(Key(channel, streamType));
    if (it == open_.end()) {
        if (error) *error = "no open segment for this channel and stream type";
        return false;
    }
    return Write(*it->second, data, len, error);
}

bool RecWriter::EndSegment(uint8_t channel, uint8_t streamType, std::string* error) {
    auto it = open_.find(Key(channel, streamType));
    if (it == open_.end()) return true;
    std::unique_ptr<OpenSegment> seg = std::move(it->second);
    open_.erase(it);
    const bool closed = close(seg->fd) == 0;
    if (!closed) {
        if (error) *error = "cannot close " + seg->path + ": " + std::strerror(errno);
        return false;
    }
    return WriteIndexFile(IndexPathFor(seg->path), seg->builder.Finish(seg->size), error);
}

bool RecWriter::Finish(std::string* error) {
    bool ok = true;
    while (!open_.empty()) {
        const Key key = open_.begin()->first;
        ok = EndSegment(key.first, key.second, error) && ok;
    }
    if (!manifestDirty_) return ok;
    if (!MakeDirs(dir_, error) || !SaveManifest(dir_, group_, error)) return false;
    manifestDirty_ = false;
    return ok;
}

}  // namespace recstore

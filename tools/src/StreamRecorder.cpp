// Recording tool library: one channel's stream type turned into packs of
// either format, with its timestamps, dates and segments.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "PackTool.h"

namespace packtool {

StreamRecorder::StreamRecorder(recstore::RecWriter& writer, uint8_t channel, uint8_t streamType, PackFormat format,
                               const DateTime& start, uint64_t ptsOrigin, uint16_t width, uint16_t height,
                               uint8_t fps)
    : writer_(writer),
      format_(format),
      start_(start),
      startSec_(recstore::DateTimeToSeconds(start)),
      origin_(ptsOrigin),
      width_(width),
      height_(height),
      fps_(fps) {
    report_.channel = channel;
    report_.streamType = streamType;
}

DateTime StreamRecorder::TimeAt(int64_t elapsedMs) const {
    return recstore::SecondsToDateTime(startSec_ + elapsedMs / 1000);
}

bool StreamRecorder::BeginSegment(int64_t elapsedMs, bool audio, std::string* error) {
    if (!writer_.BeginSegment(report_.channel, report_.streamType, TimeAt(elapsedMs), audio, format_, error))
        return false;
    ++report_.segments;
    return true;
}

bool StreamRecorder::Video(bool iFrame, int64_t elapsedMs, const uint8_t* payload, size_t len, int refType,
                           int refIndex, std::string* error) {
    pack_.clear();
    const uint64_t pts = origin_ + static_cast<uint64_t>(elapsedMs);
    if (format_ == PackFormat::kNew) {
        packwriter::NewPack p;
        p.kind = iFrame ? packwriter::kIFrame : packwriter::kPFrame;
        p.channel = report_.channel;
        p.video = packwriter::VideoInfo{width_, height_, fps_};
        p.pts = pts;
        p.time = TimeAt(elapsedMs);
        if (refType == 2 || refType == 5)
            p.ref = packwriter::RefInfo{static_cast<uint8_t>(refType), static_cast<uint8_t>(refIndex)};
        packwriter::AppendNewPack(pack_, p, payload, len);
    } else {
        packwriter::OldVideoPack p;
        p.kind = iFrame ? packwriter::kIFrame : packwriter::kPFrame;
        p.channel = report_.channel;
        p.ptsUs = pts * 1000;
        p.time = TimeAt(elapsedMs);
        p.width = width_;
        p.height = height_;
        packwriter::AppendOldVideoPack(pack_, p, payload, len);
    }
    if (!writer_.AppendPack(report_.channel, report_.streamType, pack_.data(), pack_.size(), error)) return false;
    ++(iFrame ? report_.iFrames : report_.pFrames);
    return true;
}

bool StreamRecorder::Audio(int64_t elapsedMs, const uint8_t* payload, size_t len, std::string* error) {
    pack_.clear();
    if (format_ == PackFormat::kNew) {
        packwriter::NewPack p;
        p.kind = packwriter::kAudio;
        p.channel = report_.channel;
        p.video = packwriter::VideoInfo{0, 0, fps_};  // keeps the date at the bytes the player reads
        p.pts = origin_ + static_cast<uint64_t>(elapsedMs);
        p.time = TimeAt(elapsedMs);
        p.flag = true;
        packwriter::AppendNewPack(pack_, p, payload, len);
    } else {
        packwriter::AppendOldAudioPack(pack_, report_.channel, 0, payload, len);
    }
    if (!writer_.AppendPack(report_.channel, report_.streamType, pack_.data(), pack_.size(), error)) return false;
    ++report_.audio;
    return true;
}

bool StreamRecorder::End(std::string* error) { return writer_.EndSegment(report_.channel, report_.streamType, error); }

bool ReadFile(const std::string& path, std::vector<uint8_t>* data, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    data->clear();
    uint8_t buf[1 << 16];
    for (;;) {
        const ssize_t r = read(fd, buf, sizeof(buf));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            if (error) *error = "cannot read " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (r == 0) break;
        data->insert(data->end(), buf, buf + r);
    }
    close(fd);
    return true;
}

}  // namespace packtool

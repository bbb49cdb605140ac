// Recording group manifest: `group.json` at the top of a group directory
// lists, per channel and stream type, the recorded segments with their
// number, start date and time, audio flag, pack format and file. Read and
// written with jsoncpp; the directory layout is described in README.md.
#ifndef RECSTORE_REC_GROUP_H
#define RECSTORE_REC_GROUP_H

#include <cstdint>
#include <string>
#include <vector>

#include "PackScan.h"
#include "RecCommon.h"

namespace recstore {

constexpr const char* kManifestName = "group.json";
constexpr int kManifestVersion = 1;
constexpr int kMaxChannels = 32;
constexpr int kMaxStreamTypes = 3;

struct SegmentDesc {
    uint32_t number = 0;      // unique within its stream; segments play in number order
    DateTime start{};         // start date and time of the recording
    bool audio = false;       // the segment carries audio (MSSP_SEGATTR_AUDIO)
    PackFormat format = PackFormat::kNew;
    std::string file;         // relative to the group directory
};

struct StreamDesc {
    uint8_t channel = 0;      // 0..31
    uint8_t streamType = 0;   // 0 main, 1 sub, 2 third
    std::vector<SegmentDesc> segments;  // ascending numbers
};

struct GroupDesc {
    uint32_t groupId = 0;     // the recording group id the player opens with
    std::vector<StreamDesc> streams;
};

// "ch00/type0/seg0000.pack".
std::string DefaultSegmentFile(uint8_t channel, uint8_t streamType, uint32_t number);

// A path that stays inside the group directory: relative, no "..".
bool SafeRelativePath(const std::string& path);

// Reads `<dir>/group.json`. False with the reason when the file is missing
// or is not a manifest; single bad entries are left out with a message.
bool LoadManifest(const std::string& dir, GroupDesc* group, std::string* error);

// Writes `<dir>/group.json` atomically.
bool SaveManifest(const std::string& dir, const GroupDesc& group, std::string* error);

}  // namespace recstore

#endif  // RECSTORE_REC_GROUP_H

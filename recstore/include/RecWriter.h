// Recording group writer: the recording side of the store's directory
// format. Appends packs to segment files, builds each segment's I-frame
// index from the packs as they are written (the same decoding a scan uses,
// so an index written here equals a rebuilt one), and writes the manifest.
// Single-threaded: one writer per group directory.
#ifndef RECSTORE_REC_WRITER_H
#define RECSTORE_REC_WRITER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "RecGroup.h"
#include "RecIndex.h"

namespace recstore {

class RecWriter {
public:
    // Creates `dir` when needed. Nothing is written before BeginSegment.
    RecWriter(std::string dir, uint32_t groupId);
    ~RecWriter();  // as Finish, ignoring errors
    RecWriter(const RecWriter&) = delete;
    RecWriter& operator=(const RecWriter&) = delete;

    // Starts the next segment of a channel's stream type (numbers count up
    // from 0 per stream), ending the one that was open. False with the
    // reason when the file cannot be created.
    bool BeginSegment(uint8_t channel, uint8_t streamType, const DateTime& start, bool audio, PackFormat format,
                      std::string* error);
    // Appends one whole pack. A pack that does not decode is written all
    // the same (to record faults on purpose) but not indexed.
    bool AppendPack(uint8_t channel, uint8_t streamType, const uint8_t* data, size_t len, std::string* error);
    // Appends raw bytes (garbage between packs, for tests).
    bool AppendRaw(uint8_t channel, uint8_t streamType, const uint8_t* data, size_t len, std::string* error);
    // Ends the open segment: closes the file and writes its index.
    bool EndSegment(uint8_t channel, uint8_t streamType, std::string* error);
    // Ends every open segment and writes the manifest when segments were
    // begun since it was last written.
    bool Finish(std::string* error);

    const std::string& Dir() const { return dir_; }
    const GroupDesc& Group() const { return group_; }
    // Path of a segment file written so far ("" when unknown).
    std::string SegmentPath(uint8_t channel, uint8_t streamType, uint32_t number) const;

private:
    struct OpenSegment;
    using Key = std::pair<uint8_t, uint8_t>;
    StreamDesc& Stream(uint8_t channel, uint8_t streamType);
    bool Write(OpenSegment& seg, const uint8_t* data, size_t len, std::string* error);

    std::string dir_;
    GroupDesc group_;
    std::map<Key, std::unique_ptr<OpenSegment>> open_;
    bool manifestDirty_ = false;  // segments begun since the manifest was last written
};

// Creates a directory and its parents (like mkdir -p).
bool MakeDirs(const std::string& path, std::string* error);

}  // namespace recstore

#endif  // RECSTORE_REC_WRITER_H

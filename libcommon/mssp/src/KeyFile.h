// The key file of a parser's shared-memory segment: the directory it lives
// in, and the lock on it that marks which live process runs reader threads on
// the segment.
//
// The key file is "<dir>/.<name><group>", dir being MSSP_KEY_DIR or /tmp. Its
// inode gives the segment's key (ftok); its content is free, and holds the
// process id of the last object that started reader threads on the segment,
// as decimal text and a newline. From StartParse to StopParse that object
// holds an open-file-description write lock on the whole file: the lock goes
// with the process when it dies, and conflicts with any other open of the
// file, in this process or another. A monitor reads the process id from the
// file and asks F_OFD_GETLK whether someone holds the lock.
#ifndef MSSP_KEY_FILE_H
#define MSSP_KEY_FILE_H

#include <cstddef>

#include "MultiStreamSyncParser.h"

namespace mssp {

constexpr const char* kKeyDirVariable = "MSSP_KEY_DIR";
constexpr const char* kDefaultKeyDir = "/tmp";
constexpr size_t kOwnerTextSize = 48;  // "<pid> (this process)" and the terminator

// The key files' directory: MSSP_KEY_DIR when set and not empty, /tmp
// otherwise. Read at every call.
const char* KeyDir();

}  // namespace mssp

// Private helpers of the key file; a friend of the class.
struct MsspKeyFile {
    using P = CMultiStreamSyncParser;

    // Constructor: fills m_KeyPath with the key file of `keyName` (ends the
    // process when the path does not fit), creates the file with `mode` if
    // it is missing, and keeps it open for the lock.
    static void Open(P& p, const char* keyName, unsigned mode);
    // StartParse, before it touches the segment: takes the lock and writes
    // this process's id into the file. Says why and gives false when another
    // object or process holds the lock, or when there is no file to lock.
    static bool Lock(P& p);
    // StopParse, after its last write to the segment, and a StartParse that
    // gives up after Lock.
    static void Unlock(P& p);
    // Another object or process holds the lock now: its reader threads fill
    // the segment. Fills `pid` (kOwnerTextSize bytes) with the process id
    // that the file names, or "unknown".
    static bool HeldElsewhere(P& p, char* pid, size_t size);
    // Destructor: closes the file (and so drops a lock still held).
    static void Close(P& p);
};

#endif  // MSSP_KEY_FILE_H

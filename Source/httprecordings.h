// The finished recordings of the recording directory (the program's
// current directory), as the HTTP server lists and serves them.
//
// A strange request must never reach any other file: the program usually
// runs as root, in a directory others may write to. A name is served only
// when all of this holds:
//   - it is a name this program gives its recordings (IsOwnRecordingName,
//     segments.h), or such a name with "-recovered" in front of its
//     extension (recovery.h); no '/' can be in one, so no "..", no
//     absolute path, no other directory;
//   - it opens without following a symbolic link, without waiting on a
//     FIFO, as a regular file with a single link (no hard link to a file
//     elsewhere), checked on the descriptor after the open;
//   - no run holds its recording lock (the file being written, a segment
//     whose index is being written);
//   - it is complete (IsCompleteRecordingFile: spool files and a recording
//     still being recovered are not).
#ifndef VOZIREV_HTTPRECORDINGS_H
#define VOZIREV_HTTPRECORDINGS_H

#include <string>

#include "Types.h"

const UINT32 RECORDINGS_MAX_LISTED = 2000;  // the newest ones

struct tRecordingFile {
    int fd;                 // open for reading, close-on-exec
    UINT64 ullSize;
    INT64 llModifiedNs;     // the end of the recording
    INT64 llDurationMs;     // content, -1 when unknown
};

// Opens the finished recording called szName (base is the run's -p NAME,
// may be null). true with the descriptor, which the caller closes; false
// when it must not be served, as if it did not exist.
bool RecordingOpen(const char* szName, const char* szBase, tRecordingFile* pFile);

// The listing: a JSON array of {"name", "size", "duration", "start"}
// (bytes, seconds, ISO 8601 UTC), or an HTML page with a link to each.
void RecordingsList(const char* szBase, bool bJson, std::string* pOut);

// An entity tag of a file's size and modification time (RFC 9110, 8.8.3).
void FileEntityTag(UINT64 ullSize, INT64 llModifiedNs, char* pcOut, UINT32 ulSize);

#endif

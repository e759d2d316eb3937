// Opening the program's files in a directory that others may write to.
//
// The program usually runs as root, in a directory where anybody can plant
// a name: a symbolic link to a system file, a FIFO that blocks whoever
// opens or fills it, a device, a directory, a hard link. Its recordings,
// spool files, locks and logs are therefore opened with OpenRegularFile,
// which never follows a symbolic link, never waits on a FIFO, and accepts
// only a regular file with a single link, before anything is written to it.
#ifndef VOZIREV_SAFEFILE_H
#define VOZIREV_SAFEFILE_H

#include <cstdio>

// Whether OpenRegularFile empties the file it opened, or opens only a file
// it creates (EEXIST when the name is taken by anything).
const int SAFE_OPEN_KEEP = 0;
const int SAFE_OPEN_TRUNCATE = 1;
const int SAFE_OPEN_NEW = 2;

// Opens (creating it with mode 0644 when it does not exist) name for reading
// and writing. The file is emptied only after it has been checked, and only
// with SAFE_OPEN_TRUNCATE. Returns the descriptor (close-on-exec, blocking
// I/O), or -1 with errno: ELOOP for a symbolic link, EINVAL for anything
// that is not a regular file with one link, or the error of the open.
int OpenRegularFile(const char* name, int mode);

// Whether name can be used by OpenRegularFile without refusal: it does not
// exist, or it is a regular file with one link. Nothing is opened or made.
bool IsUsableFileName(const char* name);

// The recordings write through a stream buffer of this size, pushed at
// their own moments (a sync, a full buffer): one write for many samples.
const unsigned int RECORDING_BUFFER_SIZE = 256 * 1024;

// Gives a recording's stream, before its first I/O, the buffer pcBuffer of
// RECORDING_BUFFER_SIZE bytes. A stream on no file descriptor (a memory
// stream) keeps its own: its buffer is its storage.
void UseRecordingBuffer(FILE* pf, char* pcBuffer);

#endif

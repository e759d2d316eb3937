// Retention: keeping free space on the recording's file system (-o MiB) by
// deleting this program's own oldest finished recordings in the recording
// directory (the current one).
//
// A file is deleted only when all of these hold: its name is one the
// program gives its recordings (IsOwnRecordingName: a time-stamp name, or
// the run's -p NAME with or without a segment number, ".mp4" or ".mpg");
// it is a regular file with a single link, not a symbolic link; it is
// complete (an MP4 file whose boxes fill it exactly and include "moov"; a
// transport stream of whole packets); no run holds its recording lock (the
// file being written, and a segment whose index is being written, are
// locked). The oldest (modification time, then name) goes first, one at a
// time, while the free space stays below what is to be kept; when deleting
// a file gives nothing back (someone still has it open), no more goes in
// that round.
#ifndef VOZIREV_RETENTION_H
#define VOZIREV_RETENTION_H

// Deletes the oldest own finished recordings while less than keepMiB is
// free; base is the run's -p NAME (null for time-stamp names). Every
// deleted file is reported. Returns how many were deleted.
unsigned int KeepFreeSpace(unsigned int keepMiB, const char* base);

#endif

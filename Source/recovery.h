// Recovery of an MP4 recording interrupted before completion (a power cut,
// a reset, a kill): its file, spool files and info file are left in the
// directory it was recorded in, and are rebuilt into a complete MP4 file in
// place, with every sample whose data and table entries are whole.
#ifndef VOZIREV_RECOVERY_H
#define VOZIREV_RECOVERY_H

// Suffix of the spool and info files of a recording that cannot be
// recovered: they are kept under their names plus this, never deleted.
const char* const UNRECOVERED_SUFFIX = ".unrecovered";

// Recovers the interrupted recordings whose spool files are in the current
// directory (one for each set of spool names, see tSpoolSetNames), if there
// are any; the caller holds the spool lock, so no live run owns them. A recovered recording is reported in one line (file,
// samples, duration). When pathAboutToBeWritten (may be null) names the
// same file, the recovered one is renamed first so that the new recording
// does not overwrite it. 1 recovered, 0 nothing to recover (leftovers of a
// run that made no sample durable are removed, its file cut back to its
// header), -1 one could not be recovered:
// that recording is left as it was, its spool files are kept with
// UNRECOVERED_SUFFIX, and the reason is printed.
int RecoverInterruptedRecordings(const char* pathAboutToBeWritten);

// Whether the file (fd, named name) holds a complete recording: an MP4
// file whose top-level boxes fill it exactly and include "moov", or a
// transport stream of whole 188-byte packets that starts with a sync byte.
// A recording found complete is never recovered: it was completed and
// stopped while it removed its spool files.
bool IsCompleteRecordingFile(int fd, const char* name);
bool IsCompleteRecording(const char* name);

#endif

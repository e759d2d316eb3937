// Continuous recording in segments: where a recording is cut, what the
// next file is called, and the cut itself.
//
// With a segment length (-g N), the recording is cut at the first IDR
// picture at or after every N seconds of content (an audio-only recording:
// at the first audio sample), on a grid that starts at the first sample
// recorded or, with -l 1, on multiples of N seconds of the local time. An
// MP4 recording is also cut when the next sample would take it past the
// size limit (mp4MaxFileLength), whatever the segment length: within the
// last sixteenth below the limit at the first IDR picture, at the limit at
// once. Every segment is a complete file that plays on its own.
//
// Names: a time-stamp name ("Mar2609-143005") gives each later segment the
// time-stamp name of the time it starts; a name given with -p gives
// "NAME-0001", "NAME-0002", ... (with -g from the first segment on, after
// the highest number already in the directory; without it the first file
// keeps NAME and the roll-over files go on from "NAME-0002"). A segment
// never takes a name that exists: a time-stamp name gets "-2", "-3", ...,
// a number is skipped.
//
// The cut does not hold the capture up: an MP4 segment's index is written
// by a child process that takes the recording's state with it (fork), while
// the next segment records under the other set of spool names.
#ifndef VOZIREV_SEGMENTS_H
#define VOZIREV_SEGMENTS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Types.h"
#include "captureparams.h"

struct tSample;

// The recording's path (sOutput_Filename, "./NAME.ext") is known: works out
// the names of the run's segments, and with -g and a given name makes the
// path the first segment's. 0, or -1 when a segment's path would not fit
// (reported).
int PlanSegments(stInputParameters* input);

// Whether the sample about to be recorded starts the next segment. The
// first sample recorded starts the segment grid.
bool SegmentCutDue(const stInputParameters* input, const tSample* sample);

// Cuts the recording in front of the sample: the current file is completed
// and the next one opened; sOutput_Filename becomes its path. 1 cut; 0 the
// next file could not be opened, and the recording goes on in the current
// one (reported once until a cut succeeds); -1 the next segment could not
// be started after the current one was completed: recording has ended
// (reported).
int CutRecording(stInputParameters* input);

// Collects the segments completed in the background; with wait, waits for
// every one. False when one could not be completed (reported).
bool CollectFinishedSegments(bool wait);
// False once a segment of the run could not be completed (the run then
// ends with exit status 1).
bool AllSegmentsCompleted();

// The recording file at path, opened without following a link, locked
// against any other run that records under the same name, and emptied only
// then; with fresh, only when the name does not exist yet (EEXIST).
FILE* OpenRecordingFile(const char* path, bool fresh);

// Whether name (without "./") is one this program gives its recordings: a
// time-stamp name, with or without "-N", or, when base (the run's -p NAME;
// may be null) is given, NAME or NAME-NNNN; with ".mp4" or ".mpg".
bool IsOwnRecordingName(const char* name, const char* base);
// The run's name when it was given (-p), else null.
const char* SegmentBaseName();

// ---- the clock ----------------------------------------------------------------

// The local time in seconds (the time zone's offset added to the epoch
// time); tests replace it.
extern double (*segmentLocalTime)();
// The stamp (90 kHz, unwrapped) of the next multiple of length seconds of
// the local time after localSeconds, when stamp is the content time at
// localSeconds. A boundary closer than the guard (half the length, at most
// a second) is passed over: it is the one the cut has just served.
int64_t NextAlignedBoundary(int64_t stamp, double localSeconds, UINT32 length);

#endif

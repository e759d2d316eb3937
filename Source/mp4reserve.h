// The MP4 writer's index reserve ("~temp.reserve", see tSpoolSetNames).
//
// Completion appends the index ("moov") after the samples, about 16 bytes
// per video sample and 8 per audio sample. So that a full disk never leaves
// a recording without its index, the writer keeps a file of zeros at least
// as large as the index of the samples taken so far, and removes it just
// before it writes the index, which then takes the space the reserve gives
// back. When the reserve cannot grow, the recording takes no more samples.
#ifndef VOZIREV_MP4RESERVE_H
#define VOZIREV_MP4RESERVE_H

#include "Types.h"

// Index bytes per sample at most: "stts" 8, "stsz" 4, "stco" 4, "stss" 4.
const UINT64 INDEX_BYTES_PER_SAMPLE_AT_MOST = 20;
// Everything else of the index but the parameter sets, with room to spare.
const UINT64 INDEX_FIXED_BYTES_AT_MOST = 4096;
// The reserve grows by this much at a time.
const UINT32 INDEX_RESERVE_STEP = 65536;

// Creates the active set's reserve, empty; false (errno) when it cannot be.
bool openIndexReserve();
// Makes the reserve hold the index after one more sample. False, with the
// error kept in mp4WriteError, when the disk has no room for it.
bool growIndexReserveForSample();
// What growIndexReserveForSample would add to the disk now.
UINT64 indexReserveGrowthForSample();
// Gives the reserved space back: the file is removed.
void releaseIndexReserve();
// Closes the reserve and leaves its file (a recording handed over or
// released without completion).
void closeIndexReserve();

#endif

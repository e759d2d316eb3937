// The capture program's entry point. Every piece of state a run shares
// lives in the module that owns it: the stop flags with the signal handling
// (stopsignals.h), the header record with the parser (QBoxParser.h), the
// free-space switch and the MP4 content flag with the housekeeping
// (housekeeping.h), the outputs with the capture run (capturerun.h). No
// other module includes this header.
#ifndef VOZIREV_H
#define VOZIREV_H

#endif

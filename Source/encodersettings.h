// Encoder settings: validates the settings of a capture run and sends them
// to the device one command at a time, in a fixed order, with a pause after
// each command.
#ifndef VOZIREV_ENCODERSETTINGS_H
#define VOZIREV_ENCODERSETTINGS_H

#include "captureparams.h"

// Applies every setting that the media format calls for, then checks the
// streams' TTL. 0 when all were accepted; -1 at the first invalid value or
// refused command, whose message has been printed, or as soon as a stop is
// requested (stop_requested), without a message.
int setVL_parameters(stInputParameters* input, int* Device_n);
// Sleeps uitime_ms milliseconds.
void VL_Sleep(unsigned int uitime_ms);

#endif

// External configuration file: label/value pairs read into the capture
// parameters record.
#ifndef VOZIREV_CONFIGFILE_H
#define VOZIREV_CONFIGFILE_H

#include "captureparams.h"

// Reads cfgFileName and stores its values in *input. Returns 1, or -1 when
// the file cannot be loaded or a text value does not fit its field.
int Configure(char* cfgFileName, stInputParameters* input);
// Whole file in a new NUL-terminated buffer for free(), or NULL.
char* GetConfigFileContent(char* Filename);

#endif

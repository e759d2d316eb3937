// External configuration file: label/value pairs read into the capture
// parameters record.
#ifndef VOZIREV_CONFIGFILE_H
#define VOZIREV_CONFIGFILE_H

#include "Vozirev.h"

int Configure(char* cfgFileName, stInputParameters* input);
char* GetConfigFileContent(char* Filename);

#endif

// External configuration file: label/value pairs read into the capture
// parameters record.
#ifndef VOZIREV_CONFIGFILE_H
#define VOZIREV_CONFIGFILE_H

#include "captureparams.h"

// Item positions (counted from 0) of the values: labels sit at the even
// positions in front of them. Messages about a value name its item.
const int ITEM_DEVICE_NUMBER = 1;
const int ITEM_MEDIA_FORMAT = 3;
const int ITEM_AUDIO_BITRATE = 5;
const int ITEM_VIDEO_BITRATE = 7;
const int ITEM_FRAME_WIDTH = 9;
const int ITEM_FRAME_HEIGHT = 11;
const int ITEM_FRAME_RATE = 13;
const int ITEM_I_FRAME_INTERVAL = 15;
const int ITEM_COLOR = 17;
const int ITEM_BRIGHTNESS = 19;
const int ITEM_SAVING = 21;
const int ITEM_OUTPUT_FILENAME = 23;
const int ITEM_STREAMING = 25;
const int ITEM_IP_ADDR = 27;
const int ITEM_TTL = 29;
const int ITEM_VIDEO_PORT = 31;
const int ITEM_AUDIO_PORT = 33;
const int ITEM_SYNC_INTERVAL = 35;
const int ITEM_SEGMENT_LENGTH = 37;
const int ITEM_SEGMENT_ALIGN = 39;
const int ITEM_KEEP_FREE_MIB = 41;
const int ITEM_SDP_FILE = 43;
const int ITEM_RTSP_PORT = 45;
const int ITEM_LISTEN_ADDR = 47;
const int ITEM_MULTICAST_GROUP = 49;
const int ITEM_SESSION_TIMEOUT = 51;
const int ITEM_MAX_SESSIONS = 53;
const int ITEM_MAX_CONNECTIONS = 55;
const int ITEM_CREDENTIALS_FILE = 57;
const int ITEM_HTTP_PORT = 59;
const int ITEM_WWW_DIR = 61;
const int ITEM_PUBLISH_URL = 63;
const int ITEM_PUBLISH_TRANSPORT = 65;

// Reads cfgFileName and stores its values in *input. Returns 1, or -1 when
// the file cannot be loaded or a text value does not fit its field.
int Configure(char* cfgFileName, stInputParameters* input);
// Whole file in a new NUL-terminated buffer for free(), or NULL.
char* GetConfigFileContent(char* Filename);

#endif

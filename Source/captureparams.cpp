// Capture parameters: defaults, command-line options, usage text and the
// time-stamp name of a recording.
#include "captureparams.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "housekeeping.h"
#include "VozirevDll.h"
#include "configfile.h"
#include "rtspurl.h"
#include "safefile.h"
#include "sockets.h"

namespace {

const unsigned int DEFAULT_MEDIA_FORMAT = MEDIA_FORMAT_AUDIO_VIDEO;
const unsigned int DEFAULT_AUDIO_BITRATE = 48;
const unsigned int DEFAULT_VIDEO_BITRATE = 512;
const unsigned int DEFAULT_FRAME_WIDTH = 320;
const unsigned int DEFAULT_FRAME_HEIGHT = 240;
const unsigned int DEFAULT_FRAME_RATE = 30;
const unsigned int DEFAULT_I_FRAME_INTERVAL = 30;
const unsigned int DEFAULT_DEVICE_NUMBER = 0;
const unsigned int DEFAULT_STREAMING = STREAM_NONE;
const unsigned int DEFAULT_SAVING = SAVE_MP4;
const char DEFAULT_IP_ADDR[] = "127.0.0.1";
const unsigned int DEFAULT_TTL = 64;
const unsigned int DEFAULT_VIDEO_PORT = 8000;
const unsigned int DEFAULT_AUDIO_PORT = 8002;
const unsigned int DEFAULT_BRIGHTNESS = 128;
const unsigned int DEFAULT_COLOR = 128;
// A power cut costs at most about this much of a recording.
const unsigned int DEFAULT_SYNC_INTERVAL = 1;  // seconds of content
const unsigned int SYNC_INTERVAL_MAX = 3600;
const unsigned int SEGMENT_LENGTH_MAX = 86400;  // seconds: a day
const char DEFAULT_LISTEN_ADDR[] = "0.0.0.0";
// RFC 2326, 12.37: 60 seconds unless the server says otherwise.
const unsigned int DEFAULT_SESSION_TIMEOUT = 60;
const unsigned int SESSION_TIMEOUT_MIN = 10;
const unsigned int SESSION_TIMEOUT_MAX = 3600;
const unsigned int DEFAULT_MAX_SESSIONS = 32;
const unsigned int DEFAULT_MAX_CONNECTIONS = 64;
// Each connection is a descriptor watched by one poll().
const unsigned int MAX_CONNECTIONS_LIMIT = 1000;

// UDP destination ports; 0 names no port.
const unsigned int PORT_MIN = 1;
const unsigned int PORT_MAX = 65535;

// Index of the only argument that may name a configuration file.
const int CONFIG_FILE_ARG_INDEX = 1;

const char* const USAGE_LINES[] = {
    "The following command line parameters are used for the Vozirev Program:[default]",
    "-z\t\tconfiguration filename",
    "-n\t\tdevice number [0]",
    "-m\t\tmedia type (1 - audio, 2 - video, 3 -  audio and video) [3]",
    "-a\t\taudio bit rate in kbps (24 - 128) [48]",
    "-w\t\tvideo width (160 - 720) [320]",
    "-h\t\tvideo height(112 - 480/576) [240]",
    "-f\t\tframe rate [30/25]",
    "-i\t\tI-frame interval [30]",
    "-v\t\tvideo bitrate in kbps (32 - 4000) [512]",
    "-c\t\tcolor (0 - 255) [128]",
    "-b\t\tbrightness (0 - 255) [128]",
    "-r\t\trecord settings (0 - Do not save, 1 - Save as MP4, 2 - Save as MPEG-TS) [1]",
    "-p\t\tfile name for recorded file [Time Stamp]",
    "-s\t\tstream settings (0 - Do not stream, 1 - Elementary Stream, 2 - MPEG Transport Stream) [0]",
    "-d\t\tdestination ip address [127.0.0.1]",
    "-t\t\tttl[64] ",
    "-x\t\tvideo port/MPEG-TS port [8000]",
    "-y\t\taudio port (for elementary stream only) [8002]",
    "-q\t\tcheck disk space for filewrite [skip disk space check]",
    "-u\t\tusage.",
    "-k\t\tmake the recording durable every N seconds of content, 0 never [1]",
    "-g\t\tsegment length: a new file every N seconds of content, 0 one file [0]",
    "-l\t\talign the segments to the clock (1 - a 600 s length cuts at :00, :10, ...) [0]",
    "-o\t\tkeep N MiB free by deleting the oldest recordings, 0 never [0]",
    "-j\t\tsession description file (SDP) of the streams, written by the program [none]",
    "-R\t\tRTSP server port, 0 - none (8554 in the examples) [0]",
    "-A\t\taddress the RTSP and HTTP servers listen on [0.0.0.0, every address]",
    "-M\t\tmulticast group of the RTSP server's multicast transport, TTL of -t [none]",
    "-T\t\tRTSP session timeout in seconds [60]",
    "-S\t\tRTSP sessions at most [32]",
    "-C\t\tRTSP and HTTP connections at most [64]",
    "-E\t\tcredentials file of the RTSP and HTTP servers and the publisher [none]",
    "-H\t\tHTTP server port (live view, status, metrics, recordings), 0 - none [0]",
    "-W\t\tdirectory of the web page's files [" VOZIREV_WWW_DIR "]",
    "-P\t\tpublish to an RTSP server: rtsp://[user:password@]host[:port]/path [none]",
    "-U\t\tpublish transport (0 - TCP interleaved, 1 - UDP) [0]",
};

void SetDefaultParameters(stInputParameters* input)
{
    input->ulMediaFormat = DEFAULT_MEDIA_FORMAT;
    input->ulAudio_BitRate = DEFAULT_AUDIO_BITRATE;
    input->ulVideo_BitRate = DEFAULT_VIDEO_BITRATE;
    input->ulVideo_Frame_Width = DEFAULT_FRAME_WIDTH;
    input->ulVideo_Frame_Height = DEFAULT_FRAME_HEIGHT;
    input->ulVideo_Frame_Rate = DEFAULT_FRAME_RATE;
    input->ulI_Frame_Interval = DEFAULT_I_FRAME_INTERVAL;
    input->ulDevice_Number = DEFAULT_DEVICE_NUMBER;
    input->ulStreaming = DEFAULT_STREAMING;
    input->ulSaving = DEFAULT_SAVING;
    strcpy(input->IP_Addr, DEFAULT_IP_ADDR);
    input->ucttl = DEFAULT_TTL;
    input->Video_Port = DEFAULT_VIDEO_PORT;
    input->Audio_Port = DEFAULT_AUDIO_PORT;
    input->ulBrightness = DEFAULT_BRIGHTNESS;
    input->ulColor = DEFAULT_COLOR;
    input->ulSync_Interval = DEFAULT_SYNC_INTERVAL;
    strcpy(input->sListen_Addr, DEFAULT_LISTEN_ADDR);
    input->ulSession_Timeout = DEFAULT_SESSION_TIMEOUT;
    input->ulMax_Sessions = DEFAULT_MAX_SESSIONS;
    input->ulMax_Connections = DEFAULT_MAX_CONNECTIONS;
    snprintf(input->sWww_Dir, sizeof(input->sWww_Dir), "%s", VOZIREV_WWW_DIR);
    input->ulPublish_Transport = PUBLISH_TCP;
}

// A text option that does not fit its field is refused rather than cut: a
// shortened address would stream to another host, a shortened name would
// record under a name nobody asked for.
bool CopyTextOption(char option, const char* value, char* field, size_t fieldSize)
{
    if (strlen(value) >= fieldSize) {
        printf("Value of -%c is longer than %u characters.\n", option,
               (unsigned int)(fieldSize - 1));
        return false;
    }
    strcpy(field, value);
    return true;
}

unsigned int OptionNumber(const char* value)
{
    // atoi: leading blanks and a sign are taken, text without digits is 0,
    // and a negative number wraps into the unsigned field.
    return (unsigned int)atoi(value);
}

// The network services' options; an option of no one prints the usage
// text. 0, or -1 when the run must stop.
int ApplyServiceOption(char option, char* value, stInputParameters* input)
{
    switch (option) {
    case 'R': input->ulRtsp_Port = OptionNumber(value); return 0;
    case 'T': input->ulSession_Timeout = OptionNumber(value); return 0;
    case 'S': input->ulMax_Sessions = OptionNumber(value); return 0;
    case 'C': input->ulMax_Connections = OptionNumber(value); return 0;
    case 'H': input->ulHttp_Port = OptionNumber(value); return 0;
    case 'U': input->ulPublish_Transport = OptionNumber(value); return 0;
    case 'A': return CopyTextOption(option, value, input->sListen_Addr, sizeof(input->sListen_Addr)) ? 0 : -1;
    case 'M':
        return CopyTextOption(option, value, input->sMulticast_Group, sizeof(input->sMulticast_Group)) ? 0 : -1;
    case 'E':
        return CopyTextOption(option, value, input->sCredentials_File, sizeof(input->sCredentials_File)) ? 0 : -1;
    case 'W': return CopyTextOption(option, value, input->sWww_Dir, sizeof(input->sWww_Dir)) ? 0 : -1;
    case 'P': return CopyTextOption(option, value, input->sPublish_Url, sizeof(input->sPublish_Url)) ? 0 : -1;
    default:
        optionhelp();
        return -1;
    }
}

// Applies one option with its value; returns 0, or -1 when the run must stop.
int ApplyOption(char option, int index, char* value, stInputParameters* input)
{
    switch (option) {
    case 'z': {
        if (index != CONFIG_FILE_ARG_INDEX) {
            puts("External configuration file needs to be the first parameter.");
            return -1;
        }
        char cfgFileName[FILENAME_FIELD_SIZE];
        if (!CopyTextOption(option, value, cfgFileName, sizeof(cfgFileName)) ||
            Configure(cfgFileName, input) != 1) {
            puts("Error parsing the configuration file");
            return -1;
        }
        return 0;
    }
    case 'n': input->ulDevice_Number = OptionNumber(value); return 0;
    case 'm': input->ulMediaFormat = OptionNumber(value); return 0;
    case 'a': input->ulAudio_BitRate = OptionNumber(value); return 0;
    case 'w': input->ulVideo_Frame_Width = OptionNumber(value); return 0;
    case 'h': input->ulVideo_Frame_Height = OptionNumber(value); return 0;
    case 'f': input->ulVideo_Frame_Rate = OptionNumber(value); return 0;
    case 'i': input->ulI_Frame_Interval = OptionNumber(value); return 0;
    case 'v': input->ulVideo_BitRate = OptionNumber(value); return 0;
    case 'c': input->ulColor = OptionNumber(value); return 0;
    case 'b': input->ulBrightness = OptionNumber(value); return 0;
    case 'r': input->ulSaving = OptionNumber(value); return 0;
    case 's': input->ulStreaming = OptionNumber(value); return 0;
    case 't': input->ucttl = OptionNumber(value); return 0;
    case 'x': input->Video_Port = OptionNumber(value); return 0;
    case 'y': input->Audio_Port = OptionNumber(value); return 0;
    case 'p':
        return CopyTextOption(option, value, input->sOutput_Filename,
                              sizeof(input->sOutput_Filename)) ? 0 : -1;
    case 'd':
        return CopyTextOption(option, value, input->IP_Addr, sizeof(input->IP_Addr)) ? 0 : -1;
    case 'j':
        return CopyTextOption(option, value, input->sSdp_File, sizeof(input->sSdp_File)) ? 0 : -1;
    case 'k': input->ulSync_Interval = OptionNumber(value); return 0;
    case 'g': input->ulSegment_Length = OptionNumber(value); return 0;
    case 'l': input->ulSegment_Align = OptionNumber(value); return 0;
    case 'o': input->ulKeep_Free_MiB = OptionNumber(value); return 0;
    case 'q':
        skip_disk_check = 0;
        return 0;
    default:
        return ApplyServiceOption(option, value, input);
    }
}

// Four decimal numbers 0 to 255 separated by dots, nothing else: inet_addr
// would take "foo" as 255.255.255.255 and "1.2.3" as 1.2.0.3. A
// configuration file with CR LF line ends leaves its CR after the address,
// which the socket layer reads up to, so one CR at the end is let through.
bool IsDottedQuad(const char* address)
{
    char text[IP_ADDR_FIELD_SIZE];
    snprintf(text, sizeof(text), "%s", address);
    size_t length = strlen(text);
    if (length > 0 && text[length - 1] == '\r')
        text[length - 1] = '\0';
    struct in_addr parsed;
    return inet_pton(AF_INET, text, &parsed) == 1;
}

bool CheckPort(const char* medium, unsigned int port, char option, int item)
{
    if (port >= PORT_MIN && port <= PORT_MAX)
        return true;
    printf("Invalid %s port %u (-%c, configuration item %d). Use %u - %u.\n", medium, port, option, item,
           PORT_MIN, PORT_MAX);
    return false;
}

bool RefuseSdpFile(const char* name, const char* reason)
{
    printf("Cannot write the session description %s (-j, configuration item %d): %s.\n", name, ITEM_SDP_FILE,
           reason);
    return false;
}

// The session description is written when the streams open, as root in a
// directory others may write to: the name must be free or an ordinary file
// (never written through a link), in a directory that exists and takes
// files. The write itself can still fail then; the run ends at that point.
bool CheckSdpFile(const char* name)
{
    if (!IsUsableFileName(name))
        return RefuseSdpFile(name, "it is a link, or not a regular file");
    char directory[FILENAME_FIELD_SIZE];
    snprintf(directory, sizeof(directory), "%s", name);
    char* slash = strrchr(directory, '/');
    if (slash == nullptr)
        snprintf(directory, sizeof(directory), ".");
    else if (slash == directory)
        slash[1] = '\0';  // "/name": the root directory
    else
        *slash = '\0';
    struct stat st;
    if (stat(directory, &st) != 0 || !S_ISDIR(st.st_mode))
        return RefuseSdpFile(name, "its directory does not exist");
    if (access(directory, W_OK | X_OK) != 0)
        return RefuseSdpFile(name, strerror(errno));
    return true;
}

bool CheckRange(const char* what, unsigned int value, unsigned int low, unsigned int high, char option, int item)
{
    if (value >= low && value <= high)
        return true;
    printf("Invalid %s %u (-%c, configuration item %d). Use %u - %u.\n", what, value, option, item, low, high);
    return false;
}

// The users' passwords: only the file's owner may read or write it, or
// anyone on the board could take them (or add a user of their own).
bool CheckCredentialsFile(const char* name)
{
    struct stat st;
    const char* reason = nullptr;
    if (stat(name, &st) != 0)
        reason = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        reason = "not a regular file";
    else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        reason = "other users can read or write it (chmod 600 it)";
    else if (access(name, R_OK) != 0)
        reason = strerror(errno);
    if (reason == nullptr)
        return true;
    printf("Cannot use the credentials file %s (-E, configuration item %d): %s.\n", name, ITEM_CREDENTIALS_FILE,
           reason);
    return false;
}

// The network services (RTSP, HTTP, the publisher) are checked only when
// one of them is asked for: a run without them behaves as it always did.
int CheckServiceParameters(const stInputParameters* input)
{
    bool servers = input->ulRtsp_Port != SERVICE_PORT_OFF || input->ulHttp_Port != SERVICE_PORT_OFF;
    if (!CheckRange("RTSP port", input->ulRtsp_Port, 0, PORT_MAX, 'R', ITEM_RTSP_PORT) ||
        !CheckRange("HTTP port", input->ulHttp_Port, 0, PORT_MAX, 'H', ITEM_HTTP_PORT))
        return -1;
    if (servers && input->ulRtsp_Port == input->ulHttp_Port) {
        printf("The RTSP and the HTTP server cannot share port %u (-R, -H).\n", input->ulRtsp_Port);
        return -1;
    }
    if (servers && !IsDottedQuad(input->sListen_Addr)) {
        printf("Invalid listen address \"%s\" (-A, configuration item %d). Use a dotted IPv4 address, "
               "0.0.0.0 for every one.\n", input->sListen_Addr, ITEM_LISTEN_ADDR);
        return -1;
    }
    if (input->ulRtsp_Port != SERVICE_PORT_OFF && input->sMulticast_Group[0] != '\0' &&
        (!IsDottedQuad(input->sMulticast_Group) || !IsClassD(const_cast<char*>(input->sMulticast_Group)))) {
        printf("Invalid multicast group \"%s\" (-M, configuration item %d). Use a dotted IPv4 multicast "
               "address such as 239.1.2.3.\n", input->sMulticast_Group, ITEM_MULTICAST_GROUP);
        return -1;
    }
    if (input->ulRtsp_Port != SERVICE_PORT_OFF &&
        (!CheckRange("session timeout", input->ulSession_Timeout, SESSION_TIMEOUT_MIN, SESSION_TIMEOUT_MAX, 'T',
                     ITEM_SESSION_TIMEOUT) ||
         !CheckRange("session limit", input->ulMax_Sessions, 1, MAX_CONNECTIONS_LIMIT, 'S', ITEM_MAX_SESSIONS)))
        return -1;
    if (servers && !CheckRange("connection limit", input->ulMax_Connections, 1, MAX_CONNECTIONS_LIMIT, 'C',
                               ITEM_MAX_CONNECTIONS))
        return -1;
    bool publishes = input->sPublish_Url[0] != '\0';
    if (publishes && ParseRtspUrl(input->sPublish_Url, nullptr) != 0) {
        printf("Invalid publish URL \"%s\" (-P, configuration item %d). Use "
               "rtsp://[user:password@]host[:port]/path.\n", input->sPublish_Url, ITEM_PUBLISH_URL);
        return -1;
    }
    if (publishes && !CheckRange("publish transport", input->ulPublish_Transport, PUBLISH_TCP, PUBLISH_UDP, 'U',
                                 ITEM_PUBLISH_TRANSPORT))
        return -1;
    if ((servers || publishes) && input->sCredentials_File[0] != '\0' &&
        !CheckCredentialsFile(input->sCredentials_File))
        return -1;
    return 0;
}

// Values that would reach the device or the network other than meant are
// refused before the device is opened or a file created. The destination
// and the ports matter only to the streams that use them, the I-frame
// interval only when video is encoded; the other settings are checked as
// they are sent to the device.
int CheckParameters(const stInputParameters* input)
{
    // The spool records of a sync interval wait in memory.
    if (input->ulSync_Interval > SYNC_INTERVAL_MAX) {
        printf("Invalid sync interval %u (-k, configuration item %d). Use 0 - %u.\n", input->ulSync_Interval,
               ITEM_SYNC_INTERVAL, SYNC_INTERVAL_MAX);
        return -1;
    }
    if (input->ulSegment_Length > SEGMENT_LENGTH_MAX) {
        printf("Invalid segment length %u (-g, configuration item %d). Use 0 - %u.\n", input->ulSegment_Length,
               ITEM_SEGMENT_LENGTH, SEGMENT_LENGTH_MAX);
        return -1;
    }
    if (input->ulSegment_Align > 1) {
        printf("Invalid segment alignment %u (-l, configuration item %d). Use 0 or 1.\n", input->ulSegment_Align,
               ITEM_SEGMENT_ALIGN);
        return -1;
    }
    bool video = input->ulMediaFormat != MEDIA_FORMAT_AUDIO;
    if (video && input->ulI_Frame_Interval > VL_COMMAND_PARAMETER_MAX) {
        printf("Invalid I-frame interval %u (-i, configuration item %d). Use 1 - %u.\n",
               input->ulI_Frame_Interval, ITEM_I_FRAME_INTERVAL, VL_COMMAND_PARAMETER_MAX);
        return -1;
    }

    if (CheckServiceParameters(input) != 0)
        return -1;
    if (input->ulStreaming != STREAM_RTP_ES && input->ulStreaming != STREAM_RTP_TS)
        return 0;
    if (!IsDottedQuad(input->IP_Addr)) {
        printf("Invalid destination address \"%s\" (-d, configuration item %d). "
               "Use a dotted IPv4 address such as 192.168.0.10.\n",
               input->IP_Addr, ITEM_IP_ADDR);
        return -1;
    }
    if (SendsOnVideoPort(input) && !CheckPort("video", input->Video_Port, 'x', ITEM_VIDEO_PORT))
        return -1;
    if (SendsOnAudioPort(input) && !CheckPort("audio", input->Audio_Port, 'y', ITEM_AUDIO_PORT))
        return -1;
    if (input->sSdp_File[0] != '\0' && !CheckSdpFile(input->sSdp_File))
        return -1;
    return 0;
}

}  // namespace

int optionhelp()
{
    for (const char* line : USAGE_LINES)
        puts(line);
    return 0;
}

int get_time_stamp_string(char* cptag)
{
    char weekday[4] = "";
    char month[4] = "";
    char year[5] = "";
    int day = 0, hour = 0, minute = 0, second = 0;

    time_t now = time(NULL);
    const struct tm* local = localtime(&now);
    if (local != NULL) {
        // asctime: "Thu Mar 26 14:30:05 2009\n"
        sscanf(asctime(local), "%3s %3s %d %d:%d:%d %4s", weekday, month, &day, &hour,
               &minute, &second, year);
    }
    const char* yearTail = strlen(year) >= 2 ? year + strlen(year) - 2 : year;
    // Formatted with room to spare, then cut to the caller's 15 bytes, which
    // a well-formed local time always fills exactly.
    char name[64];
    snprintf(name, sizeof(name), "%s%02d%s-%02d%02d%02d", month, day, yearTail, hour, minute,
             second);
    size_t length = strlen(name);
    if (length > TIME_STAMP_SIZE - 1)
        length = TIME_STAMP_SIZE - 1;
    memcpy(cptag, name, length);
    cptag[length] = '\0';
    return 0;
}

int get_cmdline_parameters(stInputParameters* input, int argc, char** argv)
{
    memset(input, 0, sizeof(*input));
    get_time_stamp_string(input->sOutput_Filename);
    SetDefaultParameters(input);

    // Every option, -q included, consumes the argument after it; the first
    // argument that is not an option ends the list.
    for (int index = 1; index < argc && argv[index][0] == '-'; index += 2) {
        char option = argv[index][1];
        if (option != 'q' && index + 1 >= argc) {
            optionhelp();
            return -1;
        }
        char* value = index + 1 < argc ? argv[index + 1] : NULL;
        if (ApplyOption(option, index, value, input) != 0)
            return -1;
    }
    return CheckParameters(input);
}


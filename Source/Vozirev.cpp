// The capture application: parameters, encoder settings, the capture run,
// the routing of samples to the recorders and streamers, and the recording
// housekeeping around them.
#include "Vozirev.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "QBoxParser.h"
#include "Rtp.h"
#include "VozirevDll.h"
#include "configfile.h"
#include "devicereader.h"
#include "mp4Writer.h"
#include "mpgTSWriter.h"

// Set by the SIGINT/SIGTERM handler; the capture loop re-reads it each turn.
volatile sig_atomic_t stop_encoding = 0;
// Free-space checks are off unless -q turns them on.
int skip_disk_check = 1;
// 1 once a sample has been given to the MP4 writer.
int mp4write = 0;

// ---------------------------------------------------------------------------
// Capture parameters: defaults, command-line options, configuration file.
// ---------------------------------------------------------------------------

namespace {

const unsigned int DEFAULT_MEDIA_FORMAT = 3;  // audio and video
const unsigned int DEFAULT_AUDIO_BITRATE = 48;
const unsigned int DEFAULT_VIDEO_BITRATE = 512;
const unsigned int DEFAULT_FRAME_WIDTH = 320;
const unsigned int DEFAULT_FRAME_HEIGHT = 240;
const unsigned int DEFAULT_FRAME_RATE = 30;
const unsigned int DEFAULT_I_FRAME_INTERVAL = 30;
const unsigned int DEFAULT_DEVICE_NUMBER = 0;
const unsigned int DEFAULT_STREAMING = 0;  // do not stream
const unsigned int DEFAULT_SAVING = 1;     // MP4 file
const char DEFAULT_IP_ADDR[] = "127.0.0.1";
const unsigned int DEFAULT_TTL = 64;
const unsigned int DEFAULT_VIDEO_PORT = 8000;
const unsigned int DEFAULT_AUDIO_PORT = 8002;
const unsigned int DEFAULT_BRIGHTNESS = 128;
const unsigned int DEFAULT_COLOR = 128;

// UDP ports given on the command line keep their low 16 bits.
const unsigned int PORT_MASK = 0xFFFF;

// Index of the only argument that may name a configuration file.
const int CONFIG_FILE_ARG_INDEX = 1;

const size_t TIME_STAMP_SIZE = 15;  // "Mar2609-143005" and its NUL

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
    case 'x': input->Video_Port = OptionNumber(value) & PORT_MASK; return 0;
    case 'y': input->Audio_Port = OptionNumber(value) & PORT_MASK; return 0;
    case 'p':
        return CopyTextOption(option, value, input->sOutput_Filename,
                              sizeof(input->sOutput_Filename)) ? 0 : -1;
    case 'd':
        return CopyTextOption(option, value, input->IP_Addr, sizeof(input->IP_Addr)) ? 0 : -1;
    case 'q':
        skip_disk_check = 0;
        return 0;
    default:
        optionhelp();
        return -1;
    }
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
    return 0;
}

// ---------------------------------------------------------------------------
// Encoder settings: validate each setting, send it, pause, check the answer.
// ---------------------------------------------------------------------------

namespace {

// The encoder needs time to take in each command before the next one.
const unsigned int SETTING_PAUSE_MS = 100;
const unsigned int MICROSECONDS_PER_MS = 1000;

const unsigned int MEDIA_FORMAT_AUDIO = 1;
const unsigned int MEDIA_FORMAT_VIDEO = 2;
const unsigned int MEDIA_FORMAT_AUDIO_VIDEO = 3;

const unsigned int AUDIO_BITRATE_MIN = 24;  // kbit/s
const unsigned int AUDIO_BITRATE_MAX = 128;
const unsigned int VIDEO_BITRATE_MIN = 32;  // kbit/s
const unsigned int VIDEO_BITRATE_MAX = 4000;
const unsigned int FRAME_WIDTH_MIN = 17;    // pixels
const unsigned int FRAME_WIDTH_MAX = 720;
const unsigned int FRAME_HEIGHT_MIN = 17;
const unsigned int FRAME_HEIGHT_MAX = 576;
const unsigned int FRAME_RATE_MIN = 5;      // frames per second
const unsigned int FRAME_RATE_MAX = 30;
const unsigned int LEVEL_MAX = 255;         // colour and brightness
const unsigned int TTL_MIN = 1;
const unsigned int TTL_MAX = 255;

bool InRange(unsigned int value, unsigned int low, unsigned int high)
{
    return value >= low && value <= high;
}

// Pauses after a command whatever its outcome, then reports a refusal.
int AfterCommand(int result, const char* failure)
{
    VL_Sleep(SETTING_PAUSE_MS);
    if (result != 1) {
        printf("%s", failure);
        return -1;
    }
    return 0;
}

int SetMediaFormat(unsigned int mediaFormat, int* Device_n)
{
    EncodingMediaType type = AudioVideo;
    const char* word = "audio and video";
    if (mediaFormat == MEDIA_FORMAT_AUDIO) {
        type = AudioOnly;
        word = "audio only";
    } else if (mediaFormat == MEDIA_FORMAT_VIDEO) {
        type = VideoOnly;
        word = "video only";
    }
    printf("Setting Media Format to: ");
    int result = VLSetMediaType(Device_n, type);
    puts(word);
    return AfterCommand(result, "\nSetting Media Format failed");
}

int SetAudio(const stInputParameters* input, int* Device_n)
{
    printf("Setting Audio Bitrate to: %d kbps\n", (int)input->ulAudio_BitRate);
    if (!InRange(input->ulAudio_BitRate, AUDIO_BITRATE_MIN, AUDIO_BITRATE_MAX)) {
        puts("\nInvalid Audio Bitrate. Use 24 - 128.");
        return -1;
    }
    return AfterCommand(VLSetAudioBitRate(Device_n, input->ulAudio_BitRate),
                        "\nSetting Audio Bitrate failed");
}

int SetVideoBitRate(const stInputParameters* input, int* Device_n)
{
    printf("Setting Video Bitrate to: %d kbps\n", (int)input->ulVideo_BitRate);
    if (!InRange(input->ulVideo_BitRate, VIDEO_BITRATE_MIN, VIDEO_BITRATE_MAX)) {
        puts("\nInvalid Video Bitrate. Use 32 - 4000");
        return -1;
    }
    return AfterCommand(VLSetVideoBitRate(Device_n, input->ulVideo_BitRate),
                        "\nSetting Video Bitrate failed");
}

int SetVideoFrameSize(const stInputParameters* input, int* Device_n)
{
    unsigned int width = input->ulVideo_Frame_Width;
    unsigned int height = input->ulVideo_Frame_Height;
    printf("Setting Video Resolution to: %d x %d\n", (int)width, (int)height);
    if (!InRange(width, FRAME_WIDTH_MIN, FRAME_WIDTH_MAX) ||
        !InRange(height, FRAME_HEIGHT_MIN, FRAME_HEIGHT_MAX)) {
        puts("\nInvalid Video Resolution");
        return -1;
    }
    return AfterCommand(VLSetVideoFrameSize(Device_n, width, height),
                        "\nSetting Video Width and Height failed");
}

int SetVideoFrameRate(const stInputParameters* input, int* Device_n)
{
    printf("Setting Video Frame Rate to: %d fps\n", (int)input->ulVideo_Frame_Rate);
    if (!InRange(input->ulVideo_Frame_Rate, FRAME_RATE_MIN, FRAME_RATE_MAX)) {
        puts("\nInvalid Video Framerate. Use 5 - 30.");
        return -1;
    }
    return AfterCommand(VLSetVideoFrameRate(Device_n, input->ulVideo_Frame_Rate),
                        "\nSetting Video Frame rate failed");
}

int SetIFrameInterval(const stInputParameters* input, int* Device_n)
{
    printf("Setting I Frame Interval to: %d\n", (int)input->ulI_Frame_Interval);
    if (input->ulI_Frame_Interval == 0) {
        puts("\nInvalid I-Frame Interval.");
        return -1;
    }
    return AfterCommand(VLSetVideoGOP(Device_n, input->ulI_Frame_Interval),
                        "\nSetting I-Frame Interval failed");
}

int SetColor(const stInputParameters* input, int* Device_n)
{
    printf("Setting Color to: %d\n", (int)input->ulColor);
    if (input->ulColor > LEVEL_MAX) {
        printf("\nInvalid Color value. Use (0-255)");
        return -1;
    }
    return AfterCommand(VLSetColor(Device_n, (unsigned char)input->ulColor),
                        "\nSetting Color failed.");
}

int SetBrightness(const stInputParameters* input, int* Device_n)
{
    printf("Setting Brightness to: %d\n", (int)input->ulBrightness);
    if (input->ulBrightness > LEVEL_MAX) {
        printf("\nInvalid Brightness value. Use (0-255)");
        return -1;
    }
    return AfterCommand(VLSetBrightness(Device_n, (unsigned char)input->ulBrightness),
                        "\nSetting brightness failed.");
}

}  // namespace

void VL_Sleep(unsigned int uitime_ms)
{
    usleep(uitime_ms * MICROSECONDS_PER_MS);
}

int setVL_parameters(stInputParameters* input, int* Device_n)
{
    if (!InRange(input->ulMediaFormat, MEDIA_FORMAT_AUDIO, MEDIA_FORMAT_AUDIO_VIDEO)) {
        puts("\nInvalid Media Format");
        return -1;
    }
    if (SetMediaFormat(input->ulMediaFormat, Device_n) != 0)
        return -1;

    bool audioPresent = input->ulMediaFormat != MEDIA_FORMAT_VIDEO;
    bool videoPresent = input->ulMediaFormat != MEDIA_FORMAT_AUDIO;
    if (audioPresent && SetAudio(input, Device_n) != 0)
        return -1;
    if (videoPresent) {
        if (SetVideoBitRate(input, Device_n) != 0 || SetVideoFrameSize(input, Device_n) != 0 ||
            SetVideoFrameRate(input, Device_n) != 0 || SetIFrameInterval(input, Device_n) != 0 ||
            SetColor(input, Device_n) != 0 || SetBrightness(input, Device_n) != 0)
            return -1;
    }

    // The streams' TTL is not a device setting, so it is checked last.
    if (!InRange(input->ucttl, TTL_MIN, TTL_MAX)) {
        printf("\nInvalid ttl value. Use (1-255)");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// QBox routing to the MP4 writer
// ---------------------------------------------------------------------------

// Created before main runs; the header record starts zero-filled.
QBox* pqBoxHeader = new QBox();
QBoxParser* pqBoxParser = new QBoxParser();

// ulMediaFormat values
const unsigned int MEDIA_FORMAT_AUDIO_ONLY = 1;
const unsigned int MEDIA_FORMAT_VIDEO_ONLY = 2;

// The encoder's AAC output: 48 kHz, stereo, 16-bit.
const UINT32 MP4_AUDIO_FREQUENCY = 48000;
const UINT16 MP4_AUDIO_CHANNELS = 2;
const UINT16 MP4_AUDIO_BITS_PER_SAMPLE = 16;

int SetParameters(stInputParameters input, FILE* outfile_handle)
{
    mp4file = outfile_handle;
    root = new tRootAtom();
    if (input.ulMediaFormat != MEDIA_FORMAT_VIDEO_ONLY) {
        root->AudioPresentFlag = 1;
        root->audioFrequency = MP4_AUDIO_FREQUENCY;
        root->numAudioChannels = MP4_AUDIO_CHANNELS;
        root->audioBitsPerSample = MP4_AUDIO_BITS_PER_SAMPLE;
    }
    if (input.ulMediaFormat != MEDIA_FORMAT_AUDIO_ONLY) {
        root->VideoPresentFlag = 1;
    }
    if (createMP4Params() != 1) {
        deleteMP4Params();
        return 0;
    }
    return 1;
}

// Takes the picture size for the video track from a sequence parameter set
// (unit in start-code form). A unit too short to hold the size leaves it.
static void updateVideoSize(UINT8* nalu, UINT32 naluSize)
{
    if (root == nullptr || root->videoTrack == nullptr) {
        return;
    }
    unsigned int szVideo[2] = {root->videoTrack->width, root->videoTrack->height};
    DecParSet(nalu + START_CODE_SIZE, naluSize - START_CODE_SIZE, szVideo);
    root->videoTrack->width = szVideo[0];
    root->videoTrack->height = szVideo[1];
}

// Hands every NAL unit of a video payload to the writer with the sample's
// time stamp. Only a leading sequence parameter set updates the picture size.
static void routeVideoPayload(UINT8* payload, UINT32 payloadSize, UINT32 timeStamp)
{
    UINT8* nalu = nullptr;
    UINT32 naluSize = 0;
    int bIsFirstNALU = 0;

    if (pqBoxParser->GetNextVideoNALU(payload, payloadSize, &nalu, &naluSize, &bIsFirstNALU) != 1) {
        return;
    }
    if (naluSize > START_CODE_SIZE && nalu[START_CODE_SIZE] == NALU_HEADER_SPS) {
        updateVideoSize(nalu, naluSize);
    }
    writeVideoSample(nalu, naluSize, timeStamp);

    while (bIsFirstNALU == 0) {
        if (pqBoxParser->GetNextVideoNALU(nullptr, 0, &nalu, &naluSize, &bIsFirstNALU) != 1) {
            break;
        }
        if (naluSize > START_CODE_SIZE) {
            writeVideoSample(nalu, naluSize, timeStamp);
        }
    }
}

int QBoxToMp4(unsigned char* inputdata, unsigned int inputdata_length, stInputParameters input)
{
    (void)input;
    if (inputdata == nullptr || inputdata_length < QBOX_HEADER_SIZE) {
        return 0;
    }
    pqBoxParser->GetQBoxHeader(inputdata, pqBoxHeader);
    UINT8* payload = inputdata + QBOX_HEADER_SIZE;
    UINT32 readPayloadSize = inputdata_length - QBOX_HEADER_SIZE;

    if (pqBoxHeader->usSampleStreamType == QBOX_STREAM_VIDEO) {
        // The payload ends where the header says, but never past what was read.
        UINT32 payloadSize = 0;
        if (pqBoxHeader->ulBoxSize > QBOX_HEADER_SIZE) {
            payloadSize = pqBoxHeader->ulBoxSize - QBOX_HEADER_SIZE;
        }
        if (payloadSize > readPayloadSize) {
            payloadSize = readPayloadSize;
        }
        if (payloadSize > 0) {
            routeVideoPayload(payload, payloadSize, pqBoxHeader->ulSampleCts);
        }
    } else if (pqBoxHeader->usSampleStreamType == QBOX_STREAM_AUDIO) {
        if (readPayloadSize > 0) {
            writeAudioSample(payload, readPayloadSize, pqBoxHeader->ulSampleCts);
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// QBox routing to the transport-stream writer
// ---------------------------------------------------------------------------

unsigned char ucParSet[PARSET_BUFFER_SIZE];
unsigned int ulSzParSet = 0;

namespace {

const UINT8 TS_ROUTE_NALU_TYPE_MASK = 0x1F;
const UINT8 TS_ROUTE_NALU_SPS = 7;
const UINT8 TS_ROUTE_NALU_PPS = 8;
const UINT32 TS_ROUTE_START_CODE = 0x00000001;
// The walk goes on while more than this many payload bytes are left: a
// length prefix and at least a NAL header and one more byte.
const UINT32 TS_ROUTE_MIN_UNIT_LEFT = 5;

bool TSRouteIsStreaming(unsigned int bWriteStream)
{
    return bWriteStream == TS_OUTPUT_RTP || bWriteStream == TS_OUTPUT_FILE_AND_RTP;
}

// Streaming: a receiver that joins late needs the parameter sets together,
// so the sequence set is kept and sent again with the picture set that
// follows it. A bundle that would not fit ucParSet is not made; the sets
// still go out one by one.
void TSRouteStreamedUnit(UINT8* unit, UINT32 szUnit, UINT32 cts, unsigned int bWriteStream)
{
    UINT8 type = unit[QBOX_NALU_PREFIX_SIZE] & TS_ROUTE_NALU_TYPE_MASK;
    if (type == TS_ROUTE_NALU_SPS) {
        if (szUnit <= PARSET_BUFFER_SIZE) {
            memcpy(ucParSet, unit, szUnit);
            ulSzParSet = szUnit;
        } else {
            ulSzParSet = 0;
        }
    } else if (type == TS_ROUTE_NALU_PPS) {
        if (ulSzParSet != 0 && szUnit <= PARSET_BUFFER_SIZE - ulSzParSet) {
            memcpy(ucParSet + ulSzParSet, unit, szUnit);
            writeVideoTS(ucParSet, ulSzParSet + szUnit, cts, bWriteStream);
        }
        ulSzParSet = 0;
    }
    writeVideoTS(unit, szUnit, cts, bWriteStream);
}

// Walks the length-prefixed NAL units of a video payload, handing each to
// the writer in start-code form and restoring its prefix afterwards.
void TSRouteVideoPayload(UINT8* payload, UINT32 szPayload, UINT32 cts, unsigned int bWriteStream)
{
    UINT32 consumed = 0;
    while (szPayload - consumed > TS_ROUTE_MIN_UNIT_LEFT) {
        UINT8* unit = payload + consumed;
        UINT32 length = ReadBE32(unit);
        if (length > szPayload - consumed - QBOX_NALU_PREFIX_SIZE) {
            break;  // runs past the payload: nothing of it is sent
        }
        UINT32 szUnit = length + QBOX_NALU_PREFIX_SIZE;
        WriteBE32(unit, TS_ROUTE_START_CODE);
        if (TSRouteIsStreaming(bWriteStream) && length > 0) {
            TSRouteStreamedUnit(unit, szUnit, cts, bWriteStream);
        } else {
            writeVideoTS(unit, szUnit, cts, bWriteStream);
        }
        WriteBE32(unit, length);
        consumed += szUnit;
    }
}

}  // namespace

unsigned int QBoxToMP2TS(unsigned char* inputdata, unsigned int inputdata_length, unsigned int bWriteStream)
{
    // Opened by the first audio sample or the first sample that starts with
    // a sequence parameter set; serves every output mode of the run.
    static bool bWriteTS = false;

    // The size comes from the header record; a box claiming more than the
    // caller read is cut to what is there.
    UINT32 boxSize = pqBoxHeader->ulBoxSize;
    if (inputdata_length < boxSize) {
        boxSize = inputdata_length;
    }
    UINT8* payload = inputdata + QBOX_HEADER_SIZE;
    UINT32 szPayload = boxSize > QBOX_HEADER_SIZE ? boxSize - QBOX_HEADER_SIZE : 0;
    UINT16 type = pqBoxHeader->usSampleStreamType;

    if ((szPayload > QBOX_NALU_PREFIX_SIZE &&
         (payload[QBOX_NALU_PREFIX_SIZE] & TS_ROUTE_NALU_TYPE_MASK) == TS_ROUTE_NALU_SPS) ||
        type == QBOX_STREAM_AUDIO) {
        bWriteTS = true;
    }
    if (!bWriteTS) {
        return 1;
    }

    if (type == QBOX_STREAM_AUDIO) {
        if (szPayload > 0) {
            writeAudioTS(payload, szPayload, pqBoxHeader->ulSampleCts, bWriteStream);
        }
        return 1;
    }
    if (type == QBOX_STREAM_VIDEO) {
        TSRouteVideoPayload(payload, szPayload, pqBoxHeader->ulSampleCts, bWriteStream);
        return 1;
    }
    puts("QBox Type Unknown");
    return 0;
}

// ---------------------------------------------------------------------------
// Ownership of the MP4 spool files
// ---------------------------------------------------------------------------

// The MP4 writer spools its sample tables under fixed names ("~temp1" to
// "~temp7") in the current directory, so two runs recording MP4 in one
// directory would write into each other's tables. A run owns those names
// while it holds an exclusive advisory lock on SPOOL_LOCK_NAME.
static const char SPOOL_LOCK_NAME[] = "~temp.lock";
static int spoolLockFd = -1;

static void ReleaseSpoolLock()
{
    if (spoolLockFd < 0)
        return;
    unlink(SPOOL_LOCK_NAME);
    close(spoolLockFd);
    spoolLockFd = -1;
}

// ---------------------------------------------------------------------------
// Recording housekeeping
// ---------------------------------------------------------------------------

unsigned int ulvcount = 0;  // video samples since the counter last wrapped
unsigned int ulacount = 0;  // audio samples since the counter last wrapped

static const unsigned int AUDIO_COUNT_WRAP = 48;
static const int FREE_SPACE_CHECKS_OFF_KIB = 102400;
static const char SDCARD_MOUNT_COMMAND[] = "/home/zazivur/Vadidoduz/scripts/mountsdcard.sh 1";

void write_bitrate_to_file(stInputParameters* input, unsigned char* inputdata, int inputdata_length,
                           unsigned int saving)
{
    (void)inputdata_length;
    (void)saving;
    pqBoxParser->GetQBoxHeader(inputdata, pqBoxHeader);
    if (pqBoxHeader->usSampleStreamType == QBOX_STREAM_VIDEO) {
        if (++ulvcount == input->ulVideo_Frame_Rate)
            ulvcount = 0;
    } else if (pqBoxHeader->usSampleStreamType == QBOX_STREAM_AUDIO) {
        if (++ulacount == AUDIO_COUNT_WRAP)
            ulacount = 0;
    }
}

// Free KiB on the file system of the current directory, counting the blocks
// reserved for the superuser too. A volume with more than 2 TiB free reports
// the largest signed 32-bit figure rather than wrapping negative, which would
// read as "disk full" at the first sample.
int get_free_diskspace()
{
    if (skip_disk_check)
        return FREE_SPACE_CHECKS_OFF_KIB;
    struct statvfs64 fs;
    if (statvfs64("./", &fs) != 0) {
        puts("Unable to determine free disk space. ");
        return -1;
    }
    unsigned long long kib = (unsigned long long)fs.f_bsize * fs.f_bfree / 1024;
    return kib > (unsigned long long)INT32_MAX ? INT32_MAX : (int)kib;
}

void closecapture(unsigned int saving_type)
{
    if (saving_type == 1) {
        if (mp4write == 1)
            completeMP4File();
        deleteMP4Params();
        ReleaseSpoolLock();
    } else if (saving_type == 2) {
        deinitMP2TS();
    }
}

int init_sdcard()
{
    int status = system(SDCARD_MOUNT_COMMAND);
    return status >> 8;
}

unsigned int init_disk_write()
{
    return 1;
}

// ---------------------------------------------------------------------------
// Capture run
// ---------------------------------------------------------------------------

// Set by the signal handler alongside stop_encoding. The device reader looks
// at it while it waits for the next box, so that a stop takes effect even
// when the device delivers nothing; stop_encoding alone also ends the loop
// when no output is left, which must not cut the last read short.
static volatile sig_atomic_t stop_requested = 0;

void sig_handler(int sig)
{
    (void)sig;
    stop_encoding = 1;
    stop_requested = 1;
}

void init_sig_handler()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        puts("User interrupt Ctrl+C could not be initialized.");
        exit(1);
    }
    if (sigaction(SIGTERM, &action, nullptr) != 0) {
        puts("User interrupt kill could not be initialized.");
        exit(1);
    }
}

// The rest of the run is the program itself, which the library leaves out.
#ifndef VOZIREV_NO_MAIN

static bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// 1 when this run now owns the spool names, 0 when another run holds them
// (or the lock file cannot be created).
static int AcquireSpoolLock()
{
    for (;;) {
        int fd = open(SPOOL_LOCK_NAME, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return 0;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return 0;
        }
        // The owner removes the name before it unlocks, so a lock taken on a
        // file whose name has gone in the meantime protects nothing: retry.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(SPOOL_LOCK_NAME, &named) == 0 && SameFile(held, named)) {
            spoolLockFd = fd;
            return 1;
        }
        close(fd);
    }
}

// The run's output switches. ulstreaming and ulsaving only ever go from 1 to
// 0; the type fields never change.
struct stInternalConfig {
    unsigned int ulstreaming;
    unsigned int ulsaving;
    unsigned int ulstreaming_type;
    unsigned int ulsaving_type;
};
static stInternalConfig internal_config;

static const unsigned int MIN_FREE_KIB = 10240;  // recording needs 10 MiB headroom

static const unsigned int SAVE_MP4 = 1;
static const unsigned int SAVE_TS = 2;
static const unsigned int STREAM_RTP_ES = 1;
static const unsigned int STREAM_RTP_TS = 2;

// "./" + the first '.'-delimited token of the name + the extension, in place.
// Refuses a name with no token left or a path that does not fit the field.
static int BuildRecordingPath(stInputParameters* input, const char* extension)
{
    char name[FILENAME_FIELD_SIZE];
    memcpy(name, input->sOutput_Filename, sizeof name);
    name[sizeof name - 1] = '\0';
    char* saveptr = nullptr;
    char* token = strtok_r(name, ".", &saveptr);
    if (token == nullptr) {
        printf("\nInvalid output file name \"%s\".\n", input->sOutput_Filename);
        return -1;
    }
    int n = snprintf(input->sOutput_Filename, FILENAME_FIELD_SIZE, "./%s%s", token, extension);
    if (n < 0 || (unsigned int)n >= FILENAME_FIELD_SIZE) {
        printf("\nOutput file name too long: the path must stay below %u characters.\n",
               FILENAME_FIELD_SIZE);
        return -1;
    }
    return 0;
}

static void AnnounceStreaming(const stInputParameters* input)
{
    if (internal_config.ulstreaming_type == STREAM_RTP_ES) {
        printf("Streaming Elementary Stream to %s on ", input->IP_Addr);
        if (input->ulMediaFormat == MEDIA_FORMAT_AUDIO)
            printf("audio port: %d\n", input->Audio_Port);
        else if (input->ulMediaFormat == MEDIA_FORMAT_VIDEO)
            printf("video port: %d\n", input->Video_Port);
        else if (input->ulMediaFormat == MEDIA_FORMAT_AUDIO_VIDEO)
            printf("video port:%d and audio port: %d\n", input->Video_Port, input->Audio_Port);
    } else if (internal_config.ulstreaming_type == STREAM_RTP_TS) {
        printf("Streaming MPEG Transport Stream to %s on port:%d\n", input->IP_Addr, input->Video_Port);
    } else {
        printf("Invalid Streaming Format. Use 1 or 2.");
        exit(1);
    }
}

static void OpenStreaming(stInputParameters* input)
{
    if (!RTPOpen((unsigned short)input->Audio_Port, (unsigned short)input->Video_Port, input->IP_Addr,
                 (int)input->ucttl)) {
        puts("Couldn't open the streaming sockets.");
        internal_config.ulstreaming = 0;
        if (!internal_config.ulsaving)
            exit(1);
        return;
    }
    if (internal_config.ulstreaming_type == STREAM_RTP_TS &&
        initMP2TS((unsigned char)input->ulMediaFormat, nullptr, TS_OUTPUT_RTP) == 0) {
        puts("Couldn't initialize MPG-TS streaming.");
        CloseSockets();
        internal_config.ulstreaming = 0;
        if (internal_config.ulsaving_type != SAVE_MP4)
            exit(1);
    }
}

// Recording could not start: "\nUnble to open output file for writing." and
// the run goes on only if it streams.
static void RecordingUnavailable(FILE* file)
{
    internal_config.ulsaving = 0;
    puts("\nUnble to open output file for writing.");
    if (file)
        fclose(file);
    if (!internal_config.ulstreaming)
        exit(1);
}

static void OpenRecording(stInputParameters* input, unsigned int ulfreebytes)
{
    // The spool lock comes before the open: "wb" truncates, and a file of
    // the same name may be the recording of the run that holds the lock.
    if (internal_config.ulsaving_type == SAVE_MP4 && !AcquireSpoolLock()) {
        RecordingUnavailable(nullptr);
        return;
    }
    FILE* file = fopen64(input->sOutput_Filename, "wb");
    if (file == nullptr || ulfreebytes <= MIN_FREE_KIB - 1) {
        ReleaseSpoolLock();
        RecordingUnavailable(file);
        return;
    }
    if (internal_config.ulsaving_type == SAVE_MP4) {
        if (SetParameters(*input, file) != 1) {
            // The writer has released itself and closed the file.
            ReleaseSpoolLock();
            RecordingUnavailable(nullptr);
        }
        return;
    }
    if (initMP2TS((unsigned char)input->ulMediaFormat, file, TS_OUTPUT_FILE) == 0) {
        printf("Couldn't initialize the %s file\n", input->sOutput_Filename);
        fclose(file);
        internal_config.ulsaving = 0;
        if (!(internal_config.ulstreaming && internal_config.ulstreaming_type == STREAM_RTP_ES))
            exit(1);
    }
}

// True while both the file and the stream take the transport stream: then
// one packetisation serves both (mode 3), so that each keeps its continuity
// counters without gaps.
static bool TransportStreamToBoth()
{
    return internal_config.ulsaving && internal_config.ulsaving_type == SAVE_TS &&
           internal_config.ulstreaming && internal_config.ulstreaming_type == STREAM_RTP_TS;
}

static void RefreshFreeSpace(const stInputParameters* input, unsigned int* ulfreebytes)
{
    if (ulacount == AUDIO_COUNT_WRAP - 1 || ulvcount == input->ulVideo_Frame_Rate - 1)
        *ulfreebytes = (unsigned int)get_free_diskspace();
}

// Whether the sample still fits in the free space less the headroom; when it
// does not, the recording is finalised and streaming goes on alone.
static bool RecordingHasRoom(int length, unsigned int ulfreebytes)
{
    if ((int)(length / 1024) < (int)ulfreebytes - (int)MIN_FREE_KIB)
        return true;
    puts("Disk space exceeded.");
    closecapture(internal_config.ulsaving_type);
    internal_config.ulsaving = 0;
    return false;
}

// One turn's routing: accounting is done; streaming first, recording last
// (the MP4 route rewrites the buffer in place).
static void RouteSample(stInputParameters* input, unsigned char* inputdata, int length,
                        unsigned int* ulfreebytes)
{
    bool record = false;
    if (internal_config.ulsaving) {
        RefreshFreeSpace(input, ulfreebytes);
        record = RecordingHasRoom(length, *ulfreebytes);
    }
    if (record && TransportStreamToBoth()) {
        QBoxToMP2TS(inputdata, (unsigned int)length, TS_OUTPUT_FILE_AND_RTP);
        return;
    }
    if (internal_config.ulstreaming) {
        if (internal_config.ulstreaming_type == STREAM_RTP_TS)
            QBoxToMP2TS(inputdata, (unsigned int)length, TS_OUTPUT_RTP);
        else
            QBox2Streaming(inputdata, length);
    }
    if (record) {
        if (internal_config.ulsaving_type == SAVE_MP4) {
            QBoxToMp4(inputdata, (unsigned int)length, *input);
            mp4write = 1;
        } else {
            QBoxToMP2TS(inputdata, (unsigned int)length, TS_OUTPUT_FILE);
        }
    }
}

static void ReleaseSharedRecords(unsigned char* inputdata)
{
    delete pqBoxParser;
    pqBoxParser = nullptr;
    delete pqBoxHeader;
    pqBoxHeader = nullptr;
    free(inputdata);
}

// Works out the active outputs and opens them, with every fallback; returns
// the free-space figure of a recording (0 when not recording).
static unsigned int OpenOutputs(stInputParameters* input)
{
    unsigned int ulfreebytes = 0;
    internal_config.ulstreaming = (input->ulStreaming != 0);
    internal_config.ulsaving = (input->ulSaving != 0);
    internal_config.ulstreaming_type = input->ulStreaming;
    internal_config.ulsaving_type = input->ulSaving;

    if (internal_config.ulsaving) {
        ulfreebytes = (unsigned int)get_free_diskspace();
        if (input->ulSaving != SAVE_MP4 && input->ulSaving != SAVE_TS) {
            puts("Invalid Saving Format. Use 1 or 2.");
            exit(1);
        }
        if (BuildRecordingPath(input, input->ulSaving == SAVE_MP4 ? ".mp4" : ".mpg") != 0)
            exit(1);
        printf("Saving to %s\n", input->sOutput_Filename);
    }
    if (internal_config.ulstreaming) {
        AnnounceStreaming(input);
        OpenStreaming(input);
    }
    if (internal_config.ulsaving)
        OpenRecording(input, ulfreebytes);
    return ulfreebytes;
}

// One sample per turn until a stop, a read failure or no output left.
// Returns the run's exit status: 1 after a device read failure, else 0.
static int CaptureLoop(int* handle, stInputParameters* input, unsigned char* inputdata,
                       unsigned int ulfreebytes)
{
    unsigned int type = QBOX_TYPE, TS = 0;
    while (!stop_encoding) {
        type = QBOX_TYPE;
        if (!internal_config.ulstreaming && !internal_config.ulsaving)
            stop_encoding = 1;
        int length = VLGetAccessUnit(handle, inputdata, type, TS);
        if (length == -1) {
            // A read that gave way to a stop request is no failure.
            if (stop_requested)
                return 0;
            printf("\n Reading from Device failed");
            return 1;
        }
        write_bitrate_to_file(input, inputdata, length, internal_config.ulsaving);
        RouteSample(input, inputdata, length, &ulfreebytes);
    }
    return 0;
}

int main(int argc, char** argv)
{
    unsigned char* inputdata = (unsigned char*)malloc(SAMPLE_BUFFER_SIZE);
    unsigned int ulfreebytes = 0;
    stInputParameters input;
    memset(&input, 0, sizeof input);
    if (inputdata == nullptr || get_cmdline_parameters(&input, argc, argv) == -1)
        exit(1);

    printf("\nVozirev capture program\n");
    init_sig_handler();
    pReaderStopRequest = &stop_requested;

    int* handle = VLOpen((int)input.ulDevice_Number);
    if (handle == nullptr) {
        printf("\nVozirev Device_%d not found, please check device connections.", input.ulDevice_Number);
        exit(1);
    }
    if (setVL_parameters(&input, handle) == -1)
        exit(1);

    ulfreebytes = OpenOutputs(&input);

    if (VLStartRecord(handle) != 1) {
        printf("\nStart Encode Command failed");
        if (internal_config.ulsaving && internal_config.ulsaving_type == SAVE_MP4) {
            deleteMP4Params();
            ReleaseSpoolLock();
        }
        // Like every other start-up failure: the process ends here, with the
        // device and the sample buffer still held by this frame.
        exit(1);
    }
    printf("\nStarted Encoding.. ");
    fflush(stdout);

    int status = CaptureLoop(handle, &input, inputdata, ulfreebytes);

    VLStop(handle);
    VLClose(handle);
    if (internal_config.ulsaving)
        closecapture(internal_config.ulsaving_type);
    if (internal_config.ulstreaming)
        CloseSockets();
    ReleaseSharedRecords(inputdata);
    return status;
}
#endif

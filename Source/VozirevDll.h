// Device control API of the Vozirev capture device: open a device node by
// number, send it encoder settings and run commands as 32-bit command words,
// read encoded samples from it, close it.
//
// Two layers: the class Vozirev (one object per open device) builds and
// writes the command words; the free VL... functions take the device handle
// as an opaque int* (pointing at the Vozirev object) and forward to the
// method of the same name. Applications use only the free functions.
//
// Status results of the setters and commands: 1 the command word was
// written, 0 an argument was out of range and nothing was written, -1 the
// write failed. Nothing here prints.
#ifndef VOZIREV_DLL_H
#define VOZIREV_DLL_H

#include <cstdint>

#include "Types.h"
#include "devicereader.h"

enum EncodingMediaType { AudioOnly = 0, VideoOnly = 1, AudioVideo = 2 };

// Status results of the setters and commands.
const int VL_STATUS_DONE = 1;
const int VL_STATUS_OUT_OF_RANGE = 0;
const int VL_STATUS_FAILED = -1;

// Base path of the device nodes; the node of device n is the base path
// followed by the single digit n ("/dev/Vozirev0" ... "/dev/Vozirev9").
const unsigned int DEV_NAME_SIZE = 24;
extern char Dev_name[DEV_NAME_SIZE];
// Path prefix used for opening; points at Dev_name. Tests point it at a
// temporary prefix so that a regular file stands in for the node.
extern char* pDev_name;

const int VL_MAX_DEVICE_NUMBER = 9;

// The node is opened non-blocking (for the sample reader); a command word
// the driver cannot take yet waits for it this long at most: 10 x 100 ms.
const int VL_COMMAND_WAIT_SLICES = 10;
const int VL_COMMAND_WAIT_SLICE_MS = 100;

// Command codes: a command word carries the code in bits 24-31 and the
// parameter in bits 0-23, and is written in the processor's own byte order
// (the driver reads it as a native 32-bit integer).
const unsigned int VL_COMMAND_SHIFT = 24;
// The largest parameter a command word carries; a larger one would spill
// into the code.
const unsigned int VL_COMMAND_PARAMETER_MAX = (1u << VL_COMMAND_SHIFT) - 1;
const unsigned int VL_CMD_START_RECORD = 0x0B;
const unsigned int VL_CMD_PAUSE = 0x0C;
const unsigned int VL_CMD_RESUME = 0x0D;
const unsigned int VL_CMD_STOP = 0x0E;
const unsigned int VL_CMD_MEDIA_TYPE = 0x15;
const unsigned int VL_CMD_VIDEO_BITRATE = 0x16;
const unsigned int VL_CMD_AUDIO_BITRATE = 0x17;
const unsigned int VL_CMD_VIDEO_GOP = 0x18;
const unsigned int VL_CMD_FRAME_SIZE = 0x29;
const unsigned int VL_CMD_FRAME_RATE = 0x2A;
const unsigned int VL_CMD_BRIGHTNESS = 0x64;
const unsigned int VL_CMD_COLOR = 0x65;
const unsigned int VL_CMD_CLOSED_CAPTION = 0x68;

// Accepted argument ranges (inclusive).
const unsigned int VL_VIDEO_BITRATE_MIN = 5;     // kbit/s
const unsigned int VL_VIDEO_BITRATE_MAX = 4001;
const unsigned int VL_AUDIO_BITRATE_MIN = 23;    // kbit/s
const unsigned int VL_AUDIO_BITRATE_MAX = 193;
const unsigned int VL_FRAME_WIDTH_MIN = 95;      // pixels
const unsigned int VL_FRAME_WIDTH_MAX = 721;
const unsigned int VL_FRAME_HEIGHT_MIN = 95;
const unsigned int VL_FRAME_HEIGHT_MAX = 577;
const unsigned int VL_FRAME_RATE_MIN = 1;        // frames per second
const unsigned int VL_FRAME_RATE_MAX = 30;
// The frame size parameter: width in bits 10-19, height in bits 0-9.
const unsigned int VL_FRAME_WIDTH_SHIFT = 10;

class Vozirev {
public:
    // Opens the node of device number Dev (0 to 9) read-write and
    // non-blocking. Numbers outside 0..9 open nothing; the open's outcome
    // is left in iret.
    explicit Vozirev(int Dev);
    ~Vozirev();

    // Writes the 4 bytes of the command word with one write: 1 when at
    // least one byte went out, -1 when none did or the write failed. A node
    // that answers EAGAIN is written again when it takes data, for at most
    // VL_COMMAND_WAIT_SLICES waits of VL_COMMAND_WAIT_SLICE_MS.
    int Write2Device(unsigned int ulcommand);

    int VLSetMediaType(EncodingMediaType MediaFormat);
    int VLSetVideoBitRate(unsigned int ulVideoBitRate);
    int VLSetAudioBitRate(unsigned int ulAudioBitRate);
    int VLSetVideoGOP(unsigned int ulIntraFrameInterval);
    int VLSetVideoFrameSize(unsigned int ulWidth, unsigned int ulHeight);
    int VLSetVideoFrameRate(unsigned int ulFramespersec);
    int VLSetBrightness(unsigned char usBrightness);
    int VLSetColor(unsigned char usColor);
    int VLClosedCaption(unsigned int enable);
    int VLStartRecord();
    int VLPause();
    int VLResume();
    // Re-arms the reader's first-box rule, then writes the stop word.
    int VLStop();

    // Reads one sample into buffer (at least SAMPLE_BUFFER_SIZE bytes).
    // On input type = QBOX_TYPE asks for the whole box, anything else for the
    // converted payload. Returns the sample length, or -1 on a read failure
    // (type and TimeStamp then unchanged).
    int VLGetAccessUnit(unsigned char* buffer, unsigned int& type, unsigned int& TimeStamp);

    UINT32 devicestatus;  // reserved, unused
    intptr_t hRead;       // copy of the descriptor once open, -1 when the open failed
    intptr_t hWrite;      // unused
    INT32 iret;           // the device descriptor used for commands and samples

private:
    int SendCommand(unsigned int ulCode, unsigned int ulParameter);
};

// The public API. Dev is the handle returned by VLOpen; a null handle makes
// every call fail with VL_STATUS_FAILED (VLGetAccessUnit: -1).
int* VLOpen(int Device_n_Number);  // null when the device cannot be opened
void VLClose(int* Dev);
int VLSetMediaType(int* Dev, EncodingMediaType MediaFormat);
int VLSetVideoBitRate(int* Dev, unsigned int ulVideoBitRate);
int VLSetAudioBitRate(int* Dev, unsigned int ulAudioBitRate);
int VLSetVideoGOP(int* Dev, unsigned int ulIntraFrameInterval);
int VLSetVideoFrameSize(int* Dev, unsigned int ulWidth, unsigned int ulHeight);
int VLSetVideoFrameRate(int* Dev, unsigned int ulFramespersec);
int VLSetBrightness(int* Dev, unsigned char usBrightness);
int VLSetColor(int* Dev, unsigned char usColor);
int VLClosedCaption(int* Dev, unsigned int enable);
int VLStartRecord(int* Dev);
int VLPause(int* Dev);
int VLResume(int* Dev);
int VLStop(int* Dev);
int VLGetAccessUnit(int* Dev, unsigned char* buffer, unsigned int& type, unsigned int& TimeStamp);

#endif

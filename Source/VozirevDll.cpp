// Device control API: command words to the capture device's node, samples
// from it through the device sample reader.
#include "VozirevDll.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

char Dev_name[DEV_NAME_SIZE] = "/dev/Vozirev";
char* pDev_name = Dev_name;

// Room for a test prefix in place of the base path, the digit and the NUL.
static const unsigned int DEVICE_PATH_SIZE = 4096;

// hRead before an open and after VLClose, and when the open failed.
static const intptr_t HANDLE_CLOSED = 0;
static const intptr_t HANDLE_FAILED = -1;

Vozirev::Vozirev(int Dev) : devicestatus(0), hRead(HANDLE_CLOSED), hWrite(HANDLE_CLOSED), iret(-1)
{
    if (Dev < 0)
        return;
    if (Dev > VL_MAX_DEVICE_NUMBER) {
        hRead = HANDLE_FAILED;
        return;
    }
    char path[DEVICE_PATH_SIZE];
    int n = snprintf(path, sizeof(path), "%s%d", pDev_name, Dev);
    if (n < 0 || (unsigned int)n >= sizeof(path)) {
        hRead = HANDLE_FAILED;
        return;
    }
    // Non-blocking, so that the sample reader reads while the device has
    // data and waits only when it has none (devicereader.h).
    iret = open(path, O_RDWR | O_NONBLOCK);
    hRead = iret;
    if (iret >= 0)
        ReaderDeviceOpened(iret);
}

Vozirev::~Vozirev()
{
}

int Vozirev::Write2Device(unsigned int ulcommand)
{
    // The driver runs on this processor and takes the word in its own byte
    // order, so the integer's bytes go out exactly as they lie in memory.
    ssize_t written = write(iret, &ulcommand, sizeof(ulcommand));
    // The node is non-blocking: a driver that is busy with the command
    // before says so and takes the word once it can.
    for (int i = 0; written < 0 && errno == EAGAIN && i < VL_COMMAND_WAIT_SLICES; i++) {
        struct pollfd pfd = {(int)iret, POLLOUT, 0};
        poll(&pfd, 1, VL_COMMAND_WAIT_SLICE_MS);
        written = write(iret, &ulcommand, sizeof(ulcommand));
    }
    return written > 0 ? VL_STATUS_DONE : VL_STATUS_FAILED;
}

int Vozirev::SendCommand(unsigned int ulCode, unsigned int ulParameter)
{
    return Write2Device(ulCode << VL_COMMAND_SHIFT | ulParameter);
}

int Vozirev::VLSetMediaType(EncodingMediaType MediaFormat)
{
    unsigned int ulFormat = (unsigned int)MediaFormat;
    if (ulFormat > (unsigned int)AudioVideo)
        return VL_STATUS_OUT_OF_RANGE;
    // The device numbers its media types from 1.
    return SendCommand(VL_CMD_MEDIA_TYPE, ulFormat + 1);
}

int Vozirev::VLSetVideoBitRate(unsigned int ulVideoBitRate)
{
    if (ulVideoBitRate < VL_VIDEO_BITRATE_MIN || ulVideoBitRate > VL_VIDEO_BITRATE_MAX)
        return VL_STATUS_OUT_OF_RANGE;
    return SendCommand(VL_CMD_VIDEO_BITRATE, ulVideoBitRate);
}

int Vozirev::VLSetAudioBitRate(unsigned int ulAudioBitRate)
{
    if (ulAudioBitRate < VL_AUDIO_BITRATE_MIN || ulAudioBitRate > VL_AUDIO_BITRATE_MAX)
        return VL_STATUS_OUT_OF_RANGE;
    return SendCommand(VL_CMD_AUDIO_BITRATE, ulAudioBitRate);
}

int Vozirev::VLSetVideoGOP(unsigned int ulIntraFrameInterval)
{
    // Not masked: callers keep the interval below 2^24.
    return SendCommand(VL_CMD_VIDEO_GOP, ulIntraFrameInterval);
}

int Vozirev::VLSetVideoFrameSize(unsigned int ulWidth, unsigned int ulHeight)
{
    if (ulWidth < VL_FRAME_WIDTH_MIN || ulWidth > VL_FRAME_WIDTH_MAX)
        return VL_STATUS_OUT_OF_RANGE;
    if (ulHeight < VL_FRAME_HEIGHT_MIN || ulHeight > VL_FRAME_HEIGHT_MAX)
        return VL_STATUS_OUT_OF_RANGE;
    return SendCommand(VL_CMD_FRAME_SIZE, ulWidth << VL_FRAME_WIDTH_SHIFT | ulHeight);
}

int Vozirev::VLSetVideoFrameRate(unsigned int ulFramespersec)
{
    if (ulFramespersec < VL_FRAME_RATE_MIN || ulFramespersec > VL_FRAME_RATE_MAX)
        return VL_STATUS_OUT_OF_RANGE;
    return SendCommand(VL_CMD_FRAME_RATE, ulFramespersec);
}

int Vozirev::VLSetBrightness(unsigned char usBrightness)
{
    return SendCommand(VL_CMD_BRIGHTNESS, usBrightness);
}

int Vozirev::VLSetColor(unsigned char usColor)
{
    return SendCommand(VL_CMD_COLOR, usColor);
}

int Vozirev::VLClosedCaption(unsigned int enable)
{
    return SendCommand(VL_CMD_CLOSED_CAPTION, enable != 0 ? 1 : 0);
}

int Vozirev::VLStartRecord()
{
    return SendCommand(VL_CMD_START_RECORD, 0);
}

int Vozirev::VLPause()
{
    return SendCommand(VL_CMD_PAUSE, 0);
}

int Vozirev::VLResume()
{
    return SendCommand(VL_CMD_RESUME, 0);
}

int Vozirev::VLStop()
{
    // Re-armed first, so that the reader waits for the start of the next
    // run even when the stop word cannot be written.
    firstQboxFrmDevice = true;
    return SendCommand(VL_CMD_STOP, 0);
}

int Vozirev::VLGetAccessUnit(unsigned char* buffer, unsigned int& type, unsigned int& TimeStamp)
{
    int length = 0;
    if (ReadQBox(iret, buffer, length, type, TimeStamp) == 0)
        return -1;
    return length < 0 ? -1 : length;
}

// ---- the public API: the handle is the Vozirev object -------------------

static Vozirev* DeviceOf(int* Dev)
{
    return reinterpret_cast<Vozirev*>(Dev);
}

int* VLOpen(int Device_n_Number)
{
    Vozirev* pDevice = new Vozirev(Device_n_Number);
    // Any descriptor the open returns is usable, 0 included (a program
    // started with standard input closed gets it).
    bool bOpened = Device_n_Number >= 0 && Device_n_Number <= VL_MAX_DEVICE_NUMBER &&
                   pDevice->iret >= 0;
    if (!bOpened) {
        delete pDevice;
        return nullptr;
    }
    return reinterpret_cast<int*>(pDevice);
}

void VLClose(int* Dev)
{
    Vozirev* pDevice = DeviceOf(Dev);
    if (pDevice == nullptr)
        return;
    // Nothing uses the descriptor after this; release it with the handle.
    if (pDevice->iret >= 0)
        close(pDevice->iret);
    pDevice->hRead = HANDLE_CLOSED;
    delete pDevice;
}

int VLSetMediaType(int* Dev, EncodingMediaType MediaFormat)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetMediaType(MediaFormat) : VL_STATUS_FAILED;
}

int VLSetVideoBitRate(int* Dev, unsigned int ulVideoBitRate)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetVideoBitRate(ulVideoBitRate) : VL_STATUS_FAILED;
}

int VLSetAudioBitRate(int* Dev, unsigned int ulAudioBitRate)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetAudioBitRate(ulAudioBitRate) : VL_STATUS_FAILED;
}

int VLSetVideoGOP(int* Dev, unsigned int ulIntraFrameInterval)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetVideoGOP(ulIntraFrameInterval) : VL_STATUS_FAILED;
}

int VLSetVideoFrameSize(int* Dev, unsigned int ulWidth, unsigned int ulHeight)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetVideoFrameSize(ulWidth, ulHeight) : VL_STATUS_FAILED;
}

int VLSetVideoFrameRate(int* Dev, unsigned int ulFramespersec)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetVideoFrameRate(ulFramespersec) : VL_STATUS_FAILED;
}

int VLSetBrightness(int* Dev, unsigned char usBrightness)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetBrightness(usBrightness) : VL_STATUS_FAILED;
}

int VLSetColor(int* Dev, unsigned char usColor)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLSetColor(usColor) : VL_STATUS_FAILED;
}

int VLClosedCaption(int* Dev, unsigned int enable)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLClosedCaption(enable) : VL_STATUS_FAILED;
}

int VLStartRecord(int* Dev)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLStartRecord() : VL_STATUS_FAILED;
}

int VLPause(int* Dev)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLPause() : VL_STATUS_FAILED;
}

int VLResume(int* Dev)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLResume() : VL_STATUS_FAILED;
}

int VLStop(int* Dev)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLStop() : VL_STATUS_FAILED;
}

int VLGetAccessUnit(int* Dev, unsigned char* buffer, unsigned int& type, unsigned int& TimeStamp)
{
    Vozirev* pDevice = DeviceOf(Dev);
    return pDevice ? pDevice->VLGetAccessUnit(buffer, type, TimeStamp) : VL_STATUS_FAILED;
}

// Shared by the test drivers: reading a QBox stream file box by box, and
// setting up a run of the capture program's own outputs, so that every box
// goes through ProcessSample exactly as the capture loop sends it.
#ifndef VOZIREV_DRIVER_COMMON_H
#define VOZIREV_DRIVER_COMMON_H

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "QBox.h"
#include "captureparams.h"
#include "capturerun.h"
#include "devicereader.h"

// Reads the next whole box of a QBox stream file into buffer
// (SAMPLE_BUFFER_SIZE bytes). Returns its size, 0 at the end of the stream,
// -1 on a malformed or oversized box.
inline long ReadStreamBox(FILE* in, UINT8* buffer)
{
    size_t got = fread(buffer, 1, QBOX_HEADER_SIZE, in);
    if (got == 0)
        return 0;
    if (got != QBOX_HEADER_SIZE)
        return -1;
    UINT32 size = ReadBE32(buffer);
    if (size < QBOX_HEADER_SIZE || size > SAMPLE_BUFFER_SIZE)
        return -1;
    UINT32 payload = size - QBOX_HEADER_SIZE;
    if (fread(buffer + QBOX_HEADER_SIZE, 1, payload, in) != payload)
        return -1;
    return (long)size;
}

// Whether a video payload holds a coded picture (a slice NAL unit), read
// independently of the walkers under test.
inline bool HoldsPicture(const UINT8* payload, UINT32 size)
{
    UINT32 pos = 0;
    while (size - pos >= 5) {
        UINT32 length = ReadBE32(payload + pos);
        if (length == 0 || length > size - pos - 4)
            break;
        UINT8 type = payload[pos + 4] & 0x1F;
        if (type == 1 || type == 5)
            return true;
        pos += 4 + length;
    }
    return false;
}

// Parameters of a driver's run: media format, no encoder settings needed.
inline void DriverParameters(stInputParameters* input, unsigned int media)
{
    memset(input, 0, sizeof(*input));
    input->ulMediaFormat = media;
    input->ulVideo_Frame_Rate = 30;
    input->ucttl = 1;
    strcpy(input->IP_Addr, "127.0.0.1");
}

// Records to path: the directory becomes the current one (the program
// records in the current directory) and the name is the recording's name.
// Returns false when the directory cannot be entered.
inline bool DriverRecordTo(stInputParameters* input, unsigned int saving, const char* path)
{
    std::string p(path);
    size_t slash = p.rfind('/');
    if (slash != std::string::npos && chdir(p.substr(0, slash + 1).c_str()) != 0) {
        perror(path);
        return false;
    }
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    snprintf(input->sOutput_Filename, sizeof(input->sOutput_Filename), "%s", name.c_str());
    input->ulSaving = saving;
    return true;
}

// Streams to ip, video (or transport stream) on videoPort.
inline void DriverStreamTo(stInputParameters* input, unsigned int streaming, const char* ip,
                           unsigned short videoPort, unsigned short audioPort)
{
    input->ulStreaming = streaming;
    snprintf(input->IP_Addr, sizeof(input->IP_Addr), "%s", ip);
    input->Video_Port = videoPort;
    input->Audio_Port = audioPort;
}

#endif

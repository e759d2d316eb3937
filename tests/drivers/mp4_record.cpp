// Test driver for the MP4 recording path.
//
//   mp4_record record STREAM.qbox OUT.mp4 MEDIA
//       Feeds every QBox of STREAM through QBoxToMp4 the way the capture loop
//       does (SetParameters with media format MEDIA: 1 audio, 2 video, 3 both;
//       then QBoxToMp4 per box; completeMP4File and deleteMP4Params at the
//       end). The spool files are made in the current directory.
//   mp4_record list STREAM.qbox
//       Prints one line per box, read independently of the parser under
//       test: "video TS PICTURE" (PICTURE 1 when the box holds a slice NAL
//       unit, type 1 or 5) or "audio TS".
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QBox.h"
#include "Vozirev.h"
#include "devicereader.h"
#include "mp4route.h"
#include "mp4Writer.h"

static UINT8 sampleBuffer[SAMPLE_BUFFER_SIZE];

// Reads the next whole box into sampleBuffer. Returns its size, 0 at the end
// of the stream, -1 on a malformed or oversized box.
static long readBox(FILE* in)
{
    size_t got = fread(sampleBuffer, 1, QBOX_HEADER_SIZE, in);
    if (got == 0) {
        return 0;
    }
    if (got != QBOX_HEADER_SIZE) {
        return -1;
    }
    UINT32 size = ReadBE32(sampleBuffer);
    if (size < QBOX_HEADER_SIZE || size > SAMPLE_BUFFER_SIZE) {
        return -1;
    }
    UINT32 payload = size - QBOX_HEADER_SIZE;
    if (fread(sampleBuffer + QBOX_HEADER_SIZE, 1, payload, in) != payload) {
        return -1;
    }
    return (long)size;
}

static bool holdsPicture(const UINT8* payload, UINT32 size)
{
    UINT32 pos = 0;
    while (size - pos >= 5) {
        UINT32 length = ReadBE32(payload + pos);
        if (length == 0 || length > size - pos - 4) {
            break;
        }
        UINT8 type = payload[pos + 4] & 0x1F;
        if (type == 1 || type == 5) {
            return true;
        }
        pos += 4 + length;
    }
    return false;
}

static int listBoxes(FILE* in)
{
    long size;
    while ((size = readBox(in)) > 0) {
        QBox header;
        DecodeQBoxHeader(sampleBuffer, &header);
        if (header.usSampleStreamType == QBOX_STREAM_VIDEO) {
            printf("video %u %d\n", header.ulSampleCts,
                   holdsPicture(sampleBuffer + QBOX_HEADER_SIZE, (UINT32)size - QBOX_HEADER_SIZE) ? 1 : 0);
        } else if (header.usSampleStreamType == QBOX_STREAM_AUDIO) {
            printf("audio %u\n", header.ulSampleCts);
        }
    }
    return size < 0 ? 1 : 0;
}

static int recordBoxes(FILE* in, const char* outName, unsigned int mediaFormat)
{
    stInputParameters input;
    memset(&input, 0, sizeof(input));
    input.ulMediaFormat = mediaFormat;

    FILE* out = fopen(outName, "wb");
    if (out == nullptr) {
        perror(outName);
        return 1;
    }
    if (SetParameters(input, out) != 1) {
        fprintf(stderr, "the MP4 writer could not be set up\n");
        return 1;
    }
    long size;
    while ((size = readBox(in)) > 0) {
        QBoxToMp4(sampleBuffer, (unsigned int)size, input);
        mp4write = 1;
    }
    if (mp4write == 1) {
        completeMP4File();
    }
    deleteMP4Params();
    if (size < 0) {
        fprintf(stderr, "malformed QBox stream\n");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: mp4_record record STREAM OUT MEDIA | list STREAM\n");
        return 2;
    }
    FILE* in = fopen(argv[2], "rb");
    if (in == nullptr) {
        perror(argv[2]);
        return 1;
    }
    int status = 2;
    if (strcmp(argv[1], "list") == 0) {
        status = listBoxes(in);
    } else if (strcmp(argv[1], "record") == 0 && argc == 5) {
        status = recordBoxes(in, argv[3], (unsigned int)atoi(argv[4]));
    }
    fclose(in);
    return status;
}

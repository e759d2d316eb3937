// Test driver for the MP4 recording path.
//
//   mp4_record record STREAM.qbox OUT.mp4 MEDIA [MAX_FILE_LENGTH]
//       Records every QBox of STREAM to OUT.mp4 through the capture run's
//       own path (OpenOutputs for an MP4 recording of media format MEDIA:
//       1 audio, 2 video, 3 both; ProcessSample per box; CloseOutputs).
//       Like the program, it records in OUT's directory, where the spool
//       files are made, and prints "Saving to ./OUT.mp4". MAX_FILE_LENGTH
//       lowers the MP4 size limit, so that the recording rolls over into
//       OUT-0002.mp4, ... as it does at 4 GiB.
//   mp4_record list STREAM.qbox
//       Prints one line per box, read independently of the parser under
//       test: "video TS PICTURE" (PICTURE 1 when the box holds a slice NAL
//       unit, type 1 or 5) or "audio TS".
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver_common.h"
#include "mp4Writer.h"

static UINT8 sampleBuffer[SAMPLE_BUFFER_SIZE];

static int listBoxes(FILE* in)
{
    long size;
    while ((size = ReadStreamBox(in, sampleBuffer)) > 0) {
        QBox header;
        DecodeQBoxHeader(sampleBuffer, &header);
        if (header.usSampleStreamType == QBOX_STREAM_VIDEO) {
            printf("video %u %d\n", header.ulSampleCts,
                   HoldsPicture(sampleBuffer + QBOX_HEADER_SIZE, (UINT32)size - QBOX_HEADER_SIZE) ? 1 : 0);
        } else if (header.usSampleStreamType == QBOX_STREAM_AUDIO) {
            printf("audio %u\n", header.ulSampleCts);
        }
    }
    return size < 0 ? 1 : 0;
}

static int recordBoxes(FILE* in, const char* outName, unsigned int mediaFormat)
{
    stInputParameters input;
    DriverParameters(&input, mediaFormat);
    if (!DriverRecordTo(&input, SAVE_MP4, outName) || OpenOutputs(&input) != 0 || !internal_config.ulsaving) {
        fprintf(stderr, "the MP4 recording could not be opened\n");
        return 1;
    }
    long size;
    while ((size = ReadStreamBox(in, sampleBuffer)) > 0) {
        ProcessSample(&input, sampleBuffer, (int)size);
    }
    CloseOutputs(&input);
    if (size < 0) {
        fprintf(stderr, "malformed QBox stream\n");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: mp4_record record STREAM OUT MEDIA [MAX_FILE_LENGTH] | list STREAM\n");
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
    } else if (strcmp(argv[1], "record") == 0 && (argc == 5 || argc == 6)) {
        if (argc == 6)
            mp4MaxFileLength = strtoull(argv[5], nullptr, 10);
        status = recordBoxes(in, argv[3], (unsigned int)atoi(argv[4]));
    }
    fclose(in);
    return status;
}

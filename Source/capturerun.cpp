// The capture run: outputs, loop, routing of each sample, shutdown.
#include "capturerun.h"

#include <cstdio>
#include <cstring>

#include "Rtp.h"
#include "Vozirev.h"
#include "VozirevDll.h"
#include "housekeeping.h"
#include "mp4Writer.h"
#include "mp4route.h"
#include "mpgTSWriter.h"
#include "tsroute.h"

stInternalConfig internal_config;

// Free space (KiB) as last queried while recording.
static unsigned int ulfreebytes = 0;

// ---- opening the outputs ---------------------------------------------------------

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

// "Saving to ..." once the recording type and path are known.
static int AnnounceRecording(stInputParameters* input)
{
    if (input->ulSaving != SAVE_MP4 && input->ulSaving != SAVE_TS) {
        puts("Invalid Saving Format. Use 1 or 2.");
        return -1;
    }
    if (BuildRecordingPath(input, input->ulSaving == SAVE_MP4 ? ".mp4" : ".mpg") != 0)
        return -1;
    printf("Saving to %s\n", input->sOutput_Filename);
    return 0;
}

static int AnnounceStreaming(const stInputParameters* input)
{
    if (internal_config.ulstreaming_type == STREAM_RTP_ES) {
        printf("Streaming Elementary Stream to %s on ", input->IP_Addr);
        if (input->ulMediaFormat == MEDIA_FORMAT_AUDIO)
            printf("audio port: %d\n", input->Audio_Port);
        else if (input->ulMediaFormat == MEDIA_FORMAT_VIDEO)
            printf("video port: %d\n", input->Video_Port);
        else if (input->ulMediaFormat == MEDIA_FORMAT_AUDIO_VIDEO)
            printf("video port:%d and audio port: %d\n", input->Video_Port, input->Audio_Port);
        return 0;
    }
    if (internal_config.ulstreaming_type == STREAM_RTP_TS) {
        printf("Streaming MPEG Transport Stream to %s on port:%d\n", input->IP_Addr, input->Video_Port);
        return 0;
    }
    printf("Invalid Streaming Format. Use 1 or 2.");
    return -1;
}

// Streaming could not be set up: the run goes on only with a recording.
static int OpenStreaming(stInputParameters* input)
{
    if (!RTPOpen((unsigned short)input->Audio_Port, (unsigned short)input->Video_Port, input->IP_Addr,
                 (int)input->ucttl)) {
        puts("Couldn't open the streaming sockets.");
        internal_config.ulstreaming = 0;
        return internal_config.ulsaving ? 0 : -1;
    }
    if (internal_config.ulstreaming_type == STREAM_RTP_TS &&
        initMP2TS((unsigned char)input->ulMediaFormat, nullptr, TS_OUTPUT_RTP) == 0) {
        puts("Couldn't initialize MPG-TS streaming.");
        CloseSockets();
        internal_config.ulstreaming = 0;
        if (internal_config.ulsaving_type != SAVE_MP4)
            return -1;
    }
    return 0;
}

// Recording could not start: "\nUnble to open output file for writing." and
// the run goes on only if it streams.
static int RecordingUnavailable(FILE* file)
{
    internal_config.ulsaving = 0;
    puts("\nUnble to open output file for writing.");
    if (file)
        fclose(file);
    return internal_config.ulstreaming ? 0 : -1;
}

static int OpenRecording(stInputParameters* input)
{
    // The spool lock comes before the open: "wb" truncates, and a file of
    // the same name may be the recording of the run that holds the lock.
    if (internal_config.ulsaving_type == SAVE_MP4 && !AcquireSpoolLock())
        return RecordingUnavailable(nullptr);
    FILE* file = fopen64(input->sOutput_Filename, "wb");
    if (file == nullptr || ulfreebytes <= MIN_FREE_KIB - 1) {
        ReleaseSpoolLock();
        return RecordingUnavailable(file);
    }
    if (internal_config.ulsaving_type == SAVE_MP4) {
        if (SetParameters(*input, file) != 1) {
            // The writer has released itself and closed the file.
            ReleaseSpoolLock();
            return RecordingUnavailable(nullptr);
        }
        return 0;
    }
    if (initMP2TS((unsigned char)input->ulMediaFormat, file, TS_OUTPUT_FILE) == 0) {
        printf("Couldn't initialize the %s file\n", input->sOutput_Filename);
        fclose(file);
        internal_config.ulsaving = 0;
        if (!(internal_config.ulstreaming && internal_config.ulstreaming_type == STREAM_RTP_ES))
            return -1;
    }
    return 0;
}

int OpenOutputs(stInputParameters* input)
{
    internal_config.ulstreaming = (input->ulStreaming != STREAM_NONE);
    internal_config.ulsaving = (input->ulSaving != SAVE_NONE);
    internal_config.ulstreaming_type = input->ulStreaming;
    internal_config.ulsaving_type = input->ulSaving;
    ulfreebytes = 0;

    if (internal_config.ulsaving) {
        ulfreebytes = (unsigned int)get_free_diskspace();
        if (AnnounceRecording(input) != 0)
            return -1;
    }
    if (internal_config.ulstreaming) {
        if (AnnounceStreaming(input) != 0 || OpenStreaming(input) != 0)
            return -1;
    }
    if (internal_config.ulsaving)
        return OpenRecording(input);
    return 0;
}

// ---- one sample -------------------------------------------------------------------

// True while both the file and the stream take the transport stream: then
// one packetisation serves both (mode 3), so that each keeps its continuity
// counters without gaps.
static bool TransportStreamToBoth()
{
    return internal_config.ulsaving && internal_config.ulsaving_type == SAVE_TS &&
           internal_config.ulstreaming && internal_config.ulstreaming_type == STREAM_RTP_TS;
}

// Whether the sample still fits in the free space less the headroom; when it
// does not, the recording is finalised and streaming goes on alone.
static bool RecordingHasRoom(int length)
{
    if ((int)(length / 1024) < (int)ulfreebytes - (int)MIN_FREE_KIB)
        return true;
    puts("Disk space exceeded.");
    closecapture(internal_config.ulsaving_type);
    internal_config.ulsaving = 0;
    return false;
}

// Streaming first, recording last (the MP4 route rewrites the buffer in
// place). The transport-stream route reads the header that the accounting
// step has just put in *pqBoxHeader.
static void RouteSample(stInputParameters* input, unsigned char* inputdata, int length)
{
    bool record = false;
    if (internal_config.ulsaving) {
        if (FreeSpaceRefreshDue(input))
            ulfreebytes = (unsigned int)get_free_diskspace();
        record = RecordingHasRoom(length);
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

void ProcessSample(stInputParameters* input, unsigned char* inputdata, int length)
{
    write_bitrate_to_file(input, inputdata, length, internal_config.ulsaving);
    RouteSample(input, inputdata, length);
}

// ---- the loop and the end ------------------------------------------------------------

int CaptureLoop(int* handle, stInputParameters* input, unsigned char* inputdata)
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
        ProcessSample(input, inputdata, length);
    }
    return 0;
}

void CloseOutputs()
{
    if (internal_config.ulsaving) {
        closecapture(internal_config.ulsaving_type);
        internal_config.ulsaving = 0;
    }
    if (internal_config.ulstreaming) {
        CloseSockets();
        internal_config.ulstreaming = 0;
    }
}

void AbandonOutputs()
{
    if (internal_config.ulsaving && internal_config.ulsaving_type == SAVE_MP4) {
        deleteMP4Params();
        ReleaseSpoolLock();
    }
}

// The capture run: the table of outputs, the loop, the one parse of each
// sample, shutdown.
#include "capturerun.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "QBoxParser.h"
#include "Rtp.h"
#include "VozirevDll.h"
#include "codecs.h"
#include "housekeeping.h"
#include "httpserver.h"
#include "mp4Writer.h"
#include "mp4route.h"
#include "mpgTSWriter.h"
#include "netloop.h"
#include "publisher.h"
#include "recovery.h"
#include "retention.h"
#include "rtcp.h"
#include "rtspserver.h"
#include "safefile.h"
#include "sample.h"
#include "sdp.h"
#include "segments.h"
#include "servicenotify.h"
#include "stopsignals.h"
#include "tspacket.h"
#include "tsroute.h"

stInternalConfig internal_config;

// Free space for the recording as last queried, less what the recording may
// have written since. Despite its name the figure counts KiB (1024 bytes),
// as get_free_diskspace gives it.
static unsigned int ulfreebytes = 0;
// The last sample's recording write failed (the watchdog is then not fed).
static bool recordingWriteFailed = false;
// A recording that could not be completed: the run's exit status is 1.
static bool recordingIncomplete = false;
// The latest stamp recorded, and the latest at the last sync (90 kHz).
static UINT32 ulLatestCts = 0;
static UINT32 ulLastSyncCts = 0;
static bool bSynced = false;

// ---- the outputs -----------------------------------------------------------------

// One output of the run. Open runs when the run asks for the output (0: the
// run goes on, with or without it; -1: the run must end, the reason is
// printed). Active says whether it is open and takes samples; Take gets
// every sample record, in table order; Close ends it at the end of the run;
// Cut starts its next file where a segment applies. The capture loop only
// walks the table: adding an output is adding an entry.
struct tOutput {
    const char* szName;
    int (*pfnOpen)(stInputParameters* input);
    bool (*pfnActive)();
    void (*pfnTake)(stInputParameters* input, const tSample* sample);
    void (*pfnClose)(const stInputParameters* input);
    int (*pfnCut)(stInputParameters* input);
};

static bool Streams(unsigned int type)
{
    return internal_config.ulstreaming && internal_config.ulstreaming_type == type;
}

static bool Records(unsigned int type)
{
    return internal_config.ulsaving && internal_config.ulsaving_type == type;
}

// ---- streaming -----------------------------------------------------------------------

// With a space to keep free (-o), the oldest finished recordings make room;
// the free-space figure is taken again when they did.
static bool MadeRoom(const stInputParameters* input)
{
    if (input->ulKeep_Free_MiB == 0 || KeepFreeSpace(input->ulKeep_Free_MiB, SegmentBaseName()) == 0)
        return false;
    ulfreebytes = (unsigned int)get_free_diskspace();
    return true;
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

// The UDP pair of both streaming types. Streaming that cannot be set up
// lets the run go on only with a recording. The session description (-j)
// is written before anything is sent; a run that cannot write it ends.
// RTCP starts before the transport stream sends its tables, which it
// counts.
static int OpenStreamingPair(stInputParameters* input)
{
    if (!RTPOpen((unsigned short)input->Audio_Port, (unsigned short)input->Video_Port, input->IP_Addr,
                 (int)input->ucttl)) {
        puts("Couldn't open the streaming sockets.");
        internal_config.ulstreaming = 0;
        return internal_config.ulsaving ? 0 : -1;
    }
    RTPUseStreams(input);
    if (!stop_requested && SdpStartFile(input) != 1) {
        CloseSockets();
        internal_config.ulstreaming = 0;
        return -1;
    }
    RTCPOpenStreams(input);
    return 0;
}

static int OpenElementaryStreams(stInputParameters* input)
{
    if (input->ulStreaming != STREAM_RTP_ES)
        return 0;
    return OpenStreamingPair(input);
}

// A transport stream that cannot be set up lets the run go on only with an
// MP4 recording.
static int OpenTransportStreamStreaming(stInputParameters* input)
{
    if (input->ulStreaming != STREAM_RTP_TS)
        return 0;
    int result = OpenStreamingPair(input);
    if (result != 0 || !internal_config.ulstreaming)
        return result;
    if (initMP2TS((unsigned char)input->ulMediaFormat, nullptr, TS_OUTPUT_RTP) == 0) {
        puts("Couldn't initialize MPG-TS streaming.");
        CloseSockets();
        internal_config.ulstreaming = 0;
        if (internal_config.ulsaving_type != SAVE_MP4)
            return -1;
    }
    return 0;
}

static bool StreamsElementary()
{
    return Streams(STREAM_RTP_ES);
}

static bool StreamsTransportStream()
{
    return Streams(STREAM_RTP_TS);
}

// Each packetiser runs once per sample, whichever output takes the sample
// first, and emits to every stream attached to it (the -s pair, RTSP
// clients, the publisher).
static UINT32 ulLastElementarySample = 0;
static UINT32 ulLastTransportStreamSample = 0;

static void TakeElementary(stInputParameters*, const tSample* sample)
{
    if (sample->ulSerial == ulLastElementarySample)
        return;
    ulLastElementarySample = sample->ulSerial;
    RtpTakeSample(sample);
}

// The transport stream feeds the file, the RTP streams and the other
// sinks from one packetisation (mode 3 when the file and the stream both
// take it).
static void TakeTransportStream(stInputParameters*, const tSample* sample)
{
    if (sample->ulSerial == ulLastTransportStreamSample)
        return;
    ulLastTransportStreamSample = sample->ulSerial;
    unsigned int mode = Records(SAVE_TS) ? TS_OUTPUT_FILE : 0;
    if (RtpHasStreams(RTP_MEDIUM_MP2T))
        mode = mode == TS_OUTPUT_FILE ? TS_OUTPUT_FILE_AND_RTP : TS_OUTPUT_RTP;
    TSTakeSample(sample, mode);
}

// The session description follows the parameter sets in force.
static void TakeElementaryStreams(stInputParameters* input, const tSample* sample)
{
    SdpTakeCodec();
    TakeElementary(input, sample);
}

static void CloseStreaming(const stInputParameters*)
{
    CloseSockets();
    internal_config.ulstreaming = 0;
}

// ---- the network services ------------------------------------------------------------

// The services that serve the transport stream open its multiplex when
// neither a transport-stream recording nor -s 2 does (mode 0: its sinks
// alone); a later open by either starts it afresh before any sample.
static int OpenTransportStreamForServices(const stInputParameters* input)
{
    if (internal_config.ulstreaming_type == STREAM_RTP_TS || internal_config.ulsaving_type == SAVE_TS)
        return 0;
    return initMP2TS((unsigned char)input->ulMediaFormat, nullptr, 0) == 1 ? 0 : -1;
}

static int OpenRtspServer(stInputParameters* input)
{
    if (RtspServerOpen(input) != 0)
        return -1;
    return RtspServerActive() ? OpenTransportStreamForServices(input) : 0;
}

static int OpenHttpServer(stInputParameters* input)
{
    if (HttpServerOpen(input) != 0)
        return -1;
    return HttpServerActive() ? OpenTransportStreamForServices(input) : 0;
}

static int OpenPublisher(stInputParameters* input)
{
    return PublisherOpen(input);
}

// The RTSP server serves both forms; the HTTP server's live view is the
// transport stream.
static void TakeForRtspServer(stInputParameters* input, const tSample* sample)
{
    TakeElementary(input, sample);
    TakeTransportStream(input, sample);
}

static void CloseRtspServer(const stInputParameters*)
{
    RtspServerClose();
}

static void CloseHttpServer(const stInputParameters*)
{
    HttpServerClose();
}

static void ClosePublisher(const stInputParameters*)
{
    PublisherClose();
}

// ---- recording -----------------------------------------------------------------------

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
    if (BuildRecordingPath(input, input->ulSaving == SAVE_MP4 ? ".mp4" : ".mpg") != 0 || PlanSegments(input) != 0)
        return -1;
    printf("Saving to %s\n", input->sOutput_Filename);
    return 0;
}

// Recording could not start: "\nUnble to open output file for writing." and
// the run goes on only if it streams.
static int RecordingUnavailable()
{
    internal_config.ulsaving = 0;
    puts("\nUnble to open output file for writing.");
    return internal_config.ulstreaming ? 0 : -1;
}

// Whether name, one of the names the recording at path will write, is
// taken by something the run must not write through (reported).
static bool NameTaken(const char* path, const char* name)
{
    if (IsUsableFileName(name))
        return false;
    printf("\nCannot record to %s: %s is a link, or not a regular file.\n", path, name);
    return true;
}

// Every name the recording will write must be free or an ordinary file:
// a symbolic link, FIFO, device or directory planted under one of them ends
// the run before anything is opened.
static int CheckRecordingNames(const stInputParameters* input)
{
    const char* path = input->sOutput_Filename;
    if (NameTaken(path, path))
        return -1;
    if (internal_config.ulsaving_type != SAVE_MP4)
        return 0;
    if (NameTaken(path, SPOOL_LOCK_NAME))
        return -1;
    for (unsigned int set = 0; set < SPOOL_SET_COUNT; set++) {
        const tSpoolSetNames* names = spoolSetNames(set);
        for (const char* name : {names->reserve, names->info, names->infoNew}) {
            if (NameTaken(path, name))
                return -1;
        }
        for (const char* spool : names->spool) {
            if (NameTaken(path, spool))
                return -1;
        }
    }
    return 0;
}

// A recording that a crash or a power cut interrupted here is completed
// before this run records; the spool lock says no live run owns it.
static void RecoverLeftovers(const stInputParameters* input)
{
    if (internal_config.ulsaving_type == SAVE_MP4) {
        RecoverInterruptedRecordings(input->sOutput_Filename);
    } else if (AcquireSpoolLock()) {
        RecoverInterruptedRecordings(input->sOutput_Filename);
        ReleaseSpoolLock();
    }
}

// The writer of each recording type on the file just opened.
static int StartRecordingWriter(stInputParameters* input, FILE* file)
{
    if (internal_config.ulsaving_type == SAVE_MP4) {
        if (SetParameters(*input, file) != 1) {
            // The writer has released itself and closed the file.
            ReleaseSpoolLock();
            return RecordingUnavailable();
        }
        return 0;
    }
    if (initMP2TS((unsigned char)input->ulMediaFormat, file, TS_OUTPUT_FILE) == 0) {
        printf("Couldn't initialize the %s file\n", input->sOutput_Filename);
        deinitMP2TS();
        internal_config.ulsaving = 0;
        if (!Streams(STREAM_RTP_ES))
            return -1;
    }
    return 0;
}

// Opened last, and not at all after a stop while the streams were set up,
// which leaves every file untouched.
static int OpenRecording(stInputParameters* input)
{
    if (!internal_config.ulsaving || stop_requested)
        return 0;
    if (CheckRecordingNames(input) != 0)
        return -1;
    // The free space is checked first: a disk too full to record on keeps
    // an existing file of the same name as it is.
    MadeRoom(input);
    if (ulfreebytes <= MIN_FREE_KIB - 1)
        return RecordingUnavailable();
    // The spool lock comes before the open: a file of the same name may be
    // the recording of the run that holds the lock.
    if (internal_config.ulsaving_type == SAVE_MP4 && !AcquireSpoolLock())
        return RecordingUnavailable();
    RecoverLeftovers(input);
    // The open below overwrites an existing file of the same name: the last
    // look at a stop request, after which a stop waits for the encoder's
    // start (see HoldStopSignals).
    if (HoldStopsAtOpen())
        HoldStopSignals(true);
    if (stop_requested) {
        ReleaseSpoolLock();
        return 0;
    }
    spoolsHeldForSync = input->ulSync_Interval > 0;
    bSynced = false;
    FILE* file = OpenRecordingFile(input->sOutput_Filename, false);
    if (file == nullptr) {
        ReleaseSpoolLock();
        return RecordingUnavailable();
    }
    return StartRecordingWriter(input, file);
}

static bool RecordsMp4()
{
    return Records(SAVE_MP4);
}

static bool RecordsTransportStream()
{
    return Records(SAVE_TS);
}

static void TakeMp4Recording(stInputParameters*, const tSample* sample)
{
    Mp4TakeSample(sample);
    mp4write = 1;
}

// Completes the recording and turns recording off. A recording that could
// not be completed is reported; the run will end with status 1. Segments
// completed in the background are waited for first: they use the spool
// lock that the completion gives up.
static void FinishRecording(const stInputParameters* input)
{
    ServiceNotifyRecording(nullptr);
    CollectFinishedSegments(true);
    if (closecapture(internal_config.ulsaving_type) != 1) {
        int error = internal_config.ulsaving_type == SAVE_MP4 ? mp4WriteError : tsWriteError;
        printf("\nThe recording %s could not be completed: %s\n", input->sOutput_Filename, strerror(error));
        recordingIncomplete = true;
    }
    internal_config.ulsaving = 0;
}

// The table, in the order each sample is taken: the streams and the
// network services first (no sample waits for a recording's sync), then
// the recordings, which open last and close first.
static const tOutput OUTPUTS[] = {
    {"RTP elementary streams", OpenElementaryStreams, StreamsElementary, TakeElementaryStreams, CloseStreaming,
     nullptr},
    {"transport stream in RTP", OpenTransportStreamStreaming, StreamsTransportStream, TakeTransportStream,
     CloseStreaming, nullptr},
    {"RTSP server", OpenRtspServer, RtspServerActive, TakeForRtspServer, CloseRtspServer, nullptr},
    {"HTTP server", OpenHttpServer, HttpServerActive, TakeTransportStream, CloseHttpServer, nullptr},
    {"publisher", OpenPublisher, PublisherActive, TakeElementary, ClosePublisher, nullptr},
    {"MP4 recording", OpenRecording, RecordsMp4, TakeMp4Recording, FinishRecording, CutRecording},
    {"transport-stream recording", nullptr, RecordsTransportStream, TakeTransportStream, FinishRecording,
     CutRecording},
};

// The recording entry that is open, if any.
static const tOutput* ActiveRecording()
{
    for (const tOutput& output : OUTPUTS)
        if (output.pfnCut != nullptr && output.pfnActive())
            return &output;
    return nullptr;
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
    if (internal_config.ulstreaming && AnnounceStreaming(input) != 0)
        return -1;
    int result = 0;
    for (const tOutput& output : OUTPUTS) {
        if (output.pfnOpen != nullptr && (result = output.pfnOpen(input)) != 0)
            break;
    }
    ServiceNotifyRecording(internal_config.ulsaving ? input->sOutput_Filename : nullptr);
    return result;
}

// ---- one sample -------------------------------------------------------------------

// The most one sample can add to the recording's file system, as the
// recording's writer counts it.
static UINT64 RecordedBytesAtMost(const tSample* sample)
{
    if (internal_config.ulsaving_type == SAVE_MP4)
        return mp4BytesAtMost(sample);
    return tsBytesAtMost(sample);
}

// Whether the sample still fits in the free space less the headroom; when it
// does not, and deleting old recordings does not make room, the recording is
// finalised and streaming goes on alone. The figure is refreshed about once
// a second of content and lowered by what each sample may write in between,
// so a burst of large samples is seen.
static bool RecordingHasRoom(const stInputParameters* input, const tSample* sample)
{
    UINT64 bytes = RecordedBytesAtMost(sample);
    int kib = (int)((bytes + 1023) / 1024);
    if (kib < (int)ulfreebytes - (int)MIN_FREE_KIB || (MadeRoom(input) && kib < (int)ulfreebytes - (int)MIN_FREE_KIB)) {
        if (!skip_disk_check)
            ulfreebytes -= (unsigned int)kib;
        return true;
    }
    puts("Disk space exceeded.");
    FinishRecording(input);
    return false;
}

// The recording is made durable as soon as it holds a sample, then once per
// sync interval of content. The content time is the latest stamp recorded
// (audio and video interleave, and one track may start well after the
// other); a stamp far behind it starts a new time base.
static void SyncRecordingIfDue(const stInputParameters* input, const tSample* sample)
{
    const INT32 NEW_TIME_BASE_TICKS = 60 * (INT32)QBOX_CLOCK_HZ;
    UINT32 cts = sample->ulCts;
    if (input->ulSync_Interval == 0)
        return;
    if (!bSynced) {
        if (internal_config.ulsaving_type == SAVE_MP4 && mp4SampleCount() == 0)
            return;
        ulLatestCts = ulLastSyncCts = cts;
    } else {
        INT32 ahead = (INT32)(cts - ulLatestCts);
        bool newTimeBase = ahead < -NEW_TIME_BASE_TICKS;
        if (ahead > 0 || newTimeBase)
            ulLatestCts = cts;
        if (!newTimeBase && (INT32)(ulLatestCts - ulLastSyncCts) < (INT32)(input->ulSync_Interval * QBOX_CLOCK_HZ))
            return;
        ulLastSyncCts = ulLatestCts;
    }
    bSynced = true;
    if (internal_config.ulsaving_type == SAVE_MP4)
        syncMP4Recording();
    else
        syncTSRecording();
}

// A write the recording's file did not take ends the recording: the file
// holds whole samples up to there, and is completed.
static void CheckRecordingWrites(const stInputParameters* input)
{
    int error = internal_config.ulsaving_type == SAVE_MP4 ? mp4WriteError : tsWriteError;
    recordingWriteFailed = error != 0;
    if (error == 0)
        return;
    if (error == ENOSPC || error == EDQUOT)
        puts("Disk space exceeded.");
    else
        printf("\nWriting %s failed: %s\n", input->sOutput_Filename, strerror(error));
    FinishRecording(input);
}

// The sample starts the next segment: the recording goes on in a new file.
// When that file could be opened but not started, recording has ended.
static void CutIfDue(stInputParameters* input, const tOutput* recording, const tSample* sample)
{
    if (!SegmentCutDue(input, sample))
        return;
    int cut = recording->pfnCut(input);
    if (cut > 0) {
        bSynced = false;
        ServiceNotifyRecording(input->sOutput_Filename);
    } else if (cut < 0) {
        ServiceNotifyRecording(nullptr);
        CollectFinishedSegments(true);
        ReleaseSpoolLock();
        recordingIncomplete = true;
        internal_config.ulsaving = 0;
    }
}

// Before any output takes the sample: the recording makes room for it or
// ends, and cuts when the sample starts the next segment.
static void PrepareRecording(stInputParameters* input, const tSample* sample)
{
    CollectFinishedSegments(false);
    const tOutput* recording = ActiveRecording();
    if (recording == nullptr)
        return;
    if (FreeSpaceRefreshDue(input) && !MadeRoom(input))
        ulfreebytes = (unsigned int)get_free_diskspace();
    if (RecordingHasRoom(input, sample))
        CutIfDue(input, recording, sample);
}

void ProcessSample(stInputParameters* input, unsigned char* inputdata, int length)
{
    tSample sample;
    ParseSample(inputdata, length > 0 ? (UINT32)length : 0, &sample);
    AccountSample(input, sample.usStreamType);
    // Every output sees the parameter sets in force for this sample.
    if (sample.usStreamType == QBOX_STREAM_VIDEO)
        VideoCodecTakeSample(RunVideoCodec(), &sample);
    PrepareRecording(input, &sample);
    bool recording = ActiveRecording() != nullptr;
    for (const tOutput& output : OUTPUTS) {
        if (output.pfnActive())
            output.pfnTake(input, &sample);
    }
    if (recording && ActiveRecording() != nullptr) {
        SyncRecordingIfDue(input, &sample);
        CheckRecordingWrites(input);
    }
}

// ---- the loop and the end ------------------------------------------------------------

int CaptureLoop(int* handle, stInputParameters* input, unsigned char* inputdata)
{
    unsigned int type = QBOX_TYPE, TS = 0;
    while (!stop_encoding) {
        type = QBOX_TYPE;
        // A run with no output left ends; the network services are outputs.
        if (!internal_config.ulstreaming && !internal_config.ulsaving && !NetActive())
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
        // The service manager's watchdog is fed only while samples arrive
        // and the recording takes them.
        ServiceNotifySample(pqBoxHeader->usSampleStreamType, (unsigned int)length, !recordingWriteFailed);
        ServiceNotifyTick();
        RTCPTick();
        // A device that never runs dry leaves no wait to serve the network
        // in: it is served between samples.
        NetServe();
    }
    return 0;
}

// The recordings are completed before the streams say BYE.
int CloseOutputs(const stInputParameters* input)
{
    for (size_t i = sizeof(OUTPUTS) / sizeof(OUTPUTS[0]); i-- > 0;) {
        if (OUTPUTS[i].pfnActive())
            OUTPUTS[i].pfnClose(input);
    }
    CollectFinishedSegments(true);
    return recordingIncomplete || !AllSegmentsCompleted() ? -1 : 0;
}

void AbandonOutputs()
{
    if (Records(SAVE_MP4)) {
        deleteMP4Params();
        ReleaseSpoolLock();
    } else if (internal_config.ulsaving) {
        deinitMP2TS();
    }
    internal_config.ulsaving = 0;
    if (internal_config.ulstreaming)
        CloseSockets();
    internal_config.ulstreaming = 0;
}

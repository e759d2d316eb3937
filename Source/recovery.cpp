// Recovery of an interrupted MP4 recording from its spool files: the
// writer's state taken up again from them (resumeMP4Recording), then
// completed.
#include "recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "QBox.h"
#include "QBoxParser.h"
#include "byteorder.h"
#include "codecs.h"
#include "mp4Writer.h"
#include "mp4boxes.h"
#include "mp4durable.h"
#include "mp4spool.h"
#include "safefile.h"
#include "tspacket.h"

namespace {

const size_t BOX_HEADER_SIZE = 8;
const size_t BOX_LARGESIZE_HEADER_SIZE = 16;
// Top-level boxes read at most; the program's files have three.
const int MAX_TOP_LEVEL_BOXES = 64;

bool EndsWith(const std::string& name, const char* suffix)
{
    size_t n = strlen(suffix);
    return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
}

// Top-level boxes (ISO/IEC 14496-12, 4.2) that fill the file exactly, the
// first "ftyp", one of them "moov". A recording still being written has an
// "mdat" of size 0 (to the end of the file) and no "moov".
bool IsCompleteMP4(int fd, off_t fileSize)
{
    off_t offset = 0;
    bool moov = false;
    for (int n = 0; n < MAX_TOP_LEVEL_BOXES && offset < fileSize; n++) {
        UINT8 header[BOX_LARGESIZE_HEADER_SIZE];
        if (pread(fd, header, BOX_HEADER_SIZE, offset) != (ssize_t)BOX_HEADER_SIZE)
            return false;
        UINT64 size = ReadBE32(header);
        UINT32 type = ReadBE32(header + 4);
        if (size == 1) {
            if (pread(fd, header, BOX_LARGESIZE_HEADER_SIZE, offset) != (ssize_t)BOX_LARGESIZE_HEADER_SIZE)
                return false;
            size = ReadBE64(header + BOX_HEADER_SIZE);
        }
        if (size < BOX_HEADER_SIZE || size > (UINT64)(fileSize - offset))
            return false;
        if (n == 0 && type != FourCC("ftyp"))
            return false;
        moov = moov || type == FourCC("moov");
        offset += (off_t)size;
    }
    return moov && offset == fileSize;
}

bool IsWholeTransportStream(int fd, off_t fileSize)
{
    UINT8 first = 0;
    return fileSize >= (off_t)TS_PACKET_SIZE && fileSize % TS_PACKET_SIZE == 0 && pread(fd, &first, 1, 0) == 1 &&
           first == TS_SYNC_BYTE;
}

// What an interrupted recording leaves beside its file: the active set's
// spool files, info files and index reserve.
const size_t LEFTOVER_COUNT = SPOOL_COUNT + 3;
std::string LeftoverName(size_t index)
{
    const tSpoolSetNames* names = activeSpoolNames();
    if (index < SPOOL_COUNT)
        return names->spool[index];
    const char* const others[] = {names->info, names->infoNew, names->reserve};
    return others[index - SPOOL_COUNT];
}

bool Exists(const std::string& name)
{
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
}

bool AnyLeftover()
{
    for (size_t i = 0; i < LEFTOVER_COUNT; i++) {
        if (Exists(LeftoverName(i)))
            return true;
    }
    return false;
}

// Whether a spool file holds at least one whole record.
bool SpoolsHoldRecords()
{
    for (const char* name : activeSpoolNames()->spool) {
        struct stat st;
        if (lstat(name, &st) == 0 && st.st_size >= (off_t)SPOOL_RECORD_SIZE)
            return true;
    }
    return false;
}

void RemoveLeftovers()
{
    for (size_t i = 0; i < LEFTOVER_COUNT; i++)
        remove(LeftoverName(i).c_str());
}

// Keeps the spool and info files under names that say they were not
// recovered; a name already taken gets a number.
void SetLeftoversAside()
{
    for (size_t i = 0; i < LEFTOVER_COUNT; i++) {
        std::string name = LeftoverName(i);
        if (!Exists(name) || name == activeSpoolNames()->reserve) {
            continue;
        }
        std::string aside = name + UNRECOVERED_SUFFIX;
        for (int n = 2; Exists(aside); n++)
            aside = name + UNRECOVERED_SUFFIX + "." + std::to_string(n);
        rename(name.c_str(), aside.c_str());
    }
    remove(activeSpoolNames()->reserve);
}

int ReportUnrecovered(const char* name, const char* reason)
{
    printf("\nThe interrupted recording %s could not be recovered: %s. Its spool files are kept as %s*%s.\n",
           name, reason, SPOOL_SET_PREFIXES[activeSpoolSet()], UNRECOVERED_SUFFIX);
    return -1;
}

int CannotRecover(const char* name, const char* reason)
{
    SetLeftoversAside();
    return ReportUnrecovered(name, reason);
}

// The writer has taken the recording up: its state goes, the leftovers are
// kept aside first.
int CannotComplete(const char* name, const char* reason)
{
    SetLeftoversAside();
    deleteMP4Params();
    return ReportUnrecovered(name, reason);
}

// A name beside path for the recovered file, so that the recording about to
// start under path does not overwrite it: "./NAME-recovered.mp4", numbered
// when taken.
std::string RecoveredName(const std::string& path)
{
    std::string stem = path, extension;
    size_t dot = path.rfind('.');
    if (dot != std::string::npos && dot > 1) {
        stem = path.substr(0, dot);
        extension = path.substr(dot);
    }
    std::string name = stem + "-recovered" + extension;
    for (int n = 2; Exists(name); n++)
        name = stem + "-recovered-" + std::to_string(n) + extension;
    return name;
}

// ---- resuming an interrupted recording ---------------------------------------------
//
// A recording interrupted by a crash or a power cut leaves its file, its
// spool files and its info file. The samples kept are the longest run of
// each track whose table entries are whole in the spool files and whose
// data lies whole in the file (a video sample must also be NAL units behind
// their lengths that fill it); everything after them is cut off, and completion then
// writes the same index it would have written for those samples.

// Whether the size bytes at offset are NAL units behind their lengths
// that fill them exactly, as every video sample the writer records.
bool UnitsFillSample(UINT64 offset, UINT64 size)
{
    UINT64 end = offset + size;
    while (offset < end) {
        UINT8 prefix[QBOX_NALU_PREFIX_SIZE];
        if (end - offset <= sizeof(prefix) ||
            pread(fileno(mp4file), prefix, sizeof(prefix), (off_t)offset) != (ssize_t)sizeof(prefix))
            return false;
        UINT64 length = ReadBE32(prefix);
        if (length == 0 || length > end - offset - sizeof(prefix))
            return false;
        offset += sizeof(prefix) + length;
    }
    return true;
}

// Samples of a track whose entries and data are whole: at most count, each
// after the one before, inside the file after the "mdat" header.
UINT32 WholeSamples(const tTrack* track, UINT32 count, UINT64 fileSize, bool lengthPrefixed, UINT64* end)
{
    UINT64 previousOffset = 0;
    for (UINT32 i = 0; i < count; i++) {
        UINT64 offset = readRecordAt(track->pOffsets, i);
        UINT64 size = readRecordAt(track->pSizes, i);
        if (offset < MP4_MDAT_DATA_OFFSET || offset < previousOffset || size == 0 || offset + size > fileSize)
            return i;
        if (lengthPrefixed && !UnitsFillSample(offset, size))
            return i;
        previousOffset = offset + size;
        if (previousOffset > *end)
            *end = previousOffset;
    }
    return count;
}

UINT32 MinRecords(UINT32 a, UINT32 b)
{
    return a < b ? a : b;
}

// Sync-sample numbers are kept while they count up within the samples kept.
UINT32 SyncSamplesWithin(const tTrack* track, UINT32 samples)
{
    UINT32 sync = 0;
    for (UINT32 n = spoolRecords(track->pSyncSamples), previous = 0; sync < n; sync++) {
        UINT32 number = readRecordAt(track->pSyncSamples, sync);
        if (number <= previous || number > samples)
            break;
        previous = number;
    }
    return sync;
}

// Keeps a track's whole samples and adds up their durations into
// *duration: each is the gap to the next sample, so n samples have n - 1.
bool ResumeTrack(tTrack* track, UINT64 fileSize, UINT64* end, UINT64* duration)
{
    bool video = track->pSyncSamples != nullptr;
    UINT32 count = MinRecords(MinRecords(spoolRecords(track->pSizes), spoolRecords(track->pOffsets)),
                              spoolRecords(track->pDurations) + 1);
    UINT32 kept = WholeSamples(track, count, fileSize, video, end);
    UINT32 durations = kept > 0 ? kept - 1 : 0;
    if (!cutTrack(track, kept, durations, video ? SyncSamplesWithin(track, kept) : 0))
        return false;
    *duration = 0;
    for (UINT32 i = 0; i < durations; i++)
        *duration += readRecordAt(track->pDurations, i);
    return true;
}

// Whether the file begins as the writer begins every recording.
bool BeginsAsWritten(FILE* file)
{
    UINT8 head[MP4_MDAT_DATA_OFFSET];
    return pread(fileno(file), head, sizeof(head), 0) == (ssize_t)sizeof(head) && beginsAsWritten(head);
}

// Takes up the recording described by info, interrupted before completion,
// from its spool files in the current directory and its file (opened for
// reading and writing), described by video and audio: keeps the longest
// run of each track's samples whose entries and data are whole, cuts the
// file and the spool files back to them. 1 when samples are kept
// (completeMP4File and deleteMP4Params follow), 0 when none is (the file
// is cut back to its 32-byte header), -1 when the spool files cannot be
// read or the files cut; deleteMP4Params releases the state in every case.
int resumeMP4Recording(const tRecordingInfo* info, FILE* file, tVideoCodec* video, const tAudioCodec* audio)
{
    root = new tRootAtom();
    root->VideoPresentFlag = info->video ? 1 : 0;
    root->AudioPresentFlag = info->audio ? 1 : 0;
    root->pVideoCodec = video;
    root->pAudioCodec = audio;
    mp4file = file;
    setMP4RecordingName(info->name);
    off_t fileSize = lseek(fileno(file), 0, SEEK_END);
    if (!mp4OpenTracks(false) || fileSize < (off_t)MP4_MDAT_DATA_OFFSET || !BeginsAsWritten(file))
        return -1;
    firstTimeStampVid = info->firstVideoStamp;
    firstTimeStampAud = info->firstAudioStamp;
    UINT64 end = MP4_MDAT_DATA_OFFSET;
    if (root->audioTrack != nullptr && !ResumeTrack(root->audioTrack, (UINT64)fileSize, &end, &durationTimeAud))
        return -1;
    if (root->videoTrack != nullptr && !ResumeTrack(root->videoTrack, (UINT64)fileSize, &end, &durationTimeVid))
        return -1;
    mp4InfoSettled();
    // Without a sample kept, what follows the header is a sample whose
    // entries never reached the disk: the file goes back to its header, as
    // a recording that never took a sample leaves it.
    if (ftruncate(fileno(file), (off_t)end) != 0 || fseeko(file, (off_t)end, SEEK_SET) != 0) {
        mp4FailOutput(errno);
        return -1;
    }
    root->fileLength = end;
    return mp4SampleCount() > 0 ? 1 : 0;
}

// A parameter set of the info file, in start-code form.
void TakeInfoSet(tVideoCodec* codec, const std::vector<UINT8>& set)
{
    if (set.size() > START_CODE_SIZE)
        VideoCodecTakeUnit(codec, set.data() + START_CODE_SIZE, (UINT32)(set.size() - START_CODE_SIZE));
}

// The recording's descriptions, from its info file. False for audio that
// no AAC configuration describes (ISO/IEC 14496-3, 1.6.2.1).
bool InfoCodecs(const tRecordingInfo* info, tVideoCodec* video, tAudioCodec* audio)
{
    TakeInfoSet(video, info->sps);
    TakeInfoSet(video, info->pps);
    *audio = *RunAudioCodec();
    if (!info->audio)
        return true;
    if (AudioCodecFor(info->audioFrequency, info->audioChannels, audio) != 1)
        return false;
    audio->usBitsPerSample = info->audioBitsPerSample;
    return true;
}

}  // namespace

namespace {

// The recovered file is renamed first when the recording about to start
// would overwrite it.
void ReportRecovered(std::string name, const char* pathAboutToBeWritten, UINT64 samples, UINT64 duration)
{
    if (pathAboutToBeWritten != nullptr && name == pathAboutToBeWritten) {
        std::string recovered = RecoveredName(name);
        if (rename(name.c_str(), recovered.c_str()) == 0)
            name = recovered;
    }
    printf("\nRecovered the interrupted recording %s: %llu samples, %.3f s.\n", name.c_str(),
           (unsigned long long)samples, (double)duration / MP4_MOVIE_TIMESCALE);
}

int RecoverActiveSet(const char* pathAboutToBeWritten)
{
    if (!AnyLeftover())
        return 0;
    tRecordingInfo info;
    if (!readRecordingInfo(&info)) {
        if (!SpoolsHoldRecords()) {
            RemoveLeftovers();  // a run that made nothing durable
            return 0;
        }
        std::string reason = std::string("its info file ") + activeSpoolNames()->info + " is missing or damaged";
        return CannotRecover("(name unknown)", reason.c_str());
    }
    if (!Exists(info.name))
        return CannotRecover(info.name, "the file is gone");
    if (!IsUsableFileName(info.name))
        return CannotRecover(info.name, "the name is taken by a link or by something that is not a regular file");
    // Completed, and stopped while it removed its spool files.
    if (IsCompleteRecording(info.name)) {
        RemoveLeftovers();
        return 0;
    }
    tVideoCodec video;
    tAudioCodec audio;
    if (!InfoCodecs(&info, &video, &audio))
        return CannotRecover(info.name, "its info file describes audio that AAC does not");
    int fd = OpenRegularFile(info.name, SAFE_OPEN_KEEP);
    FILE* file = fd >= 0 ? fdopen(fd, "r+b") : nullptr;
    if (file == nullptr) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        return CannotRecover(info.name, strerror(error));
    }

    int resumed = resumeMP4Recording(&info, file, &video, &audio);
    if (resumed < 0)
        return CannotComplete(info.name, "its spool files cannot be read");
    if (resumed == 0) {
        deleteMP4Params();  // no sample was made durable: the file holds its header
        return 0;
    }
    UINT64 samples = mp4SampleCount();
    if (completeMP4File() != 1)
        return CannotComplete(info.name, strerror(mp4WriteError));
    UINT64 duration = durationTimeVid > durationTimeAudonVidScale ? durationTimeVid : durationTimeAudonVidScale;
    deleteMP4Params();
    ReportRecovered(info.name, pathAboutToBeWritten, samples, duration);
    return 1;
}

}  // namespace

bool IsCompleteRecordingFile(int fd, const char* name)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (EndsWith(name, ".mp4"))
        return IsCompleteMP4(fd, st.st_size);
    return EndsWith(name, ".mpg") && IsWholeTransportStream(fd, st.st_size);
}

bool IsCompleteRecording(const char* name)
{
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool complete = IsCompleteRecordingFile(fd, name);
    close(fd);
    return complete;
}

int RecoverInterruptedRecordings(const char* pathAboutToBeWritten)
{
    unsigned int active = activeSpoolSet();
    int result = 0;
    for (unsigned int set = 0; set < SPOOL_SET_COUNT; set++) {
        useSpoolSet(set);
        int recovered = RecoverActiveSet(pathAboutToBeWritten);
        if (recovered < 0 || (recovered > 0 && result == 0))
            result = recovered;
    }
    useSpoolSet(active);
    return result;
}

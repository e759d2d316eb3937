// Recovery of an interrupted MP4 recording from its spool files.
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
#include "mp4Writer.h"
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

// The picture size of the video track, from its sequence parameter set.
void TakePictureSize()
{
    tTrack* track = root->videoTrack;
    if (track == nullptr || !track->SPSSetFlag || track->spsLength <= START_CODE_SIZE)
        return;
    unsigned int size[2] = {track->width, track->height};
    DecParSet(track->spsBuffer + START_CODE_SIZE, track->spsLength - START_CODE_SIZE, size);
    track->width = size[0];
    track->height = size[1];
}

UINT32 TrackSamples(const tTrack* track)
{
    return track != nullptr ? track->mdia->minf->stbl->stsz->numSamples : 0;
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

}  // namespace

namespace {

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
    int fd = OpenRegularFile(info.name, SAFE_OPEN_KEEP);
    FILE* file = fd >= 0 ? fdopen(fd, "r+b") : nullptr;
    if (file == nullptr) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        return CannotRecover(info.name, strerror(error));
    }

    int resumed = resumeMP4Recording(&info, file);
    if (resumed < 0)
        return CannotComplete(info.name, "its spool files cannot be read");
    if (resumed == 0) {
        deleteMP4Params();  // no sample was made durable: the file holds its header
        return 0;
    }
    TakePictureSize();
    UINT32 samples = TrackSamples(root->videoTrack) + TrackSamples(root->audioTrack);
    if (completeMP4File() != 1)
        return CannotComplete(info.name, strerror(mp4WriteError));
    UINT64 duration = durationTimeVid > durationTimeAudonVidScale ? durationTimeVid : durationTimeAudonVidScale;
    deleteMP4Params();

    std::string name = info.name;
    if (pathAboutToBeWritten != nullptr && name == pathAboutToBeWritten) {
        std::string recovered = RecoveredName(name);
        if (rename(name.c_str(), recovered.c_str()) == 0)
            name = recovered;
    }
    printf("\nRecovered the interrupted recording %s: %u samples, %.3f s.\n", name.c_str(), samples,
           (double)duration / MP4_MOVIE_TIMESCALE);
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

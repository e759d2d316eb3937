// Continuous recording in segments: boundaries, names and cuts.
#include "segments.h"

#include <dirent.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "QBox.h"
#include "housekeeping.h"
#include "netloop.h"
#include "sample.h"
#include "mp4Writer.h"
#include "mp4route.h"
#include "mpgTSWriter.h"
#include "safefile.h"

namespace {

// ---- names ---------------------------------------------------------------------

const char* const EXTENSIONS[] = {".mp4", ".mpg"};
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// "NAME-0001": at least this many digits.
const int NUMBER_DIGITS = 4;
// The widest name suffix a segment adds: "-" and a 10-digit number.
const size_t NAME_SUFFIX_AT_MOST = 11;
// Names tried for one segment before the cut gives up.
const unsigned int NAME_ATTEMPTS = 1000;

char base[FILENAME_FIELD_SIZE] = "";       // "./NAME"
char extension[8] = "";                    // ".mp4" or ".mpg"
bool stampNamed = true;
unsigned int nextNumber = 1;

size_t DigitsAt(const char* p)
{
    size_t n = 0;
    while (isdigit((unsigned char)p[n]))
        n++;
    return n;
}

// The part of name after base, when name starts with it.
const char* After(const char* name, const char* prefix)
{
    size_t n = strlen(prefix);
    return strncmp(name, prefix, n) == 0 ? name + n : nullptr;
}

bool IsExtension(const char* p)
{
    for (const char* ext : EXTENSIONS) {
        if (strcmp(p, ext) == 0)
            return true;
    }
    return false;
}

// "Mar2609-143005" (TIME_STAMP_SIZE - 1 characters) at the start of p.
bool StartsWithTimeStamp(const char* p)
{
    bool month = false;
    for (const char* m : MONTHS)
        month = month || strncmp(p, m, 3) == 0;
    return month && DigitsAt(p + 3) == 4 && p[7] == '-' && DigitsAt(p + 8) == 6;
}

// "-NNNN" (at least minDigits digits) or nothing, then an extension.
bool NumberThenExtension(const char* p, size_t minDigits)
{
    if (*p == '-') {
        size_t digits = DigitsAt(p + 1);
        if (digits < minDigits || digits == 0)
            return false;
        p += 1 + digits;
    }
    return IsExtension(p);
}

// The highest NAME-NNNN number in the directory, 0 when there is none.
unsigned int HighestNumber(const char* name)
{
    unsigned int highest = 0;
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return 0;
    while (struct dirent* entry = readdir(dir)) {
        const char* rest = After(entry->d_name, name);
        if (rest == nullptr || rest[0] != '-' || !NumberThenExtension(rest, NUMBER_DIGITS))
            continue;
        unsigned long n = strtoul(rest + 1, nullptr, 10);
        if (n > highest && n < UINT32_MAX)
            highest = (unsigned int)n;
    }
    closedir(dir);
    return highest;
}

// Path of the segment numbered n; false when it does not fit.
bool NumberedPath(char* path, unsigned int n)
{
    int length = snprintf(path, FILENAME_FIELD_SIZE, "%s-%0*u%s", base, NUMBER_DIGITS, n, extension);
    return length > 0 && (size_t)length < FILENAME_FIELD_SIZE;
}

// The time stamp of the last segment named by time, and the attempt that
// named it: a segment that starts in the same second goes on from there,
// so that the names of one second still sort as the segments follow.
char lastStamp[TIME_STAMP_SIZE] = "";
unsigned int lastAttempt = 0;

// Path of a segment named by the time it starts: attempt 0 is the bare
// time stamp, attempt k > 0 adds "-(k+1)".
bool StampedPath(char* path, unsigned int attempt)
{
    char stamp[TIME_STAMP_SIZE];
    get_time_stamp_string(stamp);
    if (strcmp(stamp, lastStamp) == 0 && attempt <= lastAttempt)
        attempt = lastAttempt + 1;
    snprintf(lastStamp, sizeof(lastStamp), "%s", stamp);
    lastAttempt = attempt;
    int length = attempt == 0 ? snprintf(path, FILENAME_FIELD_SIZE, "./%s%s", stamp, extension)
                              : snprintf(path, FILENAME_FIELD_SIZE, "./%s-%u%s", stamp, attempt + 1, extension);
    return length > 0 && (size_t)length < FILENAME_FIELD_SIZE;
}

// Opens the next segment's file under the first free name; its path goes
// to path. Null (errno) when none could be opened.
FILE* OpenNextSegmentFile(char* path)
{
    for (unsigned int attempt = 0; attempt < NAME_ATTEMPTS; attempt++) {
        bool fits = stampNamed ? StampedPath(path, attempt) : NumberedPath(path, nextNumber++);
        if (!fits) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        FILE* file = OpenRecordingFile(path, true);
        if (file != nullptr || errno != EEXIST)
            return file;
    }
    return nullptr;
}

// ---- the segment grid ------------------------------------------------------------

struct tSegmentClock {
    bool started;
    int64_t first;         // unwrapped stamp of the first sample recorded
    int64_t nextBoundary;  // unwrapped stamp of the next boundary
    UINT32 samples;        // samples recorded in the current segment
};
tSegmentClock grid = {};

double LocalTimeNow()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    time_t seconds = now.tv_sec;
    long offset = localtime_r(&seconds, &local) != nullptr ? local.tm_gmtoff : 0;
    return (double)now.tv_sec + offset + now.tv_nsec / 1e9;
}

int64_t LengthTicks(const stInputParameters* input)
{
    return (int64_t)input->ulSegment_Length * QBOX_CLOCK_HZ;
}

// The boundary after stamp: on the grid from the first sample, or on the
// local time.
int64_t BoundaryAfter(const stInputParameters* input, int64_t stamp)
{
    if (input->ulSegment_Align)
        return NextAlignedBoundary(stamp, segmentLocalTime(), input->ulSegment_Length);
    int64_t length = LengthTicks(input);
    return grid.first + ((stamp - grid.first) / length + 1) * length;
}

// A sample the next segment can start with: an IDR picture, or any audio
// sample when there is no video.
bool StartsSegment(const stInputParameters* input, const tSample* sample)
{
    if (input->ulMediaFormat == MEDIA_FORMAT_AUDIO)
        return sample->usStreamType == QBOX_STREAM_AUDIO;
    return sample->usStreamType == QBOX_STREAM_VIDEO && sample->bIdr;
}

// The MP4 recording cannot take the sample, or is close enough to its limit
// to roll over at this random access point.
bool MP4LimitReached(bool randomAccess, const tSample* sample)
{
    UINT64 payload = sample->ulPayloadSize;
    UINT64 left = mp4BytesLeft();
    return payload > left || (randomAccess && left < mp4MaxFileLength / 16);
}

// Stamps far behind the grid (the encoder's clock was restarted) start a
// new grid there.
const int64_t NEW_TIME_BASE_TICKS = 60 * (int64_t)QBOX_CLOCK_HZ;

bool BoundaryPassed(const stInputParameters* input, int64_t stamp)
{
    if (input->ulSegment_Length == 0)
        return false;
    if (!grid.started) {
        grid.started = true;
        grid.first = stamp;
        grid.nextBoundary = BoundaryAfter(input, stamp);
        return false;
    }
    if (stamp < grid.nextBoundary - LengthTicks(input) - NEW_TIME_BASE_TICKS) {
        grid.first = stamp;
        grid.nextBoundary = BoundaryAfter(input, stamp);
    }
    return stamp >= grid.nextBoundary;
}

// ---- completion in the background --------------------------------------------------

struct tFinishing {
    pid_t pid;  // 0 when none
    char name[FILENAME_FIELD_SIZE];
};
tFinishing finishing = {0, ""};
bool openFailureReported = false;
// A segment of the run could not be completed.
bool segmentIncomplete = false;

void ReportIncomplete(const char* name, int error)
{
    printf("\nThe recording %s could not be completed: %s\n", name, strerror(error));
    segmentIncomplete = true;
}

// The child: completes the segment it took over and leaves. Signals meant
// for the capture (Ctrl+C reaches the whole process group) do not cut it
// short; its exit status is 0 or the errno of the failure.
// The capture program runs on one thread (the network services included),
// so the child is a whole copy of it; it holds none of the services'
// sockets open, or a client's connection would outlive its close in the
// parent.
[[noreturn]] void CompleteInChild(FILE* next)
{
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    NetCloseInChild();
    fclose(next);
    int status = 0;
    if (completeMP4File() != 1)
        status = mp4WriteError != 0 ? mp4WriteError : EIO;
    deleteMP4Params();
    _exit(status & 0xFF);
}

// Hands the MP4 segment to a child that completes it; when there can be no
// child, it is completed here.
void FinishMP4Segment(FILE* next, const char* name)
{
    if (prepareMP4Handover() == 1) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0)
            CompleteInChild(next);
        if (pid > 0) {
            forgetMP4Recording();
            finishing.pid = pid;
            snprintf(finishing.name, sizeof(finishing.name), "%s", name);
            return;
        }
    }
    bool completed = completeMP4File() == 1;
    int error = mp4WriteError;
    deleteMP4Params();
    if (!completed)
        ReportIncomplete(name, error);
}

// Opens the next MP4 segment on file under the other set of spool names
// (the run's codec descriptions carry the parameter sets over).
bool StartMP4Segment(stInputParameters* input, FILE* file)
{
    useSpoolSet((activeSpoolSet() + 1) % SPOOL_SET_COUNT);
    return SetParameters(*input, file) == 1;
}

}  // namespace

double (*segmentLocalTime)() = LocalTimeNow;

int64_t NextAlignedBoundary(int64_t stamp, double localSeconds, UINT32 length)
{
    double guard = length / 2.0 < 1.0 ? length / 2.0 : 1.0;
    double boundary = (std::floor((localSeconds + guard) / length) + 1) * length;
    return stamp + (int64_t)std::llround((boundary - localSeconds) * QBOX_CLOCK_HZ);
}

FILE* OpenRecordingFile(const char* path, bool fresh)
{
    int fd = OpenRegularFile(path, fresh ? SAFE_OPEN_NEW : SAFE_OPEN_KEEP);
    if (fd < 0)
        return nullptr;
    FILE* file = nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0 || (file = fdopen(fd, "wb")) == nullptr) {
        int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    return file;
}

bool IsOwnRecordingName(const char* name, const char* runName)
{
    if (StartsWithTimeStamp(name) && NumberThenExtension(name + TIME_STAMP_SIZE - 1, 1))
        return true;
    const char* rest = runName != nullptr ? After(name, runName) : nullptr;
    return rest != nullptr && NumberThenExtension(rest, NUMBER_DIGITS);
}

const char* SegmentBaseName()
{
    return stampNamed ? nullptr : base + 2;
}

int PlanSegments(stInputParameters* input)
{
    grid = tSegmentClock();
    openFailureReported = false;
    segmentIncomplete = false;
    const char* path = input->sOutput_Filename;
    const char* dot = strrchr(path, '.');
    size_t stem = dot != nullptr && dot > path + 2 ? (size_t)(dot - path) : strlen(path);
    snprintf(base, sizeof(base), "%.*s", (int)stem, path);
    snprintf(extension, sizeof(extension), "%s", path + stem);
    stampNamed = strlen(base) == 2 + TIME_STAMP_SIZE - 1 && StartsWithTimeStamp(base + 2);
    // The first file holds the run's own time stamp.
    snprintf(lastStamp, sizeof(lastStamp), "%.*s", (int)TIME_STAMP_SIZE - 1, stampNamed ? base + 2 : "");
    lastAttempt = 0;
    if (stem + NAME_SUFFIX_AT_MOST + strlen(extension) >= FILENAME_FIELD_SIZE) {
        if (input->ulSegment_Length == 0)
            return 0;  // the one file keeps its name; a roll-over has no name left
        printf("\nOutput file name too long: the path must stay below %u characters.\n",
               FILENAME_FIELD_SIZE - (unsigned int)NAME_SUFFIX_AT_MOST);
        return -1;
    }
    if (stampNamed)
        return 0;
    unsigned int highest = HighestNumber(base + 2);
    nextNumber = highest + 1;
    if (input->ulSegment_Length == 0) {
        if (nextNumber < 2)
            nextNumber = 2;  // the roll-over after NAME is its second part
        return 0;
    }
    NumberedPath(input->sOutput_Filename, nextNumber++);
    return 0;
}

bool SegmentCutDue(const stInputParameters* input, const tSample* sample)
{
    UINT16 type = sample->usStreamType;
    if (type != QBOX_STREAM_VIDEO && type != QBOX_STREAM_AUDIO)
        return false;
    int64_t stamp = sample->llClock;
    bool passed = BoundaryPassed(input, stamp);
    bool randomAccess = StartsSegment(input, sample);
    bool due = passed && randomAccess;
    if (input->ulSaving == SAVE_MP4) {
        due = (due || MP4LimitReached(randomAccess, sample)) && mp4SampleCount() > 0;
    } else {
        due = due && grid.samples > 0;
    }
    if (!due) {
        grid.samples++;
        return false;
    }
    if (passed)
        grid.nextBoundary = BoundaryAfter(input, stamp);
    return true;
}

int CutRecording(stInputParameters* input)
{
    CollectFinishedSegments(true);
    char path[FILENAME_FIELD_SIZE];
    FILE* next = OpenNextSegmentFile(path);
    if (next == nullptr) {
        if (!openFailureReported)
            printf("\nCannot start the next segment %s: %s. Recording goes on in %s.\n", path, strerror(errno),
                   input->sOutput_Filename);
        openFailureReported = true;
        return 0;
    }
    openFailureReported = false;
    grid.samples = 1;

    if (input->ulSaving == SAVE_TS) {
        if (deinitMP2TS() != 1)
            ReportIncomplete(input->sOutput_Filename, tsWriteError);
        continueMP2TSInFile(next);
        snprintf(input->sOutput_Filename, sizeof(input->sOutput_Filename), "%s", path);
        return 1;
    }
    FinishMP4Segment(next, input->sOutput_Filename);
    snprintf(input->sOutput_Filename, sizeof(input->sOutput_Filename), "%s", path);
    if (!StartMP4Segment(input, next)) {
        printf("\nCannot start the next segment %s: %s\n", path, strerror(mp4WriteError != 0 ? mp4WriteError : EIO));
        return -1;
    }
    return 1;
}

bool AllSegmentsCompleted()
{
    return !segmentIncomplete;
}

bool CollectFinishedSegments(bool wait)
{
    if (finishing.pid == 0)
        return true;
    int status = 0;
    pid_t pid;
    do {
        pid = waitpid(finishing.pid, &status, wait ? 0 : WNOHANG);
    } while (pid < 0 && errno == EINTR);
    if (pid == 0)
        return true;  // still at work
    finishing.pid = 0;
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ReportIncomplete(finishing.name, pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : EIO);
        return false;
    }
    return true;
}

// Retention: deleting the program's own oldest finished recordings.
#include "retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "byteorder.h"
#include "housekeeping.h"
#include "segments.h"
#include "tspacket.h"

namespace {

const unsigned long long BYTES_PER_MIB = 1024ull * 1024;
const size_t BOX_HEADER_SIZE = 8;
const size_t BOX_LARGESIZE_HEADER_SIZE = 16;
// Top-level boxes read at most; the program's files have three.
const int MAX_TOP_LEVEL_BOXES = 64;

struct tCandidate {
    struct timespec modified;
    std::string name;
};

bool OlderThan(const tCandidate& a, const tCandidate& b)
{
    if (a.modified.tv_sec != b.modified.tv_sec)
        return a.modified.tv_sec < b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec)
        return a.modified.tv_nsec < b.modified.tv_nsec;
    return a.name < b.name;
}

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

bool IsCompleteOpenFile(int fd, const std::string& name)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (EndsWith(name, ".mp4"))
        return IsCompleteMP4(fd, st.st_size);
    return EndsWith(name, ".mpg") && IsWholeTransportStream(fd, st.st_size);
}

// The program's own finished recordings here, oldest first (checked again
// when one is deleted).
std::vector<tCandidate> OwnRecordings(const char* base)
{
    std::vector<tCandidate> found;
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return found;
    while (struct dirent* entry = readdir(dir)) {
        struct stat st;
        if (!IsOwnRecordingName(entry->d_name, base) || lstat(entry->d_name, &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_nlink != 1)
            continue;
        found.push_back({st.st_mtim, entry->d_name});
    }
    closedir(dir);
    std::sort(found.begin(), found.end(), OlderThan);
    return found;
}

// Deletes the recording while holding its recording lock, so that no run
// is writing it; false when it is in use, not complete, or not a plain file.
bool DeleteFinishedRecording(const std::string& name)
{
    int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool deleted = false;
    if (fstat(fd, &st) == 0 && st.st_nlink == 1 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        IsCompleteOpenFile(fd, name)) {
        deleted = unlink(name.c_str()) == 0;
    }
    close(fd);
    return deleted;
}

}  // namespace

bool IsCompleteRecording(const char* name)
{
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool complete = IsCompleteOpenFile(fd, name);
    close(fd);
    return complete;
}

unsigned int KeepFreeSpace(unsigned int keepMiB, const char* base)
{
    unsigned long long keep = keepMiB * BYTES_PER_MIB;
    unsigned long long free = 0;
    if (keepMiB == 0 || !FreeBytesHere(&free) || free >= keep)
        return 0;
    unsigned int deleted = 0;
    for (const tCandidate& candidate : OwnRecordings(base)) {
        if (!DeleteFinishedRecording(candidate.name))
            continue;
        deleted++;
        unsigned long long before = free;
        printf("\nDeleted the recording ./%s to keep %u MiB free.\n", candidate.name.c_str(), keepMiB);
        if (!FreeBytesHere(&free) || free >= keep || free <= before)
            break;
    }
    return deleted;
}

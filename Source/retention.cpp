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

#include "housekeeping.h"
#include "recovery.h"
#include "segments.h"

namespace {

const unsigned long long BYTES_PER_MIB = 1024ull * 1024;
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
        IsCompleteRecordingFile(fd, name.c_str())) {
        deleted = unlink(name.c_str()) == 0;
    }
    close(fd);
    return deleted;
}

}  // namespace

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

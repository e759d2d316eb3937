// Opening the program's files without following links or blocking on FIFOs.
#include "safefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

static const mode_t NEW_FILE_MODE = 0644;

static bool IsPlainFile(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

int OpenRegularFile(const char* name, int mode)
{
    // O_NONBLOCK: opening a FIFO must not wait for its other end; it is
    // refused below, like every other kind of file but a regular one.
    int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (mode == SAFE_OPEN_NEW ? O_EXCL : 0);
    int fd = open(name, flags, NEW_FILE_MODE);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !IsPlainFile(st)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0 ||
        (mode == SAFE_OPEN_TRUNCATE && ftruncate(fd, 0) != 0)) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool IsUsableFileName(const char* name)
{
    struct stat st;
    if (lstat(name, &st) != 0)
        return errno == ENOENT;
    return IsPlainFile(st);
}

void UseRecordingBuffer(FILE* pf, char* pcBuffer)
{
    if (pf != nullptr && fileno(pf) >= 0)
        setvbuf(pf, pcBuffer, _IOFBF, RECORDING_BUFFER_SIZE);
}

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

int OpenRegularFile(const char* name, int truncate)
{
    // O_NONBLOCK: opening a FIFO must not wait for its other end; it is
    // refused below, like every other kind of file but a regular one.
    int fd = open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, NEW_FILE_MODE);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !IsPlainFile(st)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        (truncate == SAFE_OPEN_TRUNCATE && ftruncate(fd, 0) != 0)) {
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

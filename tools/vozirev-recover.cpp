// vozirev-recover: completes the MP4 recording that a power cut, a reset or
// a kill interrupted, from the spool files it left beside it, without
// capturing. For an operator who pulls the card, or a service manager that
// runs it before each start.
//
//   vozirev-recover [DIR]
//
// DIR (default: the current directory) is the directory the recording was
// made in. Exit status 0 when a recording was recovered or there was
// nothing to recover, 1 when it could not be recovered (its spool files are
// kept aside, see the message) or DIR cannot be used, 2 for a wrong usage.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "housekeeping.h"
#include "recovery.h"

int main(int argc, char** argv)
{
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fprintf(stderr, "usage: vozirev-recover [DIR]\n");
        return 2;
    }
    const char* dir = argc == 2 ? argv[1] : ".";
    if (chdir(dir) != 0) {
        printf("Cannot use %s: %s\n", dir, strerror(errno));
        return 1;
    }
    if (!AcquireSpoolLock()) {
        printf("A recording is running in %s (or its lock cannot be taken): nothing done.\n", dir);
        return 1;
    }
    int recovered = RecoverInterruptedRecordings(nullptr);
    ReleaseSpoolLock();
    if (recovered == 0)
        printf("Nothing to recover in %s.\n", dir);
    else
        printf("\n");
    return recovered < 0 ? 1 : 0;
}

// The capture application.
#include "Vozirev.h"

// Set by the SIGINT/SIGTERM handler; the capture loop re-reads it each turn.
volatile sig_atomic_t stop_encoding = 0;
// Free-space checks are off unless -q turns them on.
int skip_disk_check = 1;
// 1 once a sample has been given to the MP4 writer.
int mp4write = 0;

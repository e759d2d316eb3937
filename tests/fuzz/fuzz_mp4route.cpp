// The MP4 route: SetParameters opens a recording, QBoxToMp4 takes arbitrary
// QBox samples (headers whose sizes and stream types lie, payloads whose NAL
// length prefixes lie), and closecapture completes the file. The finished
// file must be a tree of boxes that covers it exactly, with sample tables
// that agree with each other and point into "mdat".
//
// The recording goes to an in-memory stream (open_memstream) and the seven
// spool files to a tmpfs scratch directory.
//
// Input: byte 0: bits 0..1 the media format (0 and 3 audio and video, 1
// audio, 2 video), bit 2 set: the recording is dropped without completion.
// Then records of a 2-byte big-endian length and that many bytes: one sample
// as the reader delivers it (header included) in a heap block of exactly its
// length. A record shorter than the header is padded with zeros to 24 bytes
// as the reader never delivers less.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "housekeeping.h"
#include "mp4route.h"
#include "byteorder.h"
#include "mp4Writer.h"
#include "fuzz_common.h"
#include "fuzz_mp4check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchDirectory("mp4");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzCursor in(data, size);
    uint8_t options = in.Byte();
    stInputParameters input;
    memset(&input, 0, sizeof(input));
    input.ulMediaFormat = (options & 3) == 0 ? 3 : (options & 3);
    bool complete = (options & 4) == 0;

    char* file = nullptr;
    size_t fileSize = 0;
    FILE* out = open_memstream(&file, &fileSize);
    FUZZ_CHECK(out != nullptr);
    FUZZ_CHECK(SetParameters(input, out) == 1);

    mp4write = 0;
    while (!in.Empty()) {
        FuzzBytes sample = in.Record();
        if (sample.size() < QBOX_HEADER_SIZE)
            sample.resize(QBOX_HEADER_SIZE, 0);
        QBoxToMp4(sample.data(), (unsigned int)sample.size(), input);
        mp4write = 1;
    }

    if (complete) {
        closecapture(1);
        CheckMp4File((const uint8_t*)file, fileSize);
    } else {
        deleteMP4Params();
    }
    FUZZ_CHECK(root == nullptr && mp4file == nullptr);
    free(file);
    mp4write = 0;
    return 0;
}

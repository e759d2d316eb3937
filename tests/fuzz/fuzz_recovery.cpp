// Recovery of an interrupted MP4 recording from hostile leftovers: spool
// files cut short, full of garbage, with entries that point past the data
// or count samples that are not there, an info file that lies, a recording
// file of any length. Recovery must never read or write out of bounds; a
// file it completes must be a tree of boxes with sample tables inside
// "mdat", never longer than what it found, and nothing but its own
// set-aside names may remain beside it.
//
// Input: byte 0: bit 0 set: the info file is made from the flags below
// (video, audio) and the recording's name, else it is the next record as
// it stands; bit 1: video, bit 2: audio. Then records of a 2-byte
// big-endian length and that many bytes: the seven spool files "~temp1" to
// "~temp7" in order, then the recording file (32 bytes of file header in
// front of it when bit 3 is set). Missing records leave files empty.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "fuzz_common.h"
#include "fuzz_mp4check.h"
#include "mp4durable.h"
#include "mp4spool.h"
#include "recovery.h"

namespace {

const char* const RECORDING = "./rec.mp4";
// "ftyp" (mp42, 0, mp42 isom) and the header of an "mdat" of size 0.
const uint8_t FILE_HEADER[32] = {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'm', 'p', '4', '2', 0, 0, 0, 0,
                                 'm', 'p', '4', '2', 'i', 's', 'o', 'm', 0, 0, 0, 0, 'm', 'd', 'a', 't'};

void WriteFile(const char* name, const FuzzBytes& bytes)
{
    FILE* f = fopen(name, "wb");
    FUZZ_CHECK(f != nullptr);
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

FuzzBytes ReadFile(const char* name)
{
    FuzzBytes bytes;
    FILE* f = fopen(name, "rb");
    if (f == nullptr)
        return bytes;
    int c;
    while ((c = fgetc(f)) != EOF)
        bytes.push_back((uint8_t)c);
    fclose(f);
    return bytes;
}

void WriteInfo(uint8_t flags)
{
    tRecordingInfo info = tRecordingInfo();
    snprintf(info.name, sizeof(info.name), "%s", RECORDING);
    info.video = (flags & 2) != 0;
    info.audio = (flags & 4) != 0;
    info.audioFrequency = 48000;
    info.audioChannels = 2;
    info.audioBitsPerSample = 16;
    info.sps = {0, 0, 0, 1, 0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x05, 0x07, 0xE4};
    info.pps = {0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    FUZZ_CHECK(writeRecordingInfo(&info));
}

// Everything in the scratch directory goes, so the next input starts clean;
// only set-aside names and the recording may have been left.
void EmptyDirectory()
{
    DIR* dir = opendir(".");
    FUZZ_CHECK(dir != nullptr);
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        FUZZ_CHECK(name == "rec.mp4" || name.find(UNRECOVERED_SUFFIX) != std::string::npos);
        names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names)
        remove(name.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchDirectory("recovery");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzCursor in(data, size);
    uint8_t flags = in.Byte();
    if (flags & 1)
        WriteInfo(flags);
    else
        WriteFile(spoolSetNames(0)->info, in.Record());
    for (const char* name : spoolSetNames(0)->spool)
        WriteFile(name, in.Record());
    FuzzBytes recording = in.Record();
    if (flags & 8)
        recording.insert(recording.begin(), FILE_HEADER, FILE_HEADER + sizeof(FILE_HEADER));
    WriteFile(RECORDING, recording);

    int result = RecoverInterruptedRecordings(nullptr);
    FUZZ_CHECK(result >= -1 && result <= 1);
    FuzzBytes after = ReadFile(RECORDING);
    if (result == 1) {
        CheckMp4File(after.data(), after.size());
        // The samples are what was found, cut back, never more.
        size_t mdatEnd = 24 + (size_t)ReadBE32(after.data() + 24);
        FUZZ_CHECK(mdatEnd <= recording.size());
        FUZZ_CHECK(memcmp(after.data() + 32, recording.data() + 32, mdatEnd - 32) == 0);
    } else if (result == 0 && after != recording) {
        // No sample was made durable: cut back to the header it began with.
        FUZZ_CHECK(after.size() == 32 && recording.size() > 32 && memcmp(after.data(), recording.data(), 32) == 0);
    } else {
        FUZZ_CHECK(after == recording);  // left untouched
    }
    EmptyDirectory();
    return 0;
}

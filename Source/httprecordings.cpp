// The recordings the HTTP server lists and serves.
#include "httprecordings.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "byteorder.h"
#include "hls.h"
#include "recovery.h"
#include "segments.h"
#include "tspacket.h"

namespace {

const char* const RECOVERED_MARK = "-recovered";
const UINT32 BOX_HEADER_SIZE = 8;
const UINT32 MVHD_FIELDS_SIZE = 32;      // version/flags to duration, version 1
const UINT32 TS_SCAN_BYTES = 188 * 512;  // at each end of a transport stream
const INT64 PCR_HZ = 27000000;
const UINT32 PCR_FLAG = 0x10;

// "STEM-recovered[-N].ext" is served when "STEM.ext" would be.
bool IsServedName(const char* szName, const char* szBase)
{
    if (strchr(szName, '/') != nullptr)
        return false;
    if (IsOwnRecordingName(szName, szBase))
        return true;
    const char* mark = strstr(szName, RECOVERED_MARK);
    const char* dot = strrchr(szName, '.');
    if (mark == nullptr || dot == nullptr || dot < mark)
        return false;
    const char* after = mark + strlen(RECOVERED_MARK);
    if (*after == '-')
        after += 1 + strspn(after + 1, "0123456789");
    if (after != dot)
        return false;
    std::string original = std::string(szName, (size_t)(mark - szName)) + dot;
    return IsOwnRecordingName(original.c_str(), szBase);
}

// A run holds the lock of a file it writes (segments.h OpenRecordingFile).
bool Unlocked(int fd)
{
    if (flock(fd, LOCK_SH | LOCK_NB) != 0)
        return false;
    flock(fd, LOCK_UN);
    return true;
}

// The top-level or inner box of that type in [from, to); its payload's
// offset and size.
bool FindBox(int fd, UINT64 from, UINT64 to, const char* szType, UINT64* pullAt, UINT64* pullSize)
{
    while (from + BOX_HEADER_SIZE <= to) {
        UINT8 header[16];
        if (pread(fd, header, sizeof(header), (off_t)from) < (ssize_t)BOX_HEADER_SIZE)
            return false;
        UINT64 size = ReadBE32(header), skip = BOX_HEADER_SIZE;
        if (size == 1) {
            size = ReadBE64(header + 8);
            skip = 16;
        }
        if (size < skip || size > to - from)
            return false;
        if (memcmp(header + 4, szType, 4) == 0) {
            *pullAt = from + skip;
            *pullSize = size - skip;
            return true;
        }
        from += size;
    }
    return false;
}

// The movie's duration from "mvhd" (ISO/IEC 14496-12, 8.2.2).
INT64 Mp4DurationMs(int fd, UINT64 ullSize)
{
    UINT64 moov, moovSize, mvhd, mvhdSize;
    UINT8 f[MVHD_FIELDS_SIZE];
    if (!FindBox(fd, 0, ullSize, "moov", &moov, &moovSize) ||
        !FindBox(fd, moov, moov + moovSize, "mvhd", &mvhd, &mvhdSize) || mvhdSize < sizeof(f) ||
        pread(fd, f, sizeof(f), (off_t)mvhd) != (ssize_t)sizeof(f))
        return -1;
    bool v1 = f[0] == 1;
    UINT32 timescale = ReadBE32(f + (v1 ? 20 : 12));
    UINT64 duration = v1 ? ReadBE64(f + 24) : ReadBE32(f + 16);
    return timescale > 0 ? (INT64)(duration * 1000 / timescale) : -1;
}

// The first (or last) PCR in ulBytes of packets at ullAt (ISO/IEC 13818-1,
// 2.4.3.5); -1 when there is none.
INT64 PcrIn(int fd, UINT64 ullAt, UINT32 ulBytes, bool bLast)
{
    std::vector<UINT8> block(ulBytes);
    ssize_t got = pread(fd, block.data(), ulBytes, (off_t)ullAt);
    INT64 found = -1;
    for (ssize_t p = 0; p + (ssize_t)TS_PACKET_SIZE <= got; p += TS_PACKET_SIZE) {
        const UINT8* pkt = block.data() + p;
        if (pkt[0] != TS_SYNC_BYTE || !(pkt[3] & 0x20) || pkt[4] < 7 || !(pkt[5] & PCR_FLAG))
            continue;
        INT64 base = ((INT64)ReadBE32(pkt + 6) << 1) | (pkt[10] >> 7);
        found = base * 300 + (((pkt[10] & 1) << 8) | pkt[11]);
        if (!bLast)
            break;
    }
    return found;
}

INT64 TsDurationMs(int fd, UINT64 ullSize)
{
    UINT32 scan = ullSize < TS_SCAN_BYTES ? (UINT32)ullSize : TS_SCAN_BYTES;
    INT64 first = PcrIn(fd, 0, scan, false);
    INT64 last = PcrIn(fd, ullSize - scan, scan, true);
    return first >= 0 && last >= first ? (last - first) * 1000 / PCR_HZ : -1;
}

struct tListed {
    std::string name;
    tRecordingFile file;
};

bool NewerFirst(const tListed& a, const tListed& b)
{
    return a.file.llModifiedNs != b.file.llModifiedNs ? a.file.llModifiedNs > b.file.llModifiedNs : a.name > b.name;
}

// The recording's start: its end less its duration.
void PutStart(const tRecordingFile& file, char* pcOut, UINT32 ulSize)
{
    INT64 duration = file.llDurationMs > 0 ? file.llDurationMs : 0;
    HlsPutDateTime(pcOut, ulSize, file.llModifiedNs / 1000000 - duration);
}

void PutJson(const std::vector<tListed>& found, std::string* pOut)
{
    *pOut = "[";
    char line[512];
    for (const tListed& r : found) {
        char start[32];
        PutStart(r.file, start, sizeof(start));
        snprintf(line, sizeof(line), "%s\n{\"name\":\"%s\",\"size\":%" PRIu64 ",\"duration\":%.3f,\"start\":\"%s\"}",
                 pOut->size() > 1 ? "," : "", r.name.c_str(), r.file.ullSize, (double)r.file.llDurationMs / 1000,
                 start);
        *pOut += line;
    }
    *pOut += "\n]\n";
}

// The names are the program's own (letters, digits, '-', '.'): nothing in
// them needs escaping in HTML.
void PutHtml(const std::vector<tListed>& found, std::string* pOut)
{
    *pOut = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Recordings</title>"
            "<link rel=\"stylesheet\" href=\"/style.css\"></head>\n<body><h1>Recordings</h1>\n<table>\n"
            "<tr><th>Name</th><th>Size (bytes)</th><th>Duration (s)</th><th>Start (UTC)</th></tr>\n";
    char line[768];
    for (const tListed& r : found) {
        char start[32];
        PutStart(r.file, start, sizeof(start));
        snprintf(line, sizeof(line), "<tr><td><a href=\"/recordings/%s\">%s</a></td><td>%" PRIu64
                 "</td><td>%.3f</td><td>%s</td></tr>\n", r.name.c_str(), r.name.c_str(), r.file.ullSize,
                 (double)r.file.llDurationMs / 1000, start);
        *pOut += line;
    }
    *pOut += "</table>\n<p><a href=\"/\">Live view</a></p></body></html>\n";
}

}  // namespace

bool RecordingOpen(const char* szName, const char* szBase, tRecordingFile* pFile)
{
    if (!IsServedName(szName, szBase))
        return false;
    int fd = open(szName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || !Unlocked(fd) ||
        !IsCompleteRecordingFile(fd, szName)) {
        close(fd);
        return false;
    }
    pFile->fd = fd;
    pFile->ullSize = (UINT64)st.st_size;
    pFile->llModifiedNs = (INT64)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    pFile->llDurationMs = strstr(szName, ".mp4") != nullptr ? Mp4DurationMs(fd, pFile->ullSize)
                                                            : TsDurationMs(fd, pFile->ullSize);
    return true;
}

void RecordingsList(const char* szBase, bool bJson, std::string* pOut)
{
    std::vector<tListed> found;
    DIR* dir = opendir(".");
    while (dir != nullptr) {
        struct dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        tListed r;
        if (!RecordingOpen(entry->d_name, szBase, &r.file))
            continue;
        close(r.file.fd);
        r.name = entry->d_name;
        found.push_back(r);
    }
    if (dir != nullptr)
        closedir(dir);
    std::sort(found.begin(), found.end(), NewerFirst);
    if (found.size() > RECORDINGS_MAX_LISTED)
        found.resize(RECORDINGS_MAX_LISTED);
    if (bJson)
        PutJson(found, pOut);
    else
        PutHtml(found, pOut);
}

void FileEntityTag(UINT64 ullSize, INT64 llModifiedNs, char* pcOut, UINT32 ulSize)
{
    snprintf(pcOut, ulSize, "\"%" PRIx64 "-%" PRIx64 "\"", ullSize, (UINT64)llModifiedNs);
}

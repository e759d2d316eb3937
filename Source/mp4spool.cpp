// The MP4 writer's spool files: records in memory blocks, written out and
// made durable.
#include "mp4spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>

#include "safefile.h"

static tSpool spools[SPOOL_COUNT] = {
    {nullptr, -1, 0, {}}, {nullptr, -1, 0, {}}, {nullptr, -1, 0, {}}, {nullptr, -1, 0, {}},
    {nullptr, -1, 0, {}}, {nullptr, -1, 0, {}}, {nullptr, -1, 0, {}},
};
tSpool* const sttsAudFile = &spools[0];
tSpool* const stcoAudFile = &spools[1];
tSpool* const stszAudFile = &spools[2];
tSpool* const sttsVidFile = &spools[3];
tSpool* const stcoVidFile = &spools[4];
tSpool* const stszVidFile = &spools[5];
tSpool* const stssVidFile = &spools[6];
tSpool* const spoolFiles[SPOOL_COUNT] = {&spools[0], &spools[1], &spools[2], &spools[3],
                                         &spools[4], &spools[5], &spools[6]};

bool spoolsHeldForSync = false;

// ---- the sets of names -----------------------------------------------------------

static tSpoolSetNames spoolSets[SPOOL_SET_COUNT];
static unsigned int spoolSet = 0;

static void nameSpoolSets()
{
    static bool named = false;
    if (named) {
        return;
    }
    for (unsigned int set = 0; set < SPOOL_SET_COUNT; set++) {
        tSpoolSetNames* names = &spoolSets[set];
        const char* prefix = SPOOL_SET_PREFIXES[set];
        for (size_t i = 0; i < SPOOL_COUNT; i++) {
            snprintf(names->spool[i], SPOOL_NAME_SIZE, "%s%u", prefix, (unsigned int)i + 1);
        }
        snprintf(names->info, SPOOL_NAME_SIZE, "%s.info", prefix);
        snprintf(names->infoNew, SPOOL_NAME_SIZE, "%s.info.new", prefix);
        snprintf(names->reserve, SPOOL_NAME_SIZE, "%s.reserve", prefix);
    }
    named = true;
}

const tSpoolSetNames* spoolSetNames(unsigned int set)
{
    nameSpoolSets();
    return &spoolSets[set < SPOOL_SET_COUNT ? set : 0];
}

void useSpoolSet(unsigned int set)
{
    spoolSet = set < SPOOL_SET_COUNT ? set : 0;
    for (size_t i = 0; i < SPOOL_COUNT; i++) {
        spools[i].name = spoolSetNames(spoolSet)->spool[i];
    }
}

unsigned int activeSpoolSet()
{
    return spoolSet;
}

const tSpoolSetNames* activeSpoolNames()
{
    return spoolSetNames(spoolSet);
}

// ---- records ----------------------------------------------------------------------

bool writeAll(int fd, const UINT8* data, size_t size, off_t offset)
{
    while (size > 0) {
        ssize_t n = pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        data += n;
        size -= (size_t)n;
        offset += n;
    }
    return true;
}

bool openSpool(tSpool* spool, bool truncate)
{
    closeSpool(spool);
    if (spool->name == nullptr) {
        useSpoolSet(spoolSet);
    }
    spool->fd = OpenRegularFile(spool->name, truncate ? SAFE_OPEN_TRUNCATE : SAFE_OPEN_KEEP);
    if (spool->fd < 0) {
        return false;
    }
    off_t size = truncate ? 0 : lseek(spool->fd, 0, SEEK_END);
    if (size < 0) {
        closeSpool(spool);
        return false;
    }
    spool->written = (UINT32)(size / SPOOL_RECORD_SIZE);
    return true;
}

void closeSpool(tSpool* spool)
{
    if (spool->fd >= 0) {
        close(spool->fd);
        spool->fd = -1;
    }
    spool->written = 0;
    spool->pending.clear();
    spool->pending.shrink_to_fit();
}

bool flushSpool(tSpool* spool)
{
    if (spool->pending.empty() || spool->fd < 0) {
        return spool->pending.empty();
    }
    off_t end = (off_t)spool->written * SPOOL_RECORD_SIZE;
    size_t bytes = spool->pending.size() * SPOOL_RECORD_SIZE;
    if (!writeAll(spool->fd, (const UINT8*)spool->pending.data(), bytes, end)) {
        int error = errno;
        if (ftruncate(spool->fd, end) != 0) {
            // A partial record beyond the whole ones is never read.
        }
        errno = error;
        return false;
    }
    spool->written += (UINT32)spool->pending.size();
    spool->pending.clear();
    return true;
}

bool appendRecord(tSpool* spool, UINT32 value)
{
    bool written = true;
    if (!spoolsHeldForSync && spool->pending.size() >= SPOOL_BLOCK_RECORDS) {
        written = flushSpool(spool);
    }
    spool->pending.push_back(value);
    return written;
}

UINT32 spoolRecords(const tSpool* spool)
{
    return spool->written + (UINT32)spool->pending.size();
}

UINT32 readRecordAt(const tSpool* spool, UINT32 index)
{
    if (index >= spool->written) {
        index -= spool->written;
        return index < spool->pending.size() ? spool->pending[index] : 0;
    }
    UINT32 value = 0;
    if (pread(spool->fd, &value, SPOOL_RECORD_SIZE, (off_t)index * SPOOL_RECORD_SIZE) != SPOOL_RECORD_SIZE) {
        return 0;
    }
    return value;
}

bool writeRecordAt(tSpool* spool, UINT32 index, UINT32 value)
{
    if (index >= spool->written) {
        if (index - spool->written < spool->pending.size()) {
            spool->pending[index - spool->written] = value;
        }
        return true;
    }
    return writeAll(spool->fd, (const UINT8*)&value, SPOOL_RECORD_SIZE, (off_t)index * SPOOL_RECORD_SIZE);
}

bool syncSpools()
{
    for (tSpool& spool : spools) {
        if (spool.fd < 0) {
            continue;
        }
        if (!flushSpool(&spool) || fdatasync(spool.fd) != 0) {
            return false;
        }
    }
    return true;
}

bool cutSpool(tSpool* spool, UINT32 count)
{
    if (count >= spoolRecords(spool)) {
        return true;
    }
    if (count >= spool->written) {
        spool->pending.resize(count - spool->written);
        return true;
    }
    spool->pending.clear();
    spool->written = count;
    return ftruncate(spool->fd, (off_t)count * SPOOL_RECORD_SIZE) == 0;
}

// ---- the recording's info file -------------------------------------------------
//
// Text, one "key value" line each, values that may hold any byte in hex:
//   vozirev-recording-info 1
//   name <hex>
//   tracks <video 0|1> <audio 0|1>
//   audio <frequency> <channels> <bits per sample>
//   sps <hex>
//   pps <hex>
//   first <video stamp> <audio stamp>
//   end
// The last line tells a whole file from one cut short.

static const char INFO_MAGIC[] = "vozirev-recording-info 1";
static const size_t INFO_MAX_BYTES = 1u << 20;

static void appendHex(std::string* text, const UINT8* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; i++) {
        *text += digits[data[i] >> 4];
        *text += digits[data[i] & 0x0F];
    }
}

static bool parseHex(const char* hex, std::vector<UINT8>* bytes)
{
    bytes->clear();
    size_t length = strlen(hex);
    if (length % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < length; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], '\0'};
        char* end = nullptr;
        unsigned long value = strtoul(pair, &end, 16);
        if (*end != '\0' || !isxdigit((unsigned char)pair[0]) || !isxdigit((unsigned char)pair[1])) {
            return false;
        }
        bytes->push_back((UINT8)value);
    }
    return true;
}

static std::string formatRecordingInfo(const tRecordingInfo* info)
{
    std::string text = std::string(INFO_MAGIC) + "\nname ";
    appendHex(&text, (const UINT8*)info->name, strlen(info->name));
    char line[96];
    snprintf(line, sizeof(line), "\ntracks %d %d\naudio %u %u %u\nsps ", info->video ? 1 : 0, info->audio ? 1 : 0,
             info->audioFrequency, info->audioChannels, info->audioBitsPerSample);
    text += line;
    appendHex(&text, info->sps.data(), info->sps.size());
    text += "\npps ";
    appendHex(&text, info->pps.data(), info->pps.size());
    snprintf(line, sizeof(line), "\nfirst %u %u\nend\n", info->firstVideoStamp, info->firstAudioStamp);
    text += line;
    return text;
}

// Makes a rename in the current directory durable.
static bool syncDirectory()
{
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool writeRecordingInfo(const tRecordingInfo* info)
{
    std::string text = formatRecordingInfo(info);
    const tSpoolSetNames* names = activeSpoolNames();
    int fd = OpenRegularFile(names->infoNew, SAFE_OPEN_TRUNCATE);
    if (fd < 0) {
        return false;
    }
    bool written = writeAll(fd, (const UINT8*)text.data(), text.size(), 0) && fdatasync(fd) == 0;
    int error = errno;
    close(fd);
    if (!written || rename(names->infoNew, names->info) != 0 || !syncDirectory()) {
        errno = written ? errno : error;
        return false;
    }
    return true;
}

// Reads a whole small file into text; false when it is missing or too big.
static bool readSmallFile(const char* name, std::string* text)
{
    int fd = OpenRegularFile(name, SAFE_OPEN_KEEP);
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    ssize_t got;
    text->clear();
    while ((got = read(fd, buffer, sizeof(buffer))) > 0 && text->size() <= INFO_MAX_BYTES) {
        text->append(buffer, (size_t)got);
    }
    close(fd);
    return got == 0 && text->size() <= INFO_MAX_BYTES;
}

static bool parseInfoLine(const std::string& line, tRecordingInfo* info, bool* ended)
{
    size_t space = line.find(' ');
    std::string key = line.substr(0, space);
    const char* value = space == std::string::npos ? "" : line.c_str() + space + 1;
    std::vector<UINT8> bytes;
    if (key == "name") {
        if (!parseHex(value, &bytes) || bytes.empty() || bytes.size() >= sizeof(info->name) ||
            memchr(bytes.data(), '\0', bytes.size()) != nullptr) {
            return false;
        }
        memcpy(info->name, bytes.data(), bytes.size());
        info->name[bytes.size()] = '\0';
        return true;
    }
    if (key == "tracks") {
        int video = -1, audio = -1;
        if (sscanf(value, "%d %d", &video, &audio) != 2 || video < 0 || video > 1 || audio < 0 || audio > 1) {
            return false;
        }
        info->video = video == 1;
        info->audio = audio == 1;
        return true;
    }
    if (key == "audio") {
        unsigned int frequency = 0, channels = 0, bits = 0;
        if (sscanf(value, "%u %u %u", &frequency, &channels, &bits) != 3 || channels > 0xFFFF || bits > 0xFFFF) {
            return false;
        }
        info->audioFrequency = frequency;
        info->audioChannels = (UINT16)channels;
        info->audioBitsPerSample = (UINT16)bits;
        return true;
    }
    if (key == "sps") {
        return parseHex(value, &info->sps);
    }
    if (key == "pps") {
        return parseHex(value, &info->pps);
    }
    if (key == "first") {
        return sscanf(value, "%u %u", &info->firstVideoStamp, &info->firstAudioStamp) == 2;
    }
    if (key == "end") {
        *ended = true;
        return true;
    }
    return false;
}

bool readRecordingInfo(tRecordingInfo* info)
{
    std::string text;
    if (!readSmallFile(activeSpoolNames()->info, &text)) {
        return false;
    }
    *info = tRecordingInfo();
    size_t start = 0;
    bool ended = false;
    bool first = true;
    while (start < text.size() && !ended) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            return false;  // cut short
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            if (line != INFO_MAGIC) {
                return false;
            }
            first = false;
        } else if (!parseInfoLine(line, info, &ended)) {
            return false;
        }
    }
    return ended && info->name[0] != '\0' && (info->video || info->audio);
}

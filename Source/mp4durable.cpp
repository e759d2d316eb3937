// The MP4 writer's durability protocol: the recording's info file and
// syncMP4Recording.
#include "mp4durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QBox.h"
#include "mp4Writer.h"
#include "mp4spool.h"
#include "safefile.h"

// ---- the info file's format ----------------------------------------------------
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

// ---- the recording's info and sync ----------------------------------------------

static char recordingName[RECORDING_NAME_SIZE] = "";
static bool infoStale = false;
static UINT32 infoVideoVersion = 0;  // the video description's ulVersion the info file holds
UINT32 mp4SyncCount = 0;

void setMP4RecordingName(const char* name)
{
    snprintf(recordingName, sizeof(recordingName), "%s", name);
}

void mp4InfoChanged()
{
    infoStale = true;
}

void mp4InfoSettled()
{
    infoStale = false;
    infoVideoVersion = mp4VideoCodec()->ulVersion;
}

// The info file keeps a parameter set in start-code form.
static std::vector<UINT8> withStartCode(const std::vector<UINT8>& set)
{
    if (set.empty()) {
        return {};
    }
    std::vector<UINT8> unit(START_CODE_SIZE + set.size());
    memcpy(unit.data(), START_CODE, START_CODE_SIZE);
    memcpy(unit.data() + START_CODE_SIZE, set.data(), set.size());
    return unit;
}

bool mp4StoreInfo()
{
    const tVideoCodec* video = mp4VideoCodec();
    if (!infoStale && infoVideoVersion == video->ulVersion) {
        return true;
    }
    const tAudioCodec* audio = mp4AudioCodec();
    tRecordingInfo info = tRecordingInfo();
    snprintf(info.name, sizeof(info.name), "%s", recordingName);
    info.video = root->VideoPresentFlag != 0;
    info.audio = root->AudioPresentFlag != 0;
    info.audioFrequency = audio->ulSampleRate;
    info.audioChannels = (UINT16)audio->ulChannels;
    info.audioBitsPerSample = audio->usBitsPerSample;
    info.firstVideoStamp = firstTimeStampVid;
    info.firstAudioStamp = firstTimeStampAud;
    if (root->videoTrack != nullptr) {
        info.sps = withStartCode(video->sps);
        info.pps = withStartCode(video->pps);
    }
    if (!writeRecordingInfo(&info)) {
        mp4FailOutput(errno);
        return false;
    }
    mp4InfoSettled();
    return true;
}

UINT8 syncMP4Recording()
{
    if (root == nullptr || mp4OutputFailed() || !mp4PushSamples()) {
        return 0;
    }
    if (fdatasync(fileno(mp4file)) != 0) {
        mp4FailOutput(errno);
        return 0;
    }
    // The info (first stamps, parameter sets) before the records it explains.
    if (!mp4StoreInfo()) {
        return 0;
    }
    if (!syncSpools()) {
        mp4FailOutput(errno);
        return 0;
    }
    mp4SyncCount++;
    return 1;
}

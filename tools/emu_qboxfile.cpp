// QBox stream files: boxes back to back exactly as the device delivers them.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "emu.h"

size_t FindQBoxes(const UINT8* data, size_t size, std::vector<size_t>* offsets)
{
    size_t pos = 0;
    while (size - pos >= QBOX_HEADER_SIZE) {
        QBox header;
        DecodeQBoxHeader(data + pos, &header);
        if (!IsUsableQBox(&header) || header.ulBoxSize > size - pos)
            return pos;
        offsets->push_back(pos);
        pos += header.ulBoxSize;
    }
    return pos;
}

int LoadQBoxFile(const std::string& path, QBoxClip* clip, std::string* error)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        *error = path + ": " + strerror(errno);
        return -1;
    }
    clip->bytes.clear();
    clip->offsets.clear();
    UINT8 block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0)
        clip->bytes.insert(clip->bytes.end(), block, block + got);
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        *error = path + ": read error";
        return -1;
    }
    size_t end = FindQBoxes(clip->bytes.data(), clip->bytes.size(), &clip->offsets);
    if (end != clip->bytes.size()) {
        *error = path + ": no whole QBox at offset " + std::to_string(end);
        return -1;
    }
    if (clip->offsets.empty()) {
        *error = path + ": no QBox in the file";
        return -1;
    }
    return 0;
}

std::vector<int> VideoNalTypes(const UINT8* payload, size_t size, bool* complete)
{
    std::vector<int> types;
    size_t pos = 0;
    *complete = true;
    while (pos < size) {
        if (size - pos < QBOX_NALU_PREFIX_SIZE + 1) {
            *complete = false;
            break;
        }
        UINT32 length = ReadBE32(payload + pos);
        if (length == 0 || length > size - pos - QBOX_NALU_PREFIX_SIZE) {
            *complete = false;
            break;
        }
        types.push_back(NaluType(payload[pos + QBOX_NALU_PREFIX_SIZE]));
        pos += QBOX_NALU_PREFIX_SIZE + length;
    }
    return types;
}

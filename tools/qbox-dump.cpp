// qbox-dump FILE: one line per box of a QBox stream file, for looking at
// what an encoder (or the emulated one) delivered:
//   <index> size=<bytes> type=<audio|video|caption|N> flags=0x<sample flags> cts=<90 kHz> [nal=<types>]
// Exit status 0 when the whole file is made of usable boxes, 1 otherwise.
#include <cstdio>
#include <string>

#include "emu.h"

namespace {

const char* StreamTypeName(UINT16 type)
{
    switch (type) {
    case QBOX_STREAM_AUDIO: return "audio";
    case QBOX_STREAM_VIDEO: return "video";
    case QBOX_STREAM_CAPTION: return "caption";
    default: return nullptr;
    }
}

void PrintBox(size_t index, const UINT8* box)
{
    QBox header;
    DecodeQBoxHeader(box, &header);
    const char* name = StreamTypeName(header.usSampleStreamType);
    std::string type = name ? name : std::to_string(header.usSampleStreamType);
    printf("%zu size=%u type=%s flags=0x%X cts=%u", index, header.ulBoxSize, type.c_str(),
           header.ulSampleFlags, header.ulSampleCts);
    if (header.usSampleStreamType == QBOX_STREAM_VIDEO) {
        bool complete = false;
        std::vector<int> types =
            VideoNalTypes(box + QBOX_HEADER_SIZE, header.ulBoxSize - QBOX_HEADER_SIZE, &complete);
        printf(" nal=");
        for (size_t i = 0; i < types.size(); ++i)
            printf("%s%d", i ? "," : "", types[i]);
        if (!complete)
            printf("%sbad-length", types.empty() ? "" : ",");
    }
    printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || argv[1][0] == '-') {
        fprintf(stderr, "Usage: qbox-dump FILE\n"
                        "Prints one line per QBox: index, size, stream type, sample flags,\n"
                        "time stamp (90 kHz) and, for video, the NAL unit types.\n");
        return 1;
    }
    QBoxClip clip;
    std::string error;
    int status = LoadQBoxFile(argv[1], &clip, &error);
    // Print the boxes that were found even when the file ends badly.
    for (size_t i = 0; i < clip.offsets.size(); ++i)
        PrintBox(i, clip.bytes.data() + clip.offsets[i]);
    if (status != 0) {
        fprintf(stderr, "qbox-dump: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

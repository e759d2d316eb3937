// qbox-encode: writes real encoder output as a QBox stream file, for tests,
// benchmarks and the emulated device's --source option.
//
//   qbox-encode [-m media] [-a kbps] [-v kbps] [-w W] [-h H] [-f fps] [-i gop]
//               [-b brightness] [-c colour] [--audio-offset TICKS]
//               [--drop-audio-frame N] [--slices N] [--nal-ref-idc N]
//               --duration SECONDS -o FILE
//
// The option letters and defaults are those of the capture program.
// --audio-offset starts the audio stamps TICKS (90 kHz) after the video
// ones, or the video stamps after the audio ones when negative;
// --drop-audio-frame leaves out the N-th audio frame (from 0), stamps kept.
// --slices cuts every picture into N slices (all in the picture's one QBox);
// --nal-ref-idc N (1 to 3) writes N wherever x264 wrote a non-zero
// nal_ref_idc.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qboxgen.h"

static int Usage()
{
    fputs("usage: qbox-encode [-m media] [-a kbps] [-v kbps] [-w W] [-h H] [-f fps] [-i gop]\n"
          "                   [-b brightness] [-c colour] [--audio-offset TICKS]\n"
          "                   [--drop-audio-frame N] [--slices N] [--nal-ref-idc N]\n"
          "                   --duration SECONDS -o FILE\n",
          stderr);
    return 2;
}

int main(int argc, char** argv)
{
    EncoderSettings s;
    double seconds = 0;
    std::string out;
    struct {
        const char* flag;
        unsigned int* field;
    } numeric[] = {{"-m", &s.mediaType}, {"-a", &s.audioKbps}, {"-v", &s.videoKbps},
                   {"-w", &s.width},     {"-h", &s.height},    {"-f", &s.fps},
                   {"-i", &s.gop},       {"-b", &s.brightness}, {"-c", &s.color},
                   {"--slices", &s.slices}, {"--nal-ref-idc", &s.nalRefIdc}};
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc)
            return Usage();
        const char* value = argv[i + 1];
        if (strcmp(argv[i], "--duration") == 0) {
            seconds = atof(value);
        } else if (strcmp(argv[i], "-o") == 0) {
            out = value;
        } else if (strcmp(argv[i], "--audio-offset") == 0) {
            s.audioOffsetTicks = strtol(value, nullptr, 10);
        } else if (strcmp(argv[i], "--drop-audio-frame") == 0) {
            s.dropAudioFrame = strtol(value, nullptr, 10);
        } else {
            bool known = false;
            for (auto& n : numeric) {
                if (strcmp(argv[i], n.flag) == 0) {
                    *n.field = (unsigned int)strtoul(value, nullptr, 10);
                    known = true;
                }
            }
            if (!known)
                return Usage();
        }
    }
    if (out.empty() || seconds <= 0)
        return Usage();
    return EncodeQBoxStream(s, seconds, out) == 0 ? 0 : 1;
}

// A small capture client run under vozirev-emu by the emulator tests. It
// drives the device the way the capture program does and prints what it
// saw, one line per event, for the test to check:
//
//   emu_probe read N [--settings M,A,V,W,H,F,G,C,B] [--restart-after K] [--h264 FILE] [--aac FILE]
//                    [--stop-after SECONDS]
//       VLOpen(0), setVL_parameters with the settings (media format, audio and
//       video kbit/s, width, height, fps, GOP, colour, brightness) when given,
//       VLStartRecord, N calls of VLGetAccessUnit (pass-through):
//         box <i> len=<n> stream=<t> flags=<f> cts=<c> nal=<types>
//         fail <i> stop=<1 when the stop timer had fired>
//       with --restart-after K: VLStop and VLStartRecord after the K-th box;
//       with --pause-after K: VLPause after the K-th box, reads until the
//       device falls silent ("paused-stall"), then VLResume ("resumed").
//   emu_probe raw N [SIZE]
//       open("/dev/Vozirev0", O_RDWR), write the start word, N reads of SIZE (512):
//         chunk <bytes> <first 4 bytes as a big-endian number>
//   emu_probe configure MEDIA AUDIO VIDEO WIDTH HEIGHT FPS GOP COLOR BRIGHTNESS
//       VLOpen(0), setVL_parameters: result <r>
//   emu_probe fork
//       VLOpen(0); a forked child writes start and stop on the inherited
//       handle and exits; then the parent starts and reads 3 boxes:
//         child <status>, then box lines as for read
//   emu_probe paths FILE
//       reads FILE through open, openat and fopen and tries nodes that are
//       not emulated: prints one line per check.
//   emu_probe hold PROGRAM [ARGS...]
//       open("/dev/Vozirev0", O_RDWR) as descriptor 3, then runs PROGRAM on
//       it without the emulator and waits; exits with PROGRAM's status. The
//       build machine's own tools drive the device of a board build this way,
//       since they cannot load the board's emulator library.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "QBox.h"
#include "devicereader.h"
#include "encodersettings.h"
#include "VozirevDll.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnAlarm(int)
{
    g_stop = 1;
}

// A stalled device would hold the reader for ever: a timer asks it to stop.
void ArmStopTimer(double seconds)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnAlarm;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &sa, nullptr);
    pReaderStopRequest = &g_stop;
    unsigned int whole = (unsigned int)seconds;
    ualarm(0, 0);
    if (whole >= 1)
        alarm(whole);
    else
        ualarm((useconds_t)(seconds * 1e6), 0);
}

// AAC-LC, 48 kHz, stereo: the ADTS header of ISO/IEC 13818-7 in front of a raw frame.
void WriteAdts(FILE* out, const UINT8* frame, size_t size)
{
    const unsigned int profile = 1;         // AAC LC (object type 2) - 1
    const unsigned int frequencyIndex = 3;  // 48000 Hz
    const unsigned int channels = 2;
    size_t length = size + 7;
    UINT8 h[7];
    h[0] = 0xFF;
    h[1] = 0xF1;  // MPEG-4, layer 0, no CRC
    h[2] = (UINT8)((profile << 6) | (frequencyIndex << 2) | (channels >> 2));
    h[3] = (UINT8)(((channels & 3) << 6) | ((length >> 11) & 3));
    h[4] = (UINT8)((length >> 3) & 0xFF);
    h[5] = (UINT8)(((length & 7) << 5) | 0x1F);
    h[6] = 0xFC;
    fwrite(h, 1, sizeof h, out);
    fwrite(frame, 1, size, out);
}

// Annex B: every NAL unit behind a start code.
void WriteAnnexB(FILE* out, const UINT8* payload, size_t size)
{
    static const UINT8 kStartCode[4] = {0, 0, 0, 1};
    size_t pos = 0;
    while (size - pos >= 4) {
        UINT32 length = ReadBE32(payload + pos);
        if (length > size - pos - 4)
            break;
        fwrite(kStartCode, 1, 4, out);
        fwrite(payload + pos + 4, 1, length, out);
        pos += 4 + length;
    }
}

std::string NalTypes(const UINT8* payload, size_t size)
{
    std::string types;
    size_t pos = 0;
    while (size - pos >= 5) {
        UINT32 length = ReadBE32(payload + pos);
        if (length == 0 || length > size - pos - 4)
            break;
        types += (types.empty() ? "" : ",") + std::to_string(payload[pos + 4] & 0x1F);
        pos += 4 + length;
    }
    return types.empty() ? "-" : types;
}

// Fills the encoder settings of *input from "M,A,V,W,H,F,G,C,B".
bool ParseSettings(const char* text, stInputParameters* input)
{
    unsigned int* fields[] = {&input->ulMediaFormat, &input->ulAudio_BitRate, &input->ulVideo_BitRate,
                              &input->ulVideo_Frame_Width, &input->ulVideo_Frame_Height,
                              &input->ulVideo_Frame_Rate, &input->ulI_Frame_Interval, &input->ulColor,
                              &input->ulBrightness};
    const char* p = text;
    for (unsigned int* field : fields) {
        char* end = nullptr;
        *field = (unsigned int)strtoul(p, &end, 0);
        if (end == p)
            return false;
        p = *end == ',' ? end + 1 : end;
    }
    input->ucttl = 1;
    return true;
}

int ReadBoxes(int argc, char** argv)
{
    long count = argc > 2 ? atol(argv[2]) : 10;
    long restartAfter = -1;
    double stopAfter = 5;
    FILE* h264 = nullptr;
    FILE* aac = nullptr;
    const char* settings = nullptr;
    long pauseAfter = -1;
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--settings")
            settings = argv[i + 1];
        else if (name == "--pause-after")
            pauseAfter = atol(argv[i + 1]);
        else if (name == "--restart-after")
            restartAfter = atol(argv[i + 1]);
        else if (name == "--stop-after")
            stopAfter = atof(argv[i + 1]);
        else if (name == "--h264")
            h264 = fopen(argv[i + 1], "wb");
        else if (name == "--aac")
            aac = fopen(argv[i + 1], "wb");
    }
    int* dev = VLOpen(0);
    if (!dev) {
        printf("open-failed\n");
        return 3;
    }
    printf("open fd=%d\n", reinterpret_cast<Vozirev*>(dev)->iret);
    if (settings) {
        stInputParameters input;
        memset(&input, 0, sizeof input);
        if (!ParseSettings(settings, &input) || setVL_parameters(&input, dev) != 0) {
            printf("\nsettings-failed\n");
            return 3;
        }
    }
    if (VLStartRecord(dev) != 1) {
        printf("start-failed\n");
        return 3;
    }
    static unsigned char buffer[SAMPLE_BUFFER_SIZE];
    long boxes = 0;
    bool pausing = false;
    for (long i = 0; i < count; ++i) {
        if (pausing && g_stop) {
            // Paused and silent: resume and carry on.
            pausing = false;
            printf("paused-stall\n");
            VLResume(dev);
            printf("resumed\n");
        }
        g_stop = 0;
        ArmStopTimer(pausing ? 0.3 : stopAfter);
        unsigned int type = QBOX_TYPE;
        unsigned int cts = 0;
        int length = VLGetAccessUnit(dev, buffer, type, cts);
        if (length < 0) {
            printf("fail %ld stop=%d\n", i, (int)g_stop);
            if (g_stop && !pausing)
                break;
            continue;
        }
        QBox h;
        DecodeQBoxHeader(buffer, &h);
        const UINT8* payload = buffer + QBOX_HEADER_SIZE;
        size_t payloadSize = h.ulBoxSize - QBOX_HEADER_SIZE;
        printf("box %ld len=%d stream=%u flags=%u cts=%u nal=%s\n", i, length, h.usSampleStreamType,
               h.ulSampleFlags, cts,
               h.usSampleStreamType == QBOX_STREAM_VIDEO ? NalTypes(payload, payloadSize).c_str() : "-");
        if (h264 && h.usSampleStreamType == QBOX_STREAM_VIDEO)
            WriteAnnexB(h264, payload, payloadSize);
        if (aac && h.usSampleStreamType == QBOX_STREAM_AUDIO)
            WriteAdts(aac, payload, payloadSize);
        if (boxes + 1 == pauseAfter) {
            VLPause(dev);
            pausing = true;
        }
        if (++boxes == restartAfter) {
            VLStop(dev);
            VLStartRecord(dev);
            printf("restart\n");
        }
    }
    ualarm(0, 0);
    alarm(0);
    VLStop(dev);
    VLClose(dev);
    if (h264)
        fclose(h264);
    if (aac)
        fclose(aac);
    printf("end\n");
    return 0;
}

int ReadChunks(int argc, char** argv)
{
    long count = argc > 2 ? atol(argv[2]) : 10;
    // Flags and sizes known only at run time: a build with _FORTIFY_SOURCE
    // then goes through the checking entry points of open() and read().
    volatile int flags = O_RDWR;
    size_t want = argc > 3 ? (size_t)atol(argv[3]) : 512;
    int fd = open("/dev/Vozirev0", flags);
    if (fd < 0) {
        printf("open-failed\n");
        return 3;
    }
    UINT32 start = (UINT32)VL_CMD_START_RECORD << VL_COMMAND_SHIFT;
    if (write(fd, &start, sizeof start) != (ssize_t)sizeof start) {
        printf("start-failed\n");
        return 3;
    }
    for (long i = 0; i < count; ++i) {
        UINT8 chunk[512];
        ssize_t got = read(fd, chunk, want);  // want > 512 is a fault of the caller
        printf("chunk %zd %u\n", got, got >= 4 ? ReadBE32(chunk) : 0u);
    }
    close(fd);
    return 0;
}

int Configure(int argc, char** argv)
{
    if (argc < 11) {
        printf("usage\n");
        return 2;
    }
    stInputParameters input;
    memset(&input, 0, sizeof input);
    input.ulMediaFormat = (unsigned int)strtoul(argv[2], nullptr, 0);
    input.ulAudio_BitRate = (unsigned int)strtoul(argv[3], nullptr, 0);
    input.ulVideo_BitRate = (unsigned int)strtoul(argv[4], nullptr, 0);
    input.ulVideo_Frame_Width = (unsigned int)strtoul(argv[5], nullptr, 0);
    input.ulVideo_Frame_Height = (unsigned int)strtoul(argv[6], nullptr, 0);
    input.ulVideo_Frame_Rate = (unsigned int)strtoul(argv[7], nullptr, 0);
    input.ulI_Frame_Interval = (unsigned int)strtoul(argv[8], nullptr, 0);
    input.ulColor = (unsigned int)strtoul(argv[9], nullptr, 0);
    input.ulBrightness = (unsigned int)strtoul(argv[10], nullptr, 0);
    input.ucttl = 1;
    int* dev = VLOpen(0);
    if (!dev) {
        printf("open-failed\n");
        return 3;
    }
    int result = setVL_parameters(&input, dev);
    printf("\nresult %d\n", result);
    VLClose(dev);
    return 0;
}

int ForkedWriter()
{
    int* dev = VLOpen(0);
    if (!dev) {
        printf("open-failed\n");
        return 3;
    }
    pid_t child = fork();
    if (child == 0)
        _exit(VLStartRecord(dev) == 1 && VLStop(dev) == 1 ? 0 : 1);
    int status = -1;
    waitpid(child, &status, 0);
    printf("child %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    VLStartRecord(dev);
    static unsigned char buffer[SAMPLE_BUFFER_SIZE];
    for (int i = 0; i < 3; ++i) {
        ArmStopTimer(2);
        unsigned int type = QBOX_TYPE;
        unsigned int cts = 0;
        int length = VLGetAccessUnit(dev, buffer, type, cts);
        if (length < 0) {
            printf("fail %d stop=%d\n", i, (int)g_stop);
            break;
        }
        QBox h;
        DecodeQBoxHeader(buffer, &h);
        printf("box %d len=%d stream=%u flags=%u cts=%u nal=-\n", i, length, h.usSampleStreamType,
               h.ulSampleFlags, cts);
    }
    VLClose(dev);
    return 0;
}

int Paths(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const char* path = argv[2];
    char text[256] = {0};
    int fd = open(path, O_RDONLY);
    ssize_t got = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    printf("open %s\n", got > 0 ? std::string(text, (size_t)got).c_str() : "failed");
    if (fd >= 0)
        close(fd);

    memset(text, 0, sizeof text);
    fd = openat(AT_FDCWD, path, O_RDONLY);
    got = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    printf("openat %s\n", got > 0 ? std::string(text, (size_t)got).c_str() : "failed");
    if (fd >= 0)
        close(fd);

    memset(text, 0, sizeof text);
    FILE* file = fopen(path, "r");
    size_t n = file ? fread(text, 1, sizeof text - 1, file) : 0;
    printf("fopen %s\n", n > 0 ? std::string(text, n).c_str() : "failed");
    if (file)
        fclose(file);

    // Not device nodes: left to the file system, where they do not exist.
    const char* others[] = {"/dev/Vozirev10", "/dev/Vozirev", "/dev/VozirevX", "/dev/Vozirev0/x"};
    for (const char* other : others) {
        errno = 0;
        fd = open(other, O_RDWR);
        printf("node %s %s\n", other, fd >= 0 ? "opened" : strerror(errno));
        if (fd >= 0)
            close(fd);
    }
    // Each of the ten nodes answers.
    for (int number = 0; number <= 9; ++number) {
        int* dev = VLOpen(number);
        printf("device %d %s\n", number, dev ? "opened" : "failed");
        VLClose(dev);
    }
    return 0;
}

int Hold(int argc, char** argv)
{
    const int kHeldFd = 3;
    if (argc < 3) {
        fprintf(stderr, "usage: emu_probe hold PROGRAM [ARGS...]\n");
        return 2;
    }
    int fd = open("/dev/Vozirev0", O_RDWR);
    if (fd < 0 || (fd != kHeldFd && dup2(fd, kHeldFd) != kHeldFd)) {
        perror("emu_probe hold: /dev/Vozirev0");
        return 1;
    }
    pid_t child = fork();
    if (child < 0) {
        perror("emu_probe hold: fork");
        return 1;
    }
    if (child == 0) {
        unsetenv("LD_PRELOAD");
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "read")
        return ReadBoxes(argc, argv);
    if (mode == "raw")
        return ReadChunks(argc, argv);
    if (mode == "configure")
        return Configure(argc, argv);
    if (mode == "paths")
        return Paths(argc, argv);
    if (mode == "fork")
        return ForkedWriter();
    if (mode == "hold")
        return Hold(argc, argv);
    fprintf(stderr, "usage: emu_probe read|raw|configure|paths|fork|hold ...\n");
    return 2;
}

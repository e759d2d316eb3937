// The emulated encoder device: a stand-in for the capture board's encoder
// node, preloaded into an unmodified program. Shared by the preload library
// (libvozirev-emu.so), its launcher (vozirev-emu) and qbox-dump.
#ifndef VOZIREV_EMU_H
#define VOZIREV_EMU_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QBox.h"
#include "Types.h"
#include "VozirevDll.h"
#include "qboxgen.h"

// ---- emulator options -------------------------------------------------------

// The launcher hands its options to the preloaded library in this
// environment variable, each option argument separated by EMU_OPTION_SEPARATOR.
#define EMU_OPTIONS_ENV "VOZIREV_EMU_OPTIONS"
const char EMU_OPTION_SEPARATOR = '\x1f';  // ASCII unit separator

enum EmuPace { EMU_PACE_REALTIME, EMU_PACE_MAX };
enum EmuEnd { EMU_END_STALL, EMU_END_ERROR };

const double EMU_DEFAULT_SEGMENT_SECONDS = 10.0;

// Every fault is off at 0; N > 0 injects it at every N-th box of a run (the
// first box of a run is box 0 and is never faulted).
struct EmuFaults {
    unsigned int garbageEvery = 0;       // a garbage chunk before the box
    unsigned int zeroReadEvery = 0;      // a zero-length read before the box
    unsigned int zeroReadInBoxEvery = 0; // a zero-length read after the box's first chunk
    unsigned int overrunEvery = 0;       // the box's last chunk runs past its end
    unsigned int truncateEvery = 0;      // the box's last chunk never comes
    unsigned int oversizeEvery = 0;      // an extra box too large for the reader's buffer
    unsigned int readErrorEvery = 0;     // read fails with EIO after the box's first chunk
    bool failCode[256] = {};             // command codes whose write fails
};

struct EmuOptions {
    std::string logPath;     // command log; empty: no log
    std::string cacheDir;    // encoded segments, keyed by the encoder settings
    std::string sourcePath;  // replay this QBox stream instead of encoding
    std::string recordPath;  // save the delivered boxes here
    double segmentSeconds = EMU_DEFAULT_SEGMENT_SECONDS;
    EmuPace pace = EMU_PACE_REALTIME;
    double durationSeconds = 0;  // 0: no limit
    unsigned long samples = 0;   // 0: no limit
    EmuEnd end = EMU_END_STALL;
    EmuFaults faults;
};

// Parses emulator options ("--name value" or "--name=value"). Returns 0, or
// -1 with the reason in *error. "--help" is not an option here (the launcher
// handles it).
int EmuParseOptions(const std::vector<std::string>& args, EmuOptions* options, std::string* error);

// The cache directory used when --cache is not given: $VOZIREV_EMU_CACHE,
// else ${XDG_CACHE_HOME:-$HOME/.cache}/vozirev-emu.
std::string EmuDefaultCacheDir();

// The usage text of vozirev-emu.
const char* EmuHelpText();

// ---- QBox stream files ----------------------------------------------------

// A QBox stream held in memory: the bytes and where each box begins.
struct QBoxClip {
    std::vector<UINT8> bytes;
    std::vector<size_t> offsets;
};

// Finds the boxes laid back to back in data[0..size). Returns the offset
// where the walk stopped: size when every byte belongs to a usable box,
// otherwise the offset of the first unusable header or of a box that runs
// past the end.
size_t FindQBoxes(const UINT8* data, size_t size, std::vector<size_t>* offsets);

// Reads a whole QBox stream file. Returns 0, or -1 with the reason in *error.
int LoadQBoxFile(const std::string& path, QBoxClip* clip, std::string* error);

// NAL unit types of a video payload walked by its 4-byte length prefixes;
// *complete is false when a prefix claims more than the payload holds.
std::vector<int> VideoNalTypes(const UINT8* payload, size_t size, bool* complete);

// ---- content of an encoding run -------------------------------------------

// The encoder settings the device holds (defaults before any command): what
// the content is encoded with, and the closed-caption switch.
struct EmuEncoderState : EncoderSettings {
    unsigned int closedCaption = 0;
};

// Fills *clip with the content of a run: the --source file, or the segment
// encoded for these settings (taken from the cache, encoded into it when
// missing). Returns 0, or -1 with the reason on stderr.
int EmuLoadRunContent(const EmuOptions& options, const EmuEncoderState& state, QBoxClip* clip);

// The cache file name of the segment for these settings.
std::string EmuCacheFileName(const EmuEncoderState& state, double segmentSeconds);

// One stream of a clip replayed in a loop: its boxes in order and how far
// its time stamps move on per loop (last - first + one sample duration).
struct EmuTrack {
    UINT16 streamType = 0;
    std::vector<size_t> boxes;
    std::vector<int64_t> rel;  // time stamp of each box relative to the clip's first box
    int64_t span = 0;
    size_t next = 0;
    int64_t loop = 0;
};

// The endless box sequence of a run: the clip's first box once (when it can
// open a run: flag bit 0 and at most 512 bytes), then the remaining boxes
// looped, each stream with continuous time stamps, merged in time-stamp order.
struct EmuContentLoop {
    const QBoxClip* clip = nullptr;
    UINT32 baseCts = 0;  // time stamp of the clip's first box
    bool firstPending = false;
    std::vector<EmuTrack> tracks;
};

void EmuStartLoop(EmuContentLoop* loop, const QBoxClip* clip);
// The next box of the sequence: its index in the clip and its time stamp
// relative to the clip's first box (the box goes out stamped baseCts + rel).
// Returns false when the clip has nothing to loop.
bool EmuNextBox(EmuContentLoop* loop, size_t* index, int64_t* rel);

// ---- the device (preload library) -------------------------------------------


// What the write interposer hands the device thread for every write to the
// node: the word, how many bytes the program wrote, whether fault injection
// failed the write, and when it was written (CLOCK_MONOTONIC).
struct EmuCommandMessage {
    UINT32 word;
    UINT32 size;
    UINT32 failed;
    UINT32 reserved;
    UINT64 writtenNs;
};

// Per open device node: what the interposers share with the device thread.
// Lives in a fixed table so that the interposers never allocate or lock.
struct EmuLink {
    std::atomic<int> inUse{0};        // held from open until the device thread ends
    std::atomic<int> programFd{-1};   // the program's end; -1 once it is closed
    std::atomic<int> failNextEmptyRead{0};  // the next zero-length read fails with EIO
    std::atomic<int> endedWithError{0};     // content ended (--end error): reads at the end fail with EIO
    std::atomic<int> deviceFd{-1};          // the device thread's end
    std::atomic<int> handlingCommands{0};   // the device thread is reading commands
    std::atomic<unsigned> stopsSent{0};     // stop words written by the program
    std::atomic<unsigned> stopsDone{0};     // stop words the device has carried out
};
const int EMU_MAX_LINKS = 16;
extern EmuLink g_emuLinks[EMU_MAX_LINKS];

// The link of a descriptor the program holds, or null for any other descriptor.
EmuLink* EmuFindLink(int fd);

// Called by the open interposers for "/dev/VozirevN": creates the socket
// pair and the device thread, returns the program's descriptor (or -1 with
// errno set).
int EmuOpenDevice(int number, int flags);

// In a child forked by the program: the device threads stayed in the
// parent, so the child's copies of the links are dropped (its inherited
// descriptors reach the devices as plain sockets).
void EmuForgetDevicesAfterFork();

// At process exit: gives every device thread a moment to take in (and
// log) the commands already written, which the program may not have waited
// for.
void EmuFlushDevices();

// The emulator's clock: nanoseconds of CLOCK_MONOTONIC, and when the
// library was loaded.
UINT64 EmuNowNs();
extern UINT64 g_emuStartNs;

// The launcher's start (EmuNowNs) is handed down in this environment
// variable: the command log counts from it in every process it runs.
#define EMU_START_ENV "VOZIREV_EMU_START_NS"

// Options of this process, parsed from EMU_OPTIONS_ENV on first use.
const EmuOptions& EmuProcessOptions();

#endif

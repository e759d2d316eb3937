// Options of the emulated encoder device, shared by the launcher (which
// checks them before starting the program) and the preloaded library (which
// reads them back from the environment).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <time.h>

#include "emu.h"

namespace {

bool ParseUnsigned(const std::string& text, unsigned long* value)
{
    if (text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool ParseSeconds(const std::string& text, double* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v > 0) || v > 1e6)
        return false;
    *value = v;
    return true;
}

// The fault options: name and the field it sets.
struct FaultOption {
    const char* name;
    unsigned int EmuFaults::*field;
};

const FaultOption kFaultOptions[] = {
    {"--garbage-every", &EmuFaults::garbageEvery},
    {"--zero-read-every", &EmuFaults::zeroReadEvery},
    {"--zero-read-in-box-every", &EmuFaults::zeroReadInBoxEvery},
    {"--overrun-every", &EmuFaults::overrunEvery},
    {"--truncate-every", &EmuFaults::truncateEvery},
    {"--oversize-every", &EmuFaults::oversizeEvery},
    {"--read-error-every", &EmuFaults::readErrorEvery},
};

const char* const kValueOptions[] = {
    "--log", "--cache", "--source", "--record", "--segment", "--pace",
    "--duration", "--samples", "--end", "--fail-command",
};

bool TakesValue(const std::string& name)
{
    for (const char* option : kValueOptions)
        if (name == option)
            return true;
    for (const FaultOption& fault : kFaultOptions)
        if (name == fault.name)
            return true;
    return false;
}

// Applies one option with its value. Returns false with *error set.
bool ApplyOption(const std::string& name, const std::string& value, EmuOptions* o, std::string* error)
{
    unsigned long number = 0;
    if (name == "--log") {
        o->logPath = value;
    } else if (name == "--cache") {
        o->cacheDir = value;
    } else if (name == "--source") {
        o->sourcePath = value;
    } else if (name == "--record") {
        o->recordPath = value;
    } else if (name == "--segment") {
        if (!ParseSeconds(value, &o->segmentSeconds)) {
            *error = "--segment needs a positive number of seconds, not '" + value + "'";
            return false;
        }
    } else if (name == "--duration") {
        if (!ParseSeconds(value, &o->durationSeconds)) {
            *error = "--duration needs a positive number of seconds, not '" + value + "'";
            return false;
        }
    } else if (name == "--pace") {
        if (value == "realtime") {
            o->pace = EMU_PACE_REALTIME;
        } else if (value == "max") {
            o->pace = EMU_PACE_MAX;
        } else {
            *error = "--pace is 'realtime' or 'max', not '" + value + "'";
            return false;
        }
    } else if (name == "--end") {
        if (value == "stall") {
            o->end = EMU_END_STALL;
        } else if (value == "error") {
            o->end = EMU_END_ERROR;
        } else {
            *error = "--end is 'stall' or 'error', not '" + value + "'";
            return false;
        }
    } else if (name == "--samples") {
        if (!ParseUnsigned(value, &number) || number == 0) {
            *error = "--samples needs a positive count, not '" + value + "'";
            return false;
        }
        o->samples = number;
    } else if (name == "--fail-command") {
        if (!ParseUnsigned(value, &number) || number > 0xFF) {
            *error = "--fail-command needs a command code 0 to 0xFF, not '" + value + "'";
            return false;
        }
        o->faults.failCode[number] = true;
    } else {
        for (const FaultOption& fault : kFaultOptions) {
            if (name != fault.name)
                continue;
            if (!ParseUnsigned(value, &number) || number == 0 || number > 0xFFFFFFFFul) {
                *error = name + " needs a positive box count, not '" + value + "'";
                return false;
            }
            o->faults.*(fault.field) = (unsigned int)number;
            return true;
        }
        *error = "unknown option '" + name + "'";
        return false;
    }
    return true;
}

}  // namespace

int EmuParseOptions(const std::vector<std::string>& args, EmuOptions* options, std::string* error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
        } else if (TakesValue(name)) {
            if (i + 1 >= args.size()) {
                *error = name + " needs a value";
                return -1;
            }
            value = args[++i];
        }
        if (!TakesValue(name)) {
            *error = "unknown option '" + name + "'";
            return -1;
        }
        if (!ApplyOption(name, value, options, error))
            return -1;
    }
    return 0;
}

UINT64 EmuNowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (UINT64)ts.tv_sec * 1000000000ull + (UINT64)ts.tv_nsec;
}

std::string EmuDefaultCacheDir()
{
    const char* cache = getenv("VOZIREV_EMU_CACHE");
    if (cache && *cache)
        return cache;
    const char* xdg = getenv("XDG_CACHE_HOME");
    if (xdg && *xdg)
        return std::string(xdg) + "/vozirev-emu";
    const char* home = getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.cache/vozirev-emu";
}

const char* EmuHelpText()
{
    return
        "Usage: vozirev-emu [OPTIONS] -- PROGRAM [ARGS...]\n"
        "\n"
        "Runs PROGRAM with an emulated Vozirev encoder behind /dev/Vozirev0 to\n"
        "/dev/Vozirev9. Every other path is left alone. The exit status is the\n"
        "program's.\n"
        "\n"
        "Content:\n"
        "  --source FILE        replay this QBox stream file, looped with continuous\n"
        "                       time stamps, whatever the encoder settings\n"
        "  --cache DIR          where encoded segments are kept, one per set of\n"
        "                       encoder settings (default $VOZIREV_EMU_CACHE, else\n"
        "                       ${XDG_CACHE_HOME:-$HOME/.cache}/vozirev-emu)\n"
        "  --segment SECONDS    length of a newly encoded segment (default 10)\n"
        "  --pace realtime|max  deliver each box when the wall clock reaches its time\n"
        "                       stamp (realtime, default) or as fast as the program\n"
        "                       reads (max)\n"
        "  --duration SECONDS   deliver this much content per run, then end\n"
        "  --samples N          deliver N boxes per run (the first box included), then end\n"
        "  --end stall|error    at the end, deliver nothing more (stall, default) or\n"
        "                       fail every read with EIO once what was queued has\n"
        "                       been read (error)\n"
        "\n"
        "Records:\n"
        "  --log FILE           log every command word, one line each:\n"
        "                       <seconds> 0x<word> <name> <value>[ FAILED]\n"
        "  --record FILE        save every box delivered whole and intact, in order,\n"
        "                       as a QBox stream file\n"
        "\n"
        "Faults (N counts the boxes of a run; box 0, the first, is never faulted):\n"
        "  --garbage-every N           a 512-byte garbage chunk before every N-th box\n"
        "  --zero-read-every N         a zero-length read before every N-th box\n"
        "  --zero-read-in-box-every N  a zero-length read after the first chunk of\n"
        "                              every N-th box (or of the next box of two or\n"
        "                              more chunks)\n"
        "  --overrun-every N           the last chunk of every N-th box (or of the\n"
        "                              next box not a multiple of 512 bytes long) runs\n"
        "                              past the box's end, filled up to 512 bytes\n"
        "  --truncate-every N          the last chunk of every N-th box is not sent (a\n"
        "                              one-chunk box loses its second half)\n"
        "  --oversize-every N          an extra 420000-byte video box, larger than the\n"
        "                              program's 400000-byte buffer, before every N-th box\n"
        "  --read-error-every N        the program's read fails with EIO after the first\n"
        "                              chunk of every N-th box (or of the next box of\n"
        "                              two or more chunks)\n"
        "  --fail-command CODE         the write of every command word with this code\n"
        "                              (bits 24-31, e.g. 0x29) fails with EIO; the log\n"
        "                              marks it FAILED (may be repeated)\n"
        "\n"
        "  --help               this text\n";
}

// vozirev-emu [OPTIONS] -- PROGRAM [ARGS...]
// Runs an unmodified program against the emulated encoder device: checks
// the options, hands them to the preload library through the environment,
// puts the library into LD_PRELOAD and replaces itself with the program.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "emu.h"

namespace {

const char kLibraryName[] = "libvozirev-emu.so";
const int kUsageStatus = 2;
const int kExecFailedStatus = 127;

// Options naming files are passed on as absolute paths, so that they keep
// their meaning when the program changes its directory.
bool NamesAFile(const std::string& name)
{
    return name == "--log" || name == "--cache" || name == "--source" || name == "--record";
}

std::string Absolute(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

// Rewrites the options as "--name=value" with absolute paths.
std::vector<std::string> Normalise(const std::vector<std::string>& args)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
        out.push_back(name + "=" + (NamesAFile(name) ? Absolute(value) : value));
    }
    return out;
}

// The library lies next to the launcher.
std::string LibraryPath()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return kLibraryName;
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    return dir + kLibraryName;
}

// The sanitizer build preloads into sanitized programs: their runtime must
// be the first library of the process, ahead of the emulator.
std::string PreloadList(const std::string& library)
{
    std::string list;
#ifdef VOZIREV_ASAN_RUNTIME
    list = std::string(VOZIREV_ASAN_RUNTIME) + ":";
#endif
    list += library;
    const char* existing = getenv("LD_PRELOAD");
    if (existing && *existing)
        list += std::string(":") + existing;
    return list;
}

}  // namespace

int main(int argc, char** argv)
{
    UINT64 startNs = EmuNowNs();
    std::vector<std::string> args;
    int programIndex = -1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            programIndex = i + 1;
            break;
        }
        if (strcmp(argv[i], "--help") == 0) {
            fputs(EmuHelpText(), stdout);
            return 0;
        }
        args.push_back(argv[i]);
    }
    if (programIndex < 0 || programIndex >= argc) {
        fprintf(stderr, "Usage: vozirev-emu [OPTIONS] -- PROGRAM [ARGS...] (see vozirev-emu --help)\n");
        return kUsageStatus;
    }
    EmuOptions options;
    std::string error;
    if (EmuParseOptions(args, &options, &error) != 0) {
        fprintf(stderr, "vozirev-emu: %s (see vozirev-emu --help)\n", error.c_str());
        return kUsageStatus;
    }

    // The log and the record start empty here, once per launch; every
    // process of the program appends to them.
    for (const std::string* path : {&options.logPath, &options.recordPath}) {
        if (path->empty())
            continue;
        FILE* file = fopen(path->c_str(), "w");
        if (!file) {
            fprintf(stderr, "vozirev-emu: cannot write %s: %s\n", path->c_str(), strerror(errno));
            return kUsageStatus;
        }
        fclose(file);
    }

    std::vector<std::string> normal = Normalise(args);
    if (options.cacheDir.empty())
        normal.push_back("--cache=" + Absolute(EmuDefaultCacheDir()));
    std::string joined;
    for (size_t i = 0; i < normal.size(); ++i) {
        if (i)
            joined += EMU_OPTION_SEPARATOR;
        joined += normal[i];
    }
    std::string library = LibraryPath();
    if (access(library.c_str(), R_OK) != 0) {
        fprintf(stderr, "vozirev-emu: %s: %s\n", library.c_str(), strerror(errno));
        return kExecFailedStatus;
    }
    setenv(EMU_OPTIONS_ENV, joined.c_str(), 1);
    setenv(EMU_START_ENV, std::to_string(startNs).c_str(), 1);
    setenv("LD_PRELOAD", PreloadList(library).c_str(), 1);

    execvp(argv[programIndex], argv + programIndex);
    fprintf(stderr, "vozirev-emu: cannot run %s: %s\n", argv[programIndex], strerror(errno));
    return kExecFailedStatus;
}

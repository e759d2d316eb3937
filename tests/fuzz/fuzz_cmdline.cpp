// The option parser (get_cmdline_parameters) over arbitrary argument lists,
// with the start-up checks it ends with.
//
// Input: the arguments after the program name, each ended by a NUL byte (a
// last argument without one ends with the input). A "-z" whose value is not
// one of the two configuration files of the scratch directory ("a", "b") is
// left out: the parser would open whatever path it names.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "captureparams.h"
#include "fuzz_common.h"

namespace {

const size_t MAX_ARGUMENTS = 64;
const unsigned int PORT_LIMIT = 0xFFFF;
const unsigned int COMMAND_PARAMETER_LIMIT = 0xFFFFFF;

void WriteFile(const char* name, const char* text)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, text, strlen(text)) == (ssize_t)strlen(text));
    close(fd);
}

bool SafeConfigName(const std::string& value)
{
    return value == "a" || value == "b";
}

bool UsablePort(unsigned int port)
{
    return port >= 1 && port <= PORT_LIMIT;
}

// What an accepted parameter set promises the capture run: the streams
// it asks for have a destination and ports they can use, and the I-frame
// interval fits a command word.
void CheckAccepted(const stInputParameters& input)
{
    bool audio = input.ulMediaFormat != MEDIA_FORMAT_VIDEO;
    bool video = input.ulMediaFormat != MEDIA_FORMAT_AUDIO;
    FUZZ_CHECK(!video || input.ulI_Frame_Interval <= COMMAND_PARAMETER_LIMIT);
    bool elementary = input.ulStreaming == STREAM_RTP_ES;
    bool transport = input.ulStreaming == STREAM_RTP_TS;
    if (!elementary && !transport)
        return;
    std::string address = input.IP_Addr;
    if (!address.empty() && address.back() == '\r')
        address.pop_back();
    in_addr parsed;
    FUZZ_CHECK(inet_pton(AF_INET, address.c_str(), &parsed) == 1);
    FUZZ_CHECK(!(transport || video) || UsablePort(input.Video_Port));
    FUZZ_CHECK(!(elementary && audio) || UsablePort(input.Audio_Port));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchDirectory("cmdline");
    WriteFile("a", "device 1 media 2 abitrate 64 vbitrate 1000 width 352 height 288 rate 25 gop 12\n"
                   "color 10 bright 20 save 2 file \"out name\" stream 1 ip 239.1.1.1 ttl 3 vport 9000 aport 9002\n");
    WriteFile("b", "# comment only\nx=\"unterminated");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args;
    args.push_back("vozirev");
    size_t start = 0;
    for (size_t i = 0; i <= size && args.size() < MAX_ARGUMENTS; i++) {
        if (i == size || data[i] == 0) {
            if (i == size && i == start)
                break;
            args.push_back(std::string((const char*)data + start, i - start));
            start = i + 1;
        }
    }
    for (size_t i = 1; i + 1 < args.size(); i++) {
        if (args[i].size() >= 2 && args[i][0] == '-' && args[i][1] == 'z' && !SafeConfigName(args[i + 1]))
            return 0;
    }
    // Each argument in a heap block of its own size.
    std::vector<std::vector<char>> storage;
    std::vector<char*> argv;
    for (const std::string& a : args) {
        storage.emplace_back(a.begin(), a.end());
        storage.back().push_back('\0');
    }
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    stInputParameters input;
    int result = get_cmdline_parameters(&input, (int)args.size(), argv.data());
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(memchr(input.sOutput_Filename, 0, sizeof(input.sOutput_Filename)) != nullptr);
    FUZZ_CHECK(memchr(input.IP_Addr, 0, sizeof(input.IP_Addr)) != nullptr);
    FUZZ_CHECK(memchr(input.sSdp_File, 0, sizeof(input.sSdp_File)) != nullptr);
    if (result == 0)
        CheckAccepted(input);
    skip_disk_check = 1;  // -q changes a module flag; every run starts alike
    return 0;
}

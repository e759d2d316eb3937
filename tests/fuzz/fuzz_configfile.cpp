// The configuration-file parser (Configure) over arbitrary file contents.
// Each input is written to one file in a tmpfs scratch directory and parsed
// into a record that starts from the command-line defaults.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "captureparams.h"
#include "configfile.h"
#include "fuzz_common.h"

namespace {

char configName[] = "fuzz.cfg";

void WriteConfigFile(const uint8_t* data, size_t size)
{
    int fd = open(configName, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data, size) == (ssize_t)size);
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchDirectory("config");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    WriteConfigFile(data, size);
    stInputParameters input;
    char* argv[] = {(char*)"vozirev", nullptr};
    FUZZ_CHECK(get_cmdline_parameters(&input, 1, argv) == 0);
    stInputParameters before = input;

    int result = Configure(configName, &input);
    FUZZ_CHECK(result == 1 || result == -1);
    // The text fields stay terminated inside their arrays.
    FUZZ_CHECK(memchr(input.sOutput_Filename, 0, sizeof(input.sOutput_Filename)) != nullptr);
    FUZZ_CHECK(memchr(input.IP_Addr, 0, sizeof(input.IP_Addr)) != nullptr);
    FUZZ_CHECK(memchr(input.sSdp_File, 0, sizeof(input.sSdp_File)) != nullptr);
    if (result == -1) {
        // A refused file stores nothing.
        FUZZ_CHECK(memcmp(&before, &input, sizeof(input)) == 0);
    }
    return 0;
}

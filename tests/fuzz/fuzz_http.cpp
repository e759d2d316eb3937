// The HTTP request reader (HttpReadRequest) and the Range reader
// (HttpRange) over what a stranger may send. Input: 8 bytes, big-endian,
// the size of the representation a Range applies to, then the bytes of a
// connection, read as the server reads them: request after request until
// one is incomplete or refused.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byteorder.h"
#include "fuzz_common.h"
#include "httpserver.h"

namespace {

// A path the server acts on never leaves the tree it names.
void CheckPath(const char* szPath)
{
    FUZZ_CHECK(szPath[0] == '/');
    FUZZ_CHECK(strstr(szPath, "/../") == nullptr && strstr(szPath, "/./") == nullptr && strchr(szPath, '\\') == nullptr);
    size_t n = strlen(szPath);
    FUZZ_CHECK(!(n >= 3 && strcmp(szPath + n - 3, "/..") == 0) && !(n >= 2 && strcmp(szPath + n - 2, "/.") == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8 || size - 8 > TEXT_BUFFER_SIZE)
        return 0;
    UINT64 representation = ReadBE64(data) >> 8;  // up to 64 PiB
    const char* buffer = reinterpret_cast<const char*>(data + 8);
    UINT32 left = (UINT32)(size - 8);
    static tHttpRequest request;
    while (left > 0) {
        int result = HttpReadRequest(buffer, left, &request);
        if (result != TEXT_COMPLETE) {
            FUZZ_CHECK(result == TEXT_INCOMPLETE || request.ulStatus >= 400);
            break;
        }
        FUZZ_CHECK(request.stMessage.ulMessageSize > 0 && request.stMessage.ulMessageSize <= left);
        if (request.ulStatus == 0)
            CheckPath(request.szPath);
        UINT64 first = 0, last = 0;
        if (HttpRange(&request.stMessage, representation, "\"tag\"", &first, &last) == 1)
            FUZZ_CHECK(first <= last && last < representation);
        buffer += request.stMessage.ulMessageSize;
        left -= request.stMessage.ulMessageSize;
    }
    return 0;
}

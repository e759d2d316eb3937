// DecParSet (picture size from an H.264 sequence parameter set) over
// arbitrary units, of any length the video route can hand it (a unit of a
// sample up to the reader's 400000-byte buffer).
//
// Input: the unit, from its NAL header byte on.
#include <cstddef>
#include <cstdint>

#include "QBoxParser.h"
#include "fuzz_common.h"

namespace {
const unsigned int MACROBLOCK = 16;
// Both size fields are kept in 8 bits by the decoder.
const unsigned int LARGEST_SIZE = 256 * MACROBLOCK;
const unsigned int UNCHANGED = 0xDEADBEEF;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBytes unit(data, data + size);
    unsigned int picture[2] = {UNCHANGED, UNCHANGED};
    unsigned int result = DecParSet(unit.empty() ? nullptr : unit.data(), (unsigned int)unit.size(), picture);
    FUZZ_CHECK(result == 1);
    // Either both fields were decoded or neither was.
    FUZZ_CHECK((picture[0] == UNCHANGED) == (picture[1] == UNCHANGED));
    if (picture[0] != UNCHANGED) {
        for (unsigned int side : picture)
            FUZZ_CHECK(side % MACROBLOCK == 0 && side >= MACROBLOCK && side <= LARGEST_SIZE);
    }
    return 0;
}

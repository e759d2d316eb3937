// The SPS decoder (DecodeSps, and DecParSet through it) over arbitrary
// units, of any length the video route can hand it (a unit of a sample up
// to the reader's 400000-byte buffer).
//
// Input: the unit, from its NAL header byte on.
#include <cstddef>
#include <cstdint>

#include "QBoxParser.h"
#include "fuzz_common.h"

namespace {
const unsigned int MACROBLOCK = 16;
// The largest picture a sample entry takes, a side.
const unsigned int LARGEST_SIZE = 1024 * MACROBLOCK;
const unsigned int UNCHANGED = 0xDEADBEEF;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBytes unit(data, data + size);
    unsigned int picture[2] = {UNCHANGED, UNCHANGED};
    unsigned int result = DecParSet(unit.empty() ? nullptr : unit.data(), (unsigned int)unit.size(), picture);
    FUZZ_CHECK(result == 1);
    tSpsInfo info;
    int decoded = DecodeSps(unit.empty() ? nullptr : unit.data(), (UINT32)unit.size(), &info);
    // DecParSet gives what the decoder gives, or leaves both sides alone.
    if (decoded != 1) {
        FUZZ_CHECK(picture[0] == UNCHANGED && picture[1] == UNCHANGED);
        return 0;
    }
    FUZZ_CHECK(picture[0] == info.ulWidth && picture[1] == info.ulHeight);
    // Whole macroblocks coded, a cropped picture inside them.
    const unsigned int coded[2] = {info.ulCodedWidth, info.ulCodedHeight};
    for (int i = 0; i < 2; i++) {
        FUZZ_CHECK(coded[i] % MACROBLOCK == 0 && coded[i] >= MACROBLOCK && coded[i] <= LARGEST_SIZE);
        FUZZ_CHECK(picture[i] >= 1 && picture[i] <= coded[i]);
    }
    return 0;
}

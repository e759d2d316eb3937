// The big-endian field helpers at every alignment. Box, packet and sample
// headers put 16-, 24- and 32-bit fields at any byte offset; on the 32-bit
// ARM board a field read through a cast pointer at an odd address is not
// safe, and the sanitizer build reports any misaligned access here.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "byteorder.h"

namespace {

// Offsets 0 to 7 of a buffer that itself starts one byte past an aligned
// address, so that every field lands at odd and even addresses alike.
const size_t kOffsets = 8;

struct Field {
    unsigned width;  // bytes
    uint32_t value;
};

const Field kFields[] = {{2, 0xA1B2u}, {3, 0xC1D2E3u}, {4, 0xF1E2D3C4u}};

uint32_t ReadField(const uint8_t* p, unsigned width)
{
    return width == 2 ? ReadBE16(p) : width == 3 ? ReadBE24(p) : ReadBE32(p);
}

uint8_t* WriteField(uint8_t* p, unsigned width, uint32_t value)
{
    return width == 2 ? WriteBE16(p, (uint16_t)value) : width == 3 ? WriteBE24(p, value) : WriteBE32(p, value);
}

TEST(ByteOrder, FieldsAtEveryOffsetAreMostSignificantByteFirst)
{
    for (const Field& field : kFields) {
        for (size_t offset = 0; offset < kOffsets; offset++) {
            std::vector<uint8_t> storage(kOffsets + 8, 0x5A);
            uint8_t* buffer = storage.data() + 1;
            uint8_t* end = WriteField(buffer + offset, field.width, field.value);
            ASSERT_EQ(buffer + offset + field.width, end) << field.width << " bytes at " << offset;
            for (unsigned i = 0; i < field.width; i++) {
                EXPECT_EQ((uint8_t)(field.value >> (8 * (field.width - 1 - i))), buffer[offset + i])
                    << "byte " << i << " of a " << field.width << "-byte field at " << offset;
            }
            // The bytes on either side of the field are untouched.
            EXPECT_EQ(0x5A, storage[offset]);
            EXPECT_EQ(0x5A, storage[1 + offset + field.width]);
            EXPECT_EQ(field.value, ReadField(buffer + offset, field.width)) << field.width << " bytes at " << offset;
        }
    }
}

}  // namespace

// ADTS header writer over a small MSB-first bit writer.
#include "WriteAACHeader.h"

#include <cstring>

namespace {

const UINT32 ADTS_SYNCWORD = 0xFFFF;        // the low 12 bits are written: 0xFFF
const UINT32 ADTS_ID_MPEG4 = 0;
const UINT32 ADTS_PROFILE_AAC_LC = 1;       // profile_ObjectType = object type - 1
const UINT32 ADTS_BUFFER_FULLNESS_VBR = 0x7FF;

// Appends the low numBit bits of data into the current byte; the caller
// guarantees that they fit in what is left of that byte.
int WriteByte(BitStream* bitStream, unsigned long data, int numBit)
{
    int index = (bitStream->currentBit / 8) % bitStream->size;
    int used = bitStream->currentBit % 8;
    if (used == 0) {
        bitStream->data[index] = 0;  // a new byte starts clean
    }
    unsigned long mask = (1UL << numBit) - 1;
    bitStream->data[index] |= (UINT8)((data & mask) << (8 - used - numBit));
    bitStream->currentBit += numBit;
    bitStream->numBit = bitStream->currentBit;
    return 0;
}

}  // namespace

int PutBit(BitStream* bitStream, unsigned long data, int numBit)
{
    if (numBit == 0) {
        return 0;
    }
    int room = 8 - (bitStream->currentBit % 8);
    int done = 0;
    while (done < numBit) {
        int chunk = (numBit - done < room) ? numBit - done : room;
        if (WriteByte(bitStream, data >> (numBit - done - chunk), chunk) != 0) {
            return 1;
        }
        done += chunk;
        room = 8;
    }
    return 0;
}

UINT32 WriteADTSHeader(UINT8* buffer, UINT32 ulRawDataSize, UINT32 ulChannelIndx, UINT32 ulSampleRateIndx)
{
    memset(buffer, 0, ADTS_HEADER_SIZE);

    // The writer state lives on the stack: the audio path allocates nothing
    // per frame besides its packet buffer.
    BitStream bs;
    bs.data = buffer;
    bs.numBit = 0;
    bs.size = ADTS_BITSTREAM_SIZE;
    bs.currentBit = 0;
    bs.numByte = 0;

    // adts_fixed_header
    PutBit(&bs, ADTS_SYNCWORD, 12);
    PutBit(&bs, ADTS_ID_MPEG4, 1);
    PutBit(&bs, 0, 2);  // layer
    PutBit(&bs, 1, 1);  // protection_absent: no CRC follows
    PutBit(&bs, ADTS_PROFILE_AAC_LC, 2);
    PutBit(&bs, ulSampleRateIndx, 4);
    PutBit(&bs, 0, 1);  // private_bit
    PutBit(&bs, ulChannelIndx, 3);
    PutBit(&bs, 0, 1);  // original_copy
    PutBit(&bs, 0, 1);  // home
    // adts_variable_header
    PutBit(&bs, 0, 1);  // copyright_identification_bit
    PutBit(&bs, 0, 1);  // copyright_identification_start
    PutBit(&bs, ulRawDataSize, 13);  // aac_frame_length, header included
    PutBit(&bs, ADTS_BUFFER_FULLNESS_VBR, 11);
    PutBit(&bs, 0, 2);  // number_of_raw_data_blocks_in_frame: one block

    return (UINT32)bs.numBit;
}

// QBox header decoding, NAL unit splitting and picture-size decoding.
#include "QBoxParser.h"

#include <cstring>

QBoxParser::QBoxParser()
    : m_bIsFirstNALU(1), m_pVideoQBoxData(nullptr), m_ulNextNALUIndex(0), m_ulRemQboxSize(0)
{
}

QBoxParser::~QBoxParser()
{
}

int QBoxParser::Reset()
{
    m_ulRemQboxSize = 0;
    m_bIsFirstNALU = 1;
    m_ulNextNALUIndex = 0;
    return 1;
}

void QBoxParser::ShowError(char* Message)
{
    (void)Message;
}

int QBoxParser::GetQBoxHeader(UINT8* pusReadData, QBox* pQBoxHeader)
{
    if (pusReadData == nullptr) {
        char message[] = "Null pointer given for QBox!";
        ShowError(message);
        return 0;
    }
    DecodeQBoxHeader(pusReadData, pQBoxHeader);
    return IsUsableQBox(pQBoxHeader) ? 1 : 0;
}

void QBoxParser::EndPayload(int* pbIsFirstNALU)
{
    m_ulRemQboxSize = 0;
    *pbIsFirstNALU = 1;
}

int QBoxParser::GetNextVideoNALU(UINT8* pucQBoxData, UINT32 ulQBoxDataSize, UINT8** ppOutputNALUData,
                                 UINT32* pulOutputNALUDataSize, int* pbIsFirstNALU)
{
    if (m_ulRemQboxSize == 0) {
        if (pucQBoxData == nullptr) {
            char message[] = "Parser Received Null inplace of video data!";
            ShowError(message);
            return 0;
        }
        m_pVideoQBoxData = pucQBoxData;
        m_ulNextNALUIndex = 0;
        m_ulRemQboxSize = ulQBoxDataSize;
    }

    // A remainder too short for a length prefix is dropped, and a length
    // that runs past the payload ends it: nothing is handed out or changed
    // then, so no byte outside the payload is ever read or written.
    tNaluWalk walk = StartNaluWalk(m_pVideoQBoxData, m_ulNextNALUIndex + m_ulRemQboxSize, m_ulNextNALUIndex);
    UINT8* pUnit = nullptr;
    UINT32 ulNALULength = 0;
    if (!NextNalu(&walk, QBOX_NALU_PREFIX_SIZE - 1, &pUnit, &ulNALULength)) {
        *pulOutputNALUDataSize = m_ulRemQboxSize;
        EndPayload(pbIsFirstNALU);
        return 0;
    }

    memcpy(pUnit, START_CODE, START_CODE_SIZE);
    *ppOutputNALUData = pUnit;

    UINT32 ulUnitSize = ulNALULength + QBOX_NALU_PREFIX_SIZE;
    *pulOutputNALUDataSize = ulUnitSize;
    m_ulRemQboxSize -= ulUnitSize;
    m_ulNextNALUIndex += ulUnitSize;

    *pbIsFirstNALU = (m_ulRemQboxSize == 0) ? 1 : 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Sequence parameter set decoding (ISO/IEC 14496-10, 7.3.2.1.1), up to the
// picture size.
// ---------------------------------------------------------------------------

// The fields read, each kept in 8 bits. Only the first eleven are decoded.
struct Sequence_Parameter_Set {
    UINT8 profile_idc;
    UINT8 constraint_flags;
    UINT8 level_idc;
    UINT8 sequence_parameter_set_id_ue;
    UINT8 log2_max_frame_num_minus4_ue;
    UINT8 pic_order_cnt_type_ue;
    UINT8 log2_max_pic_order_cnt_lsb_minus4_ue;
    UINT8 num_ref_frames_ue;
    UINT8 gaps_in_frame_num_value_allowed_flag;
    UINT8 pic_width_in_mbs_minus1_ue;
    UINT8 pic_height_in_map_units_minus1_ue;
    UINT8 frame_mbs_only_flag;
    UINT8 mb_adaptive_frame_field_flag;
    UINT8 direct_8x8_inference_flag;
    UINT8 frame_cropping_flag;
};

// Byte offsets inside the unit: NAL header, then three whole bytes, then
// the Exp-Golomb coded fields.
const unsigned int SPS_PROFILE_BYTE = 1;
const unsigned int SPS_CONSTRAINT_BYTE = 2;
const unsigned int SPS_LEVEL_BYTE = 3;
const unsigned short SPS_FIRST_CODED_BYTE = 4;
const unsigned short MSB_POSITION = 7;
const unsigned int MACROBLOCK_SIZE = 16;
// The bit reader's byte cursor is 16 bits wide, so a unit is read no further
// than it can address: past that the cursor would wrap to the start of the
// unit, and a run of zero bits reaching it would never end. A sequence
// parameter set is a few dozen bytes.
const unsigned int SPS_MAX_READ_BYTES = 0xFFFF;

// The buffer the bit reader walks (the unit DecParSet was last given), its
// size, and whether a read ran out.
static unsigned char* Buffer = nullptr;
static unsigned int BufferSize = 0;
static bool bBufferOverrun = false;

unsigned char GetBit(unsigned char Value, unsigned short BitPos)
{
    return (unsigned char)((Value >> BitPos) & 1);
}

// Reads the bit at the cursor and moves the cursor on. Past the end of the
// buffer it reads 0 and notes the overrun.
static unsigned char ReadBit(unsigned short& pByte, unsigned short& pBit)
{
    unsigned char bit = 0;
    if (pByte < BufferSize) {
        bit = GetBit(Buffer[pByte], pBit);
    } else {
        bBufferOverrun = true;
    }
    if (pBit == 0) {
        pBit = MSB_POSITION;
        pByte++;
    } else {
        pBit--;
    }
    return bit;
}

unsigned short decExpGol(unsigned short& pByte, unsigned short& pBit)
{
    unsigned int bits2one = 0;
    while (ReadBit(pByte, pBit) == 0) {
        // A run of zeros that reaches the end of the buffer never ends.
        if (pByte >= BufferSize) {
            bBufferOverrun = true;
            return 0;
        }
        bits2one++;
    }
    if (bits2one == 0) {
        return 0;
    }
    unsigned short accumulator = 1;
    for (unsigned int i = 0; i < bits2one; i++) {
        accumulator = (unsigned short)((accumulator << 1) + ReadBit(pByte, pBit));
    }
    return (unsigned short)(accumulator - 1);
}

unsigned int DecParSet(unsigned char* pBuffer, unsigned int szBuffer, unsigned int* pSize)
{
    if (pBuffer == nullptr || szBuffer <= SPS_FIRST_CODED_BYTE) {
        return 1;
    }
    Buffer = pBuffer;
    BufferSize = szBuffer < SPS_MAX_READ_BYTES ? szBuffer : SPS_MAX_READ_BYTES;
    bBufferOverrun = false;

    Sequence_Parameter_Set sps;
    memset(&sps, 0, sizeof(sps));
    sps.profile_idc = pBuffer[SPS_PROFILE_BYTE];
    sps.constraint_flags = pBuffer[SPS_CONSTRAINT_BYTE];
    sps.level_idc = pBuffer[SPS_LEVEL_BYTE];

    unsigned short pByte = SPS_FIRST_CODED_BYTE;
    unsigned short pBit = MSB_POSITION;
    sps.sequence_parameter_set_id_ue = (UINT8)decExpGol(pByte, pBit);
    sps.log2_max_frame_num_minus4_ue = (UINT8)decExpGol(pByte, pBit);
    sps.pic_order_cnt_type_ue = (UINT8)decExpGol(pByte, pBit);
    if (sps.pic_order_cnt_type_ue == 0) {
        sps.log2_max_pic_order_cnt_lsb_minus4_ue = (UINT8)decExpGol(pByte, pBit);
    }
    sps.num_ref_frames_ue = (UINT8)decExpGol(pByte, pBit);
    sps.gaps_in_frame_num_value_allowed_flag = ReadBit(pByte, pBit);
    sps.pic_width_in_mbs_minus1_ue = (UINT8)decExpGol(pByte, pBit);
    sps.pic_height_in_map_units_minus1_ue = (UINT8)decExpGol(pByte, pBit);

    // A unit cut short before the size fields ended leaves the size alone.
    if (!bBufferOverrun) {
        pSize[0] = (sps.pic_width_in_mbs_minus1_ue + 1u) * MACROBLOCK_SIZE;
        pSize[1] = (sps.pic_height_in_map_units_minus1_ue + 1u) * MACROBLOCK_SIZE;
    }
    return 1;
}

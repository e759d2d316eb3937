// QBox header decoding, NAL unit splitting and picture-size decoding.
#include "QBoxParser.h"

#include <cstring>

#include "CExpGolomb.h"

// Created before main runs; the header record starts zero-filled.
QBox* pqBoxHeader = new QBox();
QBoxParser* pqBoxParser = new QBoxParser();

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
// Sequence parameter set decoding (ISO/IEC 14496-10, 7.3.2.1.1 and 7.4.2.1.1)
// ---------------------------------------------------------------------------

namespace {

const UINT32 MACROBLOCK_SIZE = 16;
// Picture sizes beyond this many macroblocks a side (16384 pixels) are
// taken for a damaged unit: the MP4 sample entry holds 16-bit sizes.
const UINT32 MAX_MBS_PER_SIDE = 1024;
// profile_idc values whose SPS carries chroma_format_idc and the bit depths
// (the High profiles and their relatives, 7.3.2.1.1).
const UINT8 PROFILES_WITH_CHROMA_INFO[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
const UINT32 CHROMA_FORMAT_444 = 3;

// The reads of one SPS: every field through one reader that removes the
// emulation-prevention bytes; the first read that runs out, or a field out
// of its range, spoils the rest.
struct tSpsReader {
    CExpGolomb bits;
    bool bShort;
};

UINT32 ReadUe(tSpsReader* r)
{
    UINT32 value = 0;
    if (!r->bShort && r->bits.GetUVLC(value) != 1)
        r->bShort = true;
    return r->bShort ? 0 : value;
}

INT32 ReadSe(tSpsReader* r)
{
    INT32 value = 0;
    if (!r->bShort && r->bits.GetSVLC(value) != 1)
        r->bShort = true;
    return r->bShort ? 0 : value;
}

UINT32 ReadFlag(tSpsReader* r)
{
    UINT32 bit = r->bShort ? 0 : r->bits.ReadBits(1);
    if (bit == EXPGOLOMB_END_OF_INPUT)
        r->bShort = true;
    return r->bShort ? 0 : bit;
}

bool HasChromaInfo(UINT8 ucProfileIdc)
{
    for (UINT8 profile : PROFILES_WITH_CHROMA_INFO)
        if (profile == ucProfileIdc)
            return true;
    return false;
}

// scaling_list() (7.3.2.1.1.1): only read past.
void SkipScalingList(tSpsReader* r, int iSize)
{
    const INT32 DELTA_SCALE_MIN = -128, DELTA_SCALE_MAX = 127;  // 7.4.2.1.1.1
    INT32 lastScale = 8, nextScale = 8;
    for (int j = 0; j < iSize && !r->bShort; j++) {
        if (nextScale != 0) {
            INT32 delta = ReadSe(r);  // delta_scale
            if (delta < DELTA_SCALE_MIN || delta > DELTA_SCALE_MAX) {
                r->bShort = true;  // a damaged unit
                return;
            }
            nextScale = (lastScale + delta + 256) % 256;
        }
        lastScale = nextScale == 0 ? lastScale : nextScale;
    }
}

// chroma_format_idc and what follows it in the High profiles.
UINT32 ReadChromaInfo(tSpsReader* r, bool* pbSeparatePlanes)
{
    UINT32 chromaFormat = ReadUe(r);  // chroma_format_idc
    if (chromaFormat == CHROMA_FORMAT_444)
        *pbSeparatePlanes = ReadFlag(r) != 0;  // separate_colour_plane_flag
    ReadUe(r);    // bit_depth_luma_minus8
    ReadUe(r);    // bit_depth_chroma_minus8
    ReadFlag(r);  // qpprime_y_zero_transform_bypass_flag
    if (ReadFlag(r)) {  // seq_scaling_matrix_present_flag
        int lists = chromaFormat != CHROMA_FORMAT_444 ? 8 : 12;
        for (int i = 0; i < lists; i++)
            if (ReadFlag(r))  // seq_scaling_list_present_flag[i]
                SkipScalingList(r, i < 6 ? 16 : 64);
    }
    return chromaFormat;
}

// The picture order count fields (pic_order_cnt_type 0 or 1).
void SkipPictureOrderCount(tSpsReader* r)
{
    UINT32 type = ReadUe(r);  // pic_order_cnt_type
    if (type == 0) {
        ReadUe(r);  // log2_max_pic_order_cnt_lsb_minus4
    } else if (type == 1) {
        ReadFlag(r);  // delta_pic_order_always_zero_flag
        ReadSe(r);    // offset_for_non_ref_pic
        ReadSe(r);    // offset_for_top_to_bottom_field
        UINT32 cycle = ReadUe(r);  // num_ref_frames_in_pic_order_cnt_cycle
        for (UINT32 i = 0; i < cycle && !r->bShort; i++)
            ReadSe(r);  // offset_for_ref_frame[i]
    }
}

// CropUnitX and CropUnitY (7-19 to 7-22).
void CropUnits(UINT32 chromaFormat, bool bSeparatePlanes, bool bFrameMbsOnly, UINT32* x, UINT32* y)
{
    UINT32 fieldFactor = bFrameMbsOnly ? 1 : 2;
    if (bSeparatePlanes || chromaFormat == 0) {  // ChromaArrayType 0
        *x = 1;
        *y = fieldFactor;
        return;
    }
    UINT32 subWidth = chromaFormat == CHROMA_FORMAT_444 ? 1 : 2;
    UINT32 subHeight = chromaFormat == 1 ? 2 : 1;
    *x = subWidth;
    *y = subHeight * fieldFactor;
}

}  // namespace

int DecodeSps(const UINT8* pucNal, UINT32 ulSize, tSpsInfo* pInfo)
{
    const UINT32 FIXED_BYTES = 4;  // NAL header, profile_idc, the constraint flags, level_idc
    if (pucNal == nullptr || ulSize <= FIXED_BYTES || NaluType(pucNal[0]) != NALU_TYPE_SPS)
        return 0;
    tSpsInfo info = tSpsInfo();
    info.ucProfileIdc = pucNal[1];
    info.ucConstraintFlags = pucNal[2];
    info.ucLevelIdc = pucNal[3];

    tSpsReader r;
    r.bShort = false;
    const unsigned char* rest = pucNal + FIXED_BYTES;
    unsigned int restSize = ulSize - FIXED_BYTES;
    r.bits.FillBuffer(rest, restSize);
    ReadUe(&r);  // seq_parameter_set_id
    UINT32 chromaFormat = 1;  // 4:2:0 unless the SPS says otherwise
    bool bSeparatePlanes = false;
    if (HasChromaInfo(info.ucProfileIdc))
        chromaFormat = ReadChromaInfo(&r, &bSeparatePlanes);
    ReadUe(&r);  // log2_max_frame_num_minus4
    SkipPictureOrderCount(&r);
    ReadUe(&r);   // max_num_ref_frames
    ReadFlag(&r); // gaps_in_frame_num_value_allowed_flag
    UINT32 widthMbs = ReadUe(&r) + 1;      // pic_width_in_mbs_minus1
    UINT32 heightUnits = ReadUe(&r) + 1;   // pic_height_in_map_units_minus1
    bool bFrameMbsOnly = ReadFlag(&r) != 0;  // frame_mbs_only_flag
    if (!bFrameMbsOnly)
        ReadFlag(&r);  // mb_adaptive_frame_field_flag
    ReadFlag(&r);      // direct_8x8_inference_flag
    UINT32 crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    if (ReadFlag(&r)) {  // frame_cropping_flag
        for (UINT32& offset : crop)
            offset = ReadUe(&r);
    }
    UINT32 heightMbs = heightUnits * (bFrameMbsOnly ? 1 : 2);
    if (r.bShort || chromaFormat > CHROMA_FORMAT_444 || widthMbs > MAX_MBS_PER_SIDE || heightMbs > MAX_MBS_PER_SIDE)
        return 0;
    UINT32 unitX = 1, unitY = 1;
    CropUnits(chromaFormat, bSeparatePlanes, bFrameMbsOnly, &unitX, &unitY);
    info.ulCodedWidth = widthMbs * MACROBLOCK_SIZE;
    info.ulCodedHeight = heightMbs * MACROBLOCK_SIZE;
    // Offsets are bounded by the picture (7.4.2.1.1): within it, the cut
    // is taken in 64 bits so that no offset can wrap.
    UINT64 cropX = (UINT64)unitX * ((UINT64)crop[0] + crop[1]);
    UINT64 cropY = (UINT64)unitY * ((UINT64)crop[2] + crop[3]);
    if (cropX >= info.ulCodedWidth || cropY >= info.ulCodedHeight)
        return 0;
    info.ulWidth = info.ulCodedWidth - (UINT32)cropX;
    info.ulHeight = info.ulCodedHeight - (UINT32)cropY;
    info.bFrameMbsOnly = bFrameMbsOnly;
    *pInfo = info;
    return 1;
}

// ---------------------------------------------------------------------------
// A plain ue(v) reader over the unit DecParSet was last given, without
// emulation-prevention handling (DecodeSps reads through CExpGolomb).
// ---------------------------------------------------------------------------

const unsigned short MSB_POSITION = 7;

// The buffer the bit reader walks, its size, and whether a read ran out.
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

static void SetExpGolBuffer(unsigned char* pBuffer, unsigned int szBuffer)
{
    // The byte cursor is 16 bits wide: a buffer is read no further than it
    // can address.
    const unsigned int MAX_READ_BYTES = 0xFFFF;
    Buffer = pBuffer;
    BufferSize = szBuffer < MAX_READ_BYTES ? szBuffer : MAX_READ_BYTES;
    bBufferOverrun = false;
}

unsigned int DecParSet(unsigned char* pBuffer, unsigned int szBuffer, unsigned int* pSize)
{
    SetExpGolBuffer(pBuffer, pBuffer != nullptr ? szBuffer : 0);
    tSpsInfo info;
    if (pSize != nullptr && DecodeSps(pBuffer, szBuffer, &info) == 1) {
        pSize[0] = info.ulWidth;
        pSize[1] = info.ulHeight;
    }
    return 1;
}

// Exp-Golomb bit reader over a NAL unit payload (ITU-T H.264 clause 9.1).
#include "CExpGolomb.h"

#include <cstdint>

namespace {

const UINT8 WINDOW_BITS = 32;
const UINT8 WINDOW_BYTES = WINDOW_BITS / 8;

// Inside a NAL unit, 00 00 03 marks an inserted emulation-prevention byte
// (H.264 clause 7.4.1): two zero bytes in a row make the next 0x03 one.
const UINT8 EMULATION_PREVENTION_BYTE = 0x03;
const UINT8 ZEROS_BEFORE_PREVENTION = 2;

// A ue(v) code number must fit in 32 bits: at most 31 leading zeros
// (2^31 - 1 + 2^31 - 1 = 2^32 - 2, the largest code number).
const UINT8 MAX_LEADING_ZEROS = 31;

// Entry n selects the low n bits.
const UINT32 Exp_Golomb_mask[WINDOW_BITS + 1] = {
    0x00000000, 0x00000001, 0x00000003, 0x00000007, 0x0000000F,
    0x0000001F, 0x0000003F, 0x0000007F, 0x000000FF, 0x000001FF,
    0x000003FF, 0x000007FF, 0x00000FFF, 0x00001FFF, 0x00003FFF,
    0x00007FFF, 0x0000FFFF, 0x0001FFFF, 0x0003FFFF, 0x0007FFFF,
    0x000FFFFF, 0x001FFFFF, 0x003FFFFF, 0x007FFFFF, 0x00FFFFFF,
    0x01FFFFFF, 0x03FFFFFF, 0x07FFFFFF, 0x0FFFFFFF, 0x1FFFFFFF,
    0x3FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF,
};

}  // namespace

CExpGolomb::CExpGolomb()
    : m_Data(0), m_CurPos(0), m_Empty(1), m_NBits(WINDOW_BITS), nLeadZeros(0),
      m_pInNAL(nullptr), m_cInNAL(0), m_cRead(0), m_cZeros(0)
{
    m_CurPos = (INT8)m_NBits;
}

CExpGolomb::~CExpGolomb()
{
    m_Data = 0;
    m_CurPos = 0;
    m_pInNAL = nullptr;
    m_cInNAL = 0;
    m_cRead = 0;
}

void CExpGolomb::FillBuffer(const unsigned char*& pInNal, unsigned int& cInNal)
{
    m_pInNAL = pInNal;
    m_cInNAL = pInNal ? cInNal : 0;
    Replenish();
    m_Empty = 0;
}

bool CExpGolomb::InputUsedUp() const
{
    return m_cRead >= m_cInNAL;
}

// Consumes the next input byte; the caller has checked that one is left.
UINT8 CExpGolomb::TakeByte()
{
    return m_pInNAL[m_cRead++];
}

// Loads up to four payload bytes, right-aligned, so that a window cut short
// by the end of the input holds exactly the bits that were left.
void CExpGolomb::Replenish()
{
    m_Empty = 0;
    m_Data = 0;
    UINT8 cTaken = 0;
    while (cTaken < WINDOW_BYTES && !InputUsedUp()) {
        UINT8 uc = TakeByte();
        if (uc == EMULATION_PREVENTION_BYTE && m_cZeros >= ZEROS_BEFORE_PREVENTION) {
            // Drop it and take the following byte in its place, if any.
            m_cZeros = 0;
            if (InputUsedUp())
                break;
            uc = TakeByte();
            if (uc == 0x00)
                m_cZeros = 1;
        } else if (uc == 0x00) {
            if (m_cZeros < UINT8_MAX)
                m_cZeros++;
        } else {
            m_cZeros = 0;
        }
        m_Data = (m_Data << 8) | uc;
        cTaken++;
    }
    m_CurPos = (INT8)(cTaken * 8);
}

UINT32 CExpGolomb::ReadBits(UINT8 n)
{
    if (n > WINDOW_BITS)
        return EXPGOLOMB_END_OF_INPUT;
    if (m_Empty)
        Replenish();

    UINT32 result = 0;
    if (n > m_CurPos) {
        // The request spans two windows: the rest of this one is the high part.
        UINT8 cHigh = (UINT8)m_CurPos;
        if (cHigh > 0)
            result = (m_Data & Exp_Golomb_mask[cHigh]) << (n - cHigh);
        n -= cHigh;
        m_CurPos = 0;
        m_Empty = 1;
        if (InputUsedUp())
            return EXPGOLOMB_END_OF_INPUT;
        Replenish();
        if (n > m_CurPos) {
            // The input ended inside the new window.
            m_CurPos = 0;
            m_Empty = 1;
            return EXPGOLOMB_END_OF_INPUT;
        }
    }
    if (n == 0)
        return result;
    result |= (m_Data >> (m_CurPos - n)) & Exp_Golomb_mask[n];
    m_CurPos = (INT8)(m_CurPos - n);
    return result;
}

int CExpGolomb::GetCodeNum(UINT32& value)
{
    nLeadZeros = 0;
    for (;;) {
        UINT32 bit = ReadBits(1);
        if (bit == EXPGOLOMB_END_OF_INPUT)
            return 0;
        if (bit == 1)
            break;
        if (m_CurPos == 0) {
            m_Empty = 1;
            if (InputUsedUp())
                return 0;
            Replenish();
        }
        if (++nLeadZeros > MAX_LEADING_ZEROS)
            return 0;
    }
    UINT32 info = ReadBits(nLeadZeros);
    // With at most 31 bits requested, a real value never reaches all ones.
    if (nLeadZeros > 0 && info == EXPGOLOMB_END_OF_INPUT)
        return 0;
    value = Exp_Golomb_mask[nLeadZeros] + info;
    return 1;
}

int CExpGolomb::GetUVLC(UINT32& val)
{
    if (m_Empty)
        Replenish();
    return GetCodeNum(val);
}

// se(v), H.264 clause 9.1.1: code numbers 0, 1, 2, 3, 4 map to 0, 1, -1, 2, -2.
int CExpGolomb::GetSVLC(INT32& val)
{
    UINT32 k = 0;
    if (!GetUVLC(k))
        return 0;
    if (k & 1)
        val = (INT32)((k >> 1) + 1);
    else
        val = -(INT32)(k >> 1);
    return 1;
}

int CExpGolomb::IsEmpty()
{
    return m_Empty;
}

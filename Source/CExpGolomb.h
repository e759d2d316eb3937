// Bit reader for the payload of one H.264 NAL unit (ITU-T H.264 / ISO/IEC
// 14496-10, clauses 7.2 and 9.1). Bytes are loaded into a 32-bit window with
// the emulation-prevention bytes (the 0x03 of 00 00 03) removed, so that
// fixed-width fields and the Exp-Golomb codes ue(v) and se(v) can be read
// straight from the raw byte sequence payload.
//
// One object reads one buffer once, from its start. The buffer stays owned
// by the caller and must outlive the reads. No byte at or past the end given
// to FillBuffer is ever read; running out is reported by the reads.
#ifndef VOZIREV_CEXPGOLOMB_H
#define VOZIREV_CEXPGOLOMB_H

#include "Types.h"

// ReadBits result when the input ran out while the request was served.
const UINT32 EXPGOLOMB_END_OF_INPUT = 0xFFFFFFFF;

class CExpGolomb {
public:
    CExpGolomb();
    ~CExpGolomb();

    // Attaches the cInNal bytes at pInNal and loads the first window.
    void FillBuffer(const unsigned char*& pInNal, unsigned int& cInNal);
    // Loads up to four more payload bytes into an emptied window.
    void Replenish();

    // The next n bits (0..32), most significant first, or
    // EXPGOLOMB_END_OF_INPUT when fewer than n bits were left.
    UINT32 ReadBits(UINT8 n);
    // One Exp-Golomb code number; 1 on success, 0 when the input ran out
    // (or the code is longer than any 32-bit code number allows).
    int GetCodeNum(UINT32& value);
    // ue(v) and se(v); 1 on success, 0 when the input ran out.
    int GetUVLC(UINT32& val);
    int GetSVLC(INT32& val);

    int IsEmpty();

    // The reader's state, in this order. The window's low m_CurPos bits are
    // the bits not yet read, most significant first.
    UINT32 m_Data;
    INT8 m_CurPos;
    INT32 m_Empty;
    UINT8 m_NBits;
    UINT8 nLeadZeros;
    const UINT8* m_pInNAL;
    UINT32 m_cInNAL;
    UINT32 m_cRead;   // input bytes consumed, emulation-prevention bytes included
    UINT8 m_cZeros;   // consecutive 0x00 bytes just consumed

private:
    bool InputUsedUp() const;
    UINT8 TakeByte();
};

#endif

// QBox header decoding, the splitter that cuts a video payload into its
// H.264 NAL units, and the few sequence parameter set fields that give the
// picture size.
#ifndef VOZIREV_QBOXPARSER_H
#define VOZIREV_QBOXPARSER_H

#include "QBox.h"
#include "Types.h"

// Hands out the NAL units of one video payload at a time, in place: each
// unit's 4-byte length prefix is overwritten with the Annex B start code
// 00 00 00 01 and the unit is returned as a pointer into the caller's buffer.
class QBoxParser {
public:
    QBoxParser();
    ~QBoxParser();

    // Back to idle: the next GetNextVideoNALU starts a new payload.
    int Reset();
    // Error hook; silent on the board.
    void ShowError(char* Message);

    // Decodes the 24 header bytes at pusReadData into *pQBoxHeader.
    // Returns 1 when the box is usable ("qbox" and a payload), else 0.
    int GetQBoxHeader(UINT8* pusReadData, QBox* pQBoxHeader);

    // Hands out the next NAL unit, start code included, of the payload in
    // progress, or starts pucQBoxData (ulQBoxDataSize bytes) when none is.
    // Returns 1 when a unit was handed out. *pbIsFirstNALU becomes 1 once
    // the payload is used up (or ends in bytes that hold no whole unit).
    int GetNextVideoNALU(UINT8* pucQBoxData, UINT32 ulQBoxDataSize, UINT8** ppOutputNALUData,
                         UINT32* pulOutputNALUDataSize, int* pbIsFirstNALU);

private:
    // Drops what is left of the payload and goes back to idle.
    void EndPayload(int* pbIsFirstNALU);

    int m_bIsFirstNALU;
    UINT8* m_pVideoQBoxData;
    UINT32 m_ulNextNALUIndex;
    UINT32 m_ulRemQboxSize;
};

// The header record of the sample being routed and the parser that fills
// it; both are created before main runs and released at its end.
extern QBox* pqBoxHeader;
extern QBoxParser* pqBoxParser;

// What a sequence parameter set says about the picture (ISO/IEC 14496-10,
// 7.3.2.1.1 and 7.4.2.1.1).
struct tSpsInfo {
    UINT8 ucProfileIdc;
    UINT8 ucConstraintFlags;  // constraint_set0_flag .. reserved_zero_2bits
    UINT8 ucLevelIdc;
    UINT32 ulWidth;           // pixels shown: the coded size less the frame cropping
    UINT32 ulHeight;
    UINT32 ulCodedWidth;      // whole macroblocks
    UINT32 ulCodedHeight;     // frames: field-coded streams count both fields
    bool bFrameMbsOnly;
};

// Decodes one SPS NAL unit (header byte first, ulSize bytes) through the
// program's Exp-Golomb reader, which removes emulation-prevention bytes,
// in every profile's layout, up to and with the frame cropping. 1 with
// *pInfo filled; 0 (and *pInfo unchanged) for a unit that is not an SPS,
// ends before the cropping fields, or describes no picture a sample entry
// can hold (beyond 16384 pixels, or cropped to nothing).
int DecodeSps(const UINT8* pucNal, UINT32 ulSize, tSpsInfo* pInfo);

// Bit BitPos (0 = least significant) of Value.
unsigned char GetBit(unsigned char Value, unsigned short BitPos);

// Reads one unsigned Exp-Golomb code ue(v) (ISO/IEC 14496-10, 9.1) at the
// cursor (byte pByte, bit pBit counted 7 = most significant down to 0) of the
// buffer DecParSet was last given, and leaves the cursor after it. Bits past
// the end of that buffer read as 0 and end the code.
unsigned short decExpGol(unsigned short& pByte, unsigned short& pBit);

// The picture size of one sequence parameter set NAL unit (pBuffer starts
// at its header byte, szBuffer bytes), decoded by DecodeSps: pSize[0] =
// width and pSize[1] = height in pixels, with the frame cropping applied. A
// unit DecodeSps cannot read leaves pSize unchanged. Returns 1.
unsigned int DecParSet(unsigned char* pBuffer, unsigned int szBuffer, unsigned int* pSize);

#endif

// The sample record: one QBox sample as the device delivered it, parsed
// once by the capture loop into what every output needs, so that no output
// walks the payload again to find it.
//
//   box as read                    record
//   24-byte header                 stHeader, usStreamType, ulCts, llClock
//   video: [len][NAL]...[len][NAL] units (each whole unit, in order, with its
//                                  nal_unit_type), bPicture, bIdr, pSps, pPps
//   audio: one AAC frame           pucFrame, ulFrameSize (raw, ADTS header
//                                  left out)
//
// The record points into the caller's buffer and never changes it: every
// output reads the same bytes, in any order. A video payload keeps its
// 4-byte big-endian length prefixes, which is the sample format of MP4
// ("avcC" lengthSizeMinusOne 3, ISO/IEC 14496-15), so the MP4 writer stores
// a picture's units as they lie.
//
// A unit whose length runs past the payload ends the walk (nothing outside
// the payload is ever read), as do trailing bytes too few for a length
// prefix; an empty unit (length 0) carries no NAL header and is passed over.
#ifndef VOZIREV_SAMPLE_H
#define VOZIREV_SAMPLE_H

#include "QBox.h"
#include "Types.h"

// One NAL unit of a video sample.
struct tNalUnit {
    const UINT8* pucPrefix;  // its 4-byte length prefix in the sample
    const UINT8* pucData;    // the NAL unit, header byte first
    UINT32 ulSize;           // bytes from the header byte on (the prefix's value)
    UINT8 ucType;            // nal_unit_type (ISO/IEC 14496-10, Table 7-1)
};

struct tSample {
    UINT32 ulSerial;         // counts the samples parsed in this process, from 1
    const UINT8* pucBox;     // the whole box, header first
    UINT32 ulReadLength;     // bytes the device delivered
    QBox stHeader;           // the header fields as decoded
    bool bUsable;            // a "qbox" that holds a payload
    UINT16 usStreamType;     // QBOX_STREAM_AUDIO, _VIDEO, _CAPTION or another value
    UINT32 ulCts;            // 90 kHz
    INT64 llClock;           // ulCts unwrapped to 64 bits on the run's one clock
    const UINT8* pucPayload; // behind the header: the header's size, cut to what was read
    UINT32 ulPayloadSize;

    // Video.
    const tNalUnit* pUnits;  // ulUnitCount units in payload order
    UINT32 ulUnitCount;
    bool bPicture;           // holds a coded slice (types 1 to 5)
    bool bIdr;               // holds an IDR slice (type 5)
    const tNalUnit* pSps;    // the sample's last sequence parameter set, or null
    const tNalUnit* pPps;    // its last picture parameter set, or null

    // Audio: the raw AAC frame (an ADTS header the encoder put in front is
    // left out).
    const UINT8* pucFrame;
    UINT32 ulFrameSize;
};

// Parses the box of ulReadLength bytes at pucBox (the buffer stays the
// caller's and unchanged; the record points into it until the next parse)
// into *pSample, and the header into the shared header record
// (*pqBoxHeader, QBoxParser.h). Returns 1 for a usable box, 0 otherwise
// (the record then describes what could be read: no units, no frame).
int ParseSample(const UINT8* pucBox, UINT32 ulReadLength, tSample* pSample);

// A stamp on the run's clock (as ParseSample places the stamps): for the
// entry points that take a bare 32-bit stamp.
INT64 RunClockOf(UINT32 ulCts);
// The latest stamp on the run's clock (0 before the first sample).
INT64 RunClockNow();
// The run's clock starts afresh at the next sample parsed (a new run in the
// same process: tests, tools).
void RestartSampleClock();

// The raw AAC frame of an audio payload: the encoder's frames are raw; one
// whose first byte is the ADTS sync byte comes behind a 7-byte ADTS header
// (ISO/IEC 13818-7, 6.2), which is left out. False, with nothing taken,
// for an ADTS header with no frame behind it.
bool RawAacFrame(const UINT8* pucPayload, UINT32 ulSize, const UINT8** ppucFrame, UINT32* pulFrameSize);

// Whether a NAL unit type is a coded slice of a picture (1 to 5).
inline bool IsSliceType(UINT8 ucType)
{
    return ucType >= 1 && ucType <= 5;
}

#endif

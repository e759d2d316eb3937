// MPEG-2 transport-stream multiplexer (ISO/IEC 13818-1) of the single
// programme described by the tables in crc32.h. Every call packs one unit of
// elementary data (an H.264 NAL unit, a raw AAC frame or a block of private
// data) into one PES packet, cuts it into 188-byte packets and writes them to
// the recording file, sends them over RTP (payload type 33), or both.
//
// Output modes (bWriteStream, the same in every entry point):
//   1  write the packets to the file given to initMP2TS
//   2  send them over RTP
//   3  one packetisation for both outputs: the file write of mode 1, then
//      the RTP send of mode 2, with the same packets
//   any other value: the packets are built, and neither written nor sent
// and in every mode to the sinks attached (TSAttachSink).
//
// Multiplex timing (ISO/IEC 13818-1, 2.4.2). The writer models the transport
// stream as a constant-delay schedule on the 27 MHz system clock: the
// packets of a PES packet leave back to back, one every TS_PACKET_TIME_27MHZ
// (a nominal multiplex rate of 188 x 8 bits per 1000 cycles, 40.6 Mbit/s),
// starting TS_PCR_DELAY_TICKS before the PES packet's time stamp, or right
// behind the packets already scheduled when those run later. A PCR holds
// the arrival time of its own packet in that schedule, so it leads the PTS
// (= the QBox stamp, which is also the decoding time) of the packets that
// follow, and every PES packet has arrived before its decoding time as long
// as the packets of TS_PCR_DELAY_TICKS fit the nominal rate (a whole
// 400000-byte sample takes 79 ms of it). The first packet of every audio and
// video PES packet carries a PCR; where the PCR PID would go more than
// TS_PCR_INTERVAL_MS without one, a packet of the PCR PID with a PCR and no
// payload goes in between. PAT and PMT (with continuity counters that
// advance) go out when the stream opens, in front of every access unit that
// starts with a sequence parameter set or an IDR picture, and at least every
// TS_PSI_INTERVAL_MS, so that a receiver that joins late or a reader that
// starts in the middle of a recording finds them. Every video access unit
// (the NAL units of one time stamp) starts with an access unit delimiter.
// Gaps longer than about a second (a stalled encoder) are not filled.
//
// Recording and streaming at once: the continuity counters and the
// wait-for-the-first-SPS flag belong to the module, and every packetisation
// advances them. Feeding a sample through mode 2 and again through mode 1
// would therefore make each output skip a count on every packet. A run that
// records the transport stream and streams it too must open the stream once
// with mode 3 and feed each sample once with mode 3:
//
//     initMP2TS(ulMediaFormat, pfRecording, TS_OUTPUT_FILE_AND_RTP);
//     per sample: QBoxToMP2TS(inputdata, length, TS_OUTPUT_FILE_AND_RTP);
//     at the end: deinitMP2TS();
//
// Both outputs then carry the same packets and each is continuous on its own.
// The route treats mode 3 as streaming, so the file also holds the SPS+PPS
// bundle that the stream needs: a repeat of the parameter sets, which
// decoders accept. After
// deinitMP2TS (recording stopped, e.g. the disk is full) mode 3 keeps
// sending over RTP alone, with the counters running on.
#ifndef VOZIREV_MPGTSWRITER_H
#define VOZIREV_MPGTSWRITER_H

#include <cstdio>

#include "Types.h"

const unsigned int TS_OUTPUT_FILE = 1;
const unsigned int TS_OUTPUT_RTP = 2;
const unsigned int TS_OUTPUT_FILE_AND_RTP = 3;

// The multiplex model (see above).
const unsigned int TS_PCR_DELAY_TICKS = 9000;     // 100 ms on the 90 kHz clock
const unsigned int TS_PACKET_TIME_27MHZ = 1000;   // one 188-byte packet
const unsigned int TS_PCR_INTERVAL_MS = 40;       // ETSI TR 101 290; at most 100 (13818-1, 2.7.2)
const unsigned int TS_PSI_INTERVAL_MS = 400;      // at most 500 between PATs (TR 101 290)

// Data capacity of the first packet of a PES packet, behind its headers.
const unsigned int TS_FIRST_PACKET_VIDEO_DATA = 162;
const unsigned int TS_FIRST_PACKET_AUDIO_DATA = 155;
const unsigned int TS_FIRST_PACKET_PRIVATE_DATA = 168;
// Largest private block the 16-bit PES_packet_length can describe; larger
// ones are dropped whole (audio frames are bounded by the ADTS frame length,
// ADTS_MAX_RAW_FRAME_SIZE).
const unsigned int TS_MAX_PRIVATE_BLOCK = 65527;  // 16-bit PES_packet_length - 8

// Another taker of the multiplex's packets (the live services): every run
// of packets the writer emits in any output mode, with the sample's stamp
// and whether a receiver can start there (the run opens with PAT and PMT in
// front of an access unit it can decode from). The packets are valid for
// the call only.
typedef void (*tTSSinkFn)(void* pContext, const UINT8* pucPackets, UINT32 ulCount, UINT32 ulCts, bool bRandomAccess);
struct tTSSink {
    tTSSinkFn pfnTake;
    void* pContext;
    tTSSink* pNext;  // the writer's
};
void TSAttachSink(tTSSink* pSink);
void TSDetachSink(tTSSink* pSink);

// A cursor over a byte buffer.
struct BuffManager {
    UINT8* pBuff;
    UINT32 Size;     // bytes in the buffer
    UINT32 CurrPos;  // next byte to use
};

// Opens the stream: builds the PAT and the PMT for stream_type, the capture
// run's media format (MEDIA_FORMAT_AUDIO, _VIDEO or _AUDIO_VIDEO of
// captureparams.h) and emits them by mode, each with continuity_counter 0,
// and restarts the multiplex schedule (so that a stream and a recording
// opened one after the other start alike). Keeps pfOut for the file modes.
// Returns 1, or 0 when a file mode has no file.
unsigned int initMP2TS(unsigned char stream_type, FILE* pfOut, unsigned int bWriteStream);
// Closes the recording file, if there is one, and forgets it. 1, or 0 when
// the close failed (tsWriteError says why). A file cut back after a failed
// write (see tsWriteError) was closed then, with whole samples only.
unsigned int deinitMP2TS();

// Goes on recording the same stream into another file (the next segment),
// after deinitMP2TS closed the one before: the file starts with the PAT and
// the PMT; the multiplex, its counters and any stream carry on untouched.
void continueMP2TSInFile(FILE* pfNext);

// Why the recording file stopped taking packets: 0 while it takes them,
// else the errno of the failed write (ENOSPC when the disk is full). The
// file's packets wait in its stream buffer between pushes (at a sample's
// start once 128 KiB wait, and at every sync); the file has then been cut
// back to the last push that reached the disk, which lies between two
// samples, and closed; streaming goes on.
extern int tsWriteError;
// Marks the start of a sample in the recording file: the writes that
// follow, up to the next mark, belong to one sample (what waits in the
// stream buffer is pushed here when it has grown large).
void BeginTSSample();
// Pushes what waits for the recording file and makes it durable. 1, or 0
// when there is no file or that failed (tsWriteError says why: the
// recording stops).
unsigned int syncTSRecording();
// Syncs made so far.
extern UINT32 tsSyncCount;

// One NAL unit behind its 4-byte start code (the NAL header at byte 4). A
// buffer holding further NAL units behind the first sends them in the same
// PES packet; the type tests look at the first unit only. Returns 1.
unsigned int writeVideoTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream);
// One NAL unit, header byte first (szNal bytes): the same, with the start
// code added in front of it by the writer (the buffer is only read).
unsigned int writeVideoUnitTS(const UINT8* pucNal, UINT32 szNal, UINT32 sam_CTS, unsigned int bWriteStream);
// One raw AAC frame (the ADTS header is added here). Returns 1, or 0 for a
// frame above ADTS_MAX_RAW_FRAME_SIZE, which is dropped.
unsigned int writeAudioTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream);
// One block of private data. Returns 1, or 0 for a block above
// TS_MAX_PRIVATE_BLOCK, which is dropped.
unsigned int writePrvDataTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream);

// The packetisers: write the packets of one PES packet into pTSBuff, which
// must hold 1 + ceil((size - first packet capacity) / 184) packets, and
// return how many 188-byte packets they wrote (0 for a dropped unit). The
// timestamp is the 33-bit PTS on the 90 kHz clock; a PCR field holds the
// nominal start (PTS less TS_PCR_DELAY_TICKS) until the multiplex sets the
// packet's arrival time. bAccessUnitStart puts an access unit delimiter in
// front of the unit (the first packet then holds 6 data bytes fewer).
unsigned int getVideoTS(unsigned char* pNALU, unsigned int szNALU, unsigned char* pTSBuff, UINT64 timestamp,
                        bool bAccessUnitStart = false);
unsigned int getAudioTS(unsigned char* pAU, unsigned int szAU, unsigned char* pTSBuff, UINT64 timestamp);
unsigned int getPrvDataTS(unsigned char* pData, unsigned int szData, unsigned char* pTSBuff, UINT64 timestamp);

#endif

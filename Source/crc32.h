// Programme Specific Information of the transport-stream writer: the CRC-32
// that closes every PSI section (ISO/IEC 13818-1 Annex A, CRC-32/MPEG-2) and
// the one-packet Program Association and Program Map Tables of the single
// programme this system multiplexes.
#ifndef VOZIREV_CRC32_H
#define VOZIREV_CRC32_H

#include "Types.h"
#include "tspacket.h"

// The fixed programme layout.
const UINT16 PID_PAT = 0x0000;
const UINT16 PID_PMT = 0x0042;
const UINT16 PID_VIDEO = 0x0044;    // H.264
const UINT16 PID_AUDIO = 0x0045;    // AAC in ADTS
const UINT16 PID_PRIVATE = 0x0048;  // PES private data
const UINT16 TS_PROGRAM_NUMBER = 1;
const UINT16 TS_TRANSPORT_STREAM_ID = 0x4B5A;
const UINT8 PAT_VERSION = 0;
const UINT8 PMT_VERSION = 15;

// stream_type values of the PMT elementary stream loop (Table 2-34).
const UINT8 STREAM_TYPE_H264 = 0x1B;
const UINT8 STREAM_TYPE_AAC_ADTS = 0x0F;
const UINT8 STREAM_TYPE_PRIVATE_PES = 0x06;

// table_id values (Table 2-31).
const UINT8 TABLE_ID_PAT = 0x00;
const UINT8 TABLE_ID_PMT = 0x02;

// CRC lookup table, filled by gen_crc32_table.
extern unsigned int crc_32_table[256];

void gen_crc32_table();
// CRC-32/MPEG-2 of size bytes at data, stored at crc most significant first.
void crc32_calc(char* data, int size, char* crc);
// Running register after feeding data_block_size more bytes; no preset and
// no final step, so blocks can be chained from a 0xFFFFFFFF start.
unsigned int update_crc_32_block(unsigned int crc, char* data_block_ptr, int data_block_size);

// Builds the PAT packet (188 bytes); rebuilds the CRC table first.
void getPAT(unsigned char* pat_buff);
// Builds the PMT packet (188 bytes). A non-zero Video or Audio is that
// stream's stream_type; a non-zero Private adds the private-data entry.
// Needs the CRC table (getPAT builds it).
void getPMT(unsigned char* pmt_buff, unsigned char Video, unsigned char Audio, unsigned char Private);

#endif

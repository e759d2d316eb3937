// CRC-32/MPEG-2 and the PAT/PMT packets (ISO/IEC 13818-1, 2.4.4 and Annex A).
#include "crc32.h"

#include <cstring>

#include "byteorder.h"

unsigned int crc_32_table[256];

namespace {

const UINT32 CRC32_POLYNOMIAL = 0x04C11DB7;
const UINT32 CRC32_PRESET = 0xFFFFFFFF;
const unsigned int CRC_SIZE = 4;

// A section packet is: 4-byte header, adaptation field (length, flags,
// 0xFF stuffing), then pointer_field + section + CRC ending at byte 187.
const unsigned int TS_HEADER_SIZE = 4;
const unsigned int PSI_MAX_SECTION_BYTES = TS_PACKET_SIZE - TS_HEADER_SIZE - 2;  // 182
const UINT8 TS_PUSI = 0x40;             // payload_unit_start_indicator
const UINT8 TS_AF_AND_PAYLOAD = 0x30;   // adaptation_field_control '11', CC 0
const UINT8 STUFFING_BYTE = 0xFF;

// section_syntax_indicator 1, '0', reserved '11', section_length 11..8
const UINT8 SECTION_SYNTAX_BITS = 0xB0;
// Bytes from transport_stream_id/program_number to last_section_number and
// the CRC: counted in section_length on top of the table's own entries.
const unsigned int PAT_SECTION_LENGTH = 13;
const unsigned int PMT_FIXED_SECTION_LENGTH = 13;
const unsigned int PMT_ES_ENTRY_SIZE = 5;
const unsigned int PMT_SCRATCH_SIZE = 64;

UINT8 VersionByte(UINT8 version)
{
    // reserved '11', version_number, current_next_indicator 1
    return (UINT8)(0xC0 | ((version & 0x1F) << 1) | 0x01);
}

UINT8* PutReservedPid(UINT8* p, UINT16 pid)
{
    // reserved '111' in front of a 13-bit PID
    return WriteBE16(p, (UINT16)(0xE000 | (pid & 0x1FFF)));
}

UINT8* PutSectionHeader(UINT8* p, UINT8 tableId, unsigned int sectionLength,
                        UINT16 idExtension, UINT8 version)
{
    *p++ = 0x00;  // pointer_field: the section starts right after it
    *p++ = tableId;
    p = WriteBE16(p, (UINT16)((SECTION_SYNTAX_BITS << 8) | (sectionLength & 0x0FFF)));
    p = WriteBE16(p, idExtension);
    *p++ = VersionByte(version);
    *p++ = 0x00;  // section_number
    *p++ = 0x00;  // last_section_number
    return p;
}

// Closes the section that starts at section[1] (its table_id) and ends just
// before p with its CRC; returns the position after the CRC.
UINT8* PutSectionCrc(UINT8* section, UINT8* p)
{
    crc32_calc((char*)section + 1, (int)(p - section - 1), (char*)p);
    return p + CRC_SIZE;
}

// Places pointer_field..CRC (szSection bytes) at the end of a packet whose
// adaptation field pads everything in front of it.
void PutSectionPacket(UINT8* packet, UINT16 pid, const UINT8* section, unsigned int szSection)
{
    unsigned int szPadd = PSI_MAX_SECTION_BYTES - szSection;
    UINT8* p = packet;
    *p++ = TS_SYNC_BYTE;
    p = WriteBE16(p, (UINT16)((TS_PUSI << 8) | (pid & 0x1FFF)));
    *p++ = TS_AF_AND_PAYLOAD;
    *p++ = (UINT8)(szPadd + 1);  // adaptation_field_length: flags + stuffing
    *p++ = 0x00;                 // no adaptation flags
    memset(p, STUFFING_BYTE, szPadd);
    memcpy(packet + TS_PACKET_SIZE - szSection, section, szSection);
}

}  // namespace

void gen_crc32_table()
{
    for (UINT32 i = 0; i < 256; i++) {
        UINT32 reg = i << 24;
        for (int bit = 0; bit < 8; bit++) {
            reg = (reg & 0x80000000) ? (reg << 1) ^ CRC32_POLYNOMIAL : (reg << 1);
        }
        crc_32_table[i] = reg;
    }
}

unsigned int update_crc_32_block(unsigned int crc, char* data_block_ptr, int data_block_size)
{
    const UINT8* p = (const UINT8*)data_block_ptr;
    for (int i = 0; i < data_block_size; i++) {
        crc = (crc << 8) ^ crc_32_table[((crc >> 24) ^ p[i]) & 0xFF];
    }
    return crc;
}

void crc32_calc(char* data, int size, char* crc)
{
    UINT32 reg = update_crc_32_block(CRC32_PRESET, data, size);
    WriteBE32((UINT8*)crc, reg);
}

void getPAT(unsigned char* pat_buff)
{
    gen_crc32_table();

    UINT8 section[PSI_MAX_SECTION_BYTES];
    UINT8* p = PutSectionHeader(section, TABLE_ID_PAT, PAT_SECTION_LENGTH,
                                TS_TRANSPORT_STREAM_ID, PAT_VERSION);
    p = WriteBE16(p, TS_PROGRAM_NUMBER);
    p = PutReservedPid(p, PID_PMT);
    p = PutSectionCrc(section, p);

    PutSectionPacket(pat_buff, PID_PAT, section, (unsigned int)(p - section));
}

namespace {

UINT8* PutEsEntry(UINT8* p, UINT8 streamType, UINT16 pid)
{
    *p++ = streamType;
    p = PutReservedPid(p, pid);
    return WriteBE16(p, 0xF000);  // reserved '1111', ES_info_length 0
}

}  // namespace

void getPMT(unsigned char* pmt_buff, unsigned char Video, unsigned char Audio, unsigned char Private)
{
    unsigned int stream_info_len = 0;
    if (Video) stream_info_len += PMT_ES_ENTRY_SIZE;
    if (Audio) stream_info_len += PMT_ES_ENTRY_SIZE;
    if (Private) stream_info_len += PMT_ES_ENTRY_SIZE;

    UINT8 section[PMT_SCRATCH_SIZE];
    UINT8* p = PutSectionHeader(section, TABLE_ID_PMT, PMT_FIXED_SECTION_LENGTH + stream_info_len,
                                TS_PROGRAM_NUMBER, PMT_VERSION);
    p = PutReservedPid(p, Video ? PID_VIDEO : PID_AUDIO);  // PCR_PID
    p = WriteBE16(p, 0xF000);  // reserved '1111', program_info_length 0
    if (Video) p = PutEsEntry(p, Video, PID_VIDEO);
    if (Audio) p = PutEsEntry(p, Audio, PID_AUDIO);
    if (Private) p = PutEsEntry(p, STREAM_TYPE_PRIVATE_PES, PID_PRIVATE);
    p = PutSectionCrc(section, p);

    PutSectionPacket(pmt_buff, PID_PMT, section, (unsigned int)(p - section));
}

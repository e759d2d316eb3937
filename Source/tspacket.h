// MPEG-2 transport packet geometry (ISO/IEC 13818-1, 2.4.3.2), shared by the
// multiplexer, its PSI tables and the RTP carriage of transport packets.
#ifndef VOZIREV_TSPACKET_H
#define VOZIREV_TSPACKET_H

#include "Types.h"

const unsigned int TS_PACKET_SIZE = 188;
const UINT8 TS_SYNC_BYTE = 0x47;

#endif

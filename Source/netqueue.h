// A connection's output: the bytes waiting for a non-blocking socket, in a
// ring of fixed capacity. Whole messages (a response, an interleaved RTP
// packet) go in or are refused; nothing grows with what a client does, and
// a client that stops reading only fills its own queue.
#ifndef VOZIREV_NETQUEUE_H
#define VOZIREV_NETQUEUE_H

#include <sys/uio.h>

#include "Types.h"

// The queue of a connection that carries interleaved RTP (an RTSP
// client's, the publisher's): about 2 s of the largest stream the encoder
// makes (4 Mbit/s video and 128 kbit/s audio).
const UINT32 NET_QUEUE_STREAM_SIZE = 1024 * 1024;

struct tNetQueue {
    UINT8* pucData;
    UINT32 ulCapacity;
    UINT32 ulHead;          // first byte waiting
    UINT32 ulUsed;          // bytes waiting
    INT64 llFullSinceMs;    // a message was refused at this time and nothing has gone out since; 0 otherwise
    UINT64 ullRefused;      // messages refused
    UINT64 ullSentBytes;
};

// false when the memory cannot be had.
bool NetQueueInit(tNetQueue* pQueue, UINT32 ulCapacity);
void NetQueueFree(tNetQueue* pQueue);
// Appends the iCount pieces as one message; false, with nothing appended,
// when they do not fit in what is free.
bool NetQueueAppend(tNetQueue* pQueue, const struct iovec* pPieces, int iCount, INT64 llNowMs);
// Sends what the socket takes without blocking. 0 (bytes may be left), -1
// when the connection has failed.
int NetQueueSend(tNetQueue* pQueue, int fd);
UINT32 NetQueueRoom(const tNetQueue* pQueue);
bool NetQueueEmpty(const tNetQueue* pQueue);

#endif

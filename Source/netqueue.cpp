// Bounded output queues of the connections.
#include "netqueue.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>

bool NetQueueInit(tNetQueue* pQueue, UINT32 ulCapacity)
{
    memset(pQueue, 0, sizeof(*pQueue));
    pQueue->pucData = new (std::nothrow) UINT8[ulCapacity];
    if (pQueue->pucData == nullptr)
        return false;
    pQueue->ulCapacity = ulCapacity;
    return true;
}

void NetQueueFree(tNetQueue* pQueue)
{
    delete[] pQueue->pucData;
    memset(pQueue, 0, sizeof(*pQueue));
}

UINT32 NetQueueRoom(const tNetQueue* pQueue)
{
    return pQueue->ulCapacity - pQueue->ulUsed;
}

bool NetQueueEmpty(const tNetQueue* pQueue)
{
    return pQueue->ulUsed == 0;
}

bool NetQueueAppend(tNetQueue* pQueue, const struct iovec* pPieces, int iCount, INT64 llNowMs)
{
    UINT64 size = 0;
    for (int i = 0; i < iCount; i++)
        size += pPieces[i].iov_len;
    if (size > NetQueueRoom(pQueue)) {
        pQueue->ullRefused++;
        if (pQueue->llFullSinceMs == 0)
            pQueue->llFullSinceMs = llNowMs > 0 ? llNowMs : 1;
        return false;
    }
    UINT32 tail = (pQueue->ulHead + pQueue->ulUsed) % pQueue->ulCapacity;
    for (int i = 0; i < iCount; i++) {
        const UINT8* p = static_cast<const UINT8*>(pPieces[i].iov_base);
        UINT32 left = (UINT32)pPieces[i].iov_len;
        while (left > 0) {
            UINT32 run = pQueue->ulCapacity - tail < left ? pQueue->ulCapacity - tail : left;
            memcpy(pQueue->pucData + tail, p, run);
            tail = (tail + run) % pQueue->ulCapacity;
            p += run;
            left -= run;
        }
    }
    pQueue->ulUsed += (UINT32)size;
    return true;
}

// The waiting bytes in at most two runs (the ring may wrap).
int NetQueueSend(tNetQueue* pQueue, int fd)
{
    while (pQueue->ulUsed > 0) {
        struct iovec runs[2];
        UINT32 first = pQueue->ulCapacity - pQueue->ulHead;
        if (first > pQueue->ulUsed)
            first = pQueue->ulUsed;
        runs[0] = {pQueue->pucData + pQueue->ulHead, first};
        runs[1] = {pQueue->pucData, pQueue->ulUsed - first};
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = runs;
        msg.msg_iovlen = runs[1].iov_len > 0 ? 2 : 1;
        ssize_t sent = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        pQueue->ulHead = (pQueue->ulHead + (UINT32)sent) % pQueue->ulCapacity;
        pQueue->ulUsed -= (UINT32)sent;
        pQueue->ullSentBytes += (UINT64)sent;
        pQueue->llFullSinceMs = 0;
        // An empty ring starts over at its front, so that a client that
        // keeps up touches only the memory its bursts need.
        if (pQueue->ulUsed == 0)
            pQueue->ulHead = 0;
        if (sent == 0)
            return 0;
    }
    return 0;
}

// The publisher: the run's H.264 + AAC pushed to an RTSP server that takes
// publishers (ANNOUNCE, SETUP mode=record, RECORD: RFC 2326, 10.11, 12.39).
//
//   OPTIONS   what the server speaks (GET_PARAMETER for the keep-alive)
//   ANNOUNCE  the session description DESCRIBE serves (sdp.h SdpForRtsp),
//             once the encoder's parameter sets are known
//   SETUP     per medium, mode=record: TCP interleaved on the connection
//             (-U 0) or UDP from the stream's own port pair (-U 1)
//   RECORD    then the packets through the emit step (rtpsession.h), with
//             their RTCP sender reports; video from the next IDR picture
//   keep-alive  GET_PARAMETER (or OPTIONS) at half the session's timeout
//
// A 401 is answered with Basic or Digest (auth.h) from the URL's user and
// password, or the credentials file's password for the URL's user.
//
// Everything runs in the event loop (netloop.h) on the capture's thread
// and nothing waits: the connect() is non-blocking, every request has an
// answer deadline (PUBLISH_ANSWER_MS, a server that misses it counts as
// gone), the connection's output queue is bounded (NET_QUEUE_STREAM_SIZE:
// a packet it cannot take is dropped and the video waits for its next IDR
// picture, as for an RTSP client). When the server goes away, refuses or
// the link drops, the publisher connects again for as long as the run
// lasts, after a pause that doubles from PUBLISH_RETRY_FIRST_MS up to
// PUBLISH_RETRY_MAX_MS; it says so once per outage (again only when the
// reason changes) and once when publishing is back.
#ifndef VOZIREV_PUBLISHER_H
#define VOZIREV_PUBLISHER_H

#include "Types.h"
#include "captureparams.h"

const INT64 PUBLISH_ANSWER_MS = 10000;
const INT64 PUBLISH_RETRY_FIRST_MS = 1000;
const INT64 PUBLISH_RETRY_MAX_MS = 30000;
// At the end of the run, what is queued (the BYEs, TEARDOWN) may take this
// long to go.
const INT64 PUBLISH_CLOSE_FLUSH_MS = 500;

// Starts publishing when the run asks for it (-P): resolves the host once
// (here, before the encoder starts: the loop never resolves), takes the
// password, and connects from the event loop's timer. 0 (also when not
// asked for), -1 when the run must end (the reason is printed).
int PublisherOpen(const stInputParameters* pInput);
bool PublisherActive();
// Ends the publication (BYE, TEARDOWN) and closes the connection.
void PublisherClose();

#endif

// Device sample reader: turns the byte stream of the capture device's node
// into whole QBox samples.
//
// The node is read in requests of exactly 512 bytes. A box begins at the
// start of a read and no read carries bytes of two boxes; a chunk that does
// not start with a usable header, a chunk longer than its box, a box overrun
// by its last chunk, and a box too large for the caller's buffer are dropped
// silently and reading goes on. After start-up and after every stop, boxes
// are skipped until one qualifies as the first of an encoding run (sample
// flag bit 0 set, at most one chunk long).
//
// A sample is delivered whole (pass-through) or converted in place into its
// elementary form: the AAC frame, the H.264 NAL units in start-code form, or
// the closed-caption bytes.
//
// Reading and waiting: the node is opened non-blocking (O_NONBLOCK). The
// reader reads while the device has data and waits only when it has none,
// so a box whose chunks are queued costs one read per chunk and no wait.
// Whether the driver honours O_NONBLOCK is not known, and both kinds are
// read correctly; the reader learns which one it has from the first read
// that finds the device empty, once per descriptor (ReaderDeviceOpened):
//   - a driver that honours it answers EAGAIN: from then on the reader
//     reads first and, on EAGAIN, waits until the node is readable;
//   - a driver that ignores it blocks in that read. Until the kind is
//     known, a timer of the reader fires every READER_POLL_SLICE_MS while
//     a sample is read (the real-time signal SIGRTMIN + 3, its handler
//     installed without SA_RESTART), so such a read fails with EINTR
//     within a slice; from then on the reader waits until the node is
//     readable before every read, so that it is never blocked in read().
//     (Without a timer the reader starts that way.)
// Every wait goes through the wait hook (SetReaderWait), for at most
// READER_POLL_SLICE_MS at a time.
//
// Stopping: *pReaderStopRequest is checked before every header read and
// before every wait, inside a box too. A program whose signal handler uses
// SA_RESTART points pReaderStopRequest at its stop flag, so that a silent
// device cannot hold the capture loop for more than a slice. Inside a box a
// stop leaves the rest of the box READER_STOP_GRACE_MS to arrive: a box
// whose chunks keep coming is completed, one the device leaves unfinished
// is dropped.
#ifndef VOZIREV_DEVICEREADER_H
#define VOZIREV_DEVICEREADER_H

#include <csignal>

#include "QBox.h"

// Every read of the node asks for exactly this many bytes.
const unsigned int QBOX_CHUNK_SIZE = 512;
// The sample buffer callers hand the reader: the capture run allocates one
// of this size and reuses it for every sample.
const unsigned int SAMPLE_BUFFER_SIZE = 400000;
// The last read of a box may fill a whole chunk from the last byte of the
// box onwards, so a box can take the buffer less 511 bytes at most; larger
// boxes are dropped unread.
const unsigned int READER_MAX_QBOX_SIZE = SAMPLE_BUFFER_SIZE - (QBOX_CHUNK_SIZE - 1);
// The first box of an encoding run fits in one read.
const unsigned int FIRST_QBOX_MAX_SIZE = QBOX_CHUNK_SIZE;

// Sample type codes returned by ReadQBox through its type argument (besides
// QBOX_TYPE for a whole box).
const unsigned int SAMPLE_TYPE_AUDIO = 1;
const unsigned int SAMPLE_TYPE_VIDEO = 2;
const unsigned int SAMPLE_TYPE_CAPTION = 3;
const unsigned int SAMPLE_TYPE_AUDIO_SYNC = 17;
const unsigned int SAMPLE_TYPE_VIDEO_SYNC = 18;

// Closed-caption packs: 12 bytes; a pack whose first three bytes read
// 00 FF FF (ancillary-data flag) carries two caption bytes at offsets 8, 9.
const unsigned int szCCPACK = 12;
const unsigned int ANCsCode = 0x00FFFF;
const unsigned int CC_PACK_DATA_OFFSET = 8;
const unsigned int CC_BYTES_PER_PACK = 2;
// Caption bytes collected per sample; packs beyond this are ignored.
const unsigned int CC_DATA_SIZE = 64;

// Results of IsValidQBoxHeader.
const int QBOX_HEADER_OK = 1;
const int QBOX_HEADER_INVALID = -2;  // null data, wrong type, size 24 or less
const int QBOX_HEADER_ZERO_SIZE = -3;

// Results of ReadDevice.
const int READ_DEVICE_DATA = 1;
const int READ_DEVICE_EMPTY = 0;       // a read that returned no byte
const int READ_DEVICE_FAILED = -1;
const int READ_DEVICE_NOT_READY = 2;   // EAGAIN: nothing to read yet
const int READ_DEVICE_INTERRUPTED = 3; // EINTR: a signal ended the read

// Pause before repeating a read that returned nothing while a header is
// sought, and the longest single wait for data.
const int READER_EMPTY_READ_PAUSE_MS = 10;
const int READER_POLL_SLICE_MS = 100;
// After a stop, how long the chunks of the box being read may still take.
const int READER_STOP_GRACE_MS = 300;
// The signal of the reader's guard timer: SIGRTMIN plus this.
const int READER_GUARD_SIGNAL_OFFSET = 3;

// Waits until fd is readable or iTimeoutMs passes: > 0 readable (or in
// error), 0 timed out, < 0 interrupted. The reader passes fd < 0 for a
// pause with nothing to watch.
typedef int (*tDeviceWait)(int fd, int iTimeoutMs);
void SetReaderWait(tDeviceWait pWait);  // nullptr: poll() on fd alone

// True while the next accepted box must be the first of an encoding run;
// cleared by the reader at that box, set again by VLStop.
extern bool firstQboxFrmDevice;

// Optional stop request (null by default): when it points at a non-zero
// value while the reader waits for data, ReadOneQBox returns false.
extern volatile sig_atomic_t* pReaderStopRequest;

// A descriptor newly opened on a device node: what the reader learned of the
// driver behind the one before is forgotten.
void ReaderDeviceOpened(int hObject);

// Reads one sample from descriptor hObject into pucQBoxbuffer (at least
// SAMPLE_BUFFER_SIZE bytes). type = QBOX_TYPE on input asks for the whole box,
// any other value for the converted payload. Returns 1 and sets length, type
// and TimeStamp (the box's ulSampleCts) when a sample was delivered; returns
// 0 and changes none of them otherwise.
unsigned int ReadQBox(int hObject, unsigned char* pucQBoxbuffer, int& length,
                      unsigned int& type, unsigned int& TimeStamp);

// Assembles one whole box at the start of the buffer and decodes its header
// into qBoxHeader. False when a read failed, a read returned nothing in the
// middle of a box, or a stop was requested before a header read or a wait.
bool ReadOneQBox(unsigned char* pucQBoxbuffer, QBox* qBoxHeader);

// One read of up to QBOX_CHUNK_SIZE bytes from the current device:
// READ_DEVICE_DATA with ulLength bytes, else READ_DEVICE_EMPTY,
// READ_DEVICE_NOT_READY, READ_DEVICE_INTERRUPTED or READ_DEVICE_FAILED with
// ulLength 0.
int ReadDevice(unsigned char* pcQBoxData, unsigned int& ulLength);

// Decodes the header at pusReadData into qBoxHeader: QBOX_HEADER_OK for a
// usable box, QBOX_HEADER_ZERO_SIZE for size 0, QBOX_HEADER_INVALID for a
// null pointer, another box type or a size of 24 or less.
int IsValidQBoxHeader(unsigned char* pusReadData, QBox* qBoxHeader);

#endif

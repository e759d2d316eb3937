// The device sample reader (ReadQBox) over arbitrary chunk sequences: every
// chunk is one datagram of a socket pair, so that each read of the reader
// returns exactly one chunk, as the device node does, and the chunk
// boundaries are fuzzed along with the bytes.
//
// The pair is SOCK_SEQPACKET and the reading end is non-blocking, as the node
// is opened: when the chunks run out, a read answers EAGAIN and the reader
// waits. The target's wait hook takes that wait for the end: it requests a
// stop and ends the device (its reads return nothing from then on), so the
// reader gives up at once instead of granting a box it was assembling the
// stop's grace; that box is dropped, as when a device falls silent. Every sample
// delivered is compared with a model of the chunk rules of devicereader.h.
//
// Input: byte 0 holds options: bit 0 the first-box rule at start
// (firstQboxFrmDevice), bits 1..7 which reads ask for converted samples
// (read i uses bit 1 + i % 7). Then chunk records: a 2-byte big-endian word
// w; with the top 6 bits of w all set it stands for (w & 0x3F) + 1 chunks
// of 512 bytes each holding the next input byte, so that boxes of many
// chunks cost little input; otherwise the chunk is (w % 512) + 1 bytes of
// the input that follow. At most 64 chunks are sent: every chunk costs a
// send and a read, and the speed of the target is the number of chunks per
// input. (A box that fills the reader's buffer to its last byte
// is a case of its own in tests/unit/test_devicereader.cpp.)
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>

#include "devicereader.h"
#include "fuzz_common.h"

namespace {

const uint16_t REPEAT_FLAG = 0xFC00;
const uint16_t REPEAT_COUNT_MASK = 0x3F;
const size_t MAX_CHUNKS = 64;
const int SEND_BUFFER = 64 << 20;

// Heap block of exactly the size the reader may use.
unsigned char* sampleBuffer = nullptr;

// Every chunk is queued before the reader starts: a wait means they have run
// out, and the device ends (the sending end shut, reads return nothing).
volatile sig_atomic_t chunksRunOut = 0;
int deviceSender = -1;
int EndAtFirstWait(int fd, int)
{
    chunksRunOut = 1;
    if (fd < 0)
        return 0;
    shutdown(deviceSender, SHUT_WR);
    return 1;
}

struct ModelBox {
    FuzzBytes bytes;
};

// The chunk rules of devicereader.h: which boxes come out, in order.
std::deque<ModelBox> Model(const std::vector<FuzzBytes>& chunks, bool firstRule)
{
    std::deque<ModelBox> out;
    bool collecting = false;
    FuzzBytes box;
    long pending = 0;
    for (const FuzzBytes& chunk : chunks) {
        if (!collecting) {
            if (chunk.size() < QBOX_HEADER_SIZE)
                continue;
            QBox h;
            DecodeQBoxHeader(chunk.data(), &h);
            if (!IsUsableQBox(&h) || h.ulBoxSize > READER_MAX_QBOX_SIZE)
                continue;
            if (firstRule) {
                if (h.ulBoxSize > FIRST_QBOX_MAX_SIZE || !(h.ulSampleFlags & QBOX_SAMPLE_FLAG_SYNC))
                    continue;
                firstRule = false;
            }
            box = chunk;
            pending = (long)h.ulBoxSize - (long)chunk.size();
        } else {
            box.insert(box.end(), chunk.begin(), chunk.end());
            pending -= (long)chunk.size();
        }
        collecting = pending > 0;
        if (pending == 0)
            out.push_back(ModelBox{box});
    }
    return out;
}

void CheckConverted(const FuzzBytes& box, int length, unsigned int type)
{
    FUZZ_CHECK(length >= 0 && (unsigned)length <= SAMPLE_BUFFER_SIZE);
    QBox h;
    DecodeQBoxHeader(box.data(), &h);
    size_t payload = box.size() - QBOX_HEADER_SIZE;
    bool sync = (h.ulSampleFlags & QBOX_SAMPLE_FLAG_SYNC) != 0;
    switch (h.usSampleStreamType) {
    case QBOX_STREAM_AUDIO:
        FUZZ_CHECK(type == (sync ? SAMPLE_TYPE_AUDIO_SYNC : SAMPLE_TYPE_AUDIO));
        FUZZ_CHECK((size_t)length == payload);
        FUZZ_CHECK(memcmp(sampleBuffer, box.data() + QBOX_HEADER_SIZE, payload) == 0);
        break;
    case QBOX_STREAM_VIDEO:
        FUZZ_CHECK(type == (sync ? SAMPLE_TYPE_VIDEO_SYNC : SAMPLE_TYPE_VIDEO));
        FUZZ_CHECK((size_t)length <= payload);
        break;
    case QBOX_STREAM_CAPTION:
        FUZZ_CHECK(type == SAMPLE_TYPE_CAPTION);
        FUZZ_CHECK((unsigned)length <= CC_DATA_SIZE && length % 2 == 0);
        break;
    default:
        FUZZ_CHECK(type == QBOX_TYPE && (size_t)length == box.size());
        FUZZ_CHECK(memcmp(sampleBuffer, box.data(), box.size()) == 0);
        break;
    }
}

std::vector<FuzzBytes> ReadChunks(FuzzCursor& in)
{
    std::vector<FuzzBytes> chunks;
    while (!in.Empty() && chunks.size() < MAX_CHUNKS) {
        uint16_t w = in.Word();
        if ((w & REPEAT_FLAG) == REPEAT_FLAG) {
            unsigned count = (w & REPEAT_COUNT_MASK) + 1u;
            FuzzBytes chunk(QBOX_CHUNK_SIZE, in.Byte());
            for (unsigned i = 0; i < count && chunks.size() < MAX_CHUNKS; i++)
                chunks.push_back(chunk);
        } else {
            FuzzBytes chunk = in.Take(w % QBOX_CHUNK_SIZE + 1u);
            if (chunk.empty())
                break;
            chunks.push_back(chunk);
        }
    }
    return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sampleBuffer = new unsigned char[SAMPLE_BUFFER_SIZE];
    SetReaderWait(EndAtFirstWait);
    pReaderStopRequest = &chunksRunOut;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzCursor in(data, size);
    uint8_t options = in.Byte();
    std::vector<FuzzBytes> chunks = ReadChunks(in);

    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds) == 0);
    deviceSender = fds[1];
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUFFORCE, &SEND_BUFFER, sizeof(SEND_BUFFER));
    size_t queued = 0;
    for (; queued < chunks.size(); queued++) {
        if (send(fds[1], chunks[queued].data(), chunks[queued].size(), 0) != (ssize_t)chunks[queued].size())
            break;  // socket buffer full: the rest is left out
    }
    chunks.resize(queued);
    chunksRunOut = 0;

    bool firstRule = (options & 1) != 0;
    std::deque<ModelBox> expected = Model(chunks, firstRule);
    firstQboxFrmDevice = firstRule;
    for (unsigned call = 0;; call++) {
        bool convert = (options >> (1 + call % 7)) & 1;
        int length = -7;
        unsigned int type = convert ? SAMPLE_TYPE_VIDEO : QBOX_TYPE;
        unsigned int timeStamp = 77;
        unsigned int got = ReadQBox(fds[0], sampleBuffer, length, type, timeStamp);
        if (got == 0) {
            FUZZ_CHECK(length == -7 && timeStamp == 77);
            FUZZ_CHECK(type == (convert ? SAMPLE_TYPE_VIDEO : QBOX_TYPE));
            break;
        }
        FUZZ_CHECK(got == 1);
        FUZZ_CHECK(!expected.empty());
        const FuzzBytes& box = expected.front().bytes;
        FUZZ_CHECK(timeStamp == ReadBE32(box.data() + 20));
        if (convert) {
            CheckConverted(box, length, type);
        } else {
            FUZZ_CHECK(type == QBOX_TYPE && (size_t)length == box.size());
            FUZZ_CHECK(memcmp(sampleBuffer, box.data(), box.size()) == 0);
        }
        expected.pop_front();
    }
    FUZZ_CHECK(expected.empty());
    close(fds[0]);
    close(fds[1]);
    return 0;
}

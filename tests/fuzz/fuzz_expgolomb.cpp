// CExpGolomb over arbitrary NAL unit payloads, checked read by read against a
// plain reference reader: the emulation-prevention bytes are removed first
// (ISO/IEC 14496-10, 7.4.1), then bits, ue(v) and se(v) (9.1) are read from
// the result.
//
// Input: byte 0 gives the number k (0..15) of operation bytes that follow;
// the rest is the NAL unit. The operations are applied in a cycle until the
// input runs out. An operation byte: low 2 bits 0 ReadBits(n) with
// n = bits 2..7 (0..63, above 32 is refused), 1 GetUVLC, 2 GetSVLC,
// 3 IsEmpty.
#include <cstddef>
#include <cstdint>

#include "CExpGolomb.h"
#include "fuzz_common.h"

namespace {

const unsigned MAX_OPERATIONS = 4096;

class ReferenceReader {
public:
    ReferenceReader(const uint8_t* nal, size_t size)
    {
        unsigned zeros = 0;
        for (size_t i = 0; i < size; i++) {
            if (zeros >= 2 && nal[i] == 0x03) {
                zeros = 0;
                continue;
            }
            rbsp_.push_back(nal[i]);
            zeros = nal[i] == 0 ? zeros + 1 : 0;
        }
    }
    uint64_t BitsLeft() const { return rbsp_.size() * 8ull - pos_; }
    // False when fewer than n bits are left (nothing is consumed then).
    bool Bits(unsigned n, uint32_t& value)
    {
        if (n > BitsLeft())
            return false;
        uint64_t v = 0;
        for (unsigned i = 0; i < n; i++, pos_++)
            v = (v << 1) | ((rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
        value = (uint32_t)v;
        return true;
    }
    bool Ue(uint32_t& value)
    {
        unsigned zeros = 0;
        uint32_t bit = 0;
        for (;;) {
            if (!Bits(1, bit))
                return false;
            if (bit)
                break;
            if (++zeros > 31)
                return false;
        }
        uint32_t info = 0;
        if (!Bits(zeros, info))
            return false;
        value = (uint32_t)((1ull << zeros) - 1 + info);
        return true;
    }

private:
    FuzzBytes rbsp_;
    uint64_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t nOps = data[0] & 0x0F;
    if (1 + nOps > size)
        return 0;
    const uint8_t* ops = data + 1;
    // The NAL unit in a heap block of its own size: ASan sees any over-read.
    FuzzBytes nal(data + 1 + nOps, data + size);
    const unsigned char* pNal = nal.empty() ? nullptr : nal.data();
    unsigned int cNal = (unsigned int)nal.size();
    if (pNal == nullptr)
        pNal = (const unsigned char*)"";  // FillBuffer must not read a byte of an empty unit

    CExpGolomb reader;
    reader.FillBuffer(pNal, cNal);
    ReferenceReader ref(nal.data(), nal.size());
    if (nOps == 0)
        return 0;

    for (unsigned i = 0; i < MAX_OPERATIONS; i++) {
        uint8_t op = ops[i % nOps];
        switch (op & 3) {
        case 0: {
            UINT8 n = op >> 2;
            UINT32 got = reader.ReadBits(n);
            uint32_t want = 0;
            if (n > 32) {
                FUZZ_CHECK(got == EXPGOLOMB_END_OF_INPUT);
                break;  // refused, nothing consumed
            }
            if (!ref.Bits(n, want)) {
                FUZZ_CHECK(got == EXPGOLOMB_END_OF_INPUT);
                return 0;  // what follows a failed read is not defined
            }
            FUZZ_CHECK(got == want);
            break;
        }
        case 1: {
            UINT32 got = 0, want = 0;
            int ok = reader.GetUVLC(got);
            if (!ref.Ue(want)) {
                FUZZ_CHECK(ok == 0);
                return 0;
            }
            FUZZ_CHECK(ok == 1 && got == want);
            break;
        }
        case 2: {
            INT32 got = 0;
            uint32_t k = 0;
            int ok = reader.GetSVLC(got);
            if (!ref.Ue(k)) {
                FUZZ_CHECK(ok == 0);
                return 0;
            }
            int64_t want = (k & 1) ? (int64_t)(k >> 1) + 1 : -(int64_t)(k >> 1);
            FUZZ_CHECK(ok == 1 && (int64_t)got == want);
            break;
        }
        default:
            reader.IsEmpty();
            break;
        }
        if (ref.BitsLeft() == 0)
            return 0;
    }
    return 0;
}

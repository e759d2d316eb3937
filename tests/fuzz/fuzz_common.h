// Pieces shared by the libFuzzer targets: cutting the fuzz input into
// records, a scratch directory on tmpfs, a loopback UDP receiver that the
// streamers send to, and the check that stops the fuzzer on a broken
// invariant.
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <arpa/inet.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Rtp.h"

typedef std::vector<uint8_t> FuzzBytes;

// A broken invariant is a finding: say which and abort so that libFuzzer
// saves the input.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

// Reads the fuzz input front to back. Records are a 2-byte big-endian length
// and that many bytes (fewer when the input ends first).
class FuzzCursor {
public:
    FuzzCursor(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    size_t Left() const { return (size_t)(end_ - p_); }
    bool Empty() const { return p_ >= end_; }
    uint8_t Byte()
    {
        return p_ < end_ ? *p_++ : 0;
    }
    uint16_t Word()
    {
        uint16_t hi = Byte();
        return (uint16_t)((hi << 8) | Byte());
    }
    uint32_t Long()
    {
        uint32_t hi = Word();
        return (hi << 16) | Word();
    }
    // Up to n bytes, as a vector of exactly the size taken (so that the heap
    // block ends where the data ends and ASan sees any read past it).
    FuzzBytes Take(size_t n)
    {
        if (n > Left())
            n = Left();
        FuzzBytes out(p_, p_ + n);
        p_ += n;
        return out;
    }
    FuzzBytes Record() { return Take(Word()); }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Makes a private directory on tmpfs and enters it: the MP4 writer spools to
// fixed names in the current directory and the configuration parser reads a
// file, and neither must touch the work tree or a real disk.
// Removed with its files when the fuzzer exits.
inline std::string& ScratchDirectory()
{
    static std::string path;
    return path;
}

inline int RemoveScratchEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

inline void RemoveScratchDirectory()
{
    if (!ScratchDirectory().empty())
        nftw(ScratchDirectory().c_str(), RemoveScratchEntry, 8, FTW_DEPTH | FTW_PHYS);
}

inline void EnterScratchDirectory(const char* tag)
{
    std::string templ = std::string("/dev/shm/vozirev-fuzz-") + tag + "-XXXXXX";
    std::vector<char> path(templ.begin(), templ.end());
    path.push_back('\0');
    if (mkdtemp(path.data()) == nullptr || chdir(path.data()) != 0) {
        perror("fuzz scratch directory");
        abort();
    }
    ScratchDirectory() = path.data();
    atexit(RemoveScratchDirectory);
}

// A UDP socket bound to an ephemeral loopback port; the streamers send to it
// and the target checks what arrives.
class FuzzReceiver {
public:
    FuzzReceiver()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        int rcvbuf = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf));
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || bind(fd_, (sockaddr*)&addr, sizeof(addr)) != 0) {
            perror("fuzz receiver");
            abort();
        }
        socklen_t len = sizeof(addr);
        getsockname(fd_, (sockaddr*)&addr, &len);
        port_ = ntohs(addr.sin_port);
    }
    unsigned short Port() const { return port_; }
    // Calls check(bytes, size) for every datagram waiting; returns how many.
    // Loopback delivery is synchronous, so all that was sent is there.
    template <typename Check>
    unsigned Drain(Check check)
    {
        static uint8_t buf[65536];
        unsigned n = 0;
        for (;;) {
            ssize_t got = recv(fd_, buf, sizeof(buf), 0);
            if (got < 0)
                return n;
            check(buf, (size_t)got);
            n++;
        }
    }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// The streamers' sockets, opened once per process and aimed at a loopback
// receiver (video and audio both to its port).
inline FuzzReceiver* OpenStreamingToReceiver()
{
    FuzzReceiver* receiver = new FuzzReceiver();
    char loopback[] = "127.0.0.1";
    if (!RTPOpen(receiver->Port(), receiver->Port(), loopback, 1)) {
        fprintf(stderr, "cannot open the streaming sockets\n");
        abort();
    }
    return receiver;
}

#endif

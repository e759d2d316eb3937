// Status LEDs: the digital I/O registers are mapped from physical memory and
// an LED is switched by reading the input register and writing the changed
// value to the output register. The LEDs are active low: a set bit turns the
// LED off.
#include "dio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

const off64_t DIO_BASE_ADDRESS = 0xE8000000;
const unsigned int DIO_IN_OFFSET = 4;   // input register P_IN_DIO
const unsigned int DIO_OUT_OFFSET = 8;  // output register P_OUT_DIO

const int LED_COUNT = 3;
const int LED_LINES[LED_COUNT] = {LED_SERVER_CONN, LED_CHANNEL_1, LED_CHANNEL_2};

int fd = -1;
void* start = MAP_FAILED;
volatile uint32_t* P_IN_DIO = nullptr;
volatile uint32_t* P_OUT_DIO = nullptr;
int8_t cur_status[LED_COUNT] = {0, 0, 0};

// Index of line LED in cur_status, or -1 when it is not one of the LEDs.
int LedIndex(int LED)
{
    for (int i = 0; i < LED_COUNT; ++i)
        if (LED_LINES[i] == LED)
            return i;
    return -1;
}

}  // namespace

const char* dio_mem_path = "/dev/mem";

int initDIO()
{
    if (P_OUT_DIO)
        terminateDIO();  // map afresh rather than leak the earlier mapping

    fd = open(dio_mem_path, O_RDWR | O_SYNC);
    if (fd < 0)
        return -1;

    start = mmap64(nullptr, getpagesize(), PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                   DIO_BASE_ADDRESS);
    if (start == MAP_FAILED) {
        int err = errno;
        close(fd);
        fd = -1;
        printf("\nmmap failed with error : %d\n", err);
        return -1;
    }

    P_IN_DIO = (volatile uint32_t*)((volatile uint8_t*)start + DIO_IN_OFFSET);
    P_OUT_DIO = (volatile uint32_t*)((volatile uint8_t*)start + DIO_OUT_OFFSET);
    return 0;
}

void switch_LED(int LED, int LED_status)
{
    int index = LedIndex(LED);
    if (index < 0 || !P_OUT_DIO)
        return;
    cur_status[index] = (int8_t)LED_status;

    uint32_t mask = 1u << (LED - 1);
    uint32_t value = *P_IN_DIO;
    if (LED_status)
        value &= ~mask;
    else
        value |= mask;
    *P_OUT_DIO = value;
}

int get_led_status(int LED)
{
    int index = LedIndex(LED);
    return index < 0 ? 0 : cur_status[index];
}

void terminateDIO()
{
    if (start != MAP_FAILED)
        munmap(start, getpagesize());
    if (fd >= 0)
        close(fd);
    start = MAP_FAILED;
    fd = -1;
    P_IN_DIO = nullptr;
    P_OUT_DIO = nullptr;
}

// Status LEDs on the board's memory-mapped digital I/O block.
#ifndef VOZIREV_DIO_H
#define VOZIREV_DIO_H

// Line numbers of the three status LEDs.
const int LED_SERVER_CONN = 11;
const int LED_CHANNEL_1 = 13;
const int LED_CHANNEL_2 = 15;

extern "C" {

// The physical-memory device the register block is mapped from. Only a test
// points it elsewhere (a regular file large enough for the block's offset).
extern const char* dio_mem_path;

// Maps the register block; 0 on success, -1 on failure.
int initDIO();
// Sets LED `LED` (11, 13 or 15) on (non-zero) or off (0). Other line
// numbers, and calls without a successful initDIO, change nothing.
void switch_LED(int LED, int LED_status);
// The status last set for `LED` by switch_LED; 0 if never set or not an LED.
int get_led_status(int LED);
// Removes the mapping and closes the device.
void terminateDIO();
}

#endif

// Serial-port reader: a background thread that appends what arrives on the
// board's second serial port to "IncomingData.txt" and acknowledges every
// chunk on the port.
#ifndef VOZIREV_SP_H
#define VOZIREV_SP_H

const unsigned int SP_PORT_NAME_SIZE = 20;

extern "C" {

// The port opened by initsp, "/dev/ttyS1". Only a test points it elsewhere
// (the slave of a pseudo-terminal).
extern char sp_port_name[SP_PORT_NAME_SIZE];

// Opens the port, sets 115200 baud and starts the reader thread; 0 on
// success, -1 when the port cannot be opened or the thread not started.
int initsp();
// The reader thread's body; its argument is the port descriptor. It waits
// for data, logs and acknowledges each chunk, and never returns. After a
// hang-up it closes the descriptor and opens sp_port_name again, once a
// second until that succeeds.
void* spread(void* fd);
}

#endif

// Service manager notifications: readiness, status, watchdog pings and
// stopping, sent as the datagrams of systemd's notification protocol
// (sd_notify(3)) straight over an AF_UNIX socket, without libsystemd.
//
// The service manager names its socket in NOTIFY_SOCKET: a file system path
// ("/run/systemd/notify") or an abstract name written with a leading '@'.
// When the unit sets WatchdogSec=, WATCHDOG_USEC carries the interval in
// microseconds and WATCHDOG_PID, when set, the process it watches. Each
// datagram is one or more "NAME=value" lines.
//
// When NOTIFY_SOCKET is unset, every function below returns at once: no
// socket, no clock, no file system query, no output.
//
// What is sent:
//   READY=1           once the encoder has started (ServiceNotifyReady);
//   STATUS=...        at the first tick NOTIFY_STATUS_INTERVAL_US or more
//                     after the previous one: video and audio frames per
//                     second and the bit rate of what arrived in between,
//                     the free space of the recording's file system and the
//                     recording's path, e.g.
//                     "STATUS=video 30.0 fps, audio 46.9 fps, 563 kbit/s,
//                      1234 MiB free, recording ./field1.mp4";
//   WATCHDOG=1        at the first tick that follows a sample half the
//                     watchdog interval or more after the current watchdog
//                     window began, when no recording write failed in that
//                     window (which then starts over either way). A device
//                     that goes silent stops the capture loop in the reader,
//                     a card that hangs stops it in the write, a card that
//                     refuses writes fails them: in all three the pings stop
//                     and the service manager ends and restarts the run once
//                     WatchdogSec= has passed since the last one;
//   STOPPING=1        when the run stops (ServiceNotifyStopping).
//
// Wiring into the capture run (its one thread, in the order of a run):
//
//   start-up, before the device is opened   ServiceNotifyInit();
//   once the outputs are open               ServiceNotifyRecording(recording ? path : nullptr);
//   right after "Started Encoding.. "       ServiceNotifyReady();
//   every loop turn, after the sample has been routed:
//       ServiceNotifySample(pqBoxHeader->usSampleStreamType, length, bWriteOk);
//       ServiceNotifyTick();
//   when recording ends early (disk full)   ServiceNotifyRecording(nullptr);
//   after the loop, before VLStop           ServiceNotifyStopping();
//   before returning from main              ServiceNotifyClose();
//
// bWriteOk is false when the recording writer failed to write the sample;
// the MP4 and transport-stream writers do not report that yet (ferror() on
// the recording file after the sample would tell). Start-up failures exit
// before ServiceNotifyReady; the service manager sees the process end and
// needs nothing more.
#ifndef VOZIREV_SERVICENOTIFY_H
#define VOZIREV_SERVICENOTIFY_H

// The environment variable that names the service manager's socket.
const char* const NOTIFY_SOCKET_ENV = "NOTIFY_SOCKET";
// A STATUS line goes out at most this often (microseconds).
const unsigned long long NOTIFY_STATUS_INTERVAL_US = 5000000;
// Longest the capture loop may wait on a service manager that does not read
// its socket; the notification is then dropped.
const unsigned int NOTIFY_SEND_TIMEOUT_MS = 200;
// The recording path kept for the STATUS line, terminator included.
const unsigned int NOTIFY_RECORDING_PATH_SIZE = 256;

// The clock every interval is measured on: microseconds of CLOCK_MONOTONIC.
// Tests point pServiceNotifyClock at a clock of their own.
typedef unsigned long long (*ServiceNotifyClock)();
unsigned long long ServiceNotifyMonotonicUs();
extern ServiceNotifyClock pServiceNotifyClock;

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID and opens the socket.
// Returns 1 when notifications are on, 0 when NOTIFY_SOCKET is unset or
// unusable (with a message naming what is wrong). A WATCHDOG_USEC or
// WATCHDOG_PID that is not a positive number is reported and turns only the
// pings off; a WATCHDOG_PID of another process turns them off silently.
int ServiceNotifyInit();

// The recording the STATUS lines name and whose file system's free space
// they report: the path as opened, or nullptr when nothing is recorded (the
// free space is then that of the current directory). Control characters in
// the path are shown as '?'.
void ServiceNotifyRecording(const char* sPath);

// READY=1 with a first STATUS; starts the status and watchdog windows.
// Returns 1 sent, 0 notifications off, -1 the send failed.
int ServiceNotifyReady();

// Counts one sample that arrived from the device: usStreamType is the QBox
// stream type (QBOX_STREAM_AUDIO, QBOX_STREAM_VIDEO, others count towards
// the bit rate only), ulSize the bytes delivered (the whole QBox), bWriteOk
// false when writing it to the recording failed (true when it was written or
// not meant to be recorded).
void ServiceNotifySample(unsigned int usStreamType, unsigned int ulSize, bool bWriteOk);

// Sends the STATUS line and the watchdog ping when they are due. Called
// once per loop turn; does nothing before ServiceNotifyReady.
void ServiceNotifyTick();

// STOPPING=1. Returns 1 sent, 0 notifications off, -1 the send failed.
int ServiceNotifyStopping();

// Closes the socket and forgets everything; ServiceNotifyInit starts over.
void ServiceNotifyClose();

#endif

// Capture parameters: the one record that describes a capture run, its
// defaults, the command-line options, the usage text and the time-stamp
// name of a recording. The configuration file (configfile.h) fills the same
// record.
#ifndef VOZIREV_CAPTUREPARAMS_H
#define VOZIREV_CAPTUREPARAMS_H

#include <cstddef>

const unsigned int FILENAME_FIELD_SIZE = 256;  // sOutput_Filename
const unsigned int IP_ADDR_FIELD_SIZE = 20;    // IP_Addr

// ulMediaFormat: what the encoder produces and the recorders expect.
const unsigned int MEDIA_FORMAT_AUDIO = 1;
const unsigned int MEDIA_FORMAT_VIDEO = 2;
const unsigned int MEDIA_FORMAT_AUDIO_VIDEO = 3;

// ulSaving: how the run records.
const unsigned int SAVE_NONE = 0;
const unsigned int SAVE_MP4 = 1;
const unsigned int SAVE_TS = 2;

// ulStreaming: how the run streams.
const unsigned int STREAM_NONE = 0;
const unsigned int STREAM_RTP_ES = 1;  // RTP elementary streams, H.264 and AAC
const unsigned int STREAM_RTP_TS = 2;  // MPEG-2 transport stream in RTP

// Text fields of the network services: a dotted IPv4 address, a path, a URL.
const unsigned int NET_ADDR_FIELD_SIZE = 20;
const unsigned int NET_TEXT_FIELD_SIZE = 256;

// The RTSP and HTTP services and the publisher are off by default.
const unsigned int SERVICE_PORT_OFF = 0;
// Publisher transport (-U).
const unsigned int PUBLISH_TCP = 0;  // RTSP interleaved (RFC 2326, 10.12)
const unsigned int PUBLISH_UDP = 1;

// "Mar2609-143005" and its NUL.
const size_t TIME_STAMP_SIZE = 15;

// One record per capture run; fields in this order.
struct stInputParameters {
    char sOutput_Filename[FILENAME_FIELD_SIZE];
    unsigned int ulMediaFormat;        // MEDIA_FORMAT_*
    unsigned int ulAudio_BitRate;      // kbit/s
    unsigned int ulVideo_BitRate;      // kbit/s
    unsigned int ulVideo_Frame_Width;  // pixels
    unsigned int ulVideo_Frame_Height; // pixels
    unsigned int ulVideo_Frame_Rate;   // frames per second
    unsigned int ulI_Frame_Interval;   // frames
    unsigned int ulDevice_Number;
    unsigned int ulStreaming;          // STREAM_*
    unsigned int ulSaving;             // SAVE_*
    char IP_Addr[IP_ADDR_FIELD_SIZE];
    unsigned int ucttl;
    unsigned int Video_Port;
    unsigned int Audio_Port;
    unsigned int ulBrightness;
    unsigned int ulColor;
    unsigned int ulSync_Interval;      // seconds of content between syncs, 0 none
    unsigned int ulSegment_Length;     // seconds of content per file, 0 one file
    unsigned int ulSegment_Align;      // 1: segments end on multiples of the length of the local time
    unsigned int ulKeep_Free_MiB;      // MiB kept free by deleting the oldest recordings, 0 none
    char sSdp_File[FILENAME_FIELD_SIZE];  // session description of the streams, "" none
    unsigned int ulRtsp_Port;          // RTSP server port, 0 none
    char sListen_Addr[NET_ADDR_FIELD_SIZE];      // address the servers listen on, 0.0.0.0 every one
    char sMulticast_Group[NET_ADDR_FIELD_SIZE];  // RTSP multicast group, "" none
    unsigned int ulSession_Timeout;    // seconds an RTSP session lives without a sign of its client
    unsigned int ulMax_Sessions;       // RTSP sessions at once
    unsigned int ulMax_Connections;    // RTSP and HTTP connections at once
    char sCredentials_File[NET_TEXT_FIELD_SIZE];  // users of the servers and the publisher, "" none
    unsigned int ulHttp_Port;          // HTTP server port, 0 none
    char sWww_Dir[NET_TEXT_FIELD_SIZE];           // the web page's files
    char sPublish_Url[NET_TEXT_FIELD_SIZE];       // rtsp:// URL to publish to, "" none
    unsigned int ulPublish_Transport;  // PUBLISH_TCP or PUBLISH_UDP
};

// The RTP streams a run sends: the video port carries H.264 (-s 1 unless
// -m 1) or the transport stream (-s 2), the audio port AAC (-s 1 unless
// -m 2).
inline bool SendsOnVideoPort(const stInputParameters* input)
{
    return input->ulStreaming == STREAM_RTP_TS ||
           (input->ulStreaming == STREAM_RTP_ES && input->ulMediaFormat != MEDIA_FORMAT_AUDIO);
}

inline bool SendsOnAudioPort(const stInputParameters* input)
{
    return input->ulStreaming == STREAM_RTP_ES && input->ulMediaFormat != MEDIA_FORMAT_VIDEO;
}

// Fills *input from the defaults, the configuration file (-z, first
// argument only) and the options, in that order, then refuses a streaming
// destination or port the streams cannot use and an I-frame interval a
// command word cannot carry. 0, or -1 when the run must stop: the usage
// text or the reason has been printed.
int get_cmdline_parameters(stInputParameters* input, int argc, char** argv);
// Prints the usage text; returns 0.
int optionhelp();
// Writes the local time as "Mar2609-143005" into cptag (TIME_STAMP_SIZE
// bytes at least); returns 0.
int get_time_stamp_string(char* cptag);

#endif

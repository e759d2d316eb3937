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

// The capture application: the parameters of one capture run and the
// functions of the run itself (options, encoder settings, routing of samples
// to the recorders and streamers, recording housekeeping).
#ifndef VOZIREV_H
#define VOZIREV_H

#include <csignal>
#include <cstdio>

#include "QBox.h"

class QBoxParser;

const unsigned int FILENAME_FIELD_SIZE = 256;  // sOutput_Filename
const unsigned int IP_ADDR_FIELD_SIZE = 20;    // IP_Addr
const unsigned int SAMPLE_BUFFER_SIZE = 400000;

// One record per capture run; fields in this order.
struct stInputParameters {
    char sOutput_Filename[FILENAME_FIELD_SIZE];
    unsigned int ulMediaFormat;        // 1 audio, 2 video, 3 audio and video
    unsigned int ulAudio_BitRate;      // kbit/s
    unsigned int ulVideo_BitRate;      // kbit/s
    unsigned int ulVideo_Frame_Width;  // pixels
    unsigned int ulVideo_Frame_Height; // pixels
    unsigned int ulVideo_Frame_Rate;   // frames per second
    unsigned int ulI_Frame_Interval;   // frames
    unsigned int ulDevice_Number;
    unsigned int ulStreaming;          // 0 none, 1 RTP elementary, 2 TS over RTP
    unsigned int ulSaving;             // 0 none, 1 MP4, 2 TS file
    char IP_Addr[IP_ADDR_FIELD_SIZE];
    unsigned int ucttl;
    unsigned int Video_Port;
    unsigned int Audio_Port;
    unsigned int ulBrightness;
    unsigned int ulColor;
};

// Shared state of the capture run.
extern volatile sig_atomic_t stop_encoding;
extern int skip_disk_check;
extern int mp4write;
extern QBox* pqBoxHeader;
extern QBoxParser* pqBoxParser;

// Capture parameters, command line and configuration file.
int get_cmdline_parameters(stInputParameters* input, int argc, char** argv);
int optionhelp();
int get_time_stamp_string(char* cptag);

// Encoder settings.
int setVL_parameters(stInputParameters* input, int* Device_n);
void VL_Sleep(unsigned int uitime_ms);

// QBox routing to the MP4 writer.
// Opens the MP4 recording on outfile_handle (which passes to the writer) for
// the media of input.ulMediaFormat. 1 ready; 0 the writer could not be set
// up: it has been released and the file closed, so recording must stop as
// if the file could not be opened.
int SetParameters(stInputParameters input, FILE* outfile_handle);
// Records one whole QBox sample (header included, inputdata_length bytes
// read): each NAL unit of a video payload, or the AAC frame. Changes the
// buffer in place. Returns 0.
int QBoxToMp4(unsigned char* inputdata, unsigned int inputdata_length, stInputParameters input);

// QBox routing to the transport-stream writer.
// Sequence parameter set waiting for its picture parameter set, then both,
// each behind a start code (streaming bundles them into one PES packet).
const unsigned int PARSET_BUFFER_SIZE = 128;
extern unsigned char ucParSet[PARSET_BUFFER_SIZE];
extern unsigned int ulSzParSet;
// Feeds one whole QBox sample, already described by *pqBoxHeader, to the
// transport-stream writer in output mode bWriteStream (1 file, 2 RTP, 3 both
// from one packetisation; see mpgTSWriter.h). Nothing goes out before the
// first audio sample or the first sample that starts with a sequence
// parameter set. The buffer is left as it came in. Returns 1, or 0 for a
// stream type other than audio or video.
unsigned int QBoxToMP2TS(unsigned char* inputdata, unsigned int inputdata_length, unsigned int bWriteStream);

#endif

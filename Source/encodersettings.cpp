// Encoder settings: each setting is validated, sent to the device as one
// command, and followed by a pause before the next one.
#include "encodersettings.h"

#include <unistd.h>

#include <cstdio>

#include "stopsignals.h"
#include "VozirevDll.h"

namespace {

// The encoder needs time to take in each command before the next one.
const unsigned int SETTING_PAUSE_MS = 100;
const unsigned int MICROSECONDS_PER_MS = 1000;

const unsigned int AUDIO_BITRATE_MIN = 24;  // kbit/s
const unsigned int AUDIO_BITRATE_MAX = 128;
const unsigned int VIDEO_BITRATE_MIN = 32;  // kbit/s
const unsigned int VIDEO_BITRATE_MAX = 4000;
const unsigned int FRAME_WIDTH_MIN = 17;    // pixels
const unsigned int FRAME_WIDTH_MAX = 720;
const unsigned int FRAME_HEIGHT_MIN = 17;
const unsigned int FRAME_HEIGHT_MAX = 576;
const unsigned int FRAME_RATE_MIN = 5;      // frames per second
const unsigned int FRAME_RATE_MAX = 30;
const unsigned int LEVEL_MAX = 255;         // colour and brightness
const unsigned int TTL_MIN = 1;
const unsigned int TTL_MAX = 255;

bool InRange(unsigned int value, unsigned int low, unsigned int high)
{
    return value >= low && value <= high;
}

// Pauses after a command whatever its outcome, then reports a refusal. A
// stop request ends the settings there (the pause may have been cut short
// by it): no further command is sent.
int AfterCommand(int result, const char* failure)
{
    VL_Sleep(SETTING_PAUSE_MS);
    if (result != 1) {
        printf("%s", failure);
        return -1;
    }
    return stop_requested ? -1 : 0;
}

int SetMediaFormat(unsigned int mediaFormat, int* Device_n)
{
    EncodingMediaType type = AudioVideo;
    const char* word = "audio and video";
    if (mediaFormat == MEDIA_FORMAT_AUDIO) {
        type = AudioOnly;
        word = "audio only";
    } else if (mediaFormat == MEDIA_FORMAT_VIDEO) {
        type = VideoOnly;
        word = "video only";
    }
    printf("Setting Media Format to: ");
    int result = VLSetMediaType(Device_n, type);
    puts(word);
    return AfterCommand(result, "\nSetting Media Format failed");
}

int SetAudio(const stInputParameters* input, int* Device_n)
{
    printf("Setting Audio Bitrate to: %d kbps\n", (int)input->ulAudio_BitRate);
    if (!InRange(input->ulAudio_BitRate, AUDIO_BITRATE_MIN, AUDIO_BITRATE_MAX)) {
        puts("\nInvalid Audio Bitrate. Use 24 - 128.");
        return -1;
    }
    return AfterCommand(VLSetAudioBitRate(Device_n, input->ulAudio_BitRate),
                        "\nSetting Audio Bitrate failed");
}

int SetVideoBitRate(const stInputParameters* input, int* Device_n)
{
    printf("Setting Video Bitrate to: %d kbps\n", (int)input->ulVideo_BitRate);
    if (!InRange(input->ulVideo_BitRate, VIDEO_BITRATE_MIN, VIDEO_BITRATE_MAX)) {
        puts("\nInvalid Video Bitrate. Use 32 - 4000");
        return -1;
    }
    return AfterCommand(VLSetVideoBitRate(Device_n, input->ulVideo_BitRate),
                        "\nSetting Video Bitrate failed");
}

int SetVideoFrameSize(const stInputParameters* input, int* Device_n)
{
    unsigned int width = input->ulVideo_Frame_Width;
    unsigned int height = input->ulVideo_Frame_Height;
    printf("Setting Video Resolution to: %d x %d\n", (int)width, (int)height);
    if (!InRange(width, FRAME_WIDTH_MIN, FRAME_WIDTH_MAX) ||
        !InRange(height, FRAME_HEIGHT_MIN, FRAME_HEIGHT_MAX)) {
        puts("\nInvalid Video Resolution");
        return -1;
    }
    return AfterCommand(VLSetVideoFrameSize(Device_n, width, height),
                        "\nSetting Video Width and Height failed");
}

int SetVideoFrameRate(const stInputParameters* input, int* Device_n)
{
    printf("Setting Video Frame Rate to: %d fps\n", (int)input->ulVideo_Frame_Rate);
    if (!InRange(input->ulVideo_Frame_Rate, FRAME_RATE_MIN, FRAME_RATE_MAX)) {
        puts("\nInvalid Video Framerate. Use 5 - 30.");
        return -1;
    }
    return AfterCommand(VLSetVideoFrameRate(Device_n, input->ulVideo_Frame_Rate),
                        "\nSetting Video Frame rate failed");
}

int SetIFrameInterval(const stInputParameters* input, int* Device_n)
{
    printf("Setting I Frame Interval to: %d\n", (int)input->ulI_Frame_Interval);
    if (input->ulI_Frame_Interval == 0 || input->ulI_Frame_Interval > VL_COMMAND_PARAMETER_MAX) {
        puts("\nInvalid I-Frame Interval.");
        return -1;
    }
    return AfterCommand(VLSetVideoGOP(Device_n, input->ulI_Frame_Interval),
                        "\nSetting I-Frame Interval failed");
}

int SetColor(const stInputParameters* input, int* Device_n)
{
    printf("Setting Color to: %d\n", (int)input->ulColor);
    if (input->ulColor > LEVEL_MAX) {
        printf("\nInvalid Color value. Use (0-255)");
        return -1;
    }
    return AfterCommand(VLSetColor(Device_n, (unsigned char)input->ulColor),
                        "\nSetting Color failed.");
}

int SetBrightness(const stInputParameters* input, int* Device_n)
{
    printf("Setting Brightness to: %d\n", (int)input->ulBrightness);
    if (input->ulBrightness > LEVEL_MAX) {
        printf("\nInvalid Brightness value. Use (0-255)");
        return -1;
    }
    return AfterCommand(VLSetBrightness(Device_n, (unsigned char)input->ulBrightness),
                        "\nSetting brightness failed.");
}

}  // namespace

void VL_Sleep(unsigned int uitime_ms)
{
    usleep(uitime_ms * MICROSECONDS_PER_MS);
}

int setVL_parameters(stInputParameters* input, int* Device_n)
{
    if (stop_requested)
        return -1;
    if (!InRange(input->ulMediaFormat, MEDIA_FORMAT_AUDIO, MEDIA_FORMAT_AUDIO_VIDEO)) {
        puts("\nInvalid Media Format");
        return -1;
    }
    if (SetMediaFormat(input->ulMediaFormat, Device_n) != 0)
        return -1;

    bool audioPresent = input->ulMediaFormat != MEDIA_FORMAT_VIDEO;
    bool videoPresent = input->ulMediaFormat != MEDIA_FORMAT_AUDIO;
    if (audioPresent && SetAudio(input, Device_n) != 0)
        return -1;
    if (videoPresent) {
        if (SetVideoBitRate(input, Device_n) != 0 || SetVideoFrameSize(input, Device_n) != 0 ||
            SetVideoFrameRate(input, Device_n) != 0 || SetIFrameInterval(input, Device_n) != 0 ||
            SetColor(input, Device_n) != 0 || SetBrightness(input, Device_n) != 0)
            return -1;
    }

    // The streams' TTL is not a device setting, so it is checked last.
    if (!InRange(input->ucttl, TTL_MIN, TTL_MAX)) {
        printf("\nInvalid ttl value. Use (1-255)");
        return -1;
    }
    return 0;
}

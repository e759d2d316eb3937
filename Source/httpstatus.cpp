// /status and /metrics.
#include "httpstatus.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "capturerun.h"
#include "hls.h"
#include "housekeeping.h"
#include "httpserver.h"
#include "rtcp.h"
#include "rtspserver.h"
#include "runstats.h"

#ifndef VOZIREV_VERSION
#define VOZIREV_VERSION "unknown"
#endif

namespace {

const char* const MEDIUM_NAMES[RUNSTATS_MEDIA] = {"video", "audio"};

__attribute__((format(printf, 2, 3))) void Append(std::string* pOut, const char* szFormat, ...)
{
    char line[512];
    va_list args;
    va_start(args, szFormat);
    int n = vsnprintf(line, sizeof(line), szFormat, args);
    va_end(args);
    if (n > 0)
        pOut->append(line, (size_t)n < sizeof(line) ? (size_t)n : sizeof(line) - 1);
}

// A JSON string (RFC 8259, 7): quotes, backslashes and control characters
// escaped.
void AppendString(std::string* pOut, const char* sz)
{
    *pOut += '"';
    for (const char* p = sz; *p != '\0'; p++) {
        if (*p == '"' || *p == '\\')
            *pOut += '\\';
        if ((unsigned char)*p < 0x20)
            Append(pOut, "\\u%04x", (unsigned int)(unsigned char)*p);
        else
            *pOut += *p;
    }
    *pOut += '"';
}

const char* MediaName(unsigned int ulMedia)
{
    return ulMedia == MEDIA_FORMAT_AUDIO ? "audio" : ulMedia == MEDIA_FORMAT_VIDEO ? "video" : "audio and video";
}

void PutEncoder(std::string* o, const stInputParameters* in)
{
    Append(o, "\"encoder\":{\"media\":\"%s\",\"video_bitrate_kbps\":%u,\"audio_bitrate_kbps\":%u,\"width\":%u,"
           "\"height\":%u,\"frame_rate\":%u,\"iframe_interval\":%u,\"color\":%u,\"brightness\":%u,\"device\":%u},\n",
           MediaName(in->ulMediaFormat), in->ulVideo_BitRate, in->ulAudio_BitRate, in->ulVideo_Frame_Width,
           in->ulVideo_Frame_Height, in->ulVideo_Frame_Rate, in->ulI_Frame_Interval, in->ulColor, in->ulBrightness,
           in->ulDevice_Number);
}

void PutMedia(std::string* o, const tRunFigures& f)
{
    for (UINT32 m = 0; m < RUNSTATS_MEDIA; m++) {
        const tMediumFigures& medium = f.stMedia[m];
        Append(o, "\"%s\":{\"samples\":%" PRIu64 ",\"bytes\":%" PRIu64 ",\"samples_per_second\":%.2f,"
               "\"bits_per_second\":%.0f},\n", MEDIUM_NAMES[m], medium.ullSamples, medium.ullBytes,
               medium.dSamplesPerS, medium.dBitsPerS);
    }
    Append(o, "\"device\":{\"reads\":%" PRIu64 ",\"other_samples\":%" PRIu64 ",\"longest_read_gap_ms\":%.3f,"
           "\"longest_read_gap_cpu_ms\":%.3f,\"last_read_gap_ms\":%.3f,\"long_read_gaps\":%" PRIu64 "},\n",
           f.ullDeviceReads, f.ullOtherSamples, (double)f.llLongestReadGapUs / 1000, (double)f.llLongestGapCpuUs / 1000,
           (double)f.llLastReadGapUs / 1000, f.ullLongReadGaps);
}

void PutRecording(std::string* o, const stInputParameters* in, const tRunFigures& f)
{
    unsigned long long freeBytes = 0;
    bool knowsFree = FreeBytesHere(&freeBytes);
    bool recording = internal_config.ulsaving != 0;
    struct stat st;
    UINT64 size = recording && stat(in->sOutput_Filename, &st) == 0 ? (UINT64)st.st_size : 0;
    *o += "\"recording\":{\"active\":";
    *o += recording ? "true,\"file\":" : "false,\"file\":null";
    if (recording)
        AppendString(o, in->sOutput_Filename);
    Append(o, ",\"format\":\"%s\",\"size\":%" PRIu64 ",\"duration\":%.3f,\"files\":%" PRIu64 ",\"write_failures\":%"
           PRIu64 ",\"free_bytes\":", in->ulSaving == SAVE_MP4 ? "mp4" : in->ulSaving == SAVE_TS ? "ts" : "none",
           size, recording ? (double)f.llRecordingContentMs / 1000 : 0.0, f.ullRecordingFiles,
           f.ullRecordingWriteFailures);
    if (knowsFree)
        Append(o, "%llu", freeBytes);
    else
        *o += "null";
    Append(o, ",\"retention_deletions\":%" PRIu64 "},\n", f.ullRetentionDeletions);
}

void PutRtspStream(void* pContext, const tRtspStreamFigures* s)
{
    std::string* o = static_cast<std::string*>(pContext);
    if (o->back() == '}')
        *o += ",";
    Append(o, "\n{\"client\":\"%s\",\"transport\":\"%s\",\"path\":\"%s\",\"medium\":\"%s\",\"packets_sent\":%" PRIu64
           ",\"packets_dropped\":%" PRIu64 ",", s->szClient, s->szTransport, s->szPath, s->szMedium,
           s->ullPacketsSent, s->ullPacketsDropped);
    if (s->bHasReport)
        Append(o, "\"fraction_lost\":%.4f,\"cumulative_lost\":%d,\"jitter_ms\":%.3f}", s->dFractionLost,
               (int)s->lCumulativeLost, s->dJitterMs);
    else
        *o += "\"fraction_lost\":null,\"cumulative_lost\":null,\"jitter_ms\":null}";
}

void PutStreams(std::string* o, const stInputParameters* in)
{
    Append(o, "\"rtsp\":{\"sessions\":%u,\"sessions_opened\":%" PRIu64 ",\"streams\":[", RtspServerSessionCount(),
           RtspServerSessionsOpened());
    RtspServerForEachStream(PutRtspStream, o);
    *o += "]},\n\"rtp\":{\"type\":";
    bool streams = internal_config.ulstreaming != 0;
    const char* type = in->ulStreaming == STREAM_RTP_ES ? "elementary" : "transport";
    if (!streams) {
        *o += "null},\n";
        return;
    }
    Append(o, "\"%s\",\"destination\":", type);
    AppendString(o, in->IP_Addr);
    Append(o, ",\"ttl\":%u,\"ports\":[", in->ucttl);
    const unsigned int ports[RTCP_STREAM_COUNT] = {in->Video_Port, in->Audio_Port};
    const bool sends[RTCP_STREAM_COUNT] = {SendsOnVideoPort(in), SendsOnAudioPort(in)};
    bool first = true;
    for (int i = 0; i < RTCP_STREAM_COUNT; i++) {
        UINT32 packets = 0, octets = 0;
        if (!sends[i])
            continue;
        RTCPStreamCounts(i, &packets, &octets);
        Append(o, "%s{\"port\":%u,\"packets_sent\":%u,\"payload_bytes\":%u}", first ? "" : ",", ports[i], packets,
               octets);
        first = false;
    }
    *o += "]},\n";
}

// One family: HELP, TYPE, then its samples.
void Family(std::string* o, const char* szName, const char* szType, const char* szHelp)
{
    Append(o, "# HELP %s %s\n# TYPE %s %s\n", szName, szHelp, szName, szType);
}

void Sample(std::string* o, const char* szName, UINT64 ullValue, const char* szLabels = nullptr)
{
    Append(o, "%s%s %" PRIu64 "\n", szName, szLabels != nullptr ? szLabels : "", ullValue);
}

void Counter(std::string* o, const char* szName, const char* szHelp, UINT64 ullValue)
{
    Family(o, szName, "counter", szHelp);
    Sample(o, szName, ullValue);
}

void Gauge(std::string* o, const char* szName, const char* szHelp, double dValue)
{
    Family(o, szName, "gauge", szHelp);
    Append(o, "%s %.15g\n", szName, dValue);
}

void PutMediumMetrics(std::string* o, const tRunFigures& f)
{
    Family(o, "vozirev_samples_total", "counter", "Samples the device delivered, by medium.");
    char labels[32];
    for (UINT32 m = 0; m < RUNSTATS_MEDIA; m++) {
        snprintf(labels, sizeof(labels), "{medium=\"%s\"}", MEDIUM_NAMES[m]);
        Sample(o, "vozirev_samples_total", f.stMedia[m].ullSamples, labels);
    }
    Family(o, "vozirev_sample_bytes_total", "counter", "Bytes of the samples the device delivered, by medium.");
    for (UINT32 m = 0; m < RUNSTATS_MEDIA; m++) {
        snprintf(labels, sizeof(labels), "{medium=\"%s\"}", MEDIUM_NAMES[m]);
        Sample(o, "vozirev_sample_bytes_total", f.stMedia[m].ullBytes, labels);
    }
}

void SumDropped(void* pContext, const tRtspStreamFigures* s)
{
    *static_cast<UINT64*>(pContext) += s->ullPacketsDropped;
}

}  // namespace

void HttpStatusJson(const stInputParameters* pInput, std::string* pOut)
{
    tRunFigures f;
    RunStatsRead(&f);
    *pOut = "{\"version\":\"" VOZIREV_VERSION "\",";
    Append(pOut, "\"uptime\":%.3f,\n", (double)f.llUptimeMs / 1000);
    PutEncoder(pOut, pInput);
    PutMedia(pOut, f);
    PutRecording(pOut, pInput, f);
    PutStreams(pOut, pInput);
    Append(pOut, "\"http\":{\"connections\":%u,\"requests\":%" PRIu64 ",\"live_segments\":%" PRIu64
           ",\"target_duration\":%u}}\n", HttpConnectionCount(), HttpRequestsServed(), HlsSegmentsFinished(),
           HlsTargetDuration());
}

void HttpMetrics(const stInputParameters* pInput, std::string* pOut)
{
    (void)pInput;
    tRunFigures f;
    RunStatsRead(&f);
    UINT64 dropped = 0;
    RtspServerForEachStream(SumDropped, &dropped);
    unsigned long long freeBytes = 0;
    pOut->clear();
    Family(pOut, "vozirev_build_info", "gauge", "The program's version.");
    Sample(pOut, "vozirev_build_info", 1, "{version=\"" VOZIREV_VERSION "\"}");
    Gauge(pOut, "vozirev_uptime_seconds", "Seconds since the capture started.", (double)f.llUptimeMs / 1000);
    PutMediumMetrics(pOut, f);
    Counter(pOut, "vozirev_device_reads_total", "Reads of the device.", f.ullDeviceReads);
    Gauge(pOut, "vozirev_device_read_gap_max_seconds", "Longest time from a device read to the next.",
          (double)f.llLongestReadGapUs / 1e6);
    Gauge(pOut, "vozirev_device_read_gap_max_cpu_seconds", "The program's CPU time in that longest gap.",
          (double)f.llLongestGapCpuUs / 1e6);
    Counter(pOut, "vozirev_device_read_gaps_long_total", "Gaps of 20 ms or more between two device reads.",
            f.ullLongReadGaps);
    Counter(pOut, "vozirev_client_packets_dropped_total", "Packets dropped for RTSP clients whose queue was full.",
            dropped);
    Counter(pOut, "vozirev_recording_write_failures_total", "Recording writes that failed.",
            f.ullRecordingWriteFailures);
    Counter(pOut, "vozirev_recording_files_total", "Recording files opened by the run.", f.ullRecordingFiles);
    Counter(pOut, "vozirev_retention_deletions_total", "Finished recordings deleted to keep space free.",
            f.ullRetentionDeletions);
    Gauge(pOut, "vozirev_free_bytes", "Free bytes on the recording's file system.",
          FreeBytesHere(&freeBytes) ? (double)freeBytes : 0);
    Gauge(pOut, "vozirev_rtsp_sessions", "RTSP sessions open.", RtspServerSessionCount());
    Counter(pOut, "vozirev_rtsp_sessions_opened_total", "RTSP sessions opened.", RtspServerSessionsOpened());
    Gauge(pOut, "vozirev_http_connections", "HTTP connections open.", HttpConnectionCount());
    Counter(pOut, "vozirev_http_requests_total", "HTTP requests answered.", HttpRequestsServed());
    Counter(pOut, "vozirev_hls_segments_total", "Live segments finished.", HlsSegmentsFinished());
}

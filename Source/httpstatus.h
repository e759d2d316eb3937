// The run's state for the HTTP server: /status as JSON (RFC 8259), every
// field described in the README ("Monitoring"), and /metrics in the
// Prometheus text exposition format (version 0.0.4): counters end in
// _total, every name carries its unit, one family per figure with the
// medium or the stream in labels, so one scrape job fits every board.
#ifndef VOZIREV_HTTPSTATUS_H
#define VOZIREV_HTTPSTATUS_H

#include <string>

#include "captureparams.h"

void HttpStatusJson(const stInputParameters* pInput, std::string* pOut);
void HttpMetrics(const stInputParameters* pInput, std::string* pOut);

#endif

// Fixed-width integer names used across the capture program's modules.
#ifndef VOZIREV_TYPES_H
#define VOZIREV_TYPES_H

#include <cstdint>

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;

#endif

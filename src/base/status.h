// Status codes of the daemon's own operations and of the host statuses it acts on.
#pragma once
#include <stdint.h>

typedef uint32_t VTR_Status;

constexpr VTR_Status VTR_OK = 0;
constexpr VTR_Status VTR_FAILURE = 0xBAD0001;         // general failure
constexpr VTR_Status VTR_LIMIT_EXCEEDED = 0xBAD0006;  // request larger than allowed
constexpr VTR_Status VTR_NO_MEMORY = 0xBAD0014;       // out of memory
constexpr VTR_Status VTR_BAD_PARAM = 0xBAD0026;       // invalid argument
constexpr VTR_Status VTR_NOT_FOUND = 0xBAD0062;       // host: no such object (a VM that is down)
constexpr VTR_Status VTR_NOT_SUPPORTED = 0xBAD0094;   // host: object gone (also a VM that is down)
constexpr VTR_Status VTR_ERRNO_BASE = 0x2BAD0000;     // + errno, for system call failures

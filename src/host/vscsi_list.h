// Reads the host's list of virtual SCSI handles under one node.
#pragma once

#include <stdint.h>

#include "host/hostrt.h"

// Capacity of a list of one VM's handles: entries and bytes.
constexpr int VTR_HANDLE_LIST_COUNT = 1000;
constexpr int VTR_HANDLE_LIST_BYTES = 128000;

// Creates a list, fills it with the instances of `node` under `instance` and
// returns it (the caller destroys it), with the number of entries in *count.
// nullptr, with a message naming vmId, when the list cannot be created or read.
TARN_ParamList *VTR_GetTARNVscsiListHandle(uint16_t node, TARN_ParamList *instance, uint32_t vmId,
                                           uint32_t *count);

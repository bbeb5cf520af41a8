// The Producer thread (host trace channel to record queue) and the Consumer
// thread (record queue to per-disk counters).
#pragma once

#include <stdint.h>

#include "registry/registry.h"
#include "trace/record_queue.h"

extern int32_t lookupFailureCount;

void *VTR_ProducerThread(void *);
void *VTR_ConsumerThread(void *);

// Cuts a chunk of channel bytes into records, carrying an incomplete record
// over to the next call. carry must hold VTR_CARRY_BUFFER_SIZE bytes.
constexpr int VTR_CARRY_BUFFER_SIZE = 18432;
// Enqueues every complete record of carry[0..carryLen) + data[0..dataLen) and
// returns the new carry length. Stops early (returning -1) on exit.
int VTR_CutRecords(uint8_t *carry, int carryLen, const uint8_t *data, uint32_t dataLen);

// Consumer work; the caller holds recordQueue.mutex.
int32_t VTR_ProcessBatch();
void VTR_ProcessRecord(const TraceRecord *record);
void VTR_UpdateCounters(DiskEntry *entry, const TraceRecord *record);
int VTR_ClassifySequential(const DiskEntry *entry, const TraceRecord *record, int direction);
int VTR_SizeBucket(uint32_t length);
int VTR_LatencyBucket(uint64_t latencyUs);

// Forgets cached table lookups; called with recordQueue.mutex held whenever
// an entry is removed from diskTable.
void VTR_InvalidateEntryCache();

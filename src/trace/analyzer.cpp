// STUB: replaced by the trace pipeline implementation.
#include "trace/analyzer.h"
int32_t lookupFailureCount = 0;
void *VTR_ProducerThread(void *) { return nullptr; }
void *VTR_ConsumerThread(void *) { return nullptr; }
int VTR_CutRecords(uint8_t *, int, const uint8_t *, uint32_t) { return 0; }
int32_t VTR_ProcessBatch() { return 0; }
void VTR_ProcessRecord(const TraceRecord *) {}
void VTR_UpdateCounters(DiskEntry *, const TraceRecord *) {}
int VTR_ClassifySequential(const DiskEntry *, const TraceRecord *, int) { return 0; }
int VTR_SizeBucket(uint32_t) { return 0; }
int VTR_LatencyBucket(uint64_t) { return 0; }
void VTR_InvalidateEntryCache() {}
const char metricFieldNames[VTR_NUM_COUNTERS][VTR_METRIC_NAME_SIZE] = {};

// What the metrics and change-rate documents share: one object per live VM
// with its disks, wrapped with the query's field names and time stamp, and
// sent as compact JSON.
#pragma once

#include <jansson.h>
#include <stdint.h>

#include "base/status.h"
#include "registry/registry.h"

struct VTR_VMDocument {
  const char *fieldsHolderKey;  // "vethraMetrics" / "vethraChangeRate"
  const char *valuesKey;        // "metricValues" / "changeRateValues"
  const char *operation;        // the query's name, for the log
  const char *debugPrefix;      // start of the debug line that shows the document
  const char *encodingError;    // reply when the document cannot be built
  const char *dumpError;        // reply when it cannot be serialised
  const char *diskValueKey;     // "ioCounters" / "changeRates"
  // A disk's value, or null to leave the disk out (it has no entry, logged).
  // The caller holds registryLock.
  json_t *(*diskValue)(uint32_t worldGroupId, uint64_t handleId);
};

// Builds the document from the holder object of the field names, walks
// vmList (under registryLock) listing each live VM's disks with their values,
// and sends the result with its error replies. Takes the holder's reference.
VTR_Status VTR_SendVMDocument(int fd, const VTR_VMDocument &shape, json_t *fieldsHolder);

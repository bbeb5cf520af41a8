// What the metrics and change-rate documents share: one object per live VM
// with its disks, wrapped with the query's field names and time stamp, and
// sent as compact JSON.
#pragma once

#include <jansson.h>
#include <stdint.h>

#include <string>

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
  bool deviceLogHasIds;         // the change-rate query's log line names the ids too
  // Appends a disk's value as compact JSON to `out`, or returns false to
  // leave the disk out (it has no entry, logged). The caller holds registryLock.
  bool (*diskValue)(uint32_t worldGroupId, uint64_t handleId, std::string &out);
};

// Builds the document from the holder object of the field names, walks
// vmList (under registryLock) listing each live VM's disks with their values,
// and sends the result with its error replies. Takes the holder's reference.
// The text is exactly what jansson's compact dump of the same objects gives;
// a VM or disk whose names jansson would refuse (not UTF-8) is left out and
// logged, as a failed json_pack would have left it out.
VTR_Status VTR_SendVMDocument(int fd, const VTR_VMDocument &shape, json_t *fieldsHolder);

// Appends a signed 64-bit integer as jansson writes it.
void VTR_AppendJsonInteger(std::string &out, int64_t value);

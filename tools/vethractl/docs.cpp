// Parsing of the daemon's status, metrics and change-rate documents, and the
// bucket tables shared by the renderers and the exporter.
#include <jansson.h>
#include <string.h>

#include "docparse.h"
#include "vethractl.h"

const char *const VTR_ToolCounterNames[VTR_TOOL_COUNTERS] = {
    "rio",         "wio",         "rthput",         "wthput",
    "seqrio",      "seqwio",      "seqrbytes",      "seqwbytes",
    "eq4kalirio",  "eq4kaliwio",  "lt4krio",        "lt4kwio",
    "eq4krio",     "eq4kwio",     "gt4lt8krio",     "gt4lt8kwio",
    "eq8krio",     "eq8kwio",     "gt8lt16krio",    "gt8lt16kwio",
    "eq16krio",    "eq16kwio",    "gt16lt32krio",   "gt16lt32kwio",
    "eq32krio",    "eq32kwio",    "gt32lt64krio",   "gt32lt64kwio",
    "eq64krio",    "eq64kwio",    "gt64lt128krio",  "gt64lt128kwio",
    "eq128krio",   "eq128kwio",   "gt128lt256krio", "gt128lt256kwio",
    "eq256krio",   "eq256kwio",   "gt256lt512krio", "gt256lt512kwio",
    "eq512krio",   "eq512kwio",   "gt512klt1mrio",  "gt512klt1mwio",
    "eq1mrio",     "eq1mwio",     "gt1mrio",        "gt1mwio",
    "rlat1us",     "wlat1us",     "rlat10us",       "wlat10us",
    "rlat100us",   "wlat100us",   "rlat500us",      "wlat500us",
    "rlat1ms",     "wlat1ms",     "rlat5ms",        "wlat5ms",
    "rlat10ms",    "wlat10ms",    "rlat25ms",       "wlat25ms",
    "rlat50ms",    "wlat50ms",    "rlat100ms",      "wlat100ms",
    "rlatgt100ms", "wlatgt100ms",
};

// The daemon buckets a length by whole KiB (length >> 10): a bucket that
// ends at k KiB holds every length up to (k + 1) * 1024 - 1 bytes.
#define VTR_KIB_END(k) ((uint64_t)(k)*1024 + 1023)
const uint64_t VTR_SizeBucketUpperBytes[VTR_TOOL_SIZE_BUCKETS] = {VTR_KIB_END(3),
                                                                  VTR_KIB_END(4),
                                                                  VTR_KIB_END(7),
                                                                  VTR_KIB_END(8),
                                                                  VTR_KIB_END(15),
                                                                  VTR_KIB_END(16),
                                                                  VTR_KIB_END(31),
                                                                  VTR_KIB_END(32),
                                                                  VTR_KIB_END(63),
                                                                  VTR_KIB_END(64),
                                                                  VTR_KIB_END(127),
                                                                  VTR_KIB_END(128),
                                                                  VTR_KIB_END(255),
                                                                  VTR_KIB_END(256),
                                                                  VTR_KIB_END(511),
                                                                  VTR_KIB_END(512),
                                                                  VTR_KIB_END(1023),
                                                                  VTR_KIB_END(1024),
                                                                  0};

const uint64_t VTR_LatBucketUpperUs[VTR_TOOL_LAT_BUCKETS] = {
    1, 10, 100, 500, 1000, 5000, 10000, 25000, 50000, 100000, 0};

const char *const VTR_SizeBucketLabels[VTR_TOOL_SIZE_BUCKETS] = {
    "< 4K",      "4K",      "4K-8K",   "8K",       "8K-16K", "16K",       "16K-32K",
    "32K",       "32K-64K", "64K",     "64K-128K", "128K",   "128K-256K", "256K",
    "256K-512K", "512K",    "512K-1M", "1M",       "> 1M"};

const char *const VTR_LatBucketLabels[VTR_TOOL_LAT_BUCKETS] = {
    "<= 1us",  "<= 10us", "<= 100us", "<= 500us", "<= 1ms", "<= 5ms",
    "<= 10ms", "<= 25ms", "<= 50ms",  "<= 100ms", "> 100ms"};

namespace {

struct JsonGuard {
  json_t *j;
  ~JsonGuard() { json_decref(j); }
};

int Fail(std::string *err, const char *what) {
  if (err) *err = what;
  return -1;
}

// Reads the walk common to both documents: values -> vmWorldGroups -> vmDisks.
// `slots` maps each element of a disk's value array to a counter index (-1:
// ignored); for the change-rate document it is empty and the values go to rates.
int ParseVms(json_t *values, const char *arrayKey, const std::vector<int> &slots, VTR_Doc *out,
             std::string *err) {
  json_t *ts = json_object_get(values, "timeStamp");
  json_t *vms = json_object_get(values, "vmWorldGroups");
  if (!json_is_integer(ts) || !json_is_array(vms))
    return Fail(err, "missing timeStamp or vmWorldGroups");
  out->timeStamp = json_integer_value(ts);
  out->vms.clear();
  size_t i;
  json_t *vm;
  json_array_foreach(vms, i, vm) {
    VTR_VmCounters v{};
    const char *name = json_string_value(json_object_get(vm, "vmName"));
    const char *uuid = json_string_value(json_object_get(vm, "uuid"));
    json_t *wg = json_object_get(vm, "worldGroupId");
    json_t *disks = json_object_get(vm, "vmDisks");
    if (!name || !json_is_integer(wg) || !json_is_array(disks))
      return Fail(err, "malformed VM entry");
    v.name = name;
    v.uuid = uuid ? uuid : "";
    v.worldGroupId = (uint32_t)json_integer_value(wg);  // the daemon renders it signed
    size_t k;
    json_t *disk;
    json_array_foreach(disks, k, disk) {
      VTR_DiskCounters d{};
      const char *dn = json_string_value(json_object_get(disk, "vscsiDevName"));
      json_t *arr = json_object_get(disk, arrayKey);
      if (!dn || !json_is_array(arr)) return Fail(err, "malformed disk entry");
      d.name = dn;
      size_t n;
      json_t *val;
      json_array_foreach(arr, n, val) {
        if (!json_is_integer(val)) return Fail(err, "counter is not an integer");
        uint64_t u = (uint64_t)json_integer_value(val);  // wrapped counters come signed
        if (slots.empty()) {
          d.rates.push_back(u);
        } else if (n < slots.size() && slots[n] >= 0) {
          d.c[slots[n]] = u;
        }
      }
      v.disks.push_back(std::move(d));
    }
    out->vms.push_back(std::move(v));
  }
  return 0;
}

}  // namespace

int VTR_JanssonParseDoc(const std::string &json, VTR_DocKind kind, VTR_Doc *out, std::string *err) {
  JsonGuard root{json_loadb(json.data(), json.size(), 0, nullptr)};
  if (kind == VTR_DOC_CHANGE_RATE) {
    json_t *values = json_object_get(root.j, "changeRateValues");
    if (!json_is_object(root.j) || !json_is_object(values))
      return Fail(err, "not a change-rate document");
    return ParseVms(values, "changeRates", {}, out, err);
  }
  if (!json_is_object(root.j)) return Fail(err, "not a JSON object");
  json_t *fields = json_object_get(json_object_get(root.j, "vethraMetrics"), "metricFields");
  json_t *values = json_object_get(root.j, "metricValues");
  if (!json_is_array(fields) || !json_is_object(values)) return Fail(err, "not a metrics document");
  // Place values by name so that a daemon with another counter order still reads right.
  std::vector<int> slots;
  size_t i;
  json_t *f;
  json_array_foreach(fields, i, f) {
    int slot = -1;
    const char *s = json_string_value(f);
    for (int k = 0; s && k < VTR_TOOL_COUNTERS; k++) {
      if (strcmp(s, VTR_ToolCounterNames[k]) == 0) slot = k;
    }
    slots.push_back(slot);
  }
  if (slots.empty()) slots.push_back(-1);
  return ParseVms(values, "ioCounters", slots, out, err);
}

// The daemon's own layout takes the one-pass reader; anything else, and every
// error, goes through jansson.
int VTR_ParseMetricsDoc(const std::string &json, VTR_Doc *out, std::string *err) {
  if (VTR_FastParseDoc(json.data(), json.size(), VTR_DOC_METRICS, out)) return 0;
  return VTR_JanssonParseDoc(json, VTR_DOC_METRICS, out, err);
}

int VTR_ParseChangeRateDoc(const std::string &json, VTR_Doc *out, std::string *err) {
  if (VTR_FastParseDoc(json.data(), json.size(), VTR_DOC_CHANGE_RATE, out)) return 0;
  return VTR_JanssonParseDoc(json, VTR_DOC_CHANGE_RATE, out, err);
}

int VTR_ParseStatusDoc(const std::string &json, VTR_StatusDoc *out, std::string *err) {
  JsonGuard root{json_loadb(json.data(), json.size(), 0, nullptr)};
  const char *status = json_string_value(json_object_get(root.j, "status"));
  const char *run = json_string_value(json_object_get(root.j, "runName"));
  json_t *vms = json_object_get(root.j, "vmWorldGroups");
  if (!status || !json_is_array(vms)) return Fail(err, "not a status document");
  out->status = status;
  out->runName = run ? run : "";
  out->duration = json_integer_value(json_object_get(root.j, "duration"));
  out->worldGroups.clear();
  size_t i;
  json_t *v;
  json_array_foreach(vms, i, v) out->worldGroups.push_back((uint32_t)json_integer_value(v));
  return 0;
}

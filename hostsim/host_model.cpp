// The host model: VMs with their ids and disks, the trace switches, and the
// parsing of the host description (HOSTSIM_CONFIG format).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "internal.h"

namespace hostsim {

std::mutex hostMutex;
Host *host = nullptr;

Disk *Vm::findDisk(uint64_t handleId) {
  for (Disk &d : disks)
    if (d.handleId == handleId) return &d;
  return nullptr;
}

Vm *Host::findByGroup(uint32_t wg) {
  for (Vm &vm : vms)
    if (vm.worldGroupId == wg) return &vm;
  return nullptr;
}

// An instance integer may be any of a VM's ids. When ids of different VMs
// collide, `how` decides which kind wins.
Vm *Host::findVm(int64_t id64, Addr how) {
  uint32_t id = (uint32_t)(uint64_t)id64;  // callers pass 32-bit ids, possibly sign-extended
  auto byInstance = [&]() -> Vm * {
    for (Vm &vm : vms)
      if (vm.instanceId == id) return &vm;
    return nullptr;
  };
  auto byGroup = [&]() -> Vm * {
    for (Vm &vm : vms)
      if (vm.worldGroupId == id) return &vm;
    return nullptr;
  };
  auto byLeader = [&]() -> Vm * {
    for (Vm &vm : vms)
      if (vm.vmmLeaderId == id) return &vm;
    return nullptr;
  };
  auto byWorld = [&]() -> Vm * {
    for (Vm &vm : vms)
      for (uint32_t w : vm.worldIds)
        if (w == id) return &vm;
    return nullptr;
  };
  Vm *vm = nullptr;
  switch (how) {
    case Addr::VmFirst:
      if (!(vm = byInstance()) && !(vm = byGroup())) vm = byLeader();
      break;
    case Addr::GroupFirst:
      if (!(vm = byGroup()) && !(vm = byLeader())) vm = byInstance();
      break;
    case Addr::World:
      if (!(vm = byWorld()) && !(vm = byGroup()) && !(vm = byLeader())) vm = byInstance();
      break;
  }
  return vm;
}

// ---- JSON helpers -----------------------------------------------------------------
bool jsonU64(json_t *obj, const char *key, uint64_t &out, bool required, std::string &err) {
  json_t *v = json_object_get(obj, key);
  if (!v) {
    if (required) err = std::string("missing \"") + key + "\"";
    return !required;
  }
  if (json_is_integer(v) && json_integer_value(v) >= 0) {
    out = (uint64_t)json_integer_value(v);
    return true;
  }
  if (json_is_string(v)) {  // "0x..." or decimal text, for values beyond int64
    const char *s = json_string_value(v);
    char *end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(s, &end, 0);
    if (*s && end && *end == '\0' && errno == 0) {
      out = x;
      return true;
    }
  }
  err = std::string("\"") + key + "\" must be a non-negative integer";
  return false;
}

bool jsonStatus(json_t *v, TARN_Status &out) {
  if (json_is_integer(v)) {
    json_int_t x = json_integer_value(v);
    if (x < 0 || x > 0xFFFFFFFFLL) return false;
    out = (TARN_Status)x;
    return true;
  }
  if (json_is_string(v)) {
    const char *s = json_string_value(v);
    char *end = nullptr;
    unsigned long long x = strtoull(s, &end, 0);
    if (!*s || *end || x > 0xFFFFFFFFull) {
      // also accept bare hex without 0x ("BAD0062")
      x = strtoull(s, &end, 16);
      if (!*s || *end || x > 0xFFFFFFFFull) return false;
    }
    out = (TARN_Status)x;
    return true;
  }
  return false;
}

namespace {
bool getDouble(json_t *obj, const char *key, double &out, std::string &err) {
  json_t *v = json_object_get(obj, key);
  if (!v) return true;
  if (!json_is_number(v)) {
    err = std::string("\"") + key + "\" must be a number";
    return false;
  }
  out = json_number_value(v);
  return true;
}
bool getBool(json_t *obj, const char *key, bool &out, std::string &err) {
  json_t *v = json_object_get(obj, key);
  if (!v) return true;
  if (!json_is_boolean(v)) {
    err = std::string("\"") + key + "\" must be true or false";
    return false;
  }
  out = json_is_true(v);
  return true;
}
bool getString(json_t *obj, const char *key, std::string &out, std::string &err) {
  json_t *v = json_object_get(obj, key);
  if (!v) return true;
  if (!json_is_string(v)) {
    err = std::string("\"") + key + "\" must be a string";
    return false;
  }
  out = json_string_value(v);
  return true;
}
bool getU32(json_t *obj, const char *key, uint32_t &out, bool required, std::string &err) {
  uint64_t x = out;
  if (!jsonU64(obj, key, x, required, err)) return false;
  if (x > 0xFFFFFFFFull) {
    err = std::string("\"") + key + "\" exceeds 32 bits";
    return false;
  }
  out = (uint32_t)x;
  return true;
}
void warnUnknownKeys(json_t *obj, const char *what, std::initializer_list<const char *> known) {
  const char *key;
  json_t *v;
  json_object_foreach(obj, key, v) {
    bool ok = key[0] == '_' || strcmp(key, "comment") == 0;
    for (const char *k : known) ok = ok || strcmp(k, key) == 0;
    if (!ok) fprintf(stderr, "hostsim: warning: unknown key \"%s\" in %s ignored\n", key, what);
  }
}
}  // namespace

bool parseWorkload(json_t *obj, Workload &w, std::string &err) {
  if (!json_is_object(obj)) {
    err = "workload must be an object";
    return false;
  }
  warnUnknownKeys(obj, "workload",
                  {"rate", "readFraction", "sizes", "sequentialFraction", "workingSetBlocks",
                   "latency", "reorder", "seed", "replay", "replayLoop", "replaySpeed"});
  if (!getDouble(obj, "rate", w.rate, err) ||
      !getDouble(obj, "readFraction", w.readFraction, err) ||
      !getDouble(obj, "sequentialFraction", w.sequentialFraction, err) ||
      !jsonU64(obj, "workingSetBlocks", w.workingSetBlocks, false, err) ||
      !jsonU64(obj, "seed", w.seed, false, err) || !getString(obj, "replay", w.replay, err) ||
      !getBool(obj, "replayLoop", w.replayLoop, err) ||
      !getDouble(obj, "replaySpeed", w.replaySpeed, err))
    return false;
  if (w.rate < 0 || w.rate > 1e8) return err = "rate must be 0..1e8", false;
  if (w.readFraction < 0 || w.readFraction > 1) return err = "readFraction must be 0..1", false;
  if (w.sequentialFraction < 0 || w.sequentialFraction > 1)
    return err = "sequentialFraction must be 0..1", false;
  if (w.workingSetBlocks == 0) return err = "workingSetBlocks must be > 0", false;
  if (w.replaySpeed <= 0) return err = "replaySpeed must be > 0", false;
  if (json_t *sizes = json_object_get(obj, "sizes")) {
    if (!json_is_array(sizes)) return err = "sizes must be an array", false;
    w.sizes.clear();
    size_t i;
    json_t *s;
    json_array_foreach(sizes, i, s) {
      SizeWeight sw{4096, 1};
      if (json_is_integer(s)) {
        sw.bytes = (uint32_t)json_integer_value(s);
      } else {
        uint32_t b = 0;
        if (!getU32(s, "bytes", b, true, err) || !getDouble(s, "weight", sw.weight, err))
          return false;
        sw.bytes = b;
      }
      if (sw.bytes == 0 || sw.weight < 0)
        return err = "sizes: bytes must be > 0, weight >= 0", false;
      w.sizes.push_back(sw);
    }
  }
  if (json_t *lat = json_object_get(obj, "latency")) {
    if (!json_is_object(lat)) return err = "latency must be an object", false;
    if (!jsonU64(lat, "meanUs", w.latencyMeanUs, false, err) ||
        !jsonU64(lat, "jitterUs", w.latencyJitterUs, false, err))
      return false;
    if (json_t *hist = json_object_get(lat, "histogram")) {
      if (!json_is_array(hist)) return err = "latency.histogram must be an array", false;
      w.latencyHistogram.clear();
      size_t i;
      json_t *b;
      json_array_foreach(hist, i, b) {
        LatencyBucket lb{0, 1};
        if (!jsonU64(b, "us", lb.us, true, err) || !getDouble(b, "weight", lb.weight, err))
          return false;
        if (lb.weight < 0) return err = "latency.histogram weight must be >= 0", false;
        w.latencyHistogram.push_back(lb);
      }
    }
  }
  if (json_t *ro = json_object_get(obj, "reorder")) {
    if (!json_is_object(ro)) return err = "reorder must be an object", false;
    if (!getDouble(ro, "fraction", w.reorderFraction, err) ||
        !jsonU64(ro, "maxUs", w.reorderMaxUs, false, err))
      return false;
    if (w.reorderFraction < 0 || w.reorderFraction > 1)
      return err = "reorder.fraction must be 0..1", false;
  }
  return true;
}

json_t *workloadJson(const Workload &w) {
  json_t *o = json_object();
  json_object_set_new(o, "rate", json_real(w.rate));
  json_object_set_new(o, "readFraction", json_real(w.readFraction));
  json_t *sizes = json_array();
  for (const SizeWeight &s : w.sizes)
    json_array_append_new(sizes,
                          json_pack("{s:I,s:f}", "bytes", (json_int_t)s.bytes, "weight", s.weight));
  json_object_set_new(o, "sizes", sizes);
  json_object_set_new(o, "sequentialFraction", json_real(w.sequentialFraction));
  json_object_set_new(o, "workingSetBlocks", json_integer((json_int_t)w.workingSetBlocks));
  json_t *lat = json_pack("{s:I,s:I}", "meanUs", (json_int_t)w.latencyMeanUs, "jitterUs",
                          (json_int_t)w.latencyJitterUs);
  if (!w.latencyHistogram.empty()) {
    json_t *h = json_array();
    for (const LatencyBucket &b : w.latencyHistogram)
      json_array_append_new(h, json_pack("{s:I,s:f}", "us", (json_int_t)b.us, "weight", b.weight));
    json_object_set_new(lat, "histogram", h);
  }
  json_object_set_new(o, "latency", lat);
  json_object_set_new(
      o, "reorder",
      json_pack("{s:f,s:I}", "fraction", w.reorderFraction, "maxUs", (json_int_t)w.reorderMaxUs));
  json_object_set_new(o, "seed", json_integer((json_int_t)w.seed));
  if (!w.replay.empty()) {
    json_object_set_new(o, "replay", json_string(w.replay.c_str()));
    json_object_set_new(o, "replayLoop", json_boolean(w.replayLoop));
    json_object_set_new(o, "replaySpeed", json_real(w.replaySpeed));
  }
  return o;
}

bool parseDisk(json_t *obj, Disk &d, std::string &err) {
  if (!json_is_object(obj)) return err = "disk must be an object", false;
  warnUnknownKeys(obj, "disk", {"handleId", "name", "workload"});
  if (!jsonU64(obj, "handleId", d.handleId, true, err) || !getString(obj, "name", d.name, err))
    return false;
  json_t *w = json_object_get(obj, "workload");
  if (w && !json_is_null(w)) {
    if (!parseWorkload(w, d.workload, err)) {
      err = "disk " + std::to_string(d.handleId) + ": " + err;
      return false;
    }
    d.hasWorkload = true;
  }
  return true;
}

bool parseVm(json_t *obj, Vm &vm, std::string &err) {
  if (!json_is_object(obj)) return err = "vm must be an object", false;
  warnUnknownKeys(obj, "vm",
                  {"instanceId", "worldGroupId", "vmmLeaderId", "worldIds", "hasVmm", "poweredOn",
                   "displayName", "configFile", "uuid", "disks"});
  if (!getU32(obj, "worldGroupId", vm.worldGroupId, true, err)) return false;
  vm.instanceId = vm.worldGroupId;
  vm.vmmLeaderId = vm.worldGroupId;
  if (!getU32(obj, "instanceId", vm.instanceId, false, err) ||
      !getU32(obj, "vmmLeaderId", vm.vmmLeaderId, false, err) ||
      !getBool(obj, "hasVmm", vm.hasVmm, err) || !getBool(obj, "poweredOn", vm.poweredOn, err) ||
      !getString(obj, "displayName", vm.displayName, err) ||
      !getString(obj, "configFile", vm.configFile, err) || !getString(obj, "uuid", vm.uuid, err))
    return false;
  std::string wg = std::to_string(vm.worldGroupId);
  if (vm.displayName.empty()) vm.displayName = "vm-" + wg;
  if (vm.configFile.empty())
    vm.configFile = "/srv/vms/" + vm.displayName + "/" + vm.displayName + ".conf";
  // Only an absent key takes the derived default: an explicit "" is an
  // empty uuid text.
  if (!json_object_get(obj, "uuid")) {
    char u[64];
    uint32_t x = vm.worldGroupId;
    snprintf(u, sizeof u, "42 00 00 00 %02x %02x %02x %02x-00 00 00 00 00 00 00 01", x >> 24,
             (x >> 16) & 0xff, (x >> 8) & 0xff, x & 0xff);
    vm.uuid = u;
  }
  if (json_t *ids = json_object_get(obj, "worldIds")) {
    if (!json_is_array(ids)) return err = "worldIds must be an array", false;
    size_t i;
    json_t *v;
    json_array_foreach(ids, i, v) {
      if (!json_is_integer(v) || json_integer_value(v) < 0 || json_integer_value(v) > 0xFFFFFFFFLL)
        return err = "worldIds must hold 32-bit integers", false;
      vm.worldIds.push_back((uint32_t)json_integer_value(v));
    }
  }
  if (json_t *disks = json_object_get(obj, "disks")) {
    if (!json_is_array(disks)) return err = "disks must be an array", false;
    size_t i;
    json_t *v;
    json_array_foreach(disks, i, v) {
      Disk d;
      if (!parseDisk(v, d, err)) return err = "vm " + wg + ": " + err, false;
      if (d.name.empty()) d.name = "scsi0:" + std::to_string(i);
      if (vm.findDisk(d.handleId))
        return err = "vm " + wg + ": duplicate handleId " + std::to_string(d.handleId), false;
      vm.disks.push_back(std::move(d));
    }
  }
  return true;
}

bool addVmToHost(Host &h, Vm vm, std::string &err) {
  for (const Vm &o : h.vms) {
    if (o.worldGroupId == vm.worldGroupId)
      return err = "duplicate worldGroupId " + std::to_string(vm.worldGroupId), false;
    if (o.instanceId == vm.instanceId)
      return err = "duplicate instanceId " + std::to_string(vm.instanceId), false;
  }
  h.vms.push_back(std::move(vm));
  return true;
}

std::unique_ptr<Host> parseHostJson(json_t *root, std::string &err) {
  if (!json_is_object(root)) return err = "host description must be a JSON object", nullptr;
  warnUnknownKeys(root, "host",
                  {"vms", "signatureMatches", "hostBuildDate", "staleTraces",
                   "channelCapacityBytes", "faults"});
  auto h = std::make_unique<Host>();
  if (!getBool(root, "signatureMatches", h->signatureMatches, err) ||
      !getString(root, "hostBuildDate", h->hostBuildDate, err) ||
      !jsonU64(root, "channelCapacityBytes", h->channelCapacityBytes, false, err))
    return nullptr;
  if (h->channelCapacityBytes < RECORD_SIZE || h->channelCapacityBytes > (4ull << 30))
    return err = "channelCapacityBytes must be 48 .. 4 GiB", nullptr;
  if (json_t *vms = json_object_get(root, "vms")) {
    if (!json_is_array(vms)) return err = "vms must be an array", nullptr;
    size_t i;
    json_t *v;
    json_array_foreach(vms, i, v) {
      Vm vm;
      if (!parseVm(v, vm, err) || !addVmToHost(*h, std::move(vm), err)) return nullptr;
    }
  }
  if (json_t *st = json_object_get(root, "staleTraces")) {
    if (!json_is_array(st)) return err = "staleTraces must be an array", nullptr;
    size_t i;
    json_t *v;
    json_array_foreach(st, i, v) {
      uint32_t wg = 0;
      uint64_t handle = 0;
      if (!getU32(v, "worldGroupId", wg, true, err) || !jsonU64(v, "handleId", handle, true, err))
        return err = "staleTraces: " + err, nullptr;
      h->traced.insert({wg, handle});
    }
  }
  if (json_t *faults = json_object_get(root, "faults")) {
    if (!json_is_array(faults)) return err = "faults must be an array", nullptr;
    size_t i;
    json_t *v;
    json_array_foreach(faults, i, v) {
      json_t *name = json_object_get(v, "node");
      int node = json_is_string(name) ? nodeByName(json_string_value(name)) : 0;
      if (!node) return err = "faults: missing or unknown \"node\"", nullptr;
      Host::StartFault f{node, ST_FAILURE, 1};
      if (json_t *st = json_object_get(v, "status"))
        if (!jsonStatus(st, f.status)) return err = "faults: bad \"status\"", nullptr;
      if (json_t *c = json_object_get(v, "count")) {
        if (!json_is_integer(c)) return err = "faults: \"count\" must be an integer", nullptr;
        f.count = json_integer_value(c);
      }
      h->startFaults.push_back(f);
    }
  }
  return h;
}

std::unique_ptr<Host> parseHost(const char *text, std::string &err) {
  json_error_t jerr;
  json_t *root = json_loads(text, 0, &jerr);
  if (!root) {
    err = std::string("invalid JSON (line ") + std::to_string(jerr.line) + "): " + jerr.text;
    return nullptr;
  }
  auto h = parseHostJson(root, err);
  json_decref(root);
  return h;
}

json_t *vmJson(const Host &h, const Vm &vm) {
  json_t *o = json_object();
  json_object_set_new(o, "instanceId", json_integer(vm.instanceId));
  json_object_set_new(o, "worldGroupId", json_integer(vm.worldGroupId));
  json_object_set_new(o, "vmmLeaderId", json_integer(vm.vmmLeaderId));
  json_t *ids = json_array();
  for (uint32_t w : vm.worldIds) json_array_append_new(ids, json_integer(w));
  json_object_set_new(o, "worldIds", ids);
  json_object_set_new(o, "hasVmm", json_boolean(vm.hasVmm));
  json_object_set_new(o, "poweredOn", json_boolean(vm.poweredOn));
  json_object_set_new(o, "displayName", json_string(vm.displayName.c_str()));
  json_object_set_new(o, "configFile", json_string(vm.configFile.c_str()));
  json_object_set_new(o, "uuid", json_string(vm.uuid.c_str()));
  json_t *disks = json_array();
  for (const Disk &d : vm.disks) {
    json_t *dj = json_object();
    json_object_set_new(dj, "handleId", json_integer((json_int_t)d.handleId));
    json_object_set_new(dj, "name", json_string(d.name.c_str()));
    json_object_set_new(dj, "traced",
                        json_boolean(h.traced.count({vm.worldGroupId, d.handleId}) > 0));
    if (d.hasWorkload) json_object_set_new(dj, "workload", workloadJson(d.workload));
    json_array_append_new(disks, dj);
  }
  json_object_set_new(o, "disks", disks);
  return o;
}

std::string errorReply(const std::string &msg) {
  json_t *o = json_pack("{s:s}", "error", msg.c_str());
  char *s = json_dumps(o, JSON_COMPACT);
  std::string r = s ? s : "{\"error\":\"internal\"}";
  free(s);
  json_decref(o);
  return r;
}

// The built-in demo host: three VMs, five disks, moderate rates.
const char *demoHostJson() {
  return R"JSON({
  "vms": [
    {"instanceId": 1001, "worldGroupId": 70001, "vmmLeaderId": 70010, "worldIds": [70011, 70012],
     "displayName": "db-01", "configFile": "/srv/vms/db-01/db-01.conf",
     "uuid": "42 1a 2b 3c 4d 5e 6f 70-81 92 a3 b4 c5 d6 e7 f8",
     "disks": [
       {"handleId": 8001, "name": "scsi0:0",
        "workload": {"rate": 1500, "readFraction": 0.7, "sizes": [{"bytes": 8192, "weight": 1}],
                     "sequentialFraction": 0.05, "workingSetBlocks": 2621440,
                     "latency": {"meanUs": 400, "jitterUs": 300},
                     "reorder": {"fraction": 0.02, "maxUs": 200}, "seed": 11}},
       {"handleId": 8002, "name": "scsi0:1",
        "workload": {"rate": 400, "readFraction": 0.1, "sizes": [{"bytes": 4096, "weight": 3}, {"bytes": 65536, "weight": 1}],
                     "sequentialFraction": 0.9, "workingSetBlocks": 262144,
                     "latency": {"meanUs": 250, "jitterUs": 100}, "seed": 12}}
     ]},
    {"instanceId": 1002, "worldGroupId": 70002, "worldIds": [70021],
     "displayName": "web-01", "configFile": "/srv/vms/web-01/web-01.conf",
     "uuid": "42 2b 3c 4d 5e 6f 70 81-92 a3 b4 c5 d6 e7 f8 09",
     "disks": [
       {"handleId": 8003, "name": "scsi0:0",
        "workload": {"rate": 2000, "readFraction": 0.95, "sizes": [{"bytes": 65536, "weight": 2}, {"bytes": 4096, "weight": 1}],
                     "sequentialFraction": 0.85, "workingSetBlocks": 524288,
                     "latency": {"histogram": [{"us": 150, "weight": 6}, {"us": 800, "weight": 3}, {"us": 6000, "weight": 1}]},
                     "seed": 21}},
       {"handleId": 8004, "name": "scsi0:1",
        "workload": {"rate": 300, "readFraction": 0.5, "sizes": [{"bytes": 4096, "weight": 1}],
                     "sequentialFraction": 0.3, "workingSetBlocks": 65536,
                     "latency": {"meanUs": 900, "jitterUs": 600}, "seed": 22}}
     ]},
    {"instanceId": 1003, "worldGroupId": 70003, "worldIds": [70031],
     "displayName": "backup-01", "configFile": "/srv/vms/backup-01/backup-01.conf",
     "uuid": "42 3c 4d 5e 6f 70 81 92-a3 b4 c5 d6 e7 f8 09 1a",
     "disks": [
       {"handleId": 8005, "name": "scsi0:0",
        "workload": {"rate": 200, "readFraction": 0.0, "sizes": [{"bytes": 1048576, "weight": 1}],
                     "sequentialFraction": 1.0, "workingSetBlocks": 26214400,
                     "latency": {"meanUs": 5000, "jitterUs": 2000}, "seed": 31}}
     ]}
  ]
})JSON";
}

}  // namespace hostsim

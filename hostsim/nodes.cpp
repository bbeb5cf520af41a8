// The TARN node operations over the host model and the trace channel, and the
// lazy start of the simulated host.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

#include "internal.h"

namespace hostsim {
namespace {

std::once_flag g_startOnce;
std::mutex g_lifecycleMutex;  // serialises host replacement and control server changes

void putU32(void *out, size_t at, uint32_t v) { memcpy(static_cast<uint8_t *>(out) + at, &v, 4); }
void putU64(void *out, size_t at, uint64_t v) { memcpy(static_cast<uint8_t *>(out) + at, &v, 8); }
void putText(void *out, size_t at, size_t field, const std::string &s) {
  size_t n = std::min(s.size(), field - 1);
  memcpy(static_cast<uint8_t *>(out) + at, s.data(), n);
  static_cast<uint8_t *>(out)[at + n] = 0;
}

// HOSTSIM_STATE_AT_EXIT names a file that receives the "state" reply when
// the process ends, so that tests can check what a finished run left behind
// (traces still on, parameter lists not destroyed).
std::string g_stateDumpPath;

void dumpStateAtExit() {
  std::string state = controlExecuteText("{\"op\":\"state\"}", 14, nullptr);
  if (FILE *f = fopen(g_stateDumpPath.c_str(), "w")) {
    fputs(state.c_str(), f);
    fclose(f);
  }
}

void startFromEnvironment() {
  std::unique_ptr<Host> h;
  std::string err;
  const char *cfg = getenv("HOSTSIM_CONFIG");
  if (cfg && *cfg) {
    std::ifstream in(cfg, std::ios::binary);
    if (!in) {
      fprintf(stderr, "hostsim: cannot read HOSTSIM_CONFIG file %s; running an empty host\n", cfg);
    } else {
      std::stringstream ss;
      ss << in.rdbuf();
      h = parseHost(ss.str().c_str(), err);
      if (!h)
        fprintf(stderr, "hostsim: invalid host description %s: %s; running an empty host\n", cfg,
                err.c_str());
    }
    if (!h) h = std::make_unique<Host>();
  } else {
    h = parseHost(demoHostJson(), err);
    if (!h) {  // cannot happen unless the demo text is broken
      fprintf(stderr, "hostsim: demo host invalid: %s\n", err.c_str());
      h = std::make_unique<Host>();
    }
  }
  std::lock_guard<std::mutex> lock(g_lifecycleMutex);
  replaceHost(std::move(h));
  if (const char *dump = getenv("HOSTSIM_STATE_AT_EXIT"); dump && *dump) {
    g_stateDumpPath = dump;
    atexit(dumpStateAtExit);
  }
  const char *ctl = getenv("HOSTSIM_CONTROL");
  std::string path = ctl ? ctl : "/var/run/hostsim.ctl";
  if (!path.empty() && path != "none") controlServerStart(path);
}

// Instance integer at `index`, or false.
bool instInt(TARN_ParamList *inst, int index, int64_t &v) {
  return inst && paramInt(inst, index, v);
}

// Resolves the VM named by instance parameter 0; fails for unknown or powered-off VMs.
TARN_Status liveVm(TARN_ParamList *inst, Host::Addr how, Vm *&vm) {
  int64_t id;
  if (!instInt(inst, 0, id)) return ST_BAD_PARAM;
  vm = host->findVm(id, how);
  if (!vm || !vm->poweredOn) return ST_NOT_FOUND;
  return ST_OK;
}

TARN_Status liveDisk(TARN_ParamList *inst, Vm *&vm, Disk *&disk) {
  TARN_Status st = liveVm(inst, Host::Addr::GroupFirst, vm);
  if (st) return st;
  int64_t h;
  if (!instInt(inst, 1, h)) return ST_BAD_PARAM;
  disk = vm->findDisk((uint64_t)h);
  return disk ? ST_OK : ST_NOT_FOUND;
}

TARN_Status getLocked(int node, TARN_ParamList *inst, void *out, uint32_t outSize) {
  Vm *vm = nullptr;
  Disk *disk = nullptr;
  TARN_Status st;
  auto need = [&](uint32_t n) { return out && outSize >= n; };
  switch (node) {
    case N_vm_cartelID:
      if ((st = liveVm(inst, Host::Addr::VmFirst, vm))) return st;
      if (!need(4)) return ST_BAD_PARAM;
      putU32(out, 0, vm->worldGroupId);
      return ST_OK;
    case N_vm_vmmGroupInfo:
      if ((st = liveVm(inst, Host::Addr::VmFirst, vm))) return st;
      if (!need(TARN_VMMGROUPINFO_SIZE)) return ST_BAD_PARAM;
      memset(out, 0, TARN_VMMGROUPINFO_SIZE);
      putU32(out, 0, vm->worldGroupId);
      putU32(out, 4, vm->vmmLeaderId);
      putText(out, TARN_VMMGROUPINFO_UUID_OFFSET,
              TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET - TARN_VMMGROUPINFO_UUID_OFFSET, vm->uuid);
      putText(out, TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET, 1024, vm->displayName);
      putText(out, TARN_VMMGROUPINFO_CONFIGFILE_OFFSET,
              TARN_VMMGROUPINFO_SIZE - TARN_VMMGROUPINFO_CONFIGFILE_OFFSET, vm->configFile);
      return ST_OK;
    case N_world_info: {
      if ((st = liveVm(inst, Host::Addr::World, vm))) return st;
      if (!need(TARN_WORLDINFO_SIZE)) return ST_BAD_PARAM;
      int64_t id = 0;
      instInt(inst, 0, id);
      memset(out, 0, TARN_WORLDINFO_SIZE);
      putU32(out, 0, (uint32_t)id);
      putU32(out, TARN_WORLDINFO_GROUPID_OFFSET, vm->worldGroupId);
      return ST_OK;
    }
    case N_worldGroups_hasVmm:
      if ((st = liveVm(inst, Host::Addr::GroupFirst, vm))) return st;
      if (!need(1)) return ST_BAD_PARAM;
      *static_cast<uint8_t *>(out) = vm->hasVmm ? 1 : 0;
      return ST_OK;
    case N_worldGroups_vmmLeaderID:
      if ((st = liveVm(inst, Host::Addr::GroupFirst, vm))) return st;
      if (!need(4)) return ST_BAD_PARAM;
      putU32(out, 0, vm->vmmLeaderId);
      return ST_OK;
    case N_worldGroups_vscsi_name:
      if ((st = liveDisk(inst, vm, disk))) return st;
      if (!need(TARN_VSCSI_NAME_SIZE)) return ST_BAD_PARAM;
      memset(out, 0, TARN_VSCSI_NAME_SIZE);
      putText(out, 0, TARN_VSCSI_NAME_SIZE, disk->name);
      return ST_OK;
    case N_perf_vethra_handles_handleInfo: {
      int64_t h;
      if (!instInt(inst, 0, h)) return ST_BAD_PARAM;
      if (!need(TARN_HANDLEINFO_SIZE)) return ST_BAD_PARAM;
      for (const auto &t : host->traced) {
        if (t.second != (uint64_t)h) continue;
        memset(out, 0, TARN_HANDLEINFO_SIZE);
        putU32(out, 0, t.first);
        putU64(out, 4, t.second);
        return ST_OK;
      }
      return ST_NOT_FOUND;
    }
    case N_perf_vethra_monitoredDiskCount:
      if (!need(4)) return ST_BAD_PARAM;
      putU32(out, 0, (uint32_t)(int32_t)host->traced.size());
      return ST_OK;
    case N_vm:
    case N_worldGroups_vscsi:
    case N_perf_vethra_handles:
    case N_worldGroups_vscsi_stats_startVethraTrace:
    case N_worldGroups_vscsi_stats_stopVethraTrace:
    case N_perf_vethra_command_clearLogChannel:
    case N_perf_vethra_command_resetStartTimestamp:
      return ST_NOT_SUPPORTED;
    default:
      return ST_NOT_FOUND;
  }
}

TARN_Status setLocked(int node, TARN_ParamList *inst) {
  Vm *vm = nullptr;
  Disk *disk = nullptr;
  TARN_Status st;
  switch (node) {
    case N_worldGroups_vscsi_stats_startVethraTrace:
      if ((st = liveDisk(inst, vm, disk))) return st;
      if (host->traced.insert({vm->worldGroupId, disk->handleId}).second)
        disk->gen.initialized = false;
      return ST_OK;
    case N_worldGroups_vscsi_stats_stopVethraTrace: {
      int64_t id, h;
      if (!instInt(inst, 0, id) || !instInt(inst, 1, h)) return ST_BAD_PARAM;
      vm = host->findVm(id, Host::Addr::GroupFirst);
      // A trace left by an earlier run may name a world group the host no longer has.
      uint32_t wg = vm ? vm->worldGroupId : (uint32_t)id;
      if (host->traced.erase({wg, (uint64_t)h})) return ST_OK;
      if (!vm || !vm->poweredOn || !vm->findDisk((uint64_t)h)) return ST_NOT_FOUND;
      return ST_OK;  // known disk, not traced: nothing to do
    }
    default:
      return ST_NOT_SUPPORTED;
  }
}

TARN_Status instanceListLocked(int node, TARN_ParamList *inst, TARN_ParamList *result) {
  std::vector<int64_t> ids;
  switch (node) {
    case N_vm:
      for (const Vm &vm : host->vms)
        if (vm.poweredOn) ids.push_back(vm.instanceId);
      break;
    case N_worldGroups_vscsi: {
      Vm *vm;
      if (TARN_Status st = liveVm(inst, Host::Addr::GroupFirst, vm)) return st;
      for (const Disk &d : vm->disks) ids.push_back((int64_t)d.handleId);
      break;
    }
    case N_perf_vethra_handles:
      for (const auto &t : host->traced) ids.push_back((int64_t)t.second);
      break;
    default:
      return nodeName(node) ? ST_NOT_SUPPORTED : ST_NOT_FOUND;
  }
  paramClear(result);
  for (int64_t id : ids)
    if (TARN_Status st = TARN_ParamListAddInt(result, id)) return st;
  return ST_OK;
}

}  // namespace

void ensureStarted() { std::call_once(g_startOnce, startFromEnvironment); }

int configure(const char *json, const char *controlPath) {
  std::call_once(g_startOnce, [] {});  // an explicit configuration replaces the lazy start
  std::string err;
  auto h = parseHost(json ? json : demoHostJson(), err);
  if (!h) {
    fprintf(stderr, "hostsim: hostsim_configure: %s\n", err.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_lifecycleMutex);
  controlServerStop();
  replaceHost(std::move(h));
  if (controlPath && *controlPath && !controlServerStart(controlPath)) return -1;
  return 0;
}

void replaceHost(std::unique_ptr<Host> h) {
  static std::mutex replaceMutex;  // one replacement at a time (hostsim_configure, "configure" op)
  std::lock_guard<std::mutex> serial(replaceMutex);
  generatorStop();
  {
    std::lock_guard<std::mutex> lock(hostMutex);
    uint64_t cap = h->channelCapacityBytes;
    delete host;
    host = h.release();
    channelReset(cap);
    resetTraceClock();
    resetCallCounts();
    clearFaults();
    for (const auto &f : host->startFaults) setFault(f.node, f.status, f.count);
  }
  generatorStart();
}

}  // namespace hostsim

using namespace hostsim;

extern "C" {

TARN_Status TARN_Get(uint16_t node, TARN_ParamList *instance, void *out, uint32_t outSize) {
  ensureStarted();
  countCall(node);
  if (TARN_Status f = takeFault(node)) return f;
  if (node == N_perf_logChannel_data) {
    std::string name;
    if (!instance || !paramString(instance, 0, name)) return ST_BAD_PARAM;
    if (name != CHANNEL_NAME) return ST_NOT_FOUND;
    if (!out || outSize < 4) return ST_BAD_PARAM;
    uint32_t max = std::min<uint32_t>(outSize - 4, TARN_LOGCHANNEL_MAX_DATA);
    uint32_t n = channelRead(static_cast<uint8_t *>(out) + 4, max);
    memcpy(out, &n, 4);
    return ST_OK;
  }
  std::lock_guard<std::mutex> lock(hostMutex);
  return getLocked(node, instance, out, outSize);
}

TARN_Status TARN_Set(uint16_t node, TARN_ParamList *instance, TARN_ParamList *input, void *out,
                     uint32_t outSize) {
  (void)out;
  (void)outSize;
  ensureStarted();
  countCall(node);
  if (TARN_Status f = takeFault(node)) return f;
  switch (node) {
    case N_perf_logChannel_data: {
      std::string name;
      int64_t bytes;
      if (!instance || !paramString(instance, 0, name)) return ST_BAD_PARAM;
      if (name != CHANNEL_NAME) return ST_NOT_FOUND;
      if (!input || !paramInt(input, 0, bytes) || bytes < 0) return ST_BAD_PARAM;
      channelAck((uint64_t)bytes);
      return ST_OK;
    }
    case N_perf_vethra_command_clearLogChannel:
      channelClear();
      return ST_OK;
    case N_perf_vethra_command_resetStartTimestamp:
      resetTraceClock();
      return ST_OK;
    default: {
      std::lock_guard<std::mutex> lock(hostMutex);
      return setLocked(node, instance);
    }
  }
}

TARN_Status TARN_GetInstanceList(uint16_t node, TARN_ParamList *instance, TARN_ParamList *result) {
  ensureStarted();
  countCall(node);
  if (TARN_Status f = takeFault(node)) return f;
  if (!result) return ST_BAD_PARAM;
  std::lock_guard<std::mutex> lock(hostMutex);
  return instanceListLocked(node, instance, result);
}

TARN_Status TARN_GetInstanceListAlloc(uint16_t node, TARN_ParamList *instance,
                                      TARN_ParamList **result) {
  ensureStarted();
  countCall(node);
  if (TARN_Status f = takeFault(node)) return f;
  if (!result) return ST_BAD_PARAM;
  TARN_ParamList *list = allocResultList();
  if (!list) return ST_NO_MEMORY;
  TARN_Status st;
  {
    std::lock_guard<std::mutex> lock(hostMutex);
    st = instanceListLocked(node, instance, list);
  }
  if (st) {
    TARN_ParamListDestroy(list);
    return st;
  }
  *result = list;
  return ST_OK;
}

int hostsim_configure(const char *json, const char *controlPath) {
  return hostsim::configure(json, controlPath);
}

}  // extern "C"

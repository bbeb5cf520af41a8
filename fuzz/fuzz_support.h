// Shared by the fuzz targets: a small simulated host in this process, the
// daemon's registry, and the reset that puts both back between inputs so
// that every input starts from the same state.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "base/config.h"
#include "base/log.h"
#include "hostsim.h"
#include "registry/registry.h"
#include "trace/tracing.h"

namespace vtrfuzz {

// Ids the corpus uses: 1001 with two disks, 1002 with one (also reachable
// through its vmm leader id 1020), 1003 without disks, 1004
// powered off, 1005 without a vmm, 4294967295 rendered as a negative id,
// 1006 whose VM and disk names the daemon's truncation (127 and 15 bytes)
// cuts inside a two-byte character, leaving text that is not valid UTF-8.
inline std::string HostJson() {
  std::string vmName(126, 'v'), diskName(14, 'd');
  return R"({"vms":[
  {"worldGroupId":1001,"displayName":"db01","disks":[{"handleId":8001,"name":"scsi0:0"},
                                                     {"handleId":8002,"name":"scsi0:1"}]},
  {"worldGroupId":1002,"vmmLeaderId":1020,"disks":[{"handleId":8003}]},
  {"worldGroupId":1003,"disks":[]},
  {"worldGroupId":1004,"poweredOn":false,"disks":[{"handleId":8004}]},
  {"worldGroupId":1005,"hasVmm":false,"disks":[{"handleId":8005}]},
  {"worldGroupId":4294967295,"disks":[{"handleId":"18446744073709551615"}]},
  {"worldGroupId":1006,"displayName":")" +
         vmName + R"(\u00e9","disks":[{"handleId":8006,"name":")" + diskName + R"(\u00e9"}]}]})";
}

inline void IgnoreLog(int, const char *) {}
// VETHRA_FUZZ_LOG=1 prints the daemon's log lines, to follow a reproducer.
inline void PrintLog(int priority, const char *message) {
  fprintf(stderr, "<%d> %s\n", priority, message);
}

// Once per process: the host, the run configuration (every log line is
// formatted, sliding change rates so that command 14 reads estimators) and
// an empty registry. No Producer or Consumer runs: the disks are silent.
inline void Setup() {
  if (hostsim_configure(HostJson().c_str(), nullptr) != 0) {
    fprintf(stderr, "fuzz: host description rejected\n");
    abort();
  }
  VTR_ResetRunConfig();
  VTR_StartupConfig().logLevel = 7;
  VTR_StartupConfig().changeRateEnabled = true;
  VTR_StartupConfig().slidingHllEnabled = true;
  VTR_SetLogHook(getenv("VETHRA_FUZZ_LOG") ? PrintLog : IgnoreLog);
  if (VTR_InitHashTblAndList() != 0) abort();
}

inline int32_t MonitoredDiskCount() {
  int32_t count = -1;
  TARN_Get(TARN_NODE_perf_vethra_monitoredDiskCount, nullptr, &count, sizeof count);
  return count;
}

// Disables every VM the input added. Afterwards nothing may be left: no
// node, no disk entry, no trace in the host.
inline void ResetRegistry() {
  TARN_ParamList *instance = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 2);
  {
    RegistryGuard guard;
    while (!VTR_VMListEmpty()) {
      VMListNode *node = VTR_VMListHeadNode()->next;
      VTR_DisableVMTrace(node->worldGroupId, instance);
      if (VTR_VMListHeadNode()->next == node) {
        fprintf(stderr, "fuzz: VM %u could not be disabled\n", node->worldGroupId);
        abort();
      }
    }
  }
  TARN_ParamListDestroy(instance);
  if (!VTR_DiskTableEmpty()) {
    fprintf(stderr, "fuzz: a disk entry outlived its VM\n");
    abort();
  }
  if (MonitoredDiskCount() != 0) {
    fprintf(stderr, "fuzz: %d disks still traced after every VM was disabled\n",
            MonitoredDiskCount());
    abort();
  }
}

}  // namespace vtrfuzz

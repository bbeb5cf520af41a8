// STUB: replaced by the simulated host.
#include <stdarg.h>
#include <stdio.h>
#include "host/hostrt.h"
#include "hostsim.h"
extern "C" {
const uint16_t TARN_NODE_vm = 1, TARN_NODE_vm_vmxCartelID = 2, TARN_NODE_vm_vmmGroupInfo = 3,
    TARN_NODE_world_info = 4, TARN_NODE_worldGroups_hasVmm = 5, TARN_NODE_worldGroups_vmmLeaderID = 6,
    TARN_NODE_worldGroups_vscsi = 7, TARN_NODE_worldGroups_vscsi_name = 8,
    TARN_NODE_worldGroups_vscsi_stats_startVethraTrace = 9, TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace = 10,
    TARN_NODE_perf_vethra_handles = 11, TARN_NODE_perf_vethra_handles_handleInfo = 12,
    TARN_NODE_perf_vethra_monitoredDiskCount = 13, TARN_NODE_perf_vethra_command_clearLogChannel = 14,
    TARN_NODE_perf_vethra_command_resetStartTimestamp = 15, TARN_NODE_perf_logChannel_data = 16;
TARN_ParamList *TARN_ParamListCreate(int, int) { return nullptr; }
TARN_ParamList *TARN_ParamListCreateAndAllocateParams(int, int, int) { return nullptr; }
TARN_Status TARN_ParamListAddInt(TARN_ParamList *, int64_t) { return 1; }
TARN_Status TARN_ParamListAddString(TARN_ParamList *, const char *) { return 1; }
TARN_Status TARN_ParamListRemoveLastParam(TARN_ParamList *) { return 1; }
int TARN_ParamListUsedCount(const TARN_ParamList *) { return 0; }
TARN_Param *TARN_ParamListGetParam(TARN_ParamList *, int) { return nullptr; }
int64_t TARN_ParamGetInt(const TARN_Param *) { return 0; }
void TARN_ParamListDestroy(TARN_ParamList *) {}
TARN_Status TARN_Get(uint16_t, TARN_ParamList *, void *, uint32_t) { return 0xBAD0001; }
TARN_Status TARN_Set(uint16_t, TARN_ParamList *, TARN_ParamList *, void *, uint32_t) { return 0xBAD0001; }
TARN_Status TARN_GetInstanceList(uint16_t, TARN_ParamList *, TARN_ParamList *) { return 0xBAD0001; }
TARN_Status TARN_GetInstanceListAlloc(uint16_t, TARN_ParamList *, TARN_ParamList **) { return 0xBAD0001; }
int TARN_CheckSig(char *, int, const char **) { return 0; }
const char *BREL_ReturnStatusToString(uint32_t) { return "Failure"; }
int Str_Sprintf(char *buf, size_t size, const char *fmt, ...) {
  va_list ap; va_start(ap, fmt); int n = vsnprintf(buf, size, fmt, ap); va_end(ap); return n;
}
int hostsim_configure(const char *, const char *) { return -1; }
char *hostsim_control(const char *) { return nullptr; }
void hostsim_free(void *) {}
}

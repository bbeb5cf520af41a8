// The host's system-information node interface (TARN) as offered by the
// platform library libhostrt.so. The daemon reads host state and issues
// tracing commands only through these operations.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// 32-bit host status; 0 is success.
typedef uint32_t TARN_Status;

typedef struct TARN_ParamList TARN_ParamList;
typedef struct TARN_Param TARN_Param;

// Kinds of parameter list.
enum {
  TARN_PARAMLIST_INPUT = 0,     // values for a set
  TARN_PARAMLIST_INSTANCE = 1,  // names a node instance
};

// Node identifiers, exported by the library as data objects.
extern const uint16_t TARN_NODE_vm;
extern const uint16_t TARN_NODE_vm_cartelID;
extern const uint16_t TARN_NODE_vm_vmmGroupInfo;
extern const uint16_t TARN_NODE_world_info;
extern const uint16_t TARN_NODE_worldGroups_hasVmm;
extern const uint16_t TARN_NODE_worldGroups_vmmLeaderID;
extern const uint16_t TARN_NODE_worldGroups_vscsi;
extern const uint16_t TARN_NODE_worldGroups_vscsi_name;
extern const uint16_t TARN_NODE_worldGroups_vscsi_stats_startVethraTrace;
extern const uint16_t TARN_NODE_worldGroups_vscsi_stats_stopVethraTrace;
extern const uint16_t TARN_NODE_perf_vethra_handles;
extern const uint16_t TARN_NODE_perf_vethra_handles_handleInfo;
extern const uint16_t TARN_NODE_perf_vethra_monitoredDiskCount;
extern const uint16_t TARN_NODE_perf_vethra_command_clearLogChannel;
extern const uint16_t TARN_NODE_perf_vethra_command_resetStartTimestamp;
extern const uint16_t TARN_NODE_perf_logChannel_data;

// Record layouts of the nodes the daemon reads (byte offsets of the fields it uses).
enum {
  TARN_VMMGROUPINFO_SIZE = 3396,
  TARN_VMMGROUPINFO_UUID_OFFSET = 132,         // NUL-terminated host UUID text
  TARN_VMMGROUPINFO_DISPLAYNAME_OFFSET = 388,  // NUL-terminated, field spans 1024 bytes
  TARN_VMMGROUPINFO_CONFIGFILE_OFFSET = 1412,  // NUL-terminated
  TARN_WORLDINFO_SIZE = 72,
  TARN_WORLDINFO_GROUPID_OFFSET = 4,
  TARN_HANDLEINFO_SIZE = 28,  // u32 world group id at 0, u64 handle id at 4
  TARN_VSCSI_NAME_SIZE = 16,
  TARN_LOGCHANNEL_BUFFER_SIZE = 16384,  // u32 byte count, then up to 16380 data bytes
  TARN_LOGCHANNEL_MAX_DATA = 16380,
};

// Parameter lists. Create returns null when memory runs out.
TARN_ParamList *TARN_ParamListCreate(int kind, int capacity);
TARN_ParamList *TARN_ParamListCreateAndAllocateParams(int kind, int count, int bytes);
TARN_Status TARN_ParamListAddInt(TARN_ParamList *list, int64_t value);
TARN_Status TARN_ParamListAddString(TARN_ParamList *list, const char *value);
TARN_Status TARN_ParamListRemoveLastParam(TARN_ParamList *list);
int TARN_ParamListUsedCount(const TARN_ParamList *list);
TARN_Param *TARN_ParamListGetParam(TARN_ParamList *list, int index);  // null when out of range
int64_t TARN_ParamGetInt(const TARN_Param *param);
void TARN_ParamListDestroy(TARN_ParamList *list);

// Node access. instance and input may be null.
TARN_Status TARN_Get(uint16_t node, TARN_ParamList *instance, void *out, uint32_t outSize);
TARN_Status TARN_Set(uint16_t node, TARN_ParamList *instance, TARN_ParamList *input, void *out,
                     uint32_t outSize);
TARN_Status TARN_GetInstanceList(uint16_t node, TARN_ParamList *instance, TARN_ParamList *result);
TARN_Status TARN_GetInstanceListAlloc(uint16_t node, TARN_ParamList *instance,
                                      TARN_ParamList **result);

// 0 when the interface signature the caller was built with matches the
// running host's. Otherwise buf (bufSize bytes, normally 21) receives the
// host's build date and *ownDate points at the caller's build date.
int TARN_CheckSig(char *buf, int bufSize, const char **ownDate);

const char *BREL_ReturnStatusToString(uint32_t status);
int Str_Sprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

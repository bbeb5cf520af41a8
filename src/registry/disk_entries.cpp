// STUB: replaced by the registry implementation.
#include "registry/registry.h"
hash_table diskTable;
VMListHead vmList;
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
void VTR_InitVMList() { vmList.next = vmList.prev = VTR_VMListHeadNode(); }
void VTR_VMListInsert(VMListNode *) {}
void VTR_VMListUnlink(VMListNode *) {}
VMListNode *VTR_FindVM(uint32_t) { return nullptr; }
uint64_t VTR_GetDiskKey(uint32_t, uint64_t) { return 0; }
VTR_Status VTR_AddHashEntry(uint32_t, uint64_t) { return VTR_FAILURE; }
VTR_Status VTR_DeleteHashEntry(uint32_t, uint64_t) { return VTR_OK; }
VTR_Status VTR_AddVMWorldIdToList(uint32_t, TARN_ParamList *) { return VTR_FAILURE; }
VTR_Status VTR_RemoveVMWorldIdFromList(uint32_t) { return VTR_FAILURE; }
VTR_Status VTR_CheckHasVmm(TARN_ParamList *, uint32_t) { return VTR_FAILURE; }
VTR_Status VTR_GetVMDeviceName(TARN_ParamList *, VMListNode *, uint32_t) { return VTR_FAILURE; }
VTR_Status VTR_AllocAndAddHandleInfoToList(TARN_ParamList *, VMListNode *, TARN_ParamList *, int32_t) { return VTR_FAILURE; }
void VTR_FormatUuid(const char *, char *uuid, size_t) { uuid[0] = 0; }
int VTR_InitHashTblAndList() { VTR_InitVMList(); return hash_init(&diskTable, VTR_DISK_TABLE_BUCKETS); }

// The monitored-disk registry: the VM list and the per-disk entries kept in
// diskTable.
//
// Exclusion (see docs/design.md):
//  - registryLock serialises every change and walk of vmList and every
//    deletion of a disk entry. Request handlers hold it for the whole request;
//    the HyperLogLog period end holds it while it walks vmList, and its
//    helper while it settles one disk.
//  - The Consumer thread uses entries only inside the entry-removal fence
//    that the trace room installs (the record-queue mutex); VTR_DeleteHashEntry
//    unlinks an entry inside that fence, so the Consumer never sees a freed
//    entry.
//  - Lock order: registryLock, record-queue mutex, diskTable lock, estimator lock.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "base/status.h"
#include "changerate/changerate.h"
#include "host/hostrt.h"
#include "registry/counters.h"
#include "registry/hashutil.h"

constexpr int32_t VTR_DISK_TABLE_BUCKETS = 2000;
constexpr int VTR_VM_NAME_SIZE = 128;
constexpr int VTR_UUID_SIZE = 64;
constexpr int VTR_DEV_NAME_SIZE = 16;

struct DiskEntry {
  CounterBlock counters;
  VTR_CR_Metric changeRate;
  hash_node node;
};

struct HandleInfo {
  uint64_t handleId;
  char vscsiDevName[VTR_DEV_NAME_SIZE];
};

struct VMListNode {
  VMListNode *next;
  VMListNode *prev;
  uint32_t worldGroupId;
  char vmName[VTR_VM_NAME_SIZE];
  char uuid[VTR_UUID_SIZE];
  int32_t handleCount;
  HandleInfo *handles;
};

// List head: only the two links are used.
struct VMListHead {
  VMListNode *next;
  VMListNode *prev;
};

// diskTable and vmList are the registry's own (registry/registry_state.h);
// other rooms reach them through the functions below.
extern pthread_mutex_t registryLock;

// Holds registryLock for the lifetime of the guard.
struct RegistryGuard {
  RegistryGuard() { pthread_mutex_lock(&registryLock); }
  ~RegistryGuard() { pthread_mutex_unlock(&registryLock); }
  RegistryGuard(const RegistryGuard &) = delete;
  RegistryGuard &operator=(const RegistryGuard &) = delete;
};

// The list head as a node (only its links may be used), and whether the list
// is empty.
VMListNode *VTR_VMListHeadNode();
bool VTR_VMListEmpty();
void VTR_InitVMList();
// Links a node in directly after the head / unlinks it (links cleared).
void VTR_VMListInsert(VMListNode *node);
void VTR_VMListUnlink(VMListNode *node);
// Unlinks the node when it is linked, then frees it with its handle array.
void VTR_FreeVMNode(VMListNode *node);
VMListNode *VTR_FindVM(uint32_t worldGroupId);

// Calls fn(node) for every VM in list order: oldest first, from head.prev
// along the prev links. The next node is taken before fn runs, so fn may
// unlink and free the node it is given. The caller holds registryLock.
template <typename Fn>
void VTR_ForEachVM(Fn fn) {
  VMListNode *head = VTR_VMListHeadNode();
  for (VMListNode *node = head->prev, *next; node != head; node = next) {
    next = node->prev;
    fn(node);
  }
}

// Locking contract of the operations below: they take no registry lock of
// their own. At run time the caller holds registryLock around every change or
// walk of vmList and around VTR_DeleteHashEntry; at start-up the main thread
// runs alone. None of them may be called while holding recordQueue.mutex:
// VTR_DeleteHashEntry takes it (lock order registryLock -> recordQueue.mutex).
// Names longer than the node's buffers are truncated to fit (vmName 127,
// vscsiDevName 15, uuid 63 bytes) on a UTF-8 character boundary, always
// NUL-terminated.

uint64_t VTR_GetDiskKey(uint32_t worldGroupId, uint64_t handleId);
// The entry under a disk key, or nullptr; takes only the table's own lock.
// The entry stays valid while the caller holds registryLock (no deletion can
// run) or is inside the entry-removal fence.
DiskEntry *VTR_FindDiskEntry(uint64_t key);
// True when diskTable holds no entry (tests and fuzz targets).
bool VTR_DiskTableEmpty();
VTR_Status VTR_AddHashEntry(uint32_t worldGroupId, uint64_t handleId);
VTR_Status VTR_DeleteHashEntry(uint32_t worldGroupId, uint64_t handleId);

VTR_Status VTR_AddVMWorldIdToList(uint32_t worldGroupId, TARN_ParamList *instance);
VTR_Status VTR_RemoveVMWorldIdFromList(uint32_t worldGroupId);
VTR_Status VTR_CheckHasVmm(TARN_ParamList *instance, uint32_t worldGroupId);
VTR_Status VTR_GetVMDeviceName(TARN_ParamList *instance, VMListNode *node, uint32_t worldGroupId);
VTR_Status VTR_AllocAndAddHandleInfoToList(TARN_ParamList *instance, VMListNode *node,
                                           TARN_ParamList *handleList, int32_t count);
// Builds the dashed UUID form from the host's text (exposed for tests).
void VTR_FormatUuid(const char *source, char *uuid, size_t uuidSize);

// HyperLogLog period ends (Consumer thread, without the record-queue mutex):
// when the current 5 minutes are over, ends the due periods of every listed
// disk under registryLock and hands the estimates to a helper thread (started
// on the first end), which settles the disks one by one.
void VTR_HLLRollover(struct timeval *periodEnd, uint32_t *periodCounter);
// Waits until the helper has settled every period end handed to it so far
// (tests and benchmarks).
void VTR_HLLWaitSettled();

// Start-up: creates diskTable and an empty vmList; 0 on success, non-zero
// (after logging the hash_init failure) otherwise. registryLock is static.
int VTR_InitHashTblAndList();
// The pair of VTR_InitHashTblAndList: frees every VM node and disk entry
// (with its estimator) and destroys diskTable. The caller holds registryLock
// or runs alone; no Consumer may run.
void VTR_FinaliseRegistry();

// Hook through which the room that reads disk entries without registryLock
// (the trace pipeline) keeps its readers away while an entry is unlinked:
// enter() shuts the readers out, leave() drops whatever they cached of the
// table and lets them go on. Null members (the default) do nothing.
struct VTR_EntryRemovalFence {
  void (*enter)();
  void (*leave)();
};
void VTR_SetEntryRemovalFence(VTR_EntryRemovalFence fence);

// Per-disk entries in diskTable, keyed by the disk key of (world group id,
// handle id), and the creation of the registry at start-up.
#include <stdlib.h>

#include "base/config.h"
#include "base/log.h"
#include "registry/registry.h"
#include "registry/registry_state.h"

hash_table diskTable;
VMListHead vmList = {reinterpret_cast<VMListNode *>(&vmList),
                     reinterpret_cast<VMListNode *>(&vmList)};
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;

namespace {
VTR_EntryRemovalFence removalFence = {nullptr, nullptr};
}

void VTR_SetEntryRemovalFence(VTR_EntryRemovalFence fence) { removalFence = fence; }

VMListNode *VTR_VMListHeadNode() { return reinterpret_cast<VMListNode *>(&vmList); }
bool VTR_VMListEmpty() { return vmList.next == VTR_VMListHeadNode(); }

DiskEntry *VTR_FindDiskEntry(uint64_t key) {
  return static_cast<DiskEntry *>(hash_lookup(&diskTable, key));
}

bool VTR_DiskTableEmpty() {
  for (int32_t b = 0; b < diskTable.bucketCount; b++) {
    if (diskTable.buckets[b] != nullptr) return false;
  }
  return true;
}

int VTR_InitHashTblAndList() {
  if (hash_init(&diskTable, VTR_DISK_TABLE_BUCKETS) != 0) {
    VTR_Log(LOG_ERR, "Main: hash_init(): failed");
    return -1;
  }
  VTR_InitVMList();
  return 0;
}

void VTR_FinaliseRegistry() {
  while (!VTR_VMListEmpty()) {
    VMListNode *node = vmList.next;
    VTR_VMListUnlink(node);
    free(node->handles);
    free(node);
  }
  if (diskTable.buckets == nullptr) return;
  for (int32_t b = 0; b < diskTable.bucketCount; b++) {
    for (hash_node *n = diskTable.buckets[b], *next; n != nullptr; n = next) {
      next = n->next;
      auto *entry = static_cast<DiskEntry *>(n->value);
      if (changeRateEnabled) VTR_DestroyChangeRate(&entry->changeRate, slidingHllEnabled);
      free(entry);
    }
  }
  hash_destroy(&diskTable);
}

// All arithmetic is unsigned 32-bit and wraps: the Cantor pairing of (a, b)
// while nothing overflows, and a wrapped product beyond that. Only the low 32
// bits of the handle id take part.
uint64_t VTR_GetDiskKey(uint32_t worldGroupId, uint64_t handleId) {
  uint32_t b = static_cast<uint32_t>(handleId);
  uint32_t s = worldGroupId + b;
  uint32_t p = (s + 1u) * s;
  return static_cast<uint64_t>((p >> 1) + b);
}

VTR_Status VTR_AddHashEntry(uint32_t worldGroupId, uint64_t handleId) {
  uint64_t key = VTR_GetDiskKey(worldGroupId, handleId);
  uint64_t bucket = key % VTR_DISK_TABLE_BUCKETS;
  if (hash_lookup_node(&diskTable, key) != nullptr) {
    VTR_Log(LOG_WARNING, "Main: Duplicate hashkey for worldGroupId:%d handleId:%lu Hash: %lu",
            worldGroupId, handleId, bucket);
    return VTR_FAILURE;
  }
  auto *entry = static_cast<DiskEntry *>(calloc(1, sizeof(DiskEntry)));
  if (entry == nullptr) {
    VTR_Log(LOG_ERR, "Main: Malloc failed :%s", "VTR_AddHashEntry");
    return VTR_FAILURE;
  }
  VTR_Log(LOG_INFO, "Main: Adding new hashentry: worldGroupId:%d handleId:%lu Hash: %lu",
          worldGroupId, handleId, bucket);
  if (changeRateEnabled && VTR_InitChangeRate(&entry->changeRate, slidingHllEnabled) != VTR_OK) {
    VTR_Log(LOG_ERR,
            "Main: Failed to allocate memory for HLL Data-structureworldGroupId: %d handleId: %lu",
            worldGroupId, handleId);
    free(entry);
    return VTR_FAILURE;
  }
  VTR_Log(LOG_DEBUG, "hashing %lu (ptr %p)\n", key, static_cast<void *>(entry));
  entry->node.key = key;
  entry->node.value = entry;
  if (hash_insert(&diskTable, &entry->node) == 0) return VTR_OK;
  VTR_Log(LOG_ERR, "hash_insert() failed\n");
  if (changeRateEnabled) VTR_DestroyChangeRate(&entry->changeRate, slidingHllEnabled);
  free(entry);
  return static_cast<VTR_Status>(-1);
}

VTR_Status VTR_DeleteHashEntry(uint32_t worldGroupId, uint64_t handleId) {
  uint64_t key = VTR_GetDiskKey(worldGroupId, handleId);
  auto *entry = static_cast<DiskEntry *>(hash_lookup(&diskTable, key));
  if (entry == nullptr) {
    VTR_Log(LOG_WARNING, "Main: No hash entry found for vm: %d and handleid: %lu", worldGroupId,
            handleId);
    return VTR_OK;
  }
  // The Consumer uses entries only inside the removal fence: once the entry
  // is unlinked and the Consumer's lookup cache dropped inside it, no
  // Consumer can reach the entry any more and it can be freed outside.
  if (removalFence.enter) removalFence.enter();
  if (changeRateEnabled) {
    VTR_DestroyChangeRate(&entry->changeRate, slidingHllEnabled);
    VTR_Log(LOG_DEBUG, "Main: Deleted HLL Data-structure for vmId: %d and handleId: %lu",
            worldGroupId, handleId);
  }
  hash_remove(&diskTable, key);
  if (removalFence.leave) removalFence.leave();
  VTR_Log(LOG_DEBUG, "Main: Hash entry for %d: %d deleted with hashKey: %lu", worldGroupId,
          static_cast<int32_t>(handleId), key % VTR_DISK_TABLE_BUCKETS);
  free(entry);
  return VTR_OK;
}

// HyperLogLog estimator over fixed 5-, 15- and 60-minute periods. The Consumer
// thread feeds the registers and ends the periods; queries read the stored
// estimates under the per-disk spin lock.
#include <errno.h>
#include <stdlib.h>
#include <string.h>


#include "changerate/block_hash.h"
#include "base/clock.h"
#include "base/log.h"
#include "registry/registry.h"

namespace {

void LogNullContext() {
  VTR_Log(LOG_ERR, "HLL: Invalid input argument, pointer to VTR_CR_HLL is NULL");
}

VTR_Status FailInit(VTR_CR_Metric *slot) {
  VTR_HLLDestroy(slot);
  VTR_Log(LOG_ERR, "Change Rate: Failed to initialize");
  return VTR_FAILURE;
}

// Estimates and clears the due sets of one disk under its spin lock.
void RollDisk(VTR_CR_HLL *hll, const bool due[3], uint32_t worldGroupId, uint64_t handleId) {
  int rc = pthread_spin_lock(&hll->lock);
  if (rc != 0) {
    VTR_Log(LOG_ERR, "HLL: Failed to acquire spin lock with Error: %s for vmid: %u handleid: %lu",
            strerror(rc), worldGroupId, handleId);
    return;
  }
  VTRhll *sets[3] = {hll->hll5m, hll->hll15m, hll->hll60m};
  for (int i = 0; i < 3; ++i) {
    if (!due[i] || sets[i] == nullptr) continue;
    VTR_HLLEstimate(sets[i]);
    memset(sets[i]->registers, 0, sizeof(sets[i]->registers));
  }
  rc = pthread_spin_unlock(&hll->lock);
  if (rc != 0) {
    VTR_Log(LOG_ERR, "HLL: Failed to release spin lock with Error: %s for vmid: %u handleid: %lu",
            strerror(rc), worldGroupId, handleId);
  }
}

}  // namespace

VTR_Status VTR_HLLInit(VTR_CR_Metric *slot) {
  if (slot == nullptr) {
    LogNullContext();
    VTR_Log(LOG_ERR, "Change Rate: Failed to initialize");
    return VTR_FAILURE;
  }
  slot->hll = static_cast<VTR_CR_HLL *>(calloc(1, sizeof(VTR_CR_HLL)));
  if (slot->hll == nullptr) {
    VTR_Log(LOG_ERR, "Change Rate: Failed to initialize");
    return VTR_FAILURE;
  }
  int rc = pthread_spin_init(&slot->hll->lock, PTHREAD_PROCESS_PRIVATE);
  if (rc != 0) {
    VTR_Log(LOG_ERR, "HLL: Failed to initialize spin lock: %s", strerror(rc));
    return FailInit(slot);
  }
  for (VTRhll **set : {&slot->hll->hll5m, &slot->hll->hll15m, &slot->hll->hll60m}) {
    *set = static_cast<VTRhll *>(calloc(1, sizeof(VTRhll)));
    if (*set == nullptr) return FailInit(slot);
  }
  return VTR_OK;
}

// One hash per block serves all three sets; no lock: only the Consumer thread
// writes registers, and it is also the thread that clears them.
void VTR_HLLAdd(uint64_t sector, uint32_t length, VTR_CR_HLL *hll) {
  uint8_t *__restrict r5 = hll->hll5m->registers;
  uint8_t *__restrict r15 = hll->hll15m->registers;
  uint8_t *__restrict r60 = hll->hll60m->registers;
  vtr_cr::ForEachBlock(sector, length, [&](uint32_t j, uint8_t rank) {
    r5[j] = r5[j] < rank ? rank : r5[j];
    r15[j] = r15[j] < rank ? rank : r15[j];
    r60[j] = r60[j] < rank ? rank : r60[j];
  });
}

void VTR_HLLEstimate(VTRhll *set) {
  if (set == nullptr) {
    VTR_Log(LOG_ERR, "HLL: Invalid input argument, pointer to VTRhll is NULL");
    return;
  }
  double sum = 0.0;
  uint32_t zeros = 0;
  for (uint8_t r : set->registers) {
    sum += vtr_cr::kInversePowers[r];
    zeros += (r == 0);
  }
  set->estimate = VTR_HllFormula(sum, zeros);
}

void VTR_HLLRollover(struct timeval *periodEnd, uint32_t *periodCounter) {
  struct timeval now;
  VTR_GetTime(&now);
  if (periodEnd == nullptr || periodCounter == nullptr) {
    VTR_Log(LOG_ERR, "HLL: Invalid input argument, pointer is NULL");
    return;
  }
  if (now.tv_sec - periodEnd->tv_sec < VTR_HLL_PERIOD_SECS) return;

  const bool due[3] = {true, *periodCounter % 3 == 0, *periodCounter % 12 == 0};
  {
    RegistryGuard guard;
    VTR_ForEachVM([&](VMListNode *vm) {
      for (int32_t i = 0; i < vm->handleCount; ++i) {
        uint64_t handleId = vm->handles[i].handleId;
        auto *entry = static_cast<DiskEntry *>(
            hash_lookup(&diskTable, VTR_GetDiskKey(vm->worldGroupId, handleId)));
        if (entry == nullptr || entry->changeRate.hll == nullptr) {
          VTR_Log(LOG_ERR, "HLL: No hash/CR entry found for vmid: %u handleid: %lu",
                  vm->worldGroupId, handleId);
          continue;
        }
        RollDisk(entry->changeRate.hll, due, vm->worldGroupId, handleId);
      }
    });
  }
  *periodEnd = now;
  ++*periodCounter;
}

void VTR_HLLDestroy(VTR_CR_Metric *slot) {
  if (slot == nullptr || slot->hll == nullptr) {
    LogNullContext();
    return;
  }
  VTR_CR_HLL *hll = slot->hll;
  for (;;) {
    int rc = pthread_spin_destroy(&hll->lock);
    if (rc == 0) break;
    if (rc != EBUSY) VTR_Log(LOG_ERR, "HLL: Failed to destroy spin lock: %s", strerror(rc));
  }
  for (VTRhll **set : {&hll->hll5m, &hll->hll15m, &hll->hll60m}) {
    free(*set);
    *set = nullptr;
  }
  free(hll);
  slot->hll = nullptr;
}

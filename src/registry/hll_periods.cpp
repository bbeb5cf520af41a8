// HyperLogLog period ends across the registry. The Consumer ends the periods
// of every disk at once, which only swaps register sets; a helper thread then
// walks the disks again and forms the estimates of the ended periods, one
// disk at a time under registryLock, so that requests interleave with it.
#include <pthread.h>

#include <atomic>
#include <utility>
#include <vector>

#include "base/log.h"
#include "registry/registry.h"

namespace {

pthread_mutex_t settleMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t settleChanged = PTHREAD_COND_INITIALIZER;
uint64_t settleRequested = 0;  // period ends handed to the helper
uint64_t settleDone = 0;       // of those, the ends whose walk has finished
pthread_once_t helperOnce = PTHREAD_ONCE_INIT;
std::atomic<bool> helperRunning{false};

// Calls fn(entry) for every disk of the VM list that has a HyperLogLog estimator.
template <typename Fn>
void ForEachHllDisk(VMListNode *vm, Fn fn) {
  for (int32_t i = 0; i < vm->handleCount; ++i) {
    uint64_t handleId = vm->handles[i].handleId;
    auto *entry = VTR_FindDiskEntry(VTR_GetDiskKey(vm->worldGroupId, handleId));
    if (entry == nullptr || entry->changeRate.hll == nullptr) {
      VTR_Log(LOG_ERR, "HLL: No hash/CR entry found for vmid: %u handleid: %lu", vm->worldGroupId,
              handleId);
      continue;
    }
    fn(entry->changeRate.hll);
  }
}

// Settles every disk listed now. Disks come and go meanwhile: each is looked
// up again under registryLock, which keeps it from being freed while settled.
void SettleAll() {
  std::vector<std::pair<uint32_t, uint64_t>> disks;
  {
    RegistryGuard guard;
    VTR_ForEachVM([&](VMListNode *vm) {
      for (int32_t i = 0; i < vm->handleCount; ++i)
        disks.emplace_back(vm->worldGroupId, vm->handles[i].handleId);
    });
  }
  for (const auto &[worldGroupId, handleId] : disks) {
    RegistryGuard guard;
    auto *entry = VTR_FindDiskEntry(VTR_GetDiskKey(worldGroupId, handleId));
    if (entry != nullptr && entry->changeRate.hll != nullptr) VTR_HLLSettle(entry->changeRate.hll);
  }
}

void *SettleThread(void *) {
  pthread_mutex_lock(&settleMutex);
  for (;;) {
    while (settleDone == settleRequested) pthread_cond_wait(&settleChanged, &settleMutex);
    uint64_t target = settleRequested;
    pthread_mutex_unlock(&settleMutex);
    SettleAll();
    pthread_mutex_lock(&settleMutex);
    settleDone = target;
    pthread_cond_broadcast(&settleChanged);
  }
  return nullptr;
}

void StartHelper() {
  pthread_t thread;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  helperRunning = pthread_create(&thread, &attr, SettleThread, nullptr) == 0;
  pthread_attr_destroy(&attr);
  if (!helperRunning.load())
    VTR_Log(LOG_ERR, "HLL: Failed to start the estimating thread; queries estimate ended periods");
}

}  // namespace

void VTR_HLLRollover(struct timeval *periodEnd, uint32_t *periodCounter) {
  uint32_t due = VTR_HLLDuePeriods(periodEnd, periodCounter);
  if (due == 0) return;
  {
    RegistryGuard guard;
    VTR_ForEachVM([&](VMListNode *vm) {
      ForEachHllDisk(vm, [&](VTR_CR_HLL *hll) { VTR_HLLEndPeriods(hll, due); });
    });
  }
  pthread_once(&helperOnce, StartHelper);
  if (!helperRunning.load()) return;
  pthread_mutex_lock(&settleMutex);
  ++settleRequested;
  pthread_cond_broadcast(&settleChanged);
  pthread_mutex_unlock(&settleMutex);
}

void VTR_HLLWaitSettled() {
  pthread_mutex_lock(&settleMutex);
  while (helperRunning.load() && settleDone != settleRequested)
    pthread_cond_wait(&settleChanged, &settleMutex);
  pthread_mutex_unlock(&settleMutex);
}

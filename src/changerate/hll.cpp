// HyperLogLog estimator over fixed 5-, 15- and 60-minute periods. The Consumer
// thread feeds the registers and ends the periods; the estimate of a period
// that has ended is formed afterwards, by whoever asks for it first.
//
// Each period has two register sets. Ending a period swaps them under the
// per-disk spin lock: the Consumer goes on feeding a cleared set at once, and
// the full one waits, untouched, until it is settled: estimated, cleared and
// kept as the next spare. Settling runs on the thread that walks the disks
// after a period end, or on a query that finds a period still unsettled, so
// the Consumer's pause at a period end is the swap alone. The spare stays
// resident: handing its pages back would make the Consumer fault them in
// again while it feeds the next period, which costs more than the memory.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "base/clock.h"
#include "base/log.h"
#include "changerate/block_hash.h"

namespace {

constexpr int kPeriods = 3;
constexpr size_t kSetBytes = VTR_HLL_REGISTERS;
// Sets lie this far apart in the mapping: 256 bytes more than a set, so that
// no two of them start at the same offset within a page, where the feeding
// of the three active sets at one index would alias in the store buffer.
constexpr size_t kSetStride = kSetBytes + 256;
constexpr size_t kMappingBytes = 2 * kPeriods * kSetStride;

struct Period {
  uint8_t *active;    // fed by the Consumer without the lock
  uint8_t *other;     // the ended period's registers while pending, else the cleared spare
  bool pending;       // `other` holds an ended period not yet estimated
  uint64_t estimate;  // distinct blocks of the last settled period
};

void LogNullContext() {
  VTR_Log(LOG_ERR, "HLL: Invalid input argument, pointer to VTR_CR_HLL is NULL");
}

}  // namespace

struct VTR_CR_HLL {
  pthread_spinlock_t lock;  // guards the swaps, `other`, `pending` and the estimates
  Period periods[kPeriods];
  uint8_t *sets;  // one mapping of the 2 * kPeriods register sets
};

namespace {

// Estimates the ended period and clears its set. The caller holds the lock.
void Settle(Period &period) {
  if (!period.pending) return;
  period.estimate = VTR_HLLEstimateRegisters(period.other);
  memset(period.other, 0, kSetBytes);
  period.pending = false;
}

struct SpinGuard {
  explicit SpinGuard(pthread_spinlock_t *l) : lock(l), status(pthread_spin_lock(l)) {
    if (status != 0) VTR_Log(LOG_ERR, "HLL: Failed to acquire spin lock: %s", strerror(status));
  }
  ~SpinGuard() {
    if (status == 0) pthread_spin_unlock(lock);
  }
  SpinGuard(const SpinGuard &) = delete;
  SpinGuard &operator=(const SpinGuard &) = delete;
  pthread_spinlock_t *lock;
  int status;
};

}  // namespace

VTR_Status VTR_HLLInit(VTR_CR_Metric *slot) {
  if (slot == nullptr) {
    LogNullContext();
    VTR_Log(LOG_ERR, "Change Rate: Failed to initialize");
    return VTR_FAILURE;
  }
  auto *hll = static_cast<VTR_CR_HLL *>(calloc(1, sizeof(VTR_CR_HLL)));
  if (hll == nullptr) {
    VTR_Log(LOG_ERR, "Change Rate: Failed to initialize");
    return VTR_FAILURE;
  }
  // Zero pages that become resident as the registers are written.
  void *sets =
      mmap(nullptr, kMappingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  int rc = sets == MAP_FAILED ? errno : pthread_spin_init(&hll->lock, PTHREAD_PROCESS_PRIVATE);
  if (rc != 0) {
    VTR_Log(LOG_ERR,
            sets == MAP_FAILED ? "HLL: Failed to map the register sets: %s"
                               : "HLL: Failed to initialize spin lock: %s",
            strerror(rc));
    if (sets != MAP_FAILED) munmap(sets, kMappingBytes);
    free(hll);
    VTR_Log(LOG_ERR, "Change Rate: Failed to initialize");
    return VTR_FAILURE;
  }
  hll->sets = static_cast<uint8_t *>(sets);
  for (int i = 0; i < kPeriods; ++i) {
    hll->periods[i].active = hll->sets + i * kSetStride;
    hll->periods[i].other = hll->sets + (kPeriods + i) * kSetStride;
  }
  slot->hll = hll;
  return VTR_OK;
}

// One hash per block serves all three sets; no lock: only the Consumer thread
// writes the active sets, and it is also the thread that swaps them.
void VTR_HLLAdd(uint64_t sector, uint32_t length, VTR_CR_HLL *hll) {
  uint8_t *__restrict r5 = hll->periods[0].active;
  uint8_t *__restrict r15 = hll->periods[1].active;
  uint8_t *__restrict r60 = hll->periods[2].active;
  vtr_cr::ForEachBlock(sector, length, [&](uint32_t j, uint8_t rank) {
    r5[j] = r5[j] < rank ? rank : r5[j];
    r15[j] = r15[j] < rank ? rank : r15[j];
    r60[j] = r60[j] < rank ? rank : r60[j];
  });
}

uint64_t VTR_HLLEstimateRegisters(const uint8_t *registers) {
  double sum = 0.0;
  uint32_t zeros = 0;
  for (int j = 0; j < VTR_HLL_REGISTERS; ++j) {
    sum += vtr_cr::kInversePowers[registers[j]];
    zeros += (registers[j] == 0);
  }
  return VTR_HllFormula(sum, zeros);
}

uint32_t VTR_HLLDuePeriods(struct timeval *periodEnd, uint32_t *periodCounter) {
  struct timeval now;
  VTR_GetTime(&now);
  if (periodEnd == nullptr || periodCounter == nullptr) {
    VTR_Log(LOG_ERR, "HLL: Invalid input argument, pointer is NULL");
    return 0;
  }
  if (now.tv_sec - periodEnd->tv_sec < VTR_HLL_PERIOD_SECS) return 0;
  uint32_t due = 1u | (*periodCounter % 3 == 0 ? 2u : 0u) | (*periodCounter % 12 == 0 ? 4u : 0u);
  *periodEnd = now;
  ++*periodCounter;
  return due;
}

void VTR_HLLEndPeriods(VTR_CR_HLL *hll, uint32_t due) {
  SpinGuard guard(&hll->lock);
  if (guard.status != 0) return;
  for (int i = 0; i < kPeriods; ++i) {
    if ((due & (1u << i)) == 0) continue;
    Period &period = hll->periods[i];
    Settle(period);  // an earlier end nobody settled: its set is needed now
    uint8_t *full = period.active;
    period.active = period.other;
    period.other = full;
    period.pending = true;
  }
}

void VTR_HLLSettle(VTR_CR_HLL *hll) {
  SpinGuard guard(&hll->lock);
  if (guard.status != 0) return;
  for (Period &period : hll->periods) Settle(period);
}

VTR_Status VTR_HLLEstimates(VTR_CR_HLL *hll, uint64_t out[3]) {
  if (hll == nullptr) return VTR_BAD_PARAM;
  SpinGuard guard(&hll->lock);
  if (guard.status != 0) return VTR_FAILURE;
  for (int i = 0; i < kPeriods; ++i) {
    Settle(hll->periods[i]);
    out[i] = hll->periods[i].estimate;
  }
  return VTR_OK;
}

const uint8_t *VTR_HLLRegisters(const VTR_CR_HLL *hll, int period) {
  return hll->periods[period].active;
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
  munmap(hll->sets, kMappingBytes);
  free(hll);
  slot->hll = nullptr;
}

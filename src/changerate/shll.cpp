// Sliding HyperLogLog: each register remembers, per rank, when that rank was
// last produced, so that an estimate can be formed for any trailing window up
// to an hour.
//
// Storage: a table of 16384 fixed 32-byte registers, allocated on the first
// write and released again when an estimate has emptied every register. A
// register keeps only the entries that can still decide a window's maximum:
// an entry (rank r, stamp t) is dropped as soon as a write gives a rank >= r
// at a stamp >= t, because every window that contains t then contains the
// newer entry too. The kept entries are therefore ordered by strictly
// decreasing rank and non-decreasing stamp (at most 51 of them); the first
// entry young enough for a window holds that window's maximum rank, and the
// entries 3600 s old or older form a prefix. Six entries fit inline; the few
// registers with more move them to a heap array of 16, then 52 entries.
//
// Time: stamps are whole seconds since baseTime in 32 bits, so every age is
// exact however long the daemon runs and however long no estimate runs (the
// 16-bit clock would wrap after 65536 s). The clock never goes back: a system
// clock stepped backwards holds the estimator's clock still until it catches up.
//
// Exclusion: the add and the estimate hold the estimator's mutex for their
// whole run. Destroy takes no lock: the registry unlinks the disk entry and
// excludes the Consumer before it releases the estimator.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <array>

#include "changerate/block_hash.h"
#include "main/clock.h"
#include "main/log.h"

namespace {

constexpr int kMaxRank = 51;
constexpr int kInlineEntries = 6;
constexpr uint8_t kSpillSmall = 16;
constexpr uint8_t kSpillLarge = 52;
static_assert(kSpillLarge >= kMaxRank, "a register never holds more entries than ranks");
// Entries this old leave on the next estimate that does not count them.
constexpr uint32_t kPruneAge = 3600;

// Entries live inline while `capacity` is 0; otherwise `spill` points to
// `capacity` stamps followed by `capacity` ranks.
struct Register {
  uint8_t count;
  uint8_t capacity;
  uint8_t ranks[kInlineEntries];
  union {
    uint32_t stamps[kInlineEntries];
    uint8_t *spill;
  };
};
static_assert(sizeof(Register) == 32, "registers are packed two per cache line");

inline uint32_t *StampsOf(Register &reg) {
  return reg.capacity == 0 ? reg.stamps : reinterpret_cast<uint32_t *>(reg.spill);
}
inline uint8_t *RanksOf(Register &reg) {
  return reg.capacity == 0 ? reg.ranks : reg.spill + sizeof(uint32_t) * reg.capacity;
}
inline uint32_t CapacityOf(const Register &reg) {
  return reg.capacity == 0 ? kInlineEntries : reg.capacity;
}
inline size_t SpillBytes(uint8_t capacity) { return (sizeof(uint32_t) + 1) * capacity; }

const std::array<double, 64> kInversePowers = [] {
  std::array<double, 64> table{};
  double value = 1.0;
  for (double &entry : table) {
    entry = value;
    value /= 2.0;
  }
  return table;
}();

}  // namespace

struct VTR_SHll {
  struct {
    int64_t seconds;
    int64_t microseconds;
  } baseTime;
  Register *registers;  // VTR_HLL_REGISTERS of them, or null while all are empty
  pthread_mutex_t lock;
  uint32_t lastClock;      // the latest clock value handed out
  uint32_t usedRegisters;  // registers with at least one entry
  uint64_t spillBytes;     // heap held by spilled registers
};

namespace {

struct LockGuard {
  explicit LockGuard(pthread_mutex_t *m) : mutex(m) { pthread_mutex_lock(mutex); }
  ~LockGuard() { pthread_mutex_unlock(mutex); }
  LockGuard(const LockGuard &) = delete;
  LockGuard &operator=(const LockGuard &) = delete;
  pthread_mutex_t *mutex;
};

// Seconds since baseTime, never smaller than a value returned before.
uint32_t Clock(VTR_SHll *shll) {
  struct timeval now;
  VTR_GetTime(&now);
  int64_t rel = static_cast<int64_t>(now.tv_sec) - shll->baseTime.seconds;
  uint32_t t = rel <= 0 ? 0 : rel >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(rel);
  if (t < shll->lastClock) return shll->lastClock;
  shll->lastClock = t;
  return t;
}

void ReleaseSpill(VTR_SHll *shll, Register &reg) {
  if (reg.capacity == 0) return;
  shll->spillBytes -= SpillBytes(reg.capacity);
  free(reg.spill);
  reg.capacity = 0;
}

// Moves a full register's `count` entries to a larger heap array.
bool Grow(VTR_SHll *shll, Register &reg) {
  uint8_t capacity = reg.capacity == 0 ? kSpillSmall : kSpillLarge;
  auto *spill = static_cast<uint8_t *>(malloc(SpillBytes(capacity)));
  if (spill == nullptr) return false;
  memcpy(spill, StampsOf(reg), sizeof(uint32_t) * reg.count);
  memcpy(spill + sizeof(uint32_t) * capacity, RanksOf(reg), reg.count);
  ReleaseSpill(shll, reg);
  reg.spill = spill;
  reg.capacity = capacity;
  shll->spillBytes += SpillBytes(capacity);
  return true;
}

// Records rank `rank` at stamp `t`, the newest stamp of the register, and drops
// the entries that it supersedes (rank <= `rank`, all at older or equal stamps).
inline void Insert(VTR_SHll *shll, Register &reg, uint8_t rank, uint32_t t) {
  uint8_t *ranks = RanksOf(reg);
  uint32_t c = reg.count;
  while (c > 0 && ranks[c - 1] <= rank) --c;
  if (c == CapacityOf(reg)) {
    if (!Grow(shll, reg)) return;
    ranks = RanksOf(reg);
  }
  if (reg.count == 0) ++shll->usedRegisters;
  ranks[c] = rank;
  StampsOf(reg)[c] = t;
  reg.count = static_cast<uint8_t>(c + 1);
}

// Returns the largest rank written within the window and removes the entries
// 3600 s old or older that it does not count.
uint8_t Scan(VTR_SHll *shll, Register &reg, uint32_t now, uint32_t window) {
  uint32_t *stamps = StampsOf(reg);
  uint8_t *ranks = RanksOf(reg);
  uint32_t count = reg.count;
  uint32_t counted = 0;  // index of the first entry inside the window
  while (counted < count && now - stamps[counted] > window) ++counted;
  uint8_t mx = counted < count ? ranks[counted] : 0;
  if (now - stamps[0] < kPruneAge) return mx;  // nothing old enough to prune

  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (now - stamps[i] >= kPruneAge && i != counted) continue;
    stamps[kept] = stamps[i];
    ranks[kept] = ranks[i];
    ++kept;
  }
  reg.count = static_cast<uint8_t>(kept);
  if (kept == 0) {
    ReleaseSpill(shll, reg);
    --shll->usedRegisters;
  } else if (reg.capacity != 0 && kept <= kInlineEntries) {
    // Few enough entries again: move them back inline.
    uint8_t *spill = reg.spill;
    uint8_t capacity = reg.capacity;
    reg.capacity = 0;
    memcpy(reg.ranks, ranks, kept);
    memcpy(reg.stamps, stamps, sizeof(uint32_t) * kept);
    free(spill);
    shll->spillBytes -= SpillBytes(capacity);
  }
  return mx;
}

}  // namespace

VTR_Status VTR_SHllInit(VTR_SHll **slot) {
  if (slot == nullptr) {
    VTR_Log(LOG_ERR, "S_HLL: Invalid input argument, HLL pointer is NULL");
    return VTR_BAD_PARAM;
  }
  auto *shll = static_cast<VTR_SHll *>(calloc(1, sizeof(VTR_SHll)));
  *slot = shll;
  if (shll == nullptr || pthread_mutex_init(&shll->lock, nullptr) != 0) {
    free(shll);
    *slot = nullptr;
    VTR_Log(LOG_ERR, "S_HLL: Failed to initialize, due to no memory");
    return VTR_NO_MEMORY;
  }
  struct timeval now;
  VTR_GetTime(&now);
  shll->baseTime.seconds = now.tv_sec;
  shll->baseTime.microseconds = now.tv_usec;
  VTR_Log(LOG_INFO, "Successfully initialized Sliding Hyperlog registers.");
  return VTR_OK;
}

void VTR_SHllAdd(uint64_t sector, uint32_t length, VTR_SHll *shll) {
  if (shll == nullptr) {
    VTR_Log(LOG_ERR, "S_HLL: Invalid input argument, pointer to VTR_SHll is NULLL");
    return;
  }
  if (length == 0) return;
  LockGuard guard(&shll->lock);
  if (shll->registers == nullptr) {
    shll->registers = static_cast<Register *>(calloc(VTR_HLL_REGISTERS, sizeof(Register)));
    if (shll->registers == nullptr) {
      VTR_Log(LOG_ERR, "S_HLL: Failed to record a write, due to no memory");
      return;
    }
  }
  uint32_t t = Clock(shll);
  Register *table = shll->registers;
  vtr_cr::ForEachBlock(sector, length,
                       [&](uint32_t j, uint8_t rank) { Insert(shll, table[j], rank, t); });
}

uint64_t VTR_SHllEstimate(VTR_SHll *shll, uint16_t windowSecs) {
  if (shll == nullptr) return 0;
  LockGuard guard(&shll->lock);
  uint32_t now = Clock(shll);
  if (shll->registers == nullptr) return VTR_HllFormula(VTR_HLL_REGISTERS, VTR_HLL_REGISTERS);

  double sum = 0.0;
  uint32_t zeros = 0;
  for (int j = 0; j < VTR_HLL_REGISTERS; ++j) {
    Register &reg = shll->registers[j];
    uint8_t mx = reg.count == 0 ? 0 : Scan(shll, reg, now, windowSecs);
    zeros += (mx == 0);
    sum += kInversePowers[mx];
  }
  if (shll->usedRegisters == 0) {
    free(shll->registers);
    shll->registers = nullptr;
  }
  return VTR_HllFormula(sum, zeros);
}

void VTR_SHllDestroy(VTR_SHll **slot) {
  if (slot == nullptr || *slot == nullptr) return;
  VTR_SHll *shll = *slot;
  if (shll->registers != nullptr) {
    for (int j = 0; j < VTR_HLL_REGISTERS; ++j) ReleaseSpill(shll, shll->registers[j]);
    free(shll->registers);
  }
  pthread_mutex_destroy(&shll->lock);
  free(shll);
  *slot = nullptr;
}

uint64_t VTR_SHllMemoryBytes(const VTR_SHll *shll) {
  if (shll == nullptr) return 0;
  auto *s = const_cast<VTR_SHll *>(shll);
  LockGuard guard(&s->lock);
  uint64_t bytes = sizeof(VTR_SHll) + s->spillBytes;
  if (s->registers != nullptr) bytes += VTR_HLL_REGISTERS * sizeof(Register);
  return bytes;
}

uint32_t VTR_SHllUsedRegisters(const VTR_SHll *shll) {
  if (shll == nullptr) return 0;
  auto *s = const_cast<VTR_SHll *>(shll);
  LockGuard guard(&s->lock);
  return s->usedRegisters;
}

// Sliding HyperLogLog: each register remembers, per rank, when that rank was
// last produced, so that an estimate can be formed for any trailing window up
// to an hour.
//
// Storage, in one of two forms. A sparse estimator holds only its occupied
// registers (32 bytes each), sorted by register index in an array beside an
// array of their indices; it starts so on the first write. When a new
// register would make more than `denseLimit` (1024) occupied, the lists
// move into the dense form: per group of 64 registers, a mask of the
// occupied ones and one array with a count byte per occupied register and
// then their lists one after the other in register order, each entry 3
// bytes (rank, and the stamp modulo 2^18). The group arrays share one
// arena, laid out afresh when a group is full and, fitted, after every
// estimate that would change its page count, so the memory held follows
// the entries. An estimate that leaves half of
// `denseLimit` or fewer occupied moves them back to a sparse array, and one
// that empties every register releases the storage. The sparse array is
// sized by doubling; an estimate that leaves it a quarter full or less
// halves it to twice the next power of two at or above the count, so the
// size after a query does not depend on whether its windows were asked for
// together or one by one.
//
// A register keeps only the entries that can still decide a window's maximum:
// an entry (rank r, stamp t) is dropped as soon as a write gives a rank >= r
// at a stamp >= t, because every window that contains t then contains the
// newer entry too. The kept entries are therefore ordered by strictly
// decreasing rank and non-decreasing stamp (at most 51 of them); the first
// entry young enough for a window holds that window's maximum rank, and the
// entries 3600 s old or older form a prefix. Six entries of a sparse register
// fit inline; the few with more move them to a heap array of 16, then 52. An
// estimate visits only the occupied registers, in increasing index order, and
// adds the empty ones as whole runs.
//
// Feeding: of the blocks that one register gets within one second only the
// highest rank can decide a window (the others share its stamp and a lower
// or equal rank, and the insert of the highest drops them), so a dense
// estimator keeps, beside its lists, one byte per register with the highest
// rank of the current second while it is busy (kFilterOn blocks within a
// second). A write only raises those bytes, as the plain HyperLogLog add
// does; they enter the lists, in register order, at the first write of a
// later second and before any estimate or storage figure. Light disks insert
// each block directly. Either way a register holds at most one entry per
// stamp.
//
// Time: stamps are whole seconds since baseTime in 32 bits, so every age is
// exact however long the daemon runs and however long no estimate runs (the
// 16-bit clock would wrap after 65536 s). Dense entries keep 18 bits of
// them: windows are at most 65535 s, so an entry older than that never
// counts again and leaves at the next pass over its list; passes over every
// list come at least every 2^16 s while writes come, and one that comes
// more than 196608 s after the last finds every entry expired. Every age read
// from 18 bits is thus exact. The clock never goes back: a system
// clock stepped backwards holds the estimator's clock still until it catches up.
//
// Exclusion: the add and the estimate hold the estimator's mutex for their
// whole run. The Consumer hands over a batch's writes to one disk in one
// call, so the lock and the clock reading (together several times the cost
// of hashing a block) are paid once per disk and batch, not per write.
// Destroy takes no lock: the registry unlinks the disk entry and excludes
// the Consumer before it releases the estimator.
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>

#include "base/clock.h"
#include "base/log.h"
#include "changerate/block_hash.h"

namespace {

constexpr int kMaxRank = 51;
constexpr int kInlineEntries = 6;
constexpr uint8_t kSpillSmall = 16;
constexpr uint8_t kSpillLarge = 52;
static_assert(kSpillLarge >= kMaxRank, "a register never holds more entries than ranks");
// Entries this old leave on the next estimate that does not count them.
constexpr uint32_t kPruneAge = 3600;
// Occupied registers that a sparse estimator holds at most before it takes
// the dense table (1/16 of the registers: the sparse array is then at most
// 34 KiB, and a new register costs a move of at most half of it).
constexpr uint32_t kDenseLimit = VTR_HLL_REGISTERS / 16;
// Smallest sparse array, in registers.
constexpr uint32_t kSparseMinCapacity = 8;
// Windows handled by one pass over the registers; longer lists take several passes.
constexpr int kWindowsPerPass = 4;
// While no register holds a rank above this, an estimate's harmonic sum is a
// multiple of 2^-kExactRank no larger than 16384 = 2^14, and so is every
// partial sum of it: all fit the 53-bit mantissa, every addition of the
// register-by-register sum is exact, and the sum can be formed exactly in
// integers in any order. Ranks above it come with probability 2^-39 per block.
constexpr int kExactRank = 39;

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

// The dense form keeps the lists of each group of 64 registers in one
// array of its own, so that an insert moves at most one group's entries.
constexpr uint32_t kGroupShift = 6;
constexpr uint32_t kGroups = VTR_HLL_REGISTERS >> kGroupShift;
// Its fixed part, per group: the mask of its occupied registers, its array,
// and the bytes used and held there.
constexpr size_t kDenseBytes =
    kGroups * (sizeof(uint64_t) + sizeof(uint8_t *) + 2 * sizeof(uint16_t));
// A dense estimator takes the per-second rank filter (one byte per register)
// once this many blocks come within one second, and gives it back after a
// second with fewer than kFilterOff: below that rate entering each block
// directly costs less than the filter's memory and its scan every second.
constexpr uint32_t kFilterOn = 1024;
constexpr uint32_t kFilterOff = 256;
// Without an estimate, passes over every list (which drop the entries older
// than kMaxAge) come at least this often; see Stale().
constexpr uint32_t kSweepInterval = 1u << 16;
// A dense entry: rank in the low 6 bits, the stamp modulo 2^18 above them,
// 3 bytes. Entries older than kMaxAge never count for a window of 16 bits and
// leave at the next pass; a pass more than kStampSpan - kMaxAge seconds after
// the previous one finds only such entries, so every age a pass reads is
// below 2^18 and exact.
constexpr size_t kEntryBytes = 3;
constexpr uint32_t kStampSpan = 1u << 18;
constexpr uint32_t kStampMask = kStampSpan - 1;
constexpr uint32_t kMaxAge = UINT16_MAX;
inline uint32_t LoadEntry(const uint8_t *entries, uint32_t i) {
  const uint8_t *e = entries + kEntryBytes * i;
  return e[0] | static_cast<uint32_t>(e[1]) << 8 | static_cast<uint32_t>(e[2]) << 16;
}
inline void StoreEntry(uint8_t *entries, uint32_t i, uint32_t value) {
  uint8_t *e = entries + kEntryBytes * i;
  e[0] = static_cast<uint8_t>(value);
  e[1] = static_cast<uint8_t>(value >> 8);
  e[2] = static_cast<uint8_t>(value >> 16);
}
inline uint32_t MakeEntry(uint32_t stamp, uint8_t rank) { return (stamp & kStampMask) << 6 | rank; }
inline uint8_t EntryRank(uint32_t value) { return static_cast<uint8_t>(value & 63); }
inline uint32_t EntryAge(uint32_t value, uint32_t now) { return (now - (value >> 6)) & kStampMask; }
// Bytes a group's array holds for `n` used: after an estimate a sixteenth
// and one insert more; when a full group lays every array out again, a
// quarter and four inserts more, so that a growing estimator does so rarely.
inline uint32_t GroupCapacityFor(uint32_t n) { return n + n / 16 + 4; }
inline uint32_t GrowingCapacityFor(uint32_t n) { return n + n / 4 + 16; }
// What one insert adds to a group at most: a count byte and an entry.
constexpr uint32_t kInsertBytes = 1 + kEntryBytes;
constexpr uint64_t kPageBytes = 4096;
// A sparse array of `capacity` registers followed by their indices.
inline size_t SparseBytes(uint32_t capacity) {
  return (sizeof(Register) + sizeof(uint16_t)) * capacity;
}

// The sparse capacity after an estimate has left `count` registers.
inline uint32_t SparseCapacityFor(uint32_t count) {
  return std::max(kSparseMinCapacity, 2 * std::bit_ceil(count));
}

}  // namespace

struct VTR_SHll {
  struct {
    int64_t seconds;
    int64_t microseconds;
  } baseTime;
  // Dense (occupied is null while sparse): bit r of occupied[g] is set while
  // register 64g + r holds entries. groups[g] holds, in groupUsed[g] of its
  // groupCapacity[g] bytes (null while empty), the entry counts of the
  // occupied registers of group g, one byte each in register order, then
  // their lists one after the other, entries of 3 bytes. Every group's array
  // lies in `arena`, one block of `arenaBytes` (mapped pages from a page
  // on). `passTime`: the stamp of the last pass over every list.
  uint64_t *occupied;
  uint8_t **groups;
  uint16_t *groupUsed;
  uint16_t *groupCapacity;
  uint8_t *arena;
  uint64_t arenaBytes;
  uint32_t passTime;
  // Dense only: the rank filter of a busy disk (null otherwise): second[j] is
  // the highest rank written to register j at stamp `secondStamp` and not yet
  // entered in its list (0: none); `secondPending` while any is nonzero.
  // `secondBlocks`: blocks written at stamp `secondStamp`.
  uint8_t *second;
  uint32_t secondStamp;
  uint32_t secondBlocks;
  bool secondPending;
  // Sparse: `sparseCount` occupied registers in increasing index order, their
  // indices in `sparseIndex` (same allocation); null while empty or dense.
  Register *sparse;
  uint16_t *sparseIndex;
  uint32_t sparseCount;
  uint32_t sparseCapacity;
  uint32_t denseLimit;  // most occupied registers held sparse
  pthread_mutex_t lock;
  uint32_t lastClock;      // the latest clock value handed out
  uint32_t usedRegisters;  // registers with at least one entry
  uint64_t spillBytes;     // heap held by spilled registers
  bool highRanks;          // a rank above kExactRank was recorded since the storage was made
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
// An entry of the same stamp with a rank >= `rank` already decides every
// window that the new one would, so then nothing changes: a register holds
// at most one entry per stamp.
// Returns false, recording nothing, when a larger entry array cannot be had.
inline bool Insert(VTR_SHll *shll, Register &reg, uint8_t rank, uint32_t t) {
  uint8_t *ranks = RanksOf(reg);
  uint32_t c = reg.count;
  if (c != 0 && StampsOf(reg)[c - 1] == t && ranks[c - 1] >= rank) return true;
  while (c > 0 && ranks[c - 1] <= rank) --c;
  if (c == CapacityOf(reg)) {
    if (!Grow(shll, reg)) return false;
    ranks = RanksOf(reg);
  }
  shll->usedRegisters += (reg.count == 0);
  shll->highRanks |= rank > kExactRank;
  ranks[c] = rank;
  StampsOf(reg)[c] = t;
  reg.count = static_cast<uint8_t>(c + 1);
  return true;
}

// The sparse array and the arena come from malloc while smaller than a
// page, and are mapped pages of their own (page-rounded) from a page on,
// which go back to the system when the storage moves, instead of leaving
// holes in the heap that keep the resident set at its peak.
inline uint64_t StorageBytes(uint64_t bytes) {
  return bytes < kPageBytes ? bytes : (bytes + kPageBytes - 1) & ~(kPageBytes - 1);
}

void *StorageAlloc(uint64_t bytes) {
  if (bytes < kPageBytes) return malloc(bytes);
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void StorageFree(void *p, uint64_t bytes) {
  if (p == nullptr) return;
  if (bytes < kPageBytes)
    free(p);
  else
    munmap(p, bytes);
}

inline uint64_t SparseStorage(uint32_t capacity) { return StorageBytes(SparseBytes(capacity)); }

void FreeSparse(VTR_SHll *shll) {
  StorageFree(shll->sparse, SparseStorage(shll->sparseCapacity));
  shll->sparse = nullptr;
  shll->sparseIndex = nullptr;
  shll->sparseCount = 0;
  shll->sparseCapacity = 0;
}

// Moves the sparse registers into an array of `capacity` (>= sparseCount).
bool ResizeSparse(VTR_SHll *shll, uint32_t capacity) {
  auto *regs = static_cast<Register *>(StorageAlloc(SparseStorage(capacity)));
  if (regs == nullptr) return false;
  auto *index = reinterpret_cast<uint16_t *>(regs + capacity);
  uint32_t n = shll->sparseCount;
  if (n != 0) {
    memcpy(static_cast<void *>(regs), shll->sparse, n * sizeof(Register));
    memcpy(index, shll->sparseIndex, n * sizeof(uint16_t));
  }
  StorageFree(shll->sparse, SparseStorage(shll->sparseCapacity));
  shll->sparse = regs;
  shll->sparseIndex = index;
  shll->sparseCapacity = capacity;
  return true;
}

// The registers of group g that have a rank of the current second waiting
// in the rank filter, as a mask (0 without the filter).
inline uint64_t PendingMask(const VTR_SHll *shll, uint32_t g) {
  if (shll->second == nullptr) return 0;
  const uint8_t *ranks = shll->second + (g << kGroupShift);
  uint64_t mask = 0;
  for (uint32_t k = 0; k < (1u << kGroupShift); k += 8) {
    uint64_t word;
    memcpy(&word, ranks + k, sizeof word);
    // A high bit per nonzero byte (ranks are below 128), gathered into the
    // top byte by the multiply.
    const uint64_t high = (word + 0x7f7f7f7f7f7f7f7fULL) & 0x8080808080808080ULL;
    mask |= ((high >> 7) * 0x0102040810204080ULL >> 56) << k;
  }
  return mask;
}

// Ranks of the current second waiting for group g's lists: each enters as
// at most one entry and one count byte.
inline uint32_t PendingIn(const VTR_SHll *shll, uint32_t g) {
  return std::popcount(PendingMask(shll, g));
}

// Lays the groups' arrays out afresh in a new arena, each with the capacity
// that its count and its ranks still waiting in the rank filter call for,
// and group `g` with at least `need` bytes (g == kGroups: none). So a
// second's ranks that fill a group lay the arena out once, not once per
// group. `growing`: room to grow rather than a fit. Returns false, changing
// nothing, when memory ran out.
bool Repack(VTR_SHll *shll, uint32_t g, uint32_t need, bool growing) {
  uint32_t want[kGroups];
  uint64_t total = 0;
  for (uint32_t h = 0; h < kGroups; ++h) {
    want[h] = shll->groupUsed[h] + kInsertBytes * PendingIn(shll, h);
    if (h == g) want[h] = std::max(want[h], need);
    want[h] = want[h] == 0 ? 0 : growing ? GrowingCapacityFor(want[h]) : GroupCapacityFor(want[h]);
    total += want[h];
  }
  const uint64_t bytes = StorageBytes(total);
  uint8_t *arena = nullptr;
  if (bytes != 0 && (arena = static_cast<uint8_t *>(StorageAlloc(bytes))) == nullptr) return false;
  uint8_t *at = arena;
  for (uint32_t h = 0; h < kGroups; ++h) {
    const uint32_t n = shll->groupUsed[h];
    if (n != 0 && shll->groups[h] != nullptr) memcpy(at, shll->groups[h], n);
    shll->groups[h] = want[h] == 0 ? nullptr : at;
    shll->groupCapacity[h] = static_cast<uint16_t>(want[h]);
    at += want[h];
  }
  StorageFree(shll->arena, shll->arenaBytes);
  shll->arena = arena;
  shll->arenaBytes = bytes;
  return true;
}

// After a pass over every list: lays the arrays out again when that takes
// another number of pages than the arena holds, so that what an estimator
// holds after an estimate follows its entries alone, not their peak nor the
// way they came.
void FitArena(VTR_SHll *shll) {
  uint64_t fitted = 0;
  for (uint32_t g = 0; g < kGroups; ++g)
    fitted += shll->groupUsed[g] == 0 ? 0 : GroupCapacityFor(shll->groupUsed[g]);
  if (StorageBytes(fitted) != shll->arenaBytes) Repack(shll, kGroups, 0, false);
}

void FreeDense(VTR_SHll *shll) {
  if (shll->occupied == nullptr) return;
  StorageFree(shll->arena, shll->arenaBytes);
  shll->arena = nullptr;
  shll->arenaBytes = 0;
  free(shll->occupied);
  free(shll->second);
  shll->occupied = nullptr;
  shll->second = nullptr;
  shll->groups = nullptr;
  shll->groupUsed = nullptr;
  shll->groupCapacity = nullptr;
}

// True when a pass at `now` comes so long after the previous one that every
// entry is older than kMaxAge: entries were at most kMaxAge old at that pass,
// and the inserts since came within kSweepInterval of it. Otherwise every age
// is below 2^18 and reads right from a stamp modulo 2^18.
inline bool Stale(const VTR_SHll *shll, uint32_t now) {
  static_assert(kMaxAge + kSweepInterval < kStampSpan - 1 - kMaxAge,
                "stale entries are older than kMaxAge");
  return now > shll->passTime && now - shll->passTime > kStampSpan - 1 - kMaxAge;
}

// Moves the sparse registers into the dense form, leaving out entries older
// than kMaxAge.
bool MakeDense(VTR_SHll *shll) {
  const uint32_t now = shll->lastClock;
  auto *block = static_cast<uint8_t *>(calloc(1, kDenseBytes));
  if (block == nullptr) return false;
  shll->occupied = reinterpret_cast<uint64_t *>(block);
  shll->groups = reinterpret_cast<uint8_t **>(shll->occupied + kGroups);
  shll->groupUsed = reinterpret_cast<uint16_t *>(shll->groups + kGroups);
  shll->groupCapacity = shll->groupUsed + kGroups;
  // The registers that keep entries, and the bytes per group, counted as
  // groupUsed while the arrays are laid out (which copies nothing, as
  // groups[] is null).
  for (uint32_t i = 0; i < shll->sparseCount; ++i) {
    Register &reg = shll->sparse[i];
    uint32_t kept = 0;
    for (uint32_t k = 0; k < reg.count; ++k) kept += now - StampsOf(reg)[k] <= kMaxAge;
    if (kept == 0) continue;
    const uint32_t j = shll->sparseIndex[i];
    shll->groupUsed[j >> kGroupShift] += 1 + kEntryBytes * kept;
    shll->occupied[j >> kGroupShift] |= 1ULL << (j & 63);
  }
  const bool made = Repack(shll, kGroups, 0, false);
  if (!made) {
    FreeDense(shll);
    return false;
  }
  for (uint32_t i = 0, next = 0; i < shll->sparseCount; i = next) {
    // The sparse registers of one group: their counts, then their entries.
    const uint32_t g = shll->sparseIndex[i] >> kGroupShift;
    next = i;
    while (next < shll->sparseCount && shll->sparseIndex[next] >> kGroupShift == g) ++next;
    uint8_t *region = shll->groups[g];
    uint32_t slot = 0, entry = 0;
    const uint32_t occupiedCount = std::popcount(shll->occupied[g]);
    for (uint32_t r = i; r < next; ++r) {
      Register &reg = shll->sparse[r];
      const uint32_t *stamps = StampsOf(reg);
      const uint8_t *ranks = RanksOf(reg);
      uint32_t kept = 0;
      for (uint32_t k = 0; k < reg.count; ++k) {
        if (now - stamps[k] > kMaxAge) continue;
        StoreEntry(region + occupiedCount, entry++, MakeEntry(stamps[k], ranks[k]));
        ++kept;
      }
      if (kept != 0) region[slot++] = static_cast<uint8_t>(kept);
      shll->usedRegisters -= (kept == 0);
      ReleaseSpill(shll, reg);
    }
  }
  FreeSparse(shll);
  shll->passTime = now;
  shll->secondStamp = now;
  shll->secondBlocks = 0;
  shll->secondPending = false;
  return true;
}

// Moves the dense lists into a sparse array (after an estimate at `now`, so
// every age is at most kMaxAge).
bool MakeSparse(VTR_SHll *shll, uint32_t now) {
  if (!ResizeSparse(shll, SparseCapacityFor(shll->usedRegisters))) return false;
  const uint32_t used = shll->usedRegisters;
  const bool highRanks = shll->highRanks;
  bool recorded = true;
  uint32_t n = 0;
  for (uint32_t g = 0; g < kGroups; ++g) {
    const uint8_t *region = shll->groups[g];
    const uint8_t *entries = region + std::popcount(shll->occupied[g]);
    uint32_t src = 0, slot = 0;
    for (uint64_t m = shll->occupied[g]; m != 0; m &= m - 1, ++slot) {
      const uint32_t c = region[slot];
      Register &reg = shll->sparse[n];
      reg.count = 0;
      reg.capacity = 0;
      shll->sparseIndex[n++] = static_cast<uint16_t>(g << kGroupShift | std::countr_zero(m));
      for (uint32_t k = 0; k < c; ++k) {
        const uint32_t value = LoadEntry(entries, src + k);
        recorded &= Insert(shll, reg, EntryRank(value), now - EntryAge(value, now));
      }
      src += c;
    }
  }
  shll->sparseCount = n;
  shll->usedRegisters = used;
  shll->highRanks = highRanks;
  if (!recorded) {  // keep the dense form
    for (uint32_t i = 0; i < n; ++i) ReleaseSpill(shll, shll->sparse[i]);
    FreeSparse(shll);
    return false;
  }
  FreeDense(shll);
  return true;
}

bool InsertDense(VTR_SHll *shll, uint32_t j, uint8_t rank, uint32_t now);

// Records one block in register j. Returns false when memory ran out.
inline bool AddBlock(VTR_SHll *shll, uint32_t j, uint8_t rank, uint32_t t) {
  if (shll->occupied != nullptr) {  // dense, without the rank filter
    return InsertDense(shll, j, rank, t);
  }
  uint32_t n = shll->sparseCount;
  uint16_t *index = shll->sparseIndex;
  uint32_t pos = n == 0 ? 0 : static_cast<uint32_t>(std::lower_bound(index, index + n, j) - index);
  if (pos < n && index[pos] == j) return Insert(shll, shll->sparse[pos], rank, t);
  if (n >= shll->denseLimit) {
    if (!MakeDense(shll)) return false;
    return AddBlock(shll, j, rank, t);
  }
  if (n == shll->sparseCapacity && !ResizeSparse(shll, n == 0 ? kSparseMinCapacity : 2 * n))
    return false;
  index = shll->sparseIndex;
  Register *regs = shll->sparse;
  memmove(static_cast<void *>(regs + pos + 1), regs + pos, (n - pos) * sizeof(Register));
  memmove(index + pos + 1, index + pos, (n - pos) * sizeof(uint16_t));
  regs[pos].count = 0;
  regs[pos].capacity = 0;
  index[pos] = static_cast<uint16_t>(j);
  shll->sparseCount = n + 1;
  return Insert(shll, regs[pos], rank, t);
}

// What entering rank `rank` at stamp `now` does to a dense list that lies
// in entries[first, end): the entries before the returned `first` are older
// than kMaxAge and leave, those from `keep` on are superseded, and `add`
// tells whether the new entry follows the kept ones. An entry of the same
// stamp with a rank >= `rank` already decides every window that the new one
// would, and then nothing is added.
struct ListUpdate {
  uint32_t first;
  uint32_t keep;
  bool add;
};
inline ListUpdate UpdateList(VTR_SHll *shll, const uint8_t *entries, uint32_t first, uint32_t end,
                             uint8_t rank, uint32_t now) {
  while (first < end && EntryAge(LoadEntry(entries, first), now) > kMaxAge) ++first;
  uint32_t keep = end;
  if (keep != first && EntryAge(LoadEntry(entries, keep - 1), now) == 0 &&
      EntryRank(LoadEntry(entries, keep - 1)) >= rank)
    return {first, keep, false};
  while (keep > first && EntryRank(LoadEntry(entries, keep - 1)) <= rank) --keep;
  shll->highRanks |= rank > kExactRank;
  return {first, keep, true};
}

// Records rank `rank` at stamp `now` in dense register j, as Insert does;
// entries older than kMaxAge leave the list. The list never ends up empty.
// Returns false, recording nothing, when a larger group array cannot be had.
bool InsertDense(VTR_SHll *shll, uint32_t j, uint8_t rank, uint32_t now) {
  const uint32_t g = j >> kGroupShift;
  const uint64_t bit = 1ULL << (j & 63);
  if (shll->groupUsed[g] + kInsertBytes > shll->groupCapacity[g] &&
      !Repack(shll, g, shll->groupUsed[g] + kInsertBytes, true))
    return false;
  uint8_t *region = shll->groups[g];
  const uint64_t mask = shll->occupied[g];
  const uint32_t occupiedCount = std::popcount(mask);
  const uint32_t slot = std::popcount(mask & (bit - 1));
  uint8_t *entries = region + occupiedCount;
  const uint32_t total = (shll->groupUsed[g] - occupiedCount) / kEntryBytes;
  uint32_t off = 0;
  for (uint32_t k = 0; k < slot; ++k) off += region[k];
  if ((mask & bit) == 0) {
    // A new list of one entry: a count byte at `slot`, the entry at `off`;
    // what follows each moves up, the later entries by one entry and a byte.
    memmove(entries + 1 + kEntryBytes * (off + 1), entries + kEntryBytes * off,
            kEntryBytes * (total - off));
    memmove(entries + 1, entries, kEntryBytes * off);
    memmove(region + slot + 1, region + slot, occupiedCount - slot);
    region[slot] = 1;
    StoreEntry(entries + 1, off, MakeEntry(now, rank));
    shll->occupied[g] = mask | bit;
    shll->groupUsed[g] = static_cast<uint16_t>(shll->groupUsed[g] + kInsertBytes);
    shll->highRanks |= rank > kExactRank;
    ++shll->usedRegisters;
    return true;
  }
  const uint32_t c = region[slot];
  const uint32_t end = off + c;
  const auto [first, keep, add] = UpdateList(shll, entries, off, end, rank, now);
  const uint32_t kept = keep - first + add;
  // The kept entries down to `off`, the registers after j to their new place,
  // then the new entry.
  memmove(entries + kEntryBytes * off, entries + kEntryBytes * first, kEntryBytes * (keep - first));
  memmove(entries + kEntryBytes * (off + kept), entries + kEntryBytes * end,
          kEntryBytes * (total - end));
  if (add) StoreEntry(entries, off + kept - 1, MakeEntry(now, rank));
  region[slot] = static_cast<uint8_t>(kept);
  shll->groupUsed[g] = static_cast<uint16_t>(occupiedCount + kEntryBytes * (total - c + kept));
  return true;
}

// Rewrites group g's array after a pass: `counts` holds the new count of
// every register that was occupied (in order; 0: emptied), and the kept
// entries lie, already in order, after the old count bytes. Returns the
// number of registers emptied.
uint32_t CloseGroup(VTR_SHll *shll, uint32_t g, const uint8_t *counts, uint32_t entries) {
  uint8_t *region = shll->groups[g];
  const uint32_t before = std::popcount(shll->occupied[g]);
  uint64_t mask = 0;
  uint32_t after = 0, slot = 0;
  for (uint64_t m = shll->occupied[g]; m != 0; m &= m - 1, ++slot) {
    if (counts[slot] == 0) continue;
    mask |= m & -m;
    ++after;
  }
  memmove(region + after, region + before, kEntryBytes * entries);
  for (uint32_t k = 0, w = 0; k < before; ++k)
    if (counts[k] != 0) region[w++] = counts[k];
  shll->occupied[g] = mask;
  shll->groupUsed[g] = static_cast<uint16_t>(after + kEntryBytes * entries);
  return before - after;
}

// A pass over every dense list that removes the entries older than kMaxAge.
void Sweep(VTR_SHll *shll, uint32_t now) {
  const bool stale = Stale(shll, now);
  for (uint32_t g = 0; g < kGroups; ++g) {
    if (shll->groupUsed[g] == 0) continue;
    uint8_t *region = shll->groups[g];
    const uint32_t occupiedCount = std::popcount(shll->occupied[g]);
    uint8_t *entries = region + occupiedCount;
    uint8_t counts[1u << kGroupShift];
    uint32_t src = 0, dst = 0;
    for (uint32_t slot = 0; slot < occupiedCount; ++slot) {
      const uint32_t c = region[slot];
      uint32_t kept = 0;
      for (uint32_t k = src; k < src + c; ++k) {
        const uint32_t value = LoadEntry(entries, k);
        if (stale || EntryAge(value, now) > kMaxAge) continue;
        StoreEntry(entries, dst++, value);
        ++kept;
      }
      src += c;
      counts[slot] = static_cast<uint8_t>(kept);
    }
    shll->usedRegisters -= CloseGroup(shll, g, counts, dst);
  }
  shll->passTime = now;
  FitArena(shll);
}

// The most bytes a group's array can use: a count byte and at most kMaxRank
// entries for each of its registers.
constexpr uint32_t kGroupMaxBytes = (1u << kGroupShift) * (1 + kEntryBytes * kMaxRank);
static_assert(kGroupMaxBytes <= UINT16_MAX, "group sizes fit their 16-bit fields");

// Enters the waiting ranks of group g (the registers in `pending`) at stamp
// `now`, each as InsertDense enters one, in a single pass that rewrites the
// group's array: one move of the group's entries instead of one per
// register. Returns false, entering nothing, when a larger array cannot be had.
bool EnterGroup(VTR_SHll *shll, uint32_t g, uint64_t pending, uint32_t now) {
  const uint64_t before = shll->occupied[g];
  const uint32_t newRegisters = std::popcount(pending & ~before);
  const uint32_t need = shll->groupUsed[g] + newRegisters + kEntryBytes * std::popcount(pending);
  if (need > shll->groupCapacity[g] && !Repack(shll, g, need, true)) return false;
  const uint8_t *ranks = shll->second + (g << kGroupShift);
  uint8_t *region = shll->groups[g];
  const uint8_t *entries = region + std::popcount(before);
  const uint64_t after = before | pending;
  uint8_t out[kGroupMaxBytes];
  uint8_t *outEntries = out + std::popcount(after);
  uint32_t src = 0, dst = 0, slot = 0, outSlot = 0;
  for (uint64_t m = after; m != 0; m &= m - 1, ++outSlot) {
    const uint64_t bit = m & -m;
    const uint32_t end = (before & bit) != 0 ? src + region[slot++] : src;
    ListUpdate update{src, end, false};
    uint8_t rank = 0;
    if ((pending & bit) != 0) {
      rank = ranks[std::countr_zero(m)];
      update = UpdateList(shll, entries, src, end, rank, now);
    }
    src = end;
    const auto [first, keep, add] = update;
    memcpy(outEntries + kEntryBytes * dst, entries + kEntryBytes * first,
           kEntryBytes * (keep - first));
    dst += keep - first;
    if (add) StoreEntry(outEntries, dst++, MakeEntry(now, rank));
    out[outSlot] = static_cast<uint8_t>(keep - first + add);
  }
  const uint32_t bytes = static_cast<uint32_t>(outEntries - out) + kEntryBytes * dst;
  memcpy(region, out, bytes);
  shll->occupied[g] = after;
  shll->groupUsed[g] = static_cast<uint16_t>(bytes);
  shll->usedRegisters += newRegisters;
  return true;
}

// Enters the ranks of the current second into the dense lists, a group at a
// time, and clears them. Returns false when memory ran out.
bool FlushSecond(VTR_SHll *shll) {
  if (!shll->secondPending) return true;
  shll->secondPending = false;
  const uint32_t now = shll->secondStamp;
  if (now > shll->passTime && now - shll->passTime >= kSweepInterval) Sweep(shll, now);
  bool recorded = true;
  for (uint32_t g = 0; g < kGroups; ++g) {
    const uint64_t pending = PendingMask(shll, g);
    if (pending == 0) continue;
    recorded &= EnterGroup(shll, g, pending, now);
    memset(shll->second + (g << kGroupShift), 0, 1u << kGroupShift);
  }
  return recorded;
}

// The lists as they stand: the ranks of the current second entered.
void EnterSecond(VTR_SHll *shll) {
  if (shll->second != nullptr && !FlushSecond(shll))
    VTR_Log(LOG_ERR, "S_HLL: Failed to record a write, due to no memory");
}

// Returns the largest rank written within the window and removes the entries
// 3600 s old or older that it does not count.
uint8_t Scan(VTR_SHll *shll, Register &reg, uint32_t now, uint32_t window) {
  if (reg.count == 0) return 0;  // emptied by an earlier window of this pass
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

// The largest rank within each window for a register that holds entries, the
// windows taken in order, each pruning as a single estimate would.
template <int count>
inline void RegisterMaxima(VTR_SHll *shll, Register &reg, uint32_t now, const uint16_t *windows,
                           uint8_t *mx) {
  if (reg.capacity == 0 && now - reg.stamps[0] < kPruneAge) {
    // Inline entries, none old enough to prune: the windows leave the register
    // as it is, and each window's first entry young enough follows the entries
    // older than the window (ages do not grow along the list).
    uint32_t older[count] = {};
    for (uint32_t i = 0; i < reg.count; ++i) {
      uint32_t age = now - reg.stamps[i];
#pragma GCC unroll 4
      for (int w = 0; w < count; ++w) older[w] += age > windows[w];
    }
#pragma GCC unroll 4
    for (int w = 0; w < count; ++w) mx[w] = older[w] < reg.count ? reg.ranks[older[w]] : 0;
    return;
  }
  for (int w = 0; w < count; ++w) mx[w] = Scan(shll, reg, now, windows[w]);
}

// sum += 1.0, `n` times, with the rounding of each step: one addition when
// sum is a multiple of the spacing of doubles at sum + n (every partial sum
// is then representable), else n of them.
inline void AddOnes(double &sum, uint32_t n) {
  double total = sum + n;
  uint64_t s = std::bit_cast<uint64_t>(sum);
  int sumExp = static_cast<int>(s >> 52);  // sum >= 0: no sign bit
  int totalExp = static_cast<int>(std::bit_cast<uint64_t>(total) >> 52);
  uint64_t mantissa = (s & ((1ULL << 52) - 1)) | (1ULL << 52);
  if (sum == 0.0 || (sumExp != 0 && sumExp + std::countr_zero(mantissa) >= totalExp)) {
    sum = total;
    return;
  }
  for (; n > 0; --n) sum += 1.0;
}

// The sums of one pass: `exact` adds in integers in any order (no rank above
// kExactRank), otherwise register by register in floating point, in which
// case registers must be added in increasing index order.
template <int count, bool exact>
struct Totals {
  uint64_t units[count] = {};  // exact: in units of 2^-kExactRank
  double sums[count] = {};
  uint32_t zeros[count] = {};
  uint32_t visited = 0;
  uint32_t next = 0;  // first register not yet added to the sums

  void EmptyRun(uint32_t end) {
    for (int w = 0; w < count && end != next; ++w) {
      AddOnes(sums[w], end - next);
      zeros[w] += end - next;
    }
  }
  inline void Add(uint32_t j, const uint8_t *mx) {
    if constexpr (exact) {
      ++visited;
#pragma GCC unroll 4
      for (int w = 0; w < count; ++w) {
        zeros[w] += (mx[w] == 0);
        units[w] += 1ULL << (kExactRank - mx[w]);
      }
    } else {
      EmptyRun(j);
      next = j + 1;
      for (int w = 0; w < count; ++w) {
        zeros[w] += (mx[w] == 0);
        sums[w] += vtr_cr::kInversePowers[mx[w]];
      }
    }
  }
  void Finish(uint64_t *out) {
    if constexpr (exact) {
      static_assert(kExactRank == 39, "the scale factor below is 2^-kExactRank");
      const uint32_t empty = VTR_HLL_REGISTERS - visited;
      for (int w = 0; w < count; ++w) {
        double sum = static_cast<double>(units[w] + (static_cast<uint64_t>(empty) << kExactRank));
        out[w] = VTR_HllFormula(sum * 0x1p-39, zeros[w] + empty);
      }
    } else {
      EmptyRun(VTR_HLL_REGISTERS);
      for (int w = 0; w < count; ++w) out[w] = VTR_HllFormula(sums[w], zeros[w]);
    }
  }
};

// The largest rank within each window for one dense list (`n` entries, their
// ages), the windows taken in order, each pruning as Scan does.
template <int count>
inline void ListMaxima(uint32_t *values, uint32_t *ages, uint32_t &n, const uint16_t *windows,
                       uint8_t *mx) {
  for (int w = 0; w < count; ++w) {
    uint32_t counted = 0;  // index of the first entry inside the window
    while (counted < n && ages[counted] > windows[w]) ++counted;
    mx[w] = counted < n ? EntryRank(values[counted]) : 0;
    if (n == 0 || ages[0] < kPruneAge) continue;  // nothing old enough to prune
    uint32_t kept = 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (ages[i] >= kPruneAge && i != counted) continue;
      values[kept] = values[i];
      ages[kept] = ages[i];
      ++kept;
    }
    n = kept;
  }
}

// One pass over the dense lists in register order, moving the kept entries
// down in place within each group.
template <int count, bool exact>
void DensePass(VTR_SHll *shll, uint32_t now, const uint16_t *windows, uint64_t *out) {
  Totals<count, exact> totals;
  uint8_t mx[count];
  uint32_t values[kMaxRank];
  uint32_t ages[kMaxRank];
  const bool stale = Stale(shll, now);
  for (uint32_t g = 0; g < kGroups; ++g) {
    if (shll->groupUsed[g] == 0) continue;
    uint8_t *region = shll->groups[g];
    uint8_t *entries = region + std::popcount(shll->occupied[g]);
    uint8_t counts[1u << kGroupShift];
    uint32_t src = 0, dst = 0, slot = 0;
    for (uint64_t m = shll->occupied[g]; m != 0; m &= m - 1, ++slot) {
      uint32_t n = region[slot];
      for (uint32_t k = 0; k < n; ++k) {
        values[k] = LoadEntry(entries, src + k);
        ages[k] = stale ? UINT32_MAX : EntryAge(values[k], now);
      }
      src += n;
      ListMaxima<count>(values, ages, n, windows, mx);
      for (uint32_t k = 0; k < n; ++k) StoreEntry(entries, dst++, values[k]);
      counts[slot] = static_cast<uint8_t>(n);
      totals.Add(g << kGroupShift | std::countr_zero(m), mx);
    }
    shll->usedRegisters -= CloseGroup(shll, g, counts, dst);
  }
  shll->passTime = std::max(shll->passTime, now);
  FitArena(shll);
  totals.Finish(out);
}

// One pass over a sparse array, in index order, closing the gaps left by
// registers that the pass emptied.
template <int count, bool exact>
void SparsePass(VTR_SHll *shll, uint32_t now, const uint16_t *windows, uint64_t *out) {
  Totals<count, exact> totals;
  uint8_t mx[count];
  Register *regs = shll->sparse;
  uint16_t *index = shll->sparseIndex;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < shll->sparseCount; ++i) {
    RegisterMaxima<count>(shll, regs[i], now, windows, mx);
    totals.Add(index[i], mx);
    if (regs[i].count == 0) continue;
    if (kept != i) {
      regs[kept] = regs[i];
      index[kept] = index[i];
    }
    ++kept;
  }
  shll->sparseCount = kept;
  totals.Finish(out);
}

template <int count>
void EstimatePass(VTR_SHll *shll, uint32_t now, const uint16_t *windows, uint64_t *out) {
  if (shll->occupied != nullptr) {
    if (shll->highRanks)
      DensePass<count, false>(shll, now, windows, out);
    else
      DensePass<count, true>(shll, now, windows, out);
  } else {
    if (shll->highRanks)
      SparsePass<count, false>(shll, now, windows, out);
    else
      SparsePass<count, true>(shll, now, windows, out);
  }
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
  shll->denseLimit = kDenseLimit;
  VTR_Log(LOG_INFO, "Successfully initialized Sliding Hyperlog registers.");
  return VTR_OK;
}

void VTR_SHllAddWrites(VTR_SHll *shll, const VTR_BlockWrite *writes, uint32_t count) {
  if (shll == nullptr) {
    VTR_Log(LOG_ERR, "S_HLL: Invalid input argument, pointer to VTR_SHll is NULLL");
    return;
  }
  if (count == 0) return;
  LockGuard guard(&shll->lock);
  uint32_t t = Clock(shll);
  bool recorded = true;
  if (shll->secondStamp != t) {
    if (shll->second != nullptr) {
      recorded = FlushSecond(shll);
      if (shll->secondBlocks < kFilterOff) {
        free(shll->second);
        shll->second = nullptr;
      }
    }
    shll->secondStamp = t;
    shll->secondBlocks = 0;
  }
  if (shll->occupied != nullptr && shll->second == nullptr && t > shll->passTime &&
      t - shll->passTime >= kSweepInterval)
    Sweep(shll, t);
  uint32_t w = 0;
  for (; w < count; ++w) {
    const uint32_t length = writes[w].length;
    if (length == 0) continue;
    const uint32_t blocks = vtr_cr::BlockCount(length);
    if (shll->second == nullptr && shll->occupied != nullptr &&
        shll->secondBlocks + blocks >= kFilterOn)
      shll->second = static_cast<uint8_t *>(calloc(1, VTR_HLL_REGISTERS));
    if (shll->second != nullptr) break;
    shll->secondBlocks += blocks;
    vtr_cr::ForEachBlock(writes[w].sector, length,
                         [&](uint32_t j, uint8_t rank) { recorded &= AddBlock(shll, j, rank, t); });
  }
  if (w < count) {
    // Busy: of the blocks that one register gets within one second only the
    // highest rank matters (it supersedes the others, which share its
    // stamp), so this write and the rest only raise the ranks of the current
    // second; they enter the lists when the second is over or an estimate
    // comes.
    shll->secondBlocks += vtr_cr::RaiseWriteRanks(writes + w, count - w, shll->second);
    shll->secondPending = true;
  }
  if (!recorded) VTR_Log(LOG_ERR, "S_HLL: Failed to record a write, due to no memory");
}

void VTR_SHllAdd(uint64_t sector, uint32_t length, VTR_SHll *shll) {
  const VTR_BlockWrite write{sector, length};
  VTR_SHllAddWrites(shll, &write, 1);
}

void VTR_SHllEstimateWindows(VTR_SHll *shll, const uint16_t *windows, int count, uint64_t *out) {
  if (count <= 0) return;
  if (shll == nullptr) {
    for (int w = 0; w < count; ++w) out[w] = 0;
    return;
  }
  LockGuard guard(&shll->lock);
  EnterSecond(shll);
  if (shll->usedRegisters == 0) {  // nothing written, or everything pruned
    uint64_t empty = VTR_HllFormula(VTR_HLL_REGISTERS, VTR_HLL_REGISTERS);
    for (int w = 0; w < count; ++w) out[w] = empty;
    return;
  }
  uint32_t now = Clock(shll);
  for (int first = 0; first < count; first += kWindowsPerPass) {
    static_assert(kWindowsPerPass == 4, "one case per pass size");
    switch (count - first) {
      case 1:
        EstimatePass<1>(shll, now, windows + first, out + first);
        break;
      case 2:
        EstimatePass<2>(shll, now, windows + first, out + first);
        break;
      case 3:
        EstimatePass<3>(shll, now, windows + first, out + first);
        break;
      default:
        EstimatePass<4>(shll, now, windows + first, out + first);
        break;
    }
  }
  // Storage for what is left (a failed move keeps the current form).
  if (shll->usedRegisters == 0) {
    FreeDense(shll);
    FreeSparse(shll);
    shll->highRanks = false;
  } else if (shll->occupied != nullptr) {
    if (shll->usedRegisters <= shll->denseLimit / 2) MakeSparse(shll, now);
  } else if (shll->sparseCount <= shll->sparseCapacity / 4 &&
             shll->sparseCapacity > kSparseMinCapacity) {
    ResizeSparse(shll, SparseCapacityFor(shll->sparseCount));
  }
}

uint64_t VTR_SHllEstimate(VTR_SHll *shll, uint16_t windowSecs) {
  uint64_t estimate = 0;
  VTR_SHllEstimateWindows(shll, &windowSecs, 1, &estimate);
  return estimate;
}

void VTR_SHllDestroy(VTR_SHll **slot) {
  if (slot == nullptr || *slot == nullptr) return;
  VTR_SHll *shll = *slot;
  FreeDense(shll);
  for (uint32_t i = 0; i < shll->sparseCount; ++i) ReleaseSpill(shll, shll->sparse[i]);
  FreeSparse(shll);
  pthread_mutex_destroy(&shll->lock);
  free(shll);
  *slot = nullptr;
}

uint64_t VTR_SHllMemoryBytes(const VTR_SHll *shll) {
  if (shll == nullptr) return 0;
  auto *s = const_cast<VTR_SHll *>(shll);
  LockGuard guard(&s->lock);
  EnterSecond(s);
  uint64_t bytes = sizeof(VTR_SHll) + s->spillBytes + SparseStorage(s->sparseCapacity);
  if (s->occupied != nullptr) bytes += kDenseBytes + s->arenaBytes;
  if (s->second != nullptr) bytes += VTR_HLL_REGISTERS;
  return bytes;
}

uint32_t VTR_SHllUsedRegisters(const VTR_SHll *shll) {
  if (shll == nullptr) return 0;
  auto *s = const_cast<VTR_SHll *>(shll);
  LockGuard guard(&s->lock);
  EnterSecond(s);
  return s->usedRegisters;
}

void VTR_SHllForceSequentialSums(VTR_SHll *shll) {
  LockGuard guard(&shll->lock);
  shll->highRanks = true;
}

void VTR_SHllSetDenseLimit(VTR_SHll *shll, uint32_t registers) {
  LockGuard guard(&shll->lock);
  shll->denseLimit = std::max<uint32_t>(registers, 1);
}

bool VTR_SHllIsDense(const VTR_SHll *shll) {
  auto *s = const_cast<VTR_SHll *>(shll);
  LockGuard guard(&s->lock);
  return s->occupied != nullptr;
}

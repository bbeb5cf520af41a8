// The trace log channel "vethra_vscsi_trace": a bounded byte ring of 48-byte
// records. Positions are absolute byte counts (read = acknowledged, write =
// appended); the ring index is position mod capacity. One mutex guards the
// ring; it is separate from the host model's mutex so that channel reads do
// not contend with control traffic.
#include <string.h>

#include <chrono>

#include "internal.h"

namespace hostsim {
namespace {

struct Channel {
  std::mutex mutex;
  std::condition_variable changed;  // acknowledgement, clear or reset
  int waiters = 0;
  std::vector<uint8_t> buf;
  uint64_t cap = 0;
  uint64_t readPos = 0;   // acknowledged
  uint64_t writePos = 0;  // appended
  uint64_t generation = 0;
  // counters
  uint64_t ackedBytes = 0, writtenBytes = 0, clearedBytes = 0;
  uint64_t emitted = 0, dropped = 0, injected = 0;
};

Channel &ch() {
  static Channel *c = new Channel;  // never destroyed: threads may outlive static destruction
  return *c;
}

// Copies n bytes in at the write position; caller holds the lock and checked space.
void putBytes(Channel &c, const uint8_t *src, uint64_t n) {
  uint64_t at = c.writePos % c.cap;
  uint64_t first = std::min(n, c.cap - at);
  memcpy(c.buf.data() + at, src, first);
  if (first < n) memcpy(c.buf.data(), src + first, n - first);
  c.writePos += n;
  c.writtenBytes += n;
}

void notifyLocked(Channel &c) {
  if (c.waiters > 0) c.changed.notify_all();
}

}  // namespace

void channelReset(uint64_t capacity) {
  Channel &c = ch();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (capacity < RECORD_SIZE) capacity = RECORD_SIZE;
  c.buf.assign(capacity, 0);
  c.buf.shrink_to_fit();
  c.cap = capacity;
  c.readPos = c.writePos = 0;
  c.generation++;
  c.ackedBytes = c.writtenBytes = c.clearedBytes = 0;
  c.emitted = c.dropped = c.injected = 0;
  notifyLocked(c);
}

void channelResetCounters() {
  Channel &c = ch();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.ackedBytes = c.writtenBytes = c.clearedBytes = 0;
  c.emitted = c.dropped = c.injected = 0;
}

void channelClear() {
  Channel &c = ch();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.clearedBytes += c.writePos - c.readPos;
  c.readPos = c.writePos;
  notifyLocked(c);
}

void channelAppendOrDrop(const WireRecord *recs, size_t n) {
  if (n == 0) return;
  Channel &c = ch();
  std::lock_guard<std::mutex> lock(c.mutex);
  uint64_t freeBytes = c.cap - (c.writePos - c.readPos);
  size_t fit = std::min<uint64_t>(n, freeBytes / RECORD_SIZE);
  putBytes(c, reinterpret_cast<const uint8_t *>(recs), (uint64_t)fit * RECORD_SIZE);
  c.emitted += fit;
  c.dropped += n - fit;
}

size_t channelAppendWait(const WireRecord *recs, size_t n, int64_t deadlineMs,
                         const std::atomic<bool> *cancel) {
  Channel &c = ch();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  std::unique_lock<std::mutex> lock(c.mutex);
  uint64_t gen = c.generation;
  size_t done = 0;
  while (done < n) {
    uint64_t freeBytes = c.cap - (c.writePos - c.readPos);
    size_t fit = std::min<uint64_t>(n - done, freeBytes / RECORD_SIZE);
    if (fit > 0) {
      putBytes(c, reinterpret_cast<const uint8_t *>(recs + done), (uint64_t)fit * RECORD_SIZE);
      c.emitted += fit;
      c.injected += fit;
      done += fit;
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
      continue;
    }
    if (cancel && cancel->load()) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    c.waiters++;
    c.changed.wait_for(lock, std::chrono::milliseconds(100));
    c.waiters--;
    if (c.generation != gen) break;
  }
  return done;
}

uint32_t channelRead(uint8_t *out, uint32_t max) {
  Channel &c = ch();
  std::lock_guard<std::mutex> lock(c.mutex);
  uint64_t avail = c.writePos - c.readPos;
  uint32_t n = (uint32_t)std::min<uint64_t>(avail, max);
  if (n == 0) return 0;
  uint64_t at = c.readPos % c.cap;
  uint64_t first = std::min<uint64_t>(n, c.cap - at);
  memcpy(out, c.buf.data() + at, first);
  if (first < n) memcpy(out + first, c.buf.data(), n - first);
  return n;
}

void channelAck(uint64_t bytes) {
  Channel &c = ch();
  std::lock_guard<std::mutex> lock(c.mutex);
  uint64_t n = std::min<uint64_t>(bytes, c.writePos - c.readPos);
  c.readPos += n;
  c.ackedBytes += n;
  notifyLocked(c);
}

bool channelDrain(int64_t timeoutMs, const std::atomic<bool> *cancel) {
  Channel &c = ch();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(c.mutex);
  uint64_t gen = c.generation, target = c.writePos;
  while (c.generation == gen && c.readPos < target) {
    if (cancel && cancel->load()) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    c.waiters++;
    c.changed.wait_for(lock, std::chrono::milliseconds(100));
    c.waiters--;
  }
  return true;
}

ChannelStats channelStats() {
  Channel &c = ch();
  std::lock_guard<std::mutex> lock(c.mutex);
  return ChannelStats{
      c.cap,      c.writePos - c.readPos, c.writtenBytes, c.ackedBytes, c.emitted, c.dropped,
      c.injected, c.clearedBytes};
}

}  // namespace hostsim

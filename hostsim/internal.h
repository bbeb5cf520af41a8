// hostsim internals shared by the library's translation units. Nothing here
// is visible to the daemon, which sees only host/hostrt.h.
#pragma once

#include <jansson.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/hostrt.h"

namespace hostsim {

// ---- statuses -------------------------------------------------------------
constexpr TARN_Status ST_OK = 0;
constexpr TARN_Status ST_FAILURE = 0xBAD0001;
constexpr TARN_Status ST_NO_MEMORY = 0xBAD0014;
constexpr TARN_Status ST_BAD_PARAM = 0xBAD0026;
constexpr TARN_Status ST_NOT_FOUND = 0xBAD0062;
constexpr TARN_Status ST_NOT_SUPPORTED = 0xBAD0094;

constexpr int RECORD_SIZE = 48;
constexpr uint8_t OPCODE_READ10 = 0x28;
constexpr uint8_t OPCODE_WRITE10 = 0x2A;
constexpr uint64_t DEFAULT_CHANNEL_CAPACITY = 8u << 20;  // 8 MiB
constexpr const char *CHANNEL_NAME = "vethra_vscsi_trace";

// One 48-byte trace record in the host's little-endian wire layout.
struct WireRecord {
  uint8_t reserved0;
  uint8_t opcode;
  uint16_t reserved1;
  uint32_t worldGroupId;
  uint64_t handleId;
  uint32_t length;
  uint32_t reserved2;
  uint64_t lba;
  uint64_t timestamp;
  uint64_t latency;
} __attribute__((packed));
static_assert(sizeof(WireRecord) == RECORD_SIZE);

// ---- node table -----------------------------------------------------------
enum NodeIndex : int {
  N_vm = 1,
  N_vm_cartelID,
  N_vm_vmmGroupInfo,
  N_world_info,
  N_worldGroups_hasVmm,
  N_worldGroups_vmmLeaderID,
  N_worldGroups_vscsi,
  N_worldGroups_vscsi_name,
  N_worldGroups_vscsi_stats_startVethraTrace,
  N_worldGroups_vscsi_stats_stopVethraTrace,
  N_perf_vethra_handles,
  N_perf_vethra_handles_handleInfo,
  N_perf_vethra_monitoredDiskCount,
  N_perf_vethra_command_clearLogChannel,
  N_perf_vethra_command_resetStartTimestamp,
  N_perf_logChannel_data,
  N_paramListCreate,  // pseudo node: param list creation (counts and faults)
  N_COUNT
};
const char *nodeName(int node);           // without the TARN_NODE_ prefix; null if unknown
int nodeByName(const std::string &name);  // 0 when unknown

// Per-node call counters and fault injection.
void countCall(int node);
// Returns a non-zero status when a pending fault on `node` consumes this call.
TARN_Status takeFault(int node);
void setFault(int node, TARN_Status status, int64_t count);  // count <= 0 clears; -1 = forever
// Holds: after armHold(node) the next call on that node (counted, before its
// fault check) blocks until releaseHold(); clearFaults releases too.
// awaitHeld waits until a call is blocked; false after timeoutMs.
void armHold(int node);
void releaseHold();
bool awaitHeld(int64_t timeoutMs);
void clearFaults();
void resetCallCounts();
json_t *callCountsJson();
json_t *faultsJson();

// Param list counters.
uint64_t paramListsCreated();
uint64_t paramListsDestroyed();

// ---- workloads -------------------------------------------------------------
struct SizeWeight {
  uint32_t bytes;
  double weight;
};
struct LatencyBucket {
  uint64_t us;
  double weight;
};
struct Workload {
  double rate = 0;  // I/Os per second
  double readFraction = 0.5;
  std::vector<SizeWeight> sizes;  // empty = 4 KiB
  double sequentialFraction = 0;
  uint64_t workingSetBlocks = 262144;  // 4 KiB blocks (1 GiB)
  uint64_t latencyMeanUs = 500;
  uint64_t latencyJitterUs = 0;
  std::vector<LatencyBucket> latencyHistogram;  // when set, replaces mean/jitter
  double reorderFraction = 0;                   // share of records whose timestamp is pulled back
  uint64_t reorderMaxUs = 0;                    // by up to this many microseconds
  uint64_t seed = 0;                            // 0 = derived from (worldGroupId, handleId)
  std::string replay;  // file of raw 48-byte records, replaces the generator
  bool replayLoop = true;
  double replaySpeed = 1.0;
};

// Parses a workload object. Returns false with `err` set on invalid input.
bool parseWorkload(json_t *obj, Workload &out, std::string &err);
json_t *workloadJson(const Workload &w);

// Generator state of one traced disk, kept across ticks.
struct GenState {
  bool initialized = false;
  std::mt19937_64 rng;
  double carry = 0;        // fractional I/Os owed
  uint64_t lastUs = 0;     // trace clock of the last tick
  uint64_t nextBlock = 0;  // next sequential block
  // replay
  std::shared_ptr<std::vector<WireRecord>> replayRecords;
  size_t replayIndex = 0;
  uint64_t replayBaseUs = 0;   // trace clock at which the replay (pass) started
  uint64_t replayFirstTs = 0;  // first record's timestamp in the file
  bool replayDone = false;
};

// ---- host model -------------------------------------------------------------
struct Disk {
  uint64_t handleId = 0;
  std::string name;
  bool hasWorkload = false;
  Workload workload;
  GenState gen;
};

struct Vm {
  uint32_t instanceId = 0;
  uint32_t worldGroupId = 0;
  uint32_t vmmLeaderId = 0;
  std::vector<uint32_t> worldIds;
  bool hasVmm = true;
  bool poweredOn = true;
  std::string displayName;
  std::string configFile;
  std::string uuid;
  std::vector<Disk> disks;

  Disk *findDisk(uint64_t handleId);
};

struct Host {
  std::vector<Vm> vms;
  bool signatureMatches = true;
  std::string hostBuildDate = "Mar 03 2025 10:00:00";
  uint64_t channelCapacityBytes = DEFAULT_CHANNEL_CAPACITY;
  std::set<std::pair<uint32_t, uint64_t>> traced;  // (worldGroupId, handleId)
  // "faults" of the description: armed whenever this host becomes current,
  // so that tests can make the daemon's start-up calls fail.
  struct StartFault {
    int node;
    TARN_Status status;
    int64_t count;
  };
  std::vector<StartFault> startFaults;

  enum class Addr { VmFirst, GroupFirst, World };
  Vm *findVm(int64_t id, Addr how);
  Vm *findByGroup(uint32_t wg);
};

// Parses a whole host description. Returns null with `err` set when invalid.
std::unique_ptr<Host> parseHost(const char *json, std::string &err);
std::unique_ptr<Host> parseHostJson(json_t *root, std::string &err);
bool parseVm(json_t *obj, Vm &vm, std::string &err);
bool parseDisk(json_t *obj, Disk &d, std::string &err);
bool addVmToHost(Host &host, Vm vm, std::string &err);
const char *demoHostJson();
json_t *vmJson(const Host &host, const Vm &vm);

// The host model and its lock. Lock order: hostMutex, then the channel lock.
extern std::mutex hostMutex;
extern Host *host;  // never null after ensureStarted()

// Lazy start (first TARN call); idempotent and thread-safe.
void ensureStarted();

// Replaces the host model (stopping and restarting the generator) and resets
// the channel (capacity from the description, empty, counters zero, clock origin).
void replaceHost(std::unique_ptr<Host> h);

// ---- trace clock -----------------------------------------------------------
uint64_t traceClockUs();  // microseconds since the trace start (monotonic)
void resetTraceClock();

// ---- channel ring ----------------------------------------------------------
struct ChannelStats {
  uint64_t capacityBytes, usedBytes, writtenBytes, ackedBytes;
  uint64_t recordsEmitted, recordsDropped, recordsInjected, bytesCleared;
};
void channelReset(uint64_t capacity);  // empties, resets counters
void channelClear();                   // empties (clearLogChannel)
// Appends whole records; those that do not fit are dropped and counted.
void channelAppendOrDrop(const WireRecord *recs, size_t n);
// Appends all records in order, waiting for space. Returns the number
// appended (fewer when no space came free for deadlineMs, `cancel` becomes true or the
// channel is reset meanwhile).
size_t channelAppendWait(const WireRecord *recs, size_t n, int64_t deadlineMs,
                         const std::atomic<bool> *cancel);
// Reader side.
uint32_t channelRead(uint8_t *out, uint32_t max);
void channelAck(uint64_t bytes);
// Waits until everything written before the call has been acknowledged (or
// cleared). Returns false on timeout/cancel.
bool channelDrain(int64_t timeoutMs, const std::atomic<bool> *cancel);
ChannelStats channelStats();
void channelResetCounters();

// ---- workload generator ----------------------------------------------------
void generatorStart();
void generatorStop();
// Called with hostMutex held: generate due records for every active disk.
// Generator ticks completed since the process started (each one has appended
// every record due at its time): a test that waits for two more ticks knows
// a whole tick ran after its change.
extern std::atomic<uint64_t> generatorTicks;
void generateTick(Host &h, uint64_t nowUs, std::vector<WireRecord> &scratch);
bool loadRecordFile(const std::string &path, std::vector<WireRecord> &out, std::string &err);

// ---- control ---------------------------------------------------------------
// Runs one request; returns the reply object (never null).
json_t *controlExecute(json_t *req, const std::atomic<bool> *cancel);
std::string controlExecuteText(const char *text, size_t len, const std::atomic<bool> *cancel);
// Starts serving `path`; false (with a warning on stderr) when another live
// listener owns it or it cannot be bound.
bool controlServerStart(const std::string &path);
void controlServerStop();

// JSON helpers.
bool jsonU64(json_t *obj, const char *key, uint64_t &out, bool required, std::string &err);
bool jsonStatus(json_t *v, TARN_Status &out);
std::string errorReply(const std::string &msg);

}  // namespace hostsim

namespace hostsim {
// Param list access for the node code.
TARN_ParamList *allocResultList();  // counted creation; null on fault/OOM
bool paramInt(TARN_ParamList *list, int index, int64_t &out);
bool paramString(TARN_ParamList *list, int index, std::string &out);
void paramClear(TARN_ParamList *list);
}  // namespace hostsim

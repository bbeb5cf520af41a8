// Memory of the exporter's history: 2000 disks sampled every 5 s for 15
// minutes (180 samples of busy disks, every value known), as resident memory
// of this process before and after the ring is filled, and the time and size
// of the endpoint's full document and of one refresh (?since= the last but one
// sample). Prints figures; the goal is under 64 MiB.
#include <stdio.h>
#include <unistd.h>

#include <chrono>

#include "history.h"

namespace {

double ResidentMiB() {
  long pages = 0, resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (!f) return -1;
  if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  fclose(f);
  return (double)resident * (double)sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0);
}

}  // namespace

int main() {
  constexpr int VMS = 200, DISKS_PER_VM = 10, INTERVAL = 5, SECONDS = 900;
  VTR_Doc doc{};
  VTR_Doc rates{};
  for (int v = 0; v < VMS; v++) {
    VTR_VmCounters vm{
        "vm-" + std::to_string(v), "42 1a 00 " + std::to_string(v), (uint32_t)(70000 + v), {}};
    VTR_VmCounters rvm = vm;
    for (int d = 0; d < DISKS_PER_VM; d++) {
      VTR_DiskCounters disk{"scsi0:" + std::to_string(d), {}, {}};
      vm.disks.push_back(disk);
      disk.rates = {4096, 8192, 16384};
      rvm.disks.push_back(disk);
    }
    doc.vms.push_back(vm);
    rates.vms.push_back(rvm);
  }
  double before = ResidentMiB();
  VTR_History h;
  VTR_HistoryInit(&h, INTERVAL, SECONDS);
  for (size_t s = 0; s <= h.capacity + 1; s++) {
    doc.timeStamp = 1700000000 + (int64_t)s * INTERVAL;
    for (VTR_VmCounters &vm : doc.vms) {
      for (VTR_DiskCounters &d : vm.disks) {
        for (int i = 0; i < VTR_TOOL_COUNTERS; i++) d.c[i] += 1000 + (uint64_t)i * 7 + s;
      }
    }
    VTR_HistoryAdd(&h, &doc, &rates, (double)doc.timeStamp, (double)s * INTERVAL);
  }
  double after = ResidentMiB();
  size_t points = 0;
  for (const VTR_HistSample &s : h.samples) points += s.points.size();

  auto t0 = std::chrono::steady_clock::now();
  VTR_HistoryQuery all{-1e300, {}, false};
  std::string full = VTR_HistoryJson(h, all);
  auto t1 = std::chrono::steady_clock::now();
  VTR_HistoryQuery refresh{h.samples[h.samples.size() - 2].time, {70001}, false};
  std::string one = VTR_HistoryJson(h, refresh);
  auto t2 = std::chrono::steady_clock::now();

  printf("history: %d disks, %zu samples (%d s every %d s), %zu points\n", VMS * DISKS_PER_VM,
         h.samples.size(), SECONDS, INTERVAL, points);
  printf(
      "resident memory: %.1f MiB before, %.1f MiB after filling the ring: %.1f MiB for the history "
      "(%.0f bytes a point; goal: under 64 MiB)\n",
      before, after, after - before, (after - before) * 1024 * 1024 / (double)points);
  printf("full document: %.1f MiB in %.0f ms; a refresh of one VM's disks: %zu bytes in %.2f ms\n",
         (double)full.size() / (1024.0 * 1024.0),
         std::chrono::duration<double, std::milli>(t1 - t0).count(), one.size(),
         std::chrono::duration<double, std::milli>(t2 - t1).count());
  return after - before < 64 ? 0 : 1;
}

// Fixtures shared by the unit tests: log capture, registry reset, host state.
#pragma once

#include <gtest/gtest.h>
#include <jansson.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "frame.h"
#include "hostsim.h"
#include "registry/registry.h"

namespace vtrtest {

// Every logged line with its priority, from any thread.
inline std::mutex logMutex;
inline std::vector<std::pair<int, std::string>> logLines;

inline void CaptureLog(int priority, const char *message) {
  std::lock_guard<std::mutex> lock(logMutex);
  logLines.emplace_back(priority, message);
}
// Sets the log level (7: everything) and captures from here on.
inline void StartLogCapture(int level = 7) {
  VTR_StartupConfig().logLevel = level;
  std::lock_guard<std::mutex> lock(logMutex);
  logLines.clear();
  VTR_SetLogHook(CaptureLog);
}
inline void StopLogCapture() { VTR_SetLogHook(nullptr); }
// How often text was logged (at priority, or at any when priority is -1).
inline size_t CountLogged(const std::string &text, int priority = -1) {
  std::lock_guard<std::mutex> lock(logMutex);
  size_t n = 0;
  for (const auto &[p, line] : logLines) n += line == text && (priority < 0 || p == priority);
  return n;
}
inline bool Logged(const std::string &text, int priority = -1) {
  return CountLogged(text, priority) > 0;
}

// The registry as the daemon starts with it.
inline void ResetRegistry() {
  VTR_FinaliseRegistry();
  ASSERT_EQ(VTR_InitHashTblAndList(), 0);
}

inline DiskEntry *Entry(uint32_t worldGroupId, uint64_t handleId) {
  return VTR_FindDiskEntry(VTR_GetDiskKey(worldGroupId, handleId));
}
inline bool HasEntry(uint32_t worldGroupId, uint64_t handleId) {
  return Entry(worldGroupId, handleId) != nullptr;
}

// The simulated host's state document (caller releases it), and one integer
// of it: state[key] or state[key][sub].
inline json_t *HostState() {
  char *text = hostsim_control(R"({"op":"state"})");
  json_t *state = json_loads(text, 0, nullptr);
  hostsim_free(text);
  return state;
}
inline int64_t HostStateInt(const char *key, const char *sub = nullptr) {
  json_t *state = HostState(), *value = json_object_get(state, key);
  int64_t result = json_integer_value(sub ? json_object_get(value, sub) : value);
  json_decref(state);
  return result;
}

}  // namespace vtrtest

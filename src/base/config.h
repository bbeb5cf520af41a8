// Run configuration and process-wide state. The configuration is written only
// by option parsing on the main thread before any other thread exists
// (through VTR_StartupConfig) and is read-only afterwards: everyone else sees
// it through the const views below, under the names the rest of the code
// uses.
#pragma once

#include <signal.h>
#include <stdint.h>
#include <sys/time.h>

#include <atomic>

constexpr int VTR_MAX_WORLD_GROUPS = 500;
constexpr int VTR_INSTANCE_NAME_SIZE = 1024;

struct VTR_RunConfig {
  int32_t logLevel = 6;
  bool helpRequested = false;
  bool listMode = false;
  bool durationGiven = false;
  int32_t durationSecs = 0;
  bool monitorAll = false;
  bool worldGroupGiven = false;
  int32_t worldGroupCount = 0;
  uint32_t worldGroupIds[VTR_MAX_WORLD_GROUPS] = {};
  char instanceName[VTR_INSTANCE_NAME_SIZE] = {};
  bool changeRateEnabled = false;
  bool slidingHllEnabled = false;
};

// The configuration being set up: option parsing, and tests and fuzz targets
// before they start the code under test. Nothing writes it once threads run.
VTR_RunConfig &VTR_StartupConfig();

extern const int32_t &logLevel;
extern const bool &helpRequested;
extern const bool &listMode;
extern const bool &durationGiven;
extern const int32_t &durationSecs;
extern const bool &monitorAll;
extern const bool &worldGroupGiven;
extern const int32_t &worldGroupCount;
extern const uint32_t (&worldGroupIds)[VTR_MAX_WORLD_GROUPS];
extern const char (&instanceName)[VTR_INSTANCE_NAME_SIZE];
extern const bool &changeRateEnabled;
extern const bool &slidingHllEnabled;

// Set once by a signal or the Exit request; polled by every thread.
extern std::atomic<bool> exitRequested;
static_assert(std::atomic<bool>::is_always_lock_free);

// The signal that asked for the exit (0 when none did). Written by the signal
// handler only; the main thread logs it and runs the shutdown.
extern volatile sig_atomic_t pendingSignal;

extern struct timeval startTime;

// Listening socket descriptor, -1 until created. The shutdown closes it for
// reading so that a Listener blocked in accept() wakes up.
extern int listenSocket;

// Initialise and Finalise of the run configuration: both put every field and
// the exit state back to their initial values.
void VTR_ResetRunConfig();

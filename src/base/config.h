// Run configuration and process-wide state. The configuration is written only
// by option parsing on the main thread before any other thread exists and is
// read-only afterwards.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/time.h>

#include <atomic>

constexpr int VTR_MAX_WORLD_GROUPS = 500;
constexpr int VTR_INSTANCE_NAME_SIZE = 1024;

extern int32_t logLevel;
extern bool helpRequested;
extern bool listMode;
extern bool durationGiven;
extern int32_t durationSecs;
extern bool monitorAll;
extern bool worldGroupGiven;
extern int32_t worldGroupCount;
extern uint32_t worldGroupIds[VTR_MAX_WORLD_GROUPS];
extern char instanceName[VTR_INSTANCE_NAME_SIZE];
extern bool changeRateEnabled;
extern bool slidingHllEnabled;

// Set once by a signal or the Exit request; polled by every thread.
extern std::atomic<bool> exitRequested;
static_assert(std::atomic<bool>::is_always_lock_free);

// The signal that asked for the exit (0 when none did). Written by the signal
// handler only; the main thread logs it and runs the shutdown.
extern volatile sig_atomic_t pendingSignal;

extern struct timeval startTime;

extern pthread_t producerThread;
extern pthread_t consumerThread;
extern pthread_t listenerThread;
extern bool producerStarted;
extern bool consumerStarted;
extern bool listenerStarted;

// Listening socket descriptor, -1 until created. The shutdown closes it for
// reading so that a Listener blocked in accept() wakes up.
extern int listenSocket;

// Puts every run-configuration variable back to its initial value (tests).
void VTR_ResetRunConfig();

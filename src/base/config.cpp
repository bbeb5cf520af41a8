#include "base/config.h"

namespace {
VTR_RunConfig runConfig;
}

VTR_RunConfig &VTR_StartupConfig() { return runConfig; }

const int32_t &logLevel = runConfig.logLevel;
const bool &helpRequested = runConfig.helpRequested;
const bool &listMode = runConfig.listMode;
const bool &durationGiven = runConfig.durationGiven;
const int32_t &durationSecs = runConfig.durationSecs;
const bool &monitorAll = runConfig.monitorAll;
const bool &worldGroupGiven = runConfig.worldGroupGiven;
const int32_t &worldGroupCount = runConfig.worldGroupCount;
const uint32_t (&worldGroupIds)[VTR_MAX_WORLD_GROUPS] = runConfig.worldGroupIds;
const char (&instanceName)[VTR_INSTANCE_NAME_SIZE] = runConfig.instanceName;
const bool &changeRateEnabled = runConfig.changeRateEnabled;
const bool &slidingHllEnabled = runConfig.slidingHllEnabled;

std::atomic<bool> exitRequested{false};
volatile sig_atomic_t pendingSignal = 0;
struct timeval startTime;
int listenSocket = -1;

void VTR_ResetRunConfig() {
  runConfig = VTR_RunConfig{};
  exitRequested.store(false);
  pendingSignal = 0;
}

#include "base/config.h"

#include <string.h>

int32_t logLevel = 6;
bool helpRequested = false;
bool listMode = false;
bool durationGiven = false;
int32_t durationSecs = 0;
bool monitorAll = false;
bool worldGroupGiven = false;
int32_t worldGroupCount = 0;
uint32_t worldGroupIds[VTR_MAX_WORLD_GROUPS];
char instanceName[VTR_INSTANCE_NAME_SIZE];
bool changeRateEnabled = false;
bool slidingHllEnabled = false;

std::atomic<bool> exitRequested{false};
volatile sig_atomic_t pendingSignal = 0;
struct timeval startTime;

pthread_t producerThread;
pthread_t consumerThread;
pthread_t listenerThread;
bool producerStarted = false;
bool consumerStarted = false;
bool listenerStarted = false;
int listenSocket = -1;

void VTR_ResetRunConfig() {
  logLevel = 6;
  helpRequested = listMode = durationGiven = monitorAll = worldGroupGiven = false;
  durationSecs = worldGroupCount = 0;
  memset(worldGroupIds, 0, sizeof(worldGroupIds));
  memset(instanceName, 0, sizeof(instanceName));
  changeRateEnabled = slidingHllEnabled = false;
  exitRequested.store(false);
  pendingSignal = 0;
}

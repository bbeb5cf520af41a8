// The Producer thread: reads the host's trace log channel in chunks, cuts
// the byte stream into 48-byte records and queues them in time-stamp order.
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "base/config.h"
#include "base/log.h"
#include "host/hostrt.h"
#include "trace/analyzer.h"

static_assert(VTR_CARRY_BUFFER_SIZE >= TARN_LOGCHANNEL_MAX_DATA + VTR_TRACE_RECORD_SIZE - 1,
              "the carry buffer must hold a partial record plus a full chunk");

int VTR_CutRecords(uint8_t *carry, int carryLen, const uint8_t *data, uint32_t dataLen) {
  // Whatever the host claims, never copy past the carry buffer.
  carryLen = std::clamp(carryLen, 0, VTR_TRACE_RECORD_SIZE - 1);
  dataLen = std::min<uint32_t>(dataLen, TARN_LOGCHANNEL_MAX_DATA);
  memcpy(carry + carryLen, data, dataLen);
  const int total = carryLen + static_cast<int>(dataLen);
  int offset = 0;
  while (total - offset >= VTR_TRACE_RECORD_SIZE) {
    TraceRecord record;
    memcpy(&record, carry + offset, sizeof record);
    if (!VTR_Enqueue(&record)) return -1;
    offset += VTR_TRACE_RECORD_SIZE;
  }
  const int rest = total - offset;
  memmove(carry, carry + offset, rest);
  return rest;
}

void *VTR_ProducerThread(void *) {
  TARN_ParamList *instance = TARN_ParamListCreate(TARN_PARAMLIST_INSTANCE, 1);
  if (instance == nullptr) {
    VTR_Log(LOG_ERR, "Monitor: Failed to allocate inst Paramlist");
    return nullptr;
  }
  TARN_ParamList *input = TARN_ParamListCreate(TARN_PARAMLIST_INPUT, 1);
  if (input == nullptr) {
    VTR_Log(LOG_ERR, "Monitor: Failed to allocate input Paramlist");
    TARN_ParamListDestroy(instance);
    return nullptr;
  }
  VTR_Log(LOG_INFO, "Monitor: Producer thread initialized.");
  char channelName[64];
  Str_Sprintf(channelName, sizeof channelName, "vethra_vscsi_trace");
  VTR_Log(LOG_INFO, "Monitor: Reading data from the channel : %s", channelName);
  TARN_ParamListAddString(instance, channelName);
  TARN_ParamListAddInt(input, 0);

  alignas(8) uint8_t readBuffer[TARN_LOGCHANNEL_BUFFER_SIZE];
  alignas(8) uint8_t carry[VTR_CARRY_BUFFER_SIZE];
  int carryLen = 0;
  uint32_t failureCount = 1;  // never reset: the retry message is rate-limited since start

  while (!exitRequested.load(std::memory_order_relaxed)) {
    memset(readBuffer, 0, sizeof(uint32_t));
    TARN_Status status =
        TARN_Get(TARN_NODE_perf_logChannel_data, instance, readBuffer, sizeof readBuffer);
    if (status != 0) {
      if (failureCount % 60 == 0) {
        VTR_Log(LOG_DEBUG, "Monitor: Failed to get perf_logChannel_data tarn node: %s.Retrying ...",
                BREL_ReturnStatusToString(status));
      }
      sleep(1);
      failureCount++;
      continue;
    }
    uint32_t byteCount;
    memcpy(&byteCount, readBuffer, sizeof byteCount);
    if (byteCount == 0) {
      usleep(100000);
      continue;
    }
    byteCount = std::min<uint32_t>(byteCount, TARN_LOGCHANNEL_MAX_DATA);
    int rest = VTR_CutRecords(carry, carryLen, readBuffer + sizeof(uint32_t), byteCount);
    if (rest < 0) break;  // exit requested while the queue was full
    carryLen = rest;
    // Acknowledge the bytes just read so that the host moves on past them.
    TARN_ParamListRemoveLastParam(input);
    TARN_ParamListAddInt(input, byteCount);
    uint32_t output = 0;
    TARN_Set(TARN_NODE_perf_logChannel_data, instance, input, &output, 0);
  }
  TARN_ParamListDestroy(input);
  TARN_ParamListDestroy(instance);
  return nullptr;
}

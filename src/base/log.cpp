#include "base/log.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>

#include "base/config.h"

namespace {
std::atomic<VTR_LogHook> logHook{nullptr};
}

void VTR_OpenLog() { openlog("vethra", LOG_PID, LOG_USER); }

void VTR_CloseLog() {
  logHook.store(nullptr);
  closelog();
}

void VTR_SetLogHook(VTR_LogHook hook) { logHook.store(hook); }

void VTR_Log(int priority, const char *format, ...) {
  if (logLevel < priority) return;
  va_list ap;
  va_start(ap, format);
  if (VTR_LogHook hook = logHook.load(std::memory_order_relaxed)) {
    char text[2048];
    vsnprintf(text, sizeof text, format, ap);
    hook(priority, text);
  } else {
    vsyslog(priority, format, ap);
  }
  va_end(ap);
}

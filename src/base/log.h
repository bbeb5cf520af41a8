// Logging to syslog, gated by logLevel: a message of priority p is written
// only when logLevel >= p.
#pragma once
#include <syslog.h>

void VTR_OpenLog();
// The pair of VTR_OpenLog: closes the syslog connection and drops any hook.
void VTR_CloseLog();
void VTR_Log(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Tests can capture messages instead of sending them to syslog. The hook gets
// the priority and the formatted text; it runs after the logLevel gate.
using VTR_LogHook = void (*)(int priority, const char *message);
void VTR_SetLogHook(VTR_LogHook hook);

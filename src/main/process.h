// Process frame: command line, signals, the long-lived threads and shutdown.
#pragma once

#include <stdint.h>

#include "base/status.h"

constexpr int VTR_EXIT_OK = 0;
constexpr int VTR_EXIT_SIGNATURE = 1;
constexpr int VTR_EXIT_USAGE = 3;
constexpr int VTR_EXIT_INSTANCE = 4;
constexpr int VTR_EXIT_TABLE = 5;
constexpr int VTR_EXIT_SOCKET = 6;
constexpr int VTR_EXIT_BAD_ARGUMENT = 2;  // -w beyond 500 ids or -n beyond 1023 characters

extern const char *const VTR_USAGE_TEXT;

void VTR_PrintUsage();
int VTR_IsInstanceRunning();
void VTR_InstallSignalHandlers();
void VTR_SignalHandler(int signal);
// The one shutdown sequence, for signals, the Exit request (through the exit
// hook) and start-up failures after tracing began; never in signal context.
// Sets exitRequested, closes tracing and stops every trace this process
// started (exactly once per process: a second caller waits until the first
// has finished), then wakes the worker threads so that they can be joined.
void VTR_Shutdown();
void VTR_StartThreads(int listenFd);
// The whole daemon; returns the exit code.
int VTR_Main(int argc, char **argv);

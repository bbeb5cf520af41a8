// The daemon's process frame: start-up sequence, command line, signals, the
// three long-lived threads and the shutdown.
#include "main/process.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "base/clock.h"
#include "base/config.h"
#include "base/daemon_options.h"
#include "base/log.h"
#include "host/hostrt.h"
#include "interface/requests.h"
#include "interface/uds.h"
#include "registry/registry.h"
#include "trace/analyzer.h"
#include "trace/record_queue.h"
#include "trace/startup_tracing.h"
#include "trace/tracing.h"

const char *const VTR_USAGE_TEXT =
    "Vethra is a tool to monitor io operations.\n"
    "Usage:\n"
    "   vethra <options>\n"
    "\n"
    "   -h, --help : Prints this usage message\n"
    "   -l, --list : Lists  powered-on virtual machines and their drevs\n"
    "   -d, --duration <dur in seconds> : Monitoring duration\n"
    "   -a, --all  : Monitor all VMs/DREVs in the host\n"
    "   -w, --worldgroupid <wg-id> : WorldGroup ID of VM. To specify\n"
    "                      more than 1 VM, use separate -w for each VM.\n"
    "   -n, --name <instanceName> \n"
    "   -s, --changerate_shll :\n"
    "             Enable change rate estimation using Sliding  Hyperloglog\n"
    "   -c, --changerate_hll :\n"
    "             Enable change rate estimation using Hyperloglog\n"
    "   -v, --verbose <level>: Log level <0-7>. Default level is 6 (INFO)";

void VTR_PrintUsage() { puts(VTR_USAGE_TEXT); }

namespace {

pthread_t producerThread;
pthread_t consumerThread;
pthread_t listenerThread;
bool producerStarted = false;
bool consumerStarted = false;
bool listenerStarted = false;

// Parses the command line into the run configuration. Returns -1 to go on,
// or the exit code to end the process with.
int ParseOptions(int argc, char **argv) {
  VTR_RunConfig &config = VTR_StartupConfig();
  optind = 1;
  int opt;
  while ((opt = getopt_long(argc, argv, VTR_DAEMON_SHORT_OPTIONS, VTR_DAEMON_LONG_OPTIONS,
                            nullptr)) != -1) {
    switch (opt) {
      case 'h':
        config.helpRequested = true;
        break;
      case 'l':
        config.listMode = true;
        break;
      case 'd':
        config.durationGiven = true;
        config.durationSecs = static_cast<int32_t>(strtol(optarg, nullptr, 10));
        break;
      case 'a':
        config.monitorAll = true;
        break;
      case 'w':
        if (worldGroupCount >= VTR_MAX_WORLD_GROUPS) {
          fprintf(stderr, "vethra: too many -w options: at most %d world group ids can be given\n",
                  VTR_MAX_WORLD_GROUPS);
          VTR_PrintUsage();
          return VTR_EXIT_BAD_ARGUMENT;
        }
        config.worldGroupGiven = true;
        config.worldGroupIds[config.worldGroupCount++] =
            static_cast<uint32_t>(strtol(optarg, nullptr, 10));
        break;
      case 'n':
        if (strlen(optarg) >= sizeof instanceName) {
          fprintf(stderr, "vethra: the -n name is longer than %zu characters\n",
                  sizeof instanceName - 1);
          VTR_PrintUsage();
          return VTR_EXIT_BAD_ARGUMENT;
        }
        strcpy(config.instanceName, optarg);
        break;
      case 's':
        config.slidingHllEnabled = true;
        config.changeRateEnabled = true;
        break;
      case 'c':
        config.changeRateEnabled = true;
        break;
      case 'v':
        config.logLevel = static_cast<int32_t>(strtol(optarg, nullptr, 10));
        printf("Main: Debug level changed to %d\n", logLevel);
        break;
      default:  // -x, -t, -m, an unknown option or a missing argument
        VTR_PrintUsage();
        return VTR_EXIT_OK;
    }
  }
  return -1;
}

bool CheckTARNVersion() {
  char hostDate[21] = {0};
  const char *ownDate = nullptr;
  if (TARN_CheckSig(hostDate, sizeof hostDate, &ownDate) == 0) return true;
  hostDate[20] = '\0';
  VTR_Log(LOG_ERR,
          "VTR_CheckTARNVersion:md5 signature mismatch with running Server built on %s (vethra "
          "build date: %s)",
          hostDate, ownDate ? ownDate : "");
  VTR_Log(LOG_ERR, "Main: TARN signature mismatch");
  return false;
}

void LogStartupWorldGroups() {
  VTR_Log(LOG_INFO, "Enabling tracing for the below VM wordlIds:");
  for (int i = 0; i < worldGroupCount; i++) VTR_Log(LOG_INFO, "worldId: %u", worldGroupIds[i]);
  putchar('\n');
}

}  // namespace

int VTR_IsInstanceRunning() {
  char command[100];
  Str_Sprintf(command, sizeof command, "pidof -o %d vethra > /dev/null",
              static_cast<int>(getpid()));
  int result = system(command);
  if (result == 0) {
    printf("Main: An instance of Vethra is already running.\n");
    fflush(stdout);
    return 1;
  }
  return result;
}

// Runs in signal context: it only records the signal and raises the exit
// flag (both async-signal-safe). The main thread notices the flag within
// 500 ms, logs the signal and performs the shutdown.
void VTR_SignalHandler(int signal) {
  if (signal == SIGALRM) {
    if (!durationGiven) return;
  } else if (signal != SIGHUP && signal != SIGINT && signal != SIGTERM) {
    return;
  }
  pendingSignal = signal;
  exitRequested.store(true);
}

void VTR_InstallSignalHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = VTR_SignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGALRM, &action, nullptr);
  if (durationGiven) alarm(static_cast<unsigned>(durationSecs) + 60);
}

namespace {

// Closes tracing and stops every trace this process started, under
// registryLock: a request that changes the VM list either completes before
// the stop (and its traces are stopped with the rest) or finds tracing
// closed afterwards and starts nothing.
void StopTracingForGood() {
  RegistryGuard guard;
  VTR_CloseTracing();
  if (VTR_StopTracing() != VTR_OK) VTR_Log(LOG_ERR, "Main: Failed to stop tracing.");
}

}  // namespace

void VTR_Shutdown() {
  // Serialises the callers (the main thread and an Exit request): the first
  // runs the stop, a later one waits until it is complete and then finds
  // nothing left to do. This mutex is never held while waiting for
  // registryLock outside the stop, so the main thread's final hold of
  // registryLock cannot block a late caller.
  static std::mutex mutex;
  static bool stopped = false;
  std::lock_guard<std::mutex> lock(mutex);
  exitRequested.store(true);
  if (!stopped) {
    StopTracingForGood();
    stopped = true;
  }
  // Wake the Producer and Consumer from their condition waits and the
  // Listener from accept(); each then sees exitRequested and returns.
  VTR_WakeQueueWaiters();
  if (listenSocket >= 0) shutdown(listenSocket, SHUT_RDWR);
}

void VTR_StartThreads(int listenFd) {
  static int listenerFd;
  listenerFd = listenFd;
  listenSocket = listenFd;
  VTR_InitRecordQueue();
  producerStarted = pthread_create(&producerThread, nullptr, VTR_ProducerThread, nullptr) == 0;
  consumerStarted = pthread_create(&consumerThread, nullptr, VTR_ConsumerThread, nullptr) == 0;
  listenerStarted = pthread_create(&listenerThread, nullptr, VTR_UDSListener, &listenerFd) == 0;

  while (!exitRequested.load()) usleep(500000);

  int signal = pendingSignal;
  if (signal == SIGALRM) {
    VTR_Log(LOG_INFO, "Main: Runtime exceeds configured duration. Exiting");
  } else if (signal != 0) {
    VTR_Log(LOG_INFO, "Main: Received signal %d.Cleaning up...", signal);
  }
  VTR_Shutdown();
  if (producerStarted) pthread_join(producerThread, nullptr);
  if (consumerStarted) pthread_join(consumerThread, nullptr);
  if (listenerStarted) pthread_join(listenerThread, nullptr);

  // Message Handler threads are detached and may still be serving a request.
  // Holding registryLock until the process ends keeps every one of them away
  // from the table while and after it is destroyed.
  // Then the modules are finalised in the reverse order of their start-up.
  pthread_mutex_lock(&registryLock);
  VTR_FinaliseRecordQueue();
  VTR_FinaliseRegistry();
}

int VTR_Main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  VTR_OpenLog();
  if (!CheckTARNVersion()) return VTR_EXIT_SIGNATURE;
  if (argc < 2) {
    VTR_PrintUsage();
    return VTR_EXIT_USAGE;
  }
  int code = ParseOptions(argc, argv);
  if (code >= 0) return code;
  if (helpRequested) {
    VTR_PrintUsage();
    return VTR_EXIT_OK;
  }
  if (!listMode && (VTR_IsInstanceRunning() & 0xff) != 0) return VTR_EXIT_INSTANCE;

  VTR_GetTime(&startTime);
  VTR_InstallSignalHandlers();

  if (VTR_InitHashTblAndList() != 0) {
    VTR_Log(LOG_ERR, "Main: VTR_InitHashTblAndList() failed");
    return VTR_EXIT_TABLE;
  }
  if (worldGroupGiven) LogStartupWorldGroups();
  if (!listMode && VTR_InitialCleanup() != VTR_OK) {
    VTR_Log(LOG_ERR, "Main: Failure during initial cleanup.");
  }
  if (listMode || worldGroupGiven || monitorAll) {
    if (VTR_EnableVMVscsiTrace() != VTR_OK) {
      VTR_Log(LOG_ERR, "Main: Failed to enable Vethra monitoring on all VMs");
    }
    if (listMode) return VTR_EXIT_OK;
  }

  int fd = -1;
  if (VTR_InitUDS(&fd) != VTR_OK) {
    VTR_Log(LOG_ERR, "Main: Failed to create Unix Domain Socket.");
    // Tracing may have begun above: the same shutdown switches it off.
    VTR_Shutdown();
    return VTR_EXIT_SOCKET;
  }
  VTR_SetExitHook(VTR_Shutdown);
  VTR_StartThreads(fd);
  return VTR_EXIT_OK;
}

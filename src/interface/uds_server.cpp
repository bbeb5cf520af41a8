// The Unix domain socket server: the listening socket, the Listener thread,
// one Message Handler thread per connection, the 8-byte framing of requests
// and replies, and the dispatch of command codes to the request handlers.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "host/hostrt.h"
#include "interface/requests.h"

namespace {

// The line that closes every receive failure of the handler loop.
void LogReceiveFailure(VTR_Status status) {
  VTR_Log(LOG_ERR, "Interface: Failed to receive packet: %s", BREL_ReturnStatusToString(status));
}

VTR_Status ErrnoStatus(int err) { return VTR_ERRNO_BASE + static_cast<VTR_Status>(err); }

// Sends all `size` bytes unless the peer fails; a send interrupted by a
// signal or cut short is continued so that a reply is never truncated.
// Returns the bytes sent, or the failing send's result when none were.
ssize_t SendAll(int fd, const char *data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return sent > 0 ? static_cast<ssize_t>(sent) : n;
    }
    sent += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(sent);
}

enum class RecvResult { Ok, Closed, Failed };

// Completes a header whose first `have` bytes already arrived. A receive
// interrupted by a signal is retried so that the framing stays intact.
RecvResult CompleteHeader(int fd, unsigned char *header, size_t have) {
  while (have < VTR_MSG_HEADER_SIZE) {
    ssize_t n = recv(fd, header + have, VTR_MSG_HEADER_SIZE - have, 0);
    if (n == 0) return RecvResult::Closed;
    if (n < 0) {
      if (errno == EINTR) continue;
      return RecvResult::Failed;
    }
    have += static_cast<size_t>(n);
  }
  return RecvResult::Ok;
}

// Reads the announced payload into request->payload. Logs as it goes.
RecvResult ReceivePayload(int fd, VTR_Request *request) {
  uint32_t length = request->length;
  uint32_t received = 0;
  while (received < length) {
    ssize_t n = recv(fd, request->payload + received, length - received, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      VTR_Log(LOG_ERR, "Interface: Failed to receive the UDS message: %s",
              BREL_ReturnStatusToString(ErrnoStatus(err)));
      LogReceiveFailure(ErrnoStatus(err));
      return RecvResult::Failed;
    }
    if (n == 0) {
      VTR_Log(LOG_INFO, "Interface: The remote connection is closed");
      return RecvResult::Closed;
    }
    received += static_cast<uint32_t>(n);
    if (static_cast<uint32_t>(n) < length) {
      VTR_Log(LOG_INFO, "Interface: Received %u out of %u bytes.", received, length);
    }
  }
  return RecvResult::Ok;
}

void ReleaseRequest(VTR_Request *request) {
  free(request->payload);
  *request = VTR_Request{};
}

}  // namespace

VTR_Status VTR_InitUDSAt(const char *path, int *fd) {
  VTR_Log(LOG_INFO, "Interface: Initializing UDS.");
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  if (sock < 0) {
    VTR_Log(LOG_ERR, "Interface: Unix Socket creation failed: %s.", strerror(errno));
    return VTR_FAILURE;
  }
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) {
    VTR_Log(LOG_ERR, "Interface: Failed to bind socket: %s.", strerror(ENAMETOOLONG));
    close(sock);
    return VTR_FAILURE;
  }
  strcpy(address.sun_path, path);
  unlink(path);  // a socket file left by an earlier run would block the bind
  if (bind(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address) < 0) {
    VTR_Log(LOG_ERR, "Interface: Failed to bind socket: %s.", strerror(errno));
    close(sock);
    return VTR_FAILURE;
  }
  if (listen(sock, 3) < 0) {
    VTR_Log(LOG_ERR, "Interface: Failed to listen to UDS: %s.", strerror(errno));
    close(sock);
    return VTR_FAILURE;
  }
  *fd = sock;
  return VTR_OK;
}

VTR_Status VTR_InitUDS(int *fd) { return VTR_InitUDSAt(VTR_UDS_PATH, fd); }

void *VTR_UDSListener(void *listenFdPtr) {
  int listenFd = *static_cast<int *>(listenFdPtr);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, VTR_HANDLER_STACK_SIZE);
  VTR_Log(LOG_INFO, "Interface: Listener thread initialized");

  while (!exitRequested.load()) {
    int conn = accept(listenFd, nullptr, nullptr);
    if (conn < 0) {
      // The shutdown shuts the socket down to end this wait.
      if (exitRequested.load()) break;
      printf("Err: Accept call failed or interrupted by a signal");
      fflush(stdout);
      usleep(200000);
      continue;
    }
    pthread_t thread;
    void *arg = reinterpret_cast<void *>(static_cast<intptr_t>(conn));
    int rc = pthread_create(&thread, &attr, VTR_UDSReceive, arg);
    if (rc != 0) {
      VTR_Log(LOG_ERR,
              "Interface: Failed to start a Message Handler thread: %s. Closing the connection.",
              strerror(rc));
      close(conn);
    }
  }
  pthread_attr_destroy(&attr);
  return nullptr;
}

void *VTR_UDSReceive(void *connFd) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(connFd));
  VTR_Request request{};
  VTR_Log(LOG_INFO, "Interface: Message Handler thread initialized.");

  while (!exitRequested.load()) {
    // Wait until the connection is readable. poll() works for descriptors of
    // any value, unlike an fd_set.
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, -1) < 0) {
      int err = errno;
      perror("select");
      VTR_Log(LOG_ERR, "Interface: Error in select");
      LogReceiveFailure(ErrnoStatus(err));
      continue;
    }
    // A request that arrives while the daemon shuts down is not served.
    if (exitRequested.load()) break;

    unsigned char header[VTR_MSG_HEADER_SIZE];
    ssize_t n = recv(fd, header, sizeof header, 0);
    if (n < 0) {
      int err = errno;
      VTR_Log(LOG_ERR, "Interface: Packet size less then zero :%d", static_cast<int>(n));
      LogReceiveFailure(ErrnoStatus(err));
      continue;
    }
    RecvResult headerResult =
        n == 0 ? RecvResult::Closed : CompleteHeader(fd, header, static_cast<size_t>(n));
    if (headerResult == RecvResult::Failed) {
      int err = errno;
      VTR_Log(LOG_ERR, "Interface: Packet size less then zero :%d", -1);
      LogReceiveFailure(ErrnoStatus(err));
      continue;
    }
    if (headerResult == RecvResult::Closed) {
      VTR_Log(LOG_INFO,
              "Interface: The remote connection is closed.MessageHandler thread exiting.");
      close(fd);
      return nullptr;
    }
    VTR_Log(LOG_DEBUG, "Interface: Packet hdr bytes recvd :%d", VTR_MSG_HEADER_SIZE);
    uint32_t wire[2];
    memcpy(wire, header, sizeof wire);
    request.command = ntohl(wire[0]);
    request.length = ntohl(wire[1]);
    VTR_Log(LOG_DEBUG, "Interface: command = %d , lenght of packet: %d",
            static_cast<int>(request.command), static_cast<int>(request.length));

    if (request.length > VTR_MAX_MSG_SIZE) {
      // The payload is not read: the next receive takes its first bytes as
      // the next header.
      VTR_Log(LOG_ERR, "Interface: Received packet size exceeded limit.");
      LogReceiveFailure(VTR_LIMIT_EXCEEDED);
      request = VTR_Request{};
      continue;
    }
    if (request.length > 0) {
      request.payload = static_cast<char *>(malloc(request.length));
      if (request.payload == nullptr) {
        int err = errno;
        VTR_Log(LOG_ERR, "Interface: malloc() failed in %s.", "VTR_UDSReceive");
        LogReceiveFailure(ErrnoStatus(err));
        request = VTR_Request{};
        continue;
      }
      RecvResult payloadResult = ReceivePayload(fd, &request);
      if (payloadResult == RecvResult::Closed) {
        ReleaseRequest(&request);
        close(fd);
        return nullptr;
      }
      if (payloadResult == RecvResult::Failed) {
        ReleaseRequest(&request);
        continue;
      }
    }

    VTR_Log(LOG_INFO, "Interface: Received cmd code: %d.", static_cast<int>(request.command));
    VTR_Status status = VTR_DispatchRequest(fd, &request);
    VTR_Log(LOG_INFO, "Interface: cmd code: %d , msg send status: %d",
            static_cast<int>(request.command), static_cast<int>(status));
    ReleaseRequest(&request);
  }
  // The process is ending; the descriptor is left to the exit.
  return nullptr;
}

VTR_Status VTR_DispatchRequest(int fd, const VTR_Request *request) {
  switch (request->command) {
    case VTR_CMD_METRICS_QUERY:
      return VTR_QueryMetrics(fd);
    case VTR_CMD_STATUS_QUERY:
      return VTR_QueryVMStatus(fd);
    case VTR_CMD_APPEND_VMS:
      return VTR_AppendNewVMs(fd, request);
    case VTR_CMD_DELETE_VMS:
      return VTR_DeleteVMs(fd, request);
    case VTR_CMD_CHANGE_RATE_QUERY:
    case VTR_CMD_CHANGE_RATE_QUERY2:
      return VTR_QueryChangeRate(fd);
    case VTR_CMD_EXIT:
      return VTR_HandleExit(fd);
    default:
      VTR_Log(LOG_ERR, "Interface: Unknown Message Type. Ignoring message.");
      return VTR_OK;
  }
}

VTR_Status VTR_SendResponse(int fd, const char *body, int32_t length, uint32_t code) {
  if (length < 0 || (length > 0 && body == nullptr)) return VTR_BAD_PARAM;
  char *copy = nullptr;
  if (length >= 1) {
    copy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr) {
      VTR_Log(LOG_ERR, "Interface: malloc failed in %s. size:%d", "VTR_SendResponse", length + 1);
      return VTR_FAILURE;
    }
    memcpy(copy, body, static_cast<size_t>(length));
    copy[length] = '\0';
  }
  VTR_Log(LOG_INFO, "Interface: Message response size: %d", length);

  uint32_t wire[2] = {htonl(code), htonl(static_cast<uint32_t>(length))};
  ssize_t sent = SendAll(fd, reinterpret_cast<const char *>(wire), sizeof wire);
  VTR_Log(LOG_INFO, "Interface: Header bytes sent to quorrel: %d", static_cast<int>(sent));
  if (length != 0) {
    sent = SendAll(fd, copy, static_cast<size_t>(length));
    VTR_Log(LOG_INFO, "Interface: Msg bytes sent to quorrel: %d", static_cast<int>(sent));
  }
  free(copy);
  return VTR_OK;
}

VTR_Status VTR_SendError(int fd, const char *text) {
  return VTR_SendResponse(fd, text, static_cast<int32_t>(strlen(text)), VTR_REPLY_ERROR);
}

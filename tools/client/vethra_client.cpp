// Client side of the daemon's framed socket protocol.
#include "vethra_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace {

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int SendAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// Reads exactly `size` bytes before the deadline (-1: none).
int RecvAll(int fd, char *data, size_t size, int64_t deadline) {
  while (size > 0) {
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - NowMs();
      wait = left > 0 ? static_cast<int>(left) : 0;  // 0: take only what is already there
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (ready == 0) return -ETIMEDOUT;
    ssize_t n = recv(fd, data, size, 0);
    if (n == 0) return -ECONNRESET;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int vtrc_connect(const char *path) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) return -ENAMETOOLONG;
  strcpy(address.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  while (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) < 0) {
    if (errno == EINTR) continue;
    int err = errno;
    close(fd);
    return -err;
  }
  return fd;
}

int vtrc_send_request(int fd, uint32_t command, const void *payload, uint32_t payloadLen) {
  if (payloadLen > 0 && payload == nullptr) return -EINVAL;
  uint32_t header[2] = {htonl(command), htonl(payloadLen)};
  int rc = SendAll(fd, reinterpret_cast<const char *>(header), sizeof header);
  if (rc == 0 && payloadLen > 0) rc = SendAll(fd, static_cast<const char *>(payload), payloadLen);
  return rc;
}

int vtrc_recv_reply(int fd, uint32_t *code, std::string *body, int timeoutMs) {
  int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  uint32_t header[2];
  int rc = RecvAll(fd, reinterpret_cast<char *>(header), sizeof header, deadline);
  if (rc != 0) return rc;
  uint32_t length = ntohl(header[1]);
  // Grow the body as it arrives rather than trusting the length up front.
  std::string text;
  char chunk[65536];
  while (text.size() < length) {
    size_t want = std::min<size_t>(sizeof chunk, length - text.size());
    rc = RecvAll(fd, chunk, want, deadline);
    if (rc != 0) return rc;
    text.append(chunk, want);
  }
  if (code != nullptr) *code = ntohl(header[0]);
  if (body != nullptr) *body = std::move(text);
  return 0;
}

int vtrc_call(const char *path, uint32_t command, const std::string &payload, uint32_t *code,
              std::string *body, int timeoutMs) {
  if (payload.size() > UINT32_MAX) return -EMSGSIZE;
  int fd = vtrc_connect(path);
  if (fd < 0) return fd;
  int rc = vtrc_send_request(fd, command, payload.data(), static_cast<uint32_t>(payload.size()));
  if (rc == 0) rc = vtrc_recv_reply(fd, code, body, timeoutMs);
  close(fd);
  return rc;
}

std::string vtrc_error_text(int result, const char *path) {
  std::string where = path != nullptr ? path : VTRC_DEFAULT_SOCKET;
  switch (-result) {
    case 0:
      return "success";
    case ENOENT:
      return "vethra is not running (no socket at " + where + ")";
    case ECONNREFUSED:
      return "vethra is not running (nothing is listening on " + where + ")";
    case EACCES:
    case EPERM:
      return "permission denied on " + where + " (run as root or as the user that started vethra)";
    case ENOTSOCK:
      return where + " is not a socket (is another program using this path?)";
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
      return "the socket " + where + " is not accessible: " + strerror(-result);
    case ETIMEDOUT:
      return "vethra did not answer in time (busy, or the request gets no reply)";
    case ECONNRESET:
    case EPIPE:
      return "vethra closed the connection before replying";
    case EMSGSIZE:
      return "the request is too large to send";
    default:
      return "communication with vethra over " + where + " failed: " + strerror(-result);
  }
}

// The Unix domain socket server and its message framing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/status.h"

constexpr const char *VTR_UDS_PATH = "/var/run/vethra.uds";
constexpr uint32_t VTR_MAX_MSG_SIZE = 1048576;
constexpr int VTR_MSG_HEADER_SIZE = 8;

enum : uint32_t {
  VTR_CMD_METRICS_QUERY = 10,
  VTR_CMD_STATUS_QUERY = 11,
  VTR_CMD_APPEND_VMS = 12,
  VTR_CMD_DELETE_VMS = 13,
  VTR_CMD_CHANGE_RATE_QUERY = 14,
  VTR_CMD_CHANGE_RATE_QUERY2 = 15,
  VTR_CMD_EXIT = 20,
};

enum : uint32_t {
  VTR_REPLY_OK = 0,
  VTR_REPLY_ERROR = 1,
};

// Wire header: both fields big-endian on the wire.
struct VTR_MsgHeader {
  uint32_t code;
  uint32_t length;
};
static_assert(sizeof(VTR_MsgHeader) == VTR_MSG_HEADER_SIZE);

// One per Message Handler thread, reused for every message (host order).
struct VTR_Request {
  uint32_t command;
  uint32_t length;
  char *payload;  // exactly `length` bytes, no NUL; null when length is 0
};

// Stack size of a Message Handler thread: the handlers keep their documents
// on the heap, so a small stack keeps a thousand idle connections cheap.
constexpr size_t VTR_HANDLER_STACK_SIZE = 256 * 1024;

VTR_Status VTR_InitUDS(int *fd);
// VTR_InitUDS on another socket path (tests run the server in a temp dir).
VTR_Status VTR_InitUDSAt(const char *path, int *fd);
// Entry of the Listener thread; listenFdPtr points at the listening descriptor.
// Returns once exitRequested is set (the shutdown shuts the socket down).
void *VTR_UDSListener(void *listenFdPtr);
// Entry of a Message Handler thread; connFd is the connection descriptor
// itself, cast to a pointer (each thread owns its descriptor).
void *VTR_UDSReceive(void *connFd);
// Sends one framed reply: header, then `length` body bytes (no NUL).
VTR_Status VTR_SendResponse(int fd, const char *body, int32_t length, uint32_t code);
// An error reply whose body is the NUL-terminated text (without the NUL).
VTR_Status VTR_SendError(int fd, const char *text);
// Dispatches one received request by its command code; returns the
// handler's status (0 for an unknown code, which gets no reply).
VTR_Status VTR_DispatchRequest(int fd, const VTR_Request *request);

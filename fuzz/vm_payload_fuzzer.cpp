// Fuzzes the Append and Delete payload handling: the input is the payload
// (exactly its bytes, no NUL, as the Message Handler hands it over) of an
// Append request and then of a Delete request. Each must send exactly one
// well-formed reply (none for an empty payload), and since Delete undoes
// what Append did with the same list, no VM, disk entry or host trace may be
// left afterwards.
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "interface/requests.h"

namespace {

int peerFd = -1, serverFd = -1;

// Takes the one reply the handler sent (it is already in the socket buffer)
// and checks it against the two allowed forms.
void CheckReply(const char *errorText, bool replyExpected) {
  std::string bytes;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(peerFd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  if (!replyExpected) {
    if (!bytes.empty()) {
      fprintf(stderr, "fuzz: a reply to an empty payload\n");
      abort();
    }
    return;
  }
  const std::string ok(8, '\0');
  uint32_t wire[2] = {htonl(VTR_REPLY_ERROR), htonl(static_cast<uint32_t>(strlen(errorText)))};
  const std::string error =
      std::string(reinterpret_cast<const char *>(wire), sizeof wire) + errorText;
  if (bytes != ok && bytes != error) {
    fprintf(stderr, "fuzz: unexpected reply of %zu bytes\n", bytes.size());
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vtrfuzz::Setup();
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  peerFd = sv[0];
  serverFd = sv[1];
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > VTR_MAX_MSG_SIZE) return -1;
  VTR_Request request{};
  request.command = VTR_CMD_APPEND_VMS;
  request.length = static_cast<uint32_t>(size);
  if (size > 0) {
    request.payload = static_cast<char *>(malloc(size));
    memcpy(request.payload, data, size);
  }
  VTR_AppendNewVMs(serverFd, &request);
  CheckReply("Unable to append the VM(s)", size > 0);
  request.command = VTR_CMD_DELETE_VMS;
  VTR_DeleteVMs(serverFd, &request);
  CheckReply("Unable to delete the VM", size > 0);
  free(request.payload);

  bool left;
  {
    RegistryGuard guard;
    left = !VTR_VMListEmpty();
  }
  if (left) {
    fprintf(stderr, "fuzz: Delete left VM %u that Append added\n",
            VTR_VMListHeadNode()->next->worldGroupId);
    abort();
  }
  vtrfuzz::ResetRegistry();
  return 0;
}

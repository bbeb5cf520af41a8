// Fuzzes the request framing and dispatch: the input is the whole byte
// stream of one connection. A Message Handler (VTR_UDSReceive) serves one end
// of a socketpair on this thread; a peer thread writes the input into the
// other end, closes its writing side, and reads and checks every reply until
// the handler closes the connection.
//
// The Exit command (20) is turned into an unknown code before the stream is
// written: served for real it would stop tracing for the whole process, sleep
// 200 ms per input and end the handler loop, so the fuzzer would slow to a
// crawl and later inputs would run against a daemon that is shutting down.
// The end-to-end tests cover Exit. Finding the commands needs a walk over the
// stream with the handler's framing rules, which also predicts how many
// replies must come back: a mismatch means the framing went wrong.
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "interface/requests.h"
#include "interface/uds.h"

namespace {

constexpr uint32_t kExitReplacement = 21;  // unknown: logged, no reply

uint32_t ReadBE32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return ntohl(v);
}

// Walks the stream as the handler frames it, replacing Exit codes, and
// returns the number of replies the handler must send.
size_t PrepareStream(std::vector<uint8_t> *stream) {
  size_t replies = 0, pos = 0, size = stream->size();
  uint8_t *data = stream->data();
  while (size - pos >= VTR_MSG_HEADER_SIZE) {
    uint32_t command = ReadBE32(data + pos);
    uint32_t length = ReadBE32(data + pos + 4);
    if (command == VTR_CMD_EXIT) {
      uint32_t wire = htonl(kExitReplacement);
      memcpy(data + pos, &wire, sizeof wire);
      command = kExitReplacement;
    }
    pos += VTR_MSG_HEADER_SIZE;
    if (length > VTR_MAX_MSG_SIZE) continue;  // dropped unread
    if (size - pos < length) break;           // the peer closes mid-payload
    pos += length;
    switch (command) {
      case VTR_CMD_METRICS_QUERY:
      case VTR_CMD_STATUS_QUERY:
      case VTR_CMD_CHANGE_RATE_QUERY:
      case VTR_CMD_CHANGE_RATE_QUERY2:
        replies++;
        break;
      case VTR_CMD_APPEND_VMS:
      case VTR_CMD_DELETE_VMS:
        replies += length > 0;  // an empty list request gets no reply
        break;
      default:
        break;
    }
  }
  return replies;
}

bool ReadFull(int fd, void *buf, size_t size) {
  auto *p = static_cast<uint8_t *>(buf);
  while (size > 0) {
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The peer: writes the stream, closes for writing, then reads replies until
// the handler closes. Every reply is complete and has code 0 or 1; an error
// reply has a text body. Returns the number of replies.
size_t RunPeer(int fd, const std::vector<uint8_t> &stream) {
  size_t replies = 0;
  std::thread writer([fd, &stream] {
    size_t sent = 0;
    while (sent < stream.size()) {
      ssize_t n = send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
  });
  std::vector<char> body;
  for (;;) {
    uint8_t header[VTR_MSG_HEADER_SIZE];
    ssize_t n = recv(fd, header, 1, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (!ReadFull(fd, header + 1, sizeof header - 1)) {
      fprintf(stderr, "fuzz: reply header cut short\n");
      abort();
    }
    uint32_t code = ReadBE32(header), length = ReadBE32(header + 4);
    if (code != VTR_REPLY_OK && code != VTR_REPLY_ERROR) {
      fprintf(stderr, "fuzz: reply code %u\n", code);
      abort();
    }
    body.resize(length);
    if (!ReadFull(fd, body.data(), length)) {
      fprintf(stderr, "fuzz: reply body cut short (%u bytes announced)\n", length);
      abort();
    }
    if (code == VTR_REPLY_ERROR && length == 0) {
      fprintf(stderr, "fuzz: error reply without text\n");
      abort();
    }
    replies++;
  }
  writer.join();
  return replies;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vtrfuzz::Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<uint8_t> stream(data, data + size);
  size_t expected = PrepareStream(&stream);

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  size_t replies = 0;
  std::thread peer([&] { replies = RunPeer(sv[0], stream); });
  VTR_UDSReceive(reinterpret_cast<void *>(static_cast<intptr_t>(sv[1])));
  // The handler closes its end when the peer has closed; it returns with the
  // descriptor open only when it saw the exit flag, which nothing here sets.
  if (exitRequested.load()) {
    fprintf(stderr, "fuzz: the exit flag was set\n");
    abort();
  }
  peer.join();
  close(sv[0]);
  if (replies != expected) {
    fprintf(stderr, "fuzz: %zu replies, %zu expected\n", replies, expected);
    abort();
  }
  vtrfuzz::ResetRegistry();
  return 0;
}

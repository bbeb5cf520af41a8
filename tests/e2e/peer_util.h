// Helpers shared by the socket-level end-to-end tests (socket, hostile
// peers, signals): connections to a running daemon, raw frames, generated
// hosts and quick looks into the reply documents.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "e2e/harness.h"
#include "vethra_client.h"

namespace e2e {

// Starts a long-running daemon and fails the test when it is not ready.
inline void StartServing(Daemon *d, const DaemonOptions &o) {
  std::string error;
  ASSERT_TRUE(Start(d, o, &error)) << error;
  ASSERT_TRUE(IsRunning(d)) << "exit " << WaitExit(d, 0) << "\nstderr:\n" << Stderr(d) << "\nlog:\n"
                            << LogDump(d);
}

inline std::string Frame(uint32_t code, uint32_t length, const std::string &payload = "") {
  uint32_t wire[2] = {htonl(code), htonl(length)};
  return std::string(reinterpret_cast<const char *>(wire), sizeof wire) + payload;
}
inline std::string Request(uint32_t code, const std::string &payload = "") {
  return Frame(code, static_cast<uint32_t>(payload.size()), payload);
}

// One client connection; closed by the destructor.
struct Peer {
  int fd = -1;
  explicit Peer(Daemon *d) { fd = vtrc_connect(d->SocketPath().c_str()); }
  ~Peer() {
    if (fd >= 0) close(fd);
  }
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;
  bool Send(const std::string &bytes) const {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // 0 and the reply, or -errno (-ETIMEDOUT when none came).
  int Receive(uint32_t *code, std::string *body, int timeoutMs = kWaitMs) const {
    return vtrc_recv_reply(fd, code, body, timeoutMs);
  }
};

// The status document's list of world group ids, as text ("[1,2]"), or
// "error" when the query failed.
inline std::string StatusVmIds(Daemon *d) {
  uint32_t code = 99;
  std::string body;
  if (DaemonCall(d, 11, "", &code, &body) != 0 || code != 0) return "error";
  Json doc = ParseJson(body);
  char *text = json_dumps(json_object_get(doc.get(), "vmWorldGroups"), JSON_COMPACT);
  std::string out = text ? text : "error";
  free(text);
  return out;
}

// A host of `vms` VMs (world group ids 5001...) with `disks` disks each
// (handle ids vm*1000 + i), every disk running `workload` (JSON, or empty).
inline std::string GeneratedHost(int vms, int disks, const std::string &workload = "") {
  std::string host = R"({"vms":[)";
  for (int v = 0; v < vms; v++) {
    int id = 5001 + v;
    host += (v ? "," : "") + std::string(R"({"worldGroupId":)") + std::to_string(id) + R"(,"disks":[)";
    for (int i = 0; i < disks; i++) {
      host += (i ? "," : "") + std::string(R"({"handleId":)") + std::to_string(id * 1000 + i);
      if (!workload.empty()) host += R"(,"workload":)" + workload;
      host += "}";
    }
    host += "]}";
  }
  return host + "]}";
}

// Reply document of a metrics (10) or change-rate (14) query; null on failure.
inline Json QueryDoc(Daemon *d, uint32_t command) {
  uint32_t code = 99;
  std::string body;
  if (DaemonCall(d, command, "", &code, &body) != 0 || code != 0) return nullptr;
  return ParseJson(body);
}

// The "vmWorldGroups" array of a metrics or change-rate document.
inline json_t *DocVms(json_t *doc) {
  json_t *values = json_object_get(doc, "metricValues");
  if (values == nullptr) values = json_object_get(doc, "changeRateValues");
  return json_object_get(values, "vmWorldGroups");
}

}  // namespace e2e

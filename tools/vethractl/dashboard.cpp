// HTTP side of the dashboard: the embedded page and assets, and the JSON
// endpoint, which queries the daemon once per document on every request.
#include <time.h>

#include <mutex>

#include "dashboard.h"
#include "vethra_client.h"

namespace {

constexpr int DASH_DAEMON_TIMEOUT_MS = 10000;

std::string Http(int status, const char *reason, const char *type, const char *data, size_t size, bool head) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
                  "\r\nContent-Length: " + std::to_string(size) +
                  "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
  if (!head) r.append(data, size);
  return r;
}

double MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Samples of earlier requests, shared by every page that polls this exporter.
std::mutex historyMutex;
VTR_DashHistory history;

}  // namespace

std::string VTR_DashboardResponse(const VTR_HttpRequest &req, const char *socketPath) {
  bool head = req.method == "HEAD";
  if (req.path == VTR_DASH_API_PATH) {
    VTR_DashReply reply{};
    reply.metricsRc = vtrc_call(socketPath, VTRC_CMD_METRICS, "", &reply.metricsCode, &reply.metricsBody,
                                DASH_DAEMON_TIMEOUT_MS);
    if (reply.metricsRc == 0 && reply.metricsCode == 0) {
      reply.changeRateRc = vtrc_call(socketPath, VTRC_CMD_CHANGE_RATE, "", &reply.changeRateCode,
                                     &reply.changeRateBody, DASH_DAEMON_TIMEOUT_MS);
    }
    std::string body;
    {
      std::lock_guard<std::mutex> lock(historyMutex);
      body = VTR_DashboardApiBody(reply, MonotonicSeconds(), &history, socketPath);
    }
    return Http(200, "OK", "application/json", body.data(), body.size(), head);
  }
  const std::string path = req.path == "/" ? "/index.html" : req.path;
  for (size_t i = 0; i < VTR_DashboardAssetCount; i++) {
    const VTR_DashAsset &a = VTR_DashboardAssets[i];
    if (path == a.path) return Http(200, "OK", a.contentType, (const char *)a.data, a.size, head);
  }
  return std::string();
}

// HTTP side of the dashboard: the embedded page and assets, and the JSON
// endpoint, which queries the daemon once per document on every request.
#include "dashboard.h"

#include <mutex>

#include "history.h"
#include "vethra_client.h"

namespace {

// Samples of earlier requests, shared by every page that polls this exporter.
std::mutex historyMutex;
VTR_DashHistory history;

}  // namespace

bool VTR_DashboardRoute(const VTR_HttpRequest &req, const char *socketPath, int timeoutMs,
                        VTR_HttpReply *reply) {
  if (req.path == VTR_DASH_API_PATH) {
    VTR_DashReply r{};
    r.metricsRc =
        vtrc_call(socketPath, VTRC_CMD_METRICS, "", &r.metricsCode, &r.metricsBody, timeoutMs);
    if (r.metricsRc == 0 && r.metricsCode == 0) {
      r.changeRateRc = vtrc_call(socketPath, VTRC_CMD_CHANGE_RATE, "", &r.changeRateCode,
                                 &r.changeRateBody, timeoutMs);
    }
    std::lock_guard<std::mutex> lock(historyMutex);
    *reply = {200, "application/json",
              VTR_DashboardApiBody(r, VTR_MonotonicSeconds(), &history, socketPath)};
    return true;
  }
  if (req.path == VTR_HISTORY_API_PATH) {
    VTR_HistoryQuery q;
    if (!VTR_ParseHistoryQuery(req.query, &q)) {
      *reply = {400, "text/plain; charset=utf-8", "since and worldGroupId take numbers\n"};
      return true;
    }
    *reply = {200, "application/json", VTR_HistoryResponseBody(q)};
    return true;
  }
  const std::string path = req.path == "/" ? "/index.html" : req.path;
  for (size_t i = 0; i < VTR_DashboardAssetCount; i++) {
    const VTR_DashAsset &a = VTR_DashboardAssets[i];
    if (path == a.path) {
      *reply = {200, a.contentType, std::string((const char *)a.data, a.size)};
      return true;
    }
  }
  return false;
}

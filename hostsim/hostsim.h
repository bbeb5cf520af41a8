// In-process control of the simulated host, for tests and benchmarks that
// link libhostrt.so directly. The daemon never includes this header; it sees
// only the TARN interface.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Replaces the whole simulated host by the one described by `json` (the
// HOSTSIM_CONFIG format; null selects the built-in demo host). controlPath
// names the control socket to serve, or null for none. Returns 0 on success,
// -1 when the description is invalid (the previous host stays).
int hostsim_configure(const char *json, const char *controlPath);

// Runs one control-protocol request (one JSON object, as sent over the
// control socket) and returns the reply as a malloc'd NUL-terminated JSON
// text that the caller frees with hostsim_free.
char *hostsim_control(const char *request);
void hostsim_free(void *p);

#ifdef __cplusplus
}
#endif

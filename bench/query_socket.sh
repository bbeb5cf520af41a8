#!/usr/bin/env bash
# Times the metrics query of a real daemon over its Unix socket, from connect
# to the reply's last byte, liveness checks included: the daemon runs `-a`
# (or with the options given) on a simulated host of VMS VMs with DISKS disks
# each, in private mount and PID namespaces, and QUERIES queries are timed one
# after another. Prints the reply size, median and slowest time.
# Usage: bench/query_socket.sh [BUILD_DIR] [-- DAEMON_OPTIONS...]
# Environment: VMS (1000), DISKS (2), QUERIES (50), RATE (I/Os per second of
# each disk's workload, 50), WARMUP (seconds of workload before timing, 3).
# Needs root and python3.
set -euo pipefail
build=$(realpath "${1:-build}")
shift || true
[ "${1:-}" = "--" ] && shift
opts=("$@")
[ ${#opts[@]} -gt 0 ] || opts=(-a)
VMS=${VMS:-1000} DISKS=${DISKS:-2} QUERIES=${QUERIES:-50} RATE=${RATE:-50} WARMUP=${WARMUP:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$VMS" "$DISKS" "$RATE" > "$work/host.json" <<'PY'
import json, sys
vms, disks, rate = (int(a) for a in sys.argv[1:4])
load = {"rate": rate, "readFraction": 0.54,
        "sizes": [{"bytes": 4096 << k, "weight": 1} for k in range(9)]}
print(json.dumps({"vms": [{"worldGroupId": 100000 + v, "displayName": f"vm{v:04d}",
                           "disks": [{"handleId": d + 1, "workload": load} for d in range(disks)]}
                          for v in range(vms)]}))
PY

cat > "$work/time.py" <<'PY'
import socket, struct, sys, time
path, n = sys.argv[1], int(sys.argv[2])
def query():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    t0 = time.perf_counter()
    s.connect(path)
    s.sendall(struct.pack(">II", 10, 0))
    head = b""
    while len(head) < 8:
        head += s.recv(8 - len(head))
    code, length = struct.unpack(">II", head)
    got = 0
    while got < length:
        chunk = s.recv(min(1 << 20, length - got))
        if not chunk:
            raise SystemExit("connection closed early")
        got += len(chunk)
    t = time.perf_counter() - t0
    s.close()
    return t, length
query()  # the first query after start-up warms the daemon's buffers
times, size = [], 0
for _ in range(n):
    t, size = query()
    times.append(t * 1000)
times.sort()
print(f"metrics query over the socket: {size} bytes, {n} queries, "
      f"median {times[n // 2]:.1f} ms, slowest {times[-1]:.1f} ms")
PY

unshare --mount --pid --fork --mount-proc --propagation private bash -c '
  set -e
  mount -t tmpfs tmpfs /run
  HOSTSIM_CONFIG="$1/host.json" LD_LIBRARY_PATH="$2/hostsim" "$2/src/vethra" "${@:7}" >/dev/null 2>&1 &
  for _ in $(seq 100); do [ -S /run/vethra.uds ] && break; sleep 0.1; done
  sleep "$6"
  python3 "$1/time.py" /run/vethra.uds "$3"
  kill -TERM %1; wait %1 || true
' bash "$work" "$build" "$QUERIES" "" "" "$WARMUP" "${opts[@]}"

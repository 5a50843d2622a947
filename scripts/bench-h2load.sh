#!/usr/bin/env bash
# One figure of the benchmarks: serve's provider endpoint driven by h2load (nghttp2's C client,
# one connection, 100 streams, no provider authentication), so the rate is the endpoint's and not a
# client library's. Serve runs as in the send figure (--parallel 8); its queue holds every push,
# since h2load does not retry a 429. Times the pushes from the first request to the last shown
# line, checks that the stored count went up by exactly the pushes answered 200, and prints one
# JSON object.
#   bench-h2load.sh HOST BADGE_APP APP PAYLOAD PUSHES WORK
# The keychain is QUENLARCH_KEYCHAIN's, as for the other figures.
set -euo pipefail
source "$(dirname "$0")/bench-serve.sh"
host=$1 badge_app=$2 app=$3 payload=$4 pushes=$5 work=$6

count() { "$badge_app" status --app "$app" | python3 -c 'import json, sys; print(json.load(sys.stdin)["count"])'; }
token=$("$badge_app" status --app "$app" | python3 -c 'import json, sys; print(json.load(sys.stdin)["deviceToken"])')
before=$(count)

out="$work/h2load-serve.out" err="$work/h2load-serve.err"
"$host" serve --app "$app" --socket "$work/h2load.sock" --provider-listen 127.0.0.1:0 \
  --provider-auth none --provider-queue "$pushes" --parallel 8 >"$out" 2>"$err" &
serve_pid=$!
trap 'kill "$serve_pid" 2>/dev/null || true' EXIT
port=$(serve_port "$serve_pid" "$err")

start=$(date +%s.%N)
h2load -n "$pushes" -c 1 -m 100 -d "$payload" -H 'apns-topic: com.quenlarch.app' \
  -H 'apns-push-type: alert' "https://127.0.0.1:$port/3/device/$token" >"$work/h2load.txt"
ok=$(sed -n 's/^status codes: \([0-9]*\) 2xx.*/\1/p' "$work/h2load.txt")
# Every push answered 200 ends in one shown line; the figure ends with the last of them.
shown=$(wait_for_lines "$serve_pid" "$out" "$ok")
end=$(date +%s.%N)
((shown == ok)) || { echo "bench-h2load.sh: serve ended after $shown of $ok lines" >&2; cat "$err" >&2; exit 1; }
cpu_ticks=$(awk '{ print $14 + $15 }' "/proc/$serve_pid/stat")
kill -TERM "$serve_pid"
wait "$serve_pid"
trap - EXIT

python3 - "$pushes" "$ok" "$start" "$end" "$before" "$(count)" "$cpu_ticks" "$(getconf CLK_TCK)" <<'PY'
import json, sys
pushes, ok = int(sys.argv[1]), int(sys.argv[2])
start, end = float(sys.argv[3]), float(sys.argv[4])
before, after = int(sys.argv[5]), int(sys.argv[6])
ticks, hz = int(sys.argv[7]), int(sys.argv[8])
print(json.dumps({"pushes": pushes, "answered200": ok, "pushesPerSecond": ok / (end - start),
                  "counted": after - before, "serveCpuUs": ticks / hz * 1e6 / max(ok, 1)}))
PY

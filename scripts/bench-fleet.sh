#!/usr/bin/env bash
# One figure of the benchmarks: serve --fleet for every device of a fleet (badge-app fleet
# create), driven by h2load (one connection, 100 streams, no provider authentication) with ROUNDS
# counted pushes to each device, round robin (h2load -i: one URI per push). Against it, the serial
# rate of `notification-host deliver` for one device of the same fleet, timed in the same run.
# Checks that every device's stored count went up by exactly ROUNDS, samples the extension
# processes alive (serve's children) during the run, and takes serve's VmHWM at the end; prints one
# JSON object.
#   bench-fleet.sh HOST BADGE_APP FLEET_DIR PAYLOAD ROUNDS WARM WORK    (FLEET_DIR fresh from create)
set -euo pipefail
source "$(dirname "$0")/bench-serve.sh"
host=$1 badge_app=$2 fleet=$3 payload=$4 rounds=$5 warm=$6 work=$7

field() { python3 -c "import json, sys; [print(json.loads(l)['$1']) for l in sys.stdin]"; }
mapfile -t tokens < <(field deviceToken <"$fleet/fleet.jsonl")
mapfile -t apps < <(field app <"$fleet/fleet.jsonl")
mapfile -t keychains < <(field keychain <"$fleet/fleet.jsonl")
devices=${#tokens[@]}
count() { "$badge_app" status --app "${apps[$1]}" --keychain "${keychains[$1]}" | field count; }
# The counts are checked as absolute numbers: the fleet must be a fresh one.
(($(count 0) == 0)) || { echo "bench-fleet.sh: $fleet has been pushed to; make a fresh fleet" >&2; exit 2; }

# The floor: deliver for the first device, one process after another.
delivers=10
start=$(date +%s.%N)
for ((i = 0; i < delivers; i++)); do
  "$host" deliver --app "${apps[0]}" --keychain "${keychains[0]}" "$payload" >/dev/null
done
deliver_rate=$(python3 -c "print($delivers / ($(date +%s.%N) - $start))")

out="$work/fleet-serve.out" err="$work/fleet-serve.err"
pushes=$((devices * rounds))
# A push waits for a free extension with its time limit running: the limit is raised so that the
# queue of every push at once (not the extension) is what the figure times.
"$host" serve --fleet "$fleet" --warm-extensions "$warm" --parallel 8 --time-limit 300 \
  --socket "$work/fleet.sock" --provider-listen 127.0.0.1:0 --provider-auth none \
  --provider-queue "$pushes" >"$out" 2>"$err" &
serve_pid=$!
trap 'kill "$serve_pid" 2>/dev/null || true' EXIT
port=$(serve_port "$serve_pid" "$err")
for ((r = 0; r < rounds; r++)); do
  printf "https://127.0.0.1:$port/3/device/%s\n" "${tokens[@]}"
done >"$work/fleet-uris.txt"

# Keeps the most extension processes seen alive; reads without starting a process, since the
# sampling runs while the figure is timed.
most=0
sample() {
  local kids=()
  read -r -a kids <"/proc/$serve_pid/task/$serve_pid/children" || true
  if ((${#kids[@]} > most)); then most=${#kids[@]}; fi
}
start=$(date +%s.%N)
h2load -n "$pushes" -c 1 -m 100 -d "$payload" -H 'apns-topic: com.quenlarch.app' \
  -H 'apns-push-type: alert' -i "$work/fleet-uris.txt" >"$work/fleet-h2load.txt" &
h2load_pid=$!
while kill -0 "$h2load_pid" 2>/dev/null; do
  sample
  sleep 0.005
done
wait "$h2load_pid"
ok=$(sed -n 's/^status codes: \([0-9]*\) 2xx.*/\1/p' "$work/fleet-h2load.txt")
# A push is answered before it runs: the extensions are still sampled until its line is out,
# which wait_for_lines notices without counting the file's lines on every sample.
wait_for_lines "$serve_pid" "$out" "$ok" >"$work/fleet-shown.txt" &
waiter_pid=$!
while kill -0 "$waiter_pid" 2>/dev/null; do
  sample
  sleep 0.005
done
end=$(date +%s.%N)
wait "$waiter_pid"
shown=$(<"$work/fleet-shown.txt")
((shown == ok)) || { echo "bench-fleet.sh: serve ended after $shown of $ok lines" >&2; cat "$err" >&2; exit 1; }
hwm_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$serve_pid/status")
kill -TERM "$serve_pid"
wait "$serve_pid"
trap - EXIT

exact=0
for ((i = 0; i < devices; i++)); do
  want=$rounds
  ((i == 0)) && want=$((rounds + delivers))
  (($(count "$i") == want)) && exact=$((exact + 1))
done
python3 - "$devices" "$pushes" "$ok" "$start" "$end" "$deliver_rate" "$exact" "$most" \
  "$hwm_kib" "$warm" <<'PY'
import json, sys
devices, pushes, ok = map(int, sys.argv[1:4])
start, end, deliver = map(float, sys.argv[4:7])
exact, most, hwm, warm = map(int, sys.argv[7:11])
print(json.dumps({"devices": devices, "pushes": pushes, "answered200": ok,
                  "pushesPerSecond": ok / (end - start), "deliverPerSecond": deliver,
                  "devicesExact": exact, "mostExtensions": most, "warm": warm,
                  "serveHwmKiB": hwm}))
PY

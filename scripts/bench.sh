#!/usr/bin/env bash
# The benchmarks in one command: installs what is missing, builds Release into build-bench/, runs
# every figure beside its floor and prints the results table, which also goes to
# build-bench/bench-table.md; the contention plot goes to build-bench/contention.png.
# Knobs (environment): BENCH_REPETITIONS (in-process repetitions, 9), BENCH_RUNS (process-per-push
# rounds, 30), BENCH_PUSHES (pushes through one extension process, 1000), BENCH_WRITERS (writer
# process counts, 1,2,8,32), BENCH_INCREMENTS (increments per writer, 200), BENCH_SERVICE_PUSHES
# (pushes from eight clients through notification-host serve, 10000), BENCH_PROVIDER_PUSHES (pushes
# from one node-apn provider, and from h2load, through serve's provider endpoint, 10000),
# BENCH_FLEET_DEVICES (devices made by one badge-app fleet create, 1000).
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions="${BENCH_REPETITIONS:-9}"
runs="${BENCH_RUNS:-30}"
pushes="${BENCH_PUSHES:-1000}"
writers="${BENCH_WRITERS:-1,2,8,32}"
increments="${BENCH_INCREMENTS:-200}"
service_pushes="${BENCH_SERVICE_PUSHES:-10000}"
provider_pushes="${BENCH_PROVIDER_PUSHES:-10000}"
fleet_devices="${BENCH_FLEET_DEVICES:-1000}"

build=build-bench
if [[ ! -f $build/build.ninja ]]; then
  echo "== First run: installing the packages the benchmarks need and building Release into $build/."
  echo "   This takes several minutes, depending on the machine; the next run starts at once."
fi
bash scripts/install-deps.sh
# ccache, when installed, keeps a rebuild after a small change short on a shared machine.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBADGE_BUILD_BENCHMARKS=ON \
  -DBADGE_BUILD_TESTS=OFF >/dev/null
# The build's own progress lines show that it is working.
cmake --build "$build"

bin="$PWD/$build"
work="$bin/bench-work"
rm -rf "$work" && mkdir -p "$work"
# Every database of the run lives here, on the filesystem named in the table's heading.
export BADGE_BENCH_DIR="$work"
harness="$bin/bench/bench-harness"
trivial="$bin/bench/bench-trivial"
host="$bin/tools/notification_host/notification-host"

echo "== 1, 2: in-process figures (Google Benchmark, $repetitions repetitions, medians)"
"$bin/bench/bench-pipeline" --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_min_time=0.2 --benchmark_out="$work/pipeline.json" --benchmark_out_format=json \
  2>/dev/null | grep -E '_median' || true

echo "== 3: a process per push ($runs rounds)"
app="$work/Bench.app"
export QUENLARCH_KEYCHAIN="$work/keychain.sqlite"
BADGE_SERVICE_EXECUTABLE="$bin/tools/badge_service/BadgeService" \
  "$bin/tools/badge_app/badge-app" install --app "$app" >/dev/null
"$bin/tools/badge_app/badge-app" set-count --app "$app" 0 >/dev/null
payload="$PWD/demo/new-message.json"
"$harness" startup --host "$host" --app "$app" --keychain "$QUENLARCH_KEYCHAIN" \
  --payload "$payload" --trivial "$trivial" --runs "$runs" --out "$work/startup.json"

# What one push costs the extension in system calls, when strace is at hand: which files it
# syncs, and whether it reads OpenSSL's configuration file.
syscall_notes=""
if command -v strace >/dev/null; then
  request="{\"type\":\"request\",\"id\":\"1\",\"content\":{\"userInfo\":$(tr -d '\n' <"$payload"),"
  request+="\"badge\":null,\"fields\":{}}}"
  extension="$app/Contents/PlugIns/BadgeService.appex/Contents/MacOS/BadgeService"
  echo "$request" | strace -f -qq -y -e trace=openat,fsync,fdatasync -o "$work/push.strace" \
    "$extension" >/dev/null
  synced=$(grep -oE '(fsync|fdatasync)\([0-9]+<[^>]*>' "$work/push.strace" |
    sed 's/.*<//; s/>$//; s|.*/||' | sort | uniq -c | awk '{ printf "%s%s × %s", s, $1, $2; s = ", " }')
  if grep -q 'openssl.cnf' "$work/push.strace"; then cnf="reads"; else cnf="does not read"; fi
  syscall_notes="One push through BadgeService under strace: it syncs ${synced:-nothing}, and"
  syscall_notes+=" $cnf OpenSSL's configuration file."
fi

echo "== 4: contention ($writers writer processes × $increments increments)"
"$harness" contention --writer "$bin/bench/bench-writer" --writers "$writers" \
  --increments "$increments" --out "$work/contention.json" --plot "$work/contention.dat"
# The failure axis needs a range even when nothing failed.
failures_max=$(awk '!/^#/ { m = $3 > m ? $3 : m; m = $4 > m ? $4 : m } END { print m + 1 }' \
  "$work/contention.dat")
failures_step=$(((failures_max + 4) / 5))
gnuplot <<EOF
set terminal pngcairo size 800,520
set output "$bin/contention.png"
set title "Concurrent writer processes, $increments counted increments each"
set xlabel "writer processes"
set logscale x 2
set xtics ($writers)
set ylabel "increments per second"
set y2label "failed increments"
set ytics nomirror
set yrange [0:*]
set y2range [0:$failures_max * 1.2]
set y2tics $failures_step nomirror
set key below
set grid
plot "$work/contention.dat" using 1:2 with linespoints lw 2 pt 7 title "increments/s", \
     "$work/contention.dat" using 1:3 axes x1y2 with linespoints lw 2 pt 5 \
       title "gave up after 24 attempts (right axis)", \
     "$work/contention.dat" using 1:4 axes x1y2 with linespoints lw 2 pt 9 \
       title "store unavailable, busy past its timeout (right axis)"
EOF

echo "== 5: memory ($pushes pushes through one extension process)"
"$harness" memory --app "$app" --keychain "$QUENLARCH_KEYCHAIN" --trivial "$trivial" \
  --pushes "$pushes" --out "$work/memory.json"

echo "== 6: notification-host serve (warm pushes; $service_pushes pushes from 8 clients)"
"$harness" service --host "$host" --badge-app "$bin/tools/badge_app/badge-app" --app "$app" \
  --keychain "$QUENLARCH_KEYCHAIN" --payload "$payload" --pushes "$service_pushes" \
  --out "$work/service.json"

echo "== 7: serve's provider endpoint ($provider_pushes pushes from one node-apn provider, 100 streams)"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/endpoint.key" -out "$work/endpoint.pem" 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out "$work/provider.p8"
openssl ec -in "$work/provider.p8" -pubout -out "$work/provider.pub" 2>/dev/null
status=$("$bin/tools/badge_app/badge-app" status --app "$app")
python3 - "$status" "$work" "$host" "$app" "$QUENLARCH_KEYCHAIN" "$payload" "$provider_pushes" \
  >"$work/provider-config.json" <<'PY'
import json, sys
status, work, host, app, keychain, payload, pushes = sys.argv[1:]
print(json.dumps({
    "host": host, "app": app, "keychain": keychain, "socket": work + "/provider.sock",
    "cert": work + "/endpoint.pem", "key": work + "/endpoint.key",
    "providerKey": work + "/provider.p8", "providerPub": work + "/provider.pub",
    "keyId": "BENCHKEY01", "teamId": "QLBADGE001",
    "device": json.loads(status)["deviceToken"], "topic": "com.quenlarch.app",
    "payload": json.load(open(payload)), "pushes": int(pushes), "concurrency": 100,
    "warmup": 200, "memoryAt": [1000, int(pushes)]}))
PY
node tests/provider-client/bench.js "$(cat "$work/provider-config.json")" >"$work/provider.json"

echo "== 8: serve's provider endpoint ($provider_pushes pushes from h2load, 100 streams, no provider auth)"
bash scripts/bench-h2load.sh "$host" "$bin/tools/badge_app/badge-app" "$app" "$payload" \
  "$provider_pushes" "$work" >"$work/h2load.json"

echo "== 9: badge-app fleet create ($fleet_devices devices), against an install process per app"
# Nanoseconds since the epoch, for timing whole commands.
now_ns() { date +%s%N; }
badge_service="$bin/tools/badge_service/BadgeService"
fleet_ns=$(now_ns)
BADGE_SERVICE_EXECUTABLE="$badge_service" "$bin/tools/badge_app/badge-app" fleet create \
  --dir "$work/fleet" --devices "$fleet_devices" >/dev/null
fleet_ns=$(($(now_ns) - fleet_ns))
fleet_listed=$(wc -l <"$work/fleet/fleet.jsonl")
installs=20
install_ns=$(now_ns)
for ((i = 1; i <= installs; i++)); do
  BADGE_SERVICE_EXECUTABLE="$badge_service" "$bin/tools/badge_app/badge-app" install \
    --app "$work/installs/$i/Bench.app" --keychain "$work/installs/$i/keychain.sqlite" >/dev/null
done
install_ns=$(($(now_ns) - install_ns))
echo "== 10: serve --fleet for those devices, 3 counted pushes each from h2load, against deliver"
bash scripts/bench-fleet.sh "$host" "$bin/tools/badge_app/badge-app" "$work/fleet" "$payload" 3 8 \
  "$work" >"$work/fleet-serve.json"
rm -rf "$work/fleet" "$work/installs"

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
fs=$(df -T "$work" | awk 'NR == 2 { print $2 }')
{
  echo "## Badge service benchmarks"
  echo
  echo "Machine: $(nproc) CPUs, $cpu; kernel $(uname -r); database folder on $fs;" \
    "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)."
  echo
  "$harness" table --pipeline "$work/pipeline.json" --startup "$work/startup.json" \
    --contention "$work/contention.json" --memory "$work/memory.json" \
    --service "$work/service.json" >"$work/table.md"
  # The provider endpoint's rows go at the end of the figures' table, against send from 8 clients
  # (figure 6), and fleet create's after them.
  python3 - "$work/table.md" "$work/provider.json" "$work/service.json" "$provider_pushes" \
    "$work/h2load.json" "$fleet_devices" "$fleet_ns" "$fleet_listed" "$installs" "$install_ns" \
    "$work/fleet-serve.json" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().split("\n")
provider = json.load(open(sys.argv[2]))
send = json.load(open(sys.argv[3]))["parallelPushesPerSecond"]
pushes = int(sys.argv[4])
h2 = json.load(open(sys.argv[5]))
rate = provider["pushesPerSecond"]
ratio = rate / send
rss = provider["rssKiB"]
first, last = rss.get("1000", 0), rss.get(str(pushes), 0)
grew = last - first
rows = [
    f"| 7 one node-apn provider, 100 streams, {pushes} pushes ({provider['failed']} not 200) | "
    f"{rate:.0f} pushes/s | {send:.0f} pushes/s: send, 8 clients (6) | {ratio:.2f} | ≥ 0.9 | "
    f"{'yes' if ratio >= 0.9 else '**no**'} |",
    f"| 7 request to shown line, p50 / p99 | {provider['p50Ms']:.2f} / {provider['p99Ms']:.2f} ms "
    f"| — | — | info | — |",
    f"| 7 serve VmRSS after 1,000 / {pushes:,} provider pushes | {first / 1024:.2f} / "
    f"{last / 1024:.2f} MiB | — | — | no growth past the first 1,000 | "
    f"{'yes' if grew <= 256 else f'**no** (+{grew} KiB)'} |",
    f"| 7 CPU per push: serve (without its extension) / the node-apn client | "
    f"{provider['serveCpuUs']:.0f} µs / {provider['clientCpuUs']:.0f} µs | — | — | info | — |",
    f"| 8 h2load, 100 streams, {pushes} pushes ({pushes - h2['answered200']} not 200) | "
    f"{h2['pushesPerSecond']:.0f} pushes/s | {send:.0f} pushes/s: send, 8 clients (6) | "
    f"{h2['pushesPerSecond'] / send:.2f} | ≥ 0.9 | "
    f"{'yes' if h2['pushesPerSecond'] >= 0.9 * send else '**no**'} |",
    f"| 8 stored count after h2load / pushes answered 200; serve's CPU per push (without its extension) | "
    f"{h2['counted']} / {h2['answered200']}; {h2['serveCpuUs']:.0f} µs | — | — | equal | "
    f"{'yes' if h2['counted'] == h2['answered200'] else '**no**'} |",
]
# Figure 9: seconds per 1,000 devices, against what an install process per app would take.
devices, fleet_ns, listed, installs, install_ns = map(int, sys.argv[6:11])
per_thousand = fleet_ns / 1e9 * 1000 / devices
floor = install_ns / 1e9 * 1000 / installs
rows.append(
    f"| 9 `badge-app fleet create`, {devices:,} devices ({listed:,} listed) | "
    f"{per_thousand:.1f} s per 1,000 | {floor:.1f} s per 1,000: `badge-app install` per app "
    f"({installs} timed) | {per_thousand / floor:.2f} | ≤ 30 s per 1,000, all listed | "
    f"{'yes' if per_thousand <= 30 and listed == devices else '**no**'} |")
# Figure 10: the fleet served by one process, against deliver one push after another.
fs = json.load(open(sys.argv[11]))
rows += [
    f"| 10 `serve --fleet`, {fs['devices']:,} devices × 3 pushes round robin, h2load 100 streams "
    f"({fs['pushes'] - fs['answered200']} not 200) | {fs['pushesPerSecond']:.0f} pushes/s | "
    f"{fs['deliverPerSecond']:.1f} pushes/s: `deliver`, one after another | "
    f"{fs['pushesPerSecond'] / fs['deliverPerSecond']:.1f} | info | — |",
    f"| 10 devices whose count is exactly 3; extension processes alive at most / K | "
    f"{fs['devicesExact']:,} of {fs['devices']:,}; {fs['mostExtensions']} / {fs['warm']} | — | — | "
    f"all; ≤ K | {'yes' if fs['devicesExact'] == fs['devices'] and fs['mostExtensions'] <= fs['warm'] else '**no**'} |",
    f"| 10 serve VmHWM beside {fs['warm']} warm extensions | {fs['serveHwmKiB'] / 1024:.2f} MiB | — | — "
    f"| info | — |",
]
start = next(i for i, line in enumerate(lines) if line.startswith("|"))
end = next((i for i in range(start, len(lines)) if not lines[i].startswith("|")), len(lines))
print("\n".join(lines[:end] + rows + lines[end:]), end="")
PY
  if [[ -n $syscall_notes ]]; then
    echo
    echo "$syscall_notes"
  fi
} >"$bin/bench-table.md"
echo
cat "$bin/bench-table.md"
echo
echo "Table: $build/bench-table.md  Plot: $build/contention.png"

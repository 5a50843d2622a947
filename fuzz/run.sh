#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/CMakeLists.txt) with clang in build-fuzz/ and runs each for a
# bounded time on a scratch copy of its seed corpus, so the corpus in the repository stays as it is.
# Exits non-zero when any target finds a crash, a sanitizer report, a leak, a slow input or a broken
# property; the report and the input that caused it are kept in build-fuzz/findings/<target>/.
#   bash fuzz/run.sh                               every target, FUZZ_SECONDS (default 15) each
#   FUZZ_SECONDS=600 bash fuzz/run.sh fuzz_host_protocol
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh: clang++ is missing (scripts/install-deps.sh installs clang and libclang-rt-14-dev)" >&2
  exit 1
fi

seconds="${FUZZ_SECONDS:-15}"
build_dir=build-fuzz
cmake -S fuzz -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir"

# Every target fuzz/CMakeLists.txt adds, so a new one runs in CI without being listed twice.
mapfile -t targets < <(sed -nE 's/^badge_add_fuzzer\(([A-Za-z0-9_]+)\).*/\1/p' fuzz/CMakeLists.txt)
if (($# > 0)); then targets=("$@"); fi

# Input size caps: a record is 16 bytes, a push payload at most 4 KiB; the host protocol, Info.plist
# and push envelopes get room for a few kilobytes of structure, a strings table for a few dozen
# entries, the client protocol for several lines.
declare -A max_len=(
  [fuzz_badge_record]=64
  [fuzz_classification]=4096
  [fuzz_access_group]=8192
  [fuzz_host_protocol]=8192
  [fuzz_binary_plist_walk]=4096
  [fuzz_push_headers]=8192
  [fuzz_strings_text]=16384
  [fuzz_format_renderer]=8192
  [fuzz_client_protocol]=16384
)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for target in "${targets[@]}"; do
  if [[ ! -d fuzz/corpus/$target ]]; then
    echo "fuzz/run.sh: unknown target $target" >&2
    exit 2
  fi
  corpus="$scratch/$target"
  findings="$build_dir/findings/$target"
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings"
  cp fuzz/corpus/"$target"/* "$corpus"/
  log="$findings/log"

  # One process (no -jobs/-workers: the machine is shared). -timeout: one input running this long
  # is a finding; the parsers are linear or close to it.
  status=0
  "$build_dir/$target" -max_total_time="$seconds" -max_len="${max_len[$target]:-4096}" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?
  if ((status == 0)); then
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
    runs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$done_line")
    cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$done_line")
    ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$done_line")
    echo "$target: ok, ${runs:-?} runs in ${seconds}s, cov ${cov:-?} ft ${ft:-?}"
    rm -rf "$findings"
  else
    failed=1
    reason=$(grep -m 1 -E 'ERROR: |deadly signal|Assertion' "$log" || echo "exit status $status")
    echo "$target: FAILED: $reason (report and input in $findings/)"
    tail -n 40 "$log" >&2
  fi
done
exit "$failed"

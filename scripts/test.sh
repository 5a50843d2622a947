#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh                      plain build in build/
#   BADGE_SANITIZE=address,undefined scripts/test.sh   sanitizer build in build-asan/
#   BADGE_SANITIZE=thread scripts/test.sh -L concurrency   thread sanitizer, concurrency tests only
# Extra arguments go to ctest. BADGE_WERROR=1 turns warnings into errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

sanitize="${BADGE_SANITIZE:-}"
case "$sanitize" in
  "") build_dir=build ;;
  address,undefined) build_dir=build-asan ;;
  thread) build_dir=build-tsan ;;
  *) echo "test.sh: BADGE_SANITIZE must be empty, address,undefined or thread" >&2; exit 2 ;;
esac

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBADGE_SANITIZE="$sanitize" -DBADGE_WARNINGS_AS_ERRORS="${BADGE_WERROR:-OFF}" \
  -DBADGE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir"

runner=()
if [[ $sanitize == thread ]]; then
  # The kernel's mmap randomisation is set higher than the thread sanitizer accepts.
  runner=(setarch "$(uname -m)" -R)
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
fi
if [[ $sanitize == address,undefined ]]; then
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
"${runner[@]}" ctest --test-dir "$build_dir" --output-on-failure "$@"

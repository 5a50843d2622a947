#!/usr/bin/env bash
# Builds the programs and libraries with clang and its thread-safety analysis as errors, in
# build-clang/: every field marked GUARDED_BY must be touched only with its lock held, and every
# function marked REQUIRES/EXCLUDES called accordingly, in the code that ships and in the tests
# that drive it. Built without optimisation or debug information: the analysis runs in the
# compiler's front end, so the back end's work would only make the check slower.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
if ! command -v clang++ >/dev/null; then
  echo "thread-safety.sh: clang++ is missing (scripts/install-deps.sh installs clang)" >&2
  exit 1
fi

# File by file (no unity batches), so that a source which compiles only beside its neighbours'
# includes fails here.
CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g0 \
  -DCMAKE_UNITY_BUILD=OFF \
  -DCMAKE_CXX_FLAGS=-Wthread-safety -DBADGE_WARNINGS_AS_ERRORS=ON -DBADGE_BUILD_TESTS=ON \
  -DBADGE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-clang
echo "thread-safety.sh: clean"

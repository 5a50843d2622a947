#!/usr/bin/env bash
# Builds the programs and libraries with clang and its thread-safety analysis as errors, in
# build-clang/: every field marked GUARDED_BY must be touched only with its lock held, and every
# function marked REQUIRES/EXCLUDES called accordingly. Tests are left out (they are built by
# scripts/test.sh); the analysis is about the code that ships.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
if ! command -v clang++ >/dev/null; then
  echo "thread-safety.sh: clang++ is missing (scripts/install-deps.sh installs clang)" >&2
  exit 1
fi

CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-Wthread-safety" -DBADGE_WARNINGS_AS_ERRORS=ON -DBADGE_BUILD_TESTS=OFF \
  -DBADGE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-clang
echo "thread-safety.sh: clean"

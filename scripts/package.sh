#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, configures a Release build for /usr in
# build-package/ (no tests, no benchmarks) with Debian's hardening flags (dpkg-buildflags), builds
# it, makes build-package/quenlarch-badge_VERSION_ARCH.deb with CPack and checks it with lintian.
# Exits non-zero when lintian reports an error; its warnings are explained in
# docs/packaging.md.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=build-package
first_run=""
[[ -f $build/build.ninja ]] || first_run=1
if [[ -n $first_run ]]; then
  echo "package.sh: first build of the package in $build/ (a few minutes; progress below)"
fi

# Debian's flags for packages: fortified functions, stack protector, read-only relocations, now.
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBADGE_BUILD_TESTS=OFF -DBADGE_BUILD_BENCHMARKS=OFF \
  -DBADGE_PACKAGE_DEB=ON "-DCMAKE_CXX_FLAGS=$CXXFLAGS" "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS" \
  >/dev/null
cmake --build "$build"

rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/*.deb)
echo "package.sh: $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

echo "== lintian"
# lintian exits non-zero on errors; warnings are printed and explained in docs/packaging.md.
lintian --fail-on error --tag-display-limit 0 "$deb" || { echo "package.sh: lintian found errors" >&2; exit 1; }
echo "package.sh: lintian reports no errors"

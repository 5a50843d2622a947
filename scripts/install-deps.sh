#!/usr/bin/env bash
# Installs the Debian 12 packages this project builds, tests and benchmarks with.
# Safe to run again: apt-get skips what is already there. Needs root (or sudo).
#   scripts/install-deps.sh         everything: build, tests, benchmarks, package, desktop demo
#   scripts/install-deps.sh build   only what configuring, building and the demo's story need, so
#                                   that a first demo does not wait for the test tools
set -euo pipefail

scope="${1:-all}"
case "$scope" in
  all | build) ;;
  *) echo "install-deps.sh: unknown scope '$scope' (build or all)" >&2; exit 2 ;;
esac

packages=(
  build-essential cmake ninja-build pkg-config
  ccache lld                          # every build shares compiled objects; a faster linker
  libsqlite3-dev                      # keychain store
  libssl-dev                          # SHA-256 (libcrypto), the provider endpoint's TLS
  libplist-dev                        # Info.plist, entitlements and strings tables
  libicu-dev                          # plural rules and language matching of strings tables
  libsystemd-dev                      # sd-event, sd-bus, socket activation
  nlohmann-json3-dev                  # payloads and the host protocol
  libcli11-dev                        # command lines
  libnghttp2-dev                      # the push-provider endpoint's HTTP/2
  libgtest-dev libgmock-dev googletest  # configuring the build (its tests are part of it)
  help2man gzip                       # configuring the build (manual pages made from --help)
  curl openssl python3                # the demo's provider push and its story's text
)
if [[ $scope == all ]]; then packages+=(
  clang libclang-rt-14-dev            # fuzzers, sanitizer runtimes, thread-safety analysis
  clang-format                        # the code style, checked in CI
  sqlite3                             # the sqlite3 CLI for fault tests
  dbus-daemon dbus-bin                # a private session bus in the desktop tests (dbus-send for dunstctl)
  dunst xvfb systemd                  # a real notification server on a virtual display; busctl for dunstctl
  x11-apps imagemagick fonts-dejavu-core plank  # the desktop demo: dock, screenshot, history
  libbenchmark-dev
  gnuplot-nox                         # contention plot
  util-linux                          # setarch for the thread-sanitizer run
  systemd                             # systemd-socket-activate, for the service tests
  nghttp2-client                      # the provider endpoint's benchmark: h2load, a C HTTP/2 client
  python3-aioapns                     # provider tests: a push client that offers no ALPN
  man-db                              # man -l renders the manual pages in their test
  bash-completion                     # the completion's helpers, and its test
  python3-seccomp                     # the service unit's system-call filter applied in tests
  dpkg-dev file lintian               # the Debian package: dpkg-shlibdeps for Depends, and its check
)
  # Node for the provider tests' real push client (@parse/node-apn); a machine that already has a
  # node (with its own npm) keeps it, since Debian's npm package would conflict with it.
  command -v node >/dev/null || packages+=(nodejs)
  command -v npm >/dev/null || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
  sudo=""
  if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The provider tests' client, exactly as its lockfile pins it; installed again only when the
# lockfile changed since the last install.
client="$(dirname "$0")/../tests/provider-client"
if [[ $scope == all ]] && ! cmp -s "$client/package-lock.json" "$client/node_modules/.installed-lock.json"; then
  (cd "$client" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$client/package-lock.json" "$client/node_modules/.installed-lock.json"
fi

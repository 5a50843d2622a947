#!/usr/bin/env bash
# Installs the Debian 12 packages this project builds, tests and benchmarks with.
# Safe to run again: apt-get skips what is already there. Needs root (or sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  ccache lld                          # every build shares compiled objects; a faster linker
  clang libclang-rt-14-dev            # fuzzers, sanitizer runtimes, thread-safety analysis
  clang-format                        # the code style, checked in CI
  libsqlite3-dev sqlite3              # keychain store (sqlite3 CLI for fault tests)
  libssl-dev                          # SHA-256 (libcrypto)
  libplist-dev                        # Info.plist, entitlements and strings tables
  libicu-dev                          # plural rules and language matching of strings tables
  libsystemd-dev                      # sd-bus: desktop notifications and the launcher badge
  libicu-dev                          # well-formed UTF-8 for the session bus
  dbus-daemon dbus-bin                # a private session bus in the desktop tests (dbus-send for dunstctl)
  dunst xvfb systemd                  # a real notification server on a virtual display; busctl for dunstctl
  x11-apps imagemagick fonts-dejavu-core plank python3  # the desktop demo: dock, screenshot, history
  nlohmann-json3-dev                  # payloads and the host protocol
  libcli11-dev                        # command lines
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  gnuplot-nox                         # contention plot
  util-linux                          # setarch for the thread-sanitizer run
  libsystemd-dev                      # notification-host serve: socket activation, sd_notify
  systemd                             # systemd-socket-activate, for the service tests
  libnghttp2-dev                      # the push-provider endpoint's HTTP/2
  curl openssl                        # provider tests: curl --http2, the test CA and certificates
  nghttp2-client                      # the provider endpoint's benchmark: h2load, a C HTTP/2 client
  python3-aioapns                     # provider tests: a push client that offers no ALPN
  help2man man-db gzip                # manual pages made from --help; man -l renders them
  bash-completion                     # the completion's helpers, and its test
  python3-seccomp                     # the service unit's system-call filter applied in tests
  dpkg-dev file lintian               # the Debian package: dpkg-shlibdeps for Depends, and its check
)
# Node for the provider tests' real push client (@parse/node-apn); a machine that already has a
# node (with its own npm) keeps it, since Debian's npm package would conflict with it.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

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
if ! cmp -s "$client/package-lock.json" "$client/node_modules/.installed-lock.json"; then
  (cd "$client" && npm ci --no-audit --no-fund --loglevel=error)
  cp "$client/package-lock.json" "$client/node_modules/.installed-lock.json"
fi

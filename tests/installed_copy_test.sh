#!/usr/bin/env bash
# The installed copy works: unpacks the package into a temporary root (dpkg-deb -x) and, with the
# unpacked programs only, runs the demo story (install an app, deliver, status); renders both
# manual pages with man -l and finds every subcommand and output field in them; checks the
# completion with bash -n; verifies the user units with systemd-analyze; and runs the README's
# install, by-hand (with the package's examples) and service blocks and the socket-activation one
# against the unpacked copy. Run by .ci/run after scripts/package.sh.
#   bash tests/installed_copy_test.sh [PACKAGE.deb]     (default: the one in build-package/)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

deb=${1:-}
if [[ -z $deb ]]; then
  shopt -s nullglob
  debs=(build-package/*.deb)
  if ((${#debs[@]} != 1)); then
    echo "installed_copy_test.sh: want one package in build-package/ (bash scripts/package.sh), found ${#debs[@]}" >&2
    exit 1
  fi
  deb=${debs[0]}
fi
deb=$(realpath "$deb")

work=$(mktemp -d "${TMPDIR:-/tmp}/installed-copy.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
units=$root/usr/lib/systemd/user
mkdir -p "$work/runtime" && chmod 0700 "$work/runtime"

passed=0 failed=0
# check WHAT COMMAND...: one line per check, and its output when it fails.
check() {
  local what=$1 output
  shift
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok      $what"
  else
    failed=$((failed + 1))
    echo "FAILED  $what"
    sed 's/^/        /' <<<"$output"
  fi
}
contains() { grep -qF -- "$2" <<<"$1" || { echo "wanted '$2' in: $1"; return 1; }; }

# Nothing from the build tree or the machine: only the unpacked programs, by their paths.
installed() { env -u BADGE_SERVICE_EXECUTABLE QUENLARCH_KEYCHAIN="$work/keychain.sqlite" \
  LANGUAGE=en "$@"; }

upstream=$(dpkg-deb -f "$deb" Version)
upstream=${upstream%-*}
story() {
  local out
  out=$(installed "$bin/badge-app" install --app "$work/My.app") || return 1
  cmp "$work/My.app/Contents/PlugIns/BadgeService.appex/Contents/MacOS/BadgeService" \
    "$root/usr/libexec/quenlarch/BadgeService" || return 1
  out=$(installed "$bin/notification-host" deliver --app "$work/My.app" \
    "$root/usr/share/doc/quenlarch-badge/examples/new-message.json") || return 1
  contains "$out" '"deliveredBy":"extension"' && contains "$out" '"badge":1,"badgeNote":"counted"' || return 1
  contains "$out" 'New message from Ana' || return 1
  out=$(installed "$bin/badge-app" status --app "$work/My.app") || return 1
  contains "$out" '"enabled":true,"count":1'
}
check "the demo story with the unpacked programs (install, deliver, status)" story
check "badge-app --version is the package's version" \
  contains "$("$bin/badge-app" --version)" "badge-app $upstream"
check "notification-host --version is the package's version" \
  contains "$("$bin/notification-host" --version)" "notification-host $upstream"

# man -l renders the page without warnings, and the page names every subcommand --help lists.
manual() {
  local program=$1 page=$root/usr/share/man/man1/$1.1.gz text warnings subcommand
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null) || return 1
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || { echo "$warnings"; return 1; }
  for section in SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES; do
    contains "$text" "$section" || return 1
  done
  for subcommand in $("$bin/$program" --help | sed -n '/^Subcommands:/,/^$/s/^  \([^ ]*\).*/\1/p'); do
    contains "$text" "$subcommand" || return 1
  done
  # Every field a shown line or an event can carry is described (OUTPUT).
  [[ $program == notification-host ]] || return 0
  for field in payload apnsId pushType priority collapseId deliveredBy extension presented dropped \
    badge badgeNote alert userInfo title subtitle body locKey locArgs titleLocKey sound category \
    threadIdentifier event extensionPid; do
    contains "$text" "$field" || return 1
  done
}
check "man -l badge-app.1.gz" manual badge-app
check "man -l notification-host.1.gz" manual notification-host

completions=$root/usr/share/bash-completion/completions
check "bash -n on the completion for badge-app" bash -n "$completions/badge-app"
check "bash -n on the completion for notification-host" bash -n "$completions/notification-host"

# The units as installed: ExecStart names the packaged program; systemd-analyze finds no fault
# once that path is the unpacked one (verify checks that the program exists).
units_verify() {
  grep -qx 'ExecStart=/usr/bin/notification-host serve .*' "$units/notification-host.service" ||
    { echo "ExecStart does not name /usr/bin/notification-host"; return 1; }
  mkdir -p "$work/units"
  cp "$units/notification-host.socket" "$work/units/"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$bin/|" "$units/notification-host.service" \
    >"$work/units/notification-host.service"
  # Documentation=man:... is checked with man, which finds the unpacked pages through MANPATH.
  MANPATH=$root/usr/share/man XDG_RUNTIME_DIR=$work/runtime systemd-analyze --user verify \
    "$work/units/notification-host.socket" "$work/units/notification-host.service"
}
check "systemd-analyze verify the user units" units_verify

check "the README's blocks against the unpacked copy" bash tests/readme_blocks_test.sh \
  --readme "$source_dir/README.md" --readme "$source_dir/docs/service.md" --path "$bin" \
  --units "$units" --root "$root" --deb "$deb" install by-hand service activation

# For the record: how exposed the service unit is, as systemd rates it.
XDG_RUNTIME_DIR=$work/runtime systemd-analyze security --user --offline=true \
  "$work/units/notification-host.service" 2>/dev/null | tail -n 1 || true

echo "$passed passed, $failed failed"
((failed == 0))

#!/usr/bin/env bash
# Runs the README's shell and JavaScript blocks that are marked to run, one after another in one
# shell, as a reader pasting them into a terminal would: in a scratch folder holding a copy of
# demo/, with the programs on PATH and a home, runtime folder and keychain of its own. A block is
# marked by the line before its fence:
#   <!-- readme-test: NAME -->                 run it
#   <!-- readme-test: NAME expect: TEXT -->    run it; its output must contain TEXT
# A ```js block runs with node, which finds @parse/node-apn in tests/provider-client.
# The examples' installed folder, /usr/share/doc/quenlarch-badge/examples, is the package's under
# --root, and demo/ (the same files) otherwise.
# Test machines have no user manager, so `systemctl --user enable --now X.socket` is played from
# the unit files: systemd-socket-activate listens where the socket unit says and starts the
# service unit's ExecStart with its EnvironmentFile, under the unit's own kernel-enforced
# restrictions (tests/support/run_under_unit.py). For the install block, `apt install`, `man` and
# the package build are checked against the package given with --deb. Everything a block leaves
# running is stopped by its pid.
#   readme_blocks_test.sh --readme FILE... --path DIRS --units DIR [--root DIR --deb FILE] NAME...
#   readme_blocks_test.sh --readme FILE... --path DIRS --units DIR --except NAME,...
# --readme (repeatable): the files whose blocks may be named; the first is the README. --path:
# folders put first on PATH; --units: where the unit files are; --root: the folder a package was
# unpacked into (ExecStart, manual pages and examples are looked up under it). --except: run every
# marked block of the files, in order, but those named; then no shell or JavaScript block of the
# README after its first may be unmarked, so none goes unrun.
# README_TEST_KEEP=1 keeps the scratch folder, to look into after a failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source=$(dirname "$here")

readmes=() path="" units="" root="" deb="" except=""
while (($# > 0)); do
  case $1 in
    --readme) readmes+=("$2"); shift 2 ;;
    --except) except=,$2,; shift 2 ;;
    --path) path=$2; shift 2 ;;
    --units) units=$2; shift 2 ;;
    --root) root=$2; shift 2 ;;
    --deb) deb=$2; shift 2 ;;
    --*) echo "readme_blocks_test.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if ((${#readmes[@]} == 0)) || [[ -z $path || -z $units ]] || { [[ -z $except ]] && (($# == 0)); }; then
  echo "usage: readme_blocks_test.sh --readme FILE... --path DIRS --units DIR [--root DIR --deb FILE] NAME...|--except NAME,..." >&2
  exit 2
fi
readme=$(mktemp "${TMPDIR:-/tmp}/readme.XXXXXX")
cat "${readmes[@]}" >"$readme"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/readme-blocks.XXXXXX")
trap '[[ -n ${README_TEST_KEEP:-} ]] || rm -rf "$scratch"; rm -f "$readme"' EXIT
cp -r "$source/demo" "$scratch/demo"
mkdir -p "$scratch/home" "$scratch/run"
chmod 0700 "$scratch/run"
if [[ -n $deb ]]; then ln -s "$(cd "$(dirname "$deb")" && pwd)" "$scratch/build-package"; fi

# The script the blocks run in: the stand-ins first, then each block with its check.
script=$scratch/blocks.sh
cat >"$script" <<'PRELUDE'
set -euo pipefail
exec {test_output}>&1  # while a block's output goes to its file
block_output=""
# On the way out: the output of a block that failed, then stop what the blocks left running.
finish() {
  local status=$?
  if ((status != 0)) && [[ -n $block_output ]]; then cat "$block_output" >&"$test_output"; fi
  for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done
  wait
  exit "$status"
}
trap finish EXIT
fail() { echo "readme test: $*"; exit 1; }
# systemctl --user enable --now UNIT.socket, played from the unit files.
systemctl() {
  [[ $# == 4 && $1 == --user && $2 == enable && $3 == --now && $4 == *.socket ]] ||
    fail "cannot play 'systemctl $*'"
  local socket_unit=$UNITS/$4 service_unit=$UNITS/${4%.socket}.service
  [[ -f $socket_unit ]] || fail "no unit $4 in $UNITS"
  [[ -f $service_unit ]] || fail "no unit ${4%.socket}.service in $UNITS"
  local listen env_file exec_start
  listen=$(sed -n 's/^ListenStream=//p' "$socket_unit")
  listen=${listen//%t/$XDG_RUNTIME_DIR}
  env_file=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$service_unit")
  env_file=${env_file//%E/${XDG_CONFIG_HOME:-$HOME/.config}}
  env_file=${env_file//%h/$HOME}
  exec_start=$(sed -n 's/^ExecStart=//p' "$service_unit")
  [[ -f $env_file ]] || fail "the service's environment file $env_file is missing"
  local -A vars=()
  local passed=(-E HOME -E PATH -E XDG_RUNTIME_DIR) line name value word argv=() split=()
  while IFS= read -r line; do
    [[ $line =~ ^([A-Za-z_][A-Za-z0-9_]*)=(.*)$ ]] || continue
    name=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
    vars[$name]=$value
    passed+=(-E "$name=$value")
  done <"$env_file"
  # ${NAME} in ExecStart is one word holding the variable's value, $NAME its value split at
  # whitespace into zero or more words, as systemd expands them.
  for word in $exec_start; do
    if [[ $word =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
      argv+=("${vars[${BASH_REMATCH[1]}]-}")
    elif [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
      read -ra split <<<"${vars[${BASH_REMATCH[1]}]-}"
      argv+=("${split[@]}")
    else
      argv+=("$word")
    fi
  done
  if [[ -n $ROOT ]]; then argv[0]=$ROOT${argv[0]}; else argv[0]=$(command -v "${argv[0]##*/}"); fi
  mkdir -p -m 0700 "$(dirname "$listen")"
  systemd-socket-activate -l "$listen" "${passed[@]}" \
    /usr/bin/python3 "$RUN_UNDER_UNIT" "$service_unit" "${argv[@]}" &
  local tries
  for ((tries = 0; tries < 200; tries++)); do
    [[ -S $listen ]] && return 0
    sleep 0.05
  done
  fail "nothing listens on $listen"
}
sudo() { "$@"; }
# The package is built already; apt install must name it.
bash() {
  if [[ $* == scripts/package.sh ]]; then [[ -f $DEB ]] || fail "no package"; return 0; fi
  command bash "$@"
}
apt() {
  [[ $1 == install && $# -ge 2 ]] || fail "cannot play 'apt $*'"
  local package
  for package in "${@:2}"; do
    [[ $package -ef $DEB ]] || fail "apt install $package: not the package that was built ($DEB)"
  done
}
man() {
  local page=$ROOT/usr/share/man/man1/$1.1.gz
  [[ -f $page ]] || fail "no manual page $1 in the package"
  command man -l "$page" | grep -q . || fail "man $1 shows nothing"
}
PRELUDE

mapfile -t names < <(grep -o '<!-- readme-test: [a-z-]*' "$readme" | sed 's/.* //')
if [[ -n $except ]]; then
  # Every fence of the README that runs something, after the two commands, must be marked.
  unmarked=$(awk '
    /^```/ && inside { inside = 0; next }
    /^```/ { inside = 1; fences++
             if ($0 ~ /^```(sh|bash|js)$/ && fences > 1 && previous !~ /^<!-- readme-test: /)
               print FILENAME ":" FNR ": " $0
             next }
    { previous = $0 }' "${readmes[0]}")
  if [[ -n $unmarked ]]; then
    echo "readme_blocks_test.sh: blocks no test runs (mark them <!-- readme-test: NAME -->):" >&2
    echo "$unmarked" >&2
    exit 1
  fi
  set --
  for name in "${names[@]}"; do [[ $except == *,$name,* ]] || set -- "$@" "$name"; done
fi
examples=demo
[[ -z $root ]] || examples=$root/usr/share/doc/quenlarch-badge/examples
for wanted in "$@"; do
  printf '%s\n' "${names[@]}" | grep -qx -- "$wanted" ||
    { echo "readme_blocks_test.sh: the README has no block marked '$wanted'" >&2; exit 1; }
done
for wanted in "$@"; do
  expect=$(sed -n "s/^<!-- readme-test: $wanted expect: \(.*\) -->$/\1/p" "$readme")
  fence=$(awk -v name="$wanted" '
    $0 ~ "^<!-- readme-test: " name "( |-->)" { marked = 1; next }
    marked && /^```/ { print; exit }' "$readme")
  block=$(awk -v name="$wanted" '
    $0 ~ "^<!-- readme-test: " name "( |-->)" { marked = 1; next }
    marked && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$readme")
  block=${block//\/usr\/share\/doc\/quenlarch-badge\/examples/$examples}
  if [[ $fence == '```js' ]]; then
    printf '%s\n' "$block" >"$scratch/$wanted.js"
    block="node $wanted.js"
  fi
  {
    printf 'echo "readme block %s"\nblock_output=%q\n' "$wanted" "$scratch/$wanted.out"
    printf '{\n%s\n} >"$block_output" 2>&1\n' "$block"
    if [[ -n $expect ]]; then
      printf 'grep -qF -- %q "$block_output" || fail %q\n' "$expect" \
        "block $wanted did not print $expect"
    fi
    printf 'block_output=""\n'
  } >>"$script"
done

cd "$scratch"
env -u QUENLARCH_KEYCHAIN -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u DBUS_SESSION_BUS_ADDRESS \
  HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" PATH="$path:$PATH" LANGUAGE=en \
  UNITS="$units" ROOT="$root" DEB="$deb" RUN_UNDER_UNIT="$here/support/run_under_unit.py" \
  NODE_PATH="$here/provider-client/node_modules" \
  bash "$script"

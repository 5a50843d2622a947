#!/usr/bin/env bash
# The bash completion as a person meets it: bash-completion and the completion script loaded, the
# words of a command line typed, the completion function asked, its answers compared.
#   completion_test.sh COMPLETION_SCRIPT PROGRAM_DIRS
set -euo pipefail
completion=$1
export PATH="$2:$PATH"
if [[ ! -f /usr/share/bash-completion/bash_completion ]]; then
  echo "completion_test.sh: bash-completion is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/completion.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir My.app Other.app
touch push.json notes.txt

# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1090
source "$completion"

# Completes the command line typed so far (the cursor at its end) and prints the answers sorted.
complete_line() {
  local line=$1
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _quenlarch_complete "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

# typed so far | the answers, sorted
cases=(
  "notification-host del|deliver"
  "notification-host |deliver device rules send serve status"
  "notification-host device |offline online"
  "notification-host --ver|--version"
  "badge-app set|set-count"
  "badge-app st|status"
  "notification-host deliver --sh|--show"
  "notification-host deliver --show |desktop json"
  "notification-host deliver --show d|desktop"
  "notification-host deliver --app |My.app Other.app"
  "badge-app install --app M|My.app"
  "badge-app install --keychain n|notes.txt"
  "notification-host deliver --app My.app |- My.app Other.app push.json"
  "notification-host send p|push.json"
  "notification-host deliver --time-limit |"
  "badge-app stauts |"
  "badge-app fleet |create"
  "badge-app fleet create --de|--devices"
  "badge-app fleet create --dir |My.app Other.app"
)
passed=0 failed=0
for case in "${cases[@]}"; do
  typed=${case%%|*} want=${case#*|}
  got=$(complete_line "$typed")
  if [[ $got == "$want" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: '$typed<TAB>' gave '$got', wanted '$want'"
  fi
done
echo "$passed passed, $failed failed"
((failed == 0))

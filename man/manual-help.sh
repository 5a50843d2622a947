#!/usr/bin/env bash
# What help2man reads as a program's --help: the program's own --help with every subcommand's usage
# added to the synopsis ("or:" lines), and each subcommand's --help as a subsection of a
# SUBCOMMANDS section, in the shapes help2man turns into .SS headings and .TP option paragraphs.
# Reads only what the program prints, so a new subcommand or option is in the next build's page.
#   manual-help.sh PROGRAM --help|--version
set -euo pipefail
program=$1
case ${2:-} in
  --version) exec "$program" --version ;;
  --help) ;;
  *) echo "usage: manual-help.sh PROGRAM --help|--version" >&2; exit 2 ;;
esac

top=$("$program" --help)
name=$(sed -n 's/^Usage: \([^ ]*\).*/\1/p' <<<"$top")
listed() { sed -n '/^Subcommands:/,/^$/s/^  \([^ ]*\).*/\1/p'; }
# A subcommand that has subcommands of its own (badge-app fleet) is shown as each of those.
subcommands=()
while IFS= read -r subcommand; do
  mapfile -t nested < <("$program" "$subcommand" --help | listed)
  if ((${#nested[@]} == 0)); then
    subcommands+=("$subcommand")
  else
    for inner in "${nested[@]}"; do subcommands+=("$subcommand $inner"); done
  fi
done < <(listed <<<"$top")

sed -n '/^Usage:/p' <<<"$top"
for subcommand in "${subcommands[@]}"; do
  # shellcheck disable=SC2086 # a nested subcommand is two words
  "$program" $subcommand --help | sed -n 's/^Usage: /  or: /p'
done
echo
sed -n '/^Options:/,/^$/p' <<<"$top"
echo
echo "*Subcommands*"
for subcommand in "${subcommands[@]}"; do
  # shellcheck disable=SC2086
  help=$("$program" $subcommand --help)
  # Heading: the usage without the program's name; then the summary; then the positionals and
  # options (help itself left out, it is the same everywhere).
  usage=$(sed -n 's/^Usage: //p' <<<"$help")
  echo "${usage#"$name "}:"
  sed -n '1s/^/  /p' <<<"$help"
  echo
  sed -n '/^\(Positionals\|Options\):/,$p' <<<"$help" |
    sed '/^\(Positionals\|Options\):/d; /^$/d; /^  -h,--help /d'
  echo
done
# A program with a rules subcommand gets its table as a section of its own.
if printf '%s\n' "${subcommands[@]}" | grep -qx rules; then
  echo "*Push rules*"
  # One paragraph a rule: help2man makes tagged paragraphs only of options.
  "$program" rules | awk 'NR % 2 == 1 { sub(/^ +/, ""); tag = $0; next }
                          { sub(/^ +/, ""); print tag " " $0; print "" }'
  echo
fi

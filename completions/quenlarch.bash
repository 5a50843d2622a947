# Bash completion for badge-app and notification-host, installed under each program's name.
# Subcommands (and their own, as in "badge-app fleet create"), options and what an option's value
# is come from the program's own --help when Tab is pressed, so options added to a program complete
# without a change here:
#   value type TEXT:{a,b}            the choices a and b
#   --app, --bundle, --dir           folders (app bundles are folders)
#   --keychain, --socket, PATH/FILE  files
#   a payloads positional            JSON files (and '-' for standard input)
#   a positional TEXT:{a,b}          the choices a and b

# The options of one --help text, one per line (both spellings of "-h,--help").
_quenlarch_options() {
  local line names
  while IFS= read -r line; do
    [[ $line =~ ^\ {2}(-[^ ]+) ]] || continue
    names=${BASH_REMATCH[1]}
    printf '%s\n' ${names//,/ }
  done
}

# The subcommands listed in a --help text.
_quenlarch_subcommands() {
  local line in_list=0
  while IFS= read -r line; do
    if [[ $line == Subcommands: ]]; then in_list=1; continue; fi
    [[ -z $line ]] && in_list=0
    ((in_list)) && [[ $line =~ ^\ {2}([^ ]+) ]] && printf '%s\n' "${BASH_REMATCH[1]}"
  done
  return 0
}

# The value type the help gives `option` (TEXT:PATH, UINT, TEXT:{json,desktop}), empty for a flag.
_quenlarch_value_type() {
  local option=$1 line names type
  while IFS= read -r line; do
    [[ $line =~ ^\ {2}(-[^ ]+)\ ([^ ]+) ]] || continue
    names=,${BASH_REMATCH[1]},
    type=${BASH_REMATCH[2]}
    [[ $names == *",$option,"* ]] || continue
    # Flags are followed by their constraints, not by a type.
    [[ $type =~ ^[A-Z]+(:|=|$) && $type != REQUIRED ]] && printf '%s\n' "$type"
    return 0
  done
}

# The first positional's name and type in a --help text ("payloads TEXT").
_quenlarch_positional() {
  local line in_list=0
  while IFS= read -r line; do
    if [[ $line == Positionals: ]]; then in_list=1; continue; fi
    ((in_list)) && [[ $line =~ ^\ {2}([^ ]+)\ ([^ ]+) ]] &&
      printf '%s %s\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" && return 0
  done
  return 0
}

_quenlarch_complete() {
  local cur prev words cword
  _init_completion || return
  local program=${words[0]} subcommand="" i help

  # The programs' own options take no value, so the first other word is the subcommand.
  for ((i = 1; i < cword; i++)); do
    if [[ ${words[i]} != -* ]]; then
      subcommand=${words[i]}
      break
    fi
  done
  if [[ -z $subcommand ]]; then
    help=$("$program" --help 2>/dev/null) || return
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "$(_quenlarch_options <<<"$help")" -- "$cur")
    else
      mapfile -t COMPREPLY < <(compgen -W "$(_quenlarch_subcommands <<<"$help")" -- "$cur")
    fi
    return
  fi

  help=$("$program" "$subcommand" --help 2>/dev/null) || return
  # A subcommand with subcommands of its own (badge-app fleet create): the next word names one.
  # (A mistyped subcommand gets the program's own help, which lists subcommands too.)
  local nested=""
  [[ $help == *" $subcommand [OPTIONS] "*SUBCOMMAND* ]] && nested=$(_quenlarch_subcommands <<<"$help")
  if [[ -n $nested ]]; then
    local inner=""
    for ((i = i + 1; i < cword; i++)); do
      [[ ${words[i]} != -* ]] && inner=${words[i]} && break
    done
    if [[ -z $inner ]]; then
      [[ $cur != -* ]] && mapfile -t COMPREPLY < <(compgen -W "$nested" -- "$cur")
      return
    fi
    help=$("$program" "$subcommand" "$inner" --help 2>/dev/null) || return
  fi
  if [[ $prev == -* ]]; then
    local type
    type=$(_quenlarch_value_type "$prev" <<<"$help")
    if [[ -n $type ]]; then
      if [[ $type =~ \{([^}]*)\} ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${BASH_REMATCH[1]//,/ }" -- "$cur")
      elif [[ $prev == --app || $prev == --bundle || $prev == --dir ]]; then
        _filedir -d
      elif [[ $prev == --keychain || $prev == --socket || $type == *PATH* || $type == *FILE* ]]; then
        _filedir
      fi
      return
    fi
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_quenlarch_options <<<"$help")" -- "$cur")
    return
  fi
  local positional
  positional=$(_quenlarch_positional <<<"$help")
  case $positional in
    payloads*)
      _filedir json
      [[ - == "$cur"* ]] && COMPREPLY+=(-)
      ;;
    *\{*\}*)
      [[ $positional =~ \{([^}]*)\} ]]
      mapfile -t COMPREPLY < <(compgen -W "${BASH_REMATCH[1]//,/ }" -- "$cur")
      ;;
    *PATH* | *FILE*) _filedir ;;
  esac
}

complete -F _quenlarch_complete badge-app notification-host

#!/usr/bin/env bash
# complete-words.sh WORD...: what the installed bash completion offers for the
# last word of the command line WORD..., one a line.
source /usr/share/bash-completion/bash_completion
source /usr/share/bash-completion/completions/mbus-fwupdate
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
_mbus_fwupdate "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
[ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}"

#!/bin/bash
# The man page documents exactly the commands, and every option, that
# brdctl --help shows. Usage: man_drift.sh PAGE.scd COMPLETION.sh BRDCTL...
set -eu
page=$1 gen=$2
shift 2
tree=$("$gen" --tree "$@")
diff -u --label help <(awk -F'|' '$1 != "" && $2 == "" { print $1 }' <<<"$tree" | sort) \
    --label "$page" <(sed -n '/^# COMMANDS$/,/^# [A-Z]/ s/^\*\([a-z][a-z-]*\( [a-z][a-z-]*\)\?\)\*.*/\1/p' "$page" | sort)
for opt in $(cut -d'|' -f3 <<<"$tree" | tr ' ' '\n' | grep -e '^--' | sort -u); do
    grep -qF -e "*$opt*" "$page" || { echo "$page lacks $opt" && exit 1; }
done

#!/bin/bash
# The man page documents exactly the commands, and every option, of the tree
# brdctl --help shows (tools/brdctl/completion.sh writes it).   man_drift.sh PAGE.scd TREE
set -eu
page=$1 tree=$2
diff -u --label "$tree" <(awk -F'|' '$1 != "" && $2 == "" { print $1 }' "$tree" | sort) \
    --label "$page" <(sed -n '/^# COMMANDS$/,/^# [A-Z]/ s/^\*\([a-z][a-z-]*\( [a-z][a-z-]*\)\?\)\*.*/\1/p' "$page" | sort)
for opt in $(cut -d'|' -f3 "$tree" | tr ' ' '\n' | grep -e '^--' | sort -u); do
    grep -qF -e "*$opt*" "$page" || { echo "$page lacks $opt" && exit 1; }
done

#!/bin/sh
# Writes brdctl's bash completion to $1, generated from the command tree that
# the built brdctl's own --help shows at every level, so that a new
# subcommand or option is completed without anyone remembering to. The tree
# goes to $2, one line per command, "PATH|SUBCOMMANDS|OPTIONS|VALUED"
# (VALUED: the options that take a value), for the man page test. The other
# arguments run brdctl, behind an emulator for a cross build.
set -eu
bash_out=$1 tree_out=$2
shift 2

# The line of the tree for the command path $path.
node() {
    # shellcheck disable=SC2086
    help=$("$@" $path --help)
    printf '%s\n' "$help" | awk -v path="$path" '
        /^[A-Z][A-Za-z ]*:$/ { section = $0; next }
        section == "Subcommands:" && /^  [a-z]/ { subs = subs " " $1 }
        section == "Options:" && /^  -/ {
            sig = substr($0, 3); sub(/  .*/, "", sig)
            n = split(sig, words, " "); split(words[1], names, ",")
            for (i in names) { opts = opts " " names[i]; if (n > 1) valued = valued " " names[i] }
        }
        END { print path "|" substr(subs, 2) "|" substr(opts, 2) "|" substr(valued, 2) }'
}

todo=","  # paths still to visit, each followed by a comma; the root is ""
while [ -n "$todo" ]; do
    path=${todo%%,*}
    todo=${todo#*,}
    line=$(node "$@")
    echo "$line"
    subs=${line#*|}
    for sub in ${subs%%|*}; do todo="$todo${path:+$path }$sub,"; done
done >"$tree_out"

# The root's options other than help are accepted after any subcommand too.
global=$(head -n1 "$tree_out" | cut -d'|' -f3 | tr ' ' '\n' | grep -v -e '^-h$' -e '^--help$' | xargs)
{
    cat <<'HEAD'
# bash completion for brdctl; generated from brdctl --help, do not edit.
_brdctl_node() {
    case $1 in
HEAD
    while IFS='|' read -r path subs opts valued; do
        [ -n "$path" ] && opts="$opts $global"
        printf "    '%s') subs='%s' opts='%s' valued='%s' ;;\n" "$path" "$subs" "$opts" "$valued"
    done <"$tree_out"
    cat <<'TAIL'
    esac
}
_brdctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local path='' subs='' opts='' valued='' i
    for ((i = 1; i < COMP_CWORD; i++)); do
        _brdctl_node "$path"
        [[ " $subs " == *" ${COMP_WORDS[i]} "* ]] && path=${path:+$path }${COMP_WORDS[i]}
    done
    _brdctl_node "$path"
    [[ " $valued " == *" $prev "* ]] && return 0
    mapfile -t COMPREPLY < <(compgen -W "$subs $opts" -- "$cur")
}
complete -F _brdctl brdctl
TAIL
} >"$bash_out"

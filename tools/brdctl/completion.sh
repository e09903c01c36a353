#!/bin/sh
# Writes brdctl's bash completion to $1, generated from the command tree that
# the built brdctl's own --help shows at every level, so that a new
# subcommand or option is completed without anyone remembering to. The tree
# goes to $2, one line per command, "PATH|SUBCOMMANDS|OPTIONS|VALUED|ARGS"
# (VALUED: the options that take a value; ARGS: the positional arguments in
# order, each NAME or NAME=VALUE,... when its help lists its values as
# {a,b}), for the man page test. The other arguments run brdctl, behind an
# emulator for a cross build.
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
        section == "Positionals:" && /^  [^ ]/ {
            sig = substr($0, 3); sub(/  .*/, "", sig)
            split(sig, words, " "); arg = words[1]
            if (words[2] ~ /^[{].*[}]$/) arg = arg "=" substr(words[2], 2, length(words[2]) - 2)
            args = args " " arg
        }
        END { print path "|" substr(subs, 2) "|" substr(opts, 2) "|" substr(valued, 2) "|" substr(args, 2) }'
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
    while IFS='|' read -r path subs opts valued args; do
        # Below the root only what the command itself lacks of the root's.
        if [ -n "$path" ]; then
            for opt in $global; do
                case " $opts " in *" $opt "*) ;; *) opts="$opts $opt" ;; esac
            done
        fi
        printf "    '%s') subs='%s' opts='%s' valued='%s' args='%s' ;;\n" \
            "$path" "$subs" "$opts" "$valued" "$args"
    done <"$tree_out"
    cat <<'TAIL'
    esac
}
_brdctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local path='' subs='' opts='' valued='' args='' i n=0 word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        _brdctl_node "$path"
        if [[ " $subs " == *" $word "* ]]; then
            path=${path:+$path }$word
        elif [[ $word != -* && " $valued " != *" ${COMP_WORDS[i - 1]} "* ]]; then
            n=$((n + 1))  # an argument of the command
        fi
    done
    _brdctl_node "$path"
    [[ " $valued " == *" $prev "* ]] && return 0
    # The argument at the cursor: FILE names a file, NAME=a,b lists values.
    local -a list
    read -r -a list <<<"$args"
    local arg=${list[n]:-} values='' value
    if [[ $cur != -* && $arg == FILE ]]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        compopt -o filenames 2>/dev/null
        return 0
    fi
    if [[ $arg == *=* ]]; then
        arg=${arg#*=}
        for value in ${arg//,/ }; do  # NUMBER and the like stand for any value
            [[ $value == [A-Z]* ]] || values="$values $value"
        done
    fi
    mapfile -t COMPREPLY < <(compgen -W "$subs $values $opts" -- "$cur")
}
complete -F _brdctl brdctl
TAIL
} >"$bash_out"

#!/bin/bash
# Replays TRANSCRIPT: each "$ " line is a shell command (brdctl: the build's, under the emulator if
# any), then its stdout (JSON compacted), stderr marked "! " and "  [N]" for a status N other than 0.
#   run.sh TRANSCRIPT BRDCTL [EMULATOR ARGS...]   BRDCTL_UPDATE=1 rewrites TRANSCRIPT
set -eu
work=$(mktemp -d /tmp/brdctl-transcript.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The emulator by its full path: one case leaves only the wrapper on PATH.
[ $# -lt 3 ] || emulator=$(command -v "$3")
mkdir "$work/bin"
printf '#!/bin/sh\nexec %s %s %s "$@"\n' "${emulator:-}" "${*:4}" "$2" >"$work/bin/brdctl"
chmod +x "$work/bin/brdctl"
# lsusb and usb_modeswitch are stand-ins kept next to this script, run from a copy: a checkout
# made under umask 002 leaves this directory group-writable.
mkdir "$work/usb"
cp "$(dirname "$0")/lsusb" "$(dirname "$0")/usb_modeswitch" "$work/usb"
chmod 0755 "$work/usb/lsusb" "$work/usb/usb_modeswitch"
PATH="$work/bin:$work/usb:$PATH"
export FAKE=$work PATH
cd "$work"
while IFS= read -r line; do
    case $line in
    '$ '*)
        printf '%s\n' "$line"
        status=0
        (eval "${line#??}") >out 2>err </dev/null || status=$?
        jq -c . out >res 2>/dev/null || cp out res
        sed 's/^/! /' err >>res
        if [ "$status" != 0 ]; then
            [ -s res ] || echo >res
            sed -i "\$s/\$/  [$status]/" res
        fi
        cat res
        ;;
    '#'* | '') printf '%s\n' "$line" ;;
    esac
done <"$1" >actual
[ "${BRDCTL_UPDATE:-}" != 1 ] || cp actual "$1"
diff -u "$1" actual

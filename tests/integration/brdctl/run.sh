#!/bin/sh
# Replays transcript.txt, brdctl's end-to-end test. Each "$ " line is a
# shell command run in this test's private namespace, where `brdctl` is the
# build's executable (under the emulator, in a cross build); the lines after
# it are what the command printed: stdout (a JSON document compacted to one
# line), then stderr marked "! ", with "  [N]" after the last line for an
# exit status N other than 0. The replay writes the transcript anew and
# compares the two.
#   run.sh TRANSCRIPT BRDCTL [EMULATOR ARGS...]   BRDCTL_UPDATE=1 rewrites TRANSCRIPT
set -eu
transcript=$1 exe=$2
shift 2
work=$(mktemp -d /tmp/brdctl-transcript.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/fake"
emulator=""
if [ $# -gt 0 ]; then
    emulator="$(command -v "$1") "
    shift
    emulator="$emulator$*"
fi
printf '#!/bin/sh\nexec %s %s "$@"\n' "$emulator" "$exe" >"$work/bin/brdctl"

# Stand-ins for the commands the library runs. lsusb's stderr reaches the
# caller's stdout ("2>&1 >"), so its noise must not show in brdctl's output.
cat >"$work/fake/lsusb" <<'SH'
#!/bin/sh
echo 'lsusb: noise' >&2
echo 'Bus 001 Device 001: ID 1d6b:0002 root hub'
[ ! -e "$FAKE/modem" ] || echo 'Bus 001 Device 004: ID 1a2b:1446 modem'
SH
cat >"$work/fake/usb_modeswitch" <<'SH'
#!/bin/sh
echo "$*" >"$FAKE/switched"
echo 'usb_modeswitch: chatter'
[ ! -e "$FAKE/fail" ]
SH
chmod +x "$work/bin/brdctl" "$work/fake/lsusb" "$work/fake/usb_modeswitch"
export FAKE="$work/fake" PATH="$work/bin:$work/fake:$PATH"

# usage ARGS: brdctl must refuse ARGS as a usage error, with status 2,
# nothing on stdout and one line on stderr, which it prints.
usage() {
    st=0
    brdctl "$@" >u.out 2>u.err || st=$?
    [ "$st" = 2 ] && [ ! -s u.out ] && [ "$(wc -l <u.err)" = 1 ] || echo "not a usage error: $st"
    cat u.err
}

cd "$work"
while IFS= read -r line; do
    case $line in
    '$ '*)
        printf '%s\n' "$line"
        status=0
        (eval "${line#??}") >out 2>err </dev/null || status=$?
        if [ -s out ] && jq -c . out >json 2>/dev/null; then cat json; else cat out; fi >res
        sed 's/^/! /' err >>res
        if [ "$status" -eq 0 ]; then cat res; elif [ -s res ]; then sed "\$s/\$/  [$status]/" res; else echo "[$status]"; fi
        ;;
    '#'* | '') printf '%s\n' "$line" ;;
    esac
done <"$transcript" >actual
[ "${BRDCTL_UPDATE:-}" != 1 ] || cp actual "$transcript"
diff -u "$transcript" actual

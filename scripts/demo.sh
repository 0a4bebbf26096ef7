#!/bin/sh
# Runs a demo on the simulated devices: kelbsim for the glove, the forcesim plug-in for the
# tracked arm and the grasp, and a temporary copy of the sample device registry.
#
#   scripts/demo.sh [--build DIR] DEMO [ARGS...]   run graspdemo, ghostdemo or devicedemo
#   scripts/demo.sh [--build DIR] --start STATE    start the devices, keep their state in STATE
#   scripts/demo.sh --stop STATE                   stop what --start started
#
# DIR is the build folder (default build/release). --start writes STATE/env, a file of
# exports for the demo's environment (MANUVIA_REGISTRY, RZ_PLUGIN_PATH, RZ_CONFIG_FILE), and
# STATE/forces.bin receives each force packet the grasp is sent.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build/release"

usage() {
    sed -n '4,7p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# Starts kelbsim and writes the registry, configuration and env file into $1.
start() {
    state=$1
    mkdir -p "$state"
    state=$(cd "$state" && pwd)
    kelbsim="$build/bin/kelbsim"
    plugins="$build/lib/rzplugins"
    [ -x "$kelbsim" ] || { echo "demo.sh: no kelbsim in $build (build it first)" >&2; exit 1; }
    [ -f "$plugins/forcesim.so" ] || { echo "demo.sh: no forcesim plug-in in $plugins" >&2; exit 1; }
    # The registry's serial-port field holds 20 characters: a short link, one per state folder.
    link="/tmp/mdemo-$(printf '%s' "$state" | cksum | cut -c1-8)"
    sed -e "s|/tmp/manuvia-kelb0|$link|" "$here/platform/registry/sample/devices.json" \
        > "$state/devices.json"
    # The arm sweeps the hand, fingers first, from beside the scene into its objects and back.
    cat > "$state/devicemanager.conf" <<CONF
[device=forcesim:item=script:name=forcesim0]
0 -27 0 0 -90 0 0
4 -17 0 0 -90 0 0
8 -27 0 0 -90 0 0
[device=forcesim:item=dump:name=forcesim0]
$state/forces.bin
CONF
    cat > "$state/env" <<ENV
export MANUVIA_REGISTRY='$state/devices.json'
export RZ_PLUGIN_PATH='$plugins'
export RZ_CONFIG_FILE='$state/devicemanager.conf'
ENV
    if [ -f "$state/kelbsim.pid" ] && kill -0 "$(cat "$state/kelbsim.pid")" 2>/dev/null; then
        return 0
    fi
    rm -f "$link"
    "$kelbsim" --link "$link" > "$state/kelbsim.log" 2>&1 &
    echo $! > "$state/kelbsim.pid"
    echo "$link" > "$state/kelbsim.link"
    tries=0
    while [ ! -e "$link" ]; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "$(cat "$state/kelbsim.pid")" 2>/dev/null; then
            echo "demo.sh: kelbsim did not start:" >&2
            cat "$state/kelbsim.log" >&2
            stop "$state"
            exit 1
        fi
        sleep 0.1
    done
}

stop() {
    state=$1
    if [ -f "$state/kelbsim.pid" ]; then
        pid=$(cat "$state/kelbsim.pid")
        if kill "$pid" 2>/dev/null; then
            tries=0
            while kill -0 "$pid" 2>/dev/null && [ $tries -lt 50 ]; do
                tries=$((tries + 1))
                sleep 0.1
            done
        fi
        rm -f "$state/kelbsim.pid"
    fi
    if [ -f "$state/kelbsim.link" ]; then
        rm -f "$(cat "$state/kelbsim.link")" "$state/kelbsim.link"
    fi
}

[ $# -ge 1 ] || usage
if [ "$1" = "--build" ]; then
    [ $# -ge 3 ] || usage
    build=$(cd "$2" && pwd)
    shift 2
fi
case "$1" in
    --start) [ $# -eq 2 ] || usage; start "$2"; exit 0 ;;
    --stop) [ $# -eq 2 ] || usage; stop "$2"; exit 0 ;;
    -*) usage ;;
esac

demo=$1
shift
program="$build/bin/$demo"
[ -x "$program" ] || { echo "demo.sh: no $demo in $build/bin" >&2; exit 1; }
state=$(mktemp -d /tmp/manuvia-demo-XXXXXX)
trap 'stop "$state"; rm -rf "$state"' EXIT
trap 'exit 130' INT TERM
start "$state"
. "$state/env"
# The demo runs as a child we wait for, so a signal to this script reaches it too and the
# devices are stopped only after it has ended; it keeps this script's standard input.
exec 3<&0
"$program" "$@" <&3 3<&- &
child=$!
trap 'kill -TERM "$child" 2>/dev/null' INT TERM
status=0
while :; do
    wait "$child" && status=0 || status=$?
    # A wait cut short by a signal gives more than 128 while the child still runs.
    kill -0 "$child" 2>/dev/null || break
done
exit $status

#!/usr/bin/env bash
# `make run`: the system report, then a run of the bundled sample sets with `vivozi watch`
# listening beside it. Without a reachable system bus, a private dbus-daemon stands in for it
# for the length of the demo.
set -euo pipefail

build=${1:-build}
vivozi=$build/cli/vivozi
if [ ! -x "$vivozi" ]; then
    echo "run-demo: $vivozi is not built" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vivozi-demo-run.XXXXXX")
daemon_pid=
watch_pid=

stop() { # signal pid: ask it to end and wait for it to go
    kill "-$1" "$2" 2>/dev/null || true
    wait "$2" 2>/dev/null || true
}
cleanup() {
    [ -z "$watch_pid" ] || stop INT "$watch_pid"
    [ -z "$daemon_pid" ] || stop TERM "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT

# Starts `vivozi watch` in the background; fails when it cannot reach a bus.
start_watch() {
    "$vivozi" watch --count 3 >"$work/watch.out" 2>"$work/watch.err" &
    watch_pid=$!
    for _ in $(seq 100); do
        if grep -q 'watching' "$work/watch.err"; then
            return 0
        fi
        if ! kill -0 "$watch_pid" 2>/dev/null; then
            wait "$watch_pid" 2>/dev/null || true
            watch_pid=
            return 1
        fi
        sleep 0.1
    done
    return 1
}

# A bus with the system bus's policy for signals (the tests use the same configuration),
# listening in our temporary folder.
start_private_bus() {
    sed "s|@SOCKET_PATH@|$work/system_bus_socket|" \
        "$(dirname "$0")/private-system-bus.conf" >"$work/bus.conf"
    dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --nosyslog \
        --print-address >"$work/bus.address" 2>"$work/bus.log" &
    daemon_pid=$!
    for _ in $(seq 100); do
        if [ -s "$work/bus.address" ]; then
            DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/bus.address")
            export DBUS_SYSTEM_BUS_ADDRESS
            return 0
        fi
        sleep 0.1
    done
    echo "run-demo: dbus-daemon did not start:" >&2
    cat "$work/bus.log" >&2
    return 1
}

# The folder vivozi itself would pick: each variable only when it is an absolute path, else the
# account's home from the password database; never a shared folder. vivozi checks and marks it.
state=${XDG_STATE_HOME:-}
case $state in
/*) ;;
*)
    home=${HOME:-}
    case $home in
    /*) ;;
    *) home=$(getent passwd "$(id -u)" | cut -d: -f6) ;;
    esac
    case $home in
    /*) state=$home/.local/state ;;
    *)
        echo "run-demo: no home folder for the sample sets to work in" >&2
        exit 1
        ;;
    esac
    ;;
esac
demo_dir=$state/vivozi-demo

echo "\$ vivozi"
"$vivozi"
echo

if ! start_watch; then
    echo "(no system bus here: starting a private dbus-daemon for the demo)"
    start_private_bus
    start_watch
fi

echo "\$ vivozi run --demo daily weekly monthly      # with 'vivozi watch' listening beside it"
status=0
"$vivozi" run --demo --demo-dir "$demo_dir" daily weekly monthly || status=$?

# The watcher stops by itself after the three broadcasts; give it a moment to print them.
for _ in $(seq 50); do
    kill -0 "$watch_pid" 2>/dev/null || break
    sleep 0.1
done
stop INT "$watch_pid"
watch_pid=
echo
echo "What 'vivozi watch' received meanwhile (time, percent, status, set):"
sed 's/^/  /' "$work/watch.out"

echo
echo "The last entries of the sample sets' journal, $demo_dir/maintenance.log:"
tail -n 5 "$demo_dir/maintenance.log" | sed 's/^/  /'
exit "$status"

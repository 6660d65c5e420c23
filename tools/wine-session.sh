#!/usr/bin/env bash
# Starts or ends the Wine session that the tests, the coverage run and the benchmark share: the
# prefix (tools/wine-run.sh makes it), one persistent wineserver, and Wine's services and desktop
# process kept up by an idle cmd until the session ends. CTest starts and ends it as a fixture.
#   tools/wine-session.sh start   ends a session of the prefix still running, then starts one
#   tools/wine-session.sh stop    ends the session: the wineserver, every program of the prefix
# The prefix is KESTRUM_WINEPREFIX, by default build/wineprefix. Everything the session leaves
# running has its standard input and output on /dev/null or the keeper's fifo: a wineserver, or a
# Wine service, that inherits a pipe keeps it open, and whoever reads that pipe (CTest, a `| tail`)
# waits for its end until the session ends.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${KESTRUM_WINEPREFIX:-$project/build/wineprefix}
source "$project/tools/wine-env.sh"
# The process that holds the keeper's fifo open; the idle cmd reads the fifo until it closes.
holder_file=$WINEPREFIX/.kestrum-session
keeper=$WINEPREFIX/.kestrum-keeper
ready=$WINEPREFIX/.kestrum-keeper-ready

stop() {
    # Only the holder itself: after a reboot its number may belong to another process.
    local holder
    holder=$(cat "$holder_file" 2>/dev/null || true)
    local command_line
    command_line=$(tr '\0' ' ' 2>/dev/null <"/proc/${holder:-none}/cmdline" || true)
    if [ -n "$holder" ] && [ "$command_line" = "sleep infinity " ]; then
        kill "$holder" || true
    fi
    rm -f "$holder_file" "$keeper" "$ready"
    # wineserver makes a missing prefix's folder; there is nothing to end then.
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
}

start() {
    stop
    # tools/wine-run.sh makes the prefix and adds the printer when its marks are missing. The
    # wineserver that made it would refuse the persistent one.
    if [ ! -e "$WINEPREFIX/.kestrum-ready" ] || [ ! -e "$WINEPREFIX/.kestrum-printer" ]; then
        "$project/tools/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    wineserver -p </dev/null >/dev/null 2>&1
    # Whenever no program of the prefix runs, Wine ends its services and explorer.exe; the next
    # program that needs them starts them again, and they keep the handles it passes on, such as
    # a test's pipes, which then never close. A cmd that waits for a key on a fifo nobody writes
    # keeps them up. Read-write, the fifo opens without waiting for the other end.
    mkfifo "$keeper"
    setsid sleep infinity </dev/null >/dev/null 2>&1 1<>"$keeper" &
    echo $! >"$holder_file"
    # Until that cmd runs, the services end with the last program before it, and the first test
    # starts them again: they then carry its handles and environment. The cmd says when it runs.
    rm -f "$ready"
    setsid "$project/tools/wine-run.sh" cmd /c "echo ready& pause" \
        <"$keeper" >"$ready" 2>/dev/null &
    local tenths=$((600 * ${KESTRUM_TIMEOUT_SCALE:-1}))
    until grep -q ready "$ready" 2>/dev/null; do
        tenths=$((tenths - 1))
        if [ $tenths -eq 0 ]; then
            echo "wine-session: the idle cmd of $WINEPREFIX did not start in time" >&2
            exit 1
        fi
        sleep 0.1
    done
    # The same holds for Wine's desktop process, which the first program that draws (a printed
    # page) would start otherwise: user32 starts it here, off any pipe.
    "$project/tools/wine-run.sh" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
}

case "${1:-}" in
    start) start ;;
    stop) stop ;;
    *) echo "usage: tools/wine-session.sh start|stop" >&2; exit 2 ;;
esac

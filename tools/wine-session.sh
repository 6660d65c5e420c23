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

stop() {
    if [ -s "$holder_file" ]; then
        kill "$(cat "$holder_file")" 2>/dev/null || true
    fi
    rm -f "$holder_file" "$keeper"
    # wineserver makes a missing prefix's folder; there is nothing to end then.
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
}

start() {
    stop
    # Makes the prefix on first use. The wineserver that made it would refuse the persistent one.
    "$project/tools/wine-run.sh" cmd /c exit 0 </dev/null >/dev/null 2>&1
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
    # Whenever no program of the prefix runs, Wine ends its services and explorer.exe; the next
    # program that needs them starts them again, and they keep the handles it passes on, such as
    # a test's pipes, which then never close. A cmd that waits for a key on a fifo nobody writes
    # keeps them up. Read-write, the fifo opens without waiting for the other end.
    mkfifo "$keeper"
    setsid sleep infinity </dev/null >/dev/null 2>&1 1<>"$keeper" &
    echo $! >"$holder_file"
    setsid "$project/tools/wine-run.sh" cmd /c pause >/dev/null 2>&1 <"$keeper" &
    # The same holds for Wine's desktop process, which the first program that draws (a printed
    # page) would start otherwise: user32 starts it here, off any pipe.
    "$project/tools/wine-run.sh" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
}

case "${1:-}" in
    start) start ;;
    stop) stop ;;
    *) echo "usage: tools/wine-session.sh start|stop" >&2; exit 2 ;;
esac

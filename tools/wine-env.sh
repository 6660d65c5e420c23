# The environment every Wine program of the project runs in. Sourced, with WINEPREFIX set.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Without it, Wine 10's explorer.exe writes "error: XDG_RUNTIME_DIR is invalid or not set in the
# environment." to the standard error of the first program of a wineserver (CI, sudo, cron).
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=$(dirname "$WINEPREFIX")/xdg-runtime
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi

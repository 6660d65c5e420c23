#!/usr/bin/env bash
# Soak: 10,000 jobs of 0 to 4 MiB from 16 printers, 4 of them slow, into a kestrum.exe the soak
# program starts itself; every file is checked by hash, and the server's handle count and
# resident memory after the first 100 jobs are compared with those after the last.
# Usage: tools/soak.sh [JOBS [PRINTERS]]. Not part of tools/test.sh; takes several minutes.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/build.sh" >/dev/null
folder=$project/build/soak
rm -rf "$folder" && mkdir -p "$folder"
exec "$project/tools/wine-run.sh" "$project/build/bin/soak.exe" \
    "Z:${folder//\//\\}" "$@"

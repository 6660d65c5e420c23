#!/usr/bin/env bash
# Builds kestrum.exe and runs it under Wine; arguments go to the server. Drive D: is build/spool,
# so the default output template lands jobs in build/spool/Qelmar/Temp.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$project/tools/build.sh" --quiet
exec "$project/tools/wine-run.sh" "$project/build/bin/kestrum.exe" "$@"

#!/usr/bin/env bash
# Runs a Windows program under Wine in this build tree's prefix:
#   wine-run.sh [--prefix DIR] PROGRAM [ARGS...]     run it (used as the cross-compiling emulator)
#   wine-run.sh [--prefix DIR] --stop                 end the prefix's wineserver
# The prefix is created on first use; its wineserver is started persistent and warmed up once,
# under a lock, so parallel callers wait for one set-up and later processes start in milliseconds.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prefix=${MINISTUB_WINEPREFIX:-$here/../build/wineprefix}
if [ "${1:-}" = "--prefix" ]; then
  prefix=$2
  shift 2
fi
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX
WINEPREFIX=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
. "$here/wine-env.sh"

if [ "${1:-}" = "--stop" ]; then
  [ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
  exit 0
fi
[ $# -ge 1 ] || { echo "usage: $0 [--prefix DIR] PROGRAM [ARGS...] | --stop" >&2; exit 2; }

# fd 9 holds the set-up lock; nothing started under it may inherit it, or the lock would
# outlive this script inside the wineserver.
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
  wineserver -w </dev/null >/dev/null 2>&1 9>&- || true
fi
# Starting a persistent server fails when one already runs for this prefix: then it is warm.
if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
  # A first process spawns the prefix's services; they must not inherit anyone's pipes.
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

# The first program of a session that opens a window starts Wine's desktop process, which
# inherits the program's stdout and stderr and lives while any program of the session has a
# window. A reader of a pipe (ctest) would wait for that process as well: the program writes into
# files instead, copied on when it ends.
if [ -p /dev/stdout ] || [ -p /dev/stderr ]; then
  out=$(mktemp) err=$(mktemp)
  trap 'rm -f "$out" "$err"' EXIT
  rc=0
  wine "$@" >"$out" 2>"$err" || rc=$?
  cat "$out"
  cat "$err" >&2
  exit $rc
fi
exec wine "$@"

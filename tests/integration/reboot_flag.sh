#!/usr/bin/env bash
# The pending-restart marker is volatile: a restart (here: the prefix's wineserver stopped and
# started cold, which drops volatile keys as a system restart does) removes it.
# Stopping the server ends every process of the prefix: the test runs alone (RUN_SERIAL).
#   reboot_flag.sh WINE_RUNNER PREFIX REBOOTFLAG_EXE
set -euo pipefail
runner=$1 prefix=$2 flag=$3
wrun() { "$runner" --prefix "$prefix" "$@" | tr -d '\r'; }
fail() { echo "FAIL: $*" >&2; wrun "$flag" clear >/dev/null; exit 1; }

wrun "$flag" set
[ "$(wrun "$flag" check)" = "pending=1" ] || fail "marker not set"
"$runner" --prefix "$prefix" --stop
[ "$(wrun "$flag" check)" = "pending=0" ] || fail "the marker survived a restart"

# Without the vendor key, the marker must not make the vendor key volatile: lasting keys (the
# failure count) are made beside it, and the vendor key outlives the restart.
[ "$(wrun "$flag" fresh)" = "durable=1" ] || fail "no lasting key beside a fresh marker"
[ "$(wrun "$flag" check)" = "pending=1" ] || fail "fresh marker not set"
"$runner" --prefix "$prefix" --stop
[ "$(wrun "$flag" check)" = "pending=0" ] || fail "the fresh marker survived a restart"
[ "$(wrun "$flag" lasting)" = "lasting=1" ] || fail "the vendor key did not outlive the restart"
echo "reboot flag: ok"

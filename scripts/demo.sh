#!/usr/bin/env bash
# The demo: builds MiniStub.exe, runs it under Wine with file tracing switched on by its debug
# options, and prints its full exit code and its trace log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MINISTUB_BUILD_DIR:-$root/build}

bash "$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" >/dev/null
cmake --build "$build" --target MiniStub RunExit

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/app" "$demo/logs"
cp "$build/stub/MiniStub.exe" "$demo/app/"
# The demo product's silo: isolate.ini beside the stub names it; its debug options live under it.
silo="{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}"
printf '[isolation]\r\nsilo=%s\r\n' "$silo" > "$demo/app/isolate.ini"

export MINISTUB_ROOT=$root MINISTUB_BUILD=$build MINISTUB_DEMO=$demo MINISTUB_SILO=$silo
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -euo pipefail
  run() { "$MINISTUB_ROOT/scripts/wine-run.sh" --prefix "$MINISTUB_BUILD/wineprefix" "$@"; }
  winpath() { printf "Z:%s" "$(echo "$1" | tr / \\\\)"; }
  "$MINISTUB_ROOT/scripts/wine-run.sh" --prefix "$MINISTUB_BUILD/wineprefix" --stop
  key="HKLM\\Software\\Korvanta\\Isolation\\$MINISTUB_SILO\\Quillon\\Debug\\DebugOutput"
  run reg add "$key" /v DebugType /t REG_DWORD /d 1 /f >/dev/null
  run reg add "$key" /v OutputToFile /t REG_DWORD /d 1 /f >/dev/null
  run reg add "$key" /v OutputToDebugger /t REG_DWORD /d 0 /f >/dev/null
  run reg add "$key" /v Directory /t REG_SZ /d "$(winpath "$MINISTUB_DEMO/logs")" /f >/dev/null
  echo "== running MiniStub.exe /qn"
  run "$MINISTUB_BUILD/tests/fixtures/RunExit.exe" "$(winpath "$MINISTUB_DEMO/app/MiniStub.exe")" /qn | tr -d "\r"
  "$MINISTUB_ROOT/scripts/wine-run.sh" --prefix "$MINISTUB_BUILD/wineprefix" --stop
'
for log in "$demo"/logs/*.log; do
  echo "== trace log $(basename "$log")"
  iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r'
done

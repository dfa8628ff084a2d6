#!/usr/bin/env bash
# The demo: builds MiniStub.exe and the installer builder, makes a signed installer of a small
# demo product (throwaway self-signed certificate), writes its product settings behind the
# signature, shows what the installer holds and that its signature still holds, then runs it
# under Wine with file tracing switched on by its debug options and prints its full exit code
# and its trace log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/bootstrap.sh"
# The shipped stub is 32-bit; a kernel that cannot start 32-bit programs runs the 64-bit build.
. "$root/scripts/wine-env.sh"
toolchain=i686 default_build=$root/build
if [ "$MINISTUB_WINE64_ONLY" = 1 ]; then
  echo "== this kernel cannot start 32-bit programs: the demo runs the 64-bit build"
  toolchain=x86_64 default_build=$root/build-x64
fi
build=${MINISTUB_BUILD_DIR:-$default_build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain.cmake" >/dev/null
cmake --build "$build" --target MiniStub RunExit ministub-build VerifyTrust

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/app" "$demo/logs" "$demo/make/ui" "$demo/make/layout/Demo Product"

# The payload: an install UI archive and a layout archive of the demo product's files.
printf 'Demo Product\r\n' > "$demo/make/ui/title.txt"
printf 'Demo Product readme\r\n' > "$demo/make/layout/Demo Product/readme.txt"
head -c 200000 /dev/urandom > "$demo/make/layout/Demo Product/data.bin"
(cd "$demo/make/ui" && 7zz a -t7z ../ui.7z . >/dev/null)
(cd "$demo/make/layout" && 7zz a -t7z ../layout.7z . >/dev/null)
cat > "$demo/make/settings.txt" <<'TEXT'
# demo product settings
0 = wstring:DEMO
1 = dword:2014
11 = bool:false
TEXT
# A throwaway certificate signs the stub and then the installer.
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=MiniStub Demo Signing" -days 1 \
  -keyout "$demo/make/key.pem" -out "$demo/make/cert.pem" >/dev/null 2>&1
osslsigncode sign -certs "$demo/make/cert.pem" -key "$demo/make/key.pem" -n "MiniStub demo" \
  -in "$build/stub/MiniStub.exe" -out "$demo/make/stub-signed.exe" >/dev/null
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
  make="$MINISTUB_DEMO/make"
  builder="$MINISTUB_BUILD/tools/ministub-build/ministub-build.exe"
  echo "== packing the signed stub with the demo payload"
  run "$builder" pack --stub "$(winpath "$make/stub-signed.exe")" \
    --ui-package "$(winpath "$make/ui.7z")=QDX-TRRootuiPackage.7z" \
    --layout "$(winpath "$make/layout.7z")=QDX-TRRoot.7z" --out "$(winpath "$make/unsigned.exe")" | tr -d "\r"
  osslsigncode sign -certs "$make/cert.pem" -key "$make/key.pem" -n "MiniStub demo" \
    -in "$make/unsigned.exe" -out "$MINISTUB_DEMO/app/DemoSetup.exe" >/dev/null
  echo "== writing the product settings into the signed installer"
  run "$builder" settings "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" --from "$(winpath "$make/settings.txt")"
  run "$builder" inspect "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" | tr -d "\r"
  echo "== the system'"'"'s signature check (0x00000000: intact)"
  run "$MINISTUB_BUILD/tests/fixtures/VerifyTrust.exe" "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" | tr -d "\r"
  echo "== running DemoSetup.exe /qn"
  run "$MINISTUB_BUILD/tests/fixtures/RunExit.exe" "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" /qn | tr -d "\r"
  "$MINISTUB_ROOT/scripts/wine-run.sh" --prefix "$MINISTUB_BUILD/wineprefix" --stop
'
for log in "$demo"/logs/*.log; do
  echo "== trace log $(basename "$log")"
  iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r'
done

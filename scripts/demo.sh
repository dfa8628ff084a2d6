#!/usr/bin/env bash
# The demo: builds MiniStub.exe, the installer builder and the demo product's install engine and
# install UI; makes a signed installer of the demo product (throwaway self-signed certificate)
# with its settings written behind the signature, in one `make` from samples/product/product.ini;
# shows what the installer holds and that its signature still holds; installs it under Wine and
# prints the full exit code, where the product went, the install cache and the run's log; then
# runs it again over the complete cache.
#   demo.sh          quiet install (/qn)
#   demo.sh --ui     the install with its window (under Xvfb), saving a screenshot of it
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
with_ui=0
[ "${1:-}" = "--ui" ] && with_ui=1

bash "$root/scripts/bootstrap.sh"
if [ "$with_ui" = 1 ] && ! command -v import >/dev/null; then
  apt-get install -y -qq --no-install-recommends imagemagick >/dev/null
fi
# The shipped stub is 32-bit; a kernel that cannot start 32-bit programs runs the 64-bit build.
. "$root/scripts/wine-env.sh"
toolchain=i686 default_build=$root/build
if [ "$MINISTUB_WINE64_ONLY" = 1 ]; then
  echo "== this kernel cannot start 32-bit programs: the demo runs the 64-bit build"
  toolchain=x86_64 default_build=$root/build-x64
fi
build=${MINISTUB_BUILD_DIR:-$root/build}
[ -n "${MINISTUB_BUILD_DIR:-}" ] || build=$default_build
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain.cmake" >/dev/null
cmake --build "$build" --target MiniStub RunExit ministub-build VerifyTrust sample_engine installui

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/app" "$demo/make/ui" "$demo/make/install/InstallPackage"

# The payload: the install UI with its language modules, and the install package (engine,
# manifest, product files) that the stub unpacks into its cache.
ui_dir=$build/samples/installui
cp "$ui_dir/InstUI.dll" "$demo/make/ui/"
for language in 09/01 07/01 0C/01; do
  mkdir -p "$demo/make/ui/$language"
  cp "$ui_dir/$language/InsMUI.loc" "$demo/make/ui/$language/"
done
cp "$build/samples/engine/engine.dll" "$demo/make/install/InstallPackage/"
cp "$root/samples/product/Install.mft" "$demo/make/install/InstallPackage/"
cp -r "$root/samples/product/files" "$demo/make/install/InstallPackage/"
if [ "$with_ui" = 1 ]; then
  # Slow enough to watch the progress bar.
  printf '\r\n[Outcome]\r\nDelayMs=1500\r\n' >> "$demo/make/install/InstallPackage/Install.mft"
fi
silo="{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}"   # as samples/product/product.ini says
# A throwaway certificate signs the stub and then the installer.
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=MiniStub Demo Signing" -days 1 \
  -keyout "$demo/make/key.pem" -out "$demo/make/cert.pem" >/dev/null 2>&1
osslsigncode sign -certs "$demo/make/cert.pem" -key "$demo/make/key.pem" -n "MiniStub demo" \
  -in "$build/stub/MiniStub.exe" -out "$demo/make/stub-signed.exe" >/dev/null

export MINISTUB_ROOT=$root MINISTUB_BUILD=$build MINISTUB_DEMO=$demo MINISTUB_SILO=$silo MINISTUB_WITH_UI=$with_ui
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -euo pipefail
  # A prefix of its own, made afresh: the demo starts on a machine that never saw the product.
  prefix="$MINISTUB_DEMO/wineprefix"
  run() { "$MINISTUB_ROOT/scripts/wine-run.sh" --prefix "$prefix" "$@"; }
  winpath() { printf "Z:%s" "$(echo "$1" | tr / \\\\)"; }
  make="$MINISTUB_DEMO/make"
  builder="$MINISTUB_BUILD/tools/ministub-build/ministub-build.exe"
  drive_c="$prefix/drive_c"

  echo "== making DemoSetup.exe from samples/product/product.ini (compress, pack, sign, settings, check)"
  run "$builder" make "$(winpath "$MINISTUB_ROOT/samples/product/product.ini")" \
    --define "stub=$(winpath "$make/stub-signed.exe")" --define "staging=$(winpath "$make")" --define "keys=$make" \
    --out "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" --json > "$make/report.json"
  python3 -c "import json,sys; d=json.load(open(sys.argv[1])); [print(\"  %-28s %9d bytes from %9d (%.0f %%) in %.2f s\" % (e[\"name\"], e[\"bytes\"], e[\"sourceBytes\"], 100.0 * e[\"ratio\"], e[\"seconds\"])) for e in d[\"entries\"] if \"ratio\" in e]; print(\"  made in %.2f s\" % d[\"seconds\"][\"total\"])" "$make/report.json"
  run "$builder" inspect "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" | tr -d "\r"
  echo "== the system'"'"'s signature check (0x00000000: intact)"
  run "$MINISTUB_BUILD/tests/fixtures/VerifyTrust.exe" "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" | tr -d "\r"

  logs="$drive_c/ProgramData/VelmorInstaller/Logs"
  if [ "$MINISTUB_WITH_UI" = 1 ]; then
    echo "== running DemoSetup.exe with its window (screenshot: $MINISTUB_DEMO/install-window.png)"
    run "$MINISTUB_BUILD/tests/fixtures/RunExit.exe" "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" \
      > "$MINISTUB_DEMO/run1.txt" &
    sleep 4
    import -window root "$MINISTUB_DEMO/install-window.png" || echo "(no screenshot)"
    wait
    tr -d "\r" < "$MINISTUB_DEMO/run1.txt"
  else
    echo "== running DemoSetup.exe /qn"
    run "$MINISTUB_BUILD/tests/fixtures/RunExit.exe" "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" /qn | tr -d "\r"
  fi
  for product in "$drive_c/Program Files (x86)/Velmor Sample Product" "$drive_c/Program Files/Velmor Sample Product"; do
    if [ -d "$product" ]; then
      echo "== the product, installed into ${product#$drive_c/}"
      (cd "$product" && find . -type f | sort)
    fi
  done
  for cache in "$drive_c"/Program\ Files*/VelmorInstaller/"$MINISTUB_SILO"/DEMO/1.0.0.0; do
    [ -d "$cache" ] || continue
    echo "== the install cache ${cache#$drive_c/}"
    (cd "$cache" && find . -maxdepth 1 -type f | sort)
  done
  for folder in $(ls "$logs"); do
    for log in "$logs/$folder"/*.log; do
      echo "== the run'"'"'s log ${log#$drive_c/}"
      iconv -f UTF-16 -t UTF-8 "$log" | tr -d "\r"
    done
  done

  sleep 1   # a log folder of its own (they are named to the second)
  echo "== running DemoSetup.exe /x /qn again: the complete cache is used as it is"
  run "$MINISTUB_BUILD/tests/fixtures/RunExit.exe" "$(winpath "$MINISTUB_DEMO/app/DemoSetup.exe")" /x /qn | tr -d "\r"
  latest=$(ls -t "$logs" | sed -n 1p)
  iconv -f UTF-16 -t UTF-8 "$logs/$latest"/*.log | tr -d "\r" | grep -E "Extract|Layout|engine returned" || true
  "$MINISTUB_ROOT/scripts/wine-run.sh" --prefix "$prefix" --stop
'

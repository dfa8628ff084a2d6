#!/usr/bin/env bash
# The whole test suite from a clean checkout: set-up, the 32-bit build with its tests under Wine,
# and the 64-bit build (compiled, warning-clean). Ends with ctest's summary; exits with its status.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MINISTUB_BUILD_DIR:-$root/build}
build64=${MINISTUB_BUILD64_DIR:-$root/build-x64}
jobs=$(nproc)

bash "$root/scripts/bootstrap.sh"

echo "== 64-bit build"
cmake -S "$root" -B "$build64" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" \
  -DMINISTUB_WERROR=ON >/dev/null
cmake --build "$build64" -j "$jobs"

echo "== 32-bit build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" \
  -DMINISTUB_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

echo "== tests under Wine"
# One Xvfb session for the whole run: the prefix's wineserver is started inside it (by the first
# test through the Wine runner) and ended with it.
export MINISTUB_ROOT=$root MINISTUB_BUILD=$build
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  runner="$MINISTUB_ROOT/scripts/wine-run.sh"
  "$runner" --prefix "$MINISTUB_BUILD/wineprefix" --stop
  set +e
  ctest --test-dir "$MINISTUB_BUILD" -j "$(nproc)" --output-on-failure --timeout 300
  rc=$?
  "$runner" --prefix "$MINISTUB_BUILD/wineprefix" --stop
  exit $rc
'

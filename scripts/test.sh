#!/usr/bin/env bash
# The whole test suite from a clean checkout: set-up, both builds (warning-clean), and the tests of
# the 32-bit build under Wine. On a kernel that cannot start 32-bit programs the 64-bit build's
# tests run instead, and its image tests inspect the shipped 32-bit stub. The 64-bit build is the
# hardened flavour (undefined-behaviour traps, library assertions, stack protection), so there the
# suite is also the hardened flavour's. Ends with ctest's summary; exits with its status.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MINISTUB_BUILD_DIR:-$root/build}
build64=${MINISTUB_BUILD64_DIR:-$root/build-x64}
jobs=$(nproc)

bash "$root/scripts/bootstrap.sh"

echo "== 64-bit build"
cmake -S "$root" -B "$build64" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" \
  -DMINISTUB_WERROR=ON -DMINISTUB_HARDENED=ON >/dev/null
cmake --build "$build64" -j "$jobs"

echo "== 32-bit build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" \
  -DMINISTUB_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

tested=$build
. "$root/scripts/wine-env.sh"
if [ "$MINISTUB_WINE64_ONLY" = 1 ]; then
  echo "== this kernel cannot start 32-bit programs: running the 64-bit build's tests;"
  echo "   the image tests check the 32-bit stub $build/stub/MiniStub.exe"
  tested=$build64
  export MINISTUB_IMAGE=$build/stub/MiniStub.exe
fi

echo "== tests under Wine"
# One Xvfb session for the whole run: the prefix's wineserver is started inside it (by the first
# test through the Wine runner) and ended with it.
export MINISTUB_ROOT=$root MINISTUB_BUILD=$tested
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  runner="$MINISTUB_ROOT/scripts/wine-run.sh"
  "$runner" --prefix "$MINISTUB_BUILD/wineprefix" --stop
  set +e
  ctest --test-dir "$MINISTUB_BUILD" -j "$(nproc)" --output-on-failure --timeout 300
  rc=$?
  "$runner" --prefix "$MINISTUB_BUILD/wineprefix" --stop
  exit $rc
'

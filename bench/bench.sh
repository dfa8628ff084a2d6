#!/usr/bin/env bash
# All of the stub's performance figures from one run (see README.md):
#   bash bench/bench.sh [BUILD_DIR] [FIGURE...]   FIGURE: size extract large smallfiles make startup
# BUILD_DIR is the tree whose programs run under Wine (default: build/, or build-x64/ on a kernel
# that cannot start 32-bit programs); the size is always the shipped 32-bit stub's
# (MINISTUB_IMAGE, default build/stub/MiniStub.exe). BENCH_BASELINE=DIR pairs every figure with
# another build's MiniStub.exe, ExtractBench.exe and ministub-build.exe (and MiniStub-i686.exe for
# the size) in that folder, measured in the same run, alternating. BENCH_RUNS sets the repetitions
# (default 5).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/bootstrap.sh" >/dev/null
. "$root/scripts/wine-env.sh"

build=
figures=()
for arg in "$@"; do
  case $arg in
    size|extract|large|smallfiles|make|startup) figures+=("$arg") ;;
    *) build=$arg ;;
  esac
done
[ ${#figures[@]} -gt 0 ] || figures=(size extract large smallfiles make startup)
toolchain=i686
default_build=$root/build
if [ "$MINISTUB_WINE64_ONLY" = 1 ]; then
  toolchain=x86_64 default_build=$root/build-x64
fi
build=${build:-${MINISTUB_BUILD_DIR:-$default_build}}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain.cmake" >/dev/null
fi
cmake --build "$build" --target MiniStub ministub-build ExtractBench sample_engine installui >/dev/null
build=$(cd "$build" && pwd)
image=${MINISTUB_IMAGE:-$root/build/stub/MiniStub.exe}

work=$build/bench-work
rm -rf "$work"
mkdir -p "$work"
export MINISTUB_ROOT=$root MINISTUB_BUILD=$build BENCH_WORK=$work BENCH_IMAGE=$image
export BENCH_FIGURES="${figures[*]}" BENCH_RUNS=${BENCH_RUNS:-5} BENCH_BASELINE=${BENCH_BASELINE:-}
xvfb-run -a -s "-screen 0 1024x768x24" python3 "$root/bench/bench.py"

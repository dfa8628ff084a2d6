#!/usr/bin/env bash
# Extraction benchmark: MiniStub's unpacker under Wine against native `7zz x` on the same
# LZMA + BCJ2 layout archive (Windows DLLs as payload, the kind of data installers carry).
#   bash bench/extract_bench.sh [BUILD_DIR]
# BUILD_DIR defaults to build/ (configured for the shipped 32-bit target when missing; set
# MINISTUB_TOOLCHAIN=x86_64 to configure the 64-bit one). Prints throughput as MB/s and as a ratio
# to 7zz, and peak memory (minus a do-nothing process's under Wine) against the dictionary size,
# for two payload sizes so that memory can be seen not to grow with the package.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-${MINISTUB_BUILD_DIR:-$root/build}}
toolchain=${MINISTUB_TOOLCHAIN:-i686}
runs=${BENCH_RUNS:-3}
dictionary_mb=16

bash "$root/scripts/bootstrap.sh" >/dev/null
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain.cmake" >/dev/null
fi
cmake --build "$build" --target MiniStub ministub-build ExtractBench >/dev/null
build=$(cd "$build" && pwd)

work=$build/bench-extract
rm -rf "$work"
mkdir -p "$work"
dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
[ -d "$dlls" ] || dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

# payload_N: Windows DLLs in name order until N MB.
make_payload() {
  local dir=$1 limit=$(( $2 * 1024 * 1024 )) total=0
  mkdir -p "$dir/bin"
  for f in $(ls "$dlls" | sort); do
    [ -f "$dlls/$f" ] || continue
    cp "$dlls/$f" "$dir/bin/"
    total=$(( total + $(stat -c %s "$dlls/$f") ))
    [ $total -ge $limit ] && break
  done
}

export MINISTUB_ROOT=$root MINISTUB_BUILD=$build BENCH_WORK=$work BENCH_RUNS=$runs BENCH_DICT_MB=$dictionary_mb
for size in 40 80; do
  make_payload "$work/payload$size" $size
  (cd "$work/payload$size" && 7zz a -t7z "$work/layout$size.7z" . -m0=LZMA:d=${dictionary_mb}m -mf=BCJ2 >/dev/null)
done
mkdir -p "$work/ui" && printf 'bench\r\n' > "$work/ui/title.txt"
(cd "$work/ui" && 7zz a -t7z "$work/ui.7z" . >/dev/null)

xvfb-run -a -s "-screen 0 1024x768x24" python3 - <<'PY'
import os, resource, shutil, subprocess, sys, time

root, build, work = os.environ['MINISTUB_ROOT'], os.environ['MINISTUB_BUILD'], os.environ['BENCH_WORK']
runs, dict_mb = int(os.environ['BENCH_RUNS']), int(os.environ['BENCH_DICT_MB'])
runner = [os.path.join(root, 'scripts', 'wine-run.sh'), '--prefix', os.path.join(build, 'wineprefix')]

def win(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')

def run(cmd):
    """Runs a command; returns (wall seconds, peak RSS in bytes of the largest child, stdout)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return wall, max(after, before) * 1024, out

def fields(text):
    return dict(line.strip().split('=', 1) for line in text.splitlines() if '=' in line)

subprocess.run(runner + ['--stop'], check=True)
# Wine's own share: the same program doing nothing.
_, _, out = run(runner + [os.path.join(build, 'bench', 'ExtractBench.exe'), '--noop'])
noop_peak = int(fields(out)['peak_working_set'])
builder = os.path.join(build, 'tools', 'ministub-build', 'ministub-build.exe')
stub = os.path.join(build, 'stub', 'MiniStub.exe')

for size in (40, 80):
    layout = os.path.join(work, f'layout{size}.7z')
    installer = os.path.join(work, f'installer{size}.exe')
    run(runner + [builder, 'pack', '--stub', win(stub), '--ui-package', win(os.path.join(work, 'ui.7z')),
                  '--layout', win(layout), '--out', win(installer)])
    native_best, ours_best, ours_wall_best, peak = None, None, None, 0
    for _ in range(runs):
        out_native = os.path.join(work, 'native')
        shutil.rmtree(out_native, ignore_errors=True)
        wall, _, _ = run(['7zz', 'x', '-y', '-bd', '-o' + out_native, layout])
        native_best = wall if native_best is None else min(native_best, wall)
        out_ours = os.path.join(work, 'ours')
        shutil.rmtree(out_ours, ignore_errors=True)
        wall, _, out = run(runner + [os.path.join(build, 'bench', 'ExtractBench.exe'), win(installer), win(out_ours)])
        f = fields(out)
        ours_best = float(f['seconds']) if ours_best is None else min(ours_best, float(f['seconds']))
        ours_wall_best = wall if ours_wall_best is None else min(ours_wall_best, wall)
        peak = max(peak, int(f['peak_working_set']))
        bytes_out = int(f['bytes'])
    # The unpacked trees must be the same.
    diff = subprocess.run(['diff', '-r', os.path.join(work, 'native'), os.path.join(work, 'ours', 'layout')],
                          stdout=subprocess.DEVNULL)
    mb = bytes_out / 1e6
    print(f'== layout of {size} MB target: {mb:.1f} MB unpacked from {os.path.getsize(layout) / 1e6:.1f} MB '
          f'(LZMA d={dict_mb}m + BCJ2), best of {runs}')
    print(f'   7zz x (native)          {mb / native_best:7.1f} MB/s  ({native_best:.3f} s wall)')
    print(f'   MiniStub under Wine     {mb / ours_best:7.1f} MB/s  ({ours_best:.3f} s extraction, '
          f'{ours_wall_best:.3f} s wall with Wine start-up and the install unpacker)')
    print(f'   throughput ratio        {native_best / ours_best:7.3f}  (goal >= 0.95)')
    extra = (peak - noop_peak) / 2**20
    print(f'   peak memory             {extra:7.1f} MB above a do-nothing process '
          f'(dictionary {dict_mb} MB; goal <= {dict_mb + 8} MB)')
    print(f'   output identical        {"yes" if diff.returncode == 0 else "NO"}')
subprocess.run(runner + ['--stop'], check=True)
PY

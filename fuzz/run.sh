#!/usr/bin/env bash
# A fuzz campaign over the readers of untrusted bytes:
#   bash fuzz/run.sh [READER|all] [MINUTES]        (default: all, 2 minutes each)
# Builds the hardened flavour (undefined-behaviour traps, library assertions, stack protection)
# into build-hardened/ unless MINISTUB_FUZZ_BUILD names a tree, then for each reader mutates its
# seeds (fuzz/corpus/READER) in batches and feeds every batch to the reader's harness in one Wine
# process with Wine's heap checking on. Mutators:
#   FUZZER=zzuf (default)  zzuf turns a seed repeated N times into N variants (random seed and
#                          ratio per batch); the harness also runs each cut short
#   FUZZER=afl             afl-fuzz in its non-instrumented mode, one Wine start per input
# A finding (crash, hang, memory) is saved into fuzz/regressions/READER/, which the test suite
# replays; the campaign goes on with the next batch. Each reader's run adds one line to
# fuzz/campaigns.log (kept with the project, so that the totals printed at the end count every
# campaign ever run). Exit status 1 when anything was found.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readers=(archive settings-block package-index pe-helper 7z unpackers settings-text manifest language-map
         signer-attribute)
which=${1:-all}
minutes=${2:-2}
fuzzer=${FUZZER:-zzuf}
if [ "$which" != all ]; then
  [[ " ${readers[*]} " == *" $which "* ]] || { echo "unknown reader $which; one of: ${readers[*]}" >&2; exit 2; }
  readers=("$which")
fi

. "$root/scripts/wine-env.sh"
build=${MINISTUB_FUZZ_BUILD:-}
if [ -z "$build" ]; then
  bash "$root/scripts/bootstrap.sh" >/dev/null
  toolchain=i686
  [ "$MINISTUB_WINE64_ONLY" = 1 ] && toolchain=x86_64
  build=$root/build-hardened
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain.cmake" \
    -DMINISTUB_HARDENED=ON -DMINISTUB_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target fuzz_harnesses >/dev/null
fi
prefix=$build/wineprefix
run() { MINISTUB_WINEDEBUG=warn+heap "$root/scripts/wine-run.sh" --prefix "$prefix" "$@"; }
winpath() { printf 'Z:%s' "$(echo "$1" | tr / \\\\)"; }
# Batches and the harness's folders in memory where the machine offers it: a reader that writes
# files runs about twice as fast there as on a disk.
shm=
[ -d /dev/shm ] && [ -w /dev/shm ] && shm=/dev/shm
scratch=$(mktemp -d ${shm:+-p $shm} ministub-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/work"
log=$root/fuzz/campaigns.log
found=0
batch_bytes=${FUZZ_BATCH_BYTES:-16000000}
max_records=${FUZZ_MAX_RECORDS:-20000}

# Keeps what a harness saved and says so; sets found.
keep_findings() {
  local reader=$1 from=$2
  shopt -s nullglob
  local files=("$from"/*)
  shopt -u nullglob
  [ ${#files[@]} -gt 0 ] || return 0
  mkdir -p "$root/fuzz/regressions/$reader"
  for f in "${files[@]}"; do
    cp "$f" "$root/fuzz/regressions/$reader/"
    echo "  kept fuzz/regressions/$reader/$(basename "$f")"
  done
  rm -f "${files[@]}"
  found=1
}

fuzz_zzuf() {
  local reader=$1 exe=$2 deadline=$3
  local seeds=("$root/fuzz/corpus/$reader"/*)
  local ratios=(0.0002 0.001 0.004 0.01 0.03)
  local n=0 inputs=0 began pace=1000 cap=$max_records
  # The language lookup keeps every folder's map for the life of the process, and each input is a
  # folder of its own: short batches keep it at its pace.
  [ -n "${FUZZ_MAX_RECORDS:-}" ] || [ "$reader" != language-map ] || cap=600
  began=$(date +%s)
  while [ "$(date +%s)" -lt "$deadline" ]; do
    local seed=${seeds[$((n % ${#seeds[@]}))]}
    local size records zseed ratio
    size=$(stat -c %s "$seed")
    [ "$size" -gt 0 ] || { n=$((n + 1)); continue; }
    records=$((batch_bytes / size))
    [ "$records" -ge 1 ] || records=1
    [ "$records" -le "$cap" ] || records=$cap
    # A batch of about half a minute at the reader's own pace, so that the time limit holds.
    [ "$records" -le "$pace" ] || records=$pace
    zseed=$((RANDOM * 32768 + RANDOM))
    ratio=${ratios[$((RANDOM % ${#ratios[@]}))]}
    python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.stdout.buffer.write(d * int(sys.argv[2]))' \
      "$seed" "$records" | zzuf -s "$zseed" -r "$ratio" > "$scratch/batch"
    local rc=0 out
    out=$(run "$exe" --records "$size" --cut --heap-check --findings "$(winpath "$scratch/findings")" \
      --work "$(winpath "$scratch/work")" "$(winpath "$scratch/batch")" 2>"$scratch/stderr") || rc=$?
    out=$(echo "$out" | tr -d '\r')
    if [ "$rc" -eq 0 ]; then
      local count
      count=$(echo "$out" | sed -n 's/^fuzz [^:]*: \([0-9]*\) inputs.*/\1/p')
      inputs=$((inputs + ${count:-0}))
      local rate
      rate=$(echo "$out" | sed -n 's/.*(\([0-9]*\)\/s).*/\1/p')
      pace=$(( ${rate:-0} * 15 ))
      [ "$pace" -ge 100 ] || pace=100
    else
      echo "$reader: exit $rc on batch of $(basename "$seed") (zzuf -s $zseed -r $ratio)"
      tr -d '\r' < "$scratch/stderr" | grep -v '^warn:heap' | tail -5
      keep_findings "$reader" "$scratch/findings"
      [ "$rc" -ge 77 ] && [ "$rc" -le 79 ] || found=1
    fi
    n=$((n + 1))
  done
  local seconds=$(( $(date +%s) - began ))
  [ "$seconds" -gt 0 ] || seconds=1
  echo "$(date -u +%FT%TZ) fuzz $reader: $inputs inputs zzuf $seconds s $((inputs / seconds))/s" >> "$log"
  echo "$reader: $inputs inputs this run ($((inputs / seconds))/s)"
}

fuzz_afl() {
  local reader=$1 exe=$2 deadline=$3
  local out=$scratch/afl-$reader
  local began seconds
  began=$(date +%s)
  seconds=$((deadline - began))
  # One input per Wine start; the harness's crash code is afl's crash.
  AFL_SKIP_BIN_CHECK=1 AFL_CRASH_EXITCODE=77 AFL_NO_UI=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 \
  AFL_SKIP_CPUFREQ=1 AFL_NO_AFFINITY=1 \
    timeout "$seconds" afl-fuzz -n -V "$seconds" -t 20000 -i "$root/fuzz/corpus/$reader" -o "$out" -- \
      env MINISTUB_WINEDEBUG=warn+heap "$root/scripts/wine-run.sh" --prefix "$prefix" "$exe" --heap-check \
      --findings "$(winpath "$scratch/findings")" --work "$(winpath "$scratch/work")" @@ >/dev/null 2>&1 || true
  # afl-fuzz writes into the output folder itself or into its "default" instance folder.
  local plot execs
  plot=$(ls "$out"/plot_data "$out"/default/plot_data 2>/dev/null | sed -n 1p || true)
  if [ -n "$plot" ]; then
    execs=$(tail -n1 "$plot" | awk -F', ' '{print $12}')
    seconds=$(( $(date +%s) - began ))
    [ "$seconds" -gt 0 ] || seconds=1
    echo "$(date -u +%FT%TZ) fuzz $reader: ${execs:-0} inputs afl-fuzz $seconds s $((${execs:-0} / seconds))/s" >> "$log"
    echo "$reader: ${execs:-0} inputs this run with afl-fuzz"
  fi
  keep_findings "$reader" "$scratch/findings"
  shopt -s nullglob
  for f in "$out"/crashes/id* "$out"/hangs/id* "$out"/default/crashes/id* "$out"/default/hangs/id*; do
    mkdir -p "$scratch/findings" && cp "$f" "$scratch/findings/afl-$reader-$(sha1sum < "$f" | cut -c1-16).bin"
  done
  shopt -u nullglob
  keep_findings "$reader" "$scratch/findings"
}

for reader in "${readers[@]}"; do
  exe=$build/fuzz/fuzz_$reader.exe
  [ -f "$exe" ] || { echo "no harness $exe" >&2; exit 2; }
  deadline=$(( $(date +%s) + minutes * 60 ))
  echo "== $reader ($fuzzer, $minutes min)"
  "fuzz_$fuzzer" "$reader" "$exe" "$deadline"
done

echo "== inputs per reader over every campaign in $log"
awk '$2 == "fuzz" { r = $3; sub(":", "", r); total[r] += $4 } END { for (r in total) printf "  %-18s %d\n", r, total[r] }' \
  "$log" | sort
exit $found
